// The TCP device where names matter, each case on a host of its own (network,
// host name and hosts file made by the test): the world's host text and
// address, the rule that keeps only peers from the world's address, and peer
// host texts cut to their field.
#include <chrono>
#include <future>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "device/qvtcprecord.h"
#include "tests/device/qvprivatehost.h"
#include "tests/device/qvtcptest.h"

namespace {

using namespace Quorvane;
using qvtest::Device;
using qvtest::HostText;
using qvtest::RawSocket;
using qvtest::TcpCall;

constexpr unsigned long kListen = 2;
constexpr unsigned long kConnect = 4;
constexpr unsigned long kLocallyVisible = 1;

// The world's address as the world works it out.
uint64_t WorldAddress() {
  tcp::socket_globals* globals = tcp::socket_init(&qvtest::TcpAllocate, &qvtest::TcpRelease);
  if (globals == nullptr) return ~0ull;
  tcp::lazy_init(globals);
  const uint64_t address = globals->address;
  qvtest::TcpRelease(globals);
  return address;
}

struct HostCase {
  const char* label;
  qvtest::PrivateHost host;
  std::string text;  // the world's host text
  uint64_t address;  // the world's address
};

void PrintTo(const HostCase& c, std::ostream* out) { *out << c.label; }

class TcpWorldHost : public testing::TestWithParam<HostCase> {};

TEST_P(TcpWorldHost, HostTextAndAddressNameTheDevices) {
  const HostCase& c = GetParam();
  QV_ON_PRIVATE_HOST(c.host, [&] {
    EXPECT_EQ(WorldAddress(), c.address);
    qvtest::TcpWorld world;
    long error = 0;
    Device listener(world.Make("TCP", kListen, "", "", 0, &error));
    ASSERT_NE(listener.handle, nullptr) << error;
    EXPECT_EQ(HostText(listener.handle), c.text);
    EXPECT_EQ(listener.Name(), std::to_string(listener.Port()) + "@" + c.text);
    // Without a host part or a location the peer is this machine.
    Device connector(world.Make("TCP", kConnect, "5000", "", 0, &error));
    ASSERT_NE(connector.handle, nullptr) << error;
    EXPECT_EQ(connector.Name(), "5000@" + c.text);
  });
}

const std::string kLongName = std::string(120, 'n') + ".example";
const char* const kLoopbackNames = "127.0.0.1 localhost.localdomain localhost qvhost\n";

INSTANTIATE_TEST_SUITE_P(
    Hosts, TcpWorldHost,
    testing::Values(
        HostCase{"official_name", {"qvhost", "127.0.0.1 localhost\n127.0.1.1 qvhost.example qvhost\n", ""},
                 "qvhost.example", 0x7F000101},
        HostCase{"name_without_entry", {"qvlone", "127.0.0.1 localhost\n", ""}, "qvlone", 0},
        // An official name beyond the field leaves the host name.
        HostCase{"official_name_too_long", {"qvhost", "127.0.1.1 " + kLongName + " qvhost\n", ""}, "qvhost",
                 0x7F000101},
        // A loopback name gives way to an interface's address: with only
        // loopback up, the loopback address.
        HostCase{"loopback_name_only_loopback_up", {"qvhost", kLoopbackNames, ""}, "127.0.0.1", 0x7F000001},
        HostCase{"loopback_name_interface_up", {"qvhost", kLoopbackNames, "10.9.8.7"}, "10.9.8.7", 0x7F000001}),
    [](const testing::TestParamInfo<HostCase>& row) { return std::string(row.param.label); });

TEST(TcpListen, LocallyVisibleClosesOtherAddressesAndKeepsWaiting) {
  // The machine's name maps to 127.0.1.1, not to the address the client
  // reaches the listener at.
  const qvtest::PrivateHost host{"qvhost", "127.0.0.1 localhost\n127.0.1.1 qvhost\n127.0.0.3 qvneighbour\n", ""};
  QV_ON_PRIVATE_HOST(host, [] {
    qvtest::WaitingListener listener;
    ASSERT_NO_FATAL_FAILURE(listener.Start(kLocallyVisible));
    // No name at all, a name of another address, and the loopback name.
    for (const char* stranger : {"127.0.0.2", "127.0.0.3", "127.0.0.1"}) {
      SCOPED_TRACE(stranger);
      RawSocket outsider;
      ASSERT_NO_FATAL_FAILURE(listener.ConnectFrom(stranger, &outsider));
      EXPECT_TRUE(outsider.SeesEnd());
      EXPECT_TRUE(listener.StillWaiting());
    }
    RawSocket local;
    ASSERT_NO_FATAL_FAILURE(listener.ConnectFrom("127.0.1.1", &local));
    listener.ExpectConnected(&local, 0x7F000101);
  });
}

TEST(TcpListen, PeerHostTextIsCutToItsField) {
  const std::string name = std::string(200, 'p') + ".example";
  const qvtest::PrivateHost host{"qvhost", "127.0.0.1 localhost qvhost\n127.0.0.7 " + name + "\n", ""};
  QV_ON_PRIVATE_HOST(host, [&] {
    char field[tcp::kHostTextSize + 8];
    std::memset(field, 'x', sizeof field);
    bool matched = false;
    ASSERT_TRUE(tcp::LookUpAddress(0x7F000007, field, tcp::kHostTextSize, 0x7F000007, &matched));
    EXPECT_TRUE(matched);
    EXPECT_EQ(std::string(field), name.substr(0, tcp::kHostTextSize - 1));
    EXPECT_EQ(std::string(field + tcp::kHostTextSize, 8), std::string(8, 'x'));
    // A listener takes such a peer, and answers its address and port.
    qvtest::WaitingListener listener;
    ASSERT_NO_FATAL_FAILURE(listener.Start(0));
    RawSocket peer;
    ASSERT_NO_FATAL_FAILURE(listener.ConnectFrom("127.0.0.7", &peer));
    listener.ExpectConnected(&peer, 0x7F000007);
  });
}

}  // namespace
