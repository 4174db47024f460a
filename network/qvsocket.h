// Handles on socket descriptors: every failing call becomes an exception, and
// waits come in three styles (blocking, short polls with a yield function that
// may back out, and a time-out in seconds). Copies of a handle share one core.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <ostream>

#include "network/qvipaddress.h"
#include "utilities/qvpollset.h"
#include "utilities/qvsmartpointer.h"

namespace Quorvane {

enum _qvsockettype : int32_t {
  QVSocketTypeNone = 0,
  QVSocketTypeStream = 1,
  QVSocketTypeDatagram = 2,
  QVSocketTypeRaw = 3,
};

enum _qvshutdown : int32_t { QVShutdownRead = 0, QVShutdownWrite = 1, QVShutdownBoth = 2 };

// Called as yield(cookie, null) between short polls; true means back out.
using QVYieldFunction = bool (*)(void* cookie, void* second);

class QVSocketCore : public QVObject {
 public:
  QVSocketCore() = default;
  QVSocketCore(int fd, _qvsockettype type, int family, int protocol);
  // Makes a new socket; a failing call leaves fd -1.
  QVSocketCore(int family, int type, int protocol);
  QVSocketCore(int fd, int family, int type, int protocol);
  QVSocketCore(const QVSocketCore&) = delete;
  QVSocketCore& operator=(const QVSocketCore&) = delete;
  ~QVSocketCore() override;

  static _qvipprotocol convertToIPProtocol(int family);
  static _qvtranportportocol convertToTransportProtocol(int protocol);
  static _qvsockettype convertToSocketType(int type);

  int32_t fd = -1;
  _qvsockettype socketType = QVSocketTypeRaw;
  _qvipprotocol ipProtocol = QVIPV6;
  _qvtranportportocol transport = QVStream;
  int32_t family = 0;
  int32_t protocol = 0;
  bool closed = true;

 private:
  void Describe(int fd, _qvsockettype type, int family, int protocol);
};

class QVSocket : public QVObject {
 public:
  QVSocket();
  QVSocket(const QVSocket& other) = default;
  QVSocket(int fd, int family, _qvsockettype type, int protocol);
  QVSocket(int family, int type, int protocol);
  QVSocket(int fd, int family, int type, int protocol);
  QVSocket& operator=(const QVSocket& other) = default;
  ~QVSocket() override = default;

  int GetRawSocket() const;
  _qvsockettype GetType() const;
  _qvipprotocol GetProtocolType() const;
  _qvtranportportocol GetTransportProtocolType() const;

  int Bind(const QVAddress& address);
  int Bind(const QVAddress* address);
  void Listen(int backlog);
  QVSocket Accept(QVAddress** peer);
  QVSocket Accept(QVAddress** peer, QVYieldFunction yield, void* cookie);
  QVSocket Accept(QVAddress** peer, double seconds);
  void Connect(const QVAddress& address);
  void Connect(const QVAddress& address, QVYieldFunction yield, void* cookie);
  void Close() noexcept;
  void Shutdown(_qvshutdown how);
  void SetNonBlocking();
  int SetCloseOnExec();
  void SetLinger() {}
  void ReceiveSignals();
  void DontReceiveSignals();
  void SetOption(int level, int name, const void* value, socklen_t length);
  void GetOption(int level, int name, void* value, socklen_t* length);
  // The local address; the caller owns it.
  QVIPAddress* GetName();
  QVSocket Duplicate();
  QVSocket& Duplicate(const QVSocket& other);

  ssize_t Read(char* buffer, size_t length);
  ssize_t Read(QVAddress** from, char* buffer, size_t length, int flags);
  ssize_t Read(QVAddress** from, char* buffer, size_t length, int flags, QVYieldFunction yield,
               void* cookie);
  ssize_t Read(QVAddress** from, char* buffer, size_t length, double seconds);
  ssize_t Read(msghdr* message, int flags);
  ssize_t ReadAndHandleBlock(char* buffer, size_t length, QVYieldFunction yield, void* cookie);
  ssize_t Write(const char* buffer, size_t length);
  ssize_t Write(const QVAddress& to, const char* buffer, size_t length, int flags);
  ssize_t Write(const QVAddress* to, const char* buffer, size_t length, int flags);
  ssize_t Write(const msghdr* message, int flags);
  ssize_t WriteAndHandleBlock(const char* buffer, size_t length, QVYieldFunction yield,
                              void* cookie);

  bool HasDataToReadQ();
  bool HasDataToReadQ(unsigned long microseconds);
  bool CanWriteDataQ();
  bool CanWriteDataQ(unsigned long microseconds);
  bool HasConnectionQ() { return HasDataToReadQ(); }
  bool HasConnectionQ(unsigned long microseconds) { return HasDataToReadQ(microseconds); }

  std::ostream& WriteSocket(std::ostream& os) const;

  bool operator==(const QVSocket& other) const;
  bool operator!=(const QVSocket& other) const { return !(*this == other); }
  bool operator<(const QVSocket& other) const;

  bool HasCoreQ() const { return static_cast<bool>(core_); }

 private:
  QVSocketCore& Core() const;        // core check
  QVSocketCore& OpenCore() const;    // core and open checks
  // Core, kind (stream or not; type 30 with message otherwise) and open checks.
  QVSocketCore& KindCore(bool stream, const char* message) const;
  QVSocket AcceptReady(QVAddress** peer);
  // The shared step of the blocked and the timed stream reads.
  template <typename Wait>
  ssize_t ReadStream(char* buffer, size_t length, Wait wait);

  QVSmartPointer<QVSocketCore> core_;
};

std::ostream& operator<<(std::ostream& os, const QVSocket& socket);

class QVSocketSet : public QVObject {
 public:
  QVSocketSet() = default;
  ~QVSocketSet() override = default;

  void add(const QVSocket& socket);
  void remove(const QVSocket& socket);
  void clear();
  bool setQ(QVSocket& socket);
  int getLargestRawSocket() const { return largest_; }
  void fillPollSet();
  bool waitTillSocketHasDataToRead(unsigned long microseconds);
  // Waits until a socket is readable and returns the lowest such one. An
  // empty set is refused: it could never become ready.
  QVSocket waitTillNextSocketHasDataToRead();

 private:
  QVPollSet pollSet_;
  int32_t largest_ = -1;
  std::map<int, QVSocket, std::less<int>, QVStdAllocator<std::pair<const int, QVSocket>>> sockets_;
};

}  // namespace Quorvane
