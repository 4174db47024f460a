#include "network/qvendpoint.h"

#include <memory>

#include "utilities/qvexception.h"

namespace Quorvane {

namespace {

constexpr char kSourceFile[] = "network/qvendpoint";
constexpr int kListenBacklog = 5;

// Owns the address object the socket layer hands out.
struct PeerAddress {
  QVAddress* address = nullptr;
  ~PeerAddress() { delete address; }
  QVIPAddress AsIP() const {
    const auto* ip = dynamic_cast<const QVIPAddress*>(address);
    return ip != nullptr ? *ip : QVIPAddress();
  }
};

}  // namespace

QVEndPoint::QVEndPoint() = default;

QVEndPoint::QVEndPoint(const QVEndPoint& other)
    : QVObject(other), address_(other.address_), socket_(other.socket_) {}

QVEndPoint::QVEndPoint(_qvipprotocol protocol, _qvtranportportocol transport,
                       const QVIPAddress& address)
    : address_(address) {
  if (protocol < QVIPV4 || protocol > QVUnixDomain) {
    throw QVException("Ip protocol not recognized.", kSourceFile, __LINE__,
                      qvexceptiontype::badArgument, 0);
  }
  socket_ = QVSocket(PlatformFamilyOfProtocol(protocol),
                     transport == QVDatagram ? SOCK_DGRAM : SOCK_STREAM, 0);
}

QVEndPoint::QVEndPoint(QVSocket& socket, QVIPAddress& address)
    : address_(address), socket_(socket) {}

QVEndPoint& QVEndPoint::operator=(const QVEndPoint& other) {
  if (this == &other) return *this;
  address_ = other.address_;
  socket_ = other.socket_;
  return *this;
}

bool QVEndPoint::operator==(const QVEndPoint& other) const {
  if (this == &other) return true;
  return socket_ == other.socket_ && address_ == other.address_;
}

bool QVEndPoint::operator<(const QVEndPoint& other) const {
  if (this == &other) return false;
  if (socket_ == other.socket_ && address_ == other.address_) return false;
  return socket_ < other.socket_;
}

void QVEndPoint::SetForListening() {
  socket_.Bind(address_);
  socket_.Listen(kListenBacklog);
}

// ---------------------------------------------------------------- incoming

QVSocket QVEndPoint::AcceptWith(const Waiting& waiting, QVAddress** peer) {
  switch (waiting.kind) {
    case Waiting::kYield:
      return socket_.Accept(peer, waiting.yield, waiting.cookie);
    case Waiting::kTimed:
      return socket_.Accept(peer, waiting.seconds);
    case Waiting::kBlocking:
      break;
  }
  return socket_.Accept(peer);
}

void QVEndPoint::ReceiveEmptyWith(const Waiting& waiting, QVAddress** from) {
  switch (waiting.kind) {
    case Waiting::kYield:
      socket_.Read(from, nullptr, 0, 0, waiting.yield, waiting.cookie);
      return;
    case Waiting::kTimed:
      socket_.Read(from, nullptr, 0, waiting.seconds);
      return;
    case Waiting::kBlocking:
      break;
  }
  socket_.Read(from, nullptr, 0, 0);
}

QVEndPoint QVEndPoint::Incoming(const Waiting& waiting) {
  QVEndPoint result;
  PeerAddress peer;
  const _qvsockettype type = Type();
  if (type == QVSocketTypeDatagram || type == QVSocketTypeRaw) {
    ReceiveEmptyWith(waiting, &peer.address);
    result.address_ = peer.AsIP();
    result.socket_ = socket_;
  } else {
    QVSocket accepted = AcceptWith(waiting, &peer.address);
    result.address_ = peer.AsIP();
    result.socket_ = accepted;
  }
  return result;
}

QVEndPoint QVEndPoint::GetIncomingConnection() { return Incoming({Waiting::kBlocking, nullptr, nullptr, 0}); }

QVEndPoint QVEndPoint::GetIncomingConnection(QVYieldFunction yield, void* cookie) {
  return Incoming({Waiting::kYield, yield, cookie, 0});
}

QVEndPoint QVEndPoint::GetIncomingConnection(double seconds) {
  return Incoming({Waiting::kTimed, nullptr, nullptr, seconds});
}

QVEndPoint& QVEndPoint::IncomingAndDuplicate(const Waiting& waiting) {
  PeerAddress peer;
  const _qvsockettype type = Type();
  if (type == QVSocketTypeDatagram || type == QVSocketTypeRaw) {
    ReceiveEmptyWith(waiting, &peer.address);
    return *this;
  }
  QVSocket accepted = AcceptWith(waiting, &peer.address);
  socket_.Duplicate(accepted);
  accepted.Close();
  return *this;
}

QVEndPoint& QVEndPoint::GetIncomingAndDuplicate() {
  return IncomingAndDuplicate({Waiting::kBlocking, nullptr, nullptr, 0});
}

QVEndPoint& QVEndPoint::GetIncomingAndDuplicate(QVYieldFunction yield, void* cookie) {
  return IncomingAndDuplicate({Waiting::kYield, yield, cookie, 0});
}

QVEndPoint& QVEndPoint::GetIncomingAndDuplicate(double seconds) {
  return IncomingAndDuplicate({Waiting::kTimed, nullptr, nullptr, seconds});
}

// ---------------------------------------------------------------- the rest

QVEndPoint QVEndPoint::Duplicate() {
  QVEndPoint copy;
  copy.address_ = address_;
  copy.socket_ = socket_.Duplicate();
  return copy;
}

QVEndPoint& QVEndPoint::Duplicate(const QVEndPoint& other) {
  if (this == &other) return *this;
  address_ = other.address_;
  socket_.Duplicate(other.socket_);
  return *this;
}

void QVEndPoint::Connect() { socket_.Connect(address_); }

void QVEndPoint::Connect(QVYieldFunction yield, void* cookie) {
  socket_.Connect(address_, yield, cookie);
}

ssize_t QVEndPoint::Write(const char* buffer, unsigned long length) {
  switch (Type()) {
    case QVSocketTypeDatagram:
    case QVSocketTypeRaw:
      return socket_.Write(address_, buffer, length, 0);
    case QVSocketTypeStream:
      return socket_.Write(buffer, length);
    default:
      return 0;
  }
}

ssize_t QVEndPoint::WriteAndHandleBlock(const char* buffer, unsigned long length,
                                        QVYieldFunction yield, void* cookie) {
  switch (Type()) {
    case QVSocketTypeStream:
      return socket_.WriteAndHandleBlock(buffer, length, yield, cookie);
    case QVSocketTypeDatagram:
    case QVSocketTypeRaw:
      throw QVException("Socket type does not supported handling non-blocked write.", kSourceFile,
                        __LINE__, qvexceptiontype::noCore, 0);
    default:
      return 0;
  }
}

ssize_t QVEndPoint::Read(char* buffer, unsigned long length) {
  switch (Type()) {
    case QVSocketTypeDatagram:
    case QVSocketTypeRaw: {
      PeerAddress sender;
      return socket_.Read(&sender.address, buffer, length, 0);
    }
    case QVSocketTypeStream:
      return socket_.Read(buffer, length);
    default:
      return 0;
  }
}

ssize_t QVEndPoint::ReadAndHandleBlock(char* buffer, unsigned long length, QVYieldFunction yield,
                                       void* cookie) {
  switch (Type()) {
    case QVSocketTypeStream:
      return socket_.ReadAndHandleBlock(buffer, length, yield, cookie);
    case QVSocketTypeDatagram:
    case QVSocketTypeRaw:
      throw QVException("Socket type does not support handling non-blocked read.", kSourceFile,
                        __LINE__, qvexceptiontype::noCore, 0);
    default:
      return 0;
  }
}

void QVEndPoint::SetOption(_qvconnectionoption option) {
  int name = -1;
  switch (option) {
    case QVOptionReuseAddress: name = SO_REUSEADDR; break;
    case QVOptionKeepAlive: name = SO_KEEPALIVE; break;
    case QVOptionBroadcast: name = SO_BROADCAST; break;
    case QVOptionDebug: name = SO_DEBUG; break;
    case QVOptionDontRoute: name = SO_DONTROUTE; break;
    case QVOptionOOBInline: name = SO_OOBINLINE; break;
    case QVOptionReusePort: name = SO_REUSEPORT; break;
    // This system has no loopback-use option: ignored like unknown options.
    case QVOptionUseLoopback: return;
    case QVOptionCloseOnExec: socket_.SetCloseOnExec(); return;
    case QVOptionLinger: socket_.SetLinger(); return;
    case QVOptionReceiveSignals: socket_.ReceiveSignals(); return;
    case QVOptionDontReceiveSignals: socket_.DontReceiveSignals(); return;
    case QVOptionNonBlocking: socket_.SetNonBlocking(); return;
    default: return;
  }
  const int on = 1;
  socket_.SetOption(SOL_SOCKET, name, &on, sizeof on);
}

QVSocket QVEndPoint::GetSocket() const { return socket_; }

const QVIPAddress& QVEndPoint::GetAddress() const { return address_; }

_qvipprotocol QVEndPoint::GetProtocol() const { return socket_.GetProtocolType(); }

_qvtranportportocol QVEndPoint::GetTransport() const {
  return socket_.GetTransportProtocolType();
}

unsigned short QVEndPoint::GetPort() const {
  QVSocket socket(socket_);
  std::unique_ptr<QVIPAddress> local(socket.GetName());
  return local->GetPort();
}

void QVEndPoint::setPort(unsigned short port) {
  // Works on a copy of the local name; the end point itself stays as it is.
  std::unique_ptr<QVIPAddress> local(socket_.GetName());
  local->AddPort(port);
}

void QVEndPoint::Close() { socket_.Close(); }

bool QVEndPoint::HasDataToReadQ() { return socket_.HasDataToReadQ(); }
bool QVEndPoint::HasDataToReadQ(unsigned long microseconds) {
  return socket_.HasDataToReadQ(microseconds);
}
bool QVEndPoint::CanWriteDataQ() { return socket_.CanWriteDataQ(); }
bool QVEndPoint::CanWriteDataQ(unsigned long microseconds) {
  return socket_.CanWriteDataQ(microseconds);
}
bool QVEndPoint::HasConnectionQ() { return socket_.HasConnectionQ(); }
bool QVEndPoint::HasConnectionQ(unsigned long microseconds) {
  return socket_.HasConnectionQ(microseconds);
}

std::ostream& QVEndPoint::WriteEndPoint(std::ostream& os) const {
  os << "<QVEndPoint>" << "<Socket>";
  socket_.WriteSocket(os);
  os << "</Socket>" << "<Address>";
  address_.WriteAddress(os);
  os << "</Address>" << "</QVEndPoint>";
  return os;
}

std::ostream& operator<<(std::ostream& os, const QVEndPoint& endPoint) {
  return endPoint.WriteEndPoint(os);
}

// ---------------------------------------------------------------- end point set

void QVEndPointSet::add(QVEndPoint& endPoint) {
  endPoints_.emplace(endPoint.GetSocket(), endPoint);
}

void QVEndPointSet::remove(QVEndPoint& endPoint) { endPoints_.erase(endPoint.GetSocket()); }

void QVEndPointSet::clear() {
  sockets_.clear();
  endPoints_.clear();
}

bool QVEndPointSet::setQ(QVEndPoint& endPoint) {
  QVSocket socket = endPoint.GetSocket();
  return sockets_.setQ(socket);
}

void QVEndPointSet::fillSocketSet() {
  sockets_.clear();
  for (const auto& [socket, endPoint] : endPoints_) sockets_.add(socket);
}

bool QVEndPointSet::waitTillEndPointHasDataToRead(unsigned long microseconds) {
  fillSocketSet();
  return sockets_.waitTillSocketHasDataToRead(microseconds);
}

QVEndPoint& QVEndPointSet::waitTillNextEndPointHasDataToRead() {
  if (endPoints_.empty()) {
    throw QVException("End point set is empty: there is no end point to wait on.", kSourceFile,
                      __LINE__, qvexceptiontype::badArgument, 0);
  }
  fillSocketSet();
  const QVSocket ready = sockets_.waitTillNextSocketHasDataToRead();
  return endPoints_[ready];
}

}  // namespace Quorvane
