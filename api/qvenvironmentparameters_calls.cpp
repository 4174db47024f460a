// The public calls on a parameter object.
#include <type_traits>

#include "api/qvenvironmentparameters.h"
#include "quorvane.h"

using Quorvane::QVEnvironmentParameters;

static_assert(std::is_same_v<RVAllocator, Quorvane::QVAllocationHook>);
static_assert(std::is_same_v<RVDeallocator, Quorvane::QVDeallocationHook>);

namespace {

// Nothing below is expected to throw; should anything, the call reports an
// impossible state rather than let it cross into C.
constexpr int kUnexpectedFailure = Quorvane::kParametersNullOutput;

// The common rule of the setting calls: 29 for no usable object, then its
// stored error unchanged, and only then the setting itself.
template <typename Setting>
int Guarded(QVEnvironmentParameters* parameters, Setting&& setting) noexcept {
  if (parameters == nullptr || !parameters->integrityGoodQ()) return Quorvane::kParametersInvalid;
  if (parameters->lastError != 0) return parameters->lastError;
  try {
    return setting(*parameters);
  } catch (...) {
    return kUnexpectedFailure;
  }
}

}  // namespace

extern "C" {

RVEnvironmentParameters* RVNewParameters(uint64_t revision, uint64_t apiRevision) noexcept {
  try {
    return new QVEnvironmentParameters(revision, apiRevision);
  } catch (...) {
    return nullptr;
  }
}

void RVReleaseParameters(RVEnvironmentParameters* parameters) noexcept {
  if (parameters == nullptr) return;
  delete parameters;  // the destructor cannot throw
}

void RVSetAllocParameter(RVEnvironmentParameters* parameters, RVAllocator allocator,
                         RVDeallocator deallocator) noexcept {
  if (parameters == nullptr) return;
  parameters->alloc = allocator;
  parameters->dealloc = deallocator;
}

int RVAllocParameter(RVEnvironmentParameters* parameters, RVAllocator* allocator,
                     RVDeallocator* deallocator) noexcept {
  return Guarded(parameters, [&](QVEnvironmentParameters&) {
    if (allocator == nullptr || deallocator == nullptr) return Quorvane::kParametersNullOutput;
    *allocator = Quorvane::QVObject::GetAllocator();
    *deallocator = Quorvane::QVObject::GetDeallocator();
    return 0;
  });
}

int RVSetDeviceParameter(RVEnvironmentParameters* parameters, const char* device) noexcept {
  return Guarded(parameters, [&](QVEnvironmentParameters& p) {
    if (device == nullptr) {
      p.options &= ~QVEnvironmentParameters::kOptionNoDevices;
    } else if (device[0] == '\0') {
      p.options |= QVEnvironmentParameters::kOptionNoDevices;
    } else {
      return Quorvane::kParametersUnsupported;
    }
    return 0;
  });
}

int RVSetEncodingParameter(RVEnvironmentParameters* parameters, int encoding) noexcept {
  return Guarded(parameters, [&](QVEnvironmentParameters& p) {
    return p.setEncodingType(encoding) ? 0 : Quorvane::kParametersUnsupported;
  });
}

int RVSetThreadSafeLinksParameter(RVEnvironmentParameters* parameters) noexcept {
  return Guarded(parameters, [](QVEnvironmentParameters& p) {
    p.makeLinksThreadSafe = 1;
    return 0;
  });
}

int RVDoNotHandleSignalParameter(RVEnvironmentParameters* parameters, int signal) noexcept {
  return Guarded(parameters, [&](QVEnvironmentParameters& p) {
    p.doNotHandleSignal(signal);
    return 0;
  });
}

int RVSetResourceParameter(RVEnvironmentParameters* parameters, const char* /*resource*/) noexcept {
  return Guarded(parameters, [](QVEnvironmentParameters&) { return Quorvane::kParametersUnsupported; });
}

int RVErrorParameter(const RVEnvironmentParameters* parameters) noexcept {
  if (parameters == nullptr || !parameters->integrityGoodQ()) return Quorvane::kParametersInvalid;
  return parameters->lastError;
}

}  // extern "C"
