// Opening a link of a protocol and mode: a launch, or a device from the
// device manager, made into a named link.
#include <cstdio>
#include <cstring>

#include "api/qvyield.h"
#include "device/qvdevicemanager.h"
#include "device/qvdeviceparameters.h"
#include "user/qvargvstrings.h"
#include "user/qvlinkoptions.h"
#include "user/qvopen.h"
#include "utilities/qvexception.h"

namespace {

int LaunchErrorOf(const Quorvane::QVException& exception) {
  switch (exception.getType()) {
    case Quorvane::qvexceptiontype::noExecutable:
      return 46;
    case Quorvane::qvexceptiontype::notExecutable:
      return 50;
    default:
      return -1;
  }
}

// Appends one NUL-terminated field; false when it would pass the limit.
bool AppendField(char* block, size_t& used, const char* text) {
  const size_t length = std::strlen(text) + 1;
  if (used + length + 2 > kDeviceBlockLimit) return false;
  std::memcpy(block + used, text, length);
  used += length;
  return true;
}

Quorvane::QVDeviceResult MakeDevice(qv_environment* environment, const char* block, void* dataEndpoint,
                                    void* messageEndpoint, long* code) {
  Quorvane::QVDeviceManager& manager = *environment->deviceManager;
  if (dataEndpoint == nullptr && messageEndpoint == nullptr) return manager.createDevice(block, code);
  Quorvane::QVDeviceParameters parameters(block);
  parameters.ExtraPointers.push_back(dataEndpoint);
  parameters.ExtraPointers.push_back(messageEndpoint);
  return manager.createDevice(parameters, code);
}

// The device of the request made into a link; null with the error.
QVLink* OpenDevice(qv_environment* environment, const char* protocol, uint64_t mode, const char* name,
                   const char* host, const char* authentication, uint64_t options, void* dataEndpoint,
                   void* messageEndpoint, int* error) {
  char block[kDeviceBlockLimit] = {};
  if (QVBuildDeviceBlock(block, protocol, mode, name, host, authentication, options) == 0) {
    *error = kOpenBlockTooLong;
    return nullptr;
  }
  if (!environment->deviceManager) return nullptr;
  long code = 0;
  const Quorvane::QVDeviceResult made = MakeDevice(environment, block, dataEndpoint, messageEndpoint, &code);
  if (code != 0 || made.isErr()) {
    *error = static_cast<int>(code != 0 ? code : made.error());
    return nullptr;
  }
  const Quorvane::QVSmartPointer<Quorvane::QVDeviceInstance> device = made.unwrap();
  const Quorvane::QVString deviceName = device->name(&code);
  if (code != 0) {
    *error = static_cast<int>(code);
    return nullptr;
  }
  Quorvane::QVString linkName = deviceName;
  check_for_single_quotes(deviceName.c_str(), linkName.data());
  linkName.resize(std::strlen(linkName.c_str()));
  code = 0;
  QVLink* link = QVInternalMake(environment->globals, device, &code);
  if (link == nullptr) {
    *error = static_cast<int>(code);
    return nullptr;
  }
  if (RVSetName(link, linkName.c_str()) == nullptr) {
    long first = 0;
    long second = 0;
    QVDestroy(link, &first, &second);
    *error = 8;
    return nullptr;
  }
  if (environment->defaultYieldFunction != nullptr) RVSetYieldFunction(link, environment->defaultYieldFunction);
  QVMakeMarkPool(link);
  if ((mode & (QVLINKMODE_CONNECT | QVLINKMODE_PARENTCONNECT)) != 0) QVSetConnectionMode(link, 1);
  *error = 0;
  return link;
}

}  // namespace

size_t QVBuildDeviceBlock(char (&block)[kDeviceBlockLimit], const char* protocol, uint64_t mode,
                          const char* name, const char* host, const char* authentication, uint64_t options) {
  char modeText[24];
  char optionsText[24];
  std::snprintf(modeText, sizeof modeText, "%llu", static_cast<unsigned long long>(mode));
  std::snprintf(optionsText, sizeof optionsText, "%llu", static_cast<unsigned long long>(options));
  size_t used = 0;
  for (const char* field : {protocol, static_cast<const char*>(modeText), name, host, authentication,
                            static_cast<const char*>(optionsText)}) {
    if (!AppendField(block, used, field != nullptr ? field : "")) return 0;
  }
  return used;
}

QVLink* QVGenericOpen(qv_environment* environment, const char* protocol, uint64_t mode, const char* name,
                      const char* host, const char* authentication, uint64_t options, void* dataEndpoint,
                      void* messageEndpoint, int* error) noexcept {
  int local = 0;
  if (error == nullptr) error = &local;
  *error = -1;
  if (environment == nullptr || environment->globals == nullptr) {
    *error = 32;
    return nullptr;
  }
  if (protocol == nullptr) protocol = "";
  try {
    // The "Pipes" device starts its program itself.
    if ((mode & QVLINKMODE_LAUNCH) != 0 && std::strcmp(protocol, "Pipes") != 0) {
      return QVLaunch(environment, *protocol != '\0' ? protocol : "SharedMemory", name != nullptr ? name : "",
                      host, authentication, options, error);
    }
    return OpenDevice(environment, protocol, mode, name != nullptr ? name : "", host != nullptr ? host : "",
                      authentication != nullptr ? authentication : "", options, dataEndpoint, messageEndpoint,
                      error);
  } catch (const Quorvane::QVException& exception) {
    *error = LaunchErrorOf(exception);
  } catch (const std::bad_alloc&) {
    *error = 8;
  } catch (...) {
    *error = -1;
  }
  return nullptr;
}
