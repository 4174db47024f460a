// Messages as signals: the device without message pipes hears SIGINT,
// SIGTERM and SIGABRT as codes 2, 1 and 3; the slot of that device is freed
// with it; and a process where no device takes them keeps their old meaning.
// Each case runs in a child process of its own, since it changes dispositions;
// those that could hang end themselves with an alarm.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "support/qvtest.h"
#include "tests/device/qvpipestest.h"

namespace {

using namespace Quorvane;
using qvtest::Call;

constexpr unsigned long kParentConnect = 16;
constexpr unsigned long kLaunch = 8;
constexpr unsigned kHangSeconds = 20;

std::atomic<int> gHeard{0};
void Heard(void*, int code, int) { gHeard = code; }

void InstallWorldHandlers(bool reapChildren = true) {
  for (int number : {SIGCHLD, SIGTERM, SIGINT, SIGABRT}) {
    if (number == SIGCHLD && !reapChildren) continue;
    struct sigaction action {};
    action.sa_handler = &pipe_signal_handler;
    sigemptyset(&action.sa_mask);
    sigaction(number, &action, nullptr);
  }
}

// A device that takes its messages as signals, on pipes of its own.
void* SignaledDevice(qvtest::PipesWorld& world, long* error) {
  int in[2], out[2];
  if (pipe(in) != 0 || pipe(out) != 0) return nullptr;
  return world.Make("Pipes:" + std::to_string(in[0]) + "," + std::to_string(out[1]), kParentConnect, "", 0, error);
}

TEST(PipesSignalMessages, SigintArrivesAsCode2) {
  const int status = qvtest::RunInChild([] {
    InstallWorldHandlers();
    qvtest::PipesWorld world;
    long error = 0;
    void* device = SignaledDevice(world, &error);
    if (device == nullptr) return 10;
    // Stored until read when no handler is set.
    raise(SIGINT);
    long waiting = 0, alsoWaiting = 0;
    if (Call(device, QVDEVICE_HAS_MESSAGE, &alsoWaiting, &waiting) != 0 || waiting != 1) return 11;
    long code = 0, argument = 9;
    if (Call(device, QVDEVICE_READ_MESSAGE, &code, &argument) != 0 || code != 2 || argument != 0) return 12;
    if (Call(device, QVDEVICE_READ_MESSAGE, &code, &argument) != 18) return 13;
    // With a handler, straight to it.
    Call(device, QVDEVICE_SET_MESSAGE_HANDLER, reinterpret_cast<void*>(&Heard), nullptr);
    raise(SIGTERM);
    if (gHeard != 1) return 14;
    raise(SIGABRT);
    if (gHeard != 3) return 15;
    return 0;
  });
  EXPECT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// What a descriptor of this process refers to.
std::string TargetOf(int fd) {
  char target[256] = {};
  const ssize_t length = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, sizeof target - 1);
  return length > 0 ? std::string(target, static_cast<size_t>(length)) : std::string();
}

TEST(PipesSignalMessages, RefusedSecondDeviceLeavesTheCallersDescriptors) {
  const int status = qvtest::RunInChild([] {
    InstallWorldHandlers();
    qvtest::PipesWorld world;
    long error = 0;
    if (SignaledDevice(world, &error) == nullptr) return 10;
    // Descriptors named in the protocol text.
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) return 11;
    const std::string named = "Pipes:" + std::to_string(in[0]) + "," + std::to_string(out[1]);
    if (world.Make(named, kParentConnect, "", 0, &error) != nullptr || error != 34) return 12;
    if (fcntl(in[0], F_GETFD) < 0 || fcntl(out[1], F_GETFD) < 0) return 13;
    // Standard input and output, which a device would take over.
    if (dup2(in[0], 0) != 0 || dup2(out[1], 1) != 1) return 14;
    const std::string input = TargetOf(0), output = TargetOf(1);
    if (world.Make("Pipes", kParentConnect, "", 0, &error) != nullptr || error != 34) return 15;
    if (TargetOf(0) != input || TargetOf(1) != output || input.rfind("pipe:", 0) != 0) return 16;
    return 0;
  });
  EXPECT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(PipesSignalMessages, TheDevicesThreadIsWokenAndOnceItEndedLeftAlone) {
  const int status = qvtest::RunInChild([] {
    alarm(kHangSeconds);
    InstallWorldHandlers();
    qvtest::PipesWorld world;
    int never[2];
    if (pipe(never) != 0) return 10;
    std::atomic<void*> device{nullptr};
    std::atomic<int> wait{0};  // 1 cut short by a signal, 2 ended otherwise
    std::thread owner([&] {
      long error = 0;
      device = SignaledDevice(world, &error);
      if (device == nullptr) return;
      pollfd entry{never[0], POLLIN, 0};
      const int got = poll(&entry, 1, 1000 * static_cast<int>(kHangSeconds));
      wait = got < 0 && errno == EINTR ? 1 : 2;
    });
    // A signal taken here wakes the device's own thread, once it is asleep.
    const bool woken = qvtest::WaitUntil([&] {
      if (device != nullptr) raise(SIGINT);
      return wait != 0;
    });
    owner.join();
    if (device == nullptr) return 11;
    if (!woken || wait != 1) return 12;
    long code = 0, argument = 0;
    if (Call(device, QVDEVICE_READ_MESSAGE, &code, &argument) != 0 || code != 2) return 13;
    // Its thread is gone: the message is still kept for the device.
    raise(SIGTERM);
    if (Call(device, QVDEVICE_READ_MESSAGE, &code, &argument) != 0 || code != 1) return 14;
    Call(device, QVDEVICE_CLOSE);
    return 0;
  });
  EXPECT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

void* gToClose = nullptr;
void CloseAnother(void*, int code, int) {
  if (gToClose != nullptr) Call(gToClose, QVDEVICE_CLOSE);
  gToClose = nullptr;
  gHeard = code;
}

TEST(PipesSignalMessages, AHandlerThatClosesALaunchedDeviceReturns) {
  if (qvtest::kThreadSanitizer) {
    GTEST_SKIP() << "the handler closes a device in signal context, which ThreadSanitizer reports as such";
  }
  // The handler runs in signal context, where the close must not wait for
  // the very handler that makes it.
  const int status = qvtest::RunInChild([] {
    alarm(kHangSeconds);
    InstallWorldHandlers(false);
    qvtest::PipesWorld world;
    long error = 0;
    void* taker = world.Make("Pipes", kLaunch, "/bin/sh -c 'exec cat'", 0, &error);
    void* other = world.Make("Pipes", kLaunch, "/bin/sh -c 'exec cat'", 0, &error);
    if (taker == nullptr || other == nullptr) return 10;
    int pids[2] = {0, 0};
    Call(taker, QVDEVICE_SPECIFIC_30, &pids[0]);
    Call(other, QVDEVICE_SPECIFIC_30, &pids[1]);
    gToClose = other;
    Call(taker, QVDEVICE_SET_MESSAGE_HANDLER, reinterpret_cast<void*>(&CloseAnother), nullptr);
    raise(SIGINT);
    const bool closed = gHeard == 2 && gToClose == nullptr;
    // Once the handler is done, the list of launched devices changes as usual.
    Call(taker, QVDEVICE_CLOSE);
    for (int pid : pids) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    return closed ? 0 : 11;
  });
  EXPECT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(PipesSignalMessages, SlotIsFreedWithItsDevice) {
  const int status = qvtest::RunInChild([] {
    InstallWorldHandlers();
    qvtest::PipesWorld world;
    long error = 0;
    void* first = SignaledDevice(world, &error);
    if (first == nullptr) return 10;
    void* second = SignaledDevice(world, &error);
    if (second != nullptr || error != 34) return 11;
    Call(first, QVDEVICE_SET_MESSAGE_HANDLER, reinterpret_cast<void*>(&Heard), nullptr);
    Call(first, QVDEVICE_CLOSE);
    void* third = SignaledDevice(world, &error);
    if (third == nullptr) return 12;
    // The closed device's handler is not called for the new one's messages.
    gHeard = 0;
    raise(SIGINT);
    if (gHeard != 0) return 13;
    long code = 0, argument = 0;
    if (Call(third, QVDEVICE_READ_MESSAGE, &code, &argument) != 0 || code != 2) return 14;
    Call(third, QVDEVICE_CLOSE);
    return 0;
  });
  EXPECT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(PipesSignalMessages, WithoutATakerTheSignalKeepsItsDefault) {
  for (int number : {SIGTERM, SIGINT}) {
    const int status = qvtest::RunInChild([number] {
      InstallWorldHandlers();
      qvtest::PipesWorld world;
      raise(number);
      return 0;  // not reached: the default action ends the process
    });
    EXPECT_TRUE(WIFSIGNALED(status)) << number << " " << status;
    if (WIFSIGNALED(status)) {
      EXPECT_EQ(WTERMSIG(status), number);
    }
  }
}

TEST(PipesSignalMessages, MessagesWithoutPipesGoAsSignals) {
  // The parent-connect side signals its parent, here this test's child.
  const int status = qvtest::RunInChild([] {
    InstallWorldHandlers();
    qvtest::PipesWorld world;
    int in[2], out[2], go[2];
    if (pipe(in) != 0 || pipe(out) != 0 || pipe(go) != 0) return 10;
    const pid_t child = fork();
    if (child == 0) {
      // Signals only once this process has a device to take them.
      char ready = 0;
      if (read(go[0], &ready, 1) != 1) _exit(23);
      qvtest::PipesWorld own;
      long error = 0;
      void* device =
          own.Make("Pipes:" + std::to_string(in[0]) + "," + std::to_string(out[1]), kParentConnect, "", 0, &error);
      if (device == nullptr) _exit(20);
      long code = 4, argument = 0;
      if (Call(device, QVDEVICE_WRITE_MESSAGE, &code, &argument) != 17) _exit(21);
      code = 2;
      _exit(Call(device, QVDEVICE_WRITE_MESSAGE, &code, &argument) == 0 ? 0 : 22);
    }
    // This process stands for the launching side: a device that was launched
    // would have its handler called; here the stored message shows it.
    long error = 0;
    void* device = SignaledDevice(world, &error);
    if (device == nullptr) return 11;
    if (write(go[1], "g", 1) != 1) return 15;
    int childStatus = 0;
    waitpid(child, &childStatus, 0);
    if (!WIFEXITED(childStatus) || WEXITSTATUS(childStatus) != 0) return 12;
    long code = 0, argument = 0;
    if (!qvtest::WaitUntil([&] { return Call(device, QVDEVICE_READ_MESSAGE, &code, &argument) == 0; })) return 13;
    return code == 2 ? 0 : 14;
  });
  EXPECT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// One round with the test's helper program, which takes its messages as
// signals: code 2 goes to it as SIGINT, it tells over the stream what it
// heard and sends the same code back. 0, or the step that failed.
int LaunchSignalHearItAndHearItBack() {
  qvtest::PipesWorld world;
  long error = 0;
  void* device = world.Make("Pipes", kLaunch, std::string(QV_PIPES_CHILD) + " signals", 0, &error);
  if (device == nullptr) return 10;
  int pid = 0;
  Call(device, QVDEVICE_SPECIFIC_30, &pid);
  gHeard = 0;
  Call(device, QVDEVICE_SET_MESSAGE_HANDLER, reinterpret_cast<void*>(&Heard), nullptr);
  if (Call(device, QVDEVICE_CONNECT) != 0) return 11;
  long code = 2, argument = 0;
  if (Call(device, QVDEVICE_WRITE_MESSAGE, &code, &argument) != 0) return 12;
  if (qvtest::ReadStreamText(device, 7) != "heard 2") return 13;
  if (!qvtest::WaitUntil([] { return gHeard == 2; })) return 14;
  Call(device, QVDEVICE_CLOSE);
  int childStatus = -1;
  if (waitpid(pid, &childStatus, 0) != pid) return 15;
  return WIFEXITED(childStatus) && WEXITSTATUS(childStatus) == 0 ? 0 : 16;
}

TEST(PipesSignalMessages, LaunchedDeviceSendsCode2AsSigintAndHearsItBack) {
  const int status = qvtest::RunInChild([] {
    alarm(kHangSeconds);
    InstallWorldHandlers(false);  // the test reaps the child itself
    return LaunchSignalHearItAndHearItBack();
  });
  EXPECT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// The signal comes as soon as the child is connected, which is when the
// child first waits: a message that lands then is heard all the same. Each
// round is a new child, so the first wait of each is met again.
TEST(PipesSignalMessages, EveryNewChildHearsTheSignalThatMeetsItsFirstWait) {
  constexpr int kRounds = 40;
  const int status = qvtest::RunInChild([] {
    alarm(2 * kHangSeconds);
    InstallWorldHandlers(false);
    for (int round = 0; round < kRounds; ++round) {
      if (const int failed = LaunchSignalHearItAndHearItBack(); failed != 0) return failed;
    }
    return 0;
  });
  EXPECT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
