// A scripted device for tests: a device of its own test world whose data path
// is one end of an AF_UNIX socketpair, the test holding the other end. The
// test scripts what the link reads, captures what it writes, injects failures,
// shapes the write window, exchanges messages and reads the log of selector
// calls. The link sees only a QVDeviceInstance and the world's function.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "device/qvdeviceinstance.h"

namespace qvtest {

struct ScriptedState;

// Operations whose answers a test can force.
enum class ScriptedOp { Connect, Read, ReadComplete, Write, WriteWindow };

struct ScriptedOptions {
  std::string name = "scripted";  // the link name (selectors 27, 28)
  long windowSize = 4096;         // write window size, at least 1
  long readSize = 4096;           // most bytes one read window holds, at least 1
};

// The test's handle on one scripted device. The device itself belongs to the
// instance handed to the link; this handle stays valid after the device closes.
class ScriptedDevice {
 public:
  explicit ScriptedDevice(ScriptedOptions options = {});
  ~ScriptedDevice();
  ScriptedDevice(const ScriptedDevice&) = delete;
  ScriptedDevice& operator=(const ScriptedDevice&) = delete;

  // Two devices whose data sockets are joined back to back: what one writes the
  // other reads, and a message written on one waits on the other. Neither has
  // a test end (WriteBytes, Captured and ClosePeer are refused).
  static std::pair<std::unique_ptr<ScriptedDevice>, std::unique_ptr<ScriptedDevice>> MakePair(
      ScriptedOptions first = {}, ScriptedOptions second = {});

  // The device for the link; the first call hands it over, later ones answer
  // an empty pointer. A device never taken is closed by this handle.
  Quorvane::QVSmartPointer<Quorvane::QVDeviceInstance> TakeInstance();
  // The raw device for a caller that pairs it with Function() itself and
  // closes it with selector 18; later TakeInstance calls answer empty.
  void* ReleaseDevice();
  // The world's interface function, for tests that call selectors directly.
  static QVDeviceInterfaceFunction Function();

  // --- bytes, through the test's end of the socketpair. A thread of this
  // handle drains the test's end all along, so the link's writes never stall.
  // WriteBytes blocks until the socket took every byte.
  void WriteBytes(std::string_view bytes);  // the link will read them
  // Closes the test's end once what the link wrote is captured: the link's
  // reads then answer 11 and its writes 1.
  void ClosePeer();
  std::string Captured() const;             // bytes the link wrote, since the last TakeCaptured
  std::string TakeCaptured();               // the same, and forgets them
  size_t CapturedCount() const;             // all bytes ever captured
  // Waits until at least count bytes were ever captured; false on deadline.
  bool WaitCaptured(size_t count, std::chrono::milliseconds deadline = std::chrono::seconds(20));

  // --- failures: the next `times` calls of op answer code without doing
  // anything (a read wakes at once when it is blocked).
  void FailNext(ScriptedOp op, long code, int times = 1);
  // The next `times` windows (from write or writeWindow) are (null, 0) with no error.
  void WithholdWindows(int times);
  void SetWindowSize(long size);  // at least 1

  // --- messages
  // Queues a message for the link's readMessage and calls its handler if set.
  void SendMessage(long code, long argument);
  std::vector<std::pair<long, long>> CapturedMessages() const;  // what writeMessage sent

  // --- observation
  std::vector<int> SelectorLog() const;  // every selector the device was called with
  void ClearLog();
  int CloseCount() const;                // selector 18 calls the device received
  bool Connected() const;                // a connect has succeeded
  void* Device() const;                  // the raw device object (null once closed)

 private:
  explicit ScriptedDevice(std::shared_ptr<ScriptedState> state);
  std::shared_ptr<ScriptedState> state_;
};

// The scripted world for device-manager tests: a world answering `protocol`
// to selector 6 whose makes (selectors 2 and 3) answer makeAnswer, or make a
// scripted device when it is 0.
struct ScriptedWorldConfig {
  std::string protocol = "Scripted";
  long makeAnswer = 0;
  long signalHandlersAnswer = 0;  // selector 4; 0 gives no list (no handlers wanted)
};

struct ScriptedWorldRecord {
  ScriptedWorldConfig config;
  int makeCalls = 0;              // selector 2 and 3 calls
  int initCalls = 0;              // selector 0
  int deinitCalls = 0;            // selector 1
  std::vector<std::string> blocksSeen;  // protocol field of each make's block or parameters
  std::vector<std::unique_ptr<ScriptedDevice>> made;  // handles on the devices made
};

// The function whose selector 0 makes the next world queued by QueueScriptedWorld.
QVDeviceInterfaceFunction ScriptedWorldFunction();
// Queues the configuration the next world init takes; the record stays valid
// for the life of the process.
ScriptedWorldRecord* QueueScriptedWorld(ScriptedWorldConfig config);

}  // namespace qvtest
