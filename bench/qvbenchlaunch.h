// A program launched by a host over a device, through the public calls only:
// the host's environment and its link to the program, connected. Everything
// here is set-up, done before a benchmark's timed loop; when it goes, the
// program has ended and been reaped, so that nothing of one benchmark runs
// on into the next.
#pragma once

#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "quorvane.h"

namespace qvbench {

// The devices a host can launch a program over.
enum class Device { kSharedMemory, kPipes, kTCP, kTCPIP };

inline const char* ProtocolOf(Device device) {
  switch (device) {
    case Device::kSharedMemory:
      return "SharedMemory";
    case Device::kPipes:
      return "Pipes";
    case Device::kTCP:
      return "TCP";
    case Device::kTCPIP:
      return "TCPIP";
  }
  return "";
}

namespace launchdetail {

// A launch or a connection that does not come within this time gives up.
inline std::chrono::steady_clock::time_point& GiveUpAt() {
  static std::chrono::steady_clock::time_point at;
  return at;
}

inline int UntilGiveUp(void*, QVYieldParams*) { return std::chrono::steady_clock::now() >= GiveUpAt() ? 1 : 0; }

// The children of this process, as the system lists them for each thread.
inline std::vector<pid_t> Children() {
  std::vector<pid_t> children;
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) return children;
  while (const dirent* entry = readdir(tasks)) {
    if (entry->d_name[0] == '.') continue;
    std::ifstream list(std::string("/proc/self/task/") + entry->d_name + "/children");
    for (pid_t pid = 0; list >> pid;) children.push_back(pid);
  }
  closedir(tasks);
  std::sort(children.begin(), children.end());
  return children;
}

// A descriptor of the one child in after that is not in before, or -1. It
// names that process for good, whatever its number comes to name later.
inline int NewChild(const std::vector<pid_t>& before, const std::vector<pid_t>& after) {
  std::vector<pid_t> added;
  std::set_difference(after.begin(), after.end(), before.begin(), before.end(), std::back_inserter(added));
  return added.size() == 1 ? static_cast<int>(syscall(SYS_pidfd_open, added.front(), 0)) : -1;
}

// Waits up to ten seconds for the program to end, then kills it, and reaps
// it (unless the library's own reaping came first).
inline void Reap(int program) {
  pollfd ended{program, POLLIN, 0};
  if (poll(&ended, 1, 10000) != 1) syscall(SYS_pidfd_send_signal, program, SIGKILL, nullptr, 0);
  siginfo_t info{};
  waitid(P_PIDFD, static_cast<id_t>(program), &info, WEXITED);
  close(program);
}

}  // namespace launchdetail

class LaunchedProgram {
 public:
  // command: the program's path and its own words, as -linkname takes it;
  // launched() runs once the program is started, before the link connects.
  LaunchedProgram(Device device, const std::string& command, const std::function<void()>& launched = {}) {
    environment_ = RVInitialize(nullptr);
    if (environment_ == nullptr) {
      failure_ = "no environment";
      return;
    }
    char* words[] = {const_cast<char*>("-linkprotocol"), const_cast<char*>(ProtocolOf(device)),
                     const_cast<char*>("-linkmode"),     const_cast<char*>("launch"),
                     const_cast<char*>("-linkname"),     const_cast<char*>(command.c_str())};
    int error = 0;
    const std::vector<pid_t> before = launchdetail::Children();
    link_ = RVOpenArgcArgv(environment_, 6, words, &error);
    program_ = launchdetail::NewChild(before, launchdetail::Children());
    if (link_ == nullptr) {
      failure_ = std::string("launch: ") + RVErrorString(environment_, error);
      return;
    }
    if (launched) launched();
    launchdetail::GiveUpAt() = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    RVSetYieldFunction(link_, &launchdetail::UntilGiveUp);
    const bool connected = RVConnect(link_) == 1;
    // The measured waits run without a yield function, as a plain host's do.
    RVSetYieldFunction(link_, nullptr);
    if (!connected) Fail("connect");
  }
  ~LaunchedProgram() {
    // The program ends with the link; it is reaped while the environment,
    // which may reap it too, still stands.
    if (link_ != nullptr) RVClose(link_);
    if (program_ >= 0) launchdetail::Reap(program_);
    if (environment_ != nullptr) RVDeinitialize(environment_);
  }
  LaunchedProgram(const LaunchedProgram&) = delete;
  LaunchedProgram& operator=(const LaunchedProgram&) = delete;

  // Null when the program could not be launched and reached; failure() says why.
  QVLink* link() const { return link_; }
  const std::string& failure() const { return failure_; }

  // Closes the link with what went wrong on it.
  void Fail(const char* step) {
    failure_ = std::string(step) + ": " + RVErrorMessage(link_);
    RVClose(link_);
    link_ = nullptr;
  }

 private:
  RVEnvironment* environment_ = nullptr;
  QVLink* link_ = nullptr;
  int program_ = -1;  // a process descriptor; -1 when it could not be told apart
  std::string failure_;
};

}  // namespace qvbench
