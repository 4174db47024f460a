// An IP address with the socket bound or connected to it: what the devices and
// the link server hold when they talk over the network.
#pragma once

#include <map>
#include <ostream>

#include "network/qvipaddress.h"
#include "network/qvsocket.h"

namespace Quorvane {

enum _qvconnectionoption : int32_t {
  QVOptionReuseAddress = 0,
  QVOptionKeepAlive = 1,
  QVOptionBroadcast = 2,
  QVOptionDebug = 3,
  QVOptionDontRoute = 4,
  QVOptionOOBInline = 5,
  QVOptionReusePort = 6,
  QVOptionUseLoopback = 7,
  QVOptionCloseOnExec = 8,
  QVOptionLinger = 9,
  QVOptionReceiveSignals = 10,
  QVOptionDontReceiveSignals = 11,
  QVOptionNonBlocking = 12,
};

class QVEndPoint : public QVObject {
 public:
  QVEndPoint();
  QVEndPoint(const QVEndPoint& other);
  QVEndPoint(_qvipprotocol protocol, _qvtranportportocol transport, const QVIPAddress& address);
  QVEndPoint(QVSocket& socket, QVIPAddress& address);
  ~QVEndPoint() override = default;

  virtual QVEndPoint& operator=(const QVEndPoint& other);
  virtual void SetForListening();
  virtual QVEndPoint GetIncomingConnection();
  virtual QVEndPoint GetIncomingConnection(QVYieldFunction yield, void* cookie);
  virtual QVEndPoint GetIncomingConnection(double seconds);
  virtual QVEndPoint& GetIncomingAndDuplicate();
  virtual QVEndPoint& GetIncomingAndDuplicate(QVYieldFunction yield, void* cookie);
  virtual QVEndPoint& GetIncomingAndDuplicate(double seconds);
  virtual QVEndPoint Duplicate();
  virtual QVEndPoint& Duplicate(const QVEndPoint& other);
  virtual void Connect();
  virtual void Connect(QVYieldFunction yield, void* cookie);
  virtual ssize_t Write(const char* buffer, unsigned long length);
  virtual ssize_t WriteAndHandleBlock(const char* buffer, unsigned long length,
                                      QVYieldFunction yield, void* cookie);
  virtual ssize_t Read(char* buffer, unsigned long length);
  virtual ssize_t ReadAndHandleBlock(char* buffer, unsigned long length, QVYieldFunction yield,
                                     void* cookie);
  virtual void SetOption(_qvconnectionoption option);
  virtual QVSocket GetSocket() const;
  virtual const QVIPAddress& GetAddress() const;
  virtual _qvipprotocol GetProtocol() const;
  virtual _qvtranportportocol GetTransport() const;
  virtual unsigned short GetPort() const;
  virtual void setPort(unsigned short port);
  virtual void Close();
  virtual bool HasDataToReadQ();
  virtual bool HasDataToReadQ(unsigned long microseconds);
  virtual bool CanWriteDataQ();
  virtual bool CanWriteDataQ(unsigned long microseconds);
  virtual bool HasConnectionQ();
  virtual bool HasConnectionQ(unsigned long microseconds);
  virtual std::ostream& WriteEndPoint(std::ostream& os) const;

  bool operator==(const QVEndPoint& other) const;
  bool operator!=(const QVEndPoint& other) const { return !(*this == other); }
  bool operator<(const QVEndPoint& other) const;

 private:
  // How the next peer is waited for: blocking, with a yield function, or timed.
  struct Waiting {
    enum Kind { kBlocking, kYield, kTimed } kind;
    QVYieldFunction yield;
    void* cookie;
    double seconds;
  };
  QVEndPoint Incoming(const Waiting& waiting);
  QVEndPoint& IncomingAndDuplicate(const Waiting& waiting);
  QVSocket AcceptWith(const Waiting& waiting, QVAddress** peer);
  void ReceiveEmptyWith(const Waiting& waiting, QVAddress** from);
  _qvsockettype Type() const { return socket_.GetType(); }

  QVIPAddress address_;
  QVSocket socket_;
};

std::ostream& operator<<(std::ostream& os, const QVEndPoint& endPoint);

class QVEndPointSet : public QVObject {
 public:
  QVEndPointSet() = default;
  ~QVEndPointSet() override = default;

  void add(QVEndPoint& endPoint);
  void remove(QVEndPoint& endPoint);
  void clear();
  bool setQ(QVEndPoint& endPoint);
  void fillSocketSet();
  bool waitTillEndPointHasDataToRead(unsigned long microseconds);
  // Waits until an end point is readable and returns it. An empty set is
  // refused: it could never become ready.
  QVEndPoint& waitTillNextEndPointHasDataToRead();

  size_t size() const { return endPoints_.size(); }

 private:
  QVSocketSet sockets_;
  std::map<QVSocket, QVEndPoint, std::less<QVSocket>,
           QVStdAllocator<std::pair<const QVSocket, QVEndPoint>>>
      endPoints_;
};

}  // namespace Quorvane
