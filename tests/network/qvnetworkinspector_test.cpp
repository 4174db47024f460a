// The choice of this host's announced host text and protocol, on containers
// filled by hand; reverse lookups are answered by a hosts file of our own.
#include "network/qvnetworkinspector.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <functional>

#include "network/qvnettest.h"
#include "network/qvplatforminterface.h"
#include "support/qvtest.h"
#include "utilities/qvexception.h"

namespace {

using qvnettest::Str;
using qvnettest::WithHostsFile;
using Quorvane::QVException;
using Quorvane::QVIPAddress;
using Quorvane::QVLinuxInterfaceContainer;
using Quorvane::QVNetworkInspector;
using Quorvane::QVString;
using Quorvane::qvexceptiontype;

void Fill(QVLinuxInterfaceContainer& c, const char* name, int index,
          std::initializer_list<const char*> addresses) {
  for (const char* a : addresses) c.AddAddressToInterface(name, QVIPAddress(a));
  if (!c.HasInterfaceQ(name)) c.AddInterface(name);
  c.SetIndexForInterface(name, index);
}

void ExpectChildPassed(const qvnettest::HostsFileChild& child) {
  if (!child.refused.empty()) GTEST_SKIP() << child.refused;
  EXPECT_TRUE(WIFEXITED(child.status) && WEXITSTATUS(child.status) == 0) << "status " << child.status;
}

const char kHosts[] =
    "127.0.0.1 localhost\n"
    "192.168.1.20 box.example.test\n"
    "10.0.0.5 ten.example.test\n"
    "8.8.4.4 public.example.test\n";

TEST(NetworkInspector, BothFamiliesOnTheInterfaceGiveTheNumericText) {
  ExpectChildPassed(WithHostsFile(kHosts, [] {
    QVLinuxInterfaceContainer c;
    Fill(c, "lo", 1, {"127.0.0.1", "::1"});
    Fill(c, "eth0", 2, {"192.168.1.20", "fe80::20"});
    auto [host, protocol] = QVNetworkInspector().getLocalHostnameAndProtocol(c, false);
    CHILD_CHECK(protocol == Quorvane::QVIPV4);
    CHILD_CHECK(Str(host) == "192.168.1.20");
    return 0;
  }));
}

TEST(NetworkInspector, SingleFamilyInterfaceIsNamedByReverseLookup) {
  ExpectChildPassed(WithHostsFile(kHosts, [] {
    QVLinuxInterfaceContainer c;
    Fill(c, "lo", 1, {"127.0.0.1", "::1"});
    Fill(c, "eth0", 2, {"192.168.1.20"});
    // Private addresses are not looked up by the forced lookup: numeric text.
    auto [host, protocol] = QVNetworkInspector().getLocalHostnameAndProtocol(c, false);
    CHILD_CHECK(Str(host) == "192.168.1.20");
    // A global address is looked up and confirmed.
    Fill(c, "eth1", 3, {"8.8.4.4"});
    auto [name, p] = QVNetworkInspector().getLocalHostnameAndProtocol(c, false);
    CHILD_CHECK(Str(name) == "public.example.test");
    CHILD_CHECK(p == Quorvane::QVIPV4);
    // The container's address stays without a name.
    CHILD_CHECK(!c.GetInterface("eth1").GetIPV4Address().HasDomainNameQ());
    return 0;
  }));
}

TEST(NetworkInspector, RouterAddressesGiveWayInsideTheirScope) {
  QVLinuxInterfaceContainer c;
  Fill(c, "lo", 1, {"127.0.0.1", "::1"});
  Fill(c, "eth0", 2, {"192.168.1.1"});
  Fill(c, "eth1", 3, {"10.0.0.5", "fe80::5"});
  auto [host, protocol] = QVNetworkInspector().getLocalHostnameAndProtocol(c, false);
  EXPECT_EQ(Str(host), "10.0.0.5");
  EXPECT_EQ(protocol, Quorvane::QVIPV4);
}

TEST(NetworkInspector, GlobalBeatsPrivateWhateverTheOrder) {
  QVLinuxInterfaceContainer c;
  Fill(c, "lo", 1, {"127.0.0.1", "::1"});
  Fill(c, "eth0", 2, {"10.0.0.5", "fe80::5"});
  Fill(c, "eth1", 3, {"8.8.4.4", "fe80::6"});
  EXPECT_EQ(Str(QVNetworkInspector().getLocalHostnameAndProtocol(c, false).first), "8.8.4.4");
}

TEST(NetworkInspector, OnlyLinkLocalIPV4AnnouncesTheLoopback) {
  QVLinuxInterfaceContainer c;
  Fill(c, "lo", 1, {"127.0.0.1", "::1"});
  Fill(c, "eth0", 2, {"169.254.7.7"});
  EXPECT_EQ(Str(QVNetworkInspector().getLocalHostnameAndProtocol(c, false).first), "127.0.0.1");
}

TEST(NetworkInspector, IPV6Choices) {
  const struct {
    const char* what;
    std::function<void(QVLinuxInterfaceContainer&)> fill;
    const char* host;
  } cases[] = {
      {"global on two interfaces: the preferred one, its newest global address",
       [](QVLinuxInterfaceContainer& c) {
         Fill(c, "tun0", 7, {"2001:db8::7"});
         Fill(c, "eth0", 2, {"2001:db8::1:5", "2001:db8::2:5", "192.168.1.20"});
       },
       "2001:db8::2:5"},
      {"site-local that is not a router address", [](QVLinuxInterfaceContainer& c) {
         Fill(c, "eth0", 2, {"fec0::1"});
         Fill(c, "eth1", 3, {"fec0::2", "10.0.0.2"});
       },
       "fec0::2"},
      {"site-local router only", [](QVLinuxInterfaceContainer& c) {
         Fill(c, "eth0", 2, {"fec0::1", "10.0.0.2"});
       },
       "fec0::1"},
      {"link-local not a router address", [](QVLinuxInterfaceContainer& c) {
         Fill(c, "eth0", 2, {"fe80::1", "10.0.0.2"});
         Fill(c, "eth1", 3, {"fe80::3", "10.0.0.3"});
       },
       "fe80::3"},
      {"loopback only", [](QVLinuxInterfaceContainer&) {}, "::1"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    QVLinuxInterfaceContainer c;
    Fill(c, "lo", 1, {"127.0.0.1", "::1"});
    k.fill(c);
    auto [host, protocol] = QVNetworkInspector().getLocalHostnameAndProtocol(c, true);
    EXPECT_EQ(Str(host), k.host);
    EXPECT_EQ(protocol, Quorvane::QVIPV6);
  }
}

TEST(NetworkInspector, Failures) {
  QVLinuxInterfaceContainer v4only;
  Fill(v4only, "lo", 1, {"127.0.0.1"});
  Fill(v4only, "eth0", 2, {"10.0.0.2"});
  try {
    QVNetworkInspector().getLocalHostnameAndProtocol(v4only, true);
    ADD_FAILURE();
  } catch (const QVException& e) {
    EXPECT_EQ(e.getType(), qvexceptiontype::noUsableInterface);
    EXPECT_EQ(Str(e.getWhat()), "No network interfaces have a configured IPV6 address.");
    EXPECT_EQ(Str(e.getFile()), "network/qvnetworkinspector");
  }
  QVLinuxInterfaceContainer noLoopback;
  Fill(noLoopback, "eth0", 2, {"169.254.1.1"});
  try {
    QVNetworkInspector().getLocalHostnameAndProtocol(noLoopback, false);
    ADD_FAILURE();
  } catch (const QVException& e) {
    EXPECT_EQ(e.getType(), qvexceptiontype::noInterfaceOfKind);
    EXPECT_EQ(Str(e.getWhat()), "Unable to locate loopback interface.");
  }
  QVLinuxInterfaceContainer globalRouter;
  Fill(globalRouter, "lo", 1, {"127.0.0.1"});
  Fill(globalRouter, "eth0", 2, {"2001:db8::1:0:0:1", "10.0.0.9"});
  // A global IPv6 address whose last byte is 1 still wins its scope.
  EXPECT_EQ(Str(QVNetworkInspector().getLocalHostnameAndProtocol(globalRouter, true).first),
            "2001:db8::1:0:0:1");
  QVLinuxInterfaceContainer v6Loopback;
  Fill(v6Loopback, "lo", 1, {"127.0.0.1"});
  Fill(v6Loopback, "eth0", 2, {"ff02::2"});  // IPv6, but of no usable scope
  try {
    QVNetworkInspector().getLocalHostnameAndProtocol(v6Loopback, true);
    ADD_FAILURE();
  } catch (const QVException& e) {
    EXPECT_EQ(e.getType(), qvexceptiontype::noAddressOfKind);
    EXPECT_EQ(Str(e.getWhat()), "Interface does not have an IPV6 Loopback address.");
  }
}

}  // namespace
