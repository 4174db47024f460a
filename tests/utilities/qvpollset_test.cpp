// Poll sets over real pipes and sockets, with descriptors above 1024 and
// signals arriving during a wait.
#include "utilities/qvpollset.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/types.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "support/qvtest.h"
#include "tests/utilities/qvtestprocesses.h"

using Quorvane::QVPollSet;

namespace {

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  void reset(int fd = -1) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

struct Pipe {
  Pipe() {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    r.reset(fds[0]);
    w.reset(fds[1]);
  }
  Fd r, w;
};

void Put(int fd) { ASSERT_EQ(write(fd, "x", 1), 1); }

TEST(QVPollSet, EmptySetIsNeverReady) {
  QVPollSet set;
  EXPECT_FALSE(set.ReadyQ(-1));  // returns at once: a hang would fail by time-out
  EXPECT_FALSE(set.ReadyQ(-1, 3));
}

TEST(QVPollSet, ReadabilityAndMarks) {
  Pipe p, q;
  QVPollSet set;
  set.Add(p.r.get());
  set.Add(q.r.get());
  EXPECT_FALSE(set.ReadyQ(0));
  EXPECT_FALSE(set.SetQ(p.r.get()));
  Put(q.w.get());
  EXPECT_TRUE(set.ReadyQ(-1));
  EXPECT_FALSE(set.SetQ(p.r.get()));
  EXPECT_TRUE(set.SetQ(q.r.get()));
  EXPECT_TRUE(set.SetQ(q.r.get(), Quorvane::QVEventReadable));
  EXPECT_FALSE(set.SetQ(q.r.get(), Quorvane::QVEventWritable));
  EXPECT_FALSE(set.SetQ(12345));
  EXPECT_EQ(set.GetListOfActiveHandles(), Quorvane::QVHandleList{q.r.get()});

  // A wait that finds nothing answers false; marks stay until Clear, so the
  // next wait that finds p reports q as well.
  char c;
  ASSERT_EQ(read(q.r.get(), &c, 1), 1);
  EXPECT_FALSE(set.ReadyQ(0));
  EXPECT_TRUE(set.SetQ(q.r.get()));
  Put(p.w.get());
  EXPECT_TRUE(set.ReadyQ(0));
  EXPECT_EQ(set.GetListOfActiveHandles(), (Quorvane::QVHandleList{p.r.get(), q.r.get()}));
  set.Clear();
  EXPECT_FALSE(set.ReadyQ(0));
  EXPECT_TRUE(set.GetListOfActiveHandles().empty());
}

TEST(QVPollSet, EndOfFileCountsAsReadable) {
  Pipe p;
  QVPollSet set(p.r.get(), 0);
  p.w.reset();
  EXPECT_TRUE(set.ReadyQ(-1));
  EXPECT_TRUE(set.SetQ(p.r.get()));
}

TEST(QVPollSet, DefaultEventReachesEarlierEntriesAndClearResetsIt) {
  Pipe p;
  QVPollSet set;
  set.Add(p.w.get());  // the write end is never readable
  EXPECT_FALSE(set.ReadyQ(0));
  set.SetDefaultEvent(3);
  EXPECT_TRUE(set.ReadyQ(0));
  EXPECT_TRUE(set.SetQ(p.w.get(), Quorvane::QVEventWritable));
  EXPECT_FALSE(set.SetQ(p.w.get(), Quorvane::QVEventExceptional));

  set.Clear();
  set.Add(p.w.get());
  EXPECT_FALSE(set.ReadyQ(0)) << "after Clear the default is 0 again";

  // An explicit mask does not follow the default.
  QVPollSet fixed;
  fixed.Add(p.w.get(), 0);
  fixed.SetDefaultEvent(1);
  EXPECT_FALSE(fixed.ReadyQ(0));
}

TEST(QVPollSet, ArrayConstructorAssignmentAndMaskedWait) {
  Pipe p, q;
  const int fds[2] = {p.w.get(), q.w.get()};
  QVPollSet set(fds, 2, 1);
  QVPollSet other;
  other = set;
  EXPECT_TRUE(other.ReadyQ(0));
  EXPECT_EQ(other.GetListOfActiveHandles(), (Quorvane::QVHandleList{p.w.get(), q.w.get()}));
  EXPECT_TRUE(set.GetListOfActiveHandles().empty()) << "the copy's marks are its own";

  // The masked wait answers without marking the set.
  EXPECT_TRUE(set.ReadyQ(0, 1));
  EXPECT_FALSE(set.SetQ(p.w.get()));
  EXPECT_FALSE(set.ReadyQ(0, 2));  // no entry watches exceptions
  QVPollSet& alias = set;
  set = alias;  // self-assignment keeps the entries
  EXPECT_TRUE(set.ReadyQ(0));
  EXPECT_EQ(set.GetListOfActiveHandles(), (Quorvane::QVHandleList{p.w.get(), q.w.get()}));
}

TEST(QVPollSet, OutOfBandDataIsExceptional) {
  Fd listener(socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(listener.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  socklen_t len = sizeof addr;
  ASSERT_EQ(getsockname(listener.get(), reinterpret_cast<sockaddr*>(&addr), &len), 0);
  ASSERT_EQ(listen(listener.get(), 1), 0);
  Fd client(socket(AF_INET, SOCK_STREAM, 0));
  ASSERT_EQ(connect(client.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  Fd server(accept(listener.get(), nullptr, nullptr));
  ASSERT_GE(server.get(), 0);

  ASSERT_EQ(send(client.get(), "!", 1, MSG_OOB), 1);
  QVPollSet set(server.get(), 2);
  EXPECT_TRUE(set.ReadyQ(-1));
  EXPECT_TRUE(set.SetQ(server.get(), Quorvane::QVEventExceptional));
}

TEST(QVPollSet, ClosedDescriptorFailsTheWait) {
  Pipe p;
  const int stale = dup(p.r.get());
  close(stale);
  QVPollSet set;
  set.Add(p.w.get(), 1);
  set.Add(stale);
  EXPECT_FALSE(set.ReadyQ(-1));
  EXPECT_FALSE(set.SetQ(p.w.get())) << "a failed wait marks nothing";
}

TEST(QVPollSet, DescriptorsAboveTheSelectLimit) {
  rlimit lim{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &lim), 0);
  if (lim.rlim_cur < 4200) {
    lim.rlim_cur = lim.rlim_max < 4200 ? lim.rlim_max : 4200;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lim), 0);
  }
  if (lim.rlim_cur <= 4100) GTEST_SKIP() << "descriptor limit too low: " << lim.rlim_cur;

  Pipe p, q;
  Fd highRead(dup2(p.r.get(), 4000));
  Fd highWrite(dup2(q.w.get(), 1500));
  ASSERT_EQ(highRead.get(), 4000);
  ASSERT_EQ(highWrite.get(), 1500);
  QVPollSet set;
  set.Add(highRead.get());
  set.Add(highWrite.get(), 1);
  EXPECT_TRUE(set.ReadyQ(0, 1));  // writable only
  EXPECT_FALSE(set.ReadyQ(0, 0));
  Put(p.w.get());
  EXPECT_TRUE(set.ReadyQ(-1));
  EXPECT_TRUE(set.SetQ(4000));
  EXPECT_TRUE(set.SetQ(1500, Quorvane::QVEventWritable));
  EXPECT_EQ(set.GetListOfActiveHandles(), (Quorvane::QVHandleList{4000, 1500}));
}

TEST(QVPollSet, ManyEntries) {
  // More entries than fit the on-stack buffers.
  Pipe pipes[80];
  QVPollSet set;
  for (auto& p : pipes) set.Add(p.r.get());
  Put(pipes[77].w.get());
  EXPECT_TRUE(set.ReadyQ(-1));
  EXPECT_EQ(set.GetListOfActiveHandles(), Quorvane::QVHandleList{pipes[77].r.get()});
}

// Signals during a wait.

std::atomic<int> signalsSeen{0};
void CountSignal(int) { signalsSeen.fetch_add(1); }

void InstallHandlerWithoutRestart() {
  struct sigaction sa {};
  sa.sa_handler = CountSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: the wait call sees EINTR
  ASSERT_EQ(sigaction(SIGUSR1, &sa, nullptr), 0);
}

struct Waiter {
  std::atomic<pid_t> tid{0};
  std::atomic<bool> done{false};
  std::atomic<bool> result{false};
  pthread_t handle{};
};

// Sends signals to the waiting thread, each while it sleeps in the wait.
void Pester(Waiter& w, int count) {
  for (int i = 0; i < count && !w.done.load(); ++i) {
    qvtest::WaitUntil([&] { return w.done.load() || qvtest::ThreadState(w.tid.load()) == 'S'; });
    if (w.done.load()) break;
    const int before = signalsSeen.load();
    ASSERT_EQ(pthread_kill(w.handle, SIGUSR1), 0);
    ASSERT_TRUE(qvtest::WaitUntil([&] { return signalsSeen.load() > before; }));
  }
}

TEST(QVPollSet, SignalDoesNotEndAnUnlimitedWait) {
  InstallHandlerWithoutRestart();
  Pipe p;
  Waiter w;
  std::thread t([&] {
    w.tid = static_cast<pid_t>(syscall(SYS_gettid));
    QVPollSet set(p.r.get(), 0);
    w.result = set.ReadyQ(-1);
    w.done = true;
  });
  w.handle = t.native_handle();
  ASSERT_TRUE(qvtest::WaitUntil([&] { return w.tid.load() != 0; }));
  Pester(w, 20);
  EXPECT_FALSE(w.done.load()) << "a signal ended the wait";
  EXPECT_GE(signalsSeen.load(), 20);
  Put(p.w.get());
  t.join();
  EXPECT_TRUE(w.result.load());
}

TEST(QVPollSet, SignalDoesNotShortenATimedWait) {
  InstallHandlerWithoutRestart();
  Pipe p;
  Waiter w;
  timeval start{}, end{};
  std::thread t([&] {
    w.tid = static_cast<pid_t>(syscall(SYS_gettid));
    QVPollSet set(p.r.get(), 0);
    gettimeofday(&start, nullptr);
    w.result = set.ReadyQ(400000);
    gettimeofday(&end, nullptr);
    w.done = true;
  });
  w.handle = t.native_handle();
  ASSERT_TRUE(qvtest::WaitUntil([&] { return w.tid.load() != 0; }));
  Pester(w, 1000);
  t.join();
  EXPECT_FALSE(w.result.load());
  EXPECT_GE(signalsSeen.load(), 1);
  const long elapsed = (end.tv_sec - start.tv_sec) * 1000000L + (end.tv_usec - start.tv_usec);
  EXPECT_GE(elapsed, 400000) << "the wait ended before its time-out";
}

}  // namespace
