// Shared-memory links in tests: worlds and devices made through the bridge as
// the link core makes them, children forked before the library starts any
// thread, a mailbox both processes see, and the files and objects of a link.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "device/qvdevicebridge.h"
#include "device/qvshmdevice.h"
#include "device/qvshmworld.h"
#include "support/qvtest.h"
#include "utilities/platform/qvsharedmemoryname.h"
#include "utilities/qvsyncobject.h"

namespace qvshmtest {

using Quorvane::QVSharedMemoryDevice;
using Quorvane::QVSharedMemoryWorld;

inline long Call(void* object, Quorvane::qvdeviceselector selector, void* a1 = nullptr, void* a2 = nullptr) {
  return qvdevice_main<QVSharedMemoryWorld, QVSharedMemoryDevice>(object, selector, a1, a2);
}

// A yield function that asks to stop once its deadline (the cookie) passed.
inline int UntilDeadline(void* cookie, QVYieldParams*) {
  return std::chrono::steady_clock::now() >= *static_cast<std::chrono::steady_clock::time_point*>(cookie) ? 1 : 0;
}
inline int AbortAtOnce(void*, QVYieldParams*) { return 1; }

// A device made through the bridge and closed through it.
class Link {
 public:
  Link() = default;
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;
  ~Link() { Close(); }
  void Close() {
    if (device_ != nullptr) Call(device_, Quorvane::QVDEVICE_CLOSE);
    device_ = nullptr;
  }
  void*& raw() { return device_; }
  QVSharedMemoryDevice* operator->() const { return static_cast<QVSharedMemoryDevice*>(device_); }
  explicit operator bool() const { return device_ != nullptr; }
  // Connect with a yield function that gives up after the deadline.
  long Connect(std::chrono::seconds within = std::chrono::seconds(20)) {
    deadline_ = std::chrono::steady_clock::now() + within;
    Call(device_, Quorvane::QVDEVICE_SET_YIELD_FUNCTION, reinterpret_cast<void*>(&UntilDeadline), &deadline_);
    return Call(device_, Quorvane::QVDEVICE_CONNECT);
  }

 private:
  void* device_ = nullptr;
  std::chrono::steady_clock::time_point deadline_;
};

// A world made and ended through the bridge.
class World {
 public:
  World() { Call(&world_, Quorvane::QVDEVICE_WORLD_INIT); }
  ~World() { End(); }
  World(const World&) = delete;
  World& operator=(const World&) = delete;
  void End() {
    if (world_ != nullptr) Call(world_, Quorvane::QVDEVICE_WORLD_DEINIT);
    world_ = nullptr;
  }
  QVSharedMemoryWorld* operator->() const { return static_cast<QVSharedMemoryWorld*>(world_); }
  QVSharedMemoryWorld* get() const { return static_cast<QVSharedMemoryWorld*>(world_); }
  // The bridge's answer to making a device of these parameters.
  long Make(Link& link, const std::string& name, unsigned long mode, const std::string& protocol = "SharedMemory") {
    Quorvane::QVDeviceParameters parameters;
    parameters.Protocol = Quorvane::ToQVString(protocol);
    parameters.Name = Quorvane::ToQVString(name);
    parameters.Mode = mode;
    return Call(world_, Quorvane::QVDEVICE_WORLD_MAKE_WITH_PARAMETERS, &link.raw(), &parameters);
  }

 private:
  void* world_ = nullptr;
};

inline constexpr unsigned long kListen = 2;
inline constexpr unsigned long kConnect = 4;

// How the world refused a device, asked directly rather than through the
// bridge, so that the exception's type and text are seen.
struct Refusal {
  bool refused = false;
  Quorvane::qvexceptiontype type = Quorvane::qvexceptiontype::internalError;
  std::string what;
};

inline Refusal Refuse(QVSharedMemoryWorld* world, const std::string& name, unsigned long mode,
                      const std::string& protocol = "SharedMemory") {
  Quorvane::QVDeviceParameters parameters;
  parameters.Protocol = Quorvane::ToQVString(protocol);
  parameters.Name = Quorvane::ToQVString(name);
  parameters.Mode = mode;
  try {
    delete world->MakeDeviceWithParameters(&parameters);
    return {};
  } catch (const Quorvane::QVException& e) {
    return {true, e.getType(), Quorvane::ToStdString(e.getWhat())};
  }
}

// What both processes of a test see.
struct Mailbox {
  std::atomic<int> stage{0};
  std::atomic<int> answer{-100};
  std::atomic<int> pid{0};
  // A short text (a link name), written before the stage that announces it.
  char text[256] = {};
};

// An anonymous shared mapping holding one Mailbox, unmapped at the end.
class SharedMailbox {
 public:
  SharedMailbox() {
    void* memory = mmap(nullptr, sizeof(Mailbox), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    box_ = memory == MAP_FAILED ? nullptr : new (memory) Mailbox;
  }
  ~SharedMailbox() {
    if (box_ != nullptr) munmap(box_, sizeof(Mailbox));
  }
  SharedMailbox(const SharedMailbox&) = delete;
  SharedMailbox& operator=(const SharedMailbox&) = delete;
  Mailbox* operator->() const { return box_; }

 private:
  Mailbox* box_;
};

// Waits (with a deadline) until the mailbox reaches a stage.
inline bool Reaches(const SharedMailbox& box, int stage, std::chrono::milliseconds within = std::chrono::seconds(20)) {
  return qvtest::WaitUntil([&] { return box->stage.load() >= stage; }, within);
}

// A forked child that runs body and leaves with its answer; killed and reaped
// if the test leaves first. Fork before this process makes any world.
class Child {
 public:
  explicit Child(const std::function<int()>& body) {
    pid_ = fork();
    if (pid_ == 0) _exit(body());
  }
  ~Child() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  pid_t pid() const { return pid_; }
  // The raw wait status once the child has ended, or -1 when it is still
  // running at the deadline.
  int Wait(std::chrono::milliseconds within = std::chrono::seconds(20)) {
    int status = -1;
    const bool ended = qvtest::WaitUntil(
        [&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, within);
    if (!ended) return -1;
    pid_ = 0;
    return status;
  }
  void Kill() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = 0;
  }

 private:
  pid_t pid_;
};

// The connector half of a link, run in a child: attach, connect, report and
// stay until the parent says it has looked.
inline int ConnectorChild(const SharedMailbox& box, const std::string& name, int startAt, int leaveAt) {
  if (!Reaches(box, startAt)) return 10;
  World world;
  Link link;
  if (world.Make(link, name, kConnect) != 0) return 11;
  if (link.Connect() != 0) return 12;
  box->stage = startAt + 1;
  if (!Reaches(box, leaveAt)) return 13;
  return 0;
}

// The parent's half beside ConnectorChild(box, name, 1, 3): make the
// listener, let the child attach, and connect both.
inline ::testing::AssertionResult ListenAndConnect(World& world, Link& listener, const SharedMailbox& box,
                                                   const std::string& name) {
  if (const long made = world.Make(listener, name, kListen); made != 0) {
    return ::testing::AssertionFailure() << "making the listener answered " << made;
  }
  box->stage = 1;
  if (const long connected = listener.Connect(); connected != 0) {
    return ::testing::AssertionFailure() << "Connect answered " << connected;
  }
  if (!Reaches(box, 2)) return ::testing::AssertionFailure() << "the connector did not connect";
  return ::testing::AssertionSuccess();
}

// A link name of this test alone.
inline std::string UniqueName(const std::string& tag) { return tag + std::to_string(getpid()); }

inline std::string SyncDir() { return Quorvane::ToStdString(Quorvane::getThreadSyncDir()); }

inline std::string ShmPath(const std::string& name) {
  return "/dev/shm" + Quorvane::ToStdString(Quorvane::platform::PosixSharedMemoryName(
                          Quorvane::makeIPCName(Quorvane::ToQVString(name))));
}

inline bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// Entries of a folder whose names contain the text, sorted.
inline std::vector<std::string> EntriesWith(const std::string& folder, const std::string& text) {
  std::vector<std::string> found;
  if (DIR* dir = opendir(folder.c_str())) {
    while (dirent* entry = readdir(dir)) {
      if (std::string(entry->d_name).find(text) != std::string::npos) found.push_back(entry->d_name);
    }
    closedir(dir);
  }
  std::sort(found.begin(), found.end());
  return found;
}

// Sends every byte through write windows, as the link core does.
inline long SendAll(void* device, const std::string& bytes) {
  char* window = nullptr;
  long size = 0;
  if (const long error = Call(device, Quorvane::QVDEVICE_WRITE_WINDOW, &window, &size); error != 0) return error;
  size_t sent = 0;
  while (sent < bytes.size()) {
    const size_t n = std::min(bytes.size() - sent, static_cast<size_t>(size));
    std::memcpy(window, bytes.data() + sent, n);
    sent += n;
    long count = static_cast<long>(n);
    // Commits and takes the next window (waiting while the ring is full).
    if (sent == bytes.size()) return Call(device, Quorvane::QVDEVICE_WRITE, &window, &count) == 0 ? 0 : -1;
    if (const long error = Call(device, Quorvane::QVDEVICE_WRITE, &window, &count); error != 0) return error;
    size = count;
  }
  return 0;
}

// Receives exactly n bytes, releasing them in pieces of at most chunk so
// that the ring's offsets wrap at odd places.
inline long ReceiveAll(void* device, size_t n, std::string& into, size_t chunk = 7919) {
  into.clear();
  while (into.size() < n) {
    char* window = nullptr;
    long size = 0;
    if (const long error = Call(device, Quorvane::QVDEVICE_READ, &window, &size); error != 0) return error;
    long take = static_cast<long>(std::min({n - into.size(), chunk, static_cast<size_t>(size)}));
    into.append(window, static_cast<size_t>(take));
    if (const long error = Call(device, Quorvane::QVDEVICE_READ_COMPLETE, window, &take); error != 0) return error;
  }
  return 0;
}

// Mostly the bytes a byte-stuffing or C-string bug trips on.
inline std::string Payload(size_t length) {
  std::string bytes(length, '\0');
  for (size_t i = 0; i < length; ++i) {
    bytes[i] = (i % 3 == 0) ? '\x5C' : (i % 3 == 1) ? '\0' : static_cast<char>(i * 131 >> 3);
  }
  return bytes;
}

// The connector child: connects, runs body on its device, and keeps the link
// open until the parent reaches leaveAt.
inline int Connector(const SharedMailbox& box, const std::string& name, int leaveAt,
              const std::function<int(Link&)>& body) {
  if (!Reaches(box, 1)) return 10;
  World world;
  Link link;
  if (world.Make(link, name, kConnect) != 0) return 11;
  if (link.Connect() != 0) return 12;
  box->stage = 2;
  if (const int answer = body(link); answer != 0) return answer;
  if (leaveAt > 0 && !Reaches(box, leaveAt)) return 13;
  return 0;
}

// The calling thread pinned to one CPU while this lives (threads it starts
// and children it forks inherit that; -1: the CPU it runs on); its former
// mask back after.
class PinnedThread {
 public:
  explicit PinnedThread(int cpu = -1) {
    CPU_ZERO(&saved_);
    if (sched_getaffinity(0, sizeof saved_, &saved_) != 0) return;
    if (cpu < 0) cpu = sched_getcpu();
    if (cpu < 0) return;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    pinned_ = sched_setaffinity(0, sizeof one, &one) == 0;
  }
  ~PinnedThread() {
    if (pinned_) sched_setaffinity(0, sizeof saved_, &saved_);
  }
  PinnedThread(const PinnedThread&) = delete;
  PinnedThread& operator=(const PinnedThread&) = delete;
  bool pinned() const { return pinned_; }

 private:
  cpu_set_t saved_;
  bool pinned_ = false;
};

inline bool ExitedWith(int status, int code) {
  return status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == code;
}

}  // namespace qvshmtest
