// The sync directory is made once per process, by the first sync object, and
// its first result holds for the process's life. So no test here makes a sync
// object in the test process itself: every one that needs one forks first.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>

#include "support/qvtest.h"
#include "utilities/qvdescriptorconditions.h"
#include "utilities/qvexception.h"
#include "utilities/qvplatformthreads.h"
#include "utilities/qvsyncobject.h"
#include "utilities/qvthreads.h"

using namespace Quorvane;

namespace {
// Sets QUORVANE_TMPDIR (or unsets it) for one scope.
class ScopedTmpDir {
 public:
  explicit ScopedTmpDir(const std::optional<std::string>& value) {
    if (const char* old = getenv("QUORVANE_TMPDIR")) old_ = old;
    if (value) {
      setenv("QUORVANE_TMPDIR", value->c_str(), 1);
    } else {
      unsetenv("QUORVANE_TMPDIR");
    }
  }
  ~ScopedTmpDir() {
    if (old_) {
      setenv("QUORVANE_TMPDIR", old_->c_str(), 1);
    } else {
      unsetenv("QUORVANE_TMPDIR");
    }
  }

 private:
  std::optional<std::string> old_;
};

bool ExitedWith(int status, int code) { return WIFEXITED(status) && WEXITSTATUS(status) == code; }
}  // namespace

TEST(SyncDirectory, PathFollowsTheEnvironment) {
  struct Case {
    std::optional<std::string> value;
    const char* expected;
  };
  const Case cases[] = {
      {std::nullopt, "/tmp/Quorvane"},
      {std::string(""), "/tmp/Quorvane"},
      {std::string("/var/x"), "/var/x/org.quorvane.sync"},
      {std::string("/var/x/"), "/var/x//org.quorvane.sync"},  // not normalised
  };
  for (const Case& c : cases) {
    ScopedTmpDir scope(c.value);
    EXPECT_EQ(getThreadSyncDir(), c.expected) << (c.value ? *c.value : "(unset)");
  }
}

TEST(SyncDirectory, IpcNames) {
  ScopedTmpDir scope(std::string("/some/root"));
  EXPECT_EQ(makeIPCName("abc"), "/tmp/abc");
  EXPECT_EQ(makeSemaphoreIPCName("abc"), "/tmp/abc");
  EXPECT_EQ(makeFileLockingIPCName("abc"), "/some/root/org.quorvane.sync/abc");
  EXPECT_EQ(makeFIFOIPCName("abc"), "/some/root/org.quorvane.sync/abc");
  EXPECT_EQ(getPathSeparator(), "/");
}

TEST(SyncDirectory, NameCollisionNeedsTheWholeEntry) {
  ASSERT_TRUE(initSyncObjectDir());
  const std::string path = ToStdString(makeFileLockingIPCName("abcdef"));
  std::ofstream(path) << "x";
  EXPECT_TRUE(nameCollidesWithAnotherIPCName("abcdef"));
  EXPECT_FALSE(nameCollidesWithAnotherIPCName("abc"));
  EXPECT_FALSE(nameCollidesWithAnotherIPCName("abcdefg"));
  unlink(path.c_str());
  EXPECT_FALSE(nameCollidesWithAnotherIPCName("abcdef"));
}

TEST(SyncDirectory, FirstSyncObjectMakesTheDirectoryWithMode0777) {
  qvtest::TempDir dir;
  const std::string root = dir.file("deep/er");  // missing parents too
  const int status = qvtest::RunInChild([&] {
    setenv("QUORVANE_TMPDIR", root.c_str(), 1);
    umask(022);  // must not strip the bits other users need
    QVPthreadMutexHandle mutex(false);
    struct stat st;
    if (stat((root + "/org.quorvane.sync").c_str(), &st) != 0) return 1;
    if (!S_ISDIR(st.st_mode)) return 2;
    return (st.st_mode & 0777) == 0777 ? 0 : 3;
  });
  EXPECT_TRUE(ExitedWith(status, 0)) << status;
}

// Without a usable sync directory no lock or descriptor condition can be made,
// in-process mutexes included, and a later fix of the environment changes nothing.
TEST(SyncDirectory, UnusableDirectoryRefusesEverySyncObject) {
  qvtest::TempDir dir;
  const std::string blocker = dir.file("blocker");
  std::ofstream(blocker) << "a file, not a folder";
  const int status = qvtest::RunInChild([&] {
    setenv("QUORVANE_TMPDIR", (blocker + "/sub").c_str(), 1);
    int refused = 0;
    auto expectRefused = [&](auto make) {
      try {
        make();
      } catch (const QVException& e) {
        if (e.getType() == qvexceptiontype::internalError && e.getCode() == 0 &&
            e.getWhat() == "Sync object directory not initialized." &&
            e.getFile() == "utilities/qvplatformthreads") {
          ++refused;
        }
      }
    };
    expectRefused([] { QVPthreadMutexHandle m(false); });
    expectRefused([] { delete CreateUnnamedMutexHandle(QVInProcessMutex); });
    expectRefused([] { QVFileLockingMutexHandle m("lockname"); });
    expectRefused([] { QVPipeCondition c; });
    expectRefused([] { QVFifoCondition c("fifoname", QVCREATE); });
    // The first result holds for the life of the process.
    setenv("QUORVANE_TMPDIR", qvtest::PrivateRoot().c_str(), 1);
    expectRefused([] { QVPthreadMutexHandle m(true); });
    return refused;
  });
  EXPECT_TRUE(ExitedWith(status, 6)) << "refusals: " << WEXITSTATUS(status);
}
