// SharedMemory link names holding control characters, or the colons and dots
// the record files of the sync folder also use, with a connector in a
// process of its own that opens the link, waits in its connect for a
// listener that never comes and is killed there with SIGKILL. Whatever it
// made in the sync folder must be gone after the next sweep of that folder
// (an environment started afterwards); a name whose objects the record of
// named objects could not give back (a line feed splits its line) is refused
// at open instead, with link error 42, before anything is made.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "quorvane.h"
#include "support/qvconnectorchild.h"
#include "support/qvtest.h"
#include "tests/device/qvshmtest.h"
#include "utilities/qvtestprocesses.h"

namespace {

using qvshmtest::EntriesWith;
using qvshmtest::Exists;
using qvshmtest::ShmPath;
using qvshmtest::SyncDir;

constexpr auto kToldWithin = std::chrono::seconds(20);
constexpr long kBadLinkName = 42;

// The connector program, a child of this process, on the link's words
// (given as they are: no shell reads the name).
pid_t StartConnector(const std::string& report, const std::string& name) {
  const std::vector<std::string> words = {QV_CONNECTOR_CHILD, report, "-linkprotocol", "SharedMemory",
                                          "-linkmode", "connect", "-linkname", name};
  std::vector<char*> argv;
  for (const std::string& word : words) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    execv(argv[0], argv.data());
    _exit(127);
  }
  return child;
}

// Every entry of the sync folder but "." and "..".
std::vector<std::string> SyncEntries() {
  std::vector<std::string> left;
  for (const std::string& entry : EntriesWith(SyncDir(), "")) {
    if (entry != "." && entry != "..") left.push_back(entry);
  }
  return left;
}

std::string Shown(const std::vector<std::string>& entries) {
  std::string text;
  for (const std::string& entry : entries) {
    for (const unsigned char c : entry) {
      if (c >= 0x20 && c != 0x7f) {
        text += static_cast<char>(c);
        continue;
      }
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      text += escaped;
    }
    text += " ";
  }
  return text;
}

struct NameCase {
  const char* what;
  std::string before, after;  // the name is before + a tag of this test + after
  bool opens;
};

TEST(SharedMemoryControlNames, AKilledConnectorLeavesNothingAfterTheNextSweepOrIsRefusedAtOpen) {
  const NameCase cases[] = {
      {"line feed and tab", "a\n", "\tc", false},
      {"leading line feed", "\n", "", false},
      {"trailing line feed", "", "\n", false},
      {"carriage return and line feed", "", "\r\n", false},
      {"tab", "a\t", "", true},
      {"carriage return", "a\r", "b", true},
      {"trailing carriage return", "", "\r", true},
      {"other control bytes", "\x01", "\x1b" "c\x7f" "d\x1f", true},
      {"plain", "", "", true},
      // Not control bytes, but the same kind of leak: a colon is what the
      // record of named objects puts between a name and its kind, and the
      // segment's record file ("qvshm-" + name + ".rec") must be found again
      // with the dots of its name.
      {"colon", "a:", "b", true},
      {"two colons", "a:", ":c", true},
      {"colons at both ends", ":", ":", true},
      {"dot", "a.", "b", true},
      {"two dots in a row", "a..", "b", true},
      {"ends like a record file", "name", ".rec", true},
      {"colon and dot", "a:", ".b", true},
  };
  // The connector's QUORVANE_TMPDIR is this test's, and so is its sync folder.
  const std::string root = qvtest::PrivateRoot();
  int row = 0;
  for (const NameCase& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string tag = "cn" + std::to_string(getpid()) + "-" + std::to_string(row++);
    const std::string name = c.before + tag + c.after;
    pid_t connector = 0;
    {
      qvtest::ConnectorReport report(root);
      connector = StartConnector(report.path(), name);
      ASSERT_GT(connector, 0);
      qvtest::ChildKiller killer(connector);
      const qvtest::ConnectorReport::Line told = report.Await(kToldWithin);
      ASSERT_EQ(told.pid, connector) << "the connector never told how far it got";
      if (c.opens) {
        ASSERT_EQ(told.stage, "waiting");
        // What the kill leaves for the sweep: the connector's locks among them.
        EXPECT_TRUE(Exists(SyncDir() + "/" + name + "wrlck"));
      } else {
        EXPECT_EQ(told.stage, "unopened " + std::to_string(kBadLinkName));
        EXPECT_EQ(EntriesWith(SyncDir(), tag), std::vector<std::string>{}) << "made before the refusal";
        EXPECT_FALSE(Exists(ShmPath(name)));
      }
      ASSERT_TRUE(qvtest::KillAndAwaitEnd(connector, true));
      killer.release();
    }
    // The next environment of any process sweeps the folder at its start.
    RVEnvironment* environment = RVInitialize(nullptr);
    ASSERT_NE(environment, nullptr);
    std::vector<std::string> left;
    EXPECT_TRUE(qvtest::WaitUntil([&] {
      left = EntriesWith(SyncDir(), tag);
      return left.empty();
    })) << "left: " << Shown(left);
    EXPECT_TRUE(qvtest::WaitUntil([&] { return !Exists(ShmPath(name)); })) << "the segment is left";
    RVDeinitialize(environment);
    // The dead connector's own record of its objects is gone too.
    EXPECT_TRUE(qvtest::WaitUntil([&] {
      left = SyncEntries();
      return left.empty();
    })) << "left: " << Shown(left);
  }
}

}  // namespace
