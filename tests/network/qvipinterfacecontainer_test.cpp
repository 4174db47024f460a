// The link core's lists of address texts and domain names, on records around
// containers filled by hand, and the record's life cycle on this host.
#include "network/qvipinterfacecontainer.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "network/qvnettest.h"
#include "network/qvplatforminterface.h"

namespace {

using Quorvane::QVIPAddress;
using Quorvane::QVLinuxInterfaceContainer;

void* Allocate(uint64_t n) { return malloc(n); }
void Free(void* p) { free(p); }

// The texts of a list, read from its head; the list is destroyed.
std::vector<std::string> Drain(qvlinklist* list) {
  std::vector<std::string> texts;
  qvlinklist_iterate_reset(list);
  for (;;) {
    uint16_t type = 0;
    uint64_t size = 0;
    int status = 0;
    void* data = qvlinklist_iterate(list, &type, &size, &status);
    if (data == nullptr) break;
    EXPECT_EQ(type, 17);
    EXPECT_EQ(static_cast<const char*>(data)[size], '\0');
    texts.emplace_back(static_cast<const char*>(data), size);
  }
  qvlinklist_destroy(list);
  return texts;
}

// A record around a container of our own; the test keeps the container.
struct HandRecord {
  QVLinuxInterfaceContainer container;
  qvipinterfacecontainer record{Allocate, Free, &container};
};

TEST(LinkCoreLists, DecimalNamesComeInDescendingOrderWithDuplicates) {
  HandRecord h;
  h.container.AddAddressToInterface("lo", QVIPAddress("127.0.0.1"));
  h.container.AddAddressToInterface("eth0", QVIPAddress("10.0.0.2"));
  EXPECT_EQ(Drain(qvipinterfacecontainer_get_decimal_names(&h.record)),
            (std::vector<std::string>{"127.0.0.1", "10.0.0.2"}));
  h.container.AddAddressToInterface("eth1", QVIPAddress("10.0.0.2"));
  h.container.AddAddressToInterface("eth1", QVIPAddress("fe80::1"));
  EXPECT_EQ(Drain(qvipinterfacecontainer_get_decimal_names(&h.record)),
            (std::vector<std::string>{"fe80::1", "127.0.0.1", "10.0.0.2", "10.0.0.2"}));
}

TEST(LinkCoreLists, AllInterfacesDownGiveAnEmptyList) {
  HandRecord h;
  qvlinklist* list = qvipinterfacecontainer_get_decimal_names(&h.record);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(qvlinklist_length(list), 0u);
  qvlinklist_destroy(list);
}

TEST(LinkCoreLists, FailedAllocationGivesNull) {
  HandRecord h;
  h.container.AddAddressToInterface("lo", QVIPAddress("127.0.0.1"));
  h.record.allocator = [](uint64_t) -> void* { return nullptr; };
  EXPECT_EQ(qvipinterfacecontainer_get_decimal_names(&h.record), nullptr);
  EXPECT_EQ(qvipinterfacecontainer_get_domain_names(&h.record), nullptr);
}

TEST(LinkCoreLists, NullRecords) {
  qvipinterfacecontainer_destroy(nullptr);
  EXPECT_EQ(qvipinterfacecontainer_interfaces_changed(nullptr), 0);
  EXPECT_EQ(qvipinterfacecontainer_get_decimal_names(nullptr), nullptr);
  EXPECT_EQ(qvipinterfacecontainer_get_domain_names(nullptr), nullptr);
}

TEST(LinkCoreLists, RecordOnThisHost) {
  qvipinterfacecontainer* record = qvipinterfacecontainer_new(Allocate, Free);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->allocator, &Allocate);
  // Nothing changed between loading and asking.
  EXPECT_EQ(qvipinterfacecontainer_interfaces_changed(record), 0);
  std::vector<std::string> texts = Drain(qvipinterfacecontainer_get_decimal_names(record));
  std::vector<std::string> sorted = texts;
  std::sort(sorted.rbegin(), sorted.rend());
  EXPECT_EQ(texts, sorted);
  // The domain list holds each name once, in descending order.
  std::vector<std::string> domains = Drain(qvipinterfacecontainer_get_domain_names(record));
  for (size_t i = 1; i < domains.size(); ++i) EXPECT_GT(domains[i - 1], domains[i]);
  qvipinterfacecontainer_destroy(record);
}

TEST(LinkCoreLists, DomainNamesOnceEachWithTheHostsDomain) {
  char self[256] = {};
  ASSERT_EQ(gethostname(self, sizeof self - 1), 0);
  const std::string hosts =
      "192.0.2.10 a.example.test\n192.0.2.11 b.example.test\n"
      "192.0.2.12 c.other.test\n192.0.2.99 me.zzz.test " +
      std::string(self) + "\n";
  const qvnettest::HostsFileChild child = qvnettest::WithHostsFile(hosts, [&] {
    HandRecord h;
    for (const char* a : {"192.0.2.10", "192.0.2.11"}) {
      h.container.AddAddressToInterface("eth0", QVIPAddress(a));
    }
    h.container.AddAddressToInterface("eth1", QVIPAddress("192.0.2.12"));
    h.container.AddAddressToInterface("eth1", QVIPAddress("192.0.2.13"));  // no name
    const std::vector<std::string> expected = {"zzz.test", "other.test", "example.test"};
    if (Drain(qvipinterfacecontainer_get_domain_names(&h.record)) != expected) return 1;
    // The lookups stay in the container's addresses.
    for (const QVIPAddress& a : *h.container.GetInterface("eth1").GetAddresses()) {
      if (a.HasDomainNameOnlyQ() != (a == "192.0.2.12")) return 3;
    }
    if (Drain(qvipinterfacecontainer_get_domain_names(&h.record)) != expected) return 2;
    return 0;
  });
  if (!child.refused.empty()) GTEST_SKIP() << child.refused;
  EXPECT_TRUE(WIFEXITED(child.status) && WEXITSTATUS(child.status) == 0) << "status " << child.status;
}

}  // namespace
