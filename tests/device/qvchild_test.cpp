// The child table against real children: exits, kills, stops and many ends
// at once, with reaping done as the SIGCHLD handler does it.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "device/qvchild.h"
#include "support/qvtest.h"

namespace {

// Run once by the next allocation: the table allocates while a change holds it.
std::function<void()> gInsideAllocation;

void* Allocate(uint64_t size) {
  if (gInsideAllocation) {
    auto inside = std::move(gInsideAllocation);
    gInsideAllocation = nullptr;
    inside();
  }
  return std::malloc(size);
}
void Release(void* block) { std::free(block); }

// Whether a report of the kind (WEXITED, WSTOPPED, WCONTINUED) waits for the
// child, left for the table to collect.
bool Waitable(pid_t pid, int kind) {
  siginfo_t info{};
  return waitid(P_PID, static_cast<id_t>(pid), &info, kind | WNOWAIT | WNOHANG) == 0 && info.si_pid == pid;
}

class ChildTable : public ::testing::Test {
 protected:
  void SetUp() override { table_ = qvchild_new(Allocate, Release); ASSERT_NE(table_, nullptr); }
  void TearDown() override {
    for (pid_t pid : pids_) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    qvchild_destroy(table_);
  }
  // A child that waits for SIGKILL, or exits with code when code >= 0.
  pid_t Start(int code) {
    pid_t pid = fork();
    if (pid == 0) {
      if (code >= 0) _exit(code);
      for (;;) pause();
    }
    EXPECT_GT(pid, 0);
    EXPECT_EQ(qvchild_insert_pid(table_, pid), kQVChildSuccess);
    pids_.push_back(pid);
    return pid;
  }
  // A child that exits with code once a byte comes on *release.
  pid_t StartHeld(int code, int* release) {
    int go[2];
    EXPECT_EQ(pipe(go), 0);
    pid_t pid = fork();
    if (pid == 0) {
      char byte = 0;
      _exit(read(go[0], &byte, 1) == 1 ? code : 99);
    }
    close(go[0]);
    *release = go[1];
    EXPECT_GT(pid, 0);
    EXPECT_EQ(qvchild_insert_pid(table_, pid), kQVChildSuccess);
    pids_.push_back(pid);
    return pid;
  }
  static void LetEnd(int release) {
    EXPECT_EQ(write(release, "x", 1), 1);
    close(release);
  }
  // The child was reaped: it is no one to kill any more.
  void Forget(pid_t pid) { pids_.erase(std::remove(pids_.begin(), pids_.end(), pid), pids_.end()); }
  bool Reaches(pid_t pid, int kind) {
    return qvtest::WaitUntil([&] {
      qvchild_wait_for_pid(table_);
      return qvchild_get_pid_status(table_, pid) == kind;
    });
  }
  static bool IsZombie(pid_t pid) {
    std::string path = "/proc/" + std::to_string(pid) + "/stat";
    FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) return false;
    char state = '?';
    int ignored = 0;
    char name[256];
    const bool read = std::fscanf(file, "%d %255s %c", &ignored, name, &state) == 3;
    std::fclose(file);
    return read && state == 'Z';
  }

  _qvchild* table_ = nullptr;
  std::vector<pid_t> pids_;
};

TEST_F(ChildTable, RecordsHowEachChildEnded) {
  const pid_t exited = Start(7);
  const pid_t killed = Start(-1);
  ASSERT_EQ(kill(killed, SIGKILL), 0);
  ASSERT_TRUE(Reaches(exited, 1));
  EXPECT_EQ(qvchild_get_stop_value(table_, exited), 7);
  ASSERT_TRUE(Reaches(killed, 2));
  EXPECT_EQ(qvchild_get_stop_value(table_, killed), SIGKILL);
  EXPECT_EQ(qvchild_remove_dead_pids(table_), kQVChildSuccess);
  EXPECT_EQ(qvchild_get_pid_status(table_, exited), -1);
  EXPECT_EQ(qvchild_get_pid_status(table_, killed), -1);
  pids_.clear();
}

TEST_F(ChildTable, StoppedChildIsKeptAndItsLaterExitIsFinal) {
  int release = -1;
  const pid_t pid = StartHeld(5, &release);
  ASSERT_EQ(kill(pid, SIGSTOP), 0);
  ASSERT_TRUE(Reaches(pid, 3));
  EXPECT_EQ(qvchild_get_stop_value(table_, pid), SIGSTOP);
  qvchild_remove_dead_pids(table_);
  EXPECT_EQ(qvchild_get_pid_status(table_, pid), 3);
  ASSERT_EQ(kill(pid, SIGCONT), 0);
  ASSERT_TRUE(Reaches(pid, 0));
  LetEnd(release);
  ASSERT_TRUE(Reaches(pid, 1));
  Forget(pid);
  // Ended is final: nothing later changes it.
  qvchild_wait_for_pid(table_);
  EXPECT_EQ(qvchild_get_pid_status(table_, pid), 1);
  EXPECT_EQ(qvchild_get_stop_value(table_, pid), 5);
}

TEST_F(ChildTable, StopContinueAndExitSeenInOneReap) {
  int release = -1;
  const pid_t pid = StartHeld(6, &release);
  // Each change is waited for unreaped, left for the table to collect.
  ASSERT_EQ(kill(pid, SIGSTOP), 0);
  ASSERT_TRUE(qvtest::WaitUntil([&] { return Waitable(pid, WSTOPPED); }));
  ASSERT_EQ(kill(pid, SIGCONT), 0);
  ASSERT_TRUE(qvtest::WaitUntil([&] { return Waitable(pid, WCONTINUED); }));
  LetEnd(release);
  ASSERT_TRUE(qvtest::WaitUntil([&] { return Waitable(pid, WEXITED); }));
  EXPECT_EQ(qvchild_wait_for_pid(table_), kQVChildSuccess);
  EXPECT_EQ(qvchild_get_pid_status(table_, pid), 1);
  EXPECT_EQ(qvchild_get_stop_value(table_, pid), 6);
  EXPECT_FALSE(IsZombie(pid));
  Forget(pid);
}

TEST_F(ChildTable, ManyChildrenEndingTogetherLeaveNoZombie) {
  std::vector<pid_t> started;
  for (int i = 0; i < 24; ++i) started.push_back(Start(i));
  // All have ended, none reaped: as when their SIGCHLDs merged into one.
  for (pid_t pid : started) {
    ASSERT_TRUE(qvtest::WaitUntil([&] { return Waitable(pid, WEXITED); })) << pid;
  }
  EXPECT_EQ(qvchild_wait_for_pid(table_), kQVChildSuccess);
  for (size_t i = 0; i < started.size(); ++i) {
    EXPECT_EQ(qvchild_get_pid_status(table_, started[i]), 1) << i;
    EXPECT_EQ(qvchild_get_stop_value(table_, started[i]), static_cast<int>(i));
    EXPECT_FALSE(IsZombie(started[i]));
  }
  pids_.clear();
}

TEST_F(ChildTable, AReapThatFindsTheTableChangingIsMadeWhenTheChangeEnds) {
  const pid_t ended = Start(3);
  ASSERT_TRUE(qvtest::WaitUntil([&] { return Waitable(ended, WEXITED); }));
  // The SIGCHLD handler reaps while a thread is in the middle of a change:
  // here from the allocation the insertion makes while it holds the table.
  bool skipped = false;
  gInsideAllocation = [&] {
    qvchild_wait_for_pid(table_);
    skipped = qvchild_get_pid_status(table_, ended) == 0;
  };
  Start(-1);
  EXPECT_TRUE(skipped);
  // Its SIGCHLD will not come again: the change, once done, made the reap.
  EXPECT_EQ(qvchild_get_pid_status(table_, ended), 1);
  EXPECT_EQ(qvchild_get_stop_value(table_, ended), 3);
  EXPECT_FALSE(IsZombie(ended));
  Forget(ended);
}

TEST(ChildTableArguments, MissingTableOrProcess) {
  EXPECT_EQ(qvchild_new(nullptr, Release), nullptr);
  EXPECT_EQ(qvchild_insert_pid(nullptr, 1), kQVChildFailure);
  EXPECT_EQ(qvchild_delete_pid(nullptr, 1), kQVChildFailure);
  EXPECT_EQ(qvchild_remove_dead_pids(nullptr), kQVChildFailure);
  EXPECT_EQ(qvchild_wait_for_pid(nullptr), kQVChildFailure);
  EXPECT_EQ(qvchild_get_pid_status(nullptr, 1), -1);

  _qvchild table;
  ASSERT_EQ(qvchild_initialize(&table, Allocate, Release), &table);
  EXPECT_EQ(qvchild_get_stop_value(&table, 12345), -1);
  EXPECT_EQ(qvchild_insert_pid(&table, 12345), kQVChildSuccess);
  EXPECT_EQ(qvchild_get_pid_status(&table, 12345), 0);
  EXPECT_EQ(qvchild_delete_pid(&table, 12345), kQVChildSuccess);
  EXPECT_EQ(qvchild_get_pid_status(&table, 12345), -1);
  qvchild_destroy(&table);  // a caller's record is not released
}

// Process ids are kept whole, up to the largest their type holds; a reap
// that finds no such child leaves their records as they were.
TEST_F(ChildTable, ProcessIdsAtTheLimitsOfTheirType) {
  constexpr pid_t kLargest = std::numeric_limits<pid_t>::max();
  for (pid_t pid : {pid_t{1}, kLargest}) EXPECT_EQ(qvchild_insert_pid(table_, pid), kQVChildSuccess);
  EXPECT_EQ(qvchild_wait_for_pid(table_), kQVChildSuccess);
  for (pid_t pid : {pid_t{1}, kLargest}) {
    EXPECT_EQ(qvchild_get_pid_status(table_, pid), 0) << pid;
    EXPECT_EQ(qvchild_get_stop_value(table_, pid), 0) << pid;
  }
  EXPECT_EQ(qvchild_get_pid_status(table_, kLargest - 1), -1);
  EXPECT_EQ(qvchild_delete_pid(table_, kLargest), kQVChildSuccess);
  EXPECT_EQ(qvchild_get_pid_status(table_, kLargest), -1);
  EXPECT_EQ(qvchild_get_pid_status(table_, 1), 0);
}

}  // namespace
