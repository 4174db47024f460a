// When a named lock's file goes: with its last user, never while another
// process still uses it, and not because of a forked copy of a handle or a
// sweep after a dead process that shared the lock. Checked with real
// processes closing at the same moment.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "support/qvtest.h"
#include "tests/utilities/qvtestprocesses.h"
#include "utilities/qvplatformthreads.h"
#include "utilities/qvsyncobject.h"
#include "utilities/qvsyncobjectnamerecordmanager.h"
#include "utilities/qvunixthreadmodule.h"

using namespace Quorvane;

namespace {

std::string UniqueName(const char* stem) {
  static int counter = 0;
  return std::string(stem) + "-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
}

std::string SyncPath(const std::string& name) { return ToStdString(getThreadSyncDir()) + "/" + name; }

std::vector<std::string> SyncEntries() {
  std::vector<std::string> found;
  if (DIR* dir = opendir(ToStdString(getThreadSyncDir()).c_str())) {
    while (dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") found.push_back(name);
    }
    closedir(dir);
  }
  return found;
}

// The fork comes with this process on one thread: a child forked while the
// record thread allocates may inherit the allocator's lock held (a
// sanitizer's allocator is not made safe across a fork) and hang at its
// first allocation. Removals are then written by whoever makes them.
void StopRecordThread() { QVSyncObjectNameRecordManager::deinitialize(); }

std::string Joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += name + " ";
  return text;
}

bool SameInode(const std::string& path, ino_t inode) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && st.st_ino == inode;
}

// Starts `count` children that each run body(child index) and exit with its
// result; Wait reaps them all (killing any that outlive the deadline) and
// says whether every one ended with 0.
class Children {
 public:
  template <typename Body>
  Children(int count, Body body) {
    StopRecordThread();
    for (int index = 0; index < count; ++index) {
      const pid_t pid = fork();
      if (pid < 0) throw std::runtime_error("fork failed");
      if (pid == 0) {
        int rc = 125;
        try {
          rc = body(index);
          // The child's record thread, if it made one, writes what it has
          // queued before the child ends.
          QVSyncObjectNameRecordManager::deinitialize();
        } catch (...) {
          rc = 124;
        }
        _exit(rc);
      }
      killers_.push_back(std::make_unique<qvtest::ChildKiller>(pid));
      pids_.push_back(pid);
    }
  }

  bool Wait() {
    bool allPassed = true;
    for (size_t i = 0; i < pids_.size(); ++i) {
      int status = -1;
      // Far beyond what the rounds take (well under a second, some seconds
      // under a sanitizer): a deadline only for a child that hangs.
      const bool ended = qvtest::WaitUntil([&] { return waitpid(pids_[i], &status, WNOHANG) == pids_[i]; },
                                           std::chrono::seconds(240));
      if (!ended) {
        ADD_FAILURE() << "child " << i << " did not end in time";
        return false;  // the killers reap the rest
      }
      killers_[i]->release();
      allPassed = allPassed && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    return allPassed;
  }

  const std::vector<pid_t>& pids() const { return pids_; }

 private:
  std::vector<pid_t> pids_;
  std::vector<std::unique_ptr<qvtest::ChildKiller>> killers_;
};

constexpr int kRounds = 2000;

// As the SharedMemory device does once it has closed its named objects: the
// record's removals are written now, so the record stays short.
void Flush() {
  QVSmartPointer<QVSyncObjectNameRecordManager> manager = QVSyncObjectNameRecordManager::defaultManager();
  if (manager) manager->flushRemovedObjectsFromSystemRecord();
}

}  // namespace

// Two processes open a lock on one name and close it at the same moment, a
// new name each round: the last to close removes the file every time, and
// both records let go of it, so nothing at all stays in the sync folder.
TEST(LockFileLifetime, TwoProcessesClosingAtOnceLeaveNothing) {
  ASSERT_TRUE(initSyncObjectDir());
  ASSERT_TRUE(SyncEntries().empty()) << Joined(SyncEntries());
  const std::string stem = UniqueName("together");
  qvtest::ProcessBarrier barrier(2);
  Children children(2, [&](int) {
    for (long round = 0; round < kRounds; ++round) {
      auto handle = std::make_unique<QVFileLockingMutexHandle>(ToQVString(stem + "-" + std::to_string(round)));
      if (!barrier.Arrive(2 * round + 1)) return 2;
      handle.reset();
      Flush();
      if (!barrier.Arrive(2 * round + 2)) return 3;
    }
    return 0;
  });
  ASSERT_TRUE(children.Wait());
  const std::vector<std::string> left = SyncEntries();
  EXPECT_TRUE(left.empty()) << left.size() << " left after " << kRounds << " rounds: " << Joined(left);
}

// While this process holds a handle, others opening and closing the same
// name at the same moment never remove its file: the name keeps meaning
// this handle's lock, and a later handle is excluded by it.
TEST(LockFileLifetime, NeverRemovedWhileAnotherProcessUsesIt) {
  const std::string name = UniqueName("held");
  const std::string path = SyncPath(name);
  auto held = std::make_unique<QVFileLockingMutexHandle>(ToQVString(name));
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  const ino_t inode = st.st_ino;

  qvtest::ProcessBarrier barrier(2);
  Children children(2, [&](int) {
    for (long round = 0; round < kRounds / 2; ++round) {
      auto handle = std::make_unique<QVFileLockingMutexHandle>(ToQVString(name));
      if (!barrier.Arrive(2 * round + 1)) return 2;
      handle.reset();
      Flush();
      if (!barrier.Arrive(2 * round + 2)) return 3;
      if (!SameInode(path, inode)) return 4;
    }
    return 0;
  });
  ASSERT_TRUE(children.Wait()) << "a child saw the held lock's file removed or replaced";
  EXPECT_TRUE(SameInode(path, inode));

  ASSERT_TRUE(held->Lock());
  Children later(1, [&](int) {
    QVFileLockingMutexHandle handle(ToQVString(name));
    return SameInode(path, inode) ? 0 : 5;
  });
  EXPECT_TRUE(later.Wait()) << "a later handle made a new file beside the held one";
  held->Unlock();
  held.reset();
  EXPECT_FALSE(SameInode(path, inode)) << "the last user left the file";
}

// A forked child has the parent's handle too, on the same open file: letting
// go of its copy must leave the parent's lock and its file as they are.
TEST(LockFileLifetime, AForkedCopyOfAHandleLeavesTheFile) {
  const std::string name = UniqueName("forked");
  const std::string path = SyncPath(name);
  auto* mine = new QVFileLockingMutexHandle(ToQVString(name));
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  StopRecordThread();
  const int status = qvtest::RunInChild([&] {
    delete mine;
    return 0;
  });
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(SameInode(path, st.st_ino));
  delete mine;
  EXPECT_FALSE(SameInode(path, st.st_ino));
}

// A dead process's record may name a lock that a live one shares: its sweep
// removes the file only when no one uses it.
TEST(LockFileLifetime, SweepRemovesALockFileOnlyWhenUnused) {
  ASSERT_TRUE(initSyncObjectDir());
  const std::string used = UniqueName("shared");
  const std::string unused = UniqueName("orphan");
  QVFileLockingMutexHandle live(ToQVString(used));
  std::ofstream(SyncPath(unused)) << "FillerBytes\n";
  // Once reaped, the child's id names no process.
  Children gone(1, [](int) { return 0; });
  const int dead = gone.pids()[0];
  ASSERT_TRUE(gone.Wait());
  const std::string record = SyncPath("qv" + std::to_string(dead) + "-dead.rec");
  std::ofstream(record) << dead << "\n" << used << ":FM\n" << unused << ":FM\n";

  ASSERT_TRUE(initThreadModule());
  EXPECT_TRUE(qvtest::WaitUntil([&] {
    struct stat ignored;
    return lstat(record.c_str(), &ignored) != 0 && lstat(SyncPath(unused).c_str(), &ignored) != 0;
  }));
  deinitThreadModule();
  struct stat ignored;
  EXPECT_EQ(stat(SyncPath(used).c_str(), &ignored), 0) << "the sweep removed a lock file in use";
}
