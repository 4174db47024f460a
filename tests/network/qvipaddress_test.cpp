// Addresses: parsing against inet_pton, printing, ports, ordering, the
// classification tables, and name lookups against a hosts file of our own.
#include "network/qvipaddress.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

#include "network/qvnettest.h"
#include "support/qvtest.h"
#include "utilities/qvexception.h"

namespace {

using qvnettest::Str;
using qvnettest::Thrown;
using qvnettest::WithHostsFile;
using Quorvane::QVException;
using Quorvane::QVHostname;
using Quorvane::QVIPAddress;
using Quorvane::QVString;
using Quorvane::qvexceptiontype;

// ------------------------------------------------------------------ parsing

TEST(IPAddressParsing, NumericTextAgreesWithInetPton) {
  const char* texts[] = {"127.0.0.1",   "0.0.0.0",        "255.255.255.255", "10.1.2.3",
                         "::",          "::1",            "fe80::1",         "2001:db8::8:800:200c:417a",
                         "::ffff:1.2.3.4", "ff02::1",     "fec0::abcd",      "2001:db8:0:0:1:0:0:1"};
  for (const char* text : texts) {
    SCOPED_TRACE(text);
    QVIPAddress address(text);
    unsigned char expected[16];
    char printed[INET6_ADDRSTRLEN];
    if (inet_pton(AF_INET, text, expected) == 1) {
      ASSERT_TRUE(address.IPV4Q());
      EXPECT_EQ(address.GetBinaryAddressLength(), sizeof(sockaddr_in));
      const auto* sin = static_cast<const sockaddr_in*>(address.GetBinaryAddress());
      EXPECT_EQ(std::memcmp(&sin->sin_addr, expected, 4), 0);
      inet_ntop(AF_INET, expected, printed, sizeof printed);
    } else {
      ASSERT_EQ(inet_pton(AF_INET6, text, expected), 1);
      ASSERT_TRUE(address.IPV6Q());
      EXPECT_EQ(address.GetBinaryAddressLength(), sizeof(sockaddr_in6));
      const auto* sin6 = static_cast<const sockaddr_in6*>(address.GetBinaryAddress());
      EXPECT_EQ(std::memcmp(&sin6->sin6_addr, expected, 16), 0);
      inet_ntop(AF_INET6, expected, printed, sizeof printed);
    }
    EXPECT_EQ(Str(address.GetPresentationName()), printed);
    EXPECT_STREQ(address.GetPresentationName_c_str(), printed);
    EXPECT_EQ(address.GetPort(), 0);
    EXPECT_FALSE(address.HasPortQ());
  }
}

TEST(IPAddressParsing, UnresolvableTextCarriesTheResolverCode) {
  // Without a network of its own the child's resolver answers at once.
  const int status = qvtest::RunInChild([] {
    unshare(CLONE_NEWNET);
    const char* text = "no-such-host.invalid";
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const int oracle = getaddrinfo(text, nullptr, &hints, &list);
    if (list != nullptr) freeaddrinfo(list);
    if (oracle == 0) return 2;
    QVException e = Thrown([&] { QVIPAddress address(text); });
    if (e.getType() != qvexceptiontype::socketCallFailed || e.getCode() != oracle) return 3;
    if (Str(e.getWhat()) !=
        std::string("Getaddrinfo generated the following error: ") + gai_strerror(oracle)) {
      return 4;
    }
    if (Str(e.getFile()) != "network/qvipaddress") return 5;
    if (Quorvane::GetNameProtocol(text) != Quorvane::QVIPV4) return 6;
    return 0;
  });
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(IPAddressParsing, ProtocolFormRefusesTheOtherFamily) {
  EXPECT_EQ(Thrown([] { QVIPAddress a("127.0.0.1", Quorvane::QVIPV6, 1); }).getType(),
            qvexceptiontype::socketCallFailed);
  EXPECT_EQ(Thrown([] { QVIPAddress a("::1", Quorvane::QVIPV4, 1); }).getType(),
            qvexceptiontype::socketCallFailed);
  QVIPAddress v6("::1", Quorvane::QVIPV6, 80);
  EXPECT_TRUE(v6.IPV6Q());
  EXPECT_EQ(v6.GetPort(), 80);
}

TEST(IPAddressParsing, ByteCountConstructor) {
  const unsigned char v4[4] = {192, 0, 2, 9};
  EXPECT_EQ(Str(QVIPAddress(4, v4).GetPresentationName()), "192.0.2.9");
  unsigned char v6[16] = {0xfe, 0x80};
  v6[15] = 7;
  EXPECT_EQ(Str(QVIPAddress(16, v6).GetPresentationName()), "fe80::7");
  QVException null = Thrown([] { QVIPAddress a(4, nullptr); });
  EXPECT_EQ(null.getType(), qvexceptiontype::badArgument);
  EXPECT_EQ(Str(null.getWhat()), "QVIPAddress constructor cannot have a NULL address argument.");
  QVException bad = Thrown([&] { QVIPAddress a(8, v4); });
  EXPECT_EQ(bad.getType(), qvexceptiontype::badArgument);
  EXPECT_EQ(Str(bad.getWhat()),
            "QVIPAddress must have either a sizeof(struct sockaddr_in) byte or sizeof(struct "
            "sockaddr_in6) byte address length.");
}

TEST(IPAddressParsing, SocketAddressOfAnotherFamilyGivesAnEmptyAddress) {
  sockaddr_storage unix_address{};
  unix_address.ss_family = AF_UNIX;
  QVIPAddress address(reinterpret_cast<const sockaddr*>(&unix_address));
  EXPECT_EQ(address.GetFamily(), 0);
  EXPECT_FALSE(address.HasPresentationNameQ());
  EXPECT_EQ(address.GetBinaryAddressLength(), 0u);
  EXPECT_EQ(QVIPAddress(static_cast<const sockaddr*>(nullptr)).GetFamily(), 0);
}

// ------------------------------------------------------------------ ports

TEST(IPAddressPorts, PortTextIsReadLikeStreamInput) {
  const struct {
    const char* text;
    unsigned short port;
  } cases[] = {{"8080", 8080}, {"  42x", 42}, {"abc", 0}, {"", 0}, {"70000", 65535}, {"65535", 65535}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(QVIPAddress("10.0.0.1", c.text).GetPort(), c.port);
    EXPECT_EQ(QVIPAddress("10.0.0.1").WithPort(QVString(c.text)).GetPort(), c.port);
  }
}

TEST(IPAddressPorts, PortLivesInNetworkOrderInsideTheStorage) {
  QVIPAddress address("::1", static_cast<unsigned short>(0x1234));
  const auto* sin6 = static_cast<const sockaddr_in6*>(address.GetBinaryAddress());
  EXPECT_EQ(sin6->sin6_port, htons(0x1234));
  EXPECT_TRUE(address.HasPortQ());
  QVIPAddress empty;
  empty.AddPort(static_cast<unsigned short>(99));
  EXPECT_EQ(empty.GetPort(), 0);
  EXPECT_FALSE(empty.HasPortQ());
}

TEST(IPAddressPorts, WildcardMakers) {
  QVIPAddress v6 = QVIPAddress::initForAnyAddressAnyPort(Quorvane::QVIPV6);
  EXPECT_EQ(Str(v6.GetPresentationName()), "::");
  EXPECT_EQ(v6.GetPort(), 0);
  QVIPAddress v4 = QVIPAddress::initForAnyAddressWithPort("8080", Quorvane::QVIPV4);
  EXPECT_EQ(Str(v4.GetPresentationName()), "0.0.0.0");
  EXPECT_EQ(v4.GetPort(), 8080);
  QVIPAddress none = QVIPAddress::initForAnyAddressWithPort(static_cast<unsigned short>(1),
                                                            Quorvane::QVUnixDomain);
  EXPECT_FALSE(none.HasPresentationNameQ());
  QVException e = Thrown([&] { none.GetPresentationName(); });
  EXPECT_EQ(e.getType(), qvexceptiontype::missingObject);
  EXPECT_EQ(Str(e.getWhat()), "Presentation name does not exist for this address.");
}

// ------------------------------------------------------------------ comparison

TEST(IPAddressComparison, EqualityIgnoresPortsAndNames) {
  EXPECT_TRUE(QVIPAddress("10.0.0.1", static_cast<unsigned short>(1)) ==
              QVIPAddress("10.0.0.1", static_cast<unsigned short>(2)));
  EXPECT_TRUE(QVIPAddress("fe80::1") != QVIPAddress("fe80::2"));
  EXPECT_TRUE(QVIPAddress("::ffff:10.0.0.1") != QVIPAddress("10.0.0.1"));
  EXPECT_TRUE(QVIPAddress("10.0.0.1") == "10.0.0.1");
  EXPECT_TRUE(QVIPAddress() == QVIPAddress());
}

TEST(IPAddressComparison, OrderingFollowsTheFamiliesAndByteRules) {
  EXPECT_TRUE(QVIPAddress("fe80::1") < QVIPAddress("fe80::2"));
  EXPECT_FALSE(QVIPAddress("fe80::2") < QVIPAddress("fe80::1"));
  EXPECT_TRUE(QVIPAddress("255.255.255.255") < QVIPAddress("::"));
  EXPECT_FALSE(QVIPAddress("::") < QVIPAddress("0.0.0.0"));
  EXPECT_FALSE(QVIPAddress("10.0.0.1") < QVIPAddress("10.0.0.1"));
  // IPv4 bytes are read first byte least significant.
  EXPECT_TRUE(QVIPAddress("2.0.0.1") < QVIPAddress("1.0.0.2"));
  EXPECT_FALSE(QVIPAddress() < QVIPAddress("10.0.0.1"));
}

TEST(IPAddressComparison, CopiesAndAssignmentsAreIndependent) {
  QVIPAddress original("fe80::5");
  original.AddInterfaceQualifier("eth0");
  QVIPAddress copy(original);
  QVIPAddress assigned;
  assigned = original;
  original = "10.0.0.1";
  EXPECT_EQ(Str(copy.GetPresentationName()), "fe80::5%eth0");
  EXPECT_EQ(Str(assigned.GetPresentationName()), "fe80::5%eth0");
  EXPECT_EQ(Str(original.GetPresentationName()), "10.0.0.1");
  QVIPAddress& alias = assigned;
  assigned = alias;
  EXPECT_EQ(Str(assigned.GetPresentationName()), "fe80::5%eth0");
}

TEST(IPAddressNames, InterfaceQualifierOnlyOnIPV6LinkLocal) {
  QVIPAddress link("fe80::1");
  link.AddInterfaceQualifier(QVString("en0"));
  EXPECT_EQ(Str(link.GetPresentationName()), "fe80::1%en0");
  QVIPAddress other("10.0.0.1");
  other.AddInterfaceQualifier("en0");
  EXPECT_EQ(Str(other.GetPresentationName()), "10.0.0.1");
  QVIPAddress empty;
  EXPECT_EQ(Thrown([&] { empty.AddInterfaceQualifier("en0"); }).getType(),
            qvexceptiontype::missingObject);
}

TEST(IPAddressNames, AbsentNamesThrowTheirMessages) {
  QVIPAddress address("10.0.0.1");
  EXPECT_FALSE(address.HasDomainNameQ());
  EXPECT_EQ(Str(Thrown([&] { address.GetDomainName(); }).getWhat()),
            "Domain name does not exist for this address.");
  EXPECT_EQ(Str(Thrown([&] { address.GetDomainNameOnly_c_str(); }).getWhat()),
            "Domain only name does not exist for this address.");
}

// ------------------------------------------------------------------ classification

struct Kinds {
  const char* text;
  bool linkLocal, loopback, siteLocal, v4Mapped, router, global, priv, autoconf;
};

TEST(IPAddressClassification, Table) {
  const Kinds cases[] = {
      // text            link   loop   site   mapped router global private auto
      {"127.0.0.1",       false, true,  false, false, true,  false, false, false},
      {"127.0.0.2",       false, false, false, false, false, false, false, false},
      // The byte-reversed twin of the loopback address is a public address.
      {"1.0.0.127",       false, false, false, false, false, true,  false, false},
      {"10.0.0.5",        false, false, false, false, false, false, true,  false},
      {"172.16.0.1",      false, false, false, false, true,  false, true,  false},
      {"172.31.255.2",    false, false, false, false, false, false, true,  false},
      {"172.32.0.2",      false, false, false, false, false, true,  false, false},
      {"192.168.1.1",     false, false, false, false, true,  false, true,  false},
      {"169.254.3.4",     true,  false, false, false, false, false, false, true},
      {"8.8.8.8",         false, false, false, false, false, true,  false, false},
      {"::1",             false, true,  false, false, true,  false, false, false},
      {"::",              false, false, false, false, false, false, true,  false},
      {"fe80::1",         true,  false, false, false, true,  false, true,  false},
      {"febf::2",         true,  false, false, false, false, false, true,  false},
      {"fec0::2",         false, false, true,  false, false, false, true,  false},
      {"ff02::1",         false, false, false, false, true,  false, false, false},
      {"::ffff:8.8.8.8",  false, false, false, true,  false, false, false, false},
      {"::8.8.8.8",       false, false, false, false, false, true,  false, false},
      {"2001:db8::2",     false, false, false, false, false, true,  false, false},
      {"fd00::2",         false, false, false, false, false, true,  false, false},
  };
  for (const Kinds& c : cases) {
    SCOPED_TRACE(c.text);
    QVIPAddress a(c.text);
    EXPECT_EQ(a.LinkLocalQ(), c.linkLocal);
    EXPECT_EQ(a.LoopbackQ(), c.loopback);
    EXPECT_EQ(a.SiteLocalQ(), c.siteLocal);
    EXPECT_EQ(a.V4MappedQ(), c.v4Mapped);
    EXPECT_EQ(a.IsRouterAddressQ(), c.router);
    EXPECT_EQ(a.GlobalQ(), c.global);
    EXPECT_EQ(a.PrivateQ(), c.priv);
    EXPECT_EQ(a.AutoconfiguredQ(), c.autoconf);
  }
}

TEST(IPAddressClassification, EmptyAddress) {
  QVIPAddress empty;
  EXPECT_FALSE(empty.LinkLocalQ());
  EXPECT_FALSE(empty.LoopbackQ());
  EXPECT_FALSE(empty.GlobalQ());
  EXPECT_TRUE(empty.PrivateQ());  // no presentation name
  EXPECT_FALSE(empty.AutoconfiguredQ());
  EXPECT_TRUE(QVIPAddress::IPV4NameQ("a.b"));
  EXPECT_TRUE(QVIPAddress::IPV6NameQ("a:b"));
  EXPECT_FALSE(QVIPAddress::IPV6NameQ("a.b"));
}

TEST(IPAddressFreeFunctions, NameProtocols) {
  EXPECT_TRUE(Quorvane::IsIPV4Q("127.0.0.1"));
  EXPECT_FALSE(Quorvane::IsIPV6Q("127.0.0.1"));
  EXPECT_TRUE(Quorvane::IsIPV6Q("::1"));
  EXPECT_EQ(Quorvane::GetNameProtocol("::1"), Quorvane::QVIPV6);
  EXPECT_EQ(Quorvane::GetNameProtocol("10.1.1.1"), Quorvane::QVIPV4);
}

TEST(IPAddressPrinting, DebugElements) {
  std::ostringstream os;
  os << QVIPAddress("10.0.0.1");
  EXPECT_EQ(os.str(), "<QVIPAddress><Pre>10.0.0.1</Pre></QVIPAddress>");
  std::ostringstream raw;
  const Quorvane::QVAddress& base = QVIPAddress("10.0.0.1");
  raw << static_cast<const Quorvane::QVAddress&>(Quorvane::QVAddress(base));
  EXPECT_EQ(raw.str().size(), std::string("<QVAddress></QVAddress>").size() + 128);
  EXPECT_EQ(raw.str().rfind("</QVAddress>"), raw.str().size() - 12);
}

TEST(IPAddressHash, RecurrenceOverThePresentationName) {
  Quorvane::QVIPAddressHashFunction hash;
  // "1.0.0.1", M = 97, worked by hand with the signed characters.
  uint64_t h = 0, a = 31415;
  for (char c : std::string("1.0.0.1")) {
    h = (a * h + static_cast<uint64_t>(c)) % 97;
    a = (a * 27813) % 96;
  }
  EXPECT_EQ(hash(QVIPAddress("1.0.0.1"), 97), h + 97);
  EXPECT_EQ(Thrown([&] { hash(QVIPAddress(), 97); }).getType(), qvexceptiontype::missingObject);
  EXPECT_EQ(Thrown([&] { hash(QVIPAddress("1.0.0.1"), 1); }).getType(),
            qvexceptiontype::badArgument);
}

// ------------------------------------------------------------------ lookups

TEST(IPAddressLookups, ResolvesAgainstOwnHostsFile) {
  const std::string hosts =
      "192.0.2.77 host.example.test\n"
      "192.0.2.80 multi.test\n192.0.2.81 multi.test\n"
      "127.0.0.1 dual.test\n::1 dual.test\n"
      "198.51.100.9 printer.local\n"
      "203.0.113.5 mylocalhost.example.test\n"
      "203.0.113.6 plainname\n"
      "1.0.0.127 reversed.example.test\n";
  const qvnettest::HostsFileChild child = WithHostsFile(hosts, [] {
    // Several addresses are refused; the protocol form picks one family.
    try {
      QVIPAddress a("multi.test");
      return 2;
    } catch (const QVException& e) {
      CHILD_CHECK(e.getType() == qvexceptiontype::badArgument);
      CHILD_CHECK(Str(e.getWhat()) == "Argument multi.test generated more than one binary IP address.");
    }
    try {
      QVIPAddress a("dual.test");
      return 3;
    } catch (const QVException& e) {
      CHILD_CHECK(e.getType() == qvexceptiontype::badArgument);
    }
    CHILD_CHECK(Str(QVIPAddress("dual.test", Quorvane::QVIPV4, 1).GetPresentationName()) == "127.0.0.1");
    CHILD_CHECK(Quorvane::IsIPV4Q("multi.test") && !Quorvane::IsIPV6Q("multi.test"));

    QVIPAddress named("192.0.2.77");
    named.LoadDomainName(false);
    CHILD_CHECK(named.HasDomainNameQ() && Str(named.GetDomainName()) == "host.example.test");
    named.LoadDomainNameOnly(false);
    CHILD_CHECK(Str(named.GetDomainName()) == "host.example.test");
    CHILD_CHECK(Str(named.GetDomainNameOnly()) == "example.test");

    QVIPAddress local("198.51.100.9");
    local.LoadDomainName(false);
    CHILD_CHECK(!local.HasDomainNameQ());
    local.LoadDomainNameOnly(false);  // no ".local" test for the domain part
    CHILD_CHECK(local.HasDomainNameOnlyQ() && Str(local.GetDomainNameOnly()) == "local");

    QVIPAddress loc("203.0.113.5");
    loc.LoadDomainName(true);
    CHILD_CHECK(!loc.HasDomainNameQ());
    QVIPAddress plain("203.0.113.6");
    plain.LoadDomainName(false);
    CHILD_CHECK(!plain.HasDomainNameQ());

    // Link-local addresses are never looked up.
    QVIPAddress linkLocal("169.254.1.2");
    linkLocal.LoadDomainName(false);
    CHILD_CHECK(!linkLocal.HasDomainNameQ());

    // 1.0.0.127 is an ordinary public address: a forced lookup runs.
    QVIPAddress reversed("1.0.0.127");
    reversed.LoadDomainName(true);
    CHILD_CHECK(reversed.HasDomainNameQ() && Str(reversed.GetDomainName()) == "reversed.example.test");
    return 0;
  });
  if (!child.refused.empty()) GTEST_SKIP() << child.refused;
  ASSERT_TRUE(WIFEXITED(child.status));
  EXPECT_EQ(WEXITSTATUS(child.status), 0);
}

TEST(Hostname, OfficialNameAndItsDomain) {
  char name[256] = {};
  ASSERT_EQ(gethostname(name, sizeof name - 1), 0);
  const std::string self(name);
  const struct {
    std::string line;
    std::string official, domain;
  } cases[] = {{"192.0.2.5 box.corp.example.test " + self + "\n", "box.corp.example.test", "corp.example.test"},
               {"192.0.2.5 " + self + "\n", self, ""}};
  for (const auto& c : cases) {
    if (self.find('.') != std::string::npos) GTEST_SKIP() << "host name already has a domain";
    const qvnettest::HostsFileChild child = WithHostsFile(c.line, [&] {
      QVHostname host;
      QVHostname copy;
      copy = host;
      CHILD_CHECK(Str(copy.getName()) == c.official);
      CHILD_CHECK(Str(host.getDomain()) == c.domain);
      std::ostringstream os;
      os << host;
      CHILD_CHECK(os.str() == "<QVHostname><hostname>" + c.official + "</hostname></QVHostname>");
      return 0;
    });
    if (!child.refused.empty()) GTEST_SKIP() << child.refused;
    EXPECT_TRUE(WIFEXITED(child.status) && WEXITSTATUS(child.status) == 0) << c.line << " status " << child.status;
  }
}

}  // namespace
