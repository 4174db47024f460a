#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/qvtest.h"
#include "utilities/qvdescriptorconditions.h"
#include "utilities/qvexception.h"
#include "utilities/qvplatformthreads.h"
#include "utilities/qvsyncobjectrecording.h"
#include "utilities/qvthreads.h"

using namespace Quorvane;

namespace {
std::string UniqueName(const char* stem) {
  static std::atomic<int> counter{0};
  return std::string(stem) + "-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// True when someone holds the flock of the file at path now.
bool HeldByAnother(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR);
  if (fd < 0) return false;
  const bool held = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  if (!held) flock(fd, LOCK_UN);
  close(fd);
  return held;
}

// Read-modify-write of a counter in a file, with a yield in the middle: without
// exclusion, concurrent rounds lose increments.
void BumpCounterFile(const std::string& path) {
  int value = 0;
  {
    std::ifstream in(path);
    in >> value;
  }
  std::this_thread::yield();
  std::ofstream(path, std::ios::trunc) << value + 1;
}

int ReadCounterFile(const std::string& path) {
  int value = -1;
  std::ifstream(path) >> value;
  return value;
}

class RecordingRecorder : public QVSyncObjectRecorder {
 public:
  void addObjectToRecord(const QVString& name, int32_t type) override {
    std::lock_guard<std::mutex> hold(lock);
    added.emplace_back(ToStdString(name), type);
  }
  void markObjectAsRemovedFromRecord(const QVString& name, int32_t type) override {
    std::lock_guard<std::mutex> hold(lock);
    removed.emplace_back(ToStdString(name), type);
  }
  std::mutex lock;
  std::vector<std::pair<std::string, int>> added;
  std::vector<std::pair<std::string, int>> removed;
};
}  // namespace

TEST(NamedMutex, LockFileHoldsFillerBytesWithMode0666) {
  const std::string name = UniqueName("filler");
  const mode_t old = umask(077);  // the file's mode must not depend on the umask
  QVFileLockingMutexHandle handle(ToQVString(name));
  umask(old);
  const std::string path = ToStdString(makeFileLockingIPCName(ToQVString(name)));
  EXPECT_EQ(ToStdString(handle.getPath()), path);
  EXPECT_EQ(ReadFile(path), "FillerBytes\n");
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666u);
}

TEST(NamedMutex, ExistingLockFileIsOpenedAndRefilled) {
  const std::string name = UniqueName("existing");
  ASSERT_TRUE(initSyncObjectDir());
  const std::string path = ToStdString(makeFileLockingIPCName(ToQVString(name)));
  std::ofstream(path) << "something else entirely, and longer";
  {
    QVFileLockingMutexHandle handle(ToQVString(name));
    EXPECT_EQ(ReadFile(path).substr(0, 12), "FillerBytes\n");
    EXPECT_TRUE(handle.Lock());
    EXPECT_TRUE(HeldByAnother(path));
    EXPECT_TRUE(handle.Unlock());
  }
}

TEST(NamedMutex, LockedQFollowsLockAndUnlock) {
  QVFileLockingMutexHandle handle(ToQVString(UniqueName("lockedq")));
  EXPECT_FALSE(handle.LockedQ());
  EXPECT_TRUE(handle.Lock());
  EXPECT_TRUE(handle.LockedQ());
  EXPECT_TRUE(handle.Lock());  // again through the same handle: returns at once
  EXPECT_TRUE(handle.Unlock());
  EXPECT_FALSE(handle.LockedQ());
  EXPECT_FALSE(HeldByAnother(ToStdString(handle.getPath())));  // one Unlock lets it go
}

TEST(NamedMutex, OpenErrorIsTypeFourWithErrno) {
  try {
    QVFileLockingMutexHandle handle("no-such-folder/name");
    FAIL() << "expected an exception";
  } catch (const QVException& e) {
    EXPECT_EQ(e.getType(), qvexceptiontype::systemCallFailed);
    EXPECT_EQ(e.getWhat(), "Open error.");
    EXPECT_EQ(e.getCode(), ENOENT);
    EXPECT_EQ(e.getFile(), "utilities/qvplatformthreads");
  }
}

// Each thread has its own handle on one name; the handles must exclude each other.
TEST(NamedMutex, HandlesExcludeEachOtherAcrossThreads) {
  const std::string name = UniqueName("threads");
  qvtest::TempDir dir;
  const std::string counter = dir.file("counter");
  std::ofstream(counter) << 0;
  constexpr int kThreads = 4;
  constexpr int kRounds = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      QVFileLockingMutexHandle handle(ToQVString(name));
      for (int i = 0; i < kRounds; ++i) {
        QVMutex hold(&handle);
        BumpCounterFile(counter);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(ReadCounterFile(counter), kThreads * kRounds);
}

TEST(NamedMutex, HandlesExcludeEachOtherAcrossProcesses) {
  const std::string name = UniqueName("processes");
  qvtest::TempDir dir;
  const std::string counter = dir.file("counter");
  std::ofstream(counter) << 0;
  constexpr int kChildren = 3;
  constexpr int kRounds = 200;
  std::vector<pid_t> children;
  for (int c = 0; c < kChildren; ++c) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int rc = 0;
      try {
        QVFileLockingMutexHandle handle(ToQVString(name));
        for (int i = 0; i < kRounds; ++i) {
          QVMutex hold(&handle);
          BumpCounterFile(counter);
        }
      } catch (...) {
        rc = 1;
      }
      _exit(rc);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(ReadCounterFile(counter), kChildren * kRounds);
}

// Destroying a handle while another still uses the name must not unlink the
// file: a later handle would lock a new file and not exclude the first.
TEST(NamedMutex, OnlyTheLastHandleRemovesTheLockFile) {
  const std::string name = UniqueName("last");
  auto creator = std::make_unique<QVFileLockingMutexHandle>(ToQVString(name));
  auto other = std::make_unique<QVFileLockingMutexHandle>(ToQVString(name));
  const std::string path = ToStdString(creator->getPath());
  creator.reset();  // the creator ends first
  ASSERT_TRUE(Exists(path));
  other->Lock();
  QVFileLockingMutexHandle later(ToQVString(name));
  EXPECT_TRUE(HeldByAnother(path)) << "the later handle sees a different lock";
  other->Unlock();
  other.reset();
  EXPECT_TRUE(Exists(path));  // `later` still uses it
  EXPECT_TRUE(later.Lock());
  EXPECT_TRUE(later.Unlock());
}

TEST(NamedMutex, LastHandleRemovesTheLockFile) {
  const std::string name = UniqueName("alone");
  std::string path;
  {
    QVFileLockingMutexHandle handle(ToQVString(name));
    path = ToStdString(handle.getPath());
    ASSERT_TRUE(Exists(path));
  }
  EXPECT_FALSE(Exists(path));
}

// The same across processes: a child holds the lock and drops its handle while
// the parent still holds one; a third handle, made afterwards, must still be
// excluded by the parent's lock.
TEST(NamedMutex, HandleOfAnotherProcessKeepsTheNameAlive) {
  const std::string name = UniqueName("crossproc");
  const QVString qname = ToQVString(name);
  const std::string path = ToStdString(makeFileLockingIPCName(qname));
  QVFileLockingMutexHandle mine(qname);
  const int status = qvtest::RunInChild([&] {
    QVFileLockingMutexHandle theirs(qname);
    theirs.Lock();
    theirs.Unlock();
    return 0;  // destroyed here, while the parent's handle lives
  });
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ASSERT_TRUE(Exists(path));
  ASSERT_TRUE(mine.Lock());
  const int excluded = qvtest::RunInChild([&] {
    QVFileLockingMutexHandle later(qname);
    return HeldByAnother(ToStdString(later.getPath())) ? 0 : 1;
  });
  EXPECT_TRUE(WIFEXITED(excluded) && WEXITSTATUS(excluded) == 0);
  mine.Unlock();
}

TEST(NamedMutex, RegistersWithTheRecordWhenMadeAndDestroyed) {
  RecordingRecorder recorder;
  SetSyncObjectRecorder(&recorder);
  const std::string lockName = UniqueName("recorded");
  const std::string fifoName = UniqueName("recordedfifo");
  {
    QVFileLockingMutexHandle first(ToQVString(lockName));
    QVFileLockingMutexHandle second(ToQVString(lockName));  // opened, also registered
    QVFifoCondition made(ToQVString(fifoName), QVCREATE);
    QVFifoCondition opened(ToQVString(fifoName), QVOPEN);
    QVPipeCondition pipe;  // unnamed: not recorded
  }
  SetSyncObjectRecorder(nullptr);
  using Entry = std::pair<std::string, int>;
  const std::vector<Entry> expectedAdded = {
      {lockName, 3}, {lockName, 3}, {fifoName, 4}, {fifoName, 4}};
  const std::vector<Entry> expectedRemoved = {
      {fifoName, 4}, {fifoName, 4}, {lockName, 3}, {lockName, 3}};
  EXPECT_EQ(recorder.added, expectedAdded);
  EXPECT_EQ(recorder.removed, expectedRemoved);
}

TEST(ThreadsFactory, MutexKinds) {
  QVThreadsFactory factory;
  const QVString name = ToQVString(UniqueName("factory"));
  std::unique_ptr<QVMutexHandle> named(factory.CreateHandle(name, QVNamedMutex, false));
  ASSERT_NE(dynamic_cast<QVFileLockingMutexHandle*>(named.get()), nullptr);
  std::unique_ptr<QVMutexHandle> alsoNamed(factory.CreateHandle(name, true));
  ASSERT_NE(dynamic_cast<QVFileLockingMutexHandle*>(alsoNamed.get()), nullptr);
  std::unique_ptr<QVMutexHandle> local(factory.CreateHandle(name, QVInProcessMutex, true));
  ASSERT_NE(dynamic_cast<QVPthreadMutexHandle*>(local.get()), nullptr);
  EXPECT_TRUE(local->Lock());
  EXPECT_TRUE(local->Lock());  // recursive
  EXPECT_TRUE(local->Unlock());
  EXPECT_TRUE(local->Unlock());

  EXPECT_EQ(factory.CreateHandle(name, static_cast<_qvmutex>(7), false), nullptr);
  EXPECT_EQ(factory.CreateHandlePointer(name, static_cast<_qvmutex>(7)).get(), nullptr);
  EXPECT_EQ(factory.CreateUnnamedHandle(static_cast<_qvmutex>(7), false), nullptr);

  std::unique_ptr<QVMutexHandle> unnamed(factory.CreateUnnamedHandle(false));
  auto* file = dynamic_cast<QVFileLockingMutexHandle*>(unnamed.get());
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->getName().size(), 6u);
  EXPECT_TRUE(Exists(ToStdString(file->getPath())));

  QVSmartPointer<QVMutexHandle> pointer = factory.CreateUnnamedHandlePointer(QVInProcessMutex, true);
  ASSERT_NE(pointer.get(), nullptr);
  EXPECT_EQ(pointer.useCount(), 1u);
  EXPECT_TRUE(pointer.hasLockQ());
}

// A lock whose release fails (as a lock file's can) when a scoped holder lets
// go of it: the failure must not leave the destructor and end the program.
class FailingUnlock : public QVMutexHandle {
 public:
  bool Lock() override {
    locked = true;
    return true;
  }
  bool Unlock() override {
    throw QVException("Unlock failed.", "tests/utilities/qvnamedmutex_test", __LINE__,
                      qvexceptiontype::systemCallFailed, EIO);
  }
};

TEST(ThreadsFactory, ScopedLocksSwallowAFailedUnlock) {
  FailingUnlock plain;
  { QVMutex hold(&plain); }
  EXPECT_TRUE(plain.LockedQ());
  QVSmartPointer<QVMutexHandle> counted(new FailingUnlock,
                                        CreateUnnamedMutexHandle(QVInProcessMutex));
  { QVSmartMutex hold(counted); }
  EXPECT_TRUE(counted->LockedQ());
}

TEST(ThreadsFactory, ScopedLocks) {
  { QVMutex nothing(nullptr); }  // neither locks nor unlocks
  QVSmartPointer<QVMutexHandle> empty;
  try {
    QVSmartMutex hold(empty);
    FAIL() << "expected an exception";
  } catch (const QVException& e) {
    EXPECT_EQ(e.getType(), qvexceptiontype::badArgument);
    EXPECT_EQ(e.getWhat(), "Argument cannot be NULL.");
  }
  QVThreadsFactory factory;
  QVSmartPointer<QVMutexHandle> handle = factory.CreateUnnamedHandlePointer(QVInProcessMutex, false);
  {
    QVSmartMutex hold(handle);
    EXPECT_TRUE(handle->LockedQ());
    EXPECT_EQ(handle.useCount(), 2u);
  }
  EXPECT_FALSE(handle->LockedQ());
  EXPECT_EQ(handle.useCount(), 1u);
}
