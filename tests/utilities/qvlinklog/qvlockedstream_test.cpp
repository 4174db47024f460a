// Locked log streams over real files in the test's private folder: what
// reaches the file when, the lock named by the base name, appending, refusals,
// and writers in two processes and several threads that never interleave
// inside one write.
#include "utilities/qvlinklog/qvlockedstream.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/qvtest.h"
#include "tests/utilities/qvtestprocesses.h"
#include "utilities/qvexception.h"
#include "utilities/qvfiletest.h"
#include "utilities/qvsyncobject.h"

using namespace Quorvane;
using qvfiletest::ReadWithStream;

namespace {

constexpr unsigned kAppendMode = 17;

QVSmartPointer<QVLockedStream> Open(const std::string& path, unsigned mode = kAppendMode) {
  return QVLockedStream::initFileStreamWithFileName(ToQVString(path), mode);
}

std::string LockFile(const std::string& name) {
  return ToStdString(getThreadSyncDir()) + "/" + name;
}

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

TEST(QVLockedStream, BaseNameIsTheLastComponent) {
  const struct {
    const char* path;
    const char* base;
  } cases[] = {{"x.log", "x.log"},
               {"/tmp/a/x.log", "x.log"},
               {"/var/b/x.log", "x.log"},
               {"a/b/", ""},
               {"/", ""},
               {"", ""}};
  for (const auto& c : cases) {
    EXPECT_EQ(ToStdString(QVLockedStream::basicFileName(c.path)), c.base) << c.path;
  }
}

// Only the string form flushes; numbers and characters wait for a flush.
TEST(QVLockedStream, StringWritesReachTheFileAtOnce) {
  qvtest::TempDir dir;
  const std::string path = dir.file("flush.log");
  auto stream = Open(path);
  QVLockedStream& s = *stream;
  s << QVString("abc");
  EXPECT_EQ(ReadWithStream(path), "abc");
  QVLockedStream& chained = s << 42 << 'c' << 2.5 << static_cast<unsigned char>('u') << "t";
  EXPECT_EQ(&chained, &s);
  EXPECT_EQ(ReadWithStream(path), "abc");
  s << std::flush;
  EXPECT_EQ(ReadWithStream(path), "abc42c2.5ut");
  s.writeToStream(7L);
  s.writeToStream(QVString("!"));
  EXPECT_EQ(ReadWithStream(path), "abc42c2.5ut7!");
  s << 9u;
  stream = {};  // closing writes the buffered tail
  EXPECT_EQ(ReadWithStream(path), "abc42c2.5ut7!9");
}

TEST(QVLockedStream, AppendModeCreatesAndAppends) {
  qvtest::TempDir dir;
  const std::string path = dir.file("append.log");
  ASSERT_FALSE(Exists(path));
  Open(path)->writeToStream(QVString("one\n"));
  Open(path)->writeToStream(QVString("two\n"));
  EXPECT_EQ(ReadWithStream(path), "one\ntwo\n");
  Open(path, 16 | 32)->writeToStream(QVString("fresh"));  // output and truncate
  EXPECT_EQ(ReadWithStream(path), "fresh");
}

// The lock is the named mutex of the base name: one lock file serves both
// folders, lives while either stream does, and excludes a writer of the
// other folder while someone holds it.
TEST(QVLockedStream, OneBaseNameInTwoFoldersSharesOneLock) {
  qvtest::TempDir a;
  qvtest::TempDir b;
  const std::string lock = LockFile("shared.log");
  auto first = Open(a.file("shared.log"));
  auto second = Open(b.file("shared.log"));
  auto other = Open(a.file("other.log"));
  ASSERT_TRUE(Exists(lock));
  EXPECT_TRUE(Exists(LockFile("other.log")));
  first = {};
  EXPECT_TRUE(Exists(lock)) << "the second stream still holds the shared lock";

  const int fd = open(lock.c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_EX), 0);
  std::thread writer([&] { second->writeToStream(QVString("late")); });
  // Held by us, the write cannot go through; a write of the other name can.
  other->writeToStream(QVString("free"));
  EXPECT_EQ(ReadWithStream(a.file("other.log")), "free");
  EXPECT_FALSE(qvtest::WaitUntil([&] { return ReadWithStream(b.file("shared.log")) == "late"; },
                                 std::chrono::milliseconds(300)));
  flock(fd, LOCK_UN);
  close(fd);
  writer.join();
  EXPECT_EQ(ReadWithStream(b.file("shared.log")), "late");
  second = {};
  EXPECT_FALSE(Exists(lock));
}

TEST(QVLockedStream, RefusesPathsWithoutAFileAndFilesThatCannotOpen) {
  qvtest::TempDir dir;
  for (const std::string& path :
       {dir.path() + "/", std::string(), dir.path() + "/..", std::string(".")}) {
    try {
      Open(path);
      ADD_FAILURE() << "accepted '" << path << "'";
    } catch (const QVException& error) {
      EXPECT_EQ(error.getType(), qvexceptiontype::badArgument);
    }
  }
  try {
    Open(dir.file("missing/x.log"));
    ADD_FAILURE() << "a file in a missing folder was accepted";
  } catch (const QVException& error) {
    EXPECT_EQ(error.getType(), qvexceptiontype::systemCallFailed);
    EXPECT_EQ(error.getCode(), ENOENT);
  }
  EXPECT_FALSE(Exists(LockFile("x.log"))) << "the refused stream's lock was left behind";
}

TEST(QVLockedStream, PrintsItsParts) {
  qvtest::TempDir dir;
  auto stream = Open(dir.file("print.log"));
  std::ostringstream out;
  out << *stream;
  const std::string text = out.str();
  EXPECT_EQ(text.rfind("<QVLockedStream><theLock><QVSmartPointer", 0), 0u) << text;
  EXPECT_NE(text.find("</QVSmartPointer></theLock><theStream>0x"), std::string::npos) << text;
  EXPECT_NE(text.find("</theStream><ownTheStream>1</ownTheStream></QVLockedStream>"),
            std::string::npos)
      << text;
}

// Records shorter than the stream's buffer are copied into it before they go
// out, so two threads writing through one stream tear them unless the write
// is locked within the process too (the file lock belongs to the open file
// and grants both).
constexpr size_t kRecordSize = 600;
constexpr int kRounds = 2000;

void WriteRecords(QVLockedStream& stream, char mark) {
  QVString record(kRecordSize, mark);
  record += '\n';
  for (int i = 0; i < kRounds; ++i) stream << record;
}

// Two writer threads; shared: both through one stream, else one stream each.
void WriteFromTwoThreads(const std::string& path, char first, char second, bool shared) {
  auto one = Open(path);
  auto two = shared ? one : Open(path);
  std::thread a([&] { WriteRecords(*one, first); });
  std::thread b([&] { WriteRecords(*two, second); });
  a.join();
  b.join();
}

TEST(QVLockedStream, TwoProcessesAndTwoThreadsNeverInterleaveInsideAWrite) {
  qvtest::TempDir dir;
  const std::string path = dir.file("many.log");
  int go[2];
  ASSERT_EQ(pipe(go), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(go[1]);
    char byte;
    int rc = read(go[0], &byte, 1) == 1 ? 0 : 3;
    try {
      if (rc == 0) WriteFromTwoThreads(path, 'c', 'd', false);
    } catch (...) {
      rc = 4;
    }
    _exit(rc);
  }
  qvtest::ChildKiller killer(child);
  close(go[0]);
  ASSERT_EQ(write(go[1], "g", 1), 1);
  close(go[1]);
  WriteFromTwoThreads(path, 'a', 'b', true);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  killer.release();
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

  std::istringstream lines(ReadWithStream(path));
  std::map<char, int> records;
  std::string line;
  while (std::getline(lines, line)) {
    ASSERT_EQ(line.size(), kRecordSize);
    ASSERT_EQ(line.find_first_not_of(line[0]), std::string::npos) << "a write was torn";
    ++records[line[0]];
  }
  EXPECT_EQ(records,
            (std::map<char, int>{{'a', kRounds}, {'b', kRounds}, {'c', kRounds}, {'d', kRounds}}));
}

}  // namespace
