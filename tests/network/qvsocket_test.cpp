// Sockets and end points over the loopback interfaces: real listening,
// accepting, connecting, reading and writing, the three waiting styles, and
// the failures of misuse.
#include "network/qvsocket.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "network/qvendpoint.h"
#include "network/qvnettest.h"
#include "support/qvtest.h"
#include "utilities/qvexception.h"

namespace {

using qvnettest::Str;
using qvnettest::Thrown;
using Quorvane::QVAddress;
using Quorvane::QVEndPoint;
using Quorvane::QVEndPointSet;
using Quorvane::QVException;
using Quorvane::QVIPAddress;
using Quorvane::QVSocket;
using Quorvane::QVSocketSet;
using Quorvane::QVString;
using Quorvane::qvexceptiontype;
using Quorvane::_qvipprotocol;

void ExpectThrown(QVException e, qvexceptiontype type, const char* message) {
  EXPECT_EQ(e.getType(), type) << message;
  EXPECT_EQ(Str(e.getWhat()), message);
}

// Yield functions: one that always backs out, one that counts its calls.
bool BackOut(void*, void*) { return true; }
bool CountCalls(void* cookie, void* second) {
  ++*static_cast<int*>(cookie);
  return second != nullptr;
}

bool HasIPV6Loopback() {
  const int fd = ::socket(AF_INET6, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_addr = in6addr_loopback;
  const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}

struct Family {
  _qvipprotocol protocol;
  const char* loopback;
};

// A listener on the loopback address of one family, and a connected pair.
class LoopbackPair : public testing::TestWithParam<Family> {
 protected:
  void SetUp() override {
    if (GetParam().protocol == Quorvane::QVIPV6 && !HasIPV6Loopback()) {
      GTEST_SKIP() << "no IPv6 loopback";
    }
    listener_ = std::make_unique<QVEndPoint>(
        GetParam().protocol, Quorvane::QVStream,
        QVIPAddress(GetParam().loopback, GetParam().protocol, static_cast<unsigned short>(0)));
    listener_->SetForListening();
    port_ = listener_->GetPort();
  }

  QVIPAddress Target() const {
    return QVIPAddress(GetParam().loopback, GetParam().protocol, port_);
  }

  // A connected client and the listener's end of it.
  std::pair<QVEndPoint, QVEndPoint> Connected() {
    QVEndPoint client(GetParam().protocol, Quorvane::QVStream, Target());
    client.Connect();
    QVEndPoint server = listener_->GetIncomingConnection(5.0);
    return {client, server};
  }

  std::unique_ptr<QVEndPoint> listener_;
  unsigned short port_ = 0;
};

TEST_P(LoopbackPair, ListeningOnPortZeroGivesARealPort) {
  EXPECT_NE(port_, 0);
  std::unique_ptr<QVIPAddress> local(listener_->GetSocket().GetName());
  EXPECT_EQ(local->GetPort(), port_);
  EXPECT_EQ(Str(local->GetPresentationName()), GetParam().loopback);
  EXPECT_EQ(listener_->GetProtocol(), GetParam().protocol);
  EXPECT_EQ(listener_->GetTransport(), Quorvane::QVStream);
}

TEST_P(LoopbackPair, AcceptConnectReadWrite) {
  auto connected = Connected();
  QVEndPoint& client = connected.first;
  QVEndPoint& server = connected.second;
  EXPECT_TRUE(server.GetAddress() == Target());
  std::unique_ptr<QVIPAddress> clientName(client.GetSocket().GetName());
  EXPECT_EQ(server.GetAddress().GetPort(), clientName->GetPort());

  const std::string message = "hello over the loopback";
  EXPECT_EQ(client.Write(message.data(), message.size()), static_cast<ssize_t>(message.size()));
  std::string got(message.size(), '\0');
  size_t have = 0;
  while (have < got.size()) {
    const ssize_t n = server.ReadAndHandleBlock(got.data() + have, got.size() - have, nullptr, nullptr);
    ASSERT_GT(n, 0);
    have += static_cast<size_t>(n);
  }
  EXPECT_EQ(got, message);

  EXPECT_EQ(server.WriteAndHandleBlock("ok", 2, BackOut, nullptr), 2);  // writable at once
  char reply[2];
  int calls = 0;
  QVSocket socket = client.GetSocket();
  EXPECT_EQ(socket.Read(nullptr, reply, 2, 0, CountCalls, &calls), 2);
  EXPECT_EQ(std::string(reply, 2), "ok");

  // The listener accepts again.
  auto second = Connected();
  EXPECT_TRUE(second.second.GetAddress() == Target());

  // End of stream: the blocked read returns 0.
  client.Close();
  char byte;
  EXPECT_EQ(server.ReadAndHandleBlock(&byte, 1, nullptr, nullptr), 0);
}

// Writing to a peer that has gone reports EPIPE instead of raising SIGPIPE,
// whose default action would end the whole program.
TEST_P(LoopbackPair, WriteToAClosedPeerFailsWithoutASignal) {
  auto connected = Connected();
  connected.second.Close();
  const std::string block(64 * 1024, 'x');
  ssize_t n = 0;
  errno = 0;
  ASSERT_TRUE(qvtest::WaitUntil([&] {
    n = connected.first.Write(block.data(), block.size());
    return n < 0;
  }));
  EXPECT_EQ(errno, EPIPE);
}

TEST_P(LoopbackPair, ReadyDataNeverCallsTheYieldFunction) {
  auto connected = Connected();
  QVEndPoint& client = connected.first;
  QVEndPoint& server = connected.second;
  ASSERT_EQ(client.Write("x", 1), 1);
  ASSERT_TRUE(server.HasDataToReadQ(5000000));
  int calls = 0;
  char byte;
  EXPECT_EQ(server.ReadAndHandleBlock(&byte, 1, CountCalls, &calls), 1);
  EXPECT_EQ(calls, 0);
}

TEST_P(LoopbackPair, YieldFunctionsBackOut) {
  QVSocket listening = listener_->GetSocket();
  ExpectThrown(Thrown([&] { listening.Accept(nullptr, BackOut, nullptr); }),
               qvexceptiontype::backOut, "Backing out of Accept");
  ExpectThrown(Thrown([&] { listener_->GetIncomingConnection(BackOut, nullptr); }),
               qvexceptiontype::backOut, "Backing out of Accept");
  ExpectThrown(Thrown([&] { listening.Accept(nullptr, 0.0); }), qvexceptiontype::backOut,
               "Backing out of Accept");

  auto connected = Connected();
  QVEndPoint& client = connected.first;
  QVEndPoint& server = connected.second;
  QVSocket reading = server.GetSocket();
  char buffer[16];
  ExpectThrown(Thrown([&] { reading.Read(nullptr, buffer, sizeof buffer, 0, BackOut, nullptr); }),
               qvexceptiontype::backOut, "Backing out of Read.");
  ExpectThrown(Thrown([&] { server.ReadAndHandleBlock(buffer, sizeof buffer, BackOut, nullptr); }),
               qvexceptiontype::backOut, "Backing out of Read.");
  ExpectThrown(Thrown([&] { reading.Read(nullptr, buffer, sizeof buffer, 0.01); }),
               qvexceptiontype::backOut, "Backing out of Read.");

  // Fill the connection until nothing more fits, then the blocked write backs out.
  QVSocket writing = client.GetSocket();
  writing.SetNonBlocking();
  std::vector<char> chunk(65536, 'z');
  while (writing.Write(chunk.data(), chunk.size()) > 0) {
  }
  ASSERT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK);
  ExpectThrown(Thrown([&] { client.WriteAndHandleBlock("more", 4, BackOut, nullptr); }),
               qvexceptiontype::backOut, "Backing out of Write.");
}

TEST_P(LoopbackPair, ConnectBacksOutWhileTheHandshakeWaits) {
  // A listener whose queue is full leaves further handshakes pending.
  QVSocket full(PlatformFamilyOfProtocol(GetParam().protocol), SOCK_STREAM, 0);
  full.Bind(QVIPAddress(GetParam().loopback, GetParam().protocol, static_cast<unsigned short>(0)));
  full.Listen(0);
  std::unique_ptr<QVIPAddress> where(full.GetName());
  std::vector<QVSocket> queued;
  bool backedOut = false;
  for (int i = 0; i < 8 && !backedOut; ++i) {
    QVSocket client(PlatformFamilyOfProtocol(GetParam().protocol), SOCK_STREAM, 0);
    queued.push_back(client);
    try {
      client.Connect(*where, BackOut, nullptr);
    } catch (const QVException& e) {
      ExpectThrown(e, qvexceptiontype::backOut, "Backing out of Connect.");
      backedOut = true;
    }
  }
  EXPECT_TRUE(backedOut);
  // The socket stays non-blocking after the yield form.
  EXPECT_NE(fcntl(queued.back().GetRawSocket(), F_GETFL) & O_NONBLOCK, 0);
}

TEST_P(LoopbackPair, RefusedConnectCarriesTheSocketError) {
  // A bound port that does not listen refuses connections.
  QVSocket closedPort(PlatformFamilyOfProtocol(GetParam().protocol), SOCK_STREAM, 0);
  closedPort.Bind(QVIPAddress(GetParam().loopback, GetParam().protocol, static_cast<unsigned short>(0)));
  std::unique_ptr<QVIPAddress> target(closedPort.GetName());

  QVEndPoint blocking(GetParam().protocol, Quorvane::QVStream, *target);
  QVException plain = Thrown([&] { blocking.Connect(); });
  ExpectThrown(plain, qvexceptiontype::socketCallFailed, "Connect error.");
  EXPECT_EQ(plain.getCode(), ECONNREFUSED);

  QVEndPoint polled(GetParam().protocol, Quorvane::QVStream, *target);
  QVException viaPoll = Thrown([&] { polled.Connect(nullptr, nullptr); });
  ExpectThrown(viaPoll, qvexceptiontype::socketCallFailed, "Connect error.");
  EXPECT_EQ(viaPoll.getCode(), ECONNREFUSED);
}

TEST_P(LoopbackPair, PortInUse) {
  QVEndPoint second(GetParam().protocol, Quorvane::QVStream, Target());
  QVException e = Thrown([&] { second.SetForListening(); });
  ExpectThrown(e, qvexceptiontype::addressInUse, "Bind error.");
  EXPECT_EQ(e.getCode(), 0);
}

TEST_P(LoopbackPair, AcceptedSocketsKeepTheListenersModes) {
  QVSocket listening = listener_->GetSocket();
  listening.SetNonBlocking();
  QVEndPoint client(GetParam().protocol, Quorvane::QVStream, Target());
  client.Connect();
  ASSERT_TRUE(listening.HasConnectionQ(5000000));
  QVSocket accepted = listening.Accept(nullptr);
  EXPECT_NE(fcntl(accepted.GetRawSocket(), F_GETFL) & O_NONBLOCK, 0);
}

TEST_P(LoopbackPair, IncomingAndDuplicateTurnsTheListenerIntoTheConnection) {
  QVEndPoint client(GetParam().protocol, Quorvane::QVStream, Target());
  client.Connect();
  QVEndPoint& same = listener_->GetIncomingAndDuplicate(5.0);
  EXPECT_EQ(&same, listener_.get());
  ASSERT_EQ(client.Write("dup", 3), 3);
  char got[3];
  ASSERT_EQ(listener_->ReadAndHandleBlock(got, 3, nullptr, nullptr), 3);
  EXPECT_EQ(std::string(got, 3), "dup");
  EXPECT_EQ(Thrown([&] { listener_->GetIncomingAndDuplicate(); }).getType(),
            qvexceptiontype::socketCallFailed);
}

TEST_P(LoopbackPair, DuplicatesShareTheConnection) {
  auto connected = Connected();
  QVEndPoint& client = connected.first;
  QVEndPoint& server = connected.second;
  QVEndPoint copy = server.Duplicate();
  EXPECT_NE(copy.GetSocket().GetRawSocket(), server.GetSocket().GetRawSocket());
  server.Close();
  ASSERT_EQ(client.Write("k", 1), 1);
  char byte;
  EXPECT_EQ(copy.ReadAndHandleBlock(&byte, 1, nullptr, nullptr), 1);
}

INSTANTIATE_TEST_SUITE_P(Loopback, LoopbackPair,
                         testing::Values(Family{Quorvane::QVIPV4, "127.0.0.1"},
                                         Family{Quorvane::QVIPV6, "::1"}),
                         [](const testing::TestParamInfo<Family>& p) {
                           return p.param.protocol == Quorvane::QVIPV4 ? std::string("IPv4")
                                                                          : std::string("IPv6");
                         });

// ------------------------------------------------------------------ misuse

TEST(SocketMisuse, DatagramAndMessageForms) {
  QVEndPoint udp(Quorvane::QVIPV4, Quorvane::QVDatagram,
                 QVIPAddress("127.0.0.1", static_cast<unsigned short>(0)));
  QVSocket socket = udp.GetSocket();
  char buffer[4];
  ExpectThrown(Thrown([&] { socket.Read(buffer, sizeof buffer); }), qvexceptiontype::wrongSocketKind,
               "Socket is not a stream socket, address required for Read().");
  ExpectThrown(Thrown([&] { socket.Write("x", 1); }), qvexceptiontype::wrongSocketKind,
               "Socket is not a stream socket, address required for Write().");
  ExpectThrown(Thrown([&] { udp.WriteAndHandleBlock("x", 1, nullptr, nullptr); }),
               qvexceptiontype::noCore, "Socket type does not supported handling non-blocked write.");
  ExpectThrown(Thrown([&] { udp.ReadAndHandleBlock(buffer, 1, nullptr, nullptr); }),
               qvexceptiontype::noCore, "Socket type does not support handling non-blocked read.");
  ExpectThrown(Thrown([&] { udp.GetIncomingConnection(0.01); }), qvexceptiontype::wrongSocketKind,
               "Socket is not a stream socket, address required for Read().");
  socket.Close();
  // The kind is checked before the open state.
  ExpectThrown(Thrown([&] { socket.Read(buffer, sizeof buffer); }), qvexceptiontype::wrongSocketKind,
               "Socket is not a stream socket, address required for Read().");

  QVSocket tcp(AF_INET, SOCK_STREAM, 0);
  msghdr message{};
  ExpectThrown(Thrown([&] { tcp.Read(&message, 0); }), qvexceptiontype::wrongSocketKind,
               "Socket is a stream socket. Message writing not supported.");
  ExpectThrown(Thrown([&] { tcp.Write(&message, 0); }), qvexceptiontype::wrongSocketKind,
               "Socket is a stream socket.  Message writing not supported.");
  ExpectThrown(Thrown([&] { tcp.Bind(static_cast<const QVAddress*>(nullptr)); }),
               qvexceptiontype::badArgument, "Argument QVAddress * cannot be NULL.");
  ExpectThrown(Thrown([&] { tcp.Write(static_cast<const QVAddress*>(nullptr), "x", 1, 0); }),
               qvexceptiontype::badArgument, "Argument 1 cannot be a NULL pointer.");
}

TEST(SocketMisuse, ClosingTwiceIsHarmless) {
  QVSocket fresh;
  fresh.Close();
  QVSocket tcp(AF_INET, SOCK_STREAM, 0);
  QVSocket copy(tcp);
  tcp.Close();
  copy.Close();
  ExpectThrown(Thrown([&] { copy.Listen(1); }), qvexceptiontype::missingObject, "Socket is closed.");
  ExpectThrown(Thrown([&] { fresh.Listen(1); }), qvexceptiontype::missingObject, "Socket is closed.");
  EXPECT_FALSE(fresh.HasDataToReadQ());
  QVEndPoint endPoint(Quorvane::QVIPV4, Quorvane::QVStream, QVIPAddress("127.0.0.1"));
  endPoint.Close();
  endPoint.Close();
}

TEST(SocketMisuse, UnknownProtocolIsRefused) {
  ExpectThrown(Thrown([] {
                 QVEndPoint e(static_cast<_qvipprotocol>(4), Quorvane::QVStream, QVIPAddress());
               }),
               qvexceptiontype::badArgument, "Ip protocol not recognized.");
}

TEST(SocketOptions, TableOfOptions) {
  QVEndPoint e(Quorvane::QVIPV4, Quorvane::QVStream, QVIPAddress("127.0.0.1"));
  QVSocket s = e.GetSocket();
  const int fd = s.GetRawSocket();
  const int flagsBefore = fcntl(fd, F_GETFL);
  // Linger, the loopback-use option this system lacks, and unknown options do nothing.
  for (int option : {9, 7, 13, -1}) e.SetOption(static_cast<Quorvane::_qvconnectionoption>(option));
  EXPECT_EQ(fcntl(fd, F_GETFL), flagsBefore);
  e.SetOption(Quorvane::QVOptionReuseAddress);
  int on = 0;
  socklen_t length = sizeof on;
  s.GetOption(SOL_SOCKET, SO_REUSEADDR, &on, &length);
  EXPECT_EQ(on, 1);
  e.SetOption(Quorvane::QVOptionCloseOnExec);
  EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
  e.SetOption(Quorvane::QVOptionNonBlocking);
  e.SetOption(Quorvane::QVOptionReceiveSignals);
  EXPECT_NE(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
  EXPECT_NE(fcntl(fd, F_GETFL) & O_ASYNC, 0);
  EXPECT_EQ(fcntl(fd, F_GETOWN), getpid());
  e.SetOption(Quorvane::QVOptionDontReceiveSignals);
  EXPECT_EQ(fcntl(fd, F_GETFL) & O_ASYNC, 0);
  EXPECT_NE(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
}

// Codes 1 to 6 each switch one socket-level option on, read back from the
// system.
TEST(SocketOptions, SwitchesTheSocketLevelOptionsOn) {
  struct Row {
    int code;
    int name;
  } const rows[] = {{1, SO_KEEPALIVE}, {2, SO_BROADCAST}, {3, SO_DEBUG},
                    {4, SO_DONTROUTE}, {5, SO_OOBINLINE}, {6, SO_REUSEPORT}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.code);
    // This system lets only a privileged process switch debugging on.
    if (row.name == SO_DEBUG && geteuid() != 0) continue;
    QVEndPoint e(Quorvane::QVIPV4, Quorvane::QVStream, QVIPAddress("127.0.0.1"));
    QVSocket s = e.GetSocket();
    int on = 0;
    socklen_t length = sizeof on;
    s.GetOption(SOL_SOCKET, row.name, &on, &length);
    ASSERT_EQ(on, 0);
    e.SetOption(static_cast<Quorvane::_qvconnectionoption>(row.code));
    length = sizeof on;
    s.GetOption(SOL_SOCKET, row.name, &on, &length);
    EXPECT_NE(on, 0);
  }
}

TEST(SocketPrinting, ElementsAndOrder) {
  QVSocket s(AF_INET, SOCK_STREAM, 0);
  std::ostringstream os;
  os << s;
  EXPECT_EQ(os.str(), "<QVSocket family=\"" + std::to_string(AF_INET) + "\" sockettype=\"1\" protocol=\"0\">" +
                          std::to_string(s.GetRawSocket()) + "</QVSocket>");
  QVSocket t(AF_INET, SOCK_STREAM, 0);
  EXPECT_EQ(s < t, s.GetRawSocket() < t.GetRawSocket());
  EXPECT_TRUE(s == QVSocket(s));
  EXPECT_TRUE(s != t);
  QVSocket fresh;
  EXPECT_EQ(fresh.GetType(), Quorvane::QVSocketTypeRaw);
  EXPECT_EQ(fresh.GetProtocolType(), Quorvane::QVIPV6);
  EXPECT_EQ(fresh.GetRawSocket(), -1);
}

// ------------------------------------------------------------------ datagrams

TEST(Datagrams, IncomingConnectionGetsTheSendersAddress) {
  QVEndPoint receiver(Quorvane::QVIPV4, Quorvane::QVDatagram,
                      QVIPAddress("127.0.0.1", static_cast<unsigned short>(0)));
  receiver.GetSocket().Bind(receiver.GetAddress());
  const unsigned short port = receiver.GetPort();
  QVEndPoint sender(Quorvane::QVIPV4, Quorvane::QVDatagram, QVIPAddress("127.0.0.1", port));
  sender.GetSocket().Bind(QVIPAddress("127.0.0.1", static_cast<unsigned short>(0)));
  ASSERT_EQ(sender.Write("", 0), 0);
  QVEndPoint peer = receiver.GetIncomingConnection(nullptr, nullptr);
  EXPECT_EQ(peer.GetAddress().GetPort(), sender.GetPort());
  EXPECT_TRUE(peer.GetSocket() == receiver.GetSocket());
  ASSERT_EQ(sender.Write("datagram", 8), 8);
  char got[16];
  EXPECT_EQ(receiver.Read(got, sizeof got), 8);
  EXPECT_EQ(std::string(got, 8), "datagram");
}

// ------------------------------------------------------------------ sets

TEST(SocketSets, LowestReadyDescriptorWins) {
  int a[2], b[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, a), 0);
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, b), 0);
  QVSocket low(a[0], AF_UNIX, SOCK_STREAM, 0), lowPeer(a[1], AF_UNIX, SOCK_STREAM, 0);
  QVSocket high(b[0], AF_UNIX, SOCK_STREAM, 0), highPeer(b[1], AF_UNIX, SOCK_STREAM, 0);
  QVSocketSet set;
  EXPECT_EQ(set.getLargestRawSocket(), -1);
  set.add(high);
  set.add(low);
  set.add(low);
  EXPECT_EQ(set.getLargestRawSocket(), b[0]);
  EXPECT_FALSE(set.waitTillSocketHasDataToRead(0));
  ASSERT_EQ(highPeer.Write("h", 1), 1);
  ASSERT_EQ(lowPeer.Write("l", 1), 1);
  EXPECT_TRUE(set.waitTillNextSocketHasDataToRead() == low);
  EXPECT_TRUE(set.setQ(high));
  set.remove(high);
  EXPECT_EQ(set.getLargestRawSocket(), b[0]);
}

TEST(SocketSets, WaitingOnAnEmptySetIsRefused) {
  QVSocketSet sockets;
  EXPECT_EQ(Thrown([&] { sockets.waitTillNextSocketHasDataToRead(); }).getType(),
            qvexceptiontype::badArgument);
  QVEndPointSet endPoints;
  EXPECT_FALSE(endPoints.waitTillEndPointHasDataToRead(0));
  EXPECT_EQ(Thrown([&] { endPoints.waitTillNextEndPointHasDataToRead(); }).getType(),
            qvexceptiontype::badArgument);
  // Emptied again after use: still refused rather than waiting forever.
  QVEndPoint e(Quorvane::QVIPV4, Quorvane::QVStream, QVIPAddress("127.0.0.1"));
  endPoints.add(e);
  endPoints.remove(e);
  EXPECT_EQ(Thrown([&] { endPoints.waitTillNextEndPointHasDataToRead(); }).getType(),
            qvexceptiontype::badArgument);
}

TEST(SocketSets, WaitingOnAClosedMemberIsRefused) {
  int a[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, a), 0);
  QVSocket member(a[0], AF_UNIX, SOCK_STREAM, 0), peer(a[1], AF_UNIX, SOCK_STREAM, 0);
  QVSocketSet set;
  set.add(member);
  member.Close();
  EXPECT_EQ(Thrown([&] { set.waitTillNextSocketHasDataToRead(); }).getType(),
            qvexceptiontype::missingObject);
}

TEST(SocketSets, EndPointSetFindsTheReadyEndPoint) {
  int a[2], b[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, a), 0);
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, b), 0);
  QVSocket sa(a[0], AF_UNIX, SOCK_STREAM, 0), peerA(a[1], AF_UNIX, SOCK_STREAM, 0);
  QVSocket sb(b[0], AF_UNIX, SOCK_STREAM, 0), peerB(b[1], AF_UNIX, SOCK_STREAM, 0);
  QVIPAddress none;
  QVEndPoint ea(sa, none), eb(sb, none);
  QVEndPointSet set;
  set.add(ea);
  set.add(ea);
  set.add(eb);
  EXPECT_EQ(set.size(), 2u);
  QVEndPoint stranger;
  set.remove(stranger);
  EXPECT_EQ(set.size(), 2u);
  ASSERT_EQ(peerB.Write("b", 1), 1);
  std::thread later([&] { peerA.Write("a", 1); });
  QVEndPoint& ready = set.waitTillNextEndPointHasDataToRead();
  later.join();
  EXPECT_TRUE(ready == ea || ready == eb);
  EXPECT_TRUE(set.setQ(ready));
  EXPECT_TRUE(set.waitTillEndPointHasDataToRead(1000000));
}

// ------------------------------------------------------------------ signals

std::atomic<int> interruptions{0};
void CountInterruption(int) { ++interruptions; }

// The state letter of a thread of this process: 'S' while it sleeps in a call.
char ThreadState(pid_t tid) {
  std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::string line;
  std::getline(in, line);
  const size_t end = line.rfind(')');
  return end == std::string::npos || end + 2 >= line.size() ? '?' : line[end + 2];
}

// Runs call on a thread, waits until it sleeps in the system, interrupts it
// with a signal whose handler does not restart calls, then lets release()
// satisfy the call. The call must end as if no signal had come.
void InterruptWhileBlocked(const std::function<void()>& call,
                           const std::function<void()>& release) {
  struct sigaction action {};
  struct sigaction old {};
  action.sa_handler = CountInterruption;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  ASSERT_EQ(sigaction(SIGUSR1, &action, &old), 0);
  std::atomic<pid_t> tid{0};
  std::string failure;
  std::thread worker([&] {
    tid = static_cast<pid_t>(syscall(SYS_gettid));
    try {
      call();
    } catch (const QVException& e) {
      failure = Str(e.getWhat()) + " errno " + std::to_string(e.getCode());
    }
  });
  EXPECT_TRUE(qvtest::WaitUntil([&] { return tid != 0 && ThreadState(tid) == 'S'; }));
  const int before = interruptions;
  pthread_kill(worker.native_handle(), SIGUSR1);
  EXPECT_TRUE(qvtest::WaitUntil([&] { return interruptions > before; }));
  release();
  worker.join();
  sigaction(SIGUSR1, &old, nullptr);
  EXPECT_EQ(failure, "");
}

TEST(SocketSignals, InterruptedCallsCarryOn) {
  {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    QVSocket reader(pair[0], AF_UNIX, SOCK_STREAM, 0), writer(pair[1], AF_UNIX, SOCK_STREAM, 0);
    char got = 0;
    InterruptWhileBlocked([&] { EXPECT_EQ(reader.Read(&got, 1), 1); },
                          [&] { EXPECT_EQ(writer.Write("s", 1), 1); });
    EXPECT_EQ(got, 's');
  }
  {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, pair), 0);
    QVSocket reader(pair[0], AF_UNIX, SOCK_DGRAM, 0), writer(pair[1], AF_UNIX, SOCK_DGRAM, 0);
    char got = 0;
    InterruptWhileBlocked([&] { EXPECT_EQ(reader.Read(nullptr, &got, 1, 0), 1); },
                          [&] { ASSERT_EQ(::send(pair[1], "d", 1, 0), 1); });
    EXPECT_EQ(got, 'd');
  }
  {
    QVEndPoint listener(Quorvane::QVIPV4, Quorvane::QVStream,
                        QVIPAddress("127.0.0.1", Quorvane::QVIPV4, static_cast<unsigned short>(0)));
    listener.SetForListening();
    QVEndPoint client(Quorvane::QVIPV4, Quorvane::QVStream,
                      QVIPAddress("127.0.0.1", Quorvane::QVIPV4, listener.GetPort()));
    QVSocket listening = listener.GetSocket();
    InterruptWhileBlocked([&] { EXPECT_GE(listening.Accept(nullptr).GetRawSocket(), 0); },
                          [&] { client.Connect(); });
  }
}

}  // namespace
