#include "qvtest.h"

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace qvtest {

namespace {
std::string MakeTemp(const std::string& parent, const char* stem) {
  std::string pattern = parent + "/" + stem + "XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("mkdtemp failed: " + std::string(strerror(errno)));
  }
  return pattern;
}
}  // namespace

const std::string& PrivateRoot() {
  static const std::string root = [] {
    const char* base = getenv("TMPDIR");
    return MakeTemp(base != nullptr && *base != 0 ? base : "/tmp", "quorvane-test-");
  }();
  return root;
}

void RemoveTree(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    if (DIR* dir = opendir(path.c_str())) {
      while (dirent* entry = readdir(dir)) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
        RemoveTree(path + "/" + entry->d_name);
      }
      closedir(dir);
    }
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

TempDir::TempDir() : path_(MakeTemp(PrivateRoot(), "dir-")) {}
TempDir::~TempDir() { RemoveTree(path_); }

bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds deadline) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  auto pause = std::chrono::microseconds(50);
  while (true) {
    if (pred()) return true;
    if (std::chrono::steady_clock::now() >= end) return pred();
    std::this_thread::sleep_for(pause);
    if (pause < std::chrono::milliseconds(10)) pause *= 2;
  }
}

void SetUpSignalStateOfThisThread() {
  if (!kThreadSanitizer) return;
  sigset_t all, previous;
  sigfillset(&all);
  if (pthread_sigmask(SIG_BLOCK, &all, &previous) != 0) return;
  const timespec none{0, 0};
  nanosleep(&none, nullptr);  // a blocking call: the set-up happens here
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

int RunInChild(const std::function<int()>& body) {
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    int rc = 125;
    try {
      rc = body();
    } catch (...) {
      rc = 124;
    }
    _exit(rc);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

}  // namespace qvtest
