#include "qvtest.h"

#include <dirent.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
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

void StoreIntoAnInaccessiblePage() {
  const size_t size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  void* page = mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (page == MAP_FAILED) throw std::runtime_error("mmap failed: " + std::string(strerror(errno)));
  *static_cast<volatile int*>(page) = 1;
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
