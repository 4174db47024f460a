// Readiness waits, and reads and writes that keep calling the link's yield
// function while they wait: with force-yield every 50 ms, without it at once
// (a read waits 1 us, a write not at all). Without a yield function a write
// waits in quiet 200 ms rounds (into a pipe, in the write itself) and a read
// waits in the read itself.
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>

#include "device/qvmessagelayer.h"
#include "device/qvsockcalls.h"
#include "utilities/platform/qvreadiness.h"

namespace {

namespace platform = Quorvane::platform;

constexpr int kSelectAttempts = 10;
constexpr long kForcedYieldWait = 50000;
constexpr long kQuietWait = 200000;
constexpr unsigned char kRoomOrUrgent = platform::kReadinessWritable | platform::kReadinessExceptional;

// The readiness bits of want found within the time-out: 0 on time-out or
// interruption, -1 for any other failure (also a descriptor that is not open).
int ReadyBits(int fd, unsigned char want, long microseconds) {
  platform::QVReadinessEntry entry{fd, want, 0};
  const int ready = platform::CheckReadiness(&entry, 1, microseconds);
  if (ready < 0) return errno == EINTR ? 0 : -1;
  if (ready > 0 && entry.got == platform::kReadinessNotOpen) {
    errno = EBADF;
    return -1;
  }
  return ready > 0 ? entry.got : 0;
}

// 1 ready, 0 time-out or interrupted, -1 any other failure.
int WaitFor(int fd, unsigned char want, long microseconds) {
  const int bits = ReadyBits(fd, want, microseconds);
  return bits < 0 ? -1 : (bits > 0 ? 1 : 0);
}

// False, with errno set, for what no wait could serve.
bool UsableQ(int fd, long length, const void* bytes) {
  if (fd >= 0 && length >= 0 && bytes != nullptr) return true;
  errno = fd < 0 ? EBADF : EINVAL;
  return false;
}

bool YieldAsksToStop(qv_yield_function yielder, void* cookie, QVYieldParams* yieldData) {
  return RVCallYieldFunction(yielder, static_cast<QVLink*>(cookie), yieldData) != 0;
}

}  // namespace

int unix_select(int readFd, int writeFd, int exceptFd, long microseconds) noexcept {
  if (readFd < 0 && writeFd < 0 && exceptFd < 0) return -1;
  int result = -1;
  for (int attempt = 0; attempt < kSelectAttempts; ++attempt) {
    errno = 0;
    result = qvsock__select(readFd, writeFd, exceptFd, microseconds);
    if (result >= 0 || errno != EINTR) break;
  }
  return result < 0 ? -1 : (result > 0 ? 1 : 0);
}

long unix_read(int fd, void* buffer, long length, qv_yield_function yielder, void* cookie, int forceYield,
               QVYieldParams* yieldData) noexcept {
  if (length == 0) return 0;
  if (!UsableQ(fd, length, buffer)) return -1;
  const long wait = yielder == nullptr ? kQuietWait : (forceYield != 0 ? kForcedYieldWait : 1);
  for (;;) {
    // Without a yield function nothing happens between the waits, so the
    // read itself waits: one system call where a wait and a read were two.
    // A descriptor set non-blocking answers EAGAIN and goes to the wait.
    if (yielder == nullptr) {
      const ssize_t count = read(fd, buffer, static_cast<size_t>(length));
      if (count == 0) return -2;
      if (count > 0) return static_cast<long>(count);
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    }
    const int ready = WaitFor(fd, platform::kReadinessReadable, wait);
    if (ready < 0) return -1;
    if (ready == 0) {
      if (yielder != nullptr && YieldAsksToStop(yielder, cookie, yieldData)) return 0;
      continue;
    }
    const ssize_t count = read(fd, buffer, static_cast<size_t>(length));
    if (count == 0) return -2;
    // Readable and yet interrupted: wait again rather than fail.
    if (count < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    return static_cast<long>(count);
  }
}

namespace {

// Drops the bytes written from the front of the pieces: answers the piece to
// go on from, its start moved past what of it went.
int Advance(iovec* pieces, int at, int count, size_t written) {
  while (at < count && written >= pieces[at].iov_len) {
    written -= pieces[at].iov_len;
    ++at;
  }
  if (at < count) {
    pieces[at].iov_base = static_cast<char*>(pieces[at].iov_base) + written;
    pieces[at].iov_len -= written;
  }
  return at;
}

// On a socket the bytes go with sendmsg, so that a peer that has gone fails
// the write (EPIPE) without raising SIGPIPE; elsewhere with writev.
ssize_t WriteSome(int fd, iovec* pieces, int count, QVWriteTarget target) {
  if (target != QVWriteTarget::kSocket) return writev(fd, pieces, count);
  msghdr message{};
  message.msg_iov = pieces;
  message.msg_iovlen = static_cast<size_t>(count);
  return sendmsg(fd, &message, MSG_NOSIGNAL);
}

}  // namespace

long unix_write_pieces(QVWriteTarget target, int fd, iovec* pieces, int count, qv_yield_function yielder, void* cookie,
                       int forceYield, QVYieldParams* yieldData) noexcept {
  if (count < 0 || (count > 0 && pieces == nullptr)) {
    errno = EINVAL;
    return -1;
  }
  long length = 0;
  for (int i = 0; i < count; ++i) length += static_cast<long>(pieces[i].iov_len);
  if (length == 0) return 0;
  if (!UsableQ(fd, length, pieces)) return -1;
  const long wait = yielder == nullptr ? kQuietWait : (forceYield != 0 ? kForcedYieldWait : 0);
  long written = 0;
  int at = 0;
  // Into a pipe without a yield function nothing is done between the waits
  // for room and there is no urgent data to look for, so the write itself
  // waits. A descriptor set non-blocking answers EAGAIN and goes on below.
  while (target == QVWriteTarget::kPipe && yielder == nullptr && written < length) {
    const ssize_t n = writev(fd, pieces + at, count - at);
    if (n > 0) {
      written += static_cast<long>(n);
      at = Advance(pieces, at, count, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    return -1;
  }
  while (written < length) {
    // Mostly there is room at once: one look answers both questions, the
    // room and the urgent data. Otherwise the wait for room comes first and
    // the look for urgent data after it.
    const int now = ReadyBits(fd, kRoomOrUrgent, 0);
    if (now < 0) return -1;
    if ((now & platform::kReadinessWritable) == 0) {
      const int ready = wait > 0 ? WaitFor(fd, platform::kReadinessWritable, wait) : 0;
      if (ready < 0) return -1;
      if (ready == 0) {
        if (yielder != nullptr && YieldAsksToStop(yielder, cookie, yieldData)) return written == 0 ? 0 : -1;
        continue;
      }
      if (WaitFor(fd, platform::kReadinessExceptional, 0) != 0) return -1;
    } else if ((now & platform::kReadinessExceptional) != 0) {
      return -1;
    }
    const ssize_t n = WriteSome(fd, pieces + at, count - at, target);
    if (n > 0) {
      written += static_cast<long>(n);
      at = Advance(pieces, at, count, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    return -1;
  }
  return length;
}

namespace {

long WriteOnePiece(QVWriteTarget target, int fd, const void* bytes, long length, qv_yield_function yielder,
                   void* cookie, int forceYield, QVYieldParams* yieldData) {
  if (length == 0) return 0;
  if (!UsableQ(fd, length, bytes)) return -1;
  iovec piece{const_cast<void*>(bytes), static_cast<size_t>(length)};
  return unix_write_pieces(target, fd, &piece, 1, yielder, cookie, forceYield, yieldData);
}

}  // namespace

long unix_write(int fd, const void* bytes, long length, qv_yield_function yielder, void* cookie, int forceYield,
                QVYieldParams* yieldData) noexcept {
  return WriteOnePiece(QVWriteTarget::kAny, fd, bytes, length, yielder, cookie, forceYield, yieldData);
}

long unix_send(int fd, const void* bytes, long length, qv_yield_function yielder, void* cookie, int forceYield,
               QVYieldParams* yieldData) noexcept {
  return WriteOnePiece(QVWriteTarget::kSocket, fd, bytes, length, yielder, cookie, forceYield, yieldData);
}

long unix_write_pipe(int fd, const void* bytes, long length, qv_yield_function yielder, void* cookie, int forceYield,
                     QVYieldParams* yieldData) noexcept {
  return WriteOnePiece(QVWriteTarget::kPipe, fd, bytes, length, yielder, cookie, forceYield, yieldData);
}
