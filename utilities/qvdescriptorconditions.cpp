#include "utilities/qvdescriptorconditions.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <vector>

#include "utilities/qvexception.h"
#include "utilities/qvsharedfileusage.h"
#include "utilities/qvsyncobjectrecording.h"

namespace Quorvane {

namespace {
constexpr char kSourceFile[] = "utilities/qvplatformthreads";
constexpr size_t kSignalReadSize = 256;

[[noreturn]] void ThrowErrno(const char* what, int line, int error) {
  throw QVException(what, kSourceFile, line, qvexceptiontype::systemCallFailed, error);
}

timespec MonotonicNow() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now;
}

long MicrosecondsUntil(const timespec& deadline) {
  const timespec now = MonotonicNow();
  const long long us = (static_cast<long long>(deadline.tv_sec) - now.tv_sec) * 1000000LL +
                       (deadline.tv_nsec - now.tv_nsec) / 1000;
  return us < 0 ? 0 : static_cast<long>(us);
}

timespec DeadlineAfter(long microseconds) {
  timespec deadline = MonotonicNow();
  deadline.tv_sec += microseconds / 1000000;
  deadline.tv_nsec += (microseconds % 1000000) * 1000;
  if (deadline.tv_nsec >= 1000000000) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000;
  }
  return deadline;
}

// Polls the descriptors for the given events until one is ready or the time-out
// (microseconds, -1 without limit) passes; an interrupted wait goes on with the
// time that is left. Returns the number of ready entries.
int PollFor(std::vector<pollfd>& entries, long microseconds) {
  const bool unlimited = microseconds == -1;
  const timespec deadline = DeadlineAfter(microseconds < 0 ? 0 : microseconds);
  while (true) {
    timespec left = {};
    if (!unlimited) {
      const long us = MicrosecondsUntil(deadline);
      left.tv_sec = us / 1000000;
      left.tv_nsec = (us % 1000000) * 1000;
    }
    const int n = ppoll(entries.data(), entries.size(), unlimited ? nullptr : &left, nullptr);
    if (n >= 0) return n;
    if (errno != EINTR) return 0;
  }
}

// Allocates nothing: conditions are signalled from signal handlers too. The
// write end does not block, so one call does it: a full pipe (EAGAIN) already
// holds pending signals.
void SignalDescriptor(int writeFd) {
  const char byte = '1';
  while (write(writeFd, &byte, 1) != 1) {
    if (errno == EINTR) continue;
    if (errno == EAGAIN) return;
    ThrowErrno("Write error.", __LINE__, errno);
  }
}

void SetNonBlocking(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
    ThrowErrno("Fcntl error.", __LINE__, errno);
  }
}

// One read of up to 256 bytes of a non-blocking descriptor; result ignored.
void ReadOnce(int fd) {
  char buffer[kSignalReadSize];
  ssize_t n;
  do {
    n = read(fd, buffer, sizeof buffer);
  } while (n < 0 && errno == EINTR);
}
}  // namespace

bool descriptor_readable(int fd, long microseconds) {
  std::vector<pollfd> entries{{fd, POLLIN, 0}};
  return PollFor(entries, microseconds) > 0 && entries[0].revents != 0;
}

namespace {
// Consumes up to 256 signal bytes of a non-blocking descriptor: 1 when it
// took some, 0 when none were pending (EAGAIN).
int TakeSignals(int fd) {
  char buffer[kSignalReadSize];
  while (true) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) return 1;
    if (n == 0) {
      throw QVException("File descriptor condition detected read of 0 during auto reset.",
                        kSourceFile, __LINE__, qvexceptiontype::conditionResetFailed, 0);
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    throw QVException("File descriptor condition detected unrecoverable error during auto reset.",
                      kSourceFile, __LINE__, qvexceptiontype::conditionResetFailed, 0);
  }
}
}  // namespace

bool wait_on_file_descriptor(int fd, long microseconds) {
  if (!descriptor_readable(fd, microseconds)) return false;
  // Another waiter may have taken the bytes after both of us were woken:
  // still a signal.
  TakeSignals(fd);
  return true;
}

namespace {
// The conditions' own read ends never block: a look without waiting is the
// read itself, with no poll before it.
bool WaitNonBlocking(int readFd, long microseconds) {
  if (microseconds == 0) return TakeSignals(readFd) == 1;
  return wait_on_file_descriptor(readFd, microseconds);
}
}  // namespace

// ---- FIFO condition ----

namespace {
// A FIFO made here that someone took for unused and removed before this use
// marked it is made again, this often at most.
constexpr int kMakeAttempts = 100;
}  // namespace

QVFifoCondition::QVFifoCondition(const QVString& conditionName, _qvsyncmode syncMode)
    : path(makeFIFOIPCName(conditionName)), name(conditionName), mode(syncMode) {
  for (int attempt = 0;; ++attempt) {
    if (mode == QVCREATE && mkfifo(path.c_str(), 0666) != 0) {
      // One that a maker who died left behind, and that no one uses, is no
      // one's: it goes, rather than wait for the clean-up to take it.
      const int error = errno;
      const bool taken = error == EEXIST && sharedfile::RemoveIfUnused(path, sharedfile::Kind::fifo, geteuid());
      if (!taken || mkfifo(path.c_str(), 0666) != 0) ThrowErrno("Mkfifo error.", __LINE__, taken ? errno : error);
    }
    // Set the mode directly instead of clearing the process-wide umask.
    if (mode == QVCREATE) chmod(path.c_str(), 0666);
    readFd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (readFd < 0) {
      // Made here and removed before it was marked: made again.
      if (mode == QVCREATE && errno == ENOENT && attempt + 1 < kMakeAttempts) continue;
      ThrowErrno("Open error.", __LINE__, errno);
    }
    // Marked in use for as long as this object lives: the clean-up of a dead
    // process that also used the name, or the last user of a FIFO whose
    // maker died, then leaves it alone.
    if (!sharedfile::MarkInUse(readFd)) {
      const int error = errno;
      close(readFd);
      ThrowErrno("Open error.", __LINE__, error);
    }
    if (sharedfile::NamesFileQ(readFd, path)) break;
    // Removed before the mark came: not this object's FIFO any more.
    close(readFd);
    if (mode != QVCREATE || attempt + 1 >= kMakeAttempts) ThrowErrno("Open error.", __LINE__, ENOENT);
  }
  // Does not block: this process already holds a reader.
  writeFd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (writeFd < 0) {
    const int error = errno;
    if (mode == QVCREATE) sharedfile::UnlinkOwnFile(readFd, path);
    close(readFd);
    ThrowErrno("Open error.", __LINE__, error);
  }
  RecordSyncObject(name, kSyncRecordFifoCondition);
  try {
    SetNonBlocking(readFd);
    SetNonBlocking(writeFd);
  } catch (...) {
    if (mode == QVCREATE) sharedfile::UnlinkOwnFile(readFd, path);
    close(readFd);
    close(writeFd);
    RecordSyncObjectRemoval(name, kSyncRecordFifoCondition);
    throw;
  }
}

// The maker removes its FIFO, whoever still holds it open, so the name is
// free at once; one that only opened it removes it when its maker died
// without doing so and no one else uses it. A removal takes only the FIFO this
// object opened. A forked child shares the parent's open FIFO and its mark:
// it lets go of its descriptors and leaves both alone.
QVFifoCondition::~QVFifoCondition() {
  if (getpid() == owner) {
    if (mode == QVCREATE) sharedfile::UnlinkOwnFile(readFd, path);
    sharedfile::UnmarkInUse(readFd);
    if (mode != QVCREATE) sharedfile::UnlinkIfUnused(writeFd, path);
  }
  close(readFd);
  close(writeFd);
  RecordSyncObjectRemoval(name, kSyncRecordFifoCondition);
}

void QVFifoCondition::Signal() { SignalDescriptor(writeFd); }

bool QVFifoCondition::Wait(long microseconds) { return WaitNonBlocking(readFd, microseconds); }

void QVFifoCondition::Reset() { ReadOnce(readFd); }

bool QVFifoCondition::PendingQ() { return descriptor_readable(readFd, 0); }

// ---- pipe condition ----

// Both ends are the process's own and never blocking: a signal into a full
// pipe is one already pending, and draining stops when the pipe is empty.
QVPipeCondition::QVPipeCondition() {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) ThrowErrno("Pipe error.", __LINE__, errno);
  readFd = ends[0];
  writeFd = ends[1];
}

QVPipeCondition::~QVPipeCondition() {
  close(readFd);
  close(writeFd);
}

void QVPipeCondition::Signal() { SignalDescriptor(writeFd); }

bool QVPipeCondition::Wait(long microseconds) { return WaitNonBlocking(readFd, microseconds); }

// A read that finds fewer bytes than it asks for has emptied the pipe, so
// mostly one read drains it.
void QVPipeCondition::Reset() {
  char buffer[kSignalReadSize];
  for (;;) {
    const ssize_t n = read(readFd, buffer, sizeof buffer);
    if (n == static_cast<ssize_t>(sizeof buffer)) continue;
    if (n < 0 && errno == EINTR) continue;
    return;
  }
}

bool QVPipeCondition::PendingQ() { return descriptor_readable(readFd, 0); }

// ---- several descriptor conditions ----

QVCondition* fd_multiple_condition_wait(std::list<QVCondition*>& conditions, long microseconds) {
  std::vector<pollfd> entries;
  entries.reserve(conditions.size());
  for (QVCondition* condition : conditions) {
    entries.push_back({condition->GetRawObject(), POLLIN, 0});
  }
  if (PollFor(entries, microseconds) <= 0) return nullptr;
  size_t i = 0;
  for (QVCondition* condition : conditions) {
    if (entries[i++].revents != 0) {
      condition->Reset();
      return condition;
    }
  }
  return nullptr;
}

}  // namespace Quorvane
