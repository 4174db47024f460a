// The framing against a peer written separately in Python (qvpipes_peer.py),
// with the device in either role: on pipes the test hands to a Python
// process, and launching the Python peer as its child.
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "support/qvtest.h"
#include "tests/device/qvpipestest.h"

namespace {

using namespace Quorvane;
using qvtest::Call;

constexpr size_t kPatternLength = 2600;
constexpr unsigned long kLaunch = 8;
const std::string kPeer = std::string(QV_SOURCE_DIR) + "/tests/device/qvpipes_peer.py";

std::string Pattern() {
  std::string text(kPatternLength, '\0');
  for (size_t i = 0; i < kPatternLength; ++i) text[i] = static_cast<char>((i * 7 + 3) % 256);
  return text;
}

// Sends the pattern window by window, reading acknowledgements whenever no
// window is free; then reads the peer's pattern up to its close.
void Exchange(void* device) {
  ASSERT_EQ(Call(device, QVDEVICE_CONNECT), 0);
  const std::string out = Pattern();
  char* start = nullptr;
  long size = 0;
  ASSERT_EQ(Call(device, QVDEVICE_WRITE_WINDOW, &start, &size), 0);
  for (size_t at = 0; at < out.size();) {
    const size_t count = std::min(out.size() - at, static_cast<size_t>(size));
    std::memcpy(start, out.data() + at, count);
    at += count;
    size = static_cast<long>(count);
    ASSERT_EQ(Call(device, QVDEVICE_WRITE, &start, &size), 0);
    while (start == nullptr) {
      char* segment = nullptr;
      long length = 0;
      ASSERT_EQ(Call(device, QVDEVICE_READ, &segment, &length), 0);
      ASSERT_EQ(segment, nullptr) << "only acknowledgements come before the peer has all";
      ASSERT_EQ(Call(device, QVDEVICE_WRITE_WINDOW, &start, &size), 0);
    }
  }
  std::string in;
  long answer = 0;
  for (;;) {
    char* segment = nullptr;
    long length = 0;
    answer = Call(device, QVDEVICE_READ, &segment, &length);
    if (answer != 0) break;
    if (segment != nullptr) in.append(segment, static_cast<size_t>(length));
  }
  EXPECT_EQ(answer, 11);
  EXPECT_EQ(in, out);
}

TEST(PipesPythonPeer, DeviceOnPipesTheTestOwns) {
  qvtest::PipesWorld world;
  qvtest::PeerPipes pipes;
  qvtest::RawPipe& toDevice = pipes.toDevice;
  qvtest::RawPipe& fromDevice = pipes.fromDevice;
  const pid_t peer = fork();
  ASSERT_GE(peer, 0);
  if (peer == 0) {
    execlp("python3", "python3", kPeer.c_str(), "in", std::to_string(fromDevice.r()).c_str(),
           std::to_string(toDevice.w()).c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(toDevice.Release(1));
  close(fromDevice.Release(0));
  long error = 0;
  void* device = pipes.Attach(world, &error);
  ASSERT_EQ(error, 0);
  Exchange(device);
  Call(device, QVDEVICE_CLOSE);
  int status = 0;
  waitpid(peer, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(PipesPythonPeer, LaunchedPeer) {
  qvtest::PipesWorld world;
  long error = 0;
  void* device = world.Make("Pipes", kLaunch, "python3 " + kPeer + " ang 0 1", 0, &error);
  ASSERT_EQ(error, 0);
  int pid = 0;
  Call(device, QVDEVICE_SPECIFIC_30, &pid);
  Exchange(device);
  Call(device, QVDEVICE_CLOSE);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
