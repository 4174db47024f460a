// One "TCPIP" link: a data connection carrying the link's bytes and a message
// connection carrying out-of-band messages. Set-up and handshakes of the old
// model (two ports, a message-port exchange) and the new model (one port, a
// device header each way, optionally an identification line per connection)
// live in qvtcpipdevice.cpp; the data path, the writer thread and messages in
// qvtcpipdatapath.cpp.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <ostream>
#include <vector>

#include "device/qvdeviceworld.h"
#include "device/qvtcpipmessagestream.h"
#include "device/qvtcpipname.h"
#include "network/qvendpoint.h"
#include "utilities/qvthreadprimitives.h"
#include "utilities/qvuuid.h"
#include "utilities/qvversion.h"

namespace Quorvane {

class QVTCPIPWorld;

// Link option bits the device reads.
inline constexpr unsigned long QVUseUUIDTCPIPConnection = 0x4;
inline constexpr unsigned long QVUseAnyNetworkAddress = 0x8;
inline constexpr unsigned long QVUseIPV6 = 0x10000;
inline constexpr unsigned long QVUseNewTCPIPConnection = 0x100000;
inline constexpr unsigned long QVUseOldTCPIPConnection = 0x200000;

// Moves one buffer whole over the end point, calling the yield function
// while it waits: the bytes read (fewer when the stream ends first), or false
// when a write fails.
size_t QVTCPIPReadWhole(QVEndPoint& endPoint, char* buffer, size_t count, QVYieldFunction yield, void* cookie);
bool QVTCPIPWriteWhole(QVEndPoint& endPoint, const char* buffer, size_t count, QVYieldFunction yield, void* cookie);

// The 16-byte header both sides of the new model send after connecting: three
// version words and a payload size, in host byte order, then the payload.
struct QVTCPIPDeviceHeader {
  static constexpr int32_t kPayloadCap = 64 * 1024;  // a peer's size above this is refused

  QVTCPIPDeviceHeader() = default;
  // Of the version, without payload; the transfers call the yield function
  // while they wait.
  QVTCPIPDeviceHeader(const QVVersion& version, QVYieldFunction yield, void* cookie);

  // The four words, then the payload when its size is at least 1.
  void WriteHeader(QVEndPoint& endPoint) const;
  // The peer's header into this one; deadPeer when the stream ends first,
  // badPreamble for a payload size below 0 or above kPayloadCap.
  void ReadHeader(QVEndPoint& endPoint);
  // One buffer each, whole: a write that fails is socketCallFailed; a read
  // answers whether every byte came.
  void WriteHeaderElement(QVEndPoint& endPoint, const char* bytes, size_t count) const;
  bool ReadHeaderElement(QVEndPoint& endPoint, char* bytes, size_t count) const;

  int32_t major = 3, minor = 0, revision = 0, payloadSize = 0;
  std::unique_ptr<char[]> payload;
  QVYieldFunction yieldFunction = nullptr;
  void* yieldCookie = nullptr;
};

// Debug text: the version and the payload's size and address.
std::ostream& operator<<(std::ostream& os, const QVTCPIPDeviceHeader& header);

// Bytes the caller committed and the writer thread has not yet sent.
class QVTCPIPDeviceThreadCore {
 public:
  // Large enough that a bulk transfer costs the writer one send per 64 KiB,
  // not one per few kilobytes.
  static constexpr size_t kChunkSize = 65536;
  struct Chunk {
    char bytes[kChunkSize];
    size_t committed = 0;  // written by the caller
    size_t sent = 0;       // taken by the writer
  };

  // Chunks the writer has finished are kept, up to this many, for the caller
  // to write into again: a transfer that runs ahead of the network then
  // copies into memory already in use, not into pages the system must first
  // give and clear.
  static constexpr size_t kSparesKept = (size_t{64} << 20) / kChunkSize;

  // A chunk to write into next: one the writer finished, or a new one whose
  // bytes are not cleared first. Under lock.
  std::unique_ptr<Chunk> TakeChunk();
  // The front chunk is sent whole: it goes, kept for TakeChunk. Under lock.
  void RetireFront();

  std::mutex lock;                  // guards chunks, the counters and the flags below
  std::condition_variable changed;  // bytes committed, bytes sent, stop or failure
  std::deque<std::unique_ptr<Chunk>> chunks;
  std::vector<std::unique_ptr<Chunk>> spares;
  bool failed = false;   // a send failed: nothing more goes out
  bool sending = false;  // the writer is sending a range it took
  std::mutex sendLock;  // held by the writer while a send is in progress
  std::unique_ptr<QVThread> thread;
};

class QVTCPIPDevice : public QVDevice {
 public:
  // One read takes what a loopback connection delivers at once.
  static constexpr size_t kReadBufferSize = 65536;
  static constexpr unsigned long kSliceMicroseconds = 50000;
  static constexpr uint32_t kClosedCode = 9;

  QVTCPIPDevice(char* block, QVTCPIPWorld* world);
  QVTCPIPDevice(QVDeviceParameters* parameters, QVTCPIPWorld* world);
  ~QVTCPIPDevice() override;

  bool ConnectReady() override;
  void Connect() override;
  void Write(char* start, unsigned long count) override;
  void WriteWindow(char** start, unsigned long* size) override;
  void Read(char** start, unsigned long* size) override;
  void ReadComplete(char* start, unsigned long count) override;
  bool HasDataQ() override;
  void WriteMessage(unsigned long code, unsigned long argument) override;
  void ReadMessage(unsigned long* code, unsigned long* argument) override;
  bool HasMessageQ() override;
  void SetMessageHandler(QVDeviceMessageHandler handler, void* cookie) override;
  void GetMessageHandler(QVDeviceMessageHandler* handler, void** cookie) override;
  void SetYieldFunction(QVDeviceYieldFunction function, void* cookie) override;
  void GetYieldFunction(QVDeviceYieldFunction* function, void** cookie) override;
  long Type() override { return 4; }
  QVString Name() override;
  long NameSize() override { return static_cast<long>(Name().size()); }
  int GetFD() override { return data.GetSocket().GetRawSocket(); }
  bool HasConnectionQ() override;
  long Mode() override { return Side; }
  unsigned long Options() override { return reportedOptions; }
  unsigned long Modes() override;
  QVString ProtocolName() const override;
  long StreamCapacity() override { return 0; }
  QVString Id() const override;
  QVString GetCompileTime() const override;
  void notifyForClosedConnection() override {}
  void PrintDevice(std::ostream& os) const override;

  // Marks the device closed and shuts both connections; safe in signal context.
  void CloseEndPoints() noexcept;
  // For the signal thread: takes the next message that has wholly arrived,
  // never waiting; closed when the peer's close notice came instead, ended
  // when the connection ended without one (the peer died, or cut a record
  // short).
  enum class Incoming { none, message, closed, ended };
  Incoming ReadMessageWithoutWaiting(unsigned long* code, unsigned long* argument) noexcept;
  void WriteMessageWithoutWaiting(unsigned long code, unsigned long argument);
  int GetRawDataSocket() { return GetFD(); }
  QVTCPIPWorld* GetWorld() const { return world; }

  // Read by the signal thread and the signal handler.
  bool ConnectedQ() const { return connected.load(); }
  bool ClosedQ() const { return closed.load(); }
  QVEndPoint& MessageEndPoint() { return mesg; }
  int MessageDescriptor() const { return mesgFd.load(); }
  // The peer's device closed: mark not connected. After its close notice,
  // let a send in progress finish and put one zero byte on the data
  // connection. Not after a bare end: the peer is gone or going, and a byte
  // that reached its socket before the system closed it would turn the end
  // of its stream into a reset, so the reader here would see the link lost
  // or closed as the timing fell.
  void PeerClosed(bool noticeGiven) noexcept;
  // A delivered message: the handler hears it, terminate also ends the link.
  // The handler may destroy the device: nothing of it is touched afterwards.
  void Deliver(unsigned long code, unsigned long argument) noexcept;
  const QVNameAndPorts& ParsedName() const { return nap; }

 private:
  friend struct QVTCPIPHandshake;
  // Parses the name and picks the host; true when the name or location gave it.
  bool ChooseHost(_qvipprotocol& protocol);
  // The listening end points (the old model's two, the new model's one) and
  // the connecting ones (the new model's two, the old model's data end point).
  void CreateServer();
  void OldCreateServer();
  void CreateClient();
  void OldCreateClient();
  // The protocol of the host a listening device serves; refuses an IPv4
  // host asked for IPv6 with the type given.
  _qvipprotocol ServerProtocol(qvexceptiontype refusal);
  // The end point made listening on the port of the chosen host (any port when empty).
  void ListenOn(QVEndPoint& endPoint, _qvipprotocol protocol, const QVString& port);
  // The connecting side's peer address; a name without a data port is
  // refused with the type given.
  QVIPAddress ClientAddress(qvexceptiontype refusal, _qvipprotocol* protocol);
  void ConnectServer();
  void ConnectClient();
  void OldConnectServer();
  void OldConnectClient();
  // Returns once the message connection waits on listening; fails when the
  // peer of the data connection has gone first, or the yield function asks.
  void AwaitMessageConnection(QVEndPoint& listening, QVEndPoint& dataConnection);
  void Established();
  void StartWriter();
  void WriterLoop();
  void StopWriter() noexcept;
  bool SendWithoutWaiting();  // core->lock held
  // Waits (bounded) until the writer has sent every committed byte.
  void Drain() noexcept;
  void RequireCore(const char* what) const;
  // Reads exactly count bytes unless the stream ends first; answers the count.
  size_t ReadFull(QVEndPoint& endPoint, char* buffer, size_t count) {
    return QVTCPIPReadWhole(endPoint, buffer, count, &EndPointYield, this);
  }
  void WriteFull(QVEndPoint& endPoint, const char* buffer, size_t count);
  static bool EndPointYield(void* cookie, void* unused);
  [[noreturn]] static void Fail(const char* text, int line, qvexceptiontype type);

  std::atomic<bool> stop{false};
  QVTCPIPWorld* world;
  QVDeviceParameters parameters;
  QVString LinkName;
  QVString LinkHostName;
  QVNameAndPorts nap;
  long Side = 0;
  unsigned long reportedOptions = 0;
  QVEndPoint data;
  QVEndPoint mesg;
  QVTCPIPDeviceHeader peerHeader;
  std::atomic<bool> connected{false};
  std::atomic<bool> closed{true};
  std::atomic<bool> streamEnded{false};  // a read met the end of the data connection
  bool SndMsgPort = false;
  bool UseAnyAddr = false;
  bool accepted = false;
  bool oldModel = true;
  bool uuidModel = false;
  std::atomic<int> dataFd{-1};  // for shutting down from signal context
  std::atomic<int> mesgFd{-1};
  std::unique_ptr<QVTCPIPDeviceThreadCore> core;
  char readBuffer[kReadBufferSize];
  uint64_t BytesRead = 0, BytesWrote = 0;
  std::atomic<QVDeviceYieldFunction> yieldFunction{nullptr};
  std::atomic<void*> yieldCookie{nullptr};
  std::mutex messageLock;  // guards messages: a record goes whole to one reader
  QVTCPIPMessageStream messages;
  std::mutex handlerLock;  // handler and cookie change together
  QVDeviceMessageHandler messageHandler = nullptr;
  void* messageCookie = nullptr;
  QVUUID identity;
};

}  // namespace Quorvane
