#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>

#include "support/qvtest.h"
#include "utilities/platform/qvsharedmemoryname.h"
#include "utilities/qvsharedmemorysegment.h"
#include "utilities/qvsyncobject.h"

using namespace Quorvane;

namespace {
// Unique per process and test, and removed by the fixture whatever happens.
class SharedMemoryTest : public ::testing::Test {
 protected:
  QVString NewName() {
    static std::atomic<int> counter{0};
    const std::string name =
        "qvshmtest-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
    names_.push_back(name);
    return ToQVString(name);
  }
  void TearDown() override {
    for (const std::string& name : names_) {
      shm_unlink(ToStdString(platform::PosixSharedMemoryName(makeIPCName(ToQVString(name)))).c_str());
      const std::string keyFile = "/tmp/" + name;
      const key_t key = ftok(keyFile.c_str(), 8);
      if (key >= 0) {
        const int id = shmget(key, 0, 0);
        if (id >= 0) shmctl(id, IPC_RMID, nullptr);
      }
      unlink(keyFile.c_str());
    }
  }
  static std::string SystemPath(const QVString& name) {
    return "/dev/shm" + ToStdString(platform::PosixSharedMemoryName(makeIPCName(name)));
  }
  static bool SystemVAvailable() {
    const int id = shmget(IPC_PRIVATE, 1024, IPC_CREAT | 0600);
    if (id < 0) return false;
    shmctl(id, IPC_RMID, nullptr);
    return true;
  }

 private:
  std::vector<std::string> names_;
};

// The child maps the segment by name, checks the parent's bytes and answers.
template <typename Segment>
int ChildSeesAndWrites(const QVString& name, uint64_t length) {
  return qvtest::RunInChild([&] {
    Segment segment(name, length);
    if (segment.connect() != kSegmentMapped) return 1;
    auto* bytes = static_cast<volatile char*>(segment.getBytes());
    if (std::memcmp(const_cast<char*>(bytes), "from parent", 11) != 0) return 2;
    std::memcpy(const_cast<char*>(bytes) + 100, "from child", 10);
    segment.detachSegment();
    return 0;
  });
}
}  // namespace

TEST(SharedMemoryName, MapsEveryLaterSlash) {
  EXPECT_EQ(platform::PosixSharedMemoryName("/tmp/abc"), "/tmp.abc");
  EXPECT_EQ(platform::PosixSharedMemoryName("/tmp/a/b"), "/tmp.a.b");
  EXPECT_EQ(platform::PosixSharedMemoryName("abc"), "/abc");
}

TEST_F(SharedMemoryTest, ProbeFindsPosixSharedMemory) {
  EXPECT_EQ(QVSharedMemorySegment::determineSharedMemoryType(), kPosixSharedMemory);
  auto segment = QVSharedMemorySegment::initWithNameAndSize(NewName(), 64);
  ASSERT_NE(segment.get(), nullptr);
  EXPECT_NE(dynamic_cast<QVPosixSharedMemorySegment*>(segment.get()), nullptr);
  EXPECT_EQ(segment->getLength(), 64u);
  EXPECT_EQ(segment.useCount(), 1u);
  EXPECT_TRUE(segment.hasLockQ());
}

TEST_F(SharedMemoryTest, PosixSegmentIsSharedBetweenProcesses) {
  const QVString name = NewName();
  const uint64_t length = 200120;
  QVPosixSharedMemorySegment segment(name, length);
  ASSERT_EQ(segment.create(), kSegmentMapped);
  EXPECT_EQ(segment.getShmName(), makeIPCName(name));
  // Sized to whole pages, mapped with the exact length.
  struct stat st;
  ASSERT_EQ(stat(SystemPath(name).c_str(), &st), 0);
  const long page = sysconf(_SC_PAGESIZE);
  EXPECT_EQ(st.st_size % page, 0);
  EXPECT_GE(static_cast<uint64_t>(st.st_size), length);
  EXPECT_LT(static_cast<uint64_t>(st.st_size), length + page);

  std::memcpy(segment.getBytes(), "from parent", 11);
  const int status = ChildSeesAndWrites<QVPosixSharedMemorySegment>(name, length);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(std::memcmp(static_cast<char*>(segment.getBytes()) + 100, "from child", 10), 0);

  // Making it again is refused and leaves it untouched.
  QVPosixSharedMemorySegment again(name, length);
  EXPECT_EQ(again.create(), kSegmentExists);
  EXPECT_EQ(std::memcmp(segment.getBytes(), "from parent", 11), 0);

  EXPECT_EQ(segment.detachSegmentAndRemoveFromOS(), 0);
  EXPECT_EQ(segment.getBytes(), nullptr);
  EXPECT_NE(stat(SystemPath(name).c_str(), &st), 0);
}

TEST_F(SharedMemoryTest, PosixConnectCodes) {
  const QVString name = NewName();
  QVPosixSharedMemorySegment missing(name, 4096);
  EXPECT_EQ(missing.connect(), kSegmentMissing);

  // A segment shorter than the length (a creator that has not sized it yet):
  // refused instead of mapped past its end.
  const std::string systemName = ToStdString(platform::PosixSharedMemoryName(makeIPCName(name)));
  const int fd = shm_open(systemName.c_str(), O_RDWR | O_CREAT | O_EXCL, 0644);
  ASSERT_GE(fd, 0);
  QVPosixSharedMemorySegment early(name, 4096);
  EXPECT_EQ(early.connect(), kSegmentFailed);
  EXPECT_EQ(early.getBytes(), nullptr);
  ASSERT_EQ(ftruncate(fd, 4096), 0);
  EXPECT_EQ(early.connect(), kSegmentMapped);
  static_cast<char*>(early.getBytes())[4095] = 1;  // the whole length is usable
  EXPECT_EQ(early.detachSegment(), 0);
  close(fd);
}

// The segment is made with mode 0644: another user may not map it for writing.
TEST_F(SharedMemoryTest, PosixConnectOfAnotherUsersSegmentIsDenied) {
  if (geteuid() != 0) GTEST_SKIP() << "needs to act as another user";
  const QVString name = NewName();
  QVPosixSharedMemorySegment segment(name, 4096);
  ASSERT_EQ(segment.create(), kSegmentMapped);
  const int status = qvtest::RunInChild([&] {
    if (setgid(65534) != 0 || setuid(65534) != 0) return 10;
    QVPosixSharedMemorySegment denied(name, 4096);
    return denied.connect();
  });
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), kSegmentAccessDenied);
  EXPECT_EQ(segment.detachSegmentAndRemoveFromOS(), 0);
}

// A create that cannot size or map its object answers 5 and takes the object
// away again: a half-made segment left under the name would make the next
// create answer "exists" and a connector map an object of the wrong size.
TEST_F(SharedMemoryTest, PosixCreateThatCannotFinishAnswers5AndLeavesNothing) {
  struct HalfMadeCase {
    const char* title;
    uint64_t length;
    rlim_t fileSizeLimit;  // 0: unchanged
  };
  const HalfMadeCase cases[] = {
      {"the object cannot be sized", 1u << 20, 4096},
      {"the object cannot be mapped", uint64_t{1} << 48, 0},
  };
  for (const HalfMadeCase& c : cases) {
    SCOPED_TRACE(c.title);
    const QVString name = NewName();
    const int status = qvtest::RunInChild([&] {
      if (c.fileSizeLimit != 0) {
        signal(SIGXFSZ, SIG_IGN);  // the failing call reports EFBIG instead
        const rlimit limit{c.fileSizeLimit, c.fileSizeLimit};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 20;
      }
      QVPosixSharedMemorySegment segment(name, c.length);
      const int created = segment.create();
      if (segment.getBytes() != nullptr || segment.getHandle() != -1) return 21;
      return created;
    });
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), kSegmentFailed);
    struct stat st;
    EXPECT_NE(stat(SystemPath(name).c_str(), &st), 0) << "the half-made object stays";
    EXPECT_EQ(errno, ENOENT);
    QVPosixSharedMemorySegment again(name, 4096);
    EXPECT_EQ(again.create(), kSegmentMapped) << "the name is free again";
    EXPECT_EQ(again.detachSegmentAndRemoveFromOS(), 0);
  }
}

TEST_F(SharedMemoryTest, RemovalReportsTheFirstFailure) {
  const QVString name = NewName();
  QVPosixSharedMemorySegment segment(name, 4096);
  ASSERT_EQ(segment.create(), kSegmentMapped);
  auto byName = QVSharedMemorySegment::initWithName(name);
  EXPECT_EQ(byName->getLength(), 0u);
  EXPECT_EQ(byName->removeFromOS(), 0);
  // The name is gone already: the unlink fails, though unmapping and closing work.
  errno = 0;
  EXPECT_EQ(segment.detachSegmentAndRemoveFromOS(), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(byName->removeFromOS(), -1);
}

namespace {
// Counts the library's allocations made on this thread while armed.
thread_local bool gCounting = false;
thread_local int gAllocations = 0;
void* CountingAllocator(uint64_t size) {
  if (gCounting) ++gAllocations;
  return qvallocator(size);
}
}  // namespace

// A fault handler removes the segment; nothing on that path may allocate (a
// fault inside the allocator would hang it there). The name is long enough
// that no string could keep it inline.
TEST_F(SharedMemoryTest, RemovingAMappedSegmentAllocatesNothing) {
  const QVString name = NewName() + "-with-a-name-longer-than-any-inline-string";
  QVPosixSharedMemorySegment segment(name, 4096);
  ASSERT_EQ(segment.create(), kSegmentMapped);
  ASSERT_EQ(access(SystemPath(name).c_str(), F_OK), 0);
  QVObject::SetAllocators(CountingAllocator, qvdeallocator);
  gAllocations = 0;
  gCounting = true;
  const int removed = segment.detachSegmentAndRemoveFromOS();
  gCounting = false;
  QVObject::InstallDefaultAllocators();
  EXPECT_EQ(removed, 0);
  EXPECT_EQ(gAllocations, 0);
  EXPECT_NE(access(SystemPath(name).c_str(), F_OK), 0);
}

TEST_F(SharedMemoryTest, SystemVSegmentWhenForced) {
  if (!SystemVAvailable()) GTEST_SKIP() << "no System V shared memory here";
  const QVString name = NewName();
  const uint64_t length = 8192;
  QVSYSVSharedMemorySegment segment(name, length);
  ASSERT_EQ(segment.create(), kSegmentMapped);
  EXPECT_EQ(segment.getShmName(), "/tmp/" + name);
  std::memcpy(segment.getBytes(), "from parent", 11);
  const int status = ChildSeesAndWrites<QVSYSVSharedMemorySegment>(name, length);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(std::memcmp(static_cast<char*>(segment.getBytes()) + 100, "from child", 10), 0);

  QVSYSVSharedMemorySegment again(name, length);
  EXPECT_EQ(again.create(), kSegmentExists);
  EXPECT_EQ(segment.detachSegmentAndRemoveFromOS(), 0);

  // Connecting to a missing segment makes it.
  const QVString fresh = NewName();
  QVSYSVSharedMemorySegment connector(fresh, 4096);
  EXPECT_EQ(connector.connect(), kSegmentMapped);
  EXPECT_EQ(connector.detachSegmentAndRemoveFromOS(), 0);
}

TEST_F(SharedMemoryTest, EqualityAssignmentAndPrint) {
  QVPosixSharedMemorySegment posix(NewName(), 128);
  QVSYSVSharedMemorySegment sysv;
  QVSharedMemorySegment& base = sysv;
  base = posix;  // copies name, address and length across kinds
  EXPECT_TRUE(posix == sysv);
  EXPECT_FALSE(posix != sysv);
  EXPECT_EQ(sysv.getHandle(), -1);

  QVSharedMemorySegment plain("seg", 10);
  std::ostringstream out;
  out << plain;
  EXPECT_EQ(out.str(), "<QVSharedMemorySegment name=\"seg\" bytes=\"0\" length=\"10\">"
                       "</QVSharedMemorySegment>");
  EXPECT_EQ(plain.create(), kSegmentFailed);
  EXPECT_EQ(plain.connect(), kSegmentFailed);

  QVPosixSharedMemorySegment named("seg");
  std::ostringstream posixOut;
  posixOut << named;
  EXPECT_EQ(posixOut.str(),
            "<QVPosixSharedMemorySegment name=\"seg\" shmName=\"/tmp/seg\" bytes=\"0\" "
            "length=\"0\" handle=\"-1\"></QVPosixSharedMemorySegment>");
}
