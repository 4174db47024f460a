// The TCP device against raw sockets the test drives byte by byte and against
// itself in a second process, all inside a network namespace of its own.
// Every wait of a device is bounded by a yield function with a deadline.
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "tests/device/qvpipestest.h"
#include "tests/device/qvprivatehost.h"
#include "tests/device/qvtcptest.h"
#include "tests/support/qvtest.h"
#include "tests/utilities/qvtestprocesses.h"

namespace {

using namespace Quorvane;
using qvtest::Device;
using qvtest::HostText;
using qvtest::RawSocket;
using qvtest::ReadThrough;
using qvtest::TcpCall;
using qvtest::WriteThrough;

// Before main: unshare needs a process of one thread.
const bool kPrivateNetwork = qvtest::EnterPrivateNetwork();

constexpr unsigned long kListen = 2;
constexpr unsigned long kConnect = 4;

// A port nothing listens on.
int ClosedPort() {
  RawSocket probe;
  return probe.Listen();
}

std::string Payload(size_t size) {
  std::string data(size, '\\');
  for (size_t i = 0; i < size; i += 3) data[i] = static_cast<char>('a' + i % 26);
  return data;
}

TEST(TcpEnvironment, RunsInItsOwnNetwork) {
  QV_REQUIRE_PRIVATE_NETWORK(kPrivateNetwork);
  SUCCEED();
}

// ---- making devices ----

struct MakeCase {
  const char* label;
  const char* protocol;
  unsigned long mode;
  std::string name;
  std::string location;
  long error;
  const char* deviceName;  // expected name; "*" for "<system port>@<host>"; "=" for "<name>@<host>"
};

// A host text of 120 characters keeps the 100 its field holds.
const std::string kCutHostName = "5000@" + std::string(100, 'h');

TEST(TcpMake, NamesProtocolsAndModes) {
  QV_REQUIRE_PRIVATE_NETWORK(kPrivateNetwork);
  qvtest::TcpWorld world;
  RawSocket taken;
  const int busy = taken.Listen();
  ASSERT_GT(busy, 0);
  const std::vector<MakeCase> cases = {
      {"lower-case protocol", "tcp", kListen, "", "", 0, "*"},
      {"mixed-case protocol", "Tcp", kListen, "0", "", 0, "*"},
      {"no protocol", "", kListen, "", "", 0, "*"},
      {"longer protocol text", "TCP:1", kListen, "", "", 34, nullptr},
      {"no listen or connect bit", "TCP", 8, "5000", "", 35, nullptr},
      {"port and location", "TCP", kConnect, "5000", "h", 0, "5000@h"},
      {"port@host without location", "TCP", kConnect, "5000@h", "", 0, "5000@h"},
      {"port alone", "TCP", kConnect, "5000", "", 0, "="},
      {"mode 0 with a name connects", "TCP", 0, "5001@h", "", 0, "5001@h"},
      {"listening name with a letter", "TCP", kListen, "50a0", "", 42, nullptr},
      {"listening port in use", "TCP", kListen, std::to_string(busy), "", 40, nullptr},
      {"name and location beyond the parse buffer", "TCP", kConnect, "5000", std::string(140, 'h'), 42, nullptr},
      {"name alone beyond the parse buffer", "TCP", kConnect, "5000@" + std::string(140, 'h'), "", 42, nullptr},
      {"host text cut to its field", "TCP", kConnect, "5000", std::string(120, 'h'), 0, kCutHostName.c_str()},
  };
  for (const MakeCase& c : cases) {
    SCOPED_TRACE(c.label);
    long error = -99;
    Device device(world.Make(c.protocol, c.mode, c.name, c.location, 0, &error));
    EXPECT_EQ(error, c.error);
    if (c.error != 0) {
      EXPECT_EQ(device.handle, nullptr);
      continue;
    }
    ASSERT_NE(device.handle, nullptr);
    const std::string host = HostText(device.handle);
    if (std::string(c.deviceName) == "*") {
      EXPECT_GT(device.Port(), 0);
      EXPECT_EQ(device.Name(), std::to_string(device.Port()) + "@" + host);
    } else if (std::string(c.deviceName) == "=") {
      EXPECT_EQ(device.Name(), c.name + "@" + host);
    } else {
      EXPECT_EQ(device.Name(), c.deviceName);
    }
  }
}

TEST(TcpMake, ParseNameBoundsEveryCopy) {
  char buffer[16];
  char *port = nullptr, *host = nullptr, *rest = nullptr;
  EXPECT_EQ(qvu_parse_name("12", "abc", buffer, sizeof buffer, &port, &host, &rest, "@"), 0);
  EXPECT_STREQ(port, "12");
  EXPECT_STREQ(host, "abc");
  EXPECT_EQ(qvu_parse_name("123456", "12345678", buffer, sizeof buffer, &port, &host, &rest, "@"), 0);
  EXPECT_EQ(qvu_parse_name("1234567", "123456789", buffer, sizeof buffer, &port, &host, &rest, "@"), -1);
  EXPECT_EQ(qvu_parse_name("7@a:b", "", buffer, sizeof buffer, &port, &host, &rest, "@:"), 0);
  EXPECT_STREQ(host, "a");
  EXPECT_STREQ(rest, "b");
}

TEST(TcpSelectors, AnswerAsTheWorldSays) {
  QV_REQUIRE_PRIVATE_NETWORK(kPrivateNetwork);
  qvtest::TcpWorld world;
  long error = 0;
  Device listener(world.Make("TCP", kListen, "", "", 0x200, &error));
  Device connector(world.Make("TCP", kConnect, "5000", "h", 0, &error));
  ASSERT_NE(listener.handle, nullptr);
  ASSERT_NE(connector.handle, nullptr);
  struct Answer {
    void* device;
    qvdeviceselector selector;
    long expected;
  };
  for (const Answer& a : {Answer{listener.handle, QVDEVICE_TYPE, 9}, Answer{listener.handle, QVDEVICE_STREAM_CAPACITY, 3896},
                          Answer{listener.handle, QVDEVICE_MODES, 6}, Answer{listener.handle, QVDEVICE_MODE, 2},
                          Answer{connector.handle, QVDEVICE_MODE, 4}, Answer{listener.handle, QVDEVICE_OPTIONS, 0x200},
                          Answer{connector.handle, QVDEVICE_OPTIONS, 0}, Answer{listener.handle, QVDEVICE_NAME_SIZE, 500}}) {
    long value = -1;
    EXPECT_EQ(TcpCall(a.device, a.selector, &value), 0) << a.selector;
    EXPECT_EQ(value, a.expected) << a.selector;
  }
  char protocol[8] = {};
  long capacity = sizeof protocol;
  EXPECT_EQ(TcpCall(world.world(), QVDEVICE_WORLD_PROTOCOL_NAME, protocol, &capacity), 0);
  EXPECT_STREQ(protocol, "TCP");
  EXPECT_EQ(capacity, 3);
  // A host text that does not fit leaves an empty text and its full length.
  char small[2] = {'x', 'x'};
  long room = 2;
  EXPECT_EQ(TcpCall(listener.handle, QVDEVICE_SPECIFIC_40, small, &room), 0);
  EXPECT_EQ(small[0], '\0');
  EXPECT_EQ(room, static_cast<long>(HostText(listener.handle).size()));
  long ignored = 0;
  EXPECT_EQ(TcpCall(listener.handle, QVDEVICE_SPECIFIC_30, &ignored), -1);
}

// ---- connecting side against a raw server ----

TEST(TcpConnect, RefusedAndUnreachableAnswerTheirCodesOnce) {
  QV_REQUIRE_PRIVATE_NETWORK(kPrivateNetwork);
  qvtest::TcpWorld world;
  long error = 0;
  Device refused(world.Make("TCP", kConnect, std::to_string(ClosedPort()) + "@127.0.0.1", "", 0, &error));
  ASSERT_NE(refused.handle, nullptr);
  EXPECT_EQ(TcpCall(refused.handle, QVDEVICE_CONNECT), 9);
  EXPECT_EQ(TcpCall(refused.handle, QVDEVICE_CONNECT), 1);
  Device nowhere(world.Make("TCP", kConnect, "5000", "no-such-host.invalid", 0, &error));
  ASSERT_NE(nowhere.handle, nullptr);
  EXPECT_EQ(TcpCall(nowhere.handle, QVDEVICE_CONNECT), 43);
}

struct ServerAnswer {
  const char* label;
  std::string words;
  long connect;
};

TEST(TcpConnect, SideChannelAnswersThatFailTheConnect) {
  QV_REQUIRE_PRIVATE_NETWORK(kPrivateNetwork);
  const std::vector<ServerAnswer> cases = {
      {"only Y: the first word is too short", "Y", 1},
      {"a word beyond any legal one", std::string(40, 'm') + "Y", 1},
      {"the connection ends mid-word", "msg_po", 1},
  };
  for (const ServerAnswer& c : cases) {
    SCOPED_TRACE(c.label);
    qvtest::TcpWorld world;
    RawSocket server;
    const int port = server.Listen();
    long error = 0;
    Device client(world.Make("TCP", kConnect, std::to_string(port), "127.0.0.1", 0, &error));
    ASSERT_NE(client.handle, nullptr);
    client.Bound();
    auto connected = std::async(std::launch::async, [&] { return TcpCall(client.handle, QVDEVICE_CONNECT); });
    {
      RawSocket peer(server.Accept());
      EXPECT_EQ(peer.Receive(14), "need_msg_portY");
      peer.Send(c.words);
    }
    ASSERT_EQ(connected.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(connected.get(), c.connect);
  }
}

std::atomic<int> gHeardCode{0};
std::atomic<int> gHeardArgument{0};
void Hear(void*, int code, int argument) {
  gHeardArgument = argument;
  gHeardCode = code;
}

// A client connected to a raw server that names a message port: with
// messagePort nothing listening, the second connect is refused.
struct RawServerLink {
  qvtest::TcpWorld world;
  RawSocket server;
  std::unique_ptr<Device> client;
  std::unique_ptr<RawSocket> data;
  std::unique_ptr<RawSocket> message;

  void Open(bool withMessageConnection) {
    const int port = server.Listen();
    RawSocket messageListener;
    const int messagePort = withMessageConnection ? messageListener.Listen() : ClosedPort();
    long error = 0;
    client = std::make_unique<Device>(world.Make("TCP", kConnect, std::to_string(port) + "@127.0.0.1", "", 0, &error));
    ASSERT_NE(client->handle, nullptr);
    client->Bound();
    auto connected = std::async(std::launch::async, [&] { return TcpCall(client->handle, QVDEVICE_CONNECT); });
    data = std::make_unique<RawSocket>(server.Accept());
    EXPECT_EQ(data->Receive(14), "need_msg_portY");
    data->Send("msg_port=" + std::to_string(messagePort) + "Y");
    if (withMessageConnection) message = std::make_unique<RawSocket>(messageListener.Accept());
    EXPECT_EQ(data->Receive(4), "ang ");
    data->Send("in ");
    ASSERT_EQ(connected.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    ASSERT_EQ(connected.get(), 0);
    gHeardCode = 0;
    gHeardArgument = 0;
    EXPECT_EQ(TcpCall(client->handle, QVDEVICE_SET_MESSAGE_HANDLER, reinterpret_cast<void*>(&Hear), nullptr), 0);
  }
  long Send(long code, long argument) { return TcpCall(client->handle, QVDEVICE_WRITE_MESSAGE, &code, &argument); }
};

TEST(TcpMessages, RecordsOnTheMessageConnectionBothWays) {
  QV_REQUIRE_PRIVATE_NETWORK(kPrivateNetwork);
  RawServerLink link;
  ASSERT_NO_FATAL_FAILURE(link.Open(true));
  ASSERT_NE(link.message, nullptr);
  EXPECT_EQ(link.Send(300, 70000), 0);
  EXPECT_EQ(link.message->Receive(8), std::string("\0\0\x01\x2c\0\x01\x11\x70", 8));
  // In two parts: the record is whole only with its last byte.
  link.message->Send(std::string("\0\0\0\x07\0\0", 6));
  link.message->Send(std::string("\0\x09", 2));
  EXPECT_TRUE(qvtest::WaitUntil([] { return gHeardCode.load() == 7; }, std::chrono::seconds(5)));
  EXPECT_EQ(gHeardArgument.load(), 9);
}

TEST(TcpMessages, UrgentBytesWithoutAMessageConnection) {
  QV_REQUIRE_PRIVATE_NETWORK(kPrivateNetwork);
  RawServerLink link;
  ASSERT_NO_FATAL_FAILURE(link.Open(false));
  EXPECT_EQ(link.Send(300, 0), 17);
  EXPECT_EQ(link.Send(5, 1), 17);
  EXPECT_EQ(link.Send(0, 0), 17);
  EXPECT_EQ(link.Send(200, 0), 0);
  ASSERT_TRUE(qvtest::WaitUntil(
      [&] {
        pollfd p{link.data->fd(), POLLPRI, 0};
        return poll(&p, 1, 0) == 1;
      },
      std::chrono::seconds(5)));
  unsigned char byte = 0;
  EXPECT_EQ(recv(link.data->fd(), &byte, 1, MSG_OOB), 1);
  EXPECT_EQ(byte, 200);
  const char urgent = 42;
  EXPECT_EQ(send(link.data->fd(), &urgent, 1, MSG_OOB), 1);
  EXPECT_TRUE(qvtest::WaitUntil([] { return gHeardCode.load() == 42; }, std::chrono::seconds(5)));
  EXPECT_EQ(gHeardArgument.load(), 0);
}

// ---- listening side against a raw client ----

// The peer's port and address (selectors 35 and 34).
uint16_t PeerPort(void* device) {
  uint16_t port = 0;
  EXPECT_EQ(TcpCall(device, QVDEVICE_SPECIFIC_35, &port), 0);
  return port;
}
uint64_t PeerAddress(void* device) {
  uint64_t address = 0;
  EXPECT_EQ(TcpCall(device, QVDEVICE_SPECIFIC_34, &address), 0);
  return address;
}

// The listening device connects a raw client that asks for the message
// connection and opens it; the device then reports that client as its peer.
void AcceptWithMessageConnection(Device* server, RawSocket* client, RawSocket* message) {
  server->Bound();
  auto connected = std::async(std::launch::async, [&] { return TcpCall(server->handle, QVDEVICE_CONNECT); });
  ASSERT_TRUE(client->Connect("127.0.0.1", server->Port()));
  ASSERT_TRUE(client->Send("need_msg_portY"));
  const std::string offer = client->ReceiveThrough('Y');
  ASSERT_EQ(offer.rfind("msg_port=", 0), 0u) << offer;
  ASSERT_TRUE(message->Connect("127.0.0.1", std::atoi(offer.c_str() + 9)));
  ASSERT_TRUE(client->Send("ang "));
  ASSERT_EQ(connected.wait_for(std::chrono::seconds(15)), std::future_status::ready);
  ASSERT_EQ(connected.get(), 0);
  EXPECT_EQ(client->Receive(3), "in ");
  EXPECT_EQ(PeerAddress(server->handle), 0x7F000001u);
  EXPECT_EQ(PeerPort(server->handle), client->LocalPort());
}

TEST(TcpListen, SideChannelRoleWordsWindowsAndClose) {
  QV_REQUIRE_PRIVATE_NETWORK(kPrivateNetwork);
  qvtest::TcpWorld world;
  long error = 0;
  Device server(world.Make("TCP", kListen, "", "", 0, &error));
  ASSERT_NE(server.handle, nullptr);
  RawSocket client;
  RawSocket message;
  ASSERT_NO_FATAL_FAILURE(AcceptWithMessageConnection(&server, &client, &message));

  const std::string payload = Payload(3000);
  auto written = std::async(std::launch::async, [&] { return WriteThrough(server.handle, payload); });
  // Decode the windows as a peer must: at most 972 data bytes each, ended by
  // \C; each acknowledged with \c.
  std::string data;
  std::string window;
  bool escape = false;
  for (int rounds = 0; data.size() < payload.size() && rounds < 100000; ++rounds) {
    const std::string got = client.Receive(1);
    ASSERT_EQ(got.size(), 1u);
    const char c = got[0];
    if (!escape) {
      if (c == '\\') escape = true;
      else window += c;
      continue;
    }
    escape = false;
    if (c == '\\') {
      window += '\\';
    } else {
      ASSERT_EQ(c, 'C');
      EXPECT_LE(window.size(), 972u);
      data += window;
      window.clear();
      client.Send("\\c");
    }
  }
  EXPECT_EQ(data, payload);
  ASSERT_EQ(written.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(written.get(), 0);
  // A window from the client is acknowledged with \p; its data handed out.
  client.Send("a\\\\b\\P");
  std::string got;
  EXPECT_EQ(ReadThrough(server.handle, 3, &got), 0);
  EXPECT_EQ(got, "a\\b");
  EXPECT_EQ(client.Receive(2), "\\p");
  TcpCall(server.handle, QVDEVICE_CLOSE);
  server.handle = nullptr;
  EXPECT_EQ(client.Receive(2), std::string("\\\x04", 2));
  EXPECT_TRUE(client.SeesEnd());
}

TEST(TcpListen, SideChannelWordsThatFailTheConnect) {
  QV_REQUIRE_PRIVATE_NETWORK(kPrivateNetwork);
  const std::vector<ServerAnswer> cases = {
      {"a word beyond any legal one", std::string(40, 'n') + "Y", 1},
      {"a word that never ends", std::string(100000, 'n'), 1},
      {"the connection ends mid-word", "need_msg_po", 1},
  };
  for (const ServerAnswer& c : cases) {
    SCOPED_TRACE(c.label);
    qvtest::WaitingListener listener;
    ASSERT_NO_FATAL_FAILURE(listener.Start(0));
    RawSocket client;
    ASSERT_TRUE(client.Connect("127.0.0.1", listener.server->Port()));
    client.Send(c.words);
    shutdown(client.fd(), SHUT_WR);
    ASSERT_EQ(listener.connected.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(listener.connected.get(), c.connect);
    // The device answered nothing and let the connection go.
    EXPECT_EQ(client.Receive(1, 2000), "");
    EXPECT_EQ(TcpCall(listener.server->handle, QVDEVICE_CONNECT), 1);
  }
}

TEST(TcpListen, ClientThatNeverOpensTheMessageConnectionDoesNotHoldTheListener) {
  QV_REQUIRE_PRIVATE_NETWORK(kPrivateNetwork);
  qvtest::WaitingListener listener;
  ASSERT_NO_FATAL_FAILURE(listener.Start(0));
  RawSocket client;
  ASSERT_TRUE(client.Connect("127.0.0.1", listener.server->Port()));
  client.Send("need_msg_portY");
  EXPECT_EQ(client.ReceiveThrough('Y').rfind("msg_port=", 0), 0u);
  client.Send("ang ");
  ASSERT_EQ(listener.connected.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(listener.connected.get(), 0);
  // Messages then go as urgent bytes.
  long code = 300;
  long argument = 0;
  EXPECT_EQ(TcpCall(listener.server->handle, QVDEVICE_WRITE_MESSAGE, &code, &argument), 17);
}

// A yield function that asks to stop once told (or at its deadline).
struct Stopper {
  std::atomic<bool> told{false};
  std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  static int Yield(void* cookie, QVYieldParams*) {
    auto* self = static_cast<Stopper*>(cookie);
    if (self->told || std::chrono::steady_clock::now() >= self->deadline) return 1;
    std::this_thread::yield();
    return 0;
  }
};

TEST(TcpListen, YieldStopLeavesTheListenerForTheNextAttempt) {
  QV_REQUIRE_PRIVATE_NETWORK(kPrivateNetwork);
  qvtest::TcpWorld world;
  long error = 0;
  Device server(world.Make("TCP", kListen, "", "", 0, &error));
  ASSERT_NE(server.handle, nullptr);
  server.Yield(&qvtest::StopAtOnce);
  EXPECT_EQ(TcpCall(server.handle, QVDEVICE_CONNECT), 25);
  server.Bound();
  auto connected = std::async(std::launch::async, [&] { return TcpCall(server.handle, QVDEVICE_CONNECT); });
  RawSocket client;
  ASSERT_TRUE(client.Connect("127.0.0.1", server.Port()));
  client.Send("Yang ");
  EXPECT_EQ(client.Receive(4), "Yin ");
  ASSERT_EQ(connected.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(connected.get(), 0);
}

struct StopCase {
  const char* label;
  std::string sent;      // what the first client sends
  std::string answered;  // what it sees before the stop (a prefix)
};

// An accepted connection stopped on its way: the next connect accepts a new
// client on the same port, and that peer is the one the device reports.
TEST(TcpListen, YieldStopAfterTheAcceptListensAgain) {
  QV_REQUIRE_PRIVATE_NETWORK(kPrivateNetwork);
  const std::vector<StopCase> cases = {
      {"in the side channel", "", ""},
      {"awaiting the message connection", "need_msg_portY", "msg_port="},
      {"in the role words", "Y", "Yin "},
  };
  for (const StopCase& c : cases) {
    SCOPED_TRACE(c.label);
    qvtest::TcpWorld world;
    long error = 0;
    Device server(world.Make("TCP", kListen, "", "", 0, &error));
    ASSERT_NE(server.handle, nullptr);
    const std::string name = server.Name();
    RawSocket first;
    ASSERT_TRUE(first.Connect("127.0.0.1", server.Port()));
    ASSERT_TRUE(c.sent.empty() || first.Send(c.sent));
    Stopper stopper;
    server.Yield(&Stopper::Yield, &stopper);
    if (c.answered.empty()) {
      // The connection is queued before the connect begins, so the first
      // wait that yields is the one for the side-channel words.
      int listening = -1;
      TcpCall(server.handle, QVDEVICE_FILE_DESCRIPTOR, &listening);
      pollfd p{listening, POLLIN, 0};
      ASSERT_EQ(poll(&p, 1, 5000), 1);
      stopper.told = true;
    }
    auto stopped = std::async(std::launch::async, [&] { return TcpCall(server.handle, QVDEVICE_CONNECT); });
    if (!c.answered.empty()) {
      EXPECT_EQ(first.Receive(c.answered.size()), c.answered);
      stopper.told = true;
    }
    ASSERT_EQ(stopped.wait_for(std::chrono::seconds(15)), std::future_status::ready);
    EXPECT_EQ(stopped.get(), 25);
    // The half-made connection is gone; the device listens where it did.
    EXPECT_TRUE(qvtest::WaitUntil([&] { return first.SeesEnd(0); }, std::chrono::seconds(5)));
    EXPECT_EQ(server.Name(), name);

    RawSocket second;
    RawSocket message;
    ASSERT_NO_FATAL_FAILURE(AcceptWithMessageConnection(&server, &second, &message));
    long code = 7;
    long argument = 9;
    EXPECT_EQ(TcpCall(server.handle, QVDEVICE_WRITE_MESSAGE, &code, &argument), 0);
    EXPECT_EQ(message.Receive(8), std::string("\0\0\0\x07\0\0\0\x09", 8));
  }
}

// A connect stopped on its way closes its connection; the next one connects
// afresh with a socket of its own.
TEST(TcpConnect, YieldStopLeavesTheDeviceForTheNextAttempt) {
  QV_REQUIRE_PRIVATE_NETWORK(kPrivateNetwork);
  const std::vector<StopCase> cases = {
      {"in the side channel", "", "need_msg_portY"},
      {"in the role words", "msg_port=0Y", "need_msg_portYang "},
  };
  for (const StopCase& c : cases) {
    SCOPED_TRACE(c.label);
    qvtest::TcpWorld world;
    RawSocket server;
    const int port = server.Listen();
    long error = 0;
    Device client(world.Make("TCP", kConnect, std::to_string(port) + "@127.0.0.1", "", 0, &error));
    ASSERT_NE(client.handle, nullptr);
    Stopper stopper;
    client.Yield(&Stopper::Yield, &stopper);
    auto stopped = std::async(std::launch::async, [&] { return TcpCall(client.handle, QVDEVICE_CONNECT); });
    {
      RawSocket first(server.Accept());
      EXPECT_EQ(first.Receive(14), "need_msg_portY");
      ASSERT_TRUE(c.sent.empty() || first.Send(c.sent));
      EXPECT_EQ(first.Receive(c.answered.size() - 14), c.answered.substr(14));
      stopper.told = true;
      ASSERT_EQ(stopped.wait_for(std::chrono::seconds(15)), std::future_status::ready);
      EXPECT_EQ(stopped.get(), 25);
      EXPECT_TRUE(first.SeesEnd());
    }
    client.Bound();
    auto connected = std::async(std::launch::async, [&] { return TcpCall(client.handle, QVDEVICE_CONNECT); });
    RawSocket second(server.Accept());
    EXPECT_EQ(second.Receive(14), "need_msg_portY");
    second.Send("msg_port=0Y");
    EXPECT_EQ(second.Receive(4), "ang ");
    second.Send("in ");
    ASSERT_EQ(connected.wait_for(std::chrono::seconds(15)), std::future_status::ready);
    EXPECT_EQ(connected.get(), 0);
    EXPECT_EQ(PeerAddress(client.handle), 0x7F000001u);
    EXPECT_EQ(PeerPort(client.handle), port);
  }
}

// ---- two processes ----

// The connector of the two-process test: sends the payload, reads the echo,
// begins a window it never ends and waits to be killed.
[[noreturn]] void Connector(const std::string& name, const std::string& payload, int ready) {
  qvtest::TcpWorld world;
  long error = 0;
  void* client = world.Make("TCP", kConnect, name, "", 0, &error);
  if (client == nullptr) _exit(2);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  TcpCall(client, QVDEVICE_SET_YIELD_FUNCTION, reinterpret_cast<void*>(&qvtest::UntilDeadline), &deadline);
  if (TcpCall(client, QVDEVICE_CONNECT) != 0) _exit(3);
  if (WriteThrough(client, payload) != 0) _exit(4);
  std::string echo;
  if (ReadThrough(client, 5, &echo) != 0 || echo != "\\done") _exit(5);
  int fd = -1;
  TcpCall(client, QVDEVICE_FILE_DESCRIPTOR, &fd);
  if (write(fd, "abc", 3) != 3) _exit(6);
  if (write(ready, "k", 1) != 1) _exit(7);
  for (;;) pause();
}

TEST(TcpProcesses, ExpressionBytesAcrossManyWindowsAndPeerDeath) {
  // The listener is named <port>@<host> by this machine's name.
  QV_ON_PRIVATE_HOST(qvtest::NamedLoopbackHost(), [] {
    const int before = qvtest::OpenDescriptorCount();
    {
      qvtest::TcpWorld world;
      long error = 0;
      Device server(world.Make("TCP", kListen, "", "", 0, &error));
      ASSERT_NE(server.handle, nullptr);
      server.Bound(std::chrono::seconds(20));
      const std::string name = server.Name();
      ASSERT_EQ(name, std::to_string(server.Port()) + "@qvhost");
      const std::string payload = Payload(10000);
      int ready[2];
      ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
      const pid_t child = fork();
      ASSERT_GE(child, 0);
      if (child == 0) {
        close(ready[0]);
        Connector(name, payload, ready[1]);
      }
      qvtest::ChildKiller killer(child);
      close(ready[1]);
      ASSERT_EQ(TcpCall(server.handle, QVDEVICE_CONNECT), 0);
      std::string got;
      EXPECT_EQ(ReadThrough(server.handle, payload.size(), &got), 0);
      EXPECT_EQ(got, payload);
      EXPECT_EQ(WriteThrough(server.handle, "\\done"), 0);
      // SIGIO and SIGURG interrupt the waits of this process: poll again.
      pollfd p{ready[0], POLLIN, 0};
      ASSERT_TRUE(qvtest::WaitUntil([&] { return poll(&p, 1, 0) == 1; }, std::chrono::seconds(20)));
      char byte = 0;
      ASSERT_EQ(read(ready[0], &byte, 1), 1);
      close(ready[0]);
      std::string partial;
      EXPECT_EQ(ReadThrough(server.handle, 3, &partial), 0);
      auto blocked = std::async(std::launch::async, [&] {
        std::string more;
        return ReadThrough(server.handle, 1, &more);
      });
      kill(child, SIGKILL);
      int status = 0;
      EXPECT_TRUE(qvtest::WaitUntil([&] { return waitpid(child, &status, WNOHANG) == child; }));
      killer.release();
      ASSERT_EQ(blocked.wait_for(std::chrono::seconds(1)), std::future_status::ready);
      const long answer = blocked.get();
      EXPECT_TRUE(answer == 11 || answer == 1) << answer;
    }
    EXPECT_EQ(qvtest::OpenDescriptorCount(), before);
  });
}

}  // namespace
