#include "api/qvdialogs.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "quorvane.h"
#include "support/qvtest.h"
#include "tests/api/qvenvironmenttest.h"
#include "utilities/platform/qvnotification.h"

namespace {

// What the scripted user answers, and what the library asked.
struct Script {
  int permit = 1;
  int permits_asked = 0;
  std::deque<std::pair<int, std::string>> answers;  // answer and text of each request
  std::vector<std::string> prompts;
  std::vector<std::string> alerts;
  int confirm = 1;
};
Script* gScript = nullptr;

int ScriptedPermit(RVEnvironment*, int wait) {
  EXPECT_EQ(wait, 1);
  ++gScript->permits_asked;
  return gScript->permit;
}

int ScriptedRequest(RVEnvironment*, const char* prompt, char* buffer, long size) {
  gScript->prompts.emplace_back(prompt);
  if (gScript->answers.empty()) return 0;
  const auto [answer, text] = gScript->answers.front();
  gScript->answers.pop_front();
  std::snprintf(buffer, static_cast<size_t>(size), "%s", text.c_str());
  return answer;
}

int ScriptedAlert(RVEnvironment*, const char* text) {
  gScript->alerts.emplace_back(text);
  return 7;
}

int ScriptedConfirm(RVEnvironment*, const char*, int) { return gScript->confirm; }

long ScriptedRequestArgv(RVEnvironment*, char** argv, long, char*, long) {
  argv[0] = const_cast<char*>("-linkname");
  argv[1] = nullptr;
  return 1;
}

template <typename Function>
void* Generic(Function function) {
  return reinterpret_cast<void*>(function);
}

class Dialogs : public testing::Test {
 protected:
  void SetUp() override {
    environment_ = qvtest::BeginWithoutDevices();
    ASSERT_NE(environment_, nullptr);
    gScript = &script_;
  }
  void TearDown() override {
    gScript = nullptr;
    RVEnd(environment_);
  }
  void InstallScript() {
    RVSetDialogFunction(environment_, 1, Generic(RVAlertCast(ScriptedAlert)));
    RVSetDialogFunction(environment_, 2, Generic(RVRequestCast(ScriptedRequest)));
    RVSetDialogFunction(environment_, 3, Generic(RVConfirmCast(ScriptedConfirm)));
    RVSetDialogFunction(environment_, 4, Generic(RVRequestArgvCast(ScriptedRequestArgv)));
    RVSetDialogFunction(environment_, 5, Generic(RVRequestToInteractCast(ScriptedPermit)));
  }

  RVEnvironment* environment_ = nullptr;
  Script script_;
};

}  // namespace

TEST_F(Dialogs, SettingCallbacksByNumber) {
  const qv_dialog_functions defaults = environment_->dialogs;
  EXPECT_EQ(RVSetDialogFunction(environment_, 0, Generic(ScriptedAlert)), 0);
  EXPECT_EQ(RVSetDialogFunction(environment_, 6, Generic(ScriptedAlert)), 0);
  EXPECT_EQ(RVSetDialogFunction(nullptr, 1, Generic(ScriptedAlert)), 0);
  EXPECT_EQ(std::memcmp(&environment_->dialogs, &defaults, sizeof defaults), 0) << "nothing changed";
  InstallScript();
  EXPECT_EQ(environment_->dialogs.alert, &ScriptedAlert);
  EXPECT_EQ(environment_->dialogs.request, &ScriptedRequest);
  EXPECT_EQ(environment_->dialogs.confirm, &ScriptedConfirm);
  EXPECT_EQ(environment_->dialogs.requestArgv, &ScriptedRequestArgv);
  EXPECT_EQ(environment_->dialogs.requestToInteract, &ScriptedPermit);
  for (long number = 1; number <= 5; ++number) {
    EXPECT_EQ(RVSetDialogFunction(environment_, number, reinterpret_cast<void*>(1)), 1);
  }
  EXPECT_EQ(std::memcmp(&environment_->dialogs, &defaults, sizeof defaults), 0) << "defaults restored";
  EXPECT_EQ(defaults.alert, &QVAlert_default);
  EXPECT_EQ(defaults.requestArgv, &default_request_argv);
  EXPECT_EQ(defaults.requestToInteract, &QVPermit_default);
}

TEST_F(Dialogs, MissingAndRefusedCallbacks) {
  struct Case {
    const char* what;
    bool permit_missing;
    int permit;
    bool callbacks_missing;
    int alert, confirm, request, request_argv;
  };
  const Case cases[] = {
      {"allowed", false, 1, false, 7, 1, 1, 1},
      {"refused", false, 0, false, 0, 5, 1, 0},  // confirm gives the default
      {"no permission callback", true, 1, false, 0, 5, 1, 0},
      {"no callbacks", false, 1, true, 0, 5, 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    InstallScript();
    script_.permit = c.permit;
    script_.confirm = 1;
    script_.answers = {{1, "typed"}};
    if (c.permit_missing) RVSetDialogFunction(environment_, 5, nullptr);
    if (c.callbacks_missing) {
      for (long number = 1; number <= 4; ++number) RVSetDialogFunction(environment_, number, nullptr);
    }
    EXPECT_EQ(RVAlert(environment_, "note"), c.alert);
    EXPECT_EQ(RVConfirm(environment_, "sure?", 5), c.confirm);
    char buffer[16] = "prefilled";
    EXPECT_EQ(RVRequest(environment_, "name: ", buffer, sizeof buffer), c.request);
    EXPECT_STREQ(buffer, c.alert != 0 ? "typed" : "prefilled");
    char* argv[6] = {reinterpret_cast<char*>(1), nullptr};
    EXPECT_EQ(RVRequestArgv(environment_, argv, 6, buffer, sizeof buffer), c.request_argv);
    if (c.request_argv == 0) {
      EXPECT_EQ(argv[0], nullptr);
    }
  }
  EXPECT_EQ(RVAlert(environment_, nullptr), 0);
  EXPECT_EQ(RVAlert(nullptr, "x"), 0);
  EXPECT_EQ(RVConfirm(nullptr, "x", 3), 3);
  EXPECT_EQ(RVRequest(nullptr, "x", nullptr, 0), 1);
  EXPECT_EQ(RVRequestArgv(environment_, nullptr, 6, nullptr, 0), 0);
  EXPECT_EQ(RVRequestToInteract(nullptr, 1), 0);
  RVSetDialogFunction(environment_, 5, nullptr);
  EXPECT_EQ(RVRequestToInteract(environment_, 1), 0);
}

TEST_F(Dialogs, DefaultRequestArgvPaths) {
  struct Case {
    const char* what;
    int permit;
    bool has_request;
    std::deque<std::pair<int, std::string>> answers;
    long capacity;
    long answer;
    const char* name;
    const char* mode;
    std::vector<std::string> prompts;
  };
  const Case cases[] = {
      {"named listener", 1, true, {{1, "myname"}}, 6, 5, "myname", "listen", {"Create link: "}},
      {"reply beginning with 0", 1, true, {{1, "0abc"}}, 6, 5, "", "listen", {"Create link: "}},
      {"reply beginning with a blank", 1, true, {{1, " abc"}}, 6, 5, "", "listen", {"Create link: "}},
      {"connect after a cancel", 1, true, {{0, ""}, {1, "other@host"}}, 6, 5, "other@host", "connect",
       {"Create link: ", "Connect to link: "}},
      {"two cancels", 1, true, {{0, ""}, {0, ""}}, 6, 0, nullptr, nullptr, {"Create link: ", "Connect to link: "}},
      {"nothing may be asked", 0, true, {}, 6, 5, "", "listen", {}},
      {"no request callback", 1, false, {}, 6, 5, "", "listen", {}},
      {"a vector too small", 1, true, {{1, "x"}}, 5, 0, nullptr, nullptr, {}},
      {"a vector of one", 1, true, {{1, "x"}}, 1, 0, nullptr, nullptr, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    InstallScript();
    script_.permit = c.permit;
    script_.answers = c.answers;
    script_.prompts.clear();
    if (!c.has_request) RVSetDialogFunction(environment_, 2, nullptr);
    char buffer[64];
    char* argv[8];
    for (char*& entry : argv) entry = reinterpret_cast<char*>(1);
    EXPECT_EQ(default_request_argv(environment_, argv, c.capacity, buffer, sizeof buffer), c.answer);
    EXPECT_EQ(script_.prompts, c.prompts);
    if (c.answer == 0) {
      EXPECT_EQ(argv[0], nullptr);
      if (c.capacity < 6) {
        EXPECT_EQ(argv[1], reinterpret_cast<char*>(1)) << "nothing past the first entry";
      }
      continue;
    }
    EXPECT_STREQ(argv[0], "-quorvane");
    EXPECT_STREQ(argv[1], "-linkname");
    EXPECT_EQ(argv[2], buffer);
    EXPECT_STREQ(argv[2], c.name);
    EXPECT_STREQ(argv[3], "-linkmode");
    EXPECT_STREQ(argv[4], c.mode);
    EXPECT_EQ(argv[5], nullptr);
    EXPECT_EQ(argv[6], reinterpret_cast<char*>(1));
  }
  char* argv[6];
  char tiny[4];
  InstallScript();
  script_.answers = {{0, ""}, {1, ""}};
  EXPECT_EQ(default_request_argv(environment_, argv, 6, tiny, sizeof tiny), 5);
  EXPECT_STREQ(argv[4], "connect");
  EXPECT_EQ(default_request_argv(environment_, argv, 6, nullptr, 0), 0);
  EXPECT_EQ(argv[0], nullptr);
}

namespace {

// Runs body in a child whose standard input is /dev/null and whose standard
// error goes to a pipe; answers the child's exit code and what it wrote.
std::pair<int, std::string> Headless(const std::function<int()>& body, bool remote) {
  int errors[2];
  if (pipe(errors) != 0) return {-1, ""};
  const int status = qvtest::RunInChild([&] {
    close(errors[0]);
    const int none = open("/dev/null", O_RDONLY);
    dup2(none, STDIN_FILENO);
    dup2(errors[1], STDERR_FILENO);
    if (remote) {
      setenv("SSH_CLIENT", "127.0.0.1 50000 22", 1);
    } else {
      unsetenv("SSH_CLIENT");
    }
    return body();
  });
  close(errors[1]);
  std::string text;
  char chunk[256];
  ssize_t n;
  while ((n = read(errors[0], chunk, sizeof chunk)) > 0) text.append(chunk, static_cast<size_t>(n));
  close(errors[0]);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text};
}

std::vector<std::string> gNotified;
int NotifiedAlert(const char* header, const char* text) {
  gNotified.push_back(std::string(header) + "|" + text);
  return 1;
}
int NotifiedRequest(const char* header, const char* prompt, char* buffer, long size) {
  gNotified.push_back(std::string(header) + "|" + prompt);
  std::snprintf(buffer, static_cast<size_t>(size), "%s", "answered");
  return 1;
}
int NotifiedConfirm(const char* header, const char* question) {
  gNotified.push_back(std::string(header) + "|" + question);
  return 1;
}

}  // namespace

TEST(DialogDefaults, WithoutATerminalNothingWaits) {
  // The system's notification layer: an alert on standard error, every
  // question cancelled at once.
  const auto [code, errors] = Headless(
      [] {
        RVEnvironment* environment = qvtest::BeginWithoutDevices();
        if (environment == nullptr) return 10;
        int failed = 0;
        if (RVAlert(environment, "disk is full") != 1) failed |= 1;
        char buffer[32] = "x";
        if (RVRequest(environment, "Name: ", buffer, sizeof buffer) != 0 || buffer[0] != '\0') failed |= 2;
        if (RVConfirm(environment, "Sure?", 1) != 0) failed |= 4;
        char* argv[20];
        if (RVRequestArgv(environment, argv, 20, buffer, sizeof buffer) != 0 || argv[0] != nullptr) failed |= 8;
        if (QVPermit_unix(environment, 1) != 0) failed |= 16;
        RVEnd(environment);
        return failed;
      },
      false);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(errors, "Quorvane Alert: disk is full\n");
}

TEST(DialogDefaults, NotificationsCarryTheirHeaders) {
  const auto [code, errors] = Headless(
      [] {
        const Quorvane::platform::NotificationBackend scripted{NotifiedAlert, NotifiedRequest, NotifiedConfirm};
        Quorvane::platform::SetNotificationBackendForTesting(&scripted);
        RVEnvironment* environment = qvtest::BeginWithoutDevices();
        if (environment == nullptr) return 10;
        int failed = 0;
        char buffer[32];
        if (RVAlert(environment, "note") != 1) failed |= 1;
        if (RVRequest(environment, "Name: ", buffer, sizeof buffer) != 1 || std::strcmp(buffer, "answered") != 0) {
          failed |= 2;
        }
        if (RVConfirm(environment, "Sure?", 0) != 1) failed |= 4;
        if (QVRequest_default(environment, nullptr, buffer, sizeof buffer) != 0) failed |= 8;
        if (QVConfirm_default(environment, nullptr, 3) != 3) failed |= 16;
        const std::vector<std::string> expected = {"Quorvane Alert|note", "Quorvane Request|Name: ",
                                                   "Quorvane Confirmation|Sure?"};
        if (gNotified != expected) failed |= 32;
        RVEnd(environment);
        Quorvane::platform::SetNotificationBackendForTesting(nullptr);
        return failed;
      },
      false);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(errors, "");
}

TEST(DialogDefaults, ARemoteLoginUsesTheConsole) {
  const auto [code, errors] = Headless(
      [] {
        RVEnvironment* environment = qvtest::BeginWithoutDevices();
        if (environment == nullptr) return 10;
        int failed = RVAlert(environment, "to the console") == 1 ? 0 : 1;
        char buffer[8] = "x";
        // Standard input is no terminal: nothing can be read.
        if (RVRequest(environment, "Name: ", buffer, sizeof buffer) != 0) failed |= 2;
        RVEnd(environment);
        return failed;
      },
      true);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(errors, "to the console\n");
}
