// RVBegin and RVEnd.
#include "api/qvenvironmentstart.h"

#include <signal.h>

#include <cstring>

#include "api/qvdevicemodule.h"
#include "api/qvdialogs.h"
#include "api/qvenvironmentlocks.h"
#include "api/qvenvironmentparameters.h"
#include "api/qvlinkglobals.h"
#include "api/qvlinkmark.h"
#include "api/qvlinkservicehooks.h"
#include "api/qvnumericdispatch.h"
#include "api/qvplatformservices.h"
#include "api/qvreadywait.h"
#include "network/qvipinterfacecontainer.h"
#include "text/qvconverter.h"
#include "user/qvlinkoptions.h"
#include "utilities/platform/qvmappedblock.h"

using Quorvane::QVEnvironmentParameters;
using Quorvane::QVObject;

namespace {

constexpr int kNoMemory = 8;
constexpr int kEncodingsUnsupported = 44;
constexpr int kSyncObjectFailed = 51;
constexpr uint64_t kOwnFeatureWord = 0xf0000;
constexpr uint64_t kOwnLevel = 6;

// The first environment's share of the process: the thread module's record
// thread, the device module, the child-signal hook and child tracking.
void StopProcessWideParts(qv_environment& environment) {
  try {
    qvplatform::deinitThreadModule();
  } catch (...) {
  }
  QVDeinitializeDeviceModule();
  try {
    environment.signalHandlers.clearHandlerWithFunction(SIGCHLD, &QVEnvironmentChildSignalHandler);
  } catch (...) {
  }
  try {
    if (Quorvane::QVProcessManager* manager = qv_environment::getProcessManager()) {
      manager->stopTrackingAllProcesses();
    }
  } catch (...) {
  }
}

// Frees what the environment holds for itself; each part may be missing.
void ReleaseParts(qv_environment& environment) {
  RVDeinit(environment.globals);
  environment.globals = nullptr;
  feature_set& own = environment.ownFeatures;
  if (own.text_factory != nullptr && own.text_environment != nullptr) {
    own.text_factory(own.text_environment, QV_FACTORY_FREE_ENVIRONMENT, nullptr, nullptr, nullptr);
  }
  own.text_environment = nullptr;
  own.text_factory = nullptr;
  if (environment.linkOptionRows != 0) {
    deinit_argdicts(&environment.linkOptions, &environment.linkModes, &environment.linkOptionWords);
    environment.linkOptionRows = 0;
  }
  release_dict(environment.packetHeads);
  environment.packetHeads = nullptr;
  release_dict(environment.errorMessages);
  environment.errorMessages = nullptr;
  QVDestroyReadyParallelEnv(environment.readyWait);
  environment.readyWait = nullptr;
  qvipinterfacecontainer_destroy(environment.interfaces);
  environment.interfaces = nullptr;
  QVDestroyNumericEnvDescriptions(environment.numericMap);
  environment.numericMap = nullptr;
  environment.ownDescriptor = nullptr;
}

// One start in progress, under the environment-count lock. Whatever it set up
// is taken down again unless the start completes.
class Starting {
 public:
  explicit Starting(QVEnvironmentParameters& parameters)
      : parameters_(parameters), first_(numberofenvironments == 0) {}
  ~Starting() { Abandon(); }
  Starting(const Starting&) = delete;
  Starting& operator=(const Starting&) = delete;

  // The new environment, or null with the code (if any) in the parameters.
  qv_environment* Run();

 private:
  qv_environment* Fail(int code) {
    if (code != 0) parameters_.lastError = code;
    return nullptr;
  }
  bool MakeObject();
  bool StartDevices();
  void SetOwnFeatures();
  int StartTextEngine();
  bool MakeTables();
  void Abandon() noexcept;

  QVEnvironmentParameters& parameters_;
  const bool first_;
  qv_environment* environment_ = nullptr;
  bool threadModule_ = false;
  bool deviceModule_ = false;
  bool devicesLoaded_ = false;
  bool childHooked_ = false;
};

bool Starting::MakeObject() {
  try {
    environment_ = new qv_environment();
  } catch (...) {
    return false;
  }
  environment_->threadSafeLinks = parameters_.makeLinksThreadSafe;
  environment_->revision = kEnvironmentRevision;
  environment_->interfaceVersion = kEnvironmentInterface;
  environment_->allocate = parameters_.alloc;
  environment_->deallocate = parameters_.dealloc;
  return true;
}

bool Starting::StartDevices() {
  qv_environment& environment = *environment_;
  try {
    if ((parameters_.options & QVEnvironmentParameters::kOptionNoDevices) == 0) {
      devicesLoaded_ = true;
      environment.deviceManager->loadDevices();
      environment.deviceManager->loadSignalHandlers(environment.signalHandlers);
      Quorvane::QVSignalHandlerManager::setSignalDispositions(parameters_.signalDispositions);
      environment.signalHandlers.startHandlingSignals();
    }
    if (first_) {
      childHooked_ = true;
      environment.signalHandlers.setHandlerFromFunction(SIGCHLD, &QVEnvironmentChildSignalHandler, false);
    }
    return true;
  } catch (...) {
    return false;
  }
}

void Starting::SetOwnFeatures() {
  qv_environment& environment = *environment_;
  feature_set& own = environment.ownFeatures;
  own.level = kOwnLevel;
  own.level_again = kOwnLevel;
  own.features = kOwnFeatureWord;
  own.dispatch = qvne__dispatch;
  unsigned char types[kNativeTypeSetBytes] = {};
  long length = kNumericsIdBuffer;
  own.dispatch(0, environment.ownNumericsId, types, &length);
  if (length < 0 || length >= kNumericsIdBuffer) length = kNumericsIdBuffer - 1;
  environment.ownNumericsId[length] = '\0';
  std::memcpy(own.binary_types, types, sizeof own.binary_types);
  std::memcpy(own.numerics_id, environment.ownNumericsId, static_cast<size_t>(length) + 1);
}

int Starting::StartTextEngine() {
  qv_environment& environment = *environment_;
  feature_set& own = environment.ownFeatures;
  int64_t version_length = kTextVersionBuffer;
  own.text_environment = cs__begin(parameters_.alloc, parameters_.dealloc, &own.text_factory, &own.encodings,
                                   environment.textVersion, &version_length);
  // Without its converter environment no link could carry text.
  if (own.text_environment == nullptr) return kNoMemory;
  if (parameters_.textEncodingSetGiven != 0 &&
      get_convert_encoder()(parameters_.textEncodingSet, &own.encodings) == 0) {
    return kEncodingsUnsupported;
  }
  std::memset(environment.environmentId, 0, sizeof environment.environmentId);
  return 0;
}

bool Starting::MakeTables() {
  qv_environment& environment = *environment_;
  environment.errorMessages = get_dict(kMessageDictionaryId, parameters_.alloc, parameters_.dealloc);
  environment.packetHeads = get_dict(kPacketDictionaryId, parameters_.alloc, parameters_.dealloc);
  environment.linkOptionRows = init_argdicts(parameters_.alloc, parameters_.dealloc, &environment.linkOptions,
                                             &environment.linkModes, &environment.linkOptionWords);
  environment.formatArguments = format_arguments;
  environment.formatArgumentRows = kFormatArgumentRows;
  environment.formatArgumentsLock = &formatArgumentsLock();
  environment.dialogs = QVDefaultDialogFunctions();
  environment.defaultDialogs = environment.dialogs;
  try {
    environment.memoryPool = Quorvane::QVMemoryPool::init();
    // Sized once here, before any link exists: links on several threads
    // would otherwise race to size it at their first mark.
    environment.memoryPool->setNumberOfBytesInPoolObject(sizeof(QVLinkMark));
  } catch (...) {
    return false;
  }
  environment.environmentData = nullptr;
  environment.readyWait = QVNewReadyParallelEnv(&environment);
  if (environment.readyWait == nullptr) return false;
  environment.numericMap = QVGenerateNumericEnvDescriptions(parameters_.alloc, parameters_.dealloc);
  if (environment.numericMap == nullptr) return false;
  environment.ownDescriptor = QVFindNumericEnvDescription(environment.numericMap, environment.ownNumericsId);
  return environment.ownDescriptor != nullptr;
}

qv_environment* Starting::Run() {
  if (parameters_.alloc != nullptr && parameters_.dealloc != nullptr) {
    QVObject::SetAllocators(parameters_.alloc, parameters_.dealloc);
  }
  if (!MakeObject()) return Fail(kNoMemory);
  environment_->globals = RVInit(parameters_.alloc, parameters_.dealloc, environment_);
  if (environment_->globals == nullptr) return Fail(kNoMemory);
  threadModule_ = true;
  if (!qvplatform::initThreadModule()) return Fail(kSyncObjectFailed);
  if (first_) {
    deviceModule_ = true;
    QVInitializeDeviceModule();
  }
  if (!StartDevices()) return Fail(0);
  SetOwnFeatures();
  if (const int code = StartTextEngine(); code != 0) return Fail(code);
  if (!MakeTables()) return Fail(0);
  environment_->ownFeatures.string_optimization = 0;
  ++numberofenvironments;
  qv_environment* started = environment_;
  environment_ = nullptr;
  return started;
}

void Starting::Abandon() noexcept {
  if (environment_ == nullptr) return;
  qv_environment& environment = *environment_;
  if (devicesLoaded_) {
    try {
      environment.deviceManager->unloadDevices();
    } catch (...) {
    }
  }
  // What this start set up for the whole process goes only while no other
  // environment runs: the others still use it.
  if (first_) {
    if (childHooked_) {
      try {
        environment.signalHandlers.clearHandlerWithFunction(SIGCHLD, &QVEnvironmentChildSignalHandler);
      } catch (...) {
      }
    }
    if (deviceModule_) QVDeinitializeDeviceModule();
    if (threadModule_) {
      try {
        qvplatform::deinitThreadModule();
      } catch (...) {
      }
    }
  }
  ReleaseParts(environment);
  delete environment_;
  environment_ = nullptr;
}

void End(qv_environment& environment) noexcept {
  try {
    environment.deviceManager->unloadDevices();
  } catch (...) {
  }
  --numberofenvironments;
  const bool last = numberofenvironments == 0;
  if (last) StopProcessWideParts(environment);
  ReleaseParts(environment);
  delete &environment;
  if (last && qv_environment::numberOfEnvironments == 0) {
    QVObject::InstallDefaultAllocators();
    // The block kept for the next large text goes back with the last environment.
    Quorvane::platform::DropKeptBlock();
  }
}

}  // namespace

void QVEnvironmentChildSignalHandler(int) {
  if (Quorvane::QVProcessManager* manager = qv_environment::getProcessManager()) {
    manager->signalUpdateAllTheStatus();
  }
}

extern "C" {

RVEnvironment* RVBegin(RVEnvironmentParameters* given) noexcept {
  try {
    QVEnvironmentParameters defaults(QVEnvironmentParameters::kRevision, QVEnvironmentParameters::kApiRevision);
    QVEnvironmentParameters& parameters = given != nullptr ? *given : defaults;
    if (!parameters.integrityGoodQ()) {
      parameters.lastError = Quorvane::kParametersInvalid;
      return nullptr;
    }
    if (parameters.lastError != 0) return nullptr;
    std::lock_guard<std::mutex> guard(numberofenvironmentsmutex());
    Starting start(parameters);
    return start.Run();
  } catch (...) {
    return nullptr;
  }
}

RVEnvironment* RVInitialize(RVEnvironmentParameters* parameters) noexcept { return RVBegin(parameters); }

void RVEnd(RVEnvironment* environment) noexcept {
  if (environment == nullptr || environment->globals == nullptr) return;
  // Closing a link may wait on its device: not under the count lock.
  try {
    QVCloseAllLinks(environment->globals);
  } catch (...) {
  }
  // After the links: closing a registered listener withdraws its service.
  QVDeleteServiceManager(environment);
  try {
    std::lock_guard<std::mutex> guard(numberofenvironmentsmutex());
    End(*environment);
  } catch (...) {
  }
}

void RVDeinitialize(RVEnvironment* environment) noexcept { RVEnd(environment); }

}  // extern "C"
