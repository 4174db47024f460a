// Launching a child over pipes. Everything the child needs (argument vector,
// "exec " text, descriptor moves) is prepared before the fork: after it, in a
// threaded program, the child may only make async-signal-safe calls.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "device/qvfileutils.h"
#include "device/qvmessagelayer.h"
#include "device/qvpipesrecord.h"
#include "user/qvargvstrings.h"
#include "utilities/qvtimes.h"

namespace Quorvane::pipes {

namespace {

constexpr int kStartPolls = 100;
constexpr long kStartPollMicroseconds = 100;
constexpr int kCannotRun = 126;

// Pipe ends of one launch; closes what it still owns.
struct Ends {
  // [0] input (parent writes), [1] output (child writes), [2] message-in, [3] message-out;
  // each {read end, write end}.
  int fds[4][2] = {{-1, -1}, {-1, -1}, {-1, -1}, {-1, -1}};
  int status[2] = {-1, -1};  // the child writes errno here when its exec fails
  ~Ends() {
    for (auto& pair : fds) Close(pair);
    Close(status);
  }
  static void Close(int* pair) {
    for (int i = 0; i < 2; ++i) {
      if (pair[i] >= 0) close(pair[i]);
      pair[i] = -1;
    }
  }
  static int Take(int& fd) {
    const int taken = fd;
    fd = -1;
    return taken;
  }
};

// One descriptor the child moves: from, to.
struct Move {
  int from;
  int to;
};

// Places each end on its number. A cycle (an end sitting on another's target)
// is broken by moving one end above every number involved first.
void MoveDescriptors(Move* moves, int count) {
  int above = 0;
  for (int i = 0; i < count; ++i) above = std::max(above, std::max(moves[i].from, moves[i].to) + 1);
  int left = count;
  while (left > 0) {
    bool moved = false;
    for (int i = 0; i < count; ++i) {
      if (moves[i].to < 0) continue;
      bool targetBusy = false;
      for (int j = 0; j < count; ++j) targetBusy = targetBusy || (j != i && moves[j].to >= 0 && moves[j].from == moves[i].to);
      if (targetBusy) continue;
      if (moves[i].from == moves[i].to) {
        fcntl(moves[i].to, F_SETFD, 0);  // made close-on-exec; the child must keep it
      } else {
        dup2(moves[i].from, moves[i].to);
        close(moves[i].from);
      }
      moves[i].to = -1;
      --left;
      moved = true;
    }
    if (moved) continue;
    for (int i = 0; i < count; ++i) {
      if (moves[i].to < 0) continue;
      const int fresh = fcntl(moves[i].from, F_DUPFD, above);
      close(moves[i].from);
      moves[i].from = fresh;
      break;
    }
  }
}

[[noreturn]] void RunChild(Ends& ends, const Descriptors& d, char* const* argv, const char* shellText) {
  watchsignal(SIGINT, SIG_IGN);
  setpgid(0, 0);
  close(ends.fds[0][1]);
  close(ends.fds[1][0]);
  close(ends.fds[2][1]);
  close(ends.fds[3][0]);
  Move moves[4];
  int count = 0;
  const long targets[4] = {d.fdIn, d.fdOut, d.fdMsgIn, d.fdMsgOut};
  const int childEnds[4] = {ends.fds[0][0], ends.fds[1][1], ends.fds[2][0], ends.fds[3][1]};
  int keep[5];
  int kept = 0;
  for (int i = 0; i < 4; ++i) {
    if (targets[i] < 0) continue;
    moves[count++] = Move{childEnds[i], static_cast<int>(targets[i])};
    keep[kept++] = static_cast<int>(targets[i]);
  }
  // The status pipe may sit on a target: move it out of the way first.
  int status = ends.status[1];
  for (int i = 0; i < kept; ++i) {
    if (status == keep[i]) {
      status = fcntl(status, F_DUPFD_CLOEXEC, 1024);
      break;
    }
  }
  MoveDescriptors(moves, count);
  keep[kept++] = status;
  qvfile_close_open_file_references_except(keep, kept);
  if (shellText == nullptr) execv(argv[0], argv);
  else execl("/bin/sh", "sh", "-c", shellText, static_cast<char*>(nullptr));
  const int failure = errno;
  (void)!write(status, &failure, sizeof failure);
  _exit(1);
}

bool Contains(const char* text, const char* part) { return std::strstr(text, part) != nullptr; }

// The shell's text: "exec " and the command line with what the child's link
// needs to know appended.
char* cmdfix(qv_allocator_fn allocator, const char* commandLine) {
  const char* parts[3] = {nullptr, nullptr, nullptr};
  if (!Contains(commandLine, "ParentConnect") && !Contains(commandLine, "parentconnect")) parts[0] = " -LinkMode ParentConnect";
  if (!Contains(commandLine, "Pipes")) parts[1] = " -LinkProtocol Pipes";
  if (!Contains(commandLine, "quorvane") && !Contains(commandLine, "kovr")) parts[2] = " -quorvane";
  size_t size = std::strlen("exec ") + std::strlen(commandLine) + 1;
  for (const char* part : parts) size += part == nullptr ? 0 : std::strlen(part);
  char* text = static_cast<char*>(allocator(size));
  if (text == nullptr) return nullptr;
  std::strcpy(text, "exec ");
  std::strcat(text, commandLine);
  for (const char* part : parts) {
    if (part != nullptr) std::strcat(text, part);
  }
  return text;
}

// 0, or the error of a program that cannot be found or run.
long FindProgram(Environment* environment, const char* commandLine) {
  qv_allocator_fn allocator = environment->allocator;
  qv_deallocator_fn deallocator = environment->deallocator;
  char* program = qvfile_clear_quotes(commandLine, static_cast<long>(std::strlen(commandLine)), allocator, deallocator);
  if (program == nullptr) return kNoMemory;
  if (qvfile_exists_q(program, allocator, deallocator) == 0) {
    deallocator(program);
    program = qvfile_get_exe_name_from_command(commandLine, allocator, deallocator);
    if (program == nullptr) return kNoMemory;
    if (qvfile_exists_q(program, allocator, deallocator) == 0) {
      deallocator(program);
      return kNotFound;
    }
  }
  const int executable = qvfile_executable_q(program, allocator, deallocator);
  deallocator(program);
  return executable == 0 ? kNotExecutable : 0;
}

// The words of the completed command line (cmdfix's text after "exec ") for
// execv without a shell, null-ended, in one block: the pointer table followed
// by the words.
char** noshellcmdfix(qv_allocator_fn allocator, qv_deallocator_fn deallocator, const char* text) {
  const size_t textSize = std::strlen(text) + 1;
  for (long slots = 2;; ++slots) {
    const size_t tableSize = static_cast<size_t>(slots) * sizeof(char*);
    char* block = static_cast<char*>(allocator(tableSize + textSize));
    if (block == nullptr) return nullptr;
    char** argv = reinterpret_cast<char**>(block);
    const long words = qvas__string_to_argv(text, block + tableSize, argv, slots);
    if (words >= 0 && words < slots) {
      argv[words] = nullptr;
      if (words > 0) return argv;
      deallocator(block);
      return nullptr;
    }
    deallocator(block);
  }
}

// How the child's first moments went: 0 while it runs, else the error.
long WatchStart(pid_t child, int statusFd) {
  int failure = 0;
  ssize_t got;
  while ((got = read(statusFd, &failure, sizeof failure)) < 0 && errno == EINTR) {
  }
  sigset_t block, previous;
  sigemptyset(&block);
  sigaddset(&block, SIGCHLD);
  if (pthread_sigmask(SIG_BLOCK, &block, &previous) != 0) return kChildDidNotStart;
  long answer = 0;
  for (int poll = 0; poll < kStartPolls; ++poll) {
    int status = 0;
    // A failed exec means the child is ending: wait for it.
    const pid_t seen = waitpid(child, &status, got > 0 ? 0 : WNOHANG);
    if (seen != 0) {
      answer = seen == child && WIFEXITED(status) && WEXITSTATUS(status) == kCannotRun ? kNotFound : kChildDidNotStart;
      break;
    }
    QVMicroSleep(kStartPollMicroseconds);
  }
  if (pthread_sigmask(SIG_SETMASK, &previous, nullptr) != 0 && answer == 0) answer = kChildDidNotStart;
  return answer;
}

void EndChild(pid_t child) {
  kill(child, SIGKILL);
  while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

long Launch(Record* record, const Descriptors& d, const char* commandLine) noexcept {
  Environment* environment = record->environment;
  record->launched = 1;
  const size_t nameSize = std::strlen(commandLine) + 1;
  record->name = static_cast<char*>(environment->allocator(nameSize));
  if (record->name == nullptr) return kNoMemory;
  std::memcpy(record->name, commandLine, nameSize);
  if (const long found = FindProgram(environment, commandLine); found != 0) return found;

  char* shellText = cmdfix(environment->allocator, commandLine);
  if (shellText == nullptr) return kNoMemory;
  char** argv = nullptr;
  if (record->noShell) {
    argv = noshellcmdfix(environment->allocator, environment->deallocator, shellText + std::strlen("exec "));
    if (argv == nullptr) {
      environment->deallocator(shellText);
      return kNoMemory;
    }
  }
  struct Prepared {
    Environment* environment;
    char* text;
    char** argv;
    ~Prepared() {
      environment->deallocator(text);
      if (argv != nullptr) environment->deallocator(argv);
    }
  } prepared{environment, shellText, argv};

  Ends ends;
  for (auto& pair : ends.fds) {
    if (pipe2(pair, O_CLOEXEC) != 0) return -1;
  }
  if (pipe2(ends.status, O_CLOEXEC) != 0) return -1;
  if (watchsignal(SIGPIPE, SIG_IGN) == WatchSignalRefused()) return -1;

  const pid_t child = fork();
  if (child < 0) return -1;
  if (child == 0) RunChild(ends, d, argv, argv == nullptr ? shellText : nullptr);

  // The child's ends and the write end of the status pipe are its alone.
  close(Ends::Take(ends.fds[0][0]));
  close(Ends::Take(ends.fds[1][1]));
  close(Ends::Take(ends.fds[2][0]));
  close(Ends::Take(ends.fds[3][1]));
  close(Ends::Take(ends.status[1]));
  record->childPid = child;
  if (d.fdOut >= 0) record->readFd = Ends::Take(ends.fds[1][0]);
  if (d.fdIn >= 0) record->writeFd = Ends::Take(ends.fds[0][1]);
  if (d.fdMsgOut >= 0) record->msgReadFd = Ends::Take(ends.fds[3][0]);
  if (d.fdMsgIn >= 0) record->msgWriteFd = Ends::Take(ends.fds[2][1]);
  if (record->msgReadFd >= 0) unix_arrange_to_get_msgs(record->msgReadFd, -1);

  long answer = WatchStart(child, ends.status[0]);
  if (answer == 0) {
    qvchild_remove_dead_pids(environment->children);
    if (qvchild_insert_pid(environment->children, child) != kQVChildSuccess) answer = kChildDidNotStart;
    else if (!AddLaunched(record)) answer = kNoMemory;
    // A child that ended before it was listed had its SIGCHLD while the table
    // could not know it: nothing else would reap it.
    if (answer == 0) qvchild_wait_for_pid(environment->children);
    if (answer != 0) {
      EndChild(child);
      qvchild_delete_pid(environment->children, child);
    }
  }
  return answer;
}

}  // namespace Quorvane::pipes
