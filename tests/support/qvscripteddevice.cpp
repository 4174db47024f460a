// The scripted test world: one interface function serving both the world
// (selectors 0 to 9) and its devices (10 to 42), and the test's handle.
#include "qvscripteddevice.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <list>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "device/qvdevicebridge.h"
#include "device/qvdeviceparameters.h"
#include "utilities/qvuniquefd.h"

using Quorvane::detail::QVUniqueFd;

namespace qvtest {

namespace {

constexpr long kNoMessage = 18;
constexpr long kPeerClosed = 11;
constexpr long kAborted = 25;
constexpr long kLost = 1;
constexpr int kYieldSliceMs = 10;  // how often a blocked read asks the yield function

void MakePipe(QVUniqueFd& readEnd, QVUniqueFd& writeEnd) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("pipe2 failed");
  readEnd.reset(fds[0]);
  writeEnd.reset(fds[1]);
}

void MakeSocketPair(QVUniqueFd& one, QVUniqueFd& other) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
    throw std::runtime_error("socketpair failed");
  }
  one.reset(fds[0]);
  other.reset(fds[1]);
}

// Sends every byte, waiting while the socket is full; false when the other end is gone.
bool SendAll(int fd, const char* data, size_t count) {
  while (count > 0) {
    ssize_t n = send(fd, data, count, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) {
        pollfd p{fd, POLLOUT, 0};
        poll(&p, 1, -1);
        continue;
      }
      return false;
    }
    data += n;
    count -= static_cast<size_t>(n);
  }
  return true;
}

long BytesWaiting(int fd) {
  int n = 0;
  if (fd < 0 || ioctl(fd, FIONREAD, &n) != 0) return 0;
  return n;
}

}  // namespace

struct ScriptedState {
  mutable std::mutex mutex;
  std::condition_variable capturedChanged;
  ScriptedOptions options;
  std::weak_ptr<ScriptedState> partner;  // the other device of a back-to-back pair

  // Descriptors: the device's end, the test's end, and a pipe that wakes a blocked read.
  QVUniqueFd deviceEnd;
  QVUniqueFd peerEnd;
  QVUniqueFd wakeRead;
  QVUniqueFd wakeWrite;
  QVUniqueFd stopRead;  // stops the capture thread
  QVUniqueFd stopWrite;
  std::thread capture;

  // Scripted answers, observations; guarded by mutex.
  std::map<ScriptedOp, std::deque<long>> failures;
  int withheld = 0;
  std::deque<std::pair<long, long>> incoming;
  std::vector<std::pair<long, long>> sentMessages;
  std::vector<int> log;
  std::string captured;
  size_t capturedTotal = 0;
  int closeCount = 0;
  bool connected = false;
  bool taken = false;
  void* device = nullptr;
  Quorvane::QVDeviceYieldFunction yield = nullptr;
  void* yieldCookie = nullptr;
  Quorvane::QVDeviceMessageHandler handler = nullptr;
  void* handlerCookie = nullptr;

  // Used only on the link's thread, inside selector calls.
  std::vector<char> readBuffer;
  size_t readStart = 0;  // unconsumed bytes of the last read window
  size_t readEnd = 0;
  std::vector<char> writeBuffer;
  bool windowOut = false;  // a window was handed out and not yet committed

  // The forced answer for op, or 0.
  long TakeFailure(ScriptedOp op) {
    std::lock_guard<std::mutex> lock(mutex);
    auto& queue = failures[op];
    if (queue.empty()) return 0;
    long code = queue.front();
    queue.pop_front();
    return code;
  }

  void Deliver(long code, long argument) {
    Quorvane::QVDeviceMessageHandler call = nullptr;
    void* cookie = nullptr;
    {
      std::lock_guard<std::mutex> lock(mutex);
      incoming.emplace_back(code, argument);
      call = handler;
      cookie = handlerCookie;
    }
    if (call != nullptr) call(cookie, static_cast<int>(code), static_cast<int>(argument));
  }

  void StopCapture() {
    if (!capture.joinable()) return;
    char byte = 1;
    ssize_t ignored = ::write(stopWrite.get(), &byte, 1);
    (void)ignored;
    capture.join();
  }

  void CaptureLoop() {
    char buffer[65536];
    while (true) {
      pollfd p[2] = {{peerEnd.get(), POLLIN, 0}, {stopRead.get(), POLLIN, 0}};
      if (poll(p, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      // Drain what is there before honouring a stop, so nothing written is lost.
      ssize_t n = (p[0].revents != 0) ? recv(peerEnd.get(), buffer, sizeof buffer, MSG_DONTWAIT) : -1;
      if (n > 0) {
        std::lock_guard<std::mutex> lock(mutex);
        captured.append(buffer, static_cast<size_t>(n));
        capturedTotal += static_cast<size_t>(n);
        capturedChanged.notify_all();
        continue;
      }
      if (n == 0) return;  // the device closed
      if (n < 0 && p[0].revents != 0 && errno != EAGAIN && errno != EINTR) return;
      if (p[1].revents != 0) return;
    }
  }
};

namespace {

struct ScriptedDeviceObject {
  std::shared_ptr<ScriptedState> state;
};

struct ScriptedWorldObject {
  ScriptedWorldRecord* record;
};

std::mutex gWorldsMutex;
std::deque<ScriptedWorldRecord*> gPendingWorlds;
std::list<std::unique_ptr<ScriptedWorldRecord>> gAllWorlds;

ScriptedState& StateOf(void* object) { return *static_cast<ScriptedDeviceObject*>(object)->state; }

// A text answer by the library's rule (cleared to the capacity, no
// terminator, 8 and the buffer untouched when the text is longer).
long CopyText(const std::string& text, void* buffer, void* capacity, bool storeLength = false) {
  if (buffer == nullptr || capacity == nullptr) return -1;
  return Quorvane::bridge::CopyText(Quorvane::QVString(text.data(), text.size()), buffer, capacity, storeLength);
}

long Close(void* object) {
  auto* device = static_cast<ScriptedDeviceObject*>(object);
  std::shared_ptr<ScriptedState> state = device->state;
  {
    std::lock_guard<std::mutex> lock(state->mutex);
    ++state->closeCount;
    state->device = nullptr;
  }
  // The test's end (or the partner) sees the end of the stream.
  state->deviceEnd.reset();
  delete device;
  return 0;
}

long Connect(ScriptedState& state) {
  if (long code = state.TakeFailure(ScriptedOp::Connect)) return code;
  std::lock_guard<std::mutex> lock(state.mutex);
  state.connected = true;
  return 0;
}

// The next write window, or (null, 0) while the test withholds windows.
long NextWindow(ScriptedState& state, char** start, long* size) {
  long windowSize = 0;
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.withheld > 0) {
      --state.withheld;
      *start = nullptr;
      *size = 0;
      state.windowOut = false;
      return 0;
    }
    windowSize = state.options.windowSize;
  }
  state.writeBuffer.resize(static_cast<size_t>(windowSize));
  *start = state.writeBuffer.data();
  *size = windowSize;
  state.windowOut = true;
  return 0;
}

long WriteWindow(ScriptedState& state, void* a1, void* a2) {
  if (a1 == nullptr || a2 == nullptr) return -1;
  if (long code = state.TakeFailure(ScriptedOp::WriteWindow)) return code;
  return NextWindow(state, static_cast<char**>(a1), static_cast<long*>(a2));
}

long Write(ScriptedState& state, void* a1, void* a2) {
  if (a1 == nullptr || a2 == nullptr) return -1;
  if (long code = state.TakeFailure(ScriptedOp::Write)) return code;
  auto* start = static_cast<char**>(a1);
  auto* count = static_cast<long*>(a2);
  // Only the window handed out may be committed, and no more than it holds.
  if (!state.windowOut || *start != state.writeBuffer.data() || *count < 0 ||
      static_cast<size_t>(*count) > state.writeBuffer.size()) {
    return -1;
  }
  if (!SendAll(state.deviceEnd.get(), state.writeBuffer.data(), static_cast<size_t>(*count))) {
    return kLost;
  }
  return NextWindow(state, start, count);
}

// Waits until the device's end is readable; 0, or 25 when aborted.
long WaitReadable(ScriptedState& state) {
  while (true) {
    if (long code = state.TakeFailure(ScriptedOp::Read)) return code;
    Quorvane::QVDeviceYieldFunction yield = nullptr;
    void* cookie = nullptr;
    {
      std::lock_guard<std::mutex> lock(state.mutex);
      yield = state.yield;
      cookie = state.yieldCookie;
    }
    pollfd p[2] = {{state.deviceEnd.get(), POLLIN, 0}, {state.wakeRead.get(), POLLIN, 0}};
    int ready = poll(p, 2, yield != nullptr ? kYieldSliceMs : -1);
    if (ready < 0 && errno != EINTR) return kLost;
    if (p[1].revents != 0) {
      char drain[64];
      while (::read(state.wakeRead.get(), drain, sizeof drain) > 0) {
      }
      continue;  // a failure was scripted: answer it
    }
    if (p[0].revents != 0) return 0;
    if (ready == 0 && yield != nullptr && yield(cookie, nullptr) != 0) return kAborted;
  }
}

long Read(ScriptedState& state, void* a1, void* a2) {
  if (a1 == nullptr || a2 == nullptr) return -1;
  auto* start = static_cast<char**>(a1);
  auto* size = static_cast<long*>(a2);
  if (state.readStart < state.readEnd) {
    if (long code = state.TakeFailure(ScriptedOp::Read)) return code;
  } else {
    if (long code = WaitReadable(state)) return code;
    long readSize = 0;
    {
      std::lock_guard<std::mutex> lock(state.mutex);
      readSize = state.options.readSize;
    }
    state.readBuffer.resize(static_cast<size_t>(readSize));
    ssize_t n;
    do {
      n = recv(state.deviceEnd.get(), state.readBuffer.data(), state.readBuffer.size(), MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n == 0) return kPeerClosed;
    if (n < 0) return errno == EAGAIN ? Read(state, a1, a2) : kLost;
    state.readStart = 0;
    state.readEnd = static_cast<size_t>(n);
  }
  *start = state.readBuffer.data() + state.readStart;
  *size = static_cast<long>(state.readEnd - state.readStart);
  return 0;
}

long ReadComplete(ScriptedState& state, void* a1, void* a2) {
  if (a1 == nullptr || a2 == nullptr) return -1;
  long consumed = *static_cast<long*>(a2);
  if (static_cast<char*>(a1) != state.readBuffer.data() + state.readStart || consumed < 0 ||
      static_cast<size_t>(consumed) > state.readEnd - state.readStart) {
    return -1;
  }
  state.readStart += static_cast<size_t>(consumed);
  if (long code = state.TakeFailure(ScriptedOp::ReadComplete)) return code;
  if (state.readStart < state.readEnd || BytesWaiting(state.deviceEnd.get()) > 0) return 26;
  pollfd p{state.deviceEnd.get(), POLLIN, 0};
  if (poll(&p, 1, 0) == 1 && (p.revents & (POLLIN | POLLHUP)) != 0) return kPeerClosed;
  return 0;
}

long HasData(ScriptedState& state, void* a2) {
  if (a2 == nullptr) return -1;
  bool ready = state.readStart < state.readEnd || BytesWaiting(state.deviceEnd.get()) > 0;
  *static_cast<long*>(a2) = ready ? 1 : 0;
  if (ready) return 0;
  // Nothing left and the peer gone: say so, as a real device does.
  pollfd p{state.deviceEnd.get(), POLLIN, 0};
  if (poll(&p, 1, 0) == 1 && (p.revents & (POLLIN | POLLHUP)) != 0) return kPeerClosed;
  return 0;
}

long WriteMessage(ScriptedState& state, void* a1, void* a2) {
  if (a1 == nullptr || a2 == nullptr) return -1;
  long code = *static_cast<long*>(a1);
  long argument = *static_cast<long*>(a2);
  std::shared_ptr<ScriptedState> partner;
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    state.sentMessages.emplace_back(code, argument);
    partner = state.partner.lock();
  }
  if (partner) partner->Deliver(code, argument);
  return 0;
}

long MessageQuery(ScriptedState& state, Quorvane::qvdeviceselector selector, void* a1, void* a2) {
  if (a1 == nullptr || a2 == nullptr) return -1;
  auto* first = static_cast<long*>(a1);
  auto* second = static_cast<long*>(a2);
  std::lock_guard<std::mutex> lock(state.mutex);
  if (selector == Quorvane::QVDEVICE_HAS_MESSAGE) {
    *first = *second = state.incoming.empty() ? 0 : 1;
    return 0;
  }
  if (state.incoming.empty()) return kNoMessage;
  *first = state.incoming.front().first;
  *second = state.incoming.front().second;
  state.incoming.pop_front();
  return 0;
}

long Callbacks(ScriptedState& state, Quorvane::qvdeviceselector selector, void* a1, void* a2) {
  std::lock_guard<std::mutex> lock(state.mutex);
  switch (selector) {
    case Quorvane::QVDEVICE_SET_YIELD_FUNCTION:
      state.yield = reinterpret_cast<Quorvane::QVDeviceYieldFunction>(a1);
      state.yieldCookie = a2;
      return 0;
    case Quorvane::QVDEVICE_GET_YIELD_FUNCTION:
      if (a1 == nullptr) return -1;
      *static_cast<Quorvane::QVDeviceYieldFunction*>(a1) = state.yield;
      return 0;
    case Quorvane::QVDEVICE_SET_MESSAGE_HANDLER:
      state.handler = reinterpret_cast<Quorvane::QVDeviceMessageHandler>(a1);
      state.handlerCookie = a2;
      return 0;
    case Quorvane::QVDEVICE_GET_MESSAGE_HANDLER:
      if (a1 == nullptr) return -1;
      *static_cast<Quorvane::QVDeviceMessageHandler*>(a1) = state.handler;
      if (a2 != nullptr) *static_cast<void**>(a2) = state.handlerCookie;
      return 0;
    default:
      return -1;
  }
}

long DeviceCall(void* object, Quorvane::qvdeviceselector selector, void* a1, void* a2) {
  ScriptedState& state = StateOf(object);
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    state.log.push_back(selector);
  }
  switch (selector) {
    case Quorvane::QVDEVICE_CONNECT_READY: {
      if (a2 == nullptr) return -1;
      std::lock_guard<std::mutex> lock(state.mutex);
      *static_cast<long*>(a2) = state.connected ? 1 : 0;
      return 0;
    }
    case Quorvane::QVDEVICE_CONNECT: return Connect(state);
    case Quorvane::QVDEVICE_WRITE: return Write(state, a1, a2);
    case Quorvane::QVDEVICE_WRITE_WINDOW: return WriteWindow(state, a1, a2);
    case Quorvane::QVDEVICE_HAS_DATA: return HasData(state, a2);
    case Quorvane::QVDEVICE_READ: return Read(state, a1, a2);
    case Quorvane::QVDEVICE_READ_COMPLETE: return ReadComplete(state, a1, a2);
    case Quorvane::QVDEVICE_ACKNOWLEDGE: return 0;
    case Quorvane::QVDEVICE_CLOSE: return Close(object);
    case Quorvane::QVDEVICE_SET_YIELD_FUNCTION:
    case Quorvane::QVDEVICE_GET_YIELD_FUNCTION:
    case Quorvane::QVDEVICE_SET_MESSAGE_HANDLER:
    case Quorvane::QVDEVICE_GET_MESSAGE_HANDLER: return Callbacks(state, selector, a1, a2);
    case Quorvane::QVDEVICE_WRITE_MESSAGE: return WriteMessage(state, a1, a2);
    case Quorvane::QVDEVICE_HAS_MESSAGE:
    case Quorvane::QVDEVICE_READ_MESSAGE: return MessageQuery(state, selector, a1, a2);
    case Quorvane::QVDEVICE_TYPE:
      if (a1 == nullptr) return -1;
      *static_cast<long*>(a1) = Quorvane::QVDEVICETYPE_PIPES;
      return 0;
    case Quorvane::QVDEVICE_NAME: return CopyText(state.options.name, a1, a2);
    case Quorvane::QVDEVICE_NAME_SIZE:
      if (a1 == nullptr) return -1;
      *static_cast<long*>(a1) = static_cast<long>(state.options.name.size()) + 1;
      return 0;
    case Quorvane::QVDEVICE_FILE_DESCRIPTOR:
      if (a1 == nullptr) return -1;
      *static_cast<int*>(a1) = state.deviceEnd.get();
      return 0;
    default:
      return -1;
  }
}

long WorldCall(void* object, Quorvane::qvdeviceselector selector, void* a1, void* a2) {
  if (selector == Quorvane::QVDEVICE_WORLD_INIT) {
    std::lock_guard<std::mutex> lock(gWorldsMutex);
    if (gPendingWorlds.empty()) return -1;
    ScriptedWorldRecord* record = gPendingWorlds.front();
    gPendingWorlds.pop_front();
    ++record->initCalls;
    *static_cast<void**>(object) = new ScriptedWorldObject{record};
    return 0;
  }
  auto* world = static_cast<ScriptedWorldObject*>(object);
  ScriptedWorldRecord& record = *world->record;
  switch (selector) {
    case Quorvane::QVDEVICE_WORLD_DEINIT:
      ++record.deinitCalls;
      delete world;
      return 0;
    case Quorvane::QVDEVICE_WORLD_MAKE:
    case Quorvane::QVDEVICE_WORLD_MAKE_WITH_PARAMETERS: {
      if (a1 == nullptr || a2 == nullptr) return -1;
      ++record.makeCalls;
      Quorvane::QVDeviceParameters parameters =
          selector == Quorvane::QVDEVICE_WORLD_MAKE
              ? Quorvane::QVDeviceParameters(static_cast<const char*>(a2))
              : *static_cast<Quorvane::QVDeviceParameters*>(a2);
      record.blocksSeen.push_back(Quorvane::ToStdString(parameters.Protocol));
      if (record.config.makeAnswer != 0) return record.config.makeAnswer;
      ScriptedOptions options;
      if (!parameters.Name.empty()) options.name = Quorvane::ToStdString(parameters.Name);
      auto device = std::make_unique<ScriptedDevice>(options);
      // The manager pairs the raw device with this function itself.
      *static_cast<void**>(a1) = device->ReleaseDevice();
      record.made.push_back(std::move(device));
      return 0;
    }
    case Quorvane::QVDEVICE_WORLD_GET_SIGNAL_HANDLERS:
      if (a1 == nullptr) return -1;
      *static_cast<void**>(a1) = nullptr;
      return record.config.signalHandlersAnswer;
    case Quorvane::QVDEVICE_WORLD_PROTOCOL_NAME: return CopyText(record.config.protocol, a1, a2, true);
    default:
      return -1;
  }
}

long ScriptedMain(void* object, Quorvane::qvdeviceselector selector, void* a1, void* a2) {
  if (selector != Quorvane::QVDEVICE_WORLD_INIT && object == nullptr) return -1;
  if (selector < 0 || selector >= Quorvane::kQVDeviceSelectorCount) return -1;
  try {
    if (selector <= Quorvane::QVDEVICE_WORLD_ID) {
      if (object == nullptr) return -1;
      return WorldCall(object, selector, a1, a2);
    }
    return DeviceCall(object, selector, a1, a2);
  } catch (...) {
    return -1;
  }
}

void CheckOptions(const ScriptedOptions& options) {
  if (options.windowSize < 1 || options.readSize < 1) {
    throw std::invalid_argument("window and read sizes are at least 1");
  }
}

}  // namespace

ScriptedDevice::ScriptedDevice(ScriptedOptions options) : state_(std::make_shared<ScriptedState>()) {
  CheckOptions(options);
  state_->options = std::move(options);
  MakeSocketPair(state_->deviceEnd, state_->peerEnd);
  MakePipe(state_->wakeRead, state_->wakeWrite);
  MakePipe(state_->stopRead, state_->stopWrite);
  state_->device = new ScriptedDeviceObject{state_};
  state_->capture = std::thread([state = state_.get()] { state->CaptureLoop(); });
}

ScriptedDevice::ScriptedDevice(std::shared_ptr<ScriptedState> state) : state_(std::move(state)) {}

ScriptedDevice::~ScriptedDevice() {
  state_->StopCapture();
  state_->peerEnd.reset();  // a device still in use sees its peer gone
  void* untaken = nullptr;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (!state_->taken) untaken = state_->device;
  }
  if (untaken != nullptr) ScriptedMain(untaken, Quorvane::QVDEVICE_CLOSE, nullptr, nullptr);
}

std::pair<std::unique_ptr<ScriptedDevice>, std::unique_ptr<ScriptedDevice>> ScriptedDevice::MakePair(
    ScriptedOptions first, ScriptedOptions second) {
  CheckOptions(first);
  CheckOptions(second);
  auto a = std::make_shared<ScriptedState>();
  auto b = std::make_shared<ScriptedState>();
  a->options = std::move(first);
  b->options = std::move(second);
  MakeSocketPair(a->deviceEnd, b->deviceEnd);
  for (auto* state : {a.get(), b.get()}) {
    MakePipe(state->wakeRead, state->wakeWrite);
  }
  a->partner = b;
  b->partner = a;
  a->device = new ScriptedDeviceObject{a};
  b->device = new ScriptedDeviceObject{b};
  return {std::unique_ptr<ScriptedDevice>(new ScriptedDevice(a)),
          std::unique_ptr<ScriptedDevice>(new ScriptedDevice(b))};
}

void* ScriptedDevice::ReleaseDevice() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  if (state_->taken) return nullptr;
  state_->taken = true;
  return state_->device;
}

Quorvane::QVSmartPointer<Quorvane::QVDeviceInstance> ScriptedDevice::TakeInstance() {
  void* device = ReleaseDevice();
  if (device == nullptr) return {};
  return Quorvane::QVDeviceInstance::initWithDeviceObjectAndFunction(device, &ScriptedMain);
}

QVDeviceInterfaceFunction ScriptedDevice::Function() { return &ScriptedMain; }

void ScriptedDevice::WriteBytes(std::string_view bytes) {
  if (!state_->peerEnd.valid()) throw std::logic_error("this scripted device has no test end");
  if (!SendAll(state_->peerEnd.get(), bytes.data(), bytes.size())) {
    throw std::runtime_error("the device end is closed");
  }
}

void ScriptedDevice::ClosePeer() {
  if (!state_->peerEnd.valid()) throw std::logic_error("this scripted device has no test end");
  state_->StopCapture();
  state_->peerEnd.reset();
}

std::string ScriptedDevice::Captured() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->captured;
}

std::string ScriptedDevice::TakeCaptured() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  std::string bytes;
  bytes.swap(state_->captured);
  return bytes;
}

size_t ScriptedDevice::CapturedCount() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->capturedTotal;
}

bool ScriptedDevice::WaitCaptured(size_t count, std::chrono::milliseconds deadline) {
  std::unique_lock<std::mutex> lock(state_->mutex);
  return state_->capturedChanged.wait_for(lock, deadline,
                                          [&] { return state_->capturedTotal >= count; });
}

void ScriptedDevice::FailNext(ScriptedOp op, long code, int times) {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    for (int i = 0; i < times; ++i) state_->failures[op].push_back(code);
  }
  if (op == ScriptedOp::Read) {
    char byte = 1;
    ssize_t ignored = ::write(state_->wakeWrite.get(), &byte, 1);
    (void)ignored;
  }
}

void ScriptedDevice::WithholdWindows(int times) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->withheld += times;
}

void ScriptedDevice::SetWindowSize(long size) {
  if (size < 1) throw std::invalid_argument("a write window holds at least 1 byte");
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->options.windowSize = size;
}

void ScriptedDevice::SendMessage(long code, long argument) { state_->Deliver(code, argument); }

std::vector<std::pair<long, long>> ScriptedDevice::CapturedMessages() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->sentMessages;
}

std::vector<int> ScriptedDevice::SelectorLog() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->log;
}

void ScriptedDevice::ClearLog() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->log.clear();
}

int ScriptedDevice::CloseCount() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->closeCount;
}

bool ScriptedDevice::Connected() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->connected;
}

void* ScriptedDevice::Device() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->device;
}

QVDeviceInterfaceFunction ScriptedWorldFunction() { return &ScriptedMain; }

ScriptedWorldRecord* QueueScriptedWorld(ScriptedWorldConfig config) {
  std::lock_guard<std::mutex> lock(gWorldsMutex);
  gAllWorlds.push_back(std::make_unique<ScriptedWorldRecord>());
  ScriptedWorldRecord* record = gAllWorlds.back().get();
  record->config = std::move(config);
  gPendingWorlds.push_back(record);
  return record;
}

}  // namespace qvtest
