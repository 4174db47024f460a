// The console forms of the dialogs: prompts on the terminal, answers read
// from standard input.
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>

#include "api/qvdialogs.h"

namespace {

bool TerminalQ(int descriptor) { return isatty(descriptor) == 1; }

}  // namespace

int QVAlert_unix(RVEnvironment*, const char* text) {
  if (text == nullptr) return 0;
  std::fprintf(stderr, "%s\n", text);
  std::fflush(stderr);
  return 1;
}

int QVRequest_unix(RVEnvironment*, const char* prompt, char* buffer, long size) {
  if (buffer == nullptr) return 0;
  if (size >= 1) buffer[0] = '\0';
  if (prompt == nullptr || size < 2 || !TerminalQ(STDIN_FILENO)) return 0;
  FILE* out = TerminalQ(STDOUT_FILENO) ? stdout : TerminalQ(STDERR_FILENO) ? stderr : nullptr;
  if (out == nullptr) return 0;
  std::fputs(prompt, out);
  std::fflush(out);
  // One byte less than the buffer: at most size - 2 characters and the NUL.
  const long count = size - 1 < INT_MAX ? size - 1 : INT_MAX;
  if (std::fgets(buffer, static_cast<int>(count), stdin) == nullptr || buffer[0] == '\n') {
    buffer[0] = '\0';
    return 0;
  }
  buffer[size - 1] = '\0';
  const size_t length = std::strlen(buffer);
  if (length > 0 && buffer[length - 1] == '\n') buffer[length - 1] = '\0';
  return 1;
}

int QVConfirm_unix(RVEnvironment* environment, const char* question, int defaultAnswer) {
  if (question == nullptr) return defaultAnswer;
  char prompt[kConfirmPromptBuffer];
  std::snprintf(prompt, sizeof prompt, "%.*s < yes | no > ", kConfirmQuestionLimit, question);
  char answer[kConfirmPromptBuffer];
  for (;;) {
    // Left in place when nothing may be asked: the default answers.
    std::strcpy(answer, defaultAnswer != 0 ? "yes" : "no");
    if (RVRequest(environment, prompt, answer, sizeof answer) == 0) return 0;
    switch (answer[0]) {
      case 'Y':
      case 'y':
        return 1;
      case 'N':
      case 'n':
        return 0;
      default:
        break;
    }
  }
}

int QVPermit_unix(RVEnvironment*, int) { return TerminalQ(STDIN_FILENO) ? 1 : 0; }
