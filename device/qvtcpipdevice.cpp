// Construction, link names and the handshakes of the two wire models.
#include "device/qvtcpipdevice.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "device/qvtcpipworld.h"
#include "network/qvnetworkinspector.h"
#include "utilities/platform/qvstreampeer.h"
#include "utilities/qvexception.h"
#include "utilities/qvversion.h"

namespace Quorvane {

namespace {

constexpr char kSource[] = "device/qvtcpip";
constexpr unsigned long kListen = 2;
constexpr unsigned long kConnect = 4;
constexpr char kPreamble[] = "need_msg_port";
constexpr size_t kPreambleLength = sizeof kPreamble - 1;
constexpr size_t kAnswerLimit = 256;
// How long one look for the message connection waits: the slice the socket
// layer's accept gives the yield function.
constexpr unsigned long kAcceptSliceMicroseconds = 1000;

QVString Upper(QVString text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
  return text;
}

void SetOptions(QVEndPoint& endPoint, std::initializer_list<_qvconnectionoption> options) {
  for (_qvconnectionoption option : options) endPoint.SetOption(option);
  // Small packets go out at once: the link waits for their answers.
  const int on = 1;
  endPoint.GetSocket().SetOption(IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// The connections use the 8, 1, (0,) 9, (10,) 12 options: close-on-exec,
// keep-alive, reuse-address on connecting sides, linger, signals on a message
// connection, non-blocking.
void SetConnectionOptions(QVEndPoint& endPoint, bool connecting, bool messages) {
  SetOptions(endPoint, {QVOptionCloseOnExec, QVOptionKeepAlive});
  if (connecting) endPoint.SetOption(QVOptionReuseAddress);
  endPoint.SetOption(QVOptionLinger);
  if (messages) endPoint.SetOption(QVOptionReceiveSignals);
  endPoint.SetOption(QVOptionNonBlocking);
}

void Listen(QVEndPoint& endPoint) {
  endPoint.SetOption(QVOptionReuseAddress);
  try {
    endPoint.SetForListening();
  } catch (const QVException& e) {
    if (e.getType() != qvexceptiontype::addressInUse) throw;
    throw QVException(e.getWhat(), kSource, __LINE__, qvexceptiontype::nameInUse, e.getCode());
  }
}

unsigned short PortNumber(const QVString& text) {
  unsigned long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9' || value > 65535) break;
    value = value * 10 + static_cast<unsigned long>(c - '0');
  }
  return value > 65535 ? 0 : static_cast<unsigned short>(value);
}

QVString PortText(unsigned short port) { return std::to_string(port).c_str(); }

}  // namespace

void QVTCPIPDevice::Fail(const char* text, int line, qvexceptiontype type) {
  throw QVException(text, kSource, line, type, 0);
}

QVTCPIPDevice::QVTCPIPDevice(char* block, QVTCPIPWorld* owner) : world(owner), parameters(block) {
  if (parameters.Protocol.empty()) parameters.Protocol = QVTCPIPWorld::kProtocolName;
  parameters.Protocol = Upper(parameters.Protocol);
  if (parameters.Protocol != QVTCPIPWorld::kProtocolName) {
    Fail("Device does not support named protocol.", __LINE__, qvexceptiontype::unsupportedProtocol);
  }
  if (parameters.Mode == 0) parameters.Mode = parameters.Name.empty() ? kConnect : kListen;
  if ((parameters.Mode & (kListen | kConnect)) == 0) {
    Fail("This device suports only Listen and Connect modes.", __LINE__, qvexceptiontype::unsupportedMode);
  }
  const bool listening = (parameters.Mode & kListen) != 0;
  if ((parameters.Options & QVUseNewTCPIPConnection) != 0) {
    oldModel = false;
  } else if ((parameters.Options & QVUseUUIDTCPIPConnection) != 0) {
    if (listening) {
      Fail("Bad link option, cannot use the UUID connection model with a listening link.", __LINE__,
           qvexceptiontype::badArgument);
    }
    oldModel = false;
    uuidModel = true;
  }
  UseAnyAddr = (parameters.Options & QVUseAnyNetworkAddress) != 0;
  reportedOptions = oldModel ? 0 : QVUseNewTCPIPConnection;
  if (world != nullptr) world->StartInterfaceThread();
  // Any mode with the Connect bit and no Listen bit connects, in both models.
  Side = listening ? 1 : 0;
  if (listening) {
    if (oldModel) OldCreateServer();
    else CreateServer();
  } else if (oldModel) {
    OldCreateClient();
  } else {
    CreateClient();
  }
}

QVTCPIPDevice::QVTCPIPDevice(QVDeviceParameters* given, QVTCPIPWorld* owner) : world(owner) {
  if (given == nullptr || owner == nullptr) {
    Fail("Arguments cannot be NULL to TCPIP device constructor", __LINE__, qvexceptiontype::badArgument);
  }
  if (given->Protocol.empty()) given->Protocol = QVTCPIPWorld::kProtocolName;
  given->Protocol = Upper(given->Protocol);
  if (given->Protocol != QVTCPIPWorld::kProtocolName) {
    Fail("Device does not support named protocol.", __LINE__, qvexceptiontype::unsupportedProtocol);
  }
  if ((given->Mode & kListen) == 0) {
    Fail("This constructor for the TCPIP device only supports listening links.", __LINE__,
         qvexceptiontype::unsupportedMode);
  }
  oldModel = false;
  reportedOptions = QVUseUUIDTCPIPConnection;
  world->StartInterfaceThread();
  if (given->ExtraPointers.empty() || given->ExtraPointers[0] == nullptr) {
    Fail("Data EndPoint not contained in device parameters.", __LINE__, qvexceptiontype::badArgument);
  }
  if (given->ExtraPointers.size() < 2 || given->ExtraPointers[1] == nullptr) {
    Fail("Mesg EndPoint not contained in device parameters.", __LINE__, qvexceptiontype::badArgument);
  }
  data = *static_cast<QVEndPoint*>(given->ExtraPointers[0]);
  mesg = *static_cast<QVEndPoint*>(given->ExtraPointers[1]);
  accepted = true;
  LinkHostName = data.GetAddress().GetPresentationName();
  Side = 1;
}

QVString QVTCPIPDevice::ProtocolName() const { return QVTCPIPWorld::kProtocolName; }
unsigned long QVTCPIPDevice::Modes() { return QVTCPIPWorld::kModes; }
QVString QVTCPIPDevice::Id() const { return world->Id(); }
QVString QVTCPIPDevice::GetCompileTime() const { return world->GetCompileTime(); }

bool QVTCPIPDevice::ChooseHost(_qvipprotocol& protocol) {
  nap = QVNameAndPorts::Parse(parameters.Name, parameters.Location);
  const bool given = !nap.Hostname.empty();
  if (!given) {
    QVInterfaceContainer* container = world->GetInterfaceContainer();
    std::lock_guard<std::mutex> hold(world->GetInterfaceThreadMutex());
    QVNetworkInspector inspector;
    auto [host, chosen] = inspector.getLocalHostnameAndProtocol(*container, (parameters.Options & QVUseIPV6) != 0);
    nap.Hostname = host;
    protocol = chosen;
  } else {
    protocol = GetNameProtocol(nap.Hostname);
  }
  return given;
}

_qvipprotocol QVTCPIPDevice::ServerProtocol(qvexceptiontype refusal) {
  _qvipprotocol protocol = QVIPV4;
  if (ChooseHost(protocol) && protocol == QVIPV4 && (parameters.Options & QVUseIPV6) != 0) {
    Fail("IPV6 link requested but linkname contains IPV4 hostname.", __LINE__, refusal);
  }
  if (protocol == QVIPV6) reportedOptions |= QVUseIPV6;
  return protocol;
}

void QVTCPIPDevice::ListenOn(QVEndPoint& endPoint, _qvipprotocol protocol, const QVString& port) {
  const QVIPAddress address = UseAnyAddr ? QVIPAddress::initForAnyAddressWithPort(PortNumber(port), protocol)
                                         : QVIPAddress(nap.Hostname, protocol, PortNumber(port));
  endPoint = QVEndPoint(protocol, QVStream, address);
  Listen(endPoint);
}

void QVTCPIPDevice::CreateServer() {
  const _qvipprotocol protocol = ServerProtocol(qvexceptiontype::badArgument);
  ListenOn(data, protocol, nap.DataPort);
  LinkHostName = nap.Hostname;
}

void QVTCPIPDevice::OldCreateServer() {
  const _qvipprotocol protocol = ServerProtocol(qvexceptiontype::badLinkName);
  ListenOn(data, protocol, nap.DataPort);
  ListenOn(mesg, protocol, nap.MesgPort);
  LinkHostName = nap.Hostname;
}

QVIPAddress QVTCPIPDevice::ClientAddress(qvexceptiontype refusal, _qvipprotocol* protocol) {
  *protocol = QVIPV4;
  ChooseHost(*protocol);
  if (nap.DataPort.empty()) Fail("Link name does not contain the data port number.", __LINE__, refusal);
  return QVIPAddress(nap.Hostname, *protocol, PortNumber(nap.DataPort));
}

void QVTCPIPDevice::CreateClient() {
  _qvipprotocol protocol = QVIPV4;
  const QVIPAddress address = ClientAddress(qvexceptiontype::badLinkName, &protocol);
  data = QVEndPoint(protocol, QVStream, address);
  mesg = QVEndPoint(protocol, QVStream, address);
  LinkHostName = nap.Hostname;
}

void QVTCPIPDevice::OldCreateClient() {
  _qvipprotocol protocol = QVIPV4;
  const QVIPAddress address = ClientAddress(qvexceptiontype::badArgument, &protocol);
  data = QVEndPoint(protocol, QVStream, address);
  LinkHostName = nap.Hostname;
}

QVString QVTCPIPDevice::Name() {
  if (!LinkName.empty()) return LinkName;
  if (Side == 1) {
    // A listener is known by the ports it listens on, also where its name
    // left them to the system (no port, or port 0).
    if (PortNumber(nap.DataPort) == 0) nap.DataPort = PortText(data.GetPort());
    if (oldModel && PortNumber(nap.MesgPort) == 0) nap.MesgPort = PortText(mesg.GetPort());
  }
  const QVString name = QVTCPIPLinkName(nap.DataPort, nap.MesgPort, LinkHostName);
  // An old-model connector told only the data port learns the message port
  // in the handshake: until then it is known by the data port alone, and it
  // is named by both once it knows.
  if (!(oldModel && Side == 0 && nap.MesgPort.empty())) LinkName = name;
  return name;
}

bool QVTCPIPDevice::EndPointYield(void* cookie, void*) {
  auto* device = static_cast<QVTCPIPDevice*>(cookie);
  if (device->stop.load()) return true;
  return QVCallYielder(device->yieldFunction.load(), device->yieldCookie.load(), nullptr) != 0;
}

void QVTCPIPDevice::WriteFull(QVEndPoint& endPoint, const char* buffer, size_t count) {
  if (!QVTCPIPWriteWhole(endPoint, buffer, count, &EndPointYield, this)) {
    Fail("Write on the connection failed.", __LINE__, qvexceptiontype::socketCallFailed);
  }
}

void QVTCPIPDevice::Connect() {
  if (oldModel) {
    if (Side == 1) {
      OldConnectServer();
    } else {
      OldConnectClient();
    }
  } else if (Side == 1) {
    ConnectServer();
  } else {
    ConnectClient();
  }
  Established();
}

struct QVTCPIPHandshake {
  // Ours out, then the peer's in, on the data connection.
  static void ExchangeHeaders(QVTCPIPDevice& device) {
    const QVTCPIPDeviceHeader own(QVTCPIPWorld::version, &QVTCPIPDevice::EndPointYield, &device);
    own.WriteHeader(device.data);
    device.peerHeader.yieldFunction = &QVTCPIPDevice::EndPointYield;
    device.peerHeader.yieldCookie = &device;
    device.peerHeader.ReadHeader(device.data);
  }
  static void SendIdentity(QVTCPIPDevice& device, QVEndPoint& endPoint, const char* kind) {
    const QVString line = "id=" + Upper(device.identity.stringRepresentation()) + " connection=" + kind;
    device.WriteFull(endPoint, line.data(), line.size());
  }
};

void QVTCPIPDevice::ConnectServer() {
  if (accepted) {
    // Handed in by the link server: messages must raise signals as ours do.
    SetConnectionOptions(data, false, false);
    SetConnectionOptions(mesg, false, true);
  } else {
    QVEndPoint dataConnection = data.GetIncomingConnection(&EndPointYield, this);
    SetConnectionOptions(dataConnection, false, false);
    AwaitMessageConnection(data, dataConnection);
    mesg = data.GetIncomingConnection();
    SetConnectionOptions(mesg, false, true);
    data.Close();
    data = dataConnection;
  }
  QVTCPIPHandshake::ExchangeHeaders(*this);
}

void QVTCPIPDevice::ConnectClient() {
  data.Connect(&EndPointYield, this);
  SetConnectionOptions(data, true, false);
  if (uuidModel) QVTCPIPHandshake::SendIdentity(*this, data, "data");
  mesg.Connect(&EndPointYield, this);
  SetConnectionOptions(mesg, true, true);
  if (uuidModel) QVTCPIPHandshake::SendIdentity(*this, mesg, "mesg");
  QVTCPIPHandshake::ExchangeHeaders(*this);
}

void QVTCPIPDevice::OldConnectServer() {
  SndMsgPort = false;
  data.GetIncomingAndDuplicate(&EndPointYield, this);
  SetConnectionOptions(data, false, false);
  char preamble[kPreambleLength + 2] = {};
  const size_t got = ReadFull(data, preamble, kPreambleLength + 1);
  if (got < kPreambleLength + 1) {
    Fail("Read 0 bytes while attempting to read TCPIP preamble.", __LINE__, qvexceptiontype::deadPeer);
  }
  const QVString text(preamble, strnlen(preamble, kPreambleLength + 1));
  if (text.size() < kPreambleLength || text.find(kPreamble) == QVString::npos) {
    Fail("TCPIP Preamble does not contain valid value.", __LINE__, qvexceptiontype::badPreamble);
  }
  QVString answer;
  if (text.find('Y') != QVString::npos) {
    SndMsgPort = true;
    answer = "msg_port=" + PortText(mesg.GetPort());
  } else {
    answer = "OK";
  }
  answer += "Y";
  WriteFull(data, answer.data(), answer.size());
  AwaitMessageConnection(mesg, data);
  mesg.GetIncomingAndDuplicate();
  SetConnectionOptions(mesg, false, true);
}

// A connector that dies once its data connection is made never makes its
// message connection: between short looks for that connection, the data
// connection's end is watched (its peer's shutdown is the connector's death
// or close), and the yield function asked as the socket layer's accept asks
// it. A connection already waiting is taken before the peer is looked at.
void QVTCPIPDevice::AwaitMessageConnection(QVEndPoint& listening, QVEndPoint& dataConnection) {
  const int peer = dataConnection.GetSocket().GetRawSocket();
  while (!listening.HasConnectionQ(kAcceptSliceMicroseconds)) {
    if (platform::StreamPeerGoneQ(peer)) {
      Fail("The peer closed its data connection before it made its message connection.", __LINE__,
           qvexceptiontype::deadPeer);
    }
    if (EndPointYield(this, nullptr)) Fail("Backing out of Accept", __LINE__, qvexceptiontype::backOut);
  }
}

void QVTCPIPDevice::OldConnectClient() {
  data.Connect(&EndPointYield, this);
  SetConnectionOptions(data, true, false);
  const QVString request = QVString(kPreamble) + (nap.MesgPort.empty() ? "Y" : "N");
  WriteFull(data, request.data(), request.size());
  QVString answer;
  for (;;) {
    char c = 0;
    if (ReadFull(data, &c, 1) != 1) {
      Fail("Unable to read response character.", __LINE__, qvexceptiontype::wrapped);
    }
    answer += c;
    if (c == 'Y') break;
    if (answer.size() >= kAnswerLimit) {
      Fail("TCPIP preamble answer is too long.", __LINE__, qvexceptiontype::wrapped);
    }
  }
  if (nap.MesgPort.empty()) {
    const size_t equals = answer.find('=');
    const size_t start = equals == QVString::npos ? 0 : equals + 1;
    nap.MesgPort = answer.substr(start, answer.size() - 1 - std::min(start, answer.size() - 1));
  }
  const QVIPAddress address(data.GetAddress().GetPresentationName(), data.GetProtocol(), PortNumber(nap.MesgPort));
  mesg = QVEndPoint(data.GetProtocol(), data.GetTransport(), address);
  mesg.Connect(&EndPointYield, this);
  SetConnectionOptions(mesg, true, true);
}

void QVTCPIPDevice::Established() {
  // Programs may rely on a connected link making the process ignore SIGPIPE;
  // the device's own sends never raise it (MSG_NOSIGNAL) either way.
  ::signal(SIGPIPE, SIG_IGN);
  dataFd.store(data.GetSocket().GetRawSocket());
  mesgFd.store(mesg.GetSocket().GetRawSocket());
  connected.store(true);
  closed.store(false);
  StartWriter();
}

bool QVTCPIPDevice::ConnectReady() {
  if (connected.load()) return data.HasConnectionQ();
  if (Side == 1 && closed.load()) return data.HasConnectionQ();
  return true;
}

bool QVTCPIPDevice::HasConnectionQ() {
  if (connected.load()) return !closed.load();
  return Side == 0 && !closed.load();
}

void QVTCPIPDevice::PrintDevice(std::ostream& os) const {
  os << "<QVTCPIPDevice><World>" << static_cast<const void*>(world) << "</World><DeviceParameters>";
  parameters.PrintParameters(os);
  os << "</DeviceParameters><LinkName>" << LinkName << "</LinkName><LinkHostName>" << LinkHostName
     << "</LinkHostName><NAP>" << nap << "</NAP><Side>" << Side << "</Side><Data>" << data << "</Data><Mesg>" << mesg
     << "</Mesg><Connected>" << (connected.load() ? 1 : 0) << "</Connected><Closed>" << (closed.load() ? 1 : 0)
     << "</Closed><SndMsgPort>" << (SndMsgPort ? 1 : 0) << "</SndMsgPort><UseAnyAddr>" << (UseAnyAddr ? 1 : 0)
     << "</UseAnyAddr><Tcore>" << static_cast<const void*>(core.get()) << "</Tcore><BytesRead>" << BytesRead
     << "</BytesRead><BytesWrote>" << BytesWrote << "</BytesWrote><YieldCookie>" << yieldCookie.load()
     << "</YieldCookie><YieldFunction>" << (yieldFunction.load() != nullptr ? 1 : 0) << "</YieldFunction><MsgCookie>"
     << messageCookie << "</MsgCookie><MsgHandler>" << (messageHandler != nullptr ? 1 : 0)
     << "</MsgHandler></QVTCPIPDevice>";
}

}  // namespace Quorvane
