// The dialogs an environment starts with: console or notification by the
// process's situation, and the request for a link argument vector.
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "api/qvdialogs.h"
#include "utilities/platform/qvnotification.h"

namespace {

// A person at a terminal, or logged in remotely: ask on the console.
bool ConsoleQ() { return std::getenv("SSH_CLIENT") != nullptr || isatty(STDIN_FILENO) == 1; }

void CopyText(char* buffer, long size, const char* text) {
  if (buffer == nullptr || size < 1) return;
  const size_t room = static_cast<size_t>(size) - 1;
  const size_t length = std::strlen(text) < room ? std::strlen(text) : room;
  std::memcpy(buffer, text, length);
  buffer[length] = '\0';
}

constexpr long kArgvEntries = 6;
char kQuorvaneWord[] = "-quorvane";
char kNameWord[] = "-linkname";
char kModeWord[] = "-linkmode";
char kListenWord[] = "listen";
char kConnectWord[] = "connect";

long LinkVector(char** argv, char* name, char* mode) {
  argv[0] = kQuorvaneWord;
  argv[1] = kNameWord;
  argv[2] = name;
  argv[3] = kModeWord;
  argv[4] = mode;
  argv[5] = nullptr;
  return kArgvEntries - 1;
}

bool CanAskQ(RVEnvironment* environment) {
  return environment != nullptr && environment->dialogs.request != nullptr &&
         RVRequestToInteract(environment, 1) != 0;
}

}  // namespace

int QVAlert_default(RVEnvironment* environment, const char* text) {
  if (ConsoleQ()) return QVAlert_unix(environment, text);
  if (text == nullptr) return 0;
  return Quorvane::platform::NotificationAlert("Quorvane Alert", text);
}

int QVRequest_default(RVEnvironment* environment, const char* prompt, char* buffer, long size) {
  if (ConsoleQ()) return QVRequest_unix(environment, prompt, buffer, size);
  if (prompt == nullptr) return 0;
  if (Quorvane::platform::NotificationRequest("Quorvane Request", prompt, buffer, size) == 0) return 0;
  if (buffer != nullptr && size >= 1) buffer[size - 1] = '\0';
  return 1;
}

int QVConfirm_default(RVEnvironment* environment, const char* question, int defaultAnswer) {
  if (ConsoleQ()) return QVConfirm_unix(environment, question, defaultAnswer);
  if (question == nullptr) return defaultAnswer;
  return Quorvane::platform::NotificationConfirm("Quorvane Confirmation", question) != 0 ? 1 : 0;
}

int QVPermit_default(RVEnvironment*, int) { return 1; }

int QVDontPermit(RVEnvironment*, int) { return 0; }

long default_request_argv(RVEnvironment* environment, char** argv, long capacity, char* buffer, long size) {
  if (argv == nullptr || capacity < 1) return 0;
  // Six entries are written: a smaller vector, or no buffer for the name, gets
  // nothing but its ending null entry.
  if (capacity < kArgvEntries || buffer == nullptr || size < 1) {
    argv[0] = nullptr;
    return 0;
  }
  buffer[0] = '\0';
  if (!CanAskQ(environment)) return LinkVector(argv, buffer, kListenWord);
  if (RVRequest(environment, "Create link: ", buffer, size) != 0) {
    if (buffer[0] == ' ' || buffer[0] == '0') buffer[0] = '\0';
    return LinkVector(argv, buffer, kListenWord);
  }
  CopyText(buffer, size, "name@host");
  LinkVector(argv, buffer, kConnectWord);
  if (!CanAskQ(environment)) return kArgvEntries - 1;
  if (RVRequest(environment, "Connect to link: ", buffer, size) != 0) return kArgvEntries - 1;
  argv[0] = nullptr;
  return 0;
}

qv_dialog_functions QVDefaultDialogFunctions() {
  return qv_dialog_functions{QVAlert_default, QVRequest_default, QVConfirm_default, default_request_argv,
                             QVPermit_default};
}
