// Two programs joined by a "TCP" link: the listener is named <port>@<host>
// and the connector opens that name. They exchange expressions whose strings
// are full of backslashes (the framing's escape byte) and span many 972-byte
// windows, each way. On a host of the test's own, so the name resolves to its
// loopback; every wait of both links ends at a deadline.
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "quorvane.h"
#include "support/qvtest.h"
#include "tests/device/qvbackslashtexts.h"
#include "tests/device/qvprivatehost.h"
#include "tests/device/qvtcptest.h"
#include "tests/utilities/qvtestprocesses.h"

namespace {

// The connecting program: sends the texts, reads them back, answers 0 when
// they came back unchanged.
int Connector(int nameFd) {
  char name[256] = {};
  pollfd entry{nameFd, POLLIN, 0};
  if (poll(&entry, 1, 20000) != 1 || read(nameFd, name, sizeof name - 1) <= 0) return 10;
  RVEnvironment* environment = RVInitialize(nullptr);
  if (environment == nullptr) return 11;
  int answer = 12;
  const std::string command = "-linkprotocol TCP -linkmode connect -linkname " + std::string(name);
  if (QVLink* link = qvtest::OpenLinkWithDeadline(environment, command)) {
    const std::vector<std::string> texts = qvtest::BackslashTexts();
    if (RVActivate(link) == 0) answer = 13;
    else if (!qvtest::PutTexts(link, texts)) answer = 14;
    else answer = qvtest::GetTexts(link) == texts ? 0 : 15;
    RVClose(link);
  }
  RVDeinitialize(environment);
  return answer;
}

TEST(TcpLink, TwoProcessesExchangeExpressionsFullOfBackslashes) {
  QV_ON_PRIVATE_HOST(qvtest::NamedLoopbackHost(), [] {
    int names[2];
    ASSERT_EQ(pipe2(names, O_CLOEXEC), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      close(names[1]);
      _exit(Connector(names[0]));
    }
    qvtest::ChildKiller killer(child);
    close(names[0]);
    RVEnvironment* environment = RVInitialize(nullptr);
    ASSERT_NE(environment, nullptr);
    QVLink* link = qvtest::OpenLinkWithDeadline(environment, "-linkprotocol TCP -linkmode listen -linkname 0");
    ASSERT_NE(link, nullptr);
    const std::string name = RVName(link);
    EXPECT_EQ(name.substr(name.find('@')), "@qvhost");
    ASSERT_EQ(write(names[1], name.data(), name.size()), static_cast<ssize_t>(name.size()));
    close(names[1]);
    ASSERT_NE(RVActivate(link), 0) << RVError(link);
    const std::vector<std::string> texts = qvtest::GetTexts(link);
    EXPECT_EQ(texts, qvtest::BackslashTexts()) << RVError(link);
    EXPECT_TRUE(qvtest::PutTexts(link, texts)) << RVError(link);
    int status = -1;
    const bool reaped = qvtest::WaitUntil([&] { return waitpid(child, &status, WNOHANG) == child; });
    ASSERT_TRUE(reaped);
    killer.release();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    RVClose(link);
    RVDeinitialize(environment);
  });
}

}  // namespace
