#include "utilities/qvsharedmemorysegment.h"

#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "utilities/platform/qvsharedmemoryname.h"
#include "utilities/qvrandomstring.h"
#include "utilities/qvsyncobject.h"
#include "utilities/qvthreads.h"

namespace Quorvane {

namespace {
constexpr int kKeyProject = 8;
constexpr mode_t kSegmentMode = 0644;

// Keeps the errno of the first failing step of a multi-step teardown.
class FirstFailure {
 public:
  void Step(int result) {
    if (result != 0 && !failed_) {
      failed_ = true;
      error_ = errno;
    }
  }
  int Result() const {
    if (!failed_) return 0;
    errno = error_;
    return -1;
  }

 private:
  bool failed_ = false;
  int error_ = 0;
};

int OpenShared(const QVString& shmName, int flags) {
  const QVString systemName = platform::PosixSharedMemoryName(shmName);
  int fd;
  do {
    fd = shm_open(systemName.c_str(), flags, kSegmentMode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

int UnlinkShared(const QVString& shmName) {
  return shm_unlink(platform::PosixSharedMemoryName(shmName).c_str());
}

void* MapShared(int fd, uint64_t length) {
  void* address;
  do {
    address = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  } while (address == MAP_FAILED && errno == EINTR);
  return address == MAP_FAILED ? nullptr : address;
}

uint64_t RoundUpToPage(uint64_t length) {
  const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  return (length + page - 1) / page * page;
}

void CloseKeepingErrno(int fd) {
  const int error = errno;
  close(fd);
  errno = error;
}

QVSmartPointer<QVSharedMemorySegment> Wrap(QVSharedMemorySegment* segment) {
  return QVSmartPointer<QVSharedMemorySegment>(segment,
                                               CreateUnnamedMutexHandle(QVInProcessMutex));
}
}  // namespace

// ---- the plain class ----

QVSharedMemorySegment& QVSharedMemorySegment::operator=(const QVSharedMemorySegment& other) {
  if (this != &other) {
    name = other.name;
    shmName = other.shmName;
    bytes = other.bytes;
    length = other.length;
  }
  return *this;
}

bool QVSharedMemorySegment::operator==(const QVSharedMemorySegment& other) const {
  return this == &other || (name == other.name && bytes == other.bytes && length == other.length);
}

void QVSharedMemorySegment::PrintAttributes(std::ostream& os) const {
  if (!name.empty()) os << " name=\"" << name << '"';
  if (!shmName.empty()) os << " shmName=\"" << shmName << '"';
  os << " bytes=\"" << bytes << "\" length=\"" << length << '"';
}

void QVSharedMemorySegment::print(std::ostream& os) const {
  os << "<QVSharedMemorySegment";
  PrintAttributes(os);
  os << "></QVSharedMemorySegment>";
}

std::ostream& operator<<(std::ostream& os, const QVSharedMemorySegment& segment) {
  segment.print(os);
  return os;
}

int QVSharedMemorySegment::determineSharedMemoryType() {
  const QVString probeName = makeIPCName(*QVRandomString(6).string());
  const int fd = OpenShared(probeName, O_RDWR | O_CREAT | O_EXCL);
  if (fd >= 0) {
    if (ftruncate(fd, 100) == 0) {
      void* address = MapShared(fd, 100);
      if (address != nullptr) munmap(address, 100);
    }
    UnlinkShared(probeName);
    close(fd);
    return kPosixSharedMemory;
  }
  if (errno == EEXIST) return kPosixSharedMemory;  // someone else's: leave it alone
  if (errno == ENOSYS) {
    const int id = shmget(IPC_PRIVATE, 1024, IPC_CREAT | kSegmentMode);
    if (id < 0) return kNoSharedMemory;
    shmctl(id, IPC_RMID, nullptr);
    return kSystemVSharedMemory;
  }
  return kNoSharedMemory;
}

QVSmartPointer<QVSharedMemorySegment> QVSharedMemorySegment::initWithNameAndSize(
    const QVString& segmentName, uint64_t size) {
  switch (determineSharedMemoryType()) {
    case kSystemVSharedMemory:
      return Wrap(new QVSYSVSharedMemorySegment(segmentName, size));
    case kPosixSharedMemory:
      return Wrap(new QVPosixSharedMemorySegment(segmentName, size));
    default:
      return Wrap(new QVSharedMemorySegment(segmentName, size));
  }
}

QVSmartPointer<QVSharedMemorySegment> QVSharedMemorySegment::initWithName(
    const QVString& segmentName) {
  switch (determineSharedMemoryType()) {
    case kSystemVSharedMemory:
      return Wrap(new QVSYSVSharedMemorySegment(segmentName));
    case kPosixSharedMemory:
      return Wrap(new QVPosixSharedMemorySegment(segmentName));
    default:
      return Wrap(new QVSharedMemorySegment(segmentName));
  }
}

// ---- POSIX shared memory ----

QVPosixSharedMemorySegment::QVPosixSharedMemorySegment(const QVString& segmentName)
    : QVSharedMemorySegment(segmentName) {
  NameFrom(makeIPCName(segmentName));
}

QVPosixSharedMemorySegment& QVPosixSharedMemorySegment::operator=(const QVSharedMemorySegment& other) {
  QVSharedMemorySegment::operator=(other);
  NameFrom(shmName);
  return *this;
}

// The system's name is made here, once, so that removing the segment (also
// from a fault handler) allocates nothing.
void QVPosixSharedMemorySegment::NameFrom(const QVString& ipcName) {
  shmName = ipcName;
  systemName = platform::PosixSharedMemoryName(ipcName);
}

int QVPosixSharedMemorySegment::create() {
  NameFrom(makeIPCName(name));
  const int fd = OpenShared(shmName, O_RDWR | O_CREAT | O_EXCL);
  if (fd < 0) return errno == EEXIST ? kSegmentExists : kSegmentFailed;
  if (ftruncate(fd, static_cast<off_t>(RoundUpToPage(length))) != 0) {
    UnlinkShared(shmName);
    CloseKeepingErrno(fd);
    return kSegmentFailed;
  }
  void* address = MapShared(fd, length);
  if (address == nullptr) {
    UnlinkShared(shmName);
    CloseKeepingErrno(fd);
    return kSegmentFailed;
  }
  handle = fd;
  bytes = address;
  return kSegmentMapped;
}

int QVPosixSharedMemorySegment::connect() {
  NameFrom(makeIPCName(name));
  const int fd = OpenShared(shmName, O_RDWR);
  if (fd < 0) {
    if (errno == EACCES) return kSegmentAccessDenied;
    if (errno == ENOENT) return kSegmentMissing;
    return kSegmentFailed;
  }
  // A segment shorter than our length (its creator has not sized it yet, or a
  // stale one) would fault on the first touch past its end.
  struct stat st = {};
  if (fstat(fd, &st) != 0 || static_cast<uint64_t>(st.st_size) < length) {
    CloseKeepingErrno(fd);
    return kSegmentFailed;
  }
  void* address = MapShared(fd, length);
  if (address == nullptr) {
    CloseKeepingErrno(fd);
    return kSegmentFailed;
  }
  handle = fd;
  bytes = address;
  return kSegmentMapped;
}

int QVPosixSharedMemorySegment::detachSegmentAndRemoveFromOS() {
  FirstFailure result;
  if (bytes != nullptr) {
    result.Step(munmap(bytes, length));
    bytes = nullptr;
  }
  result.Step(shm_unlink(systemName.c_str()));
  if (handle >= 0) {
    result.Step(close(handle));
    handle = -1;
  }
  return result.Result();
}

int QVPosixSharedMemorySegment::detachSegment() {
  FirstFailure result;
  if (bytes != nullptr) {
    result.Step(munmap(bytes, length));
    bytes = nullptr;
  }
  if (handle >= 0) {
    result.Step(close(handle));
    handle = -1;
  }
  return result.Result();
}

int QVPosixSharedMemorySegment::removeFromOS() {
  FirstFailure result;
  result.Step(shm_unlink(systemName.c_str()));
  return result.Result();
}

void QVPosixSharedMemorySegment::print(std::ostream& os) const {
  os << "<QVPosixSharedMemorySegment";
  PrintAttributes(os);
  os << " handle=\"" << handle << "\"></QVPosixSharedMemorySegment>";
}

// ---- System V shared memory ----

QVSYSVSharedMemorySegment::QVSYSVSharedMemorySegment(const QVString& segmentName)
    : QVSharedMemorySegment(segmentName) {
  shmName = makeIPCName(segmentName);
}

// Key file and key; false (with errno) when either cannot be made.
int QVSYSVSharedMemorySegment::MakeKey() {
  shmName = makeIPCName(name);
  const int fd = open(shmName.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, kSegmentMode);
  if (fd < 0) return -1;
  close(fd);
  shmKey = ftok(shmName.c_str(), kKeyProject);
  return shmKey < 0 ? -1 : 0;
}

int QVSYSVSharedMemorySegment::Attach() {
  void* address;
  do {
    address = shmat(handle, nullptr, 0);
  } while (address == reinterpret_cast<void*>(-1) && errno == EINTR);
  if (address == reinterpret_cast<void*>(-1)) {
    const int error = errno;
    shmctl(handle, IPC_RMID, nullptr);
    errno = error;
    return kSegmentFailed;
  }
  bytes = address;
  return kSegmentMapped;
}

int QVSYSVSharedMemorySegment::create() {
  if (MakeKey() != 0) return kSegmentFailed;
  handle = shmget(shmKey, length, IPC_CREAT | IPC_EXCL | kSegmentMode);
  if (handle < 0) return errno == EEXIST ? kSegmentExists : kSegmentFailed;
  return Attach();
}

int QVSYSVSharedMemorySegment::connect() {
  if (MakeKey() != 0) return kSegmentFailed;
  do {
    handle = shmget(shmKey, length, IPC_CREAT | kSegmentMode);
  } while (handle < 0 && errno == EINTR);
  if (handle < 0) return kSegmentFailed;
  return Attach();
}

int QVSYSVSharedMemorySegment::detachSegmentAndRemoveFromOS() {
  FirstFailure result;
  result.Step(unlink(shmName.c_str()));
  if (bytes != nullptr) {
    result.Step(shmdt(bytes));
    bytes = nullptr;
  }
  result.Step(shmctl(handle, IPC_RMID, nullptr));
  return result.Result();
}

int QVSYSVSharedMemorySegment::detachSegment() {
  FirstFailure result;
  if (bytes != nullptr) {
    result.Step(shmdt(bytes));
    bytes = nullptr;
  }
  return result.Result();
}

int QVSYSVSharedMemorySegment::removeFromOS() {
  FirstFailure result;
  result.Step(unlink(shmName.c_str()));
  return result.Result();
}

void QVSYSVSharedMemorySegment::print(std::ostream& os) const {
  os << "<QVSYSVSharedMemorySegment";
  PrintAttributes(os);
  os << " shmKey=\"" << shmKey << "\" handle=\"" << handle << "\"></QVSYSVSharedMemorySegment>";
}

}  // namespace Quorvane
