// Device operations as selector calls of the device's world function.
#include "device/qvdeviceinstance.h"

#include <cstring>
#include <exception>

namespace Quorvane {

namespace {

constexpr uint64_t kSelectorFound = uint64_t{1} << 32;

// Public device types by raw type number; 0 marks a number with no public type.
long PublicDeviceType(long raw) {
  switch (raw) {
    case QVDEVICETYPE_SHAREDMEMORY: return 14;
    case QVDEVICETYPE_TCPIP: return 12;
    case QVDEVICETYPE_INTRAPROCESS: return 15;
    case QVDEVICETYPE_PIPES: return 1;
    case QVDEVICETYPE_TCP: return 2;
    default: return 0;
  }
}

template <typename F>
void* AsPointer(F function) {
  return reinterpret_cast<void*>(function);
}

}  // namespace

QVSmartPointer<QVDeviceInstance> QVDeviceInstance::init() {
  return QVSmartPointer<QVDeviceInstance>(new QVDeviceInstance());
}

QVSmartPointer<QVDeviceInstance> QVDeviceInstance::initWithDeviceObjectAndFunction(
    void* device, QVDeviceInterfaceFunction function) {
  return QVSmartPointer<QVDeviceInstance>(new QVDeviceInstance(device, function));
}

QVDeviceInstance::~QVDeviceInstance() {
  // Only the last handle's release gets here, so the device is closed once.
  if (usable()) function_(device_, QVDEVICE_CLOSE, nullptr, nullptr);
  device_ = nullptr;
  function_ = nullptr;
}

long QVDeviceInstance::call(qvdeviceselector selector, void* a1, void* a2, long* error) {
  long result = usable() ? function_(device_, selector, a1, a2) : -1;
  if (error != nullptr) *error = result;
  return result;
}

bool QVDeviceInstance::connectReady(long* error) {
  long connected = 0;
  return call(QVDEVICE_CONNECT_READY, nullptr, &connected, error) == 0 && connected == 1;
}

void QVDeviceInstance::connect(long* error) { call(QVDEVICE_CONNECT, nullptr, nullptr, error); }

QVDeviceInstance::Window QVDeviceInstance::writeWindow(long* error) {
  char* start = nullptr;
  long size = 0;
  if (call(QVDEVICE_WRITE_WINDOW, &start, &size, error) != 0) return {nullptr, 0};
  return {start, size};
}

QVDeviceInstance::Window QVDeviceInstance::write(char* start, long count, long* error) {
  char* next = start;
  long size = count;
  if (call(QVDEVICE_WRITE, &next, &size, error) != 0) return {nullptr, 0};
  return {next, size};
}

QVDeviceInstance::Window QVDeviceInstance::write(Window& window, long* error) {
  if (window.first == nullptr || window.second == 0) {
    if (error != nullptr) *error = -1;
    return {nullptr, 0};
  }
  return write(window.first, window.second, error);
}

QVDeviceInstance::Window QVDeviceInstance::read(long* error) {
  char* start = nullptr;
  long size = 0;
  if (call(QVDEVICE_READ, &start, &size, error) != 0) return {nullptr, 0};
  return {start, size};
}

bool QVDeviceInstance::hasData(long* error) {
  long ready = 0;
  return call(QVDEVICE_HAS_DATA, nullptr, &ready, error) == 0 && ready == 1;
}

void QVDeviceInstance::readComplete(char* start, long count, long* error) {
  call(QVDEVICE_READ_COMPLETE, start, &count, error);
}

void QVDeviceInstance::readComplete(Window& window, long* error) {
  readComplete(window.first, window.second, error);
}

void QVDeviceInstance::setYielder(QVDeviceYieldFunction function, void* cookie, long* error) {
  call(QVDEVICE_SET_YIELD_FUNCTION, AsPointer(function), cookie, error);
}

void QVDeviceInstance::setYielder(std::pair<QVDeviceYieldFunction, void*>& yielder, long* error) {
  setYielder(yielder.first, yielder.second, error);
}

QVDeviceYieldFunction QVDeviceInstance::getYielder(long* error) {
  QVDeviceYieldFunction function = nullptr;
  if (call(QVDEVICE_GET_YIELD_FUNCTION, &function, nullptr, error) != 0) return nullptr;
  return function;
}

void QVDeviceInstance::setHandler(QVDeviceMessageHandler handler, void* cookie, long* error) {
  call(QVDEVICE_SET_MESSAGE_HANDLER, AsPointer(handler), cookie, error);
}

void QVDeviceInstance::setHandler(std::pair<QVDeviceMessageHandler, void*>& handler, long* error) {
  setHandler(handler.first, handler.second, error);
}

QVDeviceMessageHandler QVDeviceInstance::getHandler(long* error) {
  QVDeviceMessageHandler handler = nullptr;
  void* cookie = nullptr;
  if (call(QVDEVICE_GET_MESSAGE_HANDLER, &handler, &cookie, error) != 0) return nullptr;
  return handler;
}

void QVDeviceInstance::writeMessage(long code, long argument, long* error) {
  call(QVDEVICE_WRITE_MESSAGE, &code, &argument, error);
}

void QVDeviceInstance::writeMessage(std::pair<long, long>& message, long* error) {
  writeMessage(message.first, message.second, error);
}

bool QVDeviceInstance::hasMessage(long* error) {
  long waiting = 0;
  long also = 0;
  return call(QVDEVICE_HAS_MESSAGE, &waiting, &also, error) == 0 && waiting == 1;
}

std::pair<long, long> QVDeviceInstance::readMessage(long* error) {
  // The code and argument travel back even with an error: the caller decides.
  long code = 0;
  long argument = 0;
  call(QVDEVICE_READ_MESSAGE, &code, &argument, error);
  return {code, argument};
}

long QVDeviceInstance::nameLength(long* error) {
  long size = 0;
  if (call(QVDEVICE_NAME_SIZE, &size, nullptr, error) != 0) return 0;
  return size;
}

QVString QVDeviceInstance::name(long* error) {
  long result = 0;
  long size = nameLength(&result);
  if (result == 0 && size < 1) result = -1;  // a size below 1 cannot hold even the terminator
  if (result != 0) {
    if (error != nullptr) *error = result;
    return QVString();
  }
  try {
    QVString text(static_cast<size_t>(size), '\0');
    long capacity = size;
    if (call(QVDEVICE_NAME, text.data(), &capacity, error) != 0) return QVString();
    text.resize(strnlen(text.data(), text.size()));
    return text;
  } catch (const std::exception&) {  // no memory for a size the device claimed
    if (error != nullptr) *error = 8;
    return QVString();
  }
}

uint64_t QVDeviceInstance::getSelector(unsigned long code) {
  switch (code) {
    case 0x80000000UL: return kSelectorFound | QVDEVICE_TYPE;
    case 0x80000001UL: return kSelectorFound | QVDEVICE_NAME;
    case 0x80000002UL: return kSelectorFound | QVDEVICE_NAME_SIZE;
    case 0x80000100UL:
    case 0x80000200UL:
    case 0x80000500UL:
    case 0x80000E00UL:
    case 0x80000F00UL: return kSelectorFound | QVDEVICE_FILE_DESCRIPTOR;
    default: return 0;
  }
}

long QVDeviceInstance::callWithSelector(unsigned long code, void* buffer, long length) {
  if (!usable()) return -1;
  uint64_t found = getSelector(code);
  if ((found & kSelectorFound) == 0) return -1;
  auto selector = static_cast<qvdeviceselector>(found & 0xFFFFFFFFu);
  if (buffer == nullptr) return -1;
  long capacity = length;  // a length the device writes stays here
  switch (selector) {
    case QVDEVICE_TYPE:
    case QVDEVICE_NAME_SIZE: {
      // Fixed-size answers go through an aligned slot and reach the caller only
      // when the buffer can hold them.
      if (length < static_cast<long>(sizeof(long))) return 8;
      long value = 0;
      long result = function_(device_, selector, &value, &capacity);
      if (result != 0) return result;
      if (selector == QVDEVICE_TYPE) {
        value = PublicDeviceType(value);
        if (value == 0) return -1;
      }
      std::memcpy(buffer, &value, sizeof value);
      return 0;
    }
    case QVDEVICE_FILE_DESCRIPTOR: {
      if (length < static_cast<long>(sizeof(int))) return 8;
      int descriptor = -1;
      long result = function_(device_, selector, &descriptor, &capacity);
      if (result != 0) return result;
      std::memcpy(buffer, &descriptor, sizeof descriptor);
      return 0;
    }
    default:
      return function_(device_, selector, buffer, &capacity);
  }
}

void QVDeviceInstance::print(std::ostream& os) const {
  os << "<QVDeviceInstance><theDevice>" << device_ << "</theDevice><interfaceFunction>"
     << AsPointer(function_) << "</interfaceFunction></QVDeviceInstance>";
}

std::ostream& operator<<(std::ostream& os, const QVDeviceInstance& instance) {
  instance.print(os);
  return os;
}

}  // namespace Quorvane
