// A link's handle on its device: the device object paired with its world's
// interface function. Every operation is exactly one call of that function
// with a selector, so the link core never sees a device class.
#pragma once

#include <cstdint>
#include <ostream>
#include <utility>

#include "quorvane.h"  // RVYielderFunction
#include "utilities/qvobject.h"
#include "utilities/qvsmartpointer.h"

namespace Quorvane {

// The operations of a world's interface function. w = the world object is the
// first argument, d = the device object. Sizes, counts, codes and flags are
// 64-bit words (long) reached through a1/a2 unless marked "itself".
enum qvdeviceselector : int32_t {
  QVDEVICE_WORLD_INIT = 0,               // object: where the new world goes; a1, a2: allocator pair (itself)
  QVDEVICE_WORLD_DEINIT = 1,             // w
  QVDEVICE_WORLD_MAKE = 2,               // w; a1: void** device (out); a2: parameter block text (itself)
  QVDEVICE_WORLD_MAKE_WITH_PARAMETERS = 3,  // w; a1: void** device (out); a2: QVDeviceParameters (itself)
  QVDEVICE_WORLD_GET_SIGNAL_HANDLERS = 4,   // w; a1: list pointer (out)
  QVDEVICE_WORLD_RELEASE_SIGNAL_HANDLERS = 5,  // w; a1: the list (itself)
  QVDEVICE_WORLD_PROTOCOL_NAME = 6,      // w; a1: buffer (itself); a2: capacity (in), length (out)
  QVDEVICE_WORLD_MODES = 7,              // w; a1: modes (out)
  QVDEVICE_WORLD_STREAM_CAPACITY = 8,    // w; a1: capacity (out); a2: 8 (out, may be null)
  QVDEVICE_WORLD_ID = 9,                 // w; a1: buffer (itself); a2: capacity (in)
  QVDEVICE_CONNECT_READY = 10,           // d; a2: 1 when the peer has connected (out)
  QVDEVICE_CONNECT = 11,                 // d
  QVDEVICE_WRITE = 12,                   // d; a1: char** window start (in), next start (out);
                                         //    a2: count written (in), next window size (out)
  QVDEVICE_WRITE_WINDOW = 13,            // d; a1: char** start (out); a2: size (out)
  QVDEVICE_HAS_DATA = 14,                // d; a1: long (in, may be null): nonzero lets the device look a
                                         //    moment before it answers 0; a2: 1 when a read would not block (out)
  QVDEVICE_READ = 15,                    // d; a1: char** start (out); a2: size (out)
  QVDEVICE_READ_COMPLETE = 16,           // d; a1: window start (itself); a2: count consumed (in)
  QVDEVICE_ACKNOWLEDGE = 17,             // d
  QVDEVICE_CLOSE = 18,                   // d; destroys the device; always 0
  QVDEVICE_SET_YIELD_FUNCTION = 19,      // d; a1: function (itself); a2: cookie (itself)
  QVDEVICE_GET_YIELD_FUNCTION = 20,      // d; a1: function (out)
  QVDEVICE_SET_MESSAGE_HANDLER = 21,     // d; a1: handler (itself); a2: cookie (itself)
  QVDEVICE_GET_MESSAGE_HANDLER = 22,     // d; a1: handler (out); a2: cookie (out, may be null)
  QVDEVICE_WRITE_MESSAGE = 23,           // d; a1: code (in); a2: argument (in)
  QVDEVICE_HAS_MESSAGE = 24,             // d; a1, a2: 1 when a message waits (out)
  QVDEVICE_READ_MESSAGE = 25,            // d; a1: code (out); a2: argument (out)
  QVDEVICE_TYPE = 26,                    // d; a1: device type number (out)
  QVDEVICE_NAME = 27,                    // d; a1: buffer (itself); a2: capacity (in)
  QVDEVICE_NAME_SIZE = 28,               // d; a1: name length + 1 (out)
  QVDEVICE_FILE_DESCRIPTOR = 29,         // d; a1: int descriptor (out)
  QVDEVICE_SPECIFIC_30 = 30,             // 30 to 35: device-specific
  QVDEVICE_SPECIFIC_31 = 31,
  QVDEVICE_SPECIFIC_32 = 32,
  QVDEVICE_SPECIFIC_33 = 33,
  QVDEVICE_SPECIFIC_34 = 34,
  QVDEVICE_SPECIFIC_35 = 35,
  QVDEVICE_MODES = 36,                   // d; a1: modes of the device's world (out)
  QVDEVICE_PROTOCOL_NAME = 37,           // d; a1: buffer (itself); a2: capacity (in)
  QVDEVICE_STREAM_CAPACITY = 38,         // d; a1: capacity (out); a2: 8 (out, may be null)
  QVDEVICE_WORLD_IDENTITY = 39,          // d; a1: buffer (itself); a2: capacity (in)
  QVDEVICE_SPECIFIC_40 = 40,
  QVDEVICE_MODE = 41,                    // d; a1: 2 listening, 4 connecting (out); a2: 8 (out)
  QVDEVICE_OPTIONS = 42,                 // d; a1: option bits (out); a2: 8 (out)
};
static_assert(QVDEVICE_OPTIONS == 42, "selectors run from 0 to 42; any larger one answers -1");
constexpr int32_t kQVDeviceSelectorCount = QVDEVICE_OPTIONS + 1;

// Raw device type numbers a device answers to QVDEVICE_TYPE.
enum qvdevicetype : long {
  QVDEVICETYPE_SHAREDMEMORY = 2,
  QVDEVICETYPE_TCPIP = 4,
  QVDEVICETYPE_INTRAPROCESS = 6,
  QVDEVICETYPE_PIPES = 7,
  QVDEVICETYPE_TCP = 9,
};

// A link's yield function (link, yield-parameter record) and message handler
// (link, code, argument); the cookie given with them is the link. Devices keep
// the yield function with its public type, so it is never called through
// another.
using QVDeviceYieldFunction = RVYielderFunction;
using QVDeviceMessageHandler = void (*)(void* cookie, int code, int argument);

// Every call of a yield function goes through here: nonzero asks the wait to
// back out; none installed answers 0. record may be null.
inline int QVCallYielder(QVDeviceYieldFunction function, void* cookie, QVYieldParams* record) {
  return function != nullptr ? function(cookie, record) : 0;
}

}  // namespace Quorvane

// A world's only entry: 0 success, -1 not accepted (unknown selector, a needed
// pointer null, no object), otherwise a link error code. Never throws.
using QVDeviceInterfaceFunction = long (*)(void* object, Quorvane::qvdeviceselector selector,
                                           void* a1, void* a2);

namespace Quorvane {

class QVDeviceInstance : public QVObject {
 public:
  using Window = std::pair<char*, long>;  // (start, size)

  // An instance with neither device nor function: every operation answers -1.
  static QVSmartPointer<QVDeviceInstance> init();
  // Takes over the device: the last reference closes it (selector 18).
  static QVSmartPointer<QVDeviceInstance> initWithDeviceObjectAndFunction(
      void* device, QVDeviceInterfaceFunction function);

  QVDeviceInstance() = default;
  QVDeviceInstance(void* device, QVDeviceInterfaceFunction function)
      : device_(device), function_(function) {}
  QVDeviceInstance(const QVDeviceInstance&) = delete;
  QVDeviceInstance& operator=(const QVDeviceInstance&) = delete;
  ~QVDeviceInstance() override;

  std::pair<void*, QVDeviceInterfaceFunction> getRawDeviceInterface() const {
    return {device_, function_};
  }

  // Each operation writes the selector's answer (0 on success) to *error when
  // error is given; without a device or function it reports -1 and calls nothing.
  bool connectReady(long* error = nullptr);
  void connect(long* error = nullptr);
  Window writeWindow(long* error = nullptr);  // (null, 0) on error
  // Commits count bytes written at start; answers the next window, which may be
  // (null, 0) when the device has no room yet.
  Window write(char* start, long count, long* error = nullptr);
  // As above; refuses (-1, no call) a window with no start or no count.
  Window write(Window& window, long* error = nullptr);
  // Blocks until bytes, the peer's close (11) or an abort (25).
  Window read(long* error = nullptr);
  bool hasData(long* error = nullptr);
  // hasData for a caller about to block until data comes (see selector 14).
  bool hasDataSoon(long* error = nullptr);
  // Answers 26 when more bytes are ready at once, 11 when the peer has closed.
  void readComplete(char* start, long count, long* error = nullptr);
  void readComplete(Window& window, long* error = nullptr);

  void setYielder(QVDeviceYieldFunction function, void* cookie, long* error = nullptr);
  void setYielder(std::pair<QVDeviceYieldFunction, void*>& yielder, long* error = nullptr);
  QVDeviceYieldFunction getYielder(long* error = nullptr);
  void setHandler(QVDeviceMessageHandler handler, void* cookie, long* error = nullptr);
  void setHandler(std::pair<QVDeviceMessageHandler, void*>& handler, long* error = nullptr);
  QVDeviceMessageHandler getHandler(long* error = nullptr);

  void writeMessage(long code, long argument, long* error = nullptr);
  void writeMessage(std::pair<long, long>& message, long* error = nullptr);
  bool hasMessage(long* error = nullptr);
  // (code, argument); error 18 means no message waits.
  std::pair<long, long> readMessage(long* error = nullptr);

  long nameLength(long* error = nullptr);  // name length + 1; 0 on error
  QVString name(long* error = nullptr);    // empty on error

  // Writes 0 to *error and calls nothing: no device needs the acknowledgement.
  void acknowledge(long* error = nullptr);
  long type(long* error = nullptr);              // raw type number (qvdevicetype); 0 on error
  int getFileDescriptor(long* error = nullptr);  // -1 on error
  long modes(long* error = nullptr);             // modes of the device's world; 0 on error
  long streamCapacity(long* error = nullptr);    // 0 on error
  QVString protocolName(long* error = nullptr);  // empty on error
  QVString id(long* error = nullptr);            // the world's identity; empty on error
  // No device supports these: each writes 30 to *error and answers nothing.
  void* readyCondition(long* error = nullptr);
  void setNotifyWindow(void* window, long* error = nullptr);
  void releaseNotifyWindow(long* error = nullptr);

  // The public device-information call: maps code to a selector and calls it
  // with buffer and a copy of length, so nothing the device writes there
  // reaches the caller. 0 when answered; -1 for an empty instance, a code not
  // found, or a code that reaches a world selector (0 to 9) or close (18),
  // which would treat the device as a world or destroy it under the link;
  // 8 when the buffer cannot hold a fixed-size answer; otherwise the device's
  // code. The device type comes back as its public number.
  long callWithSelector(unsigned long code, void* buffer, long length);
  // Selector for a public code in the low 32 bits, bit 32 set when found.
  static uint64_t getSelector(unsigned long code);

  void print(std::ostream& os) const;

 private:
  bool usable() const { return device_ != nullptr && function_ != nullptr; }
  long call(qvdeviceselector selector, void* a1, void* a2, long* error);
  long askLong(qvdeviceselector selector, long* error);
  QVString askText(qvdeviceselector selector, size_t capacity, long* error);

  void* device_ = nullptr;
  QVDeviceInterfaceFunction function_ = nullptr;
};

std::ostream& operator<<(std::ostream& os, const QVDeviceInstance& instance);

}  // namespace Quorvane
