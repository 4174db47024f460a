#include "network/qvsocket.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <memory>

#include "utilities/qvexception.h"
#include "utilities/qvtimes.h"

namespace Quorvane {

namespace {

constexpr char kSourceFile[] = "network/qvsocket";
constexpr long kYieldSlice = 1000;
constexpr long kBlockSlice = 300000;
constexpr long kSetSlice = 500000;

// Refusals of an operation for the socket's kind; the message forms keep their
// own wording, two blanks included.
constexpr char kNeedsStreamToRead[] = "Socket is not a stream socket, address required for Read().";
constexpr char kNeedsStreamToWrite[] =
    "Socket is not a stream socket, address required for Write().";
constexpr char kNoMessagesToRead[] = "Socket is a stream socket. Message writing not supported.";
constexpr char kNoMessagesToWrite[] = "Socket is a stream socket.  Message writing not supported.";

[[noreturn]] void Fail(const char* message, unsigned line, qvexceptiontype type, int code = 0) {
  throw QVException(message, kSourceFile, line, type, code);
}

// True when the caller's yield function asks to back out.
bool BackOutQ(QVYieldFunction yield, void* cookie) {
  return yield != nullptr && yield(cookie, nullptr);
}

// A fresh poll set on one descriptor with the given default event mask.
bool Poll(QVPollSet& set, int fd, short mask, long microseconds) {
  set.Clear();
  set.SetDefaultEvent(mask);
  set.Add(fd);
  return set.ReadyQ(microseconds);
}

// Repeats a system call that a signal interrupted before it did anything: the
// library's own signal handlers (child processes, signal-driven input) must
// not turn into failed reads, writes and accepts.
template <typename Call>
auto RetryOnSignal(Call call) -> decltype(call()) {
  for (;;) {
    const auto result = call();
    if (result >= 0 || errno != EINTR) return result;
  }
}

long SecondsToMicroseconds(double seconds) {
  if (!(seconds > 0)) return 0;  // negative or NaN: poll once
  const double us = std::trunc(seconds * 1000000.0);
  return us > 9.0e15 ? static_cast<long>(9.0e15) : static_cast<long>(us);
}

}  // namespace

// ---------------------------------------------------------------- core

QVSocketCore::QVSocketCore(int fd_, _qvsockettype type, int family_, int protocol_) {
  Describe(fd_, type, family_, protocol_);
}

QVSocketCore::QVSocketCore(int family_, int type, int protocol_) {
  // Close-on-exec from the start: a program another thread launches must not
  // inherit a link's socket.
  Describe(::socket(family_, type | SOCK_CLOEXEC, protocol_), convertToSocketType(type), family_, protocol_);
}

QVSocketCore::QVSocketCore(int fd_, int family_, int type, int protocol_) {
  Describe(fd_, convertToSocketType(type), family_, protocol_);
}

void QVSocketCore::Describe(int fd_, _qvsockettype type, int family_, int protocol_) {
  fd = fd_;
  socketType = convertToSocketType(type);
  ipProtocol = convertToIPProtocol(family_);
  if (protocol_ == 1 || protocol_ == 2) {
    transport = static_cast<_qvtranportportocol>(protocol_);
  } else if (socketType == QVSocketTypeStream) {
    transport = QVStream;
  } else if (socketType == QVSocketTypeDatagram) {
    transport = QVDatagram;
  } else {
    transport = static_cast<_qvtranportportocol>(0);
  }
  family = family_;
  protocol = protocol_;
  closed = false;
}

QVSocketCore::~QVSocketCore() {
  if (!closed && fd != -1) ::close(fd);
}

_qvipprotocol QVSocketCore::convertToIPProtocol(int family_) {
  switch (family_) {
    case AF_INET:
      return QVIPV4;
    case AF_INET6:
      return QVIPV6;
    case AF_UNIX:
      return QVUnixDomain;
    default:
      return QVNoProtocol;
  }
}

_qvtranportportocol QVSocketCore::convertToTransportProtocol(int protocol_) {
  if (protocol_ == 1 || protocol_ == 2) return static_cast<_qvtranportportocol>(protocol_);
  return static_cast<_qvtranportportocol>(0);
}

_qvsockettype QVSocketCore::convertToSocketType(int type) {
  if (type >= 1 && type <= 3) return static_cast<_qvsockettype>(type);
  return QVSocketTypeNone;
}

// ---------------------------------------------------------------- handle

QVSocket::QVSocket() : core_(new QVSocketCore) {}

QVSocket::QVSocket(int fd, int family, _qvsockettype type, int protocol)
    : core_(new QVSocketCore(fd, type, family, protocol)) {}

QVSocket::QVSocket(int family, int type, int protocol)
    : core_(new QVSocketCore(family, type, protocol)) {}

QVSocket::QVSocket(int fd, int family, int type, int protocol)
    : core_(new QVSocketCore(fd, family, type, protocol)) {}

QVSocketCore& QVSocket::Core() const {
  if (!core_) Fail("Socket core does not exist.", __LINE__, qvexceptiontype::missingObject);
  return *core_;
}

QVSocketCore& QVSocket::OpenCore() const {
  QVSocketCore& core = Core();
  if (core.closed) Fail("Socket is closed.", __LINE__, qvexceptiontype::missingObject);
  return core;
}

// The kind is checked before the open state, so a closed socket of the wrong
// kind still reports its kind.
QVSocketCore& QVSocket::KindCore(bool stream, const char* message) const {
  if ((Core().socketType == QVSocketTypeStream) != stream) {
    Fail(message, __LINE__, qvexceptiontype::wrongSocketKind);
  }
  return OpenCore();
}

int QVSocket::GetRawSocket() const { return Core().fd; }
_qvsockettype QVSocket::GetType() const { return Core().socketType; }
_qvipprotocol QVSocket::GetProtocolType() const { return Core().ipProtocol; }
_qvtranportportocol QVSocket::GetTransportProtocolType() const { return Core().transport; }

int QVSocket::Bind(const QVAddress& address) {
  QVSocketCore& core = OpenCore();
  const int rc = ::bind(core.fd, static_cast<const sockaddr*>(address.GetBinaryAddress()),
                        address.GetBinaryAddressLength());
  if (rc != 0) {
    if (errno == EADDRINUSE) Fail("Bind error.", __LINE__, qvexceptiontype::addressInUse, 0);
    Fail("Bind error.", __LINE__, qvexceptiontype::socketCallFailed, errno);
  }
  return rc;
}

int QVSocket::Bind(const QVAddress* address) {
  if (address == nullptr) {
    Fail("Argument QVAddress * cannot be NULL.", __LINE__, qvexceptiontype::badArgument);
  }
  return Bind(*address);
}

void QVSocket::Listen(int backlog) {
  QVSocketCore& core = OpenCore();
  if (::listen(core.fd, backlog) != 0) {
    Fail("Listen error.", __LINE__, qvexceptiontype::socketCallFailed, errno);
  }
}

QVSocket QVSocket::Accept(QVAddress** peer) {
  OpenCore();
  return AcceptReady(peer);
}

QVSocket QVSocket::AcceptReady(QVAddress** peer) {
  QVSocketCore& core = OpenCore();
  sockaddr_storage from{};
  socklen_t fromLength = sizeof from;
  const int fd = RetryOnSignal([&] {
    fromLength = sizeof from;
    return ::accept4(core.fd, reinterpret_cast<sockaddr*>(&from), &fromLength, SOCK_CLOEXEC);
  });
  if (fd < 0) Fail("Accept error.", __LINE__, qvexceptiontype::socketCallFailed, errno);
  QVSocket accepted(fd, core.family, core.socketType, core.protocol);
  // Accepted sockets here do not inherit the listener's non-blocking and
  // signal-driven modes; callers rely on them being carried over.
  const int listenerFlags = ::fcntl(core.fd, F_GETFL);
  if (listenerFlags != -1 && (listenerFlags & (O_NONBLOCK | O_ASYNC)) != 0) {
    if ((listenerFlags & O_ASYNC) != 0) ::fcntl(fd, F_SETOWN, ::fcntl(core.fd, F_GETOWN));
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags != -1) ::fcntl(fd, F_SETFL, flags | (listenerFlags & (O_NONBLOCK | O_ASYNC)));
  }
  if (peer != nullptr) {
    try {
      *peer = new QVIPAddress(reinterpret_cast<const sockaddr*>(&from));
    } catch (const std::bad_alloc&) {
      Fail("Unable to allocate new QVAddress.", __LINE__, qvexceptiontype::outOfMemory);
    }
  }
  return accepted;
}

QVSocket QVSocket::Accept(QVAddress** peer, QVYieldFunction yield, void* cookie) {
  const int fd = Core().fd;
  QVPollSet set;
  while (!Poll(set, fd, 0, kYieldSlice)) {
    if (BackOutQ(yield, cookie)) {
      Fail("Backing out of Accept", __LINE__, qvexceptiontype::backOut);
    }
  }
  return Accept(peer);
}

QVSocket QVSocket::Accept(QVAddress** peer, double seconds) {
  const int fd = Core().fd;
  const QVDate deadline = QVDate::initWithIntervalSinceNow(seconds);
  QVPollSet set;
  while (!Poll(set, fd, 0, SecondsToMicroseconds(seconds))) {
    if (QVDate() >= deadline) Fail("Backing out of Accept", __LINE__, qvexceptiontype::backOut);
  }
  return Accept(peer);
}

void QVSocket::Connect(const QVAddress& address) {
  QVSocketCore& core = OpenCore();
  if (::connect(core.fd, static_cast<const sockaddr*>(address.GetBinaryAddress()),
                address.GetBinaryAddressLength()) == 0) {
    return;
  }
  if (errno != EINTR) Fail("Connect error.", __LINE__, qvexceptiontype::socketCallFailed, errno);
  // An interrupted connect goes on in the background; calling it again would
  // fail, so wait for its outcome instead.
  QVPollSet set;
  while (!Poll(set, core.fd, 1, -1)) {
  }
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(core.fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
    Fail("Getsockopt error.", __LINE__, qvexceptiontype::socketCallFailed, errno);
  }
  if (error != 0) Fail("Connect error.", __LINE__, qvexceptiontype::socketCallFailed, error);
}

void QVSocket::Connect(const QVAddress& address, QVYieldFunction yield, void* cookie) {
  Core();
  SetNonBlocking();
  const int fd = Core().fd;
  if (::connect(fd, static_cast<const sockaddr*>(address.GetBinaryAddress()),
                address.GetBinaryAddressLength()) == 0) {
    return;
  }
  if (errno != EINPROGRESS) Fail("Connect error.", __LINE__, qvexceptiontype::socketCallFailed, errno);
  QVPollSet set;
  while (!Poll(set, fd, 3, yield != nullptr ? 0 : kBlockSlice)) {
    if (BackOutQ(yield, cookie)) Fail("Backing out of Connect.", __LINE__, qvexceptiontype::backOut);
  }
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
    Fail("Getsockopt error.", __LINE__, qvexceptiontype::socketCallFailed, errno);
  }
  if (error != 0) Fail("Connect error.", __LINE__, qvexceptiontype::socketCallFailed, error);
}

void QVSocket::Close() noexcept {
  if (!core_) return;
  if (core_->fd != -1 && !core_->closed) {
    ::close(core_->fd);
    core_->closed = true;
  }
}

void QVSocket::Shutdown(_qvshutdown how) {
  QVSocketCore& core = OpenCore();
  if (how < 0 || how > 2) return;
  if (::shutdown(core.fd, how) != 0) {
    Fail("Shutdown error.", __LINE__, qvexceptiontype::socketCallFailed, errno);
  }
}

void QVSocket::SetNonBlocking() {
  QVSocketCore& core = OpenCore();
  const int flags = ::fcntl(core.fd, F_GETFL);
  if (flags == -1) Fail("Fcntl get error.", __LINE__, qvexceptiontype::systemCallFailed, errno);
  if (::fcntl(core.fd, F_SETFL, flags | O_NONBLOCK) == -1) {
    Fail("Fcntl set non-blocking error.", __LINE__, qvexceptiontype::systemCallFailed, errno);
  }
}

int QVSocket::SetCloseOnExec() {
  QVSocketCore& core = OpenCore();
  const int flags = ::fcntl(core.fd, F_GETFD);
  return ::fcntl(core.fd, F_SETFD, (flags == -1 ? 0 : flags) | FD_CLOEXEC);
}

void QVSocket::ReceiveSignals() {
  QVSocketCore& core = OpenCore();
  if (::fcntl(core.fd, F_SETOWN, ::getpid()) == -1) {
    Fail("Fcntl F_SETOWN error.", __LINE__, qvexceptiontype::systemCallFailed, errno);
  }
  const int flags = ::fcntl(core.fd, F_GETFL);
  if (flags == -1 || ::fcntl(core.fd, F_SETFL, flags | O_ASYNC) == -1) {
    Fail("Fcntl F_SETFL error.", __LINE__, qvexceptiontype::systemCallFailed, errno);
  }
}

void QVSocket::DontReceiveSignals() {
  QVSocketCore& core = OpenCore();
  const int flags = ::fcntl(core.fd, F_GETFL);
  if (flags == -1 || ::fcntl(core.fd, F_SETFL, flags & ~O_ASYNC) == -1) {
    Fail("Fcntl F_SETFL error.", __LINE__, qvexceptiontype::systemCallFailed, errno);
  }
}

void QVSocket::SetOption(int level, int name, const void* value, socklen_t length) {
  QVSocketCore& core = OpenCore();
  if (::setsockopt(core.fd, level, name, value, length) != 0) {
    Fail("Setsockopt error.", __LINE__, qvexceptiontype::socketCallFailed, errno);
  }
}

void QVSocket::GetOption(int level, int name, void* value, socklen_t* length) {
  QVSocketCore& core = OpenCore();
  if (::getsockopt(core.fd, level, name, value, length) != 0) {
    Fail("Getsockopt error.", __LINE__, qvexceptiontype::socketCallFailed, errno);
  }
}

QVIPAddress* QVSocket::GetName() {
  QVSocketCore& core = OpenCore();
  sockaddr_storage local{};
  socklen_t length = sizeof local;
  if (::getsockname(core.fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
    Fail("Getsockname error.", __LINE__, qvexceptiontype::socketCallFailed, errno);
  }
  try {
    return new QVIPAddress(reinterpret_cast<const sockaddr*>(&local));
  } catch (const std::bad_alloc&) {
    Fail("Unable to allocate new address.", __LINE__, qvexceptiontype::outOfMemory);
  }
}

QVSocket QVSocket::Duplicate() {
  QVSocketCore& core = OpenCore();
  // Copies stay close-on-exec like every link socket: a launched program
  // must not hold the connection.
  const int fd = ::fcntl(core.fd, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) Fail("Dup error.", __LINE__, qvexceptiontype::systemCallFailed, errno);
  return QVSocket(fd, core.family, core.socketType, core.protocol);
}

QVSocket& QVSocket::Duplicate(const QVSocket& other) {
  QVSocketCore& core = OpenCore();
  if (!other.core_) Fail("Socket core does not exist.", __LINE__, qvexceptiontype::missingObject);
  if (other.core_->fd == core.fd) return *this;
  if (::dup3(other.core_->fd, core.fd, O_CLOEXEC) != core.fd) {
    Fail("Dup2 error.", __LINE__, qvexceptiontype::systemCallFailed, errno);
  }
  return *this;
}

// ---------------------------------------------------------------- reading

ssize_t QVSocket::Read(char* buffer, size_t length) {
  QVSocketCore& core = KindCore(true, kNeedsStreamToRead);
  const ssize_t n = RetryOnSignal([&] { return ::read(core.fd, buffer, length); });
  if (n < 0) Fail("Read error.", __LINE__, qvexceptiontype::systemCallFailed, errno);
  return n;
}

ssize_t QVSocket::Read(QVAddress** from, char* buffer, size_t length, int flags) {
  QVSocketCore& core = OpenCore();
  if (core.socketType == QVSocketTypeStream) return Read(buffer, length);
  sockaddr_storage sender{};
  socklen_t senderLength = sizeof sender;
  const ssize_t n = RetryOnSignal([&] {
    senderLength = sizeof sender;
    return ::recvfrom(core.fd, buffer, length, flags, reinterpret_cast<sockaddr*>(&sender),
                      &senderLength);
  });
  if (n < 0) Fail("Recvfrom error.", __LINE__, qvexceptiontype::socketCallFailed, errno);
  if (from != nullptr) {
    try {
      *from = new QVIPAddress(reinterpret_cast<const sockaddr*>(&sender));
    } catch (const std::bad_alloc&) {
      Fail("Unable to create new QVAddress.", __LINE__, qvexceptiontype::outOfMemory);
    }
  }
  return n;
}

ssize_t QVSocket::Read(QVAddress** from, char* buffer, size_t length, int flags,
                       QVYieldFunction yield, void* cookie) {
  const int fd = OpenCore().fd;
  QVPollSet set;
  while (!Poll(set, fd, 0, kYieldSlice)) {
    if (BackOutQ(yield, cookie)) Fail("Backing out of Read.", __LINE__, qvexceptiontype::backOut);
  }
  return Read(from, buffer, length, flags);
}

ssize_t QVSocket::Read(msghdr* message, int flags) {
  QVSocketCore& core = KindCore(false, kNoMessagesToRead);
  const ssize_t n = RetryOnSignal([&] { return ::recvmsg(core.fd, message, flags); });
  if (n < 0) Fail("Recvmsg error.", __LINE__, qvexceptiontype::socketCallFailed, errno);
  return n;
}

template <typename Wait>
ssize_t QVSocket::ReadStream(char* buffer, size_t length, Wait wait) {
  const int fd = KindCore(true, kNeedsStreamToRead).fd;
  QVPollSet set;
  for (;;) {
    if (Poll(set, fd, 2, wait.Slice())) {
      if (set.SetQ(fd, QVEventReadable)) break;
      if (set.SetQ(fd, QVEventExceptional)) {
        Fail("Socket is in exception condition.", __LINE__, qvexceptiontype::socketException);
      }
    }
    wait.Unready();
  }
  for (;;) {
    const ssize_t n = ::read(fd, buffer, length);
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      Fail("Read error.", __LINE__, qvexceptiontype::systemCallFailed, errno);
    }
    // Readiness was reported but the data went elsewhere: wait again rather
    // than spin on the descriptor.
    wait.Restart();
    while (!Poll(set, fd, 0, wait.Slice())) wait.Unready();
  }
}

ssize_t QVSocket::ReadAndHandleBlock(char* buffer, size_t length, QVYieldFunction yield,
                                     void* cookie) {
  struct YieldWait {
    QVYieldFunction yield;
    void* cookie;
    long Slice() const { return kBlockSlice; }
    void Unready() const {
      if (BackOutQ(yield, cookie)) Fail("Backing out of Read.", __LINE__, qvexceptiontype::backOut);
    }
    void Restart() const {}
  };
  return ReadStream(buffer, length, YieldWait{yield, cookie});
}

ssize_t QVSocket::Read(QVAddress**, char* buffer, size_t length, double seconds) {
  struct TimedWait {
    double seconds;
    QVDate deadline;
    long Slice() const { return SecondsToMicroseconds(seconds); }
    void Unready() const {
      if (QVDate() >= deadline) Fail("Backing out of Read.", __LINE__, qvexceptiontype::backOut);
    }
    void Restart() { deadline = QVDate::initWithIntervalSinceNow(seconds); }
  };
  return ReadStream(buffer, length, TimedWait{seconds, QVDate::initWithIntervalSinceNow(seconds)});
}

// ---------------------------------------------------------------- writing

namespace {
// A peer that has gone must surface as EPIPE, not as a signal that ends the
// host program.
ssize_t SendStream(int fd, const char* buffer, size_t length) {
  return RetryOnSignal([&] { return ::send(fd, buffer, length, MSG_NOSIGNAL); });
}
}  // namespace

ssize_t QVSocket::Write(const char* buffer, size_t length) {
  QVSocketCore& core = KindCore(true, kNeedsStreamToWrite);
  return SendStream(core.fd, buffer, length);
}

ssize_t QVSocket::Write(const QVAddress& to, const char* buffer, size_t length, int flags) {
  QVSocketCore& core = OpenCore();
  if (core.socketType == QVSocketTypeStream) return Write(buffer, length);
  return RetryOnSignal([&] {
    return ::sendto(core.fd, buffer, length, flags,
                    static_cast<const sockaddr*>(to.GetBinaryAddress()),
                    to.GetBinaryAddressLength());
  });
}

ssize_t QVSocket::Write(const QVAddress* to, const char* buffer, size_t length, int flags) {
  if (to == nullptr) Fail("Argument 1 cannot be a NULL pointer.", __LINE__, qvexceptiontype::badArgument);
  return Write(*to, buffer, length, flags);
}

ssize_t QVSocket::Write(const msghdr* message, int flags) {
  QVSocketCore& core = KindCore(false, kNoMessagesToWrite);
  return RetryOnSignal([&] { return ::sendmsg(core.fd, message, flags); });
}

ssize_t QVSocket::WriteAndHandleBlock(const char* buffer, size_t length, QVYieldFunction yield,
                                      void* cookie) {
  const int fd = KindCore(true, kNeedsStreamToWrite).fd;
  QVPollSet set;
  for (;;) {
    if (Poll(set, fd, 3, kBlockSlice)) {
      if (set.SetQ(fd, QVEventWritable)) return SendStream(fd, buffer, length);
      if (set.SetQ(fd, QVEventExceptional)) {
        Fail("Socket is in exception condition.", __LINE__, qvexceptiontype::socketException);
      }
    }
    if (BackOutQ(yield, cookie)) Fail("Backing out of Write.", __LINE__, qvexceptiontype::backOut);
  }
}

// ---------------------------------------------------------------- readiness

bool QVSocket::HasDataToReadQ() { return HasDataToReadQ(0); }

bool QVSocket::HasDataToReadQ(unsigned long microseconds) {
  QVPollSet set;
  return Poll(set, Core().fd, 0, static_cast<long>(microseconds));
}

bool QVSocket::CanWriteDataQ() { return CanWriteDataQ(0); }

bool QVSocket::CanWriteDataQ(unsigned long microseconds) {
  QVPollSet set;
  return Poll(set, Core().fd, 1, static_cast<long>(microseconds));
}

std::ostream& QVSocket::WriteSocket(std::ostream& os) const {
  if (!core_) return os;
  os << "<QVSocket family=\"" << core_->family << "\" sockettype=\"" << core_->socketType
     << "\" protocol=\"" << core_->protocol << "\">" << core_->fd << "</QVSocket>";
  return os;
}

bool QVSocket::operator==(const QVSocket& other) const {
  if (this == &other) return true;
  if (!core_ || !other.core_) return false;
  return core_->fd == other.core_->fd;
}

bool QVSocket::operator<(const QVSocket& other) const {
  if (this == &other) return false;
  if (!core_) return static_cast<bool>(other.core_);
  if (!other.core_) return false;
  return core_->fd < other.core_->fd;
}

std::ostream& operator<<(std::ostream& os, const QVSocket& socket) {
  return socket.WriteSocket(os);
}

// ---------------------------------------------------------------- socket set

void QVSocketSet::add(const QVSocket& socket) {
  if (!socket.HasCoreQ()) {
    Fail("Socket core does not exist.", __LINE__, qvexceptiontype::missingObject);
  }
  const int fd = socket.GetRawSocket();
  sockets_.emplace(fd, socket);
  if (fd > largest_) largest_ = fd;
}

void QVSocketSet::remove(const QVSocket& socket) {
  if (!socket.HasCoreQ()) {
    Fail("Socket core does not exist.", __LINE__, qvexceptiontype::missingObject);
  }
  sockets_.erase(socket.GetRawSocket());
}

void QVSocketSet::clear() {
  pollSet_.Clear();
  sockets_.clear();
}

bool QVSocketSet::setQ(QVSocket& socket) {
  if (!socket.HasCoreQ()) {
    Fail("Socket core does not exist.", __LINE__, qvexceptiontype::missingObject);
  }
  return pollSet_.SetQ(socket.GetRawSocket());
}

void QVSocketSet::fillPollSet() {
  pollSet_.Clear();
  for (const auto& [fd, socket] : sockets_) pollSet_.Add(fd);
}

bool QVSocketSet::waitTillSocketHasDataToRead(unsigned long microseconds) {
  fillPollSet();
  return pollSet_.ReadyQ(static_cast<long>(microseconds));
}

QVSocket QVSocketSet::waitTillNextSocketHasDataToRead() {
  if (sockets_.empty()) {
    Fail("Socket set is empty: there is no socket to wait on.", __LINE__,
         qvexceptiontype::badArgument);
  }
  fillPollSet();
  while (!pollSet_.ReadyQ(kSetSlice)) {
    // A member closed behind the set's back makes every wait fail at once;
    // without this check the loop would spin forever.
    for (const auto& [fd, socket] : sockets_) {
      if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
        Fail("Socket is closed.", __LINE__, qvexceptiontype::missingObject);
      }
    }
    fillPollSet();
  }
  for (const auto& [fd, socket] : sockets_) {
    if (pollSet_.SetQ(fd)) return socket;
  }
  return sockets_.begin()->second;  // unreachable: a ready set marks an entry
}

}  // namespace Quorvane
