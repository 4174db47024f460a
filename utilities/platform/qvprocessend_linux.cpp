// Linux: a child of ours is asked through waitid without collecting its
// status; any other process is read from /proc, where the state letter 'Z'
// also marks a first thread that ended while the others run on, so the
// process's thread count must be 1 as well.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "utilities/platform/qvprocessend.h"

namespace Quorvane::platform {

namespace {

// Fields of /proc/<id>/stat after the command name: the state is the
// first, the thread count the eighteenth.
constexpr int kThreadCountField = 17;

// The state letter and the thread count, or false when they cannot be read.
bool ReadStat(int id, char* state, long* threads) {
  char path[32];
  std::snprintf(path, sizeof path, "/proc/%d/stat", id);
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char text[1024];
  ssize_t n;
  while ((n = read(fd, text, sizeof text - 1)) < 0 && errno == EINTR) {
  }
  close(fd);
  if (n <= 0) return false;
  text[n] = '\0';
  // The command name may hold blanks and parentheses: it ends at the last ')'.
  const char* at = std::strrchr(text, ')');
  if (at == nullptr || at[1] != ' ' || at[2] == '\0') return false;
  *state = at[2];
  at += 3;
  for (int field = 1; field < kThreadCountField; ++field) {
    at = std::strchr(at + 1, ' ');
    if (at == nullptr) return false;
  }
  char* end = nullptr;
  *threads = std::strtol(at, &end, 10);
  return end != at;
}

}  // namespace

bool ProcessEndedUnreapedQ(int id) noexcept {
  if (id < 1) return false;
  siginfo_t info;
  std::memset(&info, 0, sizeof info);
  int result;
  while ((result = waitid(P_PID, static_cast<id_t>(id), &info, WEXITED | WNOHANG | WNOWAIT)) < 0 &&
         errno == EINTR) {
  }
  // Our child: waitable once every one of its threads has ended.
  if (result == 0) return info.si_pid == id;
  char state = 0;
  long threads = 0;
  return ReadStat(id, &state, &threads) && state == 'Z' && threads <= 1;
}

}  // namespace Quorvane::platform
