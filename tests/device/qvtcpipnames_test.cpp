// Every form of a "TCPIP" link name opens and connects through the public
// calls, in both wire models over IPv4 and IPv6 loopback, with and without
// -linkhost. The listener, in a child process, is named by the same form with
// its ports left to the system ("0"); the connector here is named by the
// ports the listener reports. Both names are asked before and after the
// connection, and a value goes each way.
//
// The whole program runs in a network of its own: a name without any host
// makes both sides choose this host's address, which there is loopback.
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "quorvane.h"
#include "support/qvprivatenetwork.h"
#include "support/qvtest.h"
#include "tests/device/qvtcpiptest.h"
#include "utilities/qvtestprocesses.h"

namespace {

// Before main: unshare needs a process of one thread.
const bool kPrivateNetwork = qvtest::EnterPrivateNetwork();

constexpr int kSent = 41;
constexpr auto kStepLimit = std::chrono::seconds(20);

enum class Form { data, dataAtHost, dataAndMesg, bothAtHost };

bool HasHost(Form form) { return form == Form::dataAtHost || form == Form::bothAtHost; }
bool HasMesg(Form form) { return form == Form::dataAndMesg || form == Form::bothAtHost; }

// The name of the form; the message port is left out when mesg is empty.
std::string NameOf(Form form, const std::string& data, const std::string& mesg, const std::string& host) {
  const std::string at = HasHost(form) ? "@" + host : "";
  std::string name = data + at;
  if (HasMesg(form) && !mesg.empty()) name += "," + mesg + at;
  return name;
}

struct NameCase {
  bool oldModel;
  bool ipv6;
  Form form;
  bool linkHost;
};

void PrintTo(const NameCase& c, std::ostream* os) {
  *os << (c.oldModel ? "old" : "new") << (c.ipv6 ? " v6" : " v4") << " form " << static_cast<int>(c.form)
      << (c.linkHost ? " -linkhost" : "");
}

std::string Loopback(bool ipv6) { return ipv6 ? "::1" : "127.0.0.1"; }

// A name and the open arguments after it: the host in the name (the other
// family's loopback when -linkhost must replace it), -linkhost, the options.
struct Naming {
  std::string nameHost;
  std::string tail;
};

Naming NamingFor(const NameCase& c) {
  Naming naming;
  std::string options = c.oldModel ? "" : "QVUseNewTCPIPConnection";
  if (c.linkHost) {
    naming.nameHost = Loopback(!c.ipv6);
    naming.tail = " -linkhost " + Loopback(c.ipv6);
  } else {
    naming.nameHost = Loopback(c.ipv6);
    // With no host at all the family is chosen by option.
    if (c.ipv6 && !HasHost(c.form)) options += options.empty() ? "QVUseIPV6" : ",QVUseIPV6";
  }
  if (!options.empty()) naming.tail += " -linkoptions " + options;
  return naming;
}

// Until the deadline, then the link's wait gives up.
std::chrono::steady_clock::time_point deadline;
int UntilDeadline(void*, QVYieldParams*) { return std::chrono::steady_clock::now() >= deadline ? 1 : 0; }

std::string DeviceName(QVLink* link) {
  char* name = nullptr;
  if (RVLowLevelDeviceName(link, &name) != 1 || name == nullptr) return "(no device name)";
  std::string text = name;
  RVReleaseLowLevelDeviceName(link, name);
  return text;
}

bool WriteLine(int fd, const std::string& text) {
  const std::string line = text + "\n";
  return ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
}

// One line from the child, or empty when none came in time.
std::string ReadLine(int fd) {
  std::string line;
  char c = 0;
  pollfd entry{fd, POLLIN, 0};
  while (::poll(&entry, 1, 20000) == 1 && ::read(fd, &c, 1) == 1 && c != '\n') line += c;
  return line;
}

// The child: listens by the name, reports its names, doubles one integer.
// Each failing step has its own status.
int Listener(int reportFd, const std::string& command) {
  RVEnvironment* environment = RVInitialize(nullptr);
  if (environment == nullptr) return 10;
  int error = 0;
  QVLink* link = RVOpenString(environment, command.c_str(), &error);
  if (link == nullptr) {
    WriteLine(reportFd, "open failed with " + std::to_string(error));
    return 11;
  }
  deadline = std::chrono::steady_clock::now() + 2 * kStepLimit;
  RVSetYieldFunction(link, &UntilDeadline);
  if (!WriteLine(reportFd, RVName(link)) || !WriteLine(reportFd, DeviceName(link))) return 12;
  int value = 0;
  if (RVActivate(link) == 0) return 13;
  if (RVGetInteger32(link, &value) == 0) return 14;
  if (RVPutInteger32(link, 2 * value) == 0 || RVFlush(link) == 0) return 15;
  if (!WriteLine(reportFd, DeviceName(link))) return 16;
  // The connector closes first; the next get learns of it.
  RVGetInteger32(link, &value);
  RVClose(link);
  RVDeinitialize(environment);
  return 0;
}

// The ports of a name "data@host[,mesg@host]" and its host.
struct Parsed {
  std::string data, mesg, host;
};

Parsed Parse(const std::string& name) {
  Parsed parsed;
  const size_t comma = name.find(',');
  const std::string first = name.substr(0, comma);
  const size_t at = first.find('@');
  parsed.data = first.substr(0, at);
  if (at != std::string::npos) parsed.host = first.substr(at + 1);
  if (comma != std::string::npos) parsed.mesg = name.substr(comma + 1, name.find('@', comma) - comma - 1);
  return parsed;
}

class TCPIPLinkNames : public ::testing::TestWithParam<NameCase> {};

TEST_P(TCPIPLinkNames, ConnectorByEveryFormOpensConnectsAndNamesItself) {
  const NameCase& c = GetParam();
  if (c.ipv6 && !qvtcpiptest::HasIPV6Loopback()) GTEST_SKIP() << "no IPv6 loopback";
  const bool chosenHost = !HasHost(c.form) && !c.linkHost;
  if (chosenHost && !kPrivateNetwork) {
    GTEST_SKIP() << "no network of the test's own (" << qvtest::PrivateNetworkRefusal()
                 << "): a name without a host would use this machine's interfaces";
  }
  const Naming naming = NamingFor(c);
  // The new model listens on one port: its listener's name has no message port.
  const std::string listenerName = NameOf(c.form, "0", c.oldModel ? "0" : "", naming.nameHost);
  const std::string listen = "-linkprotocol TCPIP -linkmode listen -linkname " + listenerName + naming.tail;
  int report[2];
  ASSERT_EQ(::pipe(report), 0);
  const pid_t child = fork();
  if (child == 0) {
    ::close(report[0]);
    _exit(Listener(report[1], listen));
  }
  ASSERT_GT(child, 0);
  ::close(report[1]);
  qvtest::ChildKiller killer(child);

  // The listener is known by the ports the system gave it.
  const std::string listenerLinkName = ReadLine(report[0]);
  ASSERT_EQ(ReadLine(report[0]), listenerLinkName) << "the link's name is its device's name";
  const Parsed ports = Parse(listenerLinkName);
  ASSERT_NE(ports.data, "") << listenerLinkName;
  ASSERT_NE(ports.data, "0") << listenerLinkName;
  // Given, or chosen: on a network with only loopback up, its address.
  const std::string host = Loopback(c.ipv6);
  EXPECT_EQ(ports.host, host) << listenerLinkName;
  if (c.oldModel) {
    ASSERT_NE(ports.mesg, "") << listenerLinkName;
    ASSERT_NE(ports.mesg, "0") << listenerLinkName;
    EXPECT_EQ(listenerLinkName, ports.data + "@" + host + "," + ports.mesg + "@" + host);
  } else {
    EXPECT_EQ(listenerLinkName, ports.data + "@" + host);
  }

  // The new model's one port serves both connections.
  const std::string mesgPort = c.oldModel ? ports.mesg : ports.data;
  const std::string connectorName = NameOf(c.form, ports.data, mesgPort, naming.nameHost);
  RVEnvironment* environment = RVInitialize(nullptr);
  ASSERT_NE(environment, nullptr);
  int error = 0;
  const std::string connect = "-linkprotocol TCPIP -linkmode connect -linkname " + connectorName + naming.tail;
  QVLink* link = RVOpenString(environment, connect.c_str(), &error);
  ASSERT_NE(link, nullptr) << connect << ": error " << error;
  deadline = std::chrono::steady_clock::now() + kStepLimit;
  ASSERT_EQ(RVSetYieldFunction(link, &UntilDeadline), 1);

  // Before connecting it knows only the ports its name gave.
  const std::string known = ports.data + "@" + host;
  const std::string both = known + "," + mesgPort + "@" + host;
  const std::string before = HasMesg(c.form) ? both : known;
  EXPECT_EQ(RVName(link), before) << connect;
  EXPECT_EQ(DeviceName(link), before) << connect;

  ASSERT_NE(RVActivate(link), 0) << connect << ": error " << RVError(link);
  ASSERT_EQ(RVPutInteger32(link, kSent), 1);
  ASSERT_EQ(RVFlush(link), 1);
  int answer = 0;
  ASSERT_EQ(RVGetInteger32(link, &answer), 1) << "error " << RVError(link);
  EXPECT_EQ(answer, 2 * kSent);

  // An old-model connector has learned the message port in the handshake.
  EXPECT_EQ(DeviceName(link), c.oldModel ? both : before) << connect;
  EXPECT_EQ(ReadLine(report[0]), listenerLinkName) << "the listener's name after the connection";
  RVClose(link);
  RVDeinitialize(environment);
  ::close(report[0]);

  int status = -1;
  EXPECT_TRUE(qvtest::WaitUntil([&] { return waitpid(child, &status, WNOHANG) == child; }));
  if (WIFEXITED(status) || WIFSIGNALED(status)) killer.release();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "listener status " << status;
}

std::vector<NameCase> AllCases() {
  std::vector<NameCase> cases;
  for (bool oldModel : {true, false}) {
    for (bool ipv6 : {false, true}) {
      for (Form form : {Form::data, Form::dataAtHost, Form::dataAndMesg, Form::bothAtHost}) {
        for (bool linkHost : {false, true}) cases.push_back({oldModel, ipv6, form, linkHost});
      }
    }
  }
  return cases;
}

std::string CaseName(const ::testing::TestParamInfo<NameCase>& info) {
  const NameCase& c = info.param;
  static const char* const forms[] = {"data", "data_at_host", "data_and_mesg", "both_at_host"};
  return std::string(c.oldModel ? "old" : "new") + (c.ipv6 ? "_v6_" : "_v4_") + forms[static_cast<int>(c.form)] +
         (c.linkHost ? "_linkhost" : "");
}

INSTANTIATE_TEST_SUITE_P(Forms, TCPIPLinkNames, ::testing::ValuesIn(AllCases()), CaseName);

}  // namespace
