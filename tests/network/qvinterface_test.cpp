// Interface records, the container's tables and lookups, and the searches with
// a preferred list, on containers filled by hand.
#include "network/qvinterface.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <sstream>
#include <vector>

#include "network/qvplatforminterface.h"
#include "network/qvnettest.h"
#include "utilities/qvexception.h"

namespace {

using qvnettest::Str;
using qvnettest::Thrown;
using Quorvane::QVException;
using Quorvane::QVInterface;
using Quorvane::QVIPAddress;
using Quorvane::QVLinuxInterfaceContainer;
using Quorvane::QVString;
using Quorvane::QVStringList;
using Quorvane::qvexceptiontype;

std::vector<std::string> Names(const QVStringList& list) {
  std::vector<std::string> out;
  for (const QVString& s : list) out.push_back(Str(s));
  return out;
}

QVInterface Record(const char* name, std::initializer_list<const char*> addresses) {
  QVInterface record(name);
  for (const char* a : addresses) record.AddAddress(QVIPAddress(a));
  return record;
}

// ------------------------------------------------------------------ records

TEST(InterfaceRecord, EmptyRecord) {
  QVInterface empty;
  EXPECT_FALSE(empty.HasIPV4AddressQ());
  EXPECT_FALSE(empty.HasIPV6AddressQ());
  EXPECT_FALSE(empty.HasRouterAddressQ());
  EXPECT_FALSE(empty.LoopbackQ());
  for (auto getter : {&QVInterface::GetIPV4Address, &QVInterface::GetGlobalIPV6Address,
                      &QVInterface::GetLoopbackAddress, &QVInterface::GetIPV6LoopbackAddress}) {
    EXPECT_EQ(Thrown([&] { (empty.*getter)(); }).getType(), qvexceptiontype::noAddressOfKind);
  }
  QVException e = Thrown([&] { empty.GetName(); });
  EXPECT_EQ(e.getType(), qvexceptiontype::notFound);
  EXPECT_EQ(Str(e.getWhat()), "Interface name not found.");
  EXPECT_FALSE(empty == empty);
  std::ostringstream os;
  os << empty;
  EXPECT_EQ(os.str().rfind("Unnamed interface object ", 0), 0u);
  EXPECT_EQ(os.str().substr(os.str().size() - 2), ": ");
}

TEST(InterfaceRecord, NewestAddressFirstWithoutDuplicates) {
  QVInterface record("en0");
  record.AddAddress(QVIPAddress("10.0.0.2"));
  record.AddAddress(QVIPAddress("10.0.0.3"));
  record.AddAddress(QVIPAddress("10.0.0.2", static_cast<unsigned short>(9)));  // equal address
  ASSERT_EQ(record.GetAddresses()->size(), 2u);
  EXPECT_EQ(Str(record.GetIPV4Address().GetPresentationName()), "10.0.0.3");
  std::ostringstream os;
  os << record;
  EXPECT_EQ(os.str(),
            "en0: <QVIPAddress><Pre>10.0.0.3</Pre></QVIPAddress> "
            "<QVIPAddress><Pre>10.0.0.2</Pre></QVIPAddress> ");
}

TEST(InterfaceRecord, LoopbackByNameOnly) {
  const struct {
    const char* name;
    bool loopback;
  } cases[] = {{"lo", true}, {"lo0", true}, {"lo1", false}, {"Lo0", false}, {"loopback", false}};
  for (const auto& c : cases) EXPECT_EQ(QVInterface(c.name).LoopbackQ(), c.loopback) << c.name;
  QVInterface lo = Record("lo", {"127.0.0.1", "::1"});
  EXPECT_EQ(Str(lo.GetIPV4LoopbackAddress().GetPresentationName()), "127.0.0.1");
  EXPECT_EQ(Str(lo.GetIPV6LoopbackAddress().GetPresentationName()), "::1");
  QVInterface fake = Record("eth9", {"1.0.0.127"});
  EXPECT_EQ(Thrown([&] { fake.GetLoopbackAddress(); }).getType(),
            qvexceptiontype::noAddressOfKind);
}

TEST(InterfaceRecord, EqualityComparesNamesAndAddressOrder) {
  QVInterface a = Record("en0", {"10.0.0.1", "fe80::2"});
  QVInterface b = Record("en0", {"fe80::2", "10.0.0.1"});
  QVInterface c = Record("en0", {"10.0.0.1", "fe80::2"});
  c.index = 42;
  EXPECT_TRUE(a != b);
  EXPECT_TRUE(a == c);
  QVInterface copy(a);
  copy.AddAddress(QVIPAddress("10.0.0.9"));
  EXPECT_TRUE(a != copy);
  EXPECT_EQ(a.GetAddresses()->size(), 2u);
}

TEST(InterfaceRecord, RouterAddressQuestions) {
  QVInterface router = Record("en0", {"192.168.1.1", "fe80::1", "fec0::1"});
  EXPECT_TRUE(router.HasRouterAddressQ());
  EXPECT_TRUE(router.HasPrivateIPV4AddressQ());
  EXPECT_FALSE(router.HasPrivateIPV4AddressThatIsNotARouterAddressQ());
  EXPECT_TRUE(router.HasLinkLocalIPV6AddressQ());
  EXPECT_FALSE(router.HasLinkLocalIPV6AddressThatIsNotARouterAddressQ());
  EXPECT_TRUE(router.HasSiteLocalIPV6AddressQ());
  EXPECT_FALSE(router.HasSiteLocalIPV6AddressThatIsNotARouterAddressQ());
  // The router test is per address: a second address of the kind passes.
  router.AddAddress(QVIPAddress("192.168.1.7"));
  EXPECT_TRUE(router.HasPrivateIPV4AddressThatIsNotARouterAddressQ());
}

TEST(InterfaceRecord, GettersByKind) {
  QVInterface record = Record("en0", {"8.8.4.4", "10.1.1.2", "2001:db8::5", "fec0::5", "fe80::5"});
  EXPECT_EQ(Str(record.GetGlobalIPV4Address().GetPresentationName()), "8.8.4.4");
  EXPECT_EQ(Str(record.GetPrivateIPV4Address().GetPresentationName()), "10.1.1.2");
  EXPECT_EQ(Str(record.GetGlobalIPV6Address().GetPresentationName()), "2001:db8::5");
  EXPECT_EQ(Str(record.GetSiteLocalIPV6Address().GetPresentationName()), "fec0::5");
  EXPECT_EQ(Str(record.GetLinkLocalIPV6Address().GetPresentationName()), "fe80::5");
  QVInterface v4only = Record("en1", {"10.0.0.1"});
  QVException e = Thrown([&] { v4only.GetGlobalIPV6Address(); });
  EXPECT_EQ(Str(e.getWhat()), "Interface does not have a Global IPV6 address.");
  EXPECT_EQ(Str(e.getFile()), "network/qvinterface");
}

TEST(InterfaceRecord, PresentationNamesSortByBytes) {
  QVInterface record = Record("en0", {"10.0.0.2", "10.0.0.10", "10.0.0.2"});
  EXPECT_EQ(Names(record.GetPresentationNames()),
            (std::vector<std::string>{"10.0.0.10", "10.0.0.2"}));
  EXPECT_TRUE(record.GetDomainNames().empty());
}

// ------------------------------------------------------------------ container

// A synthetic host: interfaces named as on the other platform's documentation.
void Fill(QVLinuxInterfaceContainer& c, const char* name, std::initializer_list<const char*> addresses) {
  for (const char* a : addresses) {
    const QVIPAddress address(a);
    c.AddAddressToInterface(name, address);
    c.AddHostnameToTable(name, address.GetPresentationName());
    c.AddAddressToTable(name, address);
  }
}

TEST(InterfaceContainer, FillingAndLookups) {
  QVLinuxInterfaceContainer c;
  c.AddInterface("en0");
  QVException dup = Thrown([&] { c.AddInterface(QVString("en0")); });
  EXPECT_EQ(dup.getType(), qvexceptiontype::objectExists);
  EXPECT_EQ(Str(dup.getWhat()), "Unable to create interface en0, the interface already exists.");
  Fill(c, "en0", {"192.168.1.20", "fe80::20", "2001:db8::20"});
  Fill(c, "lo0", {"127.0.0.1", "::1"});
  c.SetIndexForInterface("en0", 4);
  c.SetIndexForInterface("nope", 5);
  EXPECT_EQ(c.GetInterface("en0").index, 4);
  EXPECT_FALSE(c.HasInterfaceQ("nope"));
  EXPECT_EQ(Str(c.GetInterfaceFromHostname("fe80::20")), "en0");
  // The link-local text names the interface, whose best IPv6 address is global.
  EXPECT_EQ(Str(c.GetIPV6AddressFromHostname("fe80::20").GetPresentationName()), "2001:db8::20");
  EXPECT_EQ(Str(c.GetIPV4AddressFromHostname("fe80::20").GetPresentationName()), "192.168.1.20");
  EXPECT_EQ(Str(c.GetIPV4AddressFromInterface("lo0").GetPresentationName()), "127.0.0.1");
  EXPECT_EQ(&c.GetLoopbackInterface(), &c.GetInterface("lo0"));

  const struct {
    std::function<void()> call;
    qvexceptiontype type;
    const char* message;
  } failures[] = {
      {[&] { c.GetInterface("en9"); }, qvexceptiontype::noInterfaceOfKind, "Interface en9 not found."},
      {[&] { c.GetInterfaceFromHostname("10.9.9.9"); }, qvexceptiontype::noAddressOfKind,
       "Hostname 10.9.9.9 not found."},
      {[&] { c.GetIPV4AddressFromInterface("en9"); }, qvexceptiontype::noAddressOfKind,
       "Interface en9 not found."},
      {[&] { c.GetInterfaceWithSiteLocalIPV6Address(); }, qvexceptiontype::noInterfaceOfKind,
       "Unable to locate site local IPV6 interface."},
      {[&] { c[static_cast<unsigned long>(0)]; }, qvexceptiontype::subscriptOutOfRange,
       "Subscript to large."},
      {[&] { c[-1]; }, qvexceptiontype::subscriptOutOfRange, "Subscript to large."},
  };
  for (const auto& f : failures) {
    QVException e = Thrown(f.call);
    EXPECT_EQ(e.getType(), f.type) << f.message;
    EXPECT_EQ(Str(e.getWhat()), f.message);
  }

  QVLinuxInterfaceContainer v6only;
  Fill(v6only, "utun0", {"2001:db8::9"});
  QVException noV4 = Thrown([&] { v6only.GetIPV4AddressFromHostname("2001:db8::9"); });
  EXPECT_EQ(Str(noV4.getWhat()), "2001:db8::9 has no IPV4 address.");
  EXPECT_EQ(Str(Thrown([&] { v6only.GetIPV4AddressFromInterface("utun0"); }).getWhat()),
            "Interface utun0 has no assigned IPV4 address.");
  EXPECT_EQ(Str(Thrown([&] { v6only.GetLoopbackInterface(); }).getWhat()),
            "Unable to locate loopback interface.");
}

TEST(InterfaceContainer, NameListsAndSubscripts) {
  QVLinuxInterfaceContainer c;
  Fill(c, "lo0", {"127.0.0.1"});
  Fill(c, "en0", {"10.0.0.2", "10.0.0.10"});
  Fill(c, "utun0", {"10.0.0.2"});  // the same text on two interfaces stays twice
  EXPECT_TRUE(c.HasOnlyLoopbackInterfaceQ());
  EXPECT_EQ(c.Length(), 0u);
  EXPECT_EQ(Names(c.GetInterfaceNames()), (std::vector<std::string>{"utun0", "lo0", "en0"}));
  EXPECT_EQ(c.Length(), 3u);
  EXPECT_FALSE(c.HasOnlyLoopbackInterfaceQ());
  EXPECT_EQ(Str(c[0]), "utun0");
  EXPECT_EQ(Str(c[static_cast<unsigned long>(2)]), "en0");
  EXPECT_EQ(Thrown([&] { c[3]; }).getType(), qvexceptiontype::subscriptOutOfRange);
  EXPECT_EQ(Names(c.GetPresentationNames()),
            (std::vector<std::string>{"10.0.0.10", "10.0.0.2", "10.0.0.2", "127.0.0.1"}));
  // The text loaded last names the interface.
  EXPECT_EQ(Str(c.GetInterfaceFromHostname("10.0.0.2")), "utun0");
  std::ostringstream os;
  c.PrintInterfaceContainer(os);
  const std::string printed = os.str();
  EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), 3);
}

TEST(InterfaceContainer, EqualityAndCopies) {
  QVLinuxInterfaceContainer a;
  Fill(a, "en0", {"10.0.0.2"});
  QVLinuxInterfaceContainer b(a);
  EXPECT_TRUE(a == b);
  b.SetIndexForInterface("en0", 7);
  b.AddHostnameToTable("en0", "other");
  EXPECT_TRUE(a == b);  // index and host texts take no part
  b.AddAddressToInterface("en0", QVIPAddress("10.0.0.3"));
  EXPECT_TRUE(a != b);
  a = b;
  EXPECT_TRUE(a == b);
}

// ------------------------------------------------------------------ searches

// The other platform's preferred order, to check the searches' rules.
const char* const kPreferred[] = {"ppp0", "en0", "en1", "en2", "en3", "en4", nullptr};

TEST(PreferredSearch, HostWithEn0) {
  QVLinuxInterfaceContainer c;
  Fill(c, "lo0", {"127.0.0.1", "::1"});
  Fill(c, "en0", {"192.168.1.20", "fe80::20"});
  Fill(c, "utun0", {"2001:db8::9"});
  EXPECT_EQ(Str(Quorvane::FindAnInterface(kPreferred, c)), "en0");
  EXPECT_EQ(Str(Quorvane::FindAnInterfaceWithIPV6Address(kPreferred, c).GetName()), "en0");
  EXPECT_EQ(Str(Quorvane::FindAnInterfaceWithIPV4Address(kPreferred, c).GetName()), "en0");
  EXPECT_EQ(Str(Quorvane::FindAGlobalIPV6AddressButUsePreferredList(kPreferred, c).GetName()),
            "utun0");
  QVException e = Thrown([&] { Quorvane::FindAGlobalIPV4AddressButUsePreferredList(kPreferred, c); });
  EXPECT_EQ(e.getType(), qvexceptiontype::cannotLoad);
  EXPECT_EQ(Str(e.getWhat()), "Interface with global IPV4 address not found.");
  EXPECT_EQ(Str(e.getFile()), "network/qvplatforminterface");
}

TEST(PreferredSearch, HostWithoutEn0FallsBackToTheGreatestName) {
  QVLinuxInterfaceContainer c;
  Fill(c, "lo0", {"127.0.0.1"});
  Fill(c, "utun0", {"2001:db8::9"});
  Fill(c, "bridge0", {"fe80::3"});
  EXPECT_EQ(Str(Quorvane::FindAnInterface(kPreferred, c)), "utun0");
  EXPECT_EQ(Str(Quorvane::FindAnInterfaceWithIPV4Address(kPreferred, c).GetName()), "lo0");
  QVLinuxInterfaceContainer none;
  EXPECT_EQ(Str(Quorvane::FindAnInterface(kPreferred, none)), "");
  EXPECT_EQ(Str(Thrown([&] {
                  Quorvane::FindAnInterfaceUsingThePreferredList(kPreferred, none,
                                                                 Quorvane::HasIPV4AddressQ);
                }).getWhat()),
            "Interface not found.");
}

TEST(PreferredSearch, RouterAddressesAndTheRouterTests) {
  QVLinuxInterfaceContainer c;
  Fill(c, "en0", {"192.168.1.1"});
  Fill(c, "en1", {"10.0.0.5"});
  EXPECT_EQ(Str(Quorvane::FindAnInterface(kPreferred, c)), "en1");
  EXPECT_EQ(Str(Quorvane::FindAnInterfaceUsingThePreferredList(kPreferred, c,
                                                              Quorvane::HasPrivateIPV4AddressQ)
                    .GetName()),
            "en0");
  EXPECT_EQ(Str(Quorvane::FindAnInterfaceUsingThePreferredList(
                    kPreferred, c, Quorvane::HasPrivateIPV4AddressThatIsNotARouterAddressQ)
                    .GetName()),
            "en1");
  EXPECT_TRUE(Quorvane::NotHasRouterAddressQ(c.GetInterface("en1")));
}

// ------------------------------------------------------------------ this platform's order

// Filled by hand with this platform's names and indices.
QVLinuxInterfaceContainer LinuxHost() {
  QVLinuxInterfaceContainer c;
  Fill(c, "lo", {"127.0.0.1", "::1"});
  Fill(c, "eth0", {"192.168.1.20", "fe80::20"});
  Fill(c, "wlan0", {"10.0.0.7", "fe80::7"});
  Fill(c, "docker0", {"172.17.0.1"});
  c.SetIndexForInterface("lo", 1);
  c.SetIndexForInterface("eth0", 2);
  c.SetIndexForInterface("wlan0", 3);
  c.SetIndexForInterface("docker0", 5);
  return c;
}

TEST(LinuxPreferredOrder, RealInterfacesByIndexThenLoopback) {
  QVLinuxInterfaceContainer c = LinuxHost();
  EXPECT_EQ(Names(c.preferredlist()), (std::vector<std::string>{"eth0", "wlan0", "docker0"}));
  EXPECT_EQ(Str(c.GetPreferredInterface()), "eth0");
  EXPECT_EQ(Str(c.GetPreferredInterfaceWithIPV4Address().GetName()), "eth0");
  EXPECT_EQ(Str(c.GetPreferredInterfaceWithLinkLocalIPV6Address().GetName()), "eth0");
  EXPECT_EQ(Str(c.GetPreferredInterfaceWithIPV6Address().GetName()), "eth0");
  // Only the loopback has an IPv6 address besides link-local ones of eth0/wlan0.
  EXPECT_EQ(Thrown([&] { c.GetInterfaceWithGlobalIPV6Address(); }).getType(),
            qvexceptiontype::cannotLoad);
  // A real interface that carries a router address gives way to the next one.
  QVLinuxInterfaceContainer router;
  Fill(router, "lo", {"127.0.0.1"});
  Fill(router, "eth0", {"192.168.1.1"});
  Fill(router, "wlan0", {"10.0.0.7"});
  router.SetIndexForInterface("eth0", 2);
  router.SetIndexForInterface("wlan0", 3);
  EXPECT_EQ(Str(router.GetPreferredInterface()), "wlan0");
  EXPECT_EQ(Str(router.GetPreferredInterfaceWithPrivateIPV4Address().GetName()), "eth0");
  EXPECT_EQ(Str(router.GetPreferredInterfaceWithPrivateIPV4AddressThatIsNotARouterAddress().GetName()),
            "wlan0");
}

TEST(LinuxPreferredOrder, UnknownIndicesComeLastAndTheLoopbackOnlyByFallback) {
  QVLinuxInterfaceContainer c;
  Fill(c, "lo", {"127.0.0.1"});
  Fill(c, "veth1", {"10.0.0.9"});
  Fill(c, "eth1", {"10.0.0.8"});
  c.SetIndexForInterface("lo", 1);
  c.SetIndexForInterface("veth1", 9);
  EXPECT_EQ(Names(c.preferredlist()), (std::vector<std::string>{"veth1", "eth1"}));
  QVLinuxInterfaceContainer onlyLoopback;
  Fill(onlyLoopback, "lo", {"127.0.0.1"});
  EXPECT_EQ(Str(onlyLoopback.GetPreferredInterfaceWithIPV4Address().GetName()), "lo");
  EXPECT_EQ(Str(onlyLoopback.GetPreferredInterface()), "lo");
}

}  // namespace
