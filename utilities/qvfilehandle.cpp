#include "utilities/qvfilehandle.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <vector>

#include "utilities/qvexception.h"
#include "utilities/qvpollset.h"

namespace Quorvane {

namespace {
constexpr char kSourceFile[] = "utilities/qvfilehandle";
constexpr size_t kReadStep = 1024;
constexpr size_t kLengthStep = 1 << 20;

[[noreturn]] void Fail(const char* message, unsigned int line, qvexceptiontype type, int code) {
  throw QVException(message, kSourceFile, line, type, code);
}

const char* ModeWord(_qvfilehandletype kind) {
  switch (kind) {
    case QVFileHandleReading:
      return "r";
    case QVFileHandleWriting:
      return "w";
    default:
      return "w+";
  }
}

// Opens under a umask of 0 so that a new file gets 0666; the old umask is put
// back at once.
FILE* OpenUnderZeroUmask(const QVString& path, bool truncate) {
  mode_t old = umask(0);
  FILE* stream = nullptr;
  if (truncate) {
    stream = fopen(path.c_str(), "we");
  } else {
    int fd;
    do {
      fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) {
      stream = fdopen(fd, "r+");
      if (stream == nullptr) {
        int saved = errno;
        ::close(fd);
        errno = saved;
      }
    }
  }
  int saved = errno;
  umask(old);
  errno = saved;
  return stream;
}

// A handle whose fdopen failed, or that has been closed, has no stream: its
// operations fail as the stream calls do on a bad descriptor rather than hand
// the C library a null stream.
void RequireStream(FILE* stream, const char* message, unsigned int line) {
  if (stream == nullptr) Fail(message, line, qvexceptiontype::systemCallFailed, EBADF);
}

QVSmartPointer<QVFileHandle> Wrap(FILE* stream, bool closeOnDestroy, _qvfilehandletype kind) {
  // Until the smart pointer owns the handle, a failure closes the stream.
  std::unique_ptr<QVFileHandle> handle(new QVFileHandle(stream, closeOnDestroy, kind));
  QVSmartPointer<QVFileHandle> pointer(handle.get());
  handle.release();
  return pointer;
}
}  // namespace

QVFileHandle::QVFileHandle(const QVFileHandle& other)
    : QVObject(), theHandle(other.theHandle), closeOnDestroy(false), type(other.type) {}

QVFileHandle& QVFileHandle::operator=(const QVFileHandle& other) {
  if (this == &other) return *this;
  if (closeOnDestroy && theHandle != nullptr && theHandle != other.theHandle) fclose(theHandle);
  theHandle = other.theHandle;
  closeOnDestroy = false;
  type = other.type;
  return *this;
}

QVFileHandle::~QVFileHandle() {
  if (closeOnDestroy && theHandle != nullptr) fclose(theHandle);
}

QVSmartPointer<QVFileHandle> QVFileHandle::fileHandleForReadingAtPath(const QVString& path) {
  FILE* stream = fopen(path.c_str(), "re");
  if (stream == nullptr) {
    int err = errno;
    if (err == EACCES) {
      Fail("Permission error opening file for reading.", __LINE__,
           qvexceptiontype::permissionDenied, err);
    }
    Fail("Fopen error when opening for reading.", __LINE__, qvexceptiontype::systemCallFailed,
         err);
  }
  return Wrap(stream, true, QVFileHandleReading);
}

QVSmartPointer<QVFileHandle> QVFileHandle::fileHandleForWritingAtPath(const QVString& path) {
  FILE* stream = OpenUnderZeroUmask(path, true);
  if (stream == nullptr) {
    int err = errno;
    if (err == EACCES) {
      Fail("Permission error opening file for writing.", __LINE__,
           qvexceptiontype::permissionDenied, err);
    }
    Fail("Fopen error when opening for writing.", __LINE__, qvexceptiontype::systemCallFailed,
         err);
  }
  return Wrap(stream, true, QVFileHandleWriting);
}

QVSmartPointer<QVFileHandle> QVFileHandle::fileHandleForReadingAndWritingAtPath(
    const QVString& path) {
  FILE* stream = OpenUnderZeroUmask(path, false);
  if (stream == nullptr) {
    int err = errno;
    if (err == EACCES) {
      Fail("Permission error opening file for reading/writing.", __LINE__,
           qvexceptiontype::permissionDenied, err);
    }
    Fail("Fopen error when opening file for reading/writing.", __LINE__,
         qvexceptiontype::systemCallFailed, err);
  }
  return Wrap(stream, true, QVFileHandleReadingAndWriting);
}

QVSmartPointer<QVFileHandle> QVFileHandle::fileHandleForStandardInput() {
  return Wrap(stdin, false, QVFileHandleReading);
}

QVSmartPointer<QVFileHandle> QVFileHandle::fileHandleForStandardOutput() {
  return Wrap(stdout, false, QVFileHandleWriting);
}

QVSmartPointer<QVFileHandle> QVFileHandle::fileHandleForStandardError() {
  return Wrap(stderr, false, QVFileHandleWriting);
}

QVSmartPointer<QVFileHandle> QVFileHandle::fileHandleForNullDevice() {
  FILE* stream = fopen("/dev/null", "w+e");
  if (stream == nullptr) {
    int err = errno;
    if (err == EACCES) {
      Fail("Permissions error when opening /dev/null for writing.", __LINE__,
           qvexceptiontype::permissionDenied, err);
    }
    Fail("Fopen error when opening /dev/null for writing.", __LINE__,
         qvexceptiontype::systemCallFailed, err);
  }
  return Wrap(stream, true, QVFileHandleReadingAndWriting);
}

QVSmartPointer<QVFileHandle> QVFileHandle::initWithFileDescriptor(int fd, _qvfilehandletype kind) {
  FILE* stream = fdopen(fd, ModeWord(kind));
  if (stream == nullptr) {
    int err = errno;
    if (err == EACCES) {
      Fail("Permission error when opening access to the provided descriptor.", __LINE__,
           qvexceptiontype::permissionDenied, err);
    }
    Fail("Fdopen error when opening access to the provided descriptor.", __LINE__,
         qvexceptiontype::systemCallFailed, err);
  }
  return Wrap(stream, false, kind);
}

QVSmartPointer<QVFileHandle> QVFileHandle::initWithFileDescriptorAndCloseOnRelease(
    int fd, _qvfilehandletype kind) {
  return Wrap(fdopen(fd, ModeWord(kind)), true, kind);
}

namespace {
// Makes the descriptor non-blocking for the life of the object; the old flags
// are put back afterwards.
class NonBlockingWhile {
 public:
  explicit NonBlockingWhile(int fd) : fd_(fd), flags_(fd >= 0 ? fcntl(fd, F_GETFL) : -1) {
    if (flags_ >= 0 && (flags_ & O_NONBLOCK) == 0) fcntl(fd_, F_SETFL, flags_ | O_NONBLOCK);
  }
  ~NonBlockingWhile() {
    if (flags_ >= 0 && (flags_ & O_NONBLOCK) == 0) fcntl(fd_, F_SETFL, flags_);
  }
  NonBlockingWhile(const NonBlockingWhile&) = delete;
  NonBlockingWhile& operator=(const NonBlockingWhile&) = delete;

 private:
  int fd_;
  int flags_;
};
}  // namespace

// Waits until something can be read, then takes everything that can be had
// without waiting again: the stream's own buffer and what the descriptor
// holds. Reads are non-blocking, because a buffered read of a fixed size
// would otherwise wait for that many bytes (or the end) on a pipe.
QVSmartPointer<QVData> QVFileHandle::readAvailableData() {
  RequireStream(theHandle, "Fread error.", __LINE__);
  QVSmartPointer<QVData> data = QVData::init();
  const int fd = fileDescriptor();
  NonBlockingWhile nonBlocking(fd);
  QVPollSet set;
  char buffer[kReadStep];
  while (true) {
    size_t got = fread(buffer, 1, sizeof buffer, theHandle);
    if (got > 0) data->appendBytes(buffer, got);
    if (got == sizeof buffer) continue;
    if (feof(theHandle)) break;
    if (!ferror(theHandle)) break;
    int err = errno;
    if (err != EAGAIN && err != EWOULDBLOCK && err != EINTR) {
      Fail("Fread error.", __LINE__, qvexceptiontype::systemCallFailed, err);
    }
    clearerr(theHandle);
    if (data->length() > 0) break;
    // Nothing yet: wait for the descriptor. Marks of a poll set are
    // cumulative, so the set is made afresh for each wait.
    set.Clear();
    set.Add(fd, 0);
    set.ReadyQ(-1);
  }
  return data;
}

QVSmartPointer<QVData> QVFileHandle::readToEndOfFile() {
  RequireStream(theHandle, "Fread error.", __LINE__);
  QVSmartPointer<QVData> data = QVData::init();
  char buffer[kReadStep];
  while (true) {
    size_t got = fread(buffer, 1, sizeof buffer, theHandle);
    if (got > 0) data->appendBytes(buffer, got);
    if (got < sizeof buffer) {
      if (ferror(theHandle)) {
        Fail("Fread error.", __LINE__, qvexceptiontype::systemCallFailed, errno);
      }
      if (feof(theHandle)) break;
    }
  }
  return data;
}

// The block grows with what is actually read: a length far beyond what the
// stream holds (a size taken from outside, say) must not be allocated up front.
QVSmartPointer<QVData> QVFileHandle::readDataOfLength(unsigned long n) {
  RequireStream(theHandle, "Fread error.", __LINE__);
  std::vector<char, QVStdAllocator<char>> block;
  size_t got = 0;
  while (got < n) {
    const size_t step = std::min<unsigned long>(n - got, kLengthStep);
    block.resize(got + step);
    const size_t took = fread(block.data() + got, 1, step, theHandle);
    got += took;
    if (took < step) break;  // end of file or an error: fread gives all it can
  }
  if (got == 0 && n > 0 && ferror(theHandle)) {
    Fail("Fread error.", __LINE__, qvexceptiontype::systemCallFailed, errno);
  }
  return QVData::initWithBytesAndLength(block.data(), got);
}

void QVFileHandle::writeData(const QVData& data) {
  const void* bytes = data.bytes();
  const size_t n = data.length();
  if (n == 0) return;
  RequireStream(theHandle, "Fwrite error.", __LINE__);
  if (fwrite(bytes, 1, n, theHandle) < n) {
    Fail("Fwrite error.", __LINE__, qvexceptiontype::systemCallFailed, errno);
  }
}

void QVFileHandle::writeData(const QVSmartPointer<QVData>& data) {
  if (data) writeData(*data);
}

int64_t QVFileHandle::offsetInFile() const {
  return theHandle != nullptr ? ftello(theHandle) : -1;
}

void QVFileHandle::seekToEndOfFile() {
  RequireStream(theHandle, "Fseek error.", __LINE__);
  if (fseeko(theHandle, 0, SEEK_END) != 0) {
    Fail("Fseek error.", __LINE__, qvexceptiontype::systemCallFailed, errno);
  }
}

void QVFileHandle::seekToFileOffset(uint64_t offset) {
  RequireStream(theHandle, "Fseek error.", __LINE__);
  if (fseeko(theHandle, static_cast<off_t>(offset), SEEK_SET) != 0) {
    Fail("Fseek error.", __LINE__, qvexceptiontype::systemCallFailed, errno);
  }
}

void QVFileHandle::truncateFileAtOffset(uint64_t offset) {
  RequireStream(theHandle, "Ftruncate error", __LINE__);
  // Buffered bytes go out first so that they cannot land past the new end.
  fflush(theHandle);
  if (ftruncate(fileno(theHandle), static_cast<off_t>(offset)) != 0) {
    Fail("Ftruncate error", __LINE__, qvexceptiontype::systemCallFailed, errno);
  }
}

void QVFileHandle::closeFile() {
  if (theHandle == nullptr) return;
  fclose(theHandle);
  theHandle = nullptr;  // the destructor must not close it again
}

int QVFileHandle::fileDescriptor() const { return theHandle != nullptr ? fileno(theHandle) : -1; }

void QVFileHandle::print(std::ostream& os) const {
  os << "<QVFileHandle><theHandle>" << static_cast<const void*>(theHandle)
     << "</theHandle><closeOnDestroy>" << (closeOnDestroy ? 1 : 0) << "</closeOnDestroy><type>"
     << static_cast<int>(type) << "</type></QVFileHandle>";
}

std::ostream& operator<<(std::ostream& os, const QVFileHandle& handle) {
  handle.print(os);
  return os;
}

}  // namespace Quorvane
