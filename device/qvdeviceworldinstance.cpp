// Selector calls on a device world.
#include "device/qvdeviceworldinstance.h"

#include <cstring>
#include <exception>

namespace Quorvane {

namespace {

constexpr long kProtocolNameCapacity = 512;
constexpr long kTextTooLong = 8;
constexpr long kProtocolNameTooLong = 7;
constexpr long kIdCapacity = 2048;

template <typename F>
void* AsPointer(F function) {
  return reinterpret_cast<void*>(function);
}

}  // namespace

QVSmartPointer<QVDeviceWorldInstance> QVDeviceWorldInstance::initWithFunction(
    QVDeviceInterfaceFunction function) {
  return QVSmartPointer<QVDeviceWorldInstance>(new QVDeviceWorldInstance(function));
}

QVDeviceWorldInstance::QVDeviceWorldInstance(QVDeviceInterfaceFunction function) : function_(function) {
  if (worldInit() != 0) {
    throw QVException("Unable to initialize world", "device/qvdeviceworldinstance", __LINE__,
                      qvexceptiontype::internalError, 0);
  }
}

long QVDeviceWorldInstance::worldInit() {
  if (function_ == nullptr) {
    throw QVException("worldInit method has a NULL interface function",
                      "device/qvdeviceworldinstance", __LINE__, qvexceptiontype::internalError, 0);
  }
  return function_(&world_, QVDEVICE_WORLD_INIT, AsPointer(QVObject::GetAllocator()),
                   AsPointer(QVObject::GetDeallocator()));
}

void QVDeviceWorldInstance::worldDeinit() {
  if (world_ == nullptr || function_ == nullptr) return;
  function_(world_, QVDEVICE_WORLD_DEINIT, nullptr, nullptr);
  world_ = nullptr;
}

QVDeviceResult QVDeviceWorldInstance::finishMake(long result, void* device) {
  if (result != 0) return make_err(result);
  if (device == nullptr) {
    throw QVException("Unexpected NULL device object with QVEOK error code",
                      "device/qvdeviceworldinstance", __LINE__, qvexceptiontype::internalError, 0);
  }
  return make_ok(QVDeviceInstance::initWithDeviceObjectAndFunction(device, function_));
}

QVDeviceResult QVDeviceWorldInstance::makeDevice(const char* block) {
  if (function_ == nullptr) return make_err(-1L);
  void* device = nullptr;
  long result = function_(world_, QVDEVICE_WORLD_MAKE, &device, const_cast<char*>(block));
  return finishMake(result, device);
}

QVDeviceResult QVDeviceWorldInstance::makeDevice(const QVDeviceParameters& parameters) {
  if (function_ == nullptr) return make_err(-1L);
  // The world gets its own copy, so nothing it does reaches the caller's.
  QVDeviceParameters copy(parameters);
  void* device = nullptr;
  long result = function_(world_, QVDEVICE_WORLD_MAKE_WITH_PARAMETERS, &device, &copy);
  return finishMake(result, device);
}

void QVDeviceWorldInstance::loadSignalHandlers(QVSignalHandlerManager& manager, long* error) {
  long result = -1;
  if (function_ != nullptr) {
    QVSignalHandlerList* list = nullptr;
    result = function_(world_, QVDEVICE_WORLD_GET_SIGNAL_HANDLERS, &list, nullptr);
    if (result == 0 && list != nullptr) {
      try {
        manager.setHandlers(*list);
      } catch (...) {
        // The list is the world's: it gets it back whatever the installing did.
        function_(world_, QVDEVICE_WORLD_RELEASE_SIGNAL_HANDLERS, list, nullptr);
        throw;
      }
      result = function_(world_, QVDEVICE_WORLD_RELEASE_SIGNAL_HANDLERS, list, nullptr);
    }
  }
  if (error != nullptr) *error = result;
}

long QVDeviceWorldInstance::call(qvdeviceselector selector, void* a1, void* a2, long* error) {
  const long result = function_ == nullptr || world_ == nullptr ? -1 : function_(world_, selector, a1, a2);
  if (error != nullptr) *error = result;
  return result;
}

QVString QVDeviceWorldInstance::protocolName(long* error) {
  char buffer[kProtocolNameCapacity] = {};
  long length = kProtocolNameCapacity;
  long result = call(QVDEVICE_WORLD_PROTOCOL_NAME, buffer, &length, nullptr);
  // A name that does not fit (the world answers 8) or fills the whole buffer
  // is one error, whatever its length.
  if (result == kTextTooLong || (result == 0 && (length < 0 || length >= kProtocolNameCapacity))) {
    result = kProtocolNameTooLong;
  }
  if (error != nullptr) *error = result;
  if (result != 0) return QVString();
  return QVString(buffer, strnlen(buffer, sizeof buffer));
}

long QVDeviceWorldInstance::modes(long* error) {
  long value = 0;
  return call(QVDEVICE_WORLD_MODES, &value, nullptr, error) == 0 ? value : 0;
}

long QVDeviceWorldInstance::streamCapacity(long* error) {
  long value = 0;
  long ignored = 0;
  return call(QVDEVICE_WORLD_STREAM_CAPACITY, &value, &ignored, error) == 0 ? value : 0;
}

QVString QVDeviceWorldInstance::id(long* error) {
  try {
    QVString text(static_cast<size_t>(kIdCapacity), '\0');
    long capacity = kIdCapacity;
    if (call(QVDEVICE_WORLD_ID, text.data(), &capacity, error) != 0) return QVString();
    text.resize(strnlen(text.data(), text.size()));
    return text;
  } catch (const std::exception&) {
    if (error != nullptr) *error = 8;
    return QVString();
  }
}

void QVDeviceWorldInstance::print(std::ostream& os) const {
  os << "<QVDeviceWorldInstance><theWorld>" << world_ << "</theWorld><interfaceFunction>"
     << AsPointer(function_) << "</interfaceFunction></QVDeviceWorldInstance>";
}

std::ostream& operator<<(std::ostream& os, const QVDeviceWorldInstance& world) {
  world.print(os);
  return os;
}

}  // namespace Quorvane
