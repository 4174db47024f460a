#include "utilities/qvfilehandle.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <functional>
#include <limits>
#include <sstream>
#include <string>
#include <thread>

#include "support/qvtest.h"
#include "utilities/qvexception.h"
#include "utilities/qvfiletest.h"

using Quorvane::QVData;
using Quorvane::QVException;
using Quorvane::qvexceptiontype;
using Quorvane::QVFileHandle;
using Quorvane::QVString;

namespace {

using qvfiletest::ModeOf;
using qvfiletest::Q;
using qvfiletest::ReadWithStream;
using qvfiletest::Umask022;
using qvfiletest::WriteWithStream;

std::string Text(const Quorvane::QVSmartPointer<QVData>& d) {
  const auto* p = static_cast<const char*>(d->bytes());
  return p == nullptr ? std::string() : std::string(p, d->length());
}

}  // namespace

// Files the handle makes get 0666 whatever the umask; writing empties.
TEST(FileHandle, WritingCreatesWithMode0666AndTruncates) {
  qvtest::TempDir dir;
  Umask022 mask;
  const std::string path = dir.file("w");
  WriteWithStream(path + "-old", "old old old");
  for (const std::string& p : {path, path + "-old"}) {
    auto h = QVFileHandle::fileHandleForWritingAtPath(Q(p));
    QVData d("new", 3);
    d.appendBytes(" text", 5);
    h->writeData(d);
  }  // closed with the last reference
  EXPECT_EQ(ModeOf(path), 0666u);
  EXPECT_EQ(ReadWithStream(path), "new text");
  EXPECT_EQ(ReadWithStream(path + "-old"), "new text");
  EXPECT_EQ(umask(022), 022u) << "the umask is put back";
}

// Reading and writing keeps what an existing file holds; a new one is 0666.
TEST(FileHandle, ReadingAndWritingKeepsContents) {
  qvtest::TempDir dir;
  Umask022 mask;
  const std::string existing = dir.file("rw");
  WriteWithStream(existing, "0123456789");
  {
    auto h = QVFileHandle::fileHandleForReadingAndWritingAtPath(Q(existing));
    EXPECT_EQ(Text(h->readDataOfLength(4)), "0123");
    EXPECT_EQ(h->offsetInFile(), 4);
    h->seekToFileOffset(2);
    h->writeData(QVData("ab", 2));
    h->seekToEndOfFile();
    EXPECT_EQ(h->offsetInFile(), 10);
    h->writeData(QVData("Z", 1));
    h->truncateFileAtOffset(6);
  }
  EXPECT_EQ(ReadWithStream(existing), "01ab45");
  const std::string fresh = dir.file("fresh");
  {
    auto h = QVFileHandle::fileHandleForReadingAndWritingAtPath(Q(fresh));
    h->writeData(QVData("hello", 5));
    h->seekToFileOffset(0);
    EXPECT_EQ(Text(h->readToEndOfFile()), "hello");
  }
  EXPECT_EQ(ModeOf(fresh), 0666u);
}

TEST(FileHandle, ReadToEndOfFile) {
  qvtest::TempDir dir;
  WriteWithStream(dir.file("empty"), "");
  EXPECT_EQ(QVFileHandle::fileHandleForReadingAtPath(Q(dir.file("empty")))->readToEndOfFile()->length(),
            0u);
  std::string big(5000, 'q');
  big[4999] = '!';
  WriteWithStream(dir.file("big"), big);
  auto h = QVFileHandle::fileHandleForReadingAtPath(Q(dir.file("big")));
  EXPECT_EQ(Text(h->readDataOfLength(10)), big.substr(0, 10));
  EXPECT_EQ(Text(h->readToEndOfFile()), big.substr(10));
  EXPECT_EQ(h->readDataOfLength(10)->length(), 0u) << "at the end nothing is read, no error";
}

// The length asked for is an upper bound, not a size to allocate: a huge one
// gives what the file holds, across more than one internal step.
TEST(FileHandle, ReadDataOfLengthBeyondTheFile) {
  qvtest::TempDir dir;
  std::string contents((1 << 20) + 3, 'a');
  contents.back() = 'z';
  WriteWithStream(dir.file("f"), contents);
  auto h = QVFileHandle::fileHandleForReadingAtPath(Q(dir.file("f")));
  EXPECT_EQ(Text(h->readDataOfLength(5)), "aaaaa");
  EXPECT_EQ(Text(h->readDataOfLength(std::numeric_limits<unsigned long>::max() / 2)),
            contents.substr(5));
  EXPECT_EQ(h->readDataOfLength(std::numeric_limits<unsigned long>::max())->length(), 0u);
}

TEST(FileHandle, OpenFailures) {
  qvtest::TempDir dir;
  struct Case {
    std::function<void()> call;
    qvexceptiontype type;
    const char* what;
  } cases[] = {
      {[&] { QVFileHandle::fileHandleForReadingAtPath(Q(dir.file("missing"))); },
       qvexceptiontype::systemCallFailed, "Fopen error when opening for reading."},
      {[&] { QVFileHandle::fileHandleForWritingAtPath(Q(dir.file("no/dir"))); },
       qvexceptiontype::systemCallFailed, "Fopen error when opening for writing."},
      {[&] { QVFileHandle::fileHandleForReadingAndWritingAtPath(Q(dir.file("no/dir"))); },
       qvexceptiontype::systemCallFailed, "Fopen error when opening file for reading/writing."},
      {[&] { QVFileHandle::initWithFileDescriptor(-1, Quorvane::QVFileHandleReading); },
       qvexceptiontype::systemCallFailed,
       "Fdopen error when opening access to the provided descriptor."},
  };
  for (auto& c : cases) {
    try {
      c.call();
      ADD_FAILURE() << c.what;
    } catch (const QVException& e) {
      EXPECT_EQ(e.getType(), c.type);
      EXPECT_EQ(e.getWhat(), c.what);
      EXPECT_EQ(e.getFile(), "utilities/qvfilehandle");
      EXPECT_NE(e.getCode(), 0);
    }
  }
  auto unchecked =
      QVFileHandle::initWithFileDescriptorAndCloseOnRelease(-1, Quorvane::QVFileHandleReading);
  EXPECT_EQ(unchecked->fileDescriptor(), -1);
}

// A handle without a stream (its fdopen failed, or it was closed) fails each
// operation as the stream call would on a bad descriptor, instead of handing
// the C library a null stream.
TEST(FileHandle, OperationsWithoutAStreamFail) {
  qvtest::TempDir dir;
  WriteWithStream(dir.file("f"), "abc");
  auto closed = QVFileHandle::fileHandleForReadingAndWritingAtPath(Q(dir.file("f")));
  closed->closeFile();
  auto unchecked =
      QVFileHandle::initWithFileDescriptorAndCloseOnRelease(-1, Quorvane::QVFileHandleReading);
  for (auto* h : {closed.get(), unchecked.get()}) {
    const struct {
      std::function<void()> call;
      const char* what;
    } cases[] = {
        {[&] { h->readAvailableData(); }, "Fread error."},
        {[&] { h->readToEndOfFile(); }, "Fread error."},
        {[&] { h->readDataOfLength(4); }, "Fread error."},
        {[&] { h->writeData(QVData("x", 1)); }, "Fwrite error."},
        {[&] { h->seekToEndOfFile(); }, "Fseek error."},
        {[&] { h->seekToFileOffset(1); }, "Fseek error."},
        {[&] { h->truncateFileAtOffset(0); }, "Ftruncate error"},
    };
    for (const auto& c : cases) {
      try {
        c.call();
        ADD_FAILURE() << c.what;
      } catch (const QVException& e) {
        EXPECT_EQ(e.getType(), qvexceptiontype::systemCallFailed) << c.what;
        EXPECT_EQ(e.getWhat(), c.what);
        EXPECT_EQ(e.getCode(), EBADF) << c.what;
      }
    }
    EXPECT_EQ(h->offsetInFile(), -1);
    h->closeFile();
  }
  EXPECT_EQ(ReadWithStream(dir.file("f")), "abc");
}

// Permission refusals are type 23: checked as an unprivileged user in a child.
TEST(FileHandle, PermissionRefusalIsType23) {
  qvtest::TempDir dir;
  const std::string path = dir.file("private");
  WriteWithStream(path, "secret");
  chmod(path.c_str(), 0600);
  chmod(dir.path().c_str(), 0777);
  int status = qvtest::RunInChild([&]() -> int {
    if (getuid() == 0 && setuid(65534) != 0) return 10;
    int result = 0;
    const std::function<void()> calls[] = {
        [&] { QVFileHandle::fileHandleForReadingAtPath(Q(path)); },
        [&] { QVFileHandle::fileHandleForWritingAtPath(Q(path)); },
        [&] { QVFileHandle::fileHandleForReadingAndWritingAtPath(Q(path)); },
    };
    for (int i = 0; i < 3; ++i) {
      try {
        calls[i]();
        result |= 1 << i;
      } catch (const QVException& e) {
        if (e.getType() != qvexceptiontype::permissionDenied || e.getCode() != EACCES) {
          result |= 1 << (i + 3);
        }
      }
    }
    return result;
  });
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// Available data is everything buffered or in the pipe now, without waiting
// for the writer to close or to fill a fixed-size read.
TEST(FileHandle, ReadAvailableDataFromAPipe) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  auto reader = QVFileHandle::initWithFileDescriptorAndCloseOnRelease(fds[0], Quorvane::QVFileHandleReading);
  std::string first(2048 + 17, 'x');
  first[0] = 'A';
  ASSERT_EQ(write(fds[1], first.data(), first.size()), static_cast<ssize_t>(first.size()));
  EXPECT_EQ(Text(reader->readAvailableData()), first);
  // A second call waits for the next write.
  std::thread writer([&] { EXPECT_EQ(write(fds[1], "later", 5), 5); });
  EXPECT_EQ(Text(reader->readAvailableData()), "later");
  writer.join();
  close(fds[1]);
  EXPECT_EQ(reader->readAvailableData()->length(), 0u) << "end of file";
  EXPECT_EQ(fcntl(fds[0], F_GETFL) & O_NONBLOCK, 0) << "the descriptor's flags are put back";
}

TEST(FileHandle, CopiesNeverCloseTheStream) {
  qvtest::TempDir dir;
  WriteWithStream(dir.file("f"), "abc");
  auto h = QVFileHandle::fileHandleForReadingAtPath(Q(dir.file("f")));
  {
    QVFileHandle copy(*h);
    EXPECT_EQ(copy, *h);
    QVFileHandle assigned;
    assigned = *h;
  }  // the copies go without closing the stream
  EXPECT_EQ(Text(h->readToEndOfFile()), "abc");
  std::ostringstream os;
  os << *h;
  EXPECT_NE(os.str().find("<closeOnDestroy>1</closeOnDestroy><type>1</type></QVFileHandle>"),
            std::string::npos);
  h->closeFile();
  EXPECT_EQ(h->fileDescriptor(), -1);
}

TEST(FileHandle, StandardStreamsAndNullDevice) {
  auto in = QVFileHandle::fileHandleForStandardInput();
  EXPECT_EQ(in->fileDescriptor(), 0);
  EXPECT_EQ(QVFileHandle::fileHandleForStandardOutput()->fileDescriptor(), 1);
  EXPECT_EQ(QVFileHandle::fileHandleForStandardError()->fileDescriptor(), 2);
  auto null = QVFileHandle::fileHandleForNullDevice();
  null->writeData(QVData("gone", 4));
  EXPECT_EQ(null->readToEndOfFile()->length(), 0u);
}
