// Helpers for tests that watch their own threads and start children.
#pragma once

#include <dirent.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <fstream>
#include <iterator>
#include <string>

#include "support/qvtest.h"

namespace qvtest {

// Counts this process's threads by the name the system shows for them.
inline int ThreadsNamed(const std::string& name) {
  int count = 0;
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) return -1;
  while (dirent* entry = readdir(tasks)) {
    if (entry->d_name[0] == '.') continue;
    std::ifstream in(std::string("/proc/self/task/") + entry->d_name + "/comm");
    std::string comm;
    std::getline(in, comm);
    if (comm == name) ++count;
  }
  closedir(tasks);
  return count;
}

// True once no thread has the name. A joined thread may still be listed for a
// moment: the system drops its entry only after the join has returned.
inline bool NoThreadNamed(const std::string& name) {
  return WaitUntil([&] { return ThreadsNamed(name) == 0; });
}

// The state letter the system shows for one of this process's threads ('S'
// while it sleeps in a wait), '?' when it cannot be read.
inline char ThreadState(pid_t tid) {
  std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const size_t close = text.rfind(')');
  return close == std::string::npos || close + 2 >= text.size() ? '?' : text[close + 2];
}

// Kills and reaps a child that waits to be told to end when the test leaves
// early (a failed assertion): a child left running keeps the test's output
// open, and the test run waits for it to its time-out.
class ChildKiller {
 public:
  explicit ChildKiller(pid_t child) : child_(child) {}
  ~ChildKiller() {
    if (child_ <= 0) return;
    kill(child_, SIGKILL);
    waitpid(child_, nullptr, 0);
  }
  ChildKiller(const ChildKiller&) = delete;
  ChildKiller& operator=(const ChildKiller&) = delete;
  // The test reaped the child itself.
  void release() { child_ = 0; }

 private:
  pid_t child_;
};

}  // namespace qvtest
