// This platform's interface enumeration: agreement with the system's own tool,
// and change detection in a network namespace of the test's own.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <tuple>

#include "network/qvipinterfacecontainer.h"
#include "network/qvplatforminterface.h"
#include "support/qvtest.h"

namespace {

using Quorvane::QVInterfaceContainer;
using Quorvane::QVInterfaceContainerFactory;

using Entry = std::tuple<std::string, int, std::string>;  // name, index, address text

// Up interfaces with their addresses as the system's tool reports them.
bool FromTool(std::set<Entry>& entries) {
  const char* command =
      "ip -j addr 2>/dev/null | python3 -c '\n"
      "import json, sys\n"
      "for i in json.load(sys.stdin):\n"
      "    if \"UP\" not in i.get(\"flags\", []): continue\n"
      "    for a in i.get(\"addr_info\", []):\n"
      "        if a.get(\"family\") in (\"inet\", \"inet6\"):\n"
      "            print(i[\"ifname\"], i[\"ifindex\"], a[\"local\"])\n'";
  FILE* pipe = popen(command, "r");
  if (pipe == nullptr) return false;
  char name[64], address[128];
  int index = 0;
  while (fscanf(pipe, "%63s %d %127s", name, &index, address) == 3) {
    entries.emplace(name, index, address);
  }
  return pclose(pipe) == 0;
}

std::set<Entry> FromContainer(const QVInterfaceContainer& c) {
  std::set<Entry> entries;
  for (const auto& [name, record] : c.GetInterfaceTable()) {
    EXPECT_EQ(Quorvane::ToStdString(record.GetName()), Quorvane::ToStdString(name));
    for (const auto& a : *record.GetAddresses()) {
      entries.emplace(Quorvane::ToStdString(name), record.index,
                      Quorvane::ToStdString(a.GetPresentationName()));
    }
  }
  return entries;
}

TEST(LinuxInterfaces, AgreeWithTheSystemTool) {
  std::set<Entry> tool;
  if (!FromTool(tool) || tool.empty()) GTEST_SKIP() << "ip -j addr or python3 unavailable";
  std::unique_ptr<QVInterfaceContainer> c(QVInterfaceContainerFactory::MakeContainer());
  EXPECT_EQ(FromContainer(*c), tool);
  // Every address text maps back to its interface, every address too.
  for (const auto& [name, index, text] : tool) {
    EXPECT_EQ(Quorvane::ToStdString(c->GetInterfaceFromHostname(text.c_str())), name);
  }
  EXPECT_EQ(c->GetAddressTable().size(), c->GetHostnameTable().size());
  EXPECT_FALSE(c->InterfacesChangedQ());
  // The loopback is found by its name on this system.
  EXPECT_TRUE(c->GetLoopbackInterface().LoopbackQ());
}

TEST(LinuxInterfaces, RecordOrderIsIPV6NewestFirstThenIPV4) {
  std::unique_ptr<QVInterfaceContainer> c(QVInterfaceContainerFactory::MakeContainer());
  for (const auto& [name, record] : c->GetInterfaceTable()) {
    bool seenV4 = false;
    for (const auto& a : *record.GetAddresses()) {
      if (a.IPV4Q()) seenV4 = true;
      EXPECT_FALSE(seenV4 && a.IPV6Q()) << Quorvane::ToStdString(name);
    }
  }
}

// In a network namespace of our own: lo comes up, an address is added.
TEST(LinuxInterfaces, ChangeIsSeenUntilReload) {
  const int status = qvtest::RunInChild([] {
    if (unshare(CLONE_NEWNET) != 0) return 77;
    if (system("ip link set lo up >/dev/null 2>&1") != 0) return 77;
    std::unique_ptr<QVInterfaceContainer> c(QVInterfaceContainerFactory::MakeContainer());
    qvipinterfacecontainer* record = qvipinterfacecontainer_new(nullptr, nullptr);
    if (record == nullptr) return 10;
    if (c->InterfacesChangedQ()) return 11;
    if (qvipinterfacecontainer_interfaces_changed(record) != 0) return 12;
    if (system("ip addr add 10.9.8.7/24 dev lo >/dev/null 2>&1") != 0) return 77;
    if (!c->InterfacesChangedQ()) return 13;
    if (!c->InterfacesChangedQ()) return 14;  // asking does not reload
    if (qvipinterfacecontainer_interfaces_changed(record) != 1) return 15;
    if (qvipinterfacecontainer_interfaces_changed(record) != 1) return 16;
    if (!c->ReloadInterfaces()) return 17;
    if (c->InterfacesChangedQ()) return 18;
    if (Quorvane::ToStdString(c->GetInterfaceFromHostname("10.9.8.7")) != "lo") return 19;
    // Down interfaces leave no record.
    if (system("ip link set lo down >/dev/null 2>&1") != 0) return 77;
    if (!c->InterfacesChangedQ()) return 20;
    c->ReloadInterfaces();
    if (!c->GetInterfaceTable().empty()) return 21;
    qvipinterfacecontainer_destroy(record);
    return 0;
  });
  if (WIFEXITED(status) && WEXITSTATUS(status) == 77) GTEST_SKIP() << "no network namespace";
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
