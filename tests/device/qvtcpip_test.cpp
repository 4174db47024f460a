// The "TCPIP" world and device: link names, the wire against a peer written
// in Python, messages through the signal thread, and how failures surface.
#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <sstream>
#include <thread>
#include <utility>
#include <vector>

#include "tests/device/qvtcpipraw.h"
#include "tests/device/qvtcpiptest.h"
#include "utilities/qvtestprocesses.h"

namespace {

using namespace Quorvane;
using namespace qvtcpiptest;

constexpr unsigned long kNew = QVUseNewTCPIPConnection;
constexpr unsigned long kUUID = QVUseUUIDTCPIPConnection;

class TCPIPTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { InstallSignalHandler(); }
  QVTCPIPWorld world;
};

TEST(TCPIPName, Parse) {
  struct Case {
    const char* name;
    const char* location;
    const char* host;
    const char* data;
    const char* mesg;
  } cases[] = {
      {"", "", "", "", ""},
      {"5000", "", "", "5000", ""},
      {"5000@hostA", "", "hostA", "5000", ""},
      {"5000,5001", "", "", "5000", "5001"},
      {"5000@hostA,5001@hostB", "", "hostA", "5000", "5001"},
      {"5000@hostA,5001", "", "hostA", "5000", "5001"},
      {"5000@hostA,5001@hostB", "hostC", "hostC", "5000", "5001"},
      {"5000", "hostC", "hostC", "5000", ""},
  };
  for (const Case& c : cases) {
    const QVNameAndPorts nap = QVNameAndPorts::Parse(c.name, c.location);
    EXPECT_EQ(nap.Hostname, c.host) << c.name;
    EXPECT_EQ(nap.DataPort, c.data) << c.name;
    EXPECT_EQ(nap.MesgPort, c.mesg) << c.name;
  }
  // An "@" only after the comma must not cut the host backwards.
  EXPECT_EQ(QVNameAndPorts::Parse("5000,5001@hostB", "").Hostname, "");
}

TEST(TCPIPHeader, DebugText) {
  auto text = [](const QVTCPIPDeviceHeader& header) {
    std::ostringstream os;
    os << header;
    return os.str();
  };
  auto pointer = [](const void* at) {
    std::ostringstream os;
    os << at;
    return os.str();
  };
  QVTCPIPDeviceHeader header;
  EXPECT_EQ(text(header), "<QVTCPIPDeviceHeader><Version>3.0.0</Version><Payload size=\"0\">" + pointer(nullptr) +
                              "</Payload></QVTCPIPDeviceHeader>");
  header.major = 4;
  header.revision = 12;
  header.payloadSize = 5;
  header.payload = std::make_unique<char[]>(5);
  EXPECT_EQ(text(header), "<QVTCPIPDeviceHeader><Version>4.0.12</Version><Payload size=\"5\">" +
                              pointer(header.payload.get()) + "</Payload></QVTCPIPDeviceHeader>");
}

TEST_F(TCPIPTest, ListenerNames) {
  auto old = Make(world, Block("TCPIP", 2, "@127.0.0.1"));
  const std::string oldName = Str(old->Name());
  const QVNameAndPorts nap = QVNameAndPorts::Parse(old->Name(), "");
  EXPECT_EQ(Str(nap.MesgPort), std::to_string(old->MessageEndPoint().GetPort())) << oldName;
  EXPECT_NE(Str(nap.DataPort), "0");
  EXPECT_EQ(oldName, Str(nap.DataPort) + "@127.0.0.1," + Str(nap.MesgPort) + "@127.0.0.1");

  auto fresh = Make(world, Block("TCPIP", 2, "@localhost", kNew, "127.0.0.1"));
  const std::string name = Str(fresh->Name());
  EXPECT_EQ(name.find(','), std::string::npos) << name;
  EXPECT_EQ(name.substr(name.find('@')), "@127.0.0.1") << "the link host replaces the name's host";
  EXPECT_EQ(fresh->Options(), kNew);
  EXPECT_EQ(old->Options(), 0u);
}

TEST_F(TCPIPTest, MakeRefusals) {
  struct Case {
    std::string protocol;
    unsigned long mode;
    std::string name;
    unsigned long options;
    long type;  // -1: made
  } cases[] = {
      {"tcpip", 2, "@127.0.0.1", kNew, -1},
      {"", 2, "@127.0.0.1", 0, -1},
      {"TCP", 2, "@127.0.0.1", 0, 54},
      {"TCPIP", 1, "@127.0.0.1", 0, 55},
      {"TCPIP", 0, "", kNew, 61},
      {"TCPIP", 0, "", 0, 3},
      {"TCPIP", 2, "@127.0.0.1", kUUID, 3},
      {"TCPIP", 2, "@127.0.0.1", QVUseIPV6, 61},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ThrownType([&] { Make(world, Block(c.protocol, c.mode, c.name, c.options)); }), c.type)
        << c.protocol << " mode " << c.mode << " name '" << c.name << "' options " << c.options;
  }
  // Without a name or a mode the device connects, and says what it lacks.
  for (unsigned long options : {0ul, kNew}) {
    try {
      Make(world, Block("TCPIP", 0, "", options));
      ADD_FAILURE() << "made without a port, options " << options;
    } catch (const QVException& e) {
      EXPECT_EQ(Str(e.getWhat()), "Link name does not contain the data port number.");
    }
  }
  QVDeviceParameters empty;
  EXPECT_EQ(ThrownType([&] { QVTCPIPDevice device(static_cast<QVDeviceParameters*>(nullptr), &world); }), 3);
  empty.Mode = 2;
  EXPECT_EQ(ThrownType([&] { QVTCPIPDevice device(&empty, &world); }), 3) << "no end points handed in";
}

// Any mode with the Connect bit and without the Listen bit connects, in the
// new model as in the old; with both bits the device listens.
TEST_F(TCPIPTest, ModesWithTheConnectBitConnect) {
  for (unsigned long mode : {4ul, 5ul, 12ul, 4ul | 0x40ul}) {
    SCOPED_TRACE("mode " + std::to_string(mode));
    RawLink link(world, mode);
    EXPECT_TRUE(link.device->ConnectedQ());
    EXPECT_EQ(link.device->Mode(), 0);
    Send(*link.device, "up");
    EXPECT_EQ(ReadUpTo(link.server.data.get(), 2), "up");
    ASSERT_TRUE(link.SendMessage(Message(2, 8)));
    EXPECT_TRUE(qvtest::WaitUntil([&] { return link.heard.Count() == 1; }));
  }
  EXPECT_EQ(Make(world, Block("TCPIP", 6, "@127.0.0.1", kNew))->Mode(), 1);
  EXPECT_EQ(ThrownType([&] { Make(world, Block("TCPIP", 8, "1@127.0.0.1", kNew)); }), 55);
}

TEST_F(TCPIPTest, WorldAnswers) {
  EXPECT_EQ(world.Id(), "TCPIP Device: version(3.0.0) built(" + world.GetCompileTime() + ")");
  std::unique_ptr<QVSignalHandlerList> handlers(world.GetSignalHandlers());
  std::vector<int> numbers;
  for (const QVSignalHandler& handler : *handlers) numbers.push_back(handler.getSignalNumber());
  EXPECT_EQ(numbers, (std::vector<int>{SIGIO, SIGURG, SIGSEGV, SIGBUS, SIGHUP}));
}

// The wire, both roles, each model, against a peer that knows only the wire.
struct PeerCase {
  const char* role;  // what the Python peer plays
  const char* model;
  const char* host;
  // Old model: the client is given the message port (says "N", hears "OKY")
  // rather than asking for it (says "Y", hears "msg_port=<port>Y").
  bool told = false;
};

class TCPIPPeerTest : public TCPIPTest, public ::testing::WithParamInterface<PeerCase> {};

std::string ReadLine(FILE* stream) {
  char line[256] = {};
  if (fgets(line, sizeof line, stream) == nullptr) return {};
  std::string text(line);
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

TEST_P(TCPIPPeerTest, HandshakeDataMessagesAndCloseNotice) {
  const PeerCase& c = GetParam();
  const std::string host = c.host;
  if (host == "::1" && !HasIPV6Loopback()) GTEST_SKIP() << "no IPv6 loopback";
  const std::string model = c.model;
  const unsigned long options = model == "old" ? 0 : model == "new" ? kNew : kUUID;
  const std::string script = QV_SOURCE_DIR "/tests/device/qvtcpip_peer.py";
  std::unique_ptr<QVTCPIPDevice> device;
  FILE* peer = nullptr;
  if (std::string(c.role) == "server") {
    peer = popen(("python3 " + script + " server " + model + " " + host).c_str(), "r");
    ASSERT_NE(peer, nullptr);
    const std::string ports = ReadLine(peer);
    ASSERT_FALSE(ports.empty()) << "the peer did not listen";
    const size_t blank = ports.find(' ');
    std::string name = ports.substr(0, blank) + "@" + host;
    if (c.told) name += "," + ports.substr(blank + 1) + "@" + host;
    device = Make(world, Block("TCPIP", 4, name, options));
  } else {
    device = Make(world, Block("TCPIP", 2, "@" + host, options));
    const auto nap = QVNameAndPorts::Parse(device->Name(), "");
    const std::string ports = Str(nap.DataPort) + (c.told ? " " + Str(nap.MesgPort) : "");
    peer = popen(("python3 " + script + " client " + model + " " + host + " " + ports).c_str(), "r");
    ASSERT_NE(peer, nullptr);
  }
  Heard heard;
  device->SetMessageHandler(&Heard::Handler, &heard);
  device->Connect();
  Send(*device, "hello over tcpip\n");
  EXPECT_EQ(Receive(*device, 17), "hello over tcpip\n");
  device->WriteMessage(2, 9);
  EXPECT_TRUE(qvtest::WaitUntil([&] { return heard.Count() == 1; }));
  EXPECT_EQ(heard.Get(), (std::vector<std::pair<int, int>>{{2, 9}})) << "interrupt with argument 9 is no close";
  EXPECT_TRUE(device->ConnectedQ());
  device.reset();
  EXPECT_EQ(ReadLine(peer), "closed");
  EXPECT_EQ(pclose(peer), 0);
}

INSTANTIATE_TEST_SUITE_P(Wire, TCPIPPeerTest,
                         ::testing::Values(PeerCase{"server", "old", "127.0.0.1"},
                                           PeerCase{"server", "old", "127.0.0.1", true},
                                           PeerCase{"server", "new", "127.0.0.1"},
                                           PeerCase{"server", "uuid", "127.0.0.1"},
                                           PeerCase{"client", "old", "127.0.0.1"},
                                           PeerCase{"client", "old", "127.0.0.1", true},
                                           PeerCase{"client", "new", "127.0.0.1"},
                                           PeerCase{"server", "new", "::1"}, PeerCase{"client", "old", "::1", true}),
                         [](const auto& param) {
                           return std::string(param.param.role) + "_" + param.param.model +
                                  (param.param.told ? "_told" : "") + "_" +
                                  (std::string(param.param.host) == "::1" ? "v6" : "v4");
                         });

TEST_F(TCPIPTest, LateArgumentWordDoesNotShiftLaterMessages) {
  RawLink link(world);
  ASSERT_TRUE(link.SendMessage(Message(2, 5).substr(0, 4)));
  // The stimulus is the gap itself: far longer than any short wait for the argument.
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  ASSERT_TRUE(link.SendMessage(Message(2, 5).substr(4) + Message(3, 7)));
  EXPECT_TRUE(qvtest::WaitUntil([&] { return link.heard.Count() == 2; }));
  EXPECT_EQ(link.heard.Get(), (std::vector<std::pair<int, int>>{{2, 5}, {3, 7}}));
}

TEST_F(TCPIPTest, TerminateReachesTheHandlerAndEndsTheLink) {
  RawLink link(world);
  ASSERT_TRUE(link.SendMessage(Message(1, 0)));
  EXPECT_TRUE(qvtest::WaitUntil([&] { return link.heard.Count() == 1; }));
  EXPECT_EQ(link.heard.Get(), (std::vector<std::pair<int, int>>{{1, 0}}));
  EXPECT_FALSE(link.device->ConnectedQ());
}

// The peer's close notice, or a bare end of its message connection (a peer
// that died), ends the link and keeps the bytes sent before it. Only a
// notice is answered with the one zero byte on the data connection: after a
// bare end the peer is gone or going, and a byte that reached its socket
// before the system closed it would reset the connection instead of ending it.
TEST_F(TCPIPTest, PeerCloseEndsTheLinkButKeepsItsLastBytes) {
  struct Case {
    const char* what;
    bool notice;
    std::string answer;  // what the peer reads on the data connection up to its end
  };
  for (const Case& c : {Case{"close notice", true, std::string(1, '\0')}, Case{"bare end", false, ""}}) {
    SCOPED_TRACE(c.what);
    RawLink link(world);
    ASSERT_TRUE(SendAll(link.server.data.get(), "last", 4));
    if (c.notice) {
      ASSERT_TRUE(link.SendMessage(Message(9, 0).substr(0, 4)));
    } else {
      ASSERT_EQ(::shutdown(link.server.mesg.get(), SHUT_WR), 0);
    }
    EXPECT_TRUE(qvtest::WaitUntil([&] { return !link.device->ConnectedQ(); }));
    EXPECT_TRUE(link.heard.Get().empty());
    EXPECT_EQ(Receive(*link.device, 4), "last");
    EXPECT_EQ(ThrownType([&] { Send(*link.device, "x"); }), 44);
    link.device.reset();
    EXPECT_EQ(ReadUpTo(link.server.data.get(), 2), c.answer);
  }
}

TEST_F(TCPIPTest, DestroyingSendsEveryCommittedByteThenTheNotice) {
  RawLink link(world);
  std::string payload(3 * 1024 * 1024, '\0');
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 131 + 7);
  std::string received;
  std::thread reader([&] { received = ReadUpTo(link.server.data.get(), payload.size() + 1); });
  Send(*link.device, payload);
  link.device.reset();
  reader.join();
  EXPECT_TRUE(received == payload) << "received " << received.size() << " of " << payload.size();
  EXPECT_EQ(ReadUpTo(link.server.mesg.get(), 8), std::string("\0\0\0\x09", 4));
}

TEST_F(TCPIPTest, MessagesBetweenTwoDevicesAndAfterAnotherDeviceCloses) {
  Pair first = Connected(world, kNew);
  Pair second = Connected(world, 0);
  Heard heard;
  second.listener->SetMessageHandler(&Heard::Handler, &heard);
  first.connector.reset();
  first.listener.reset();
  second.connector->WriteMessage(3, 4);
  EXPECT_TRUE(qvtest::WaitUntil([&] { return heard.Count() == 1; }));
  EXPECT_EQ(heard.Get(), (std::vector<std::pair<int, int>>{{3, 4}}));
  Heard back;
  second.connector->SetMessageHandler(&Heard::Handler, &back);
  second.listener->WriteMessage(2, 6);
  EXPECT_TRUE(qvtest::WaitUntil([&] { return back.Count() == 1; }));
}

TEST(TCPIPSignalThread, OnePerProcessAndRestartedForALaterWorld) {
  InstallSignalHandler();
  // The system keeps the first 15 bytes of "QV-TCPIP-SignalHandler".
  const std::string thread = "QV-TCPIP-Signal";
  {
    QVTCPIPWorld one;
    QVTCPIPWorld two;
    EXPECT_TRUE(QVTCPIPWorld::SignalThreadRunningQ());
    EXPECT_TRUE(qvtest::WaitUntil([&] { return qvtest::ThreadsNamed(thread) == 1; }));
    {
      QVTCPIPWorld three;
    }
    EXPECT_EQ(qvtest::ThreadsNamed(thread), 1) << "a later world ending stops the thread the others share";
  }
  EXPECT_FALSE(QVTCPIPWorld::SignalThreadRunningQ());
  EXPECT_TRUE(qvtest::NoThreadNamed(thread));
  QVTCPIPWorld later;
  ASSERT_TRUE(QVTCPIPWorld::SignalThreadRunningQ());
  EXPECT_TRUE(qvtest::WaitUntil([&] { return qvtest::ThreadsNamed(thread) == 1; }));
  Pair pair = Connected(later, kNew);
  Heard heard;
  pair.listener->SetMessageHandler(&Heard::Handler, &heard);
  pair.connector->WriteMessage(2, 1);
  EXPECT_TRUE(qvtest::WaitUntil([&] { return heard.Count() == 1; }));
}

TEST(TCPIPSignalThread, AWakeUpWithNoDeviceConnectedIsTakenAndCleared) {
  QVTCPIPWorld world;
  for (int number : {SIGURG, SIGIO}) {
    QVTCPIPWorld::SignalHandler(number);
    EXPECT_TRUE(qvtest::WaitUntil([] { return QVTCPIPWorld::getSigNumber()->load() == 0; }))
        << "the signal thread did not take signal " << number;
  }
}

TEST_F(TCPIPTest, HangupClosesEveryDevice) {
  Pair pair = Connected(world, kNew);
  auto idle = Make(world, Block("TCPIP", 2, "@127.0.0.1", kNew));
  ASSERT_EQ(raise(SIGHUP), 0);
  for (QVTCPIPDevice* device : {pair.listener.get(), pair.connector.get(), idle.get()}) {
    EXPECT_FALSE(device->ConnectedQ());
    EXPECT_TRUE(device->ClosedQ());
  }
  EXPECT_EQ(ThrownType([&] { Send(*pair.connector, "x"); }), 44);
}

TEST_F(TCPIPTest, HandedInConnectionsDispatchMessages) {
  QVEndPoint listening(QVIPV4, QVStream, QVIPAddress("127.0.0.1", QVIPV4, static_cast<unsigned short>(0)));
  listening.SetForListening();
  Fd data = ConnectLoopback(listening.GetPort());
  QVEndPoint acceptedData = listening.GetIncomingConnection(5.0);
  Fd mesg = ConnectLoopback(listening.GetPort());
  QVEndPoint acceptedMesg = listening.GetIncomingConnection(5.0);
  QVDeviceParameters parameters;
  parameters.Mode = 2;
  parameters.ExtraPointers = {&acceptedData, &acceptedMesg};
  std::unique_ptr<QVTCPIPDevice> device(static_cast<QVTCPIPDevice*>(world.MakeDeviceWithParameters(&parameters)));
  Heard heard;
  device->SetMessageHandler(&Heard::Handler, &heard);
  const std::string header = Header();
  ASSERT_TRUE(SendAll(data.get(), header.data(), header.size()));
  device->Connect();
  EXPECT_EQ(ReadUpTo(data.get(), 16), header);
  EXPECT_EQ(device->Options(), kUUID);
  const std::string message = Message(2, 3);
  ASSERT_TRUE(SendAll(mesg.get(), message.data(), message.size()));
  EXPECT_TRUE(qvtest::WaitUntil([&] { return heard.Count() == 1; }));
}

// A device whose far end misbehaves during the handshake fails, never loops.
TEST_F(TCPIPTest, HandshakeFailures) {
  struct Case {
    const char* what;
    std::string reply;  // sent by the far end, which then closes
    long type;
  } cases[] = {
      {"end of stream inside the header", Header().substr(0, 9), 35},
      {"payload over the cap", Header(0x7fffffff), 34},
      {"negative payload", Header(-1), 34},
  };
  for (const Case& c : cases) {
    RawServer server;
    auto device = Make(world, Block("TCPIP", 4, server.Name(), kNew));
    std::thread far([&] {
      ASSERT_TRUE(server.Accept());
      // The device's header is read first, so closing sends an end of stream, not a reset.
      ReadUpTo(server.data.get(), 16);
      SendAll(server.data.get(), c.reply.data(), c.reply.size());
      server.data.reset();
    });
    EXPECT_EQ(ThrownType([&] { device->Connect(); }), c.type) << c.what;
    far.join();
  }
}

TEST_F(TCPIPTest, OldPreambleFailures) {
  struct Case {
    const char* what;
    std::string sent;
    long type;
  } cases[] = {
      {"end of stream inside the preamble", "need_m", 35},
      {"no preamble word", "give_me_a_port", 34},
      {"nothing at all", "", 35},
  };
  for (const Case& c : cases) {
    auto device = Make(world, Block("TCPIP", 2, "@127.0.0.1"));
    const auto nap = QVNameAndPorts::Parse(device->Name(), "");
    std::thread far([&] {
      Fd fd = ConnectLoopback(static_cast<unsigned short>(std::stoi(Str(nap.DataPort))));
      SendAll(fd.get(), c.sent.data(), c.sent.size());
      ::shutdown(fd.get(), SHUT_WR);
      ReadUpTo(fd.get(), 64);
    });
    EXPECT_EQ(ThrownType([&] { device->Connect(); }), c.type) << c.what;
    device.reset();
    far.join();
  }
  // An old client whose answer never brings a "Y" is refused, not overrun.
  unsigned short port = 0;
  Fd listening = ListenLoopback(&port);
  auto client = Make(world, Block("TCPIP", 4, std::to_string(port) + "@127.0.0.1"));
  std::thread far([&] {
    ASSERT_TRUE(Readable(listening.get()));
    Fd data(::accept(listening.get(), nullptr, nullptr));
    ReadUpTo(data.get(), 14);
    const std::string endless(1000, 'n');
    SendAll(data.get(), endless.data(), endless.size());
  });
  EXPECT_EQ(ThrownType([&] { client->Connect(); }), 70);
  far.join();
}

// Backs out of the device's wait once the deadline has passed: a wait that
// never ends fails the case instead of hanging it.
int UntilDeadline(void* cookie, QVYieldParams*) {
  return std::chrono::steady_clock::now() >= *static_cast<std::chrono::steady_clock::time_point*>(cookie) ? 1 : 0;
}

// A connecting program, a process of its own, that dies once its data
// connection is made and before its message connection: the listener's
// connect answers the dead peer (type 35) although its yield function lets
// it wait. One that lives on is waited for until the yield function stops
// the wait (type 9).
TEST_F(TCPIPTest, ListenerWaitingForTheMessageConnectionOfADeadPeerFails) {
  struct Case {
    const char* what;
    unsigned long options;
    const char* sent;  // on the data connection, before the answer ending in "Y" is read
    bool dies;
    std::chrono::milliseconds patience;  // of the listener's yield function
    long type;
  } cases[] = {
      {"old model, the message port asked for", 0, "need_msg_portY", true, std::chrono::seconds(10), 35},
      {"old model, the message port known", 0, "need_msg_portN", true, std::chrono::seconds(10), 35},
      {"new model, no connection after the data connection", kNew, "", true, std::chrono::seconds(10), 35},
      {"old model, the peer lives on", 0, "need_msg_portY", false, std::chrono::milliseconds(300), 9},
      {"new model, the peer lives on", kNew, "", false, std::chrono::milliseconds(300), 9},
  };
  for (const Case& c : cases) {
    auto device = Make(world, Block("TCPIP", 2, "@127.0.0.1", c.options));
    const auto port = static_cast<unsigned short>(std::stoi(Str(QVNameAndPorts::Parse(device->Name(), "").DataPort)));
    const bool asks = std::strlen(c.sent) > 0;
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      Fd data = ConnectLoopback(port);
      if (data.get() < 0 || !SendAll(data.get(), c.sent, std::strlen(c.sent))) _exit(1);
      for (char byte = 0; asks && byte != 'Y';) {
        if (!Readable(data.get()) || ::recv(data.get(), &byte, 1, 0) != 1) _exit(1);
      }
      if (c.dies) ::kill(::getpid(), SIGKILL);
      for (;;) ::pause();
    }
    qvtest::ChildKiller killer(child);
    auto deadline = std::chrono::steady_clock::now() + c.patience;
    device->SetYieldFunction(&UntilDeadline, &deadline);
    EXPECT_EQ(ThrownType([&] { device->Connect(); }), c.type) << c.what;
    EXPECT_FALSE(device->ConnectedQ()) << c.what;
  }
}

TEST_F(TCPIPTest, SendFailureMakesTheNextWriteFail) {
  RawLink link(world);
  // Reset the connection: the writer's next send fails.
  linger reset{1, 0};
  ::setsockopt(link.server.data.get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  link.server.data.reset();
  const std::string chunk(4096, 'x');
  EXPECT_TRUE(qvtest::WaitUntil([&] { return ThrownType([&] { Send(*link.device, chunk); }) == 44; }))
      << "writes went on queueing after the writer failed";
}

TEST_F(TCPIPTest, PeerKilledInThePacketEndsABlockedRead) {
  RawServer server;
  auto device = Make(world, Block("TCPIP", 4, server.Name(), kNew));
  const pid_t child = fork();
  if (child == 0) {
    if (!server.Accept() || !server.Handshake()) _exit(1);
    SendAll(server.data.get(), "half a pack", 11);
    for (;;) pause();
  }
  ASSERT_GT(child, 0);
  server.listening.reset();
  device->Connect();
  EXPECT_EQ(Receive(*device, 11), "half a pack");
  std::thread killer([&] { kill(child, SIGKILL); });
  const auto start = std::chrono::steady_clock::now();
  char* buffer = nullptr;
  unsigned long size = 1;
  // The end of the stream, a reset when the kernel drops the dead peer's
  // socket, or the closed link when the signal thread saw the message
  // connection end first: each a failure, none a wait.
  const long type = ThrownType([&] { device->Read(&buffer, &size); });
  killer.join();
  EXPECT_TRUE(type == -1 ? size == 0 : type == 4 || type == 44) << type;
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  if (type == -1) {
    EXPECT_EQ(ThrownType([&] { device->Read(&buffer, &size); }), 44);
  }
  int status = 0;
  EXPECT_EQ(waitpid(child, &status, 0), child);
}

}  // namespace
