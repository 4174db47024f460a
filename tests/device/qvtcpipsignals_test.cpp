// The "TCPIP" world's fatal-signal and hang-up handling. Mostly in a child
// process that connects a device to a far end here and sends this process
// copies of the device's descriptors: they keep the connections open when the
// child ends, so the far end sees their end only when the child's handler
// shut them down. The child is forked before this process has any thread of
// the library's: a child of a threaded process may find a lock of the
// allocator held for ever (the address sanitizer's is not made safe for fork).
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/qvtest.h"
#include "tests/device/qvtcpiptest.h"
#include "utilities/qvsignalhandlermanager.h"
#include "utilities/qvtestprocesses.h"

namespace {

using namespace Quorvane;
using namespace qvtcpiptest;

struct SignalCase {
  const char* what;
  int number;
  bool managed;   // behind the process's signal manager, else installed alone
  bool fault;     // a real invalid access, else raised
  bool survives;  // the process goes on; else the signal ends it
  bool ignoredBefore = false;  // the program had the signal ignored
};

class TCPIPSignals : public ::testing::TestWithParam<SignalCase> {
 protected:
  static void SetUpTestSuite() { InstallSignalHandler(); }
};

class TCPIPSignalsInProcess : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { InstallSignalHandler(); }
  QVTCPIPWorld world;
};

// Runs in the child: arranges the handler, then the signal comes.
int HandleInChild(const SignalCase& c, QVTCPIPWorld& world, QVTCPIPDevice& device) {
  // No earlier handler (ours, a sanitizer's): the manager then calls the world's.
  for (int number : {SIGSEGV, SIGBUS, SIGHUP}) ::signal(number, SIG_DFL);
  if (c.ignoredBefore) ::signal(c.number, SIG_IGN);
  std::unique_ptr<QVSignalHandlerList> handlers(world.GetSignalHandlers());
  QVSignalHandlerManager manager;
  if (c.managed) {
    manager.setHandlers(*handlers);
    manager.startHandlingSignals();
  } else {
    struct sigaction action {};
    action.sa_handler = &QVTCPIPWorld::SignalHandler;
    sigemptyset(&action.sa_mask);
    if (sigaction(c.number, &action, nullptr) != 0) return 2;
  }
  if (c.fault) {
    qvtest::StoreIntoAnInaccessiblePage();
  } else {
    raise(c.number);
  }
  return !device.ConnectedQ() && device.ClosedQ() ? 0 : 3;
}

// Sends copies of the descriptors over a local socket; once sent they hold
// their connections open, whether or not the sender lives on.
bool SendDescriptors(int channel, const int (&fds)[2]) {
  char byte = 0;
  iovec part{&byte, 1};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof fds)] = {};
  msghdr message{};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  cmsghdr* header = CMSG_FIRSTHDR(&message);
  header->cmsg_level = SOL_SOCKET;
  header->cmsg_type = SCM_RIGHTS;
  header->cmsg_len = CMSG_LEN(sizeof fds);
  std::memcpy(CMSG_DATA(header), fds, sizeof fds);
  return ::sendmsg(channel, &message, MSG_NOSIGNAL) == 1;
}

bool ReceiveDescriptors(int channel, Fd (&fds)[2]) {
  if (!Readable(channel)) return false;
  char byte = 0;
  iovec part{&byte, 1};
  alignas(cmsghdr) char control[CMSG_SPACE(2 * sizeof(int))] = {};
  msghdr message{};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  if (::recvmsg(channel, &message, MSG_CMSG_CLOEXEC) != 1) return false;
  const cmsghdr* header = CMSG_FIRSTHDR(&message);
  if (header == nullptr || header->cmsg_type != SCM_RIGHTS || header->cmsg_len != CMSG_LEN(2 * sizeof(int))) return false;
  int received[2];
  std::memcpy(received, CMSG_DATA(header), sizeof received);
  for (int i = 0; i < 2; ++i) fds[i].reset(received[i]);
  return true;
}

// The child: a device connected to the far end, its descriptors' copies sent
// here, then the handler and the signal.
int ConnectThenHandle(const SignalCase& c, const std::string& far, int channel) {
  try {
    QVTCPIPWorld world;
    std::unique_ptr<QVTCPIPDevice> device = Make(world, Block("TCPIP", 4, far, QVUseNewTCPIPConnection));
    device->Connect();
    if (!SendDescriptors(channel, {device->GetRawDataSocket(), device->MessageDescriptor()})) return 4;
    return HandleInChild(c, world, *device);
  } catch (...) {
    return 5;
  }
}

// The connection ends (no byte, no silence) within the deadline.
bool Ends(int fd) {
  char byte = 0;
  return Readable(fd) && ::recv(fd, &byte, 1, MSG_DONTWAIT) == 0;
}

TEST_P(TCPIPSignals, ClosesEveryDeviceThenEndsOrGoesOn) {
  const SignalCase& c = GetParam();
  RawServer server;
  int channel[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, channel), 0);
  Fd here(channel[0]);
  Fd there(channel[1]);
  const pid_t child = fork();
  if (child == 0) {
    here.reset();
    _exit(ConnectThenHandle(c, server.Name(), there.get()));
  }
  ASSERT_GT(child, 0);
  qvtest::ChildKiller killer(child);
  there.reset();
  ASSERT_TRUE(server.Accept() && server.Handshake()) << "the child's device did not connect";
  Fd copies[2];
  ASSERT_TRUE(ReceiveDescriptors(here.get(), copies)) << "the child sent no copies of its descriptors";
  int status = -1;
  ASSERT_TRUE(qvtest::WaitUntil([&] { return waitpid(child, &status, WNOHANG) == child; }))
      << "the child did not end: the signal ran again and again";
  killer.release();
  if (c.survives) {
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  } else {
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.number) << "status " << status;
  }
  EXPECT_TRUE(Ends(server.data.get())) << "the data connection was left open";
  EXPECT_TRUE(Ends(server.mesg.get())) << "the message connection was left open";
}

INSTANTIATE_TEST_SUITE_P(Signals, TCPIPSignals,
                         ::testing::Values(SignalCase{"segv_alone", SIGSEGV, false, true, false},
                                           SignalCase{"bus_alone", SIGBUS, false, false, false},
                                           SignalCase{"segv_managed", SIGSEGV, true, true, false},
                                           SignalCase{"bus_managed", SIGBUS, true, false, false},
                                           SignalCase{"hup_alone", SIGHUP, false, false, true},
                                           SignalCase{"hup_managed", SIGHUP, true, false, false},
                                           SignalCase{"hup_managed_ignored", SIGHUP, true, false, true, true}),
                         [](const auto& param) { return std::string(param.param.what); });

// Hang-ups handled on one thread while another makes and destroys devices:
// the handler never reaches a device whose destructor has returned (what a
// sanitizer build would report), and the devices left are closed.
TEST_F(TCPIPSignalsInProcess, HangUpsWhileDevicesAreDestroyedOnAnotherThread) {
  std::atomic<bool> done{false};
  std::thread hangUps([&] {
    while (!done.load()) raise(SIGHUP);
  });
  for (int i = 0; i < 300; ++i) Make(world, Block("TCPIP", 2, "@127.0.0.1", QVUseNewTCPIPConnection)).reset();
  auto kept = Make(world, Block("TCPIP", 2, "@127.0.0.1", QVUseNewTCPIPConnection));
  done = true;
  hangUps.join();
  raise(SIGHUP);
  EXPECT_TRUE(kept->ClosedQ());
}

// However many devices the process has, a hang-up reaches the last one made.
TEST_F(TCPIPSignalsInProcess, HangUpClosesADeviceMadeAfterThousandsOfOthers) {
  constexpr size_t kBefore = 2500;  // each holds one descriptor
  rlimit files{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &files), 0);
  const rlim_t wanted = kBefore + 256;
  if (files.rlim_cur < wanted && (files.rlim_max == RLIM_INFINITY || files.rlim_max >= wanted)) {
    files.rlim_cur = wanted;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &files), 0);
  }
  if (files.rlim_cur < wanted) GTEST_SKIP() << "the process may open only " << files.rlim_cur << " files";
  std::vector<std::unique_ptr<QVTCPIPDevice>> others;
  for (size_t i = 0; i < kBefore; ++i) others.push_back(Make(world, Block("TCPIP", 4, "1@127.0.0.1")));
  // Places freed in the middle are taken again, and the walk skips nothing.
  others[100].reset();
  others[1500].reset();
  RawLink refilled(world);
  RawLink last(world);
  ASSERT_TRUE(last.device->ConnectedQ());
  ASSERT_EQ(raise(SIGHUP), 0);
  for (RawLink* link : {&refilled, &last}) {
    EXPECT_FALSE(link->device->ConnectedQ());
    EXPECT_TRUE(link->device->ClosedQ());
    EXPECT_TRUE(Ends(link->server.data.get())) << "the data connection was left open";
    EXPECT_TRUE(Ends(link->server.mesg.get())) << "the message connection was left open";
  }
}

}  // namespace
