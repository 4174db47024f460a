// Device operations as selector calls of the device's world function.
#include "device/qvdeviceinstance.h"

#include <cstring>
#include <exception>

namespace Quorvane {

namespace {

constexpr uint64_t kSelectorFound = uint64_t{1} << 32;
constexpr long kUnsupported = 30;
constexpr size_t kProtocolNameCapacity = 512;
constexpr size_t kIdCapacity = 2048;

// The public device-information codes and the selectors they reach.
struct PublicCode {
  unsigned long code;
  qvdeviceselector selector;
};
constexpr PublicCode kPublicCodes[] = {
    {0, QVDEVICE_WRITE_WINDOW},
    {1, QVDEVICE_WRITE},
    {2, QVDEVICE_HAS_DATA},
    {3, QVDEVICE_READ},
    {4, QVDEVICE_READ_COMPLETE},
    {5, QVDEVICE_ACKNOWLEDGE},
    {16, QVDEVICE_WORLD_INIT},
    {17, QVDEVICE_WORLD_DEINIT},
    {18, QVDEVICE_WORLD_MAKE},
    {19, QVDEVICE_CONNECT_READY},
    {20, QVDEVICE_CONNECT},
    {21, QVDEVICE_CLOSE},
    {22, QVDEVICE_SET_YIELD_FUNCTION},
    {23, QVDEVICE_GET_YIELD_FUNCTION},
    {24, QVDEVICE_WRITE_MESSAGE},
    {25, QVDEVICE_HAS_MESSAGE},
    {26, QVDEVICE_READ_MESSAGE},
    {27, QVDEVICE_SET_MESSAGE_HANDLER},
    {28, QVDEVICE_GET_MESSAGE_HANDLER},
    {29, QVDEVICE_WORLD_GET_SIGNAL_HANDLERS},
    {30, QVDEVICE_WORLD_RELEASE_SIGNAL_HANDLERS},
    {31, QVDEVICE_WORLD_PROTOCOL_NAME},
    {32, QVDEVICE_WORLD_MODES},
    {33, QVDEVICE_WORLD_STREAM_CAPACITY},
    {34, QVDEVICE_WORLD_ID},
    {0x80000000UL, QVDEVICE_TYPE},
    {0x80000001UL, QVDEVICE_NAME},
    {0x80000002UL, QVDEVICE_NAME_SIZE},
    {0x80000005UL, QVDEVICE_WORLD_ID},
    {0x80000006UL, QVDEVICE_MODE},
    {0x80000007UL, QVDEVICE_OPTIONS},
    {0x80000100UL, QVDEVICE_FILE_DESCRIPTOR},
    {0x80000200UL, QVDEVICE_FILE_DESCRIPTOR},
    {0x80000500UL, QVDEVICE_FILE_DESCRIPTOR},
    {0x80000E00UL, QVDEVICE_FILE_DESCRIPTOR},
    {0x80000F00UL, QVDEVICE_FILE_DESCRIPTOR},
    {0x80000101UL, QVDEVICE_SPECIFIC_30},
    {0x80000201UL, QVDEVICE_SPECIFIC_34},
    {0x80000202UL, QVDEVICE_SPECIFIC_35},
    {0x8000091AUL, QVDEVICE_SPECIFIC_32},
    {0x8000091BUL, QVDEVICE_SPECIFIC_33},
    {0x8000091CUL, QVDEVICE_SPECIFIC_31},
    {0xC0000001UL, QVDEVICE_SPECIFIC_40},
    {0xC0000002UL, QVDEVICE_MODES},
    {0xC0000003UL, QVDEVICE_PROTOCOL_NAME},
    {0xC0000004UL, QVDEVICE_STREAM_CAPACITY},
    {0xC0000005UL, QVDEVICE_WORLD_IDENTITY},
};

// Room for any fixed-size answer a selector stores through a1.
union AnswerSlot {
  long word;
  int descriptor;
  void* pointer;
};

// Bytes a selector reads or stores through a1 when a1 is a slot; 0 when a1 is
// passed as itself (a function, a window start, a text buffer the device
// fills up to the capacity it is given) or not used.
size_t AnswerBytes(qvdeviceselector selector) {
  switch (selector) {
    case QVDEVICE_WRITE:
    case QVDEVICE_WRITE_WINDOW:
    case QVDEVICE_READ:
    case QVDEVICE_GET_YIELD_FUNCTION:
    case QVDEVICE_GET_MESSAGE_HANDLER: return sizeof(void*);
    case QVDEVICE_WRITE_MESSAGE:
    case QVDEVICE_HAS_MESSAGE:
    case QVDEVICE_READ_MESSAGE:
    case QVDEVICE_TYPE:
    case QVDEVICE_NAME_SIZE:
    case QVDEVICE_MODES:
    case QVDEVICE_STREAM_CAPACITY:
    case QVDEVICE_MODE:
    case QVDEVICE_OPTIONS: return sizeof(long);
    case QVDEVICE_FILE_DESCRIPTOR: return sizeof(int);
    default: return 0;
  }
}

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

bool QVDeviceInstance::hasDataSoon(long* error) {
  long soon = 1;
  long ready = 0;
  return call(QVDEVICE_HAS_DATA, &soon, &ready, error) == 0 && ready == 1;
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

void QVDeviceInstance::acknowledge(long* error) {
  if (error != nullptr) *error = 0;
}

long QVDeviceInstance::askLong(qvdeviceselector selector, long* error) {
  long value = 0;
  long ignored = 0;  // selector 38 also answers 8 here
  if (call(selector, &value, &ignored, error) != 0) return 0;
  return value;
}

QVString QVDeviceInstance::askText(qvdeviceselector selector, size_t capacity, long* error) {
  if (!usable()) {
    call(selector, nullptr, nullptr, error);
    return QVString();
  }
  try {
    QVString text(capacity, '\0');
    long room = static_cast<long>(capacity);
    if (call(selector, text.data(), &room, error) != 0) return QVString();
    text.resize(strnlen(text.data(), text.size()));
    return text;
  } catch (const std::exception&) {
    if (error != nullptr) *error = 8;
    return QVString();
  }
}

long QVDeviceInstance::type(long* error) { return askLong(QVDEVICE_TYPE, error); }

int QVDeviceInstance::getFileDescriptor(long* error) {
  int descriptor = -1;
  if (call(QVDEVICE_FILE_DESCRIPTOR, &descriptor, nullptr, error) != 0) return -1;
  return descriptor;
}

long QVDeviceInstance::modes(long* error) { return askLong(QVDEVICE_MODES, error); }

long QVDeviceInstance::streamCapacity(long* error) { return askLong(QVDEVICE_STREAM_CAPACITY, error); }

QVString QVDeviceInstance::protocolName(long* error) {
  return askText(QVDEVICE_PROTOCOL_NAME, kProtocolNameCapacity, error);
}

QVString QVDeviceInstance::id(long* error) { return askText(QVDEVICE_WORLD_IDENTITY, kIdCapacity, error); }

void* QVDeviceInstance::readyCondition(long* error) {
  if (error != nullptr) *error = kUnsupported;
  return nullptr;
}

void QVDeviceInstance::setNotifyWindow(void*, long* error) {
  if (error != nullptr) *error = kUnsupported;
}

void QVDeviceInstance::releaseNotifyWindow(long* error) {
  if (error != nullptr) *error = kUnsupported;
}

uint64_t QVDeviceInstance::getSelector(unsigned long code) {
  for (const PublicCode& row : kPublicCodes) {
    if (row.code == code) return kSelectorFound | static_cast<uint32_t>(row.selector);
  }
  return 0;
}

long QVDeviceInstance::callWithSelector(unsigned long code, void* buffer, long length) {
  if (!usable()) return -1;
  const uint64_t found = getSelector(code);
  if ((found & kSelectorFound) == 0) return -1;
  const auto selector = static_cast<qvdeviceselector>(found & 0xFFFFFFFFu);
  if (selector <= QVDEVICE_WORLD_ID || selector == QVDEVICE_CLOSE) return -1;
  long copy = length;  // what the device writes through a2 stays here
  // A cookie must outlive the call; the copy does not, so none is given.
  void* a2 = (selector == QVDEVICE_SET_YIELD_FUNCTION || selector == QVDEVICE_SET_MESSAGE_HANDLER)
                 ? nullptr
                 : &copy;
  const size_t bytes = AnswerBytes(selector);
  // Has-data reads nothing of the caller's: its a1 is the link's own request
  // to look a moment, which a caller's buffer must not pass for.
  if (selector == QVDEVICE_HAS_DATA) return function_(device_, selector, nullptr, a2);
  if (bytes == 0) return function_(device_, selector, buffer, a2);
  // Fixed-size answers go through an aligned slot and reach the caller only
  // when the buffer holds them.
  if (buffer == nullptr) return -1;
  if (length < 0 || static_cast<unsigned long>(length) < bytes) return 8;
  AnswerSlot slot{};
  std::memcpy(&slot, buffer, bytes);  // in-values (a window start, a message code)
  const long result = function_(device_, selector, &slot, a2);
  if (result != 0) return result;
  if (selector == QVDEVICE_TYPE) {
    slot.word = PublicDeviceType(slot.word);
    if (slot.word == 0) return -1;
  }
  std::memcpy(buffer, &slot, bytes);
  return 0;
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
