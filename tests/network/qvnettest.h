// Helpers shared by the network tests: catching the library's exceptions, and
// running checks in a child whose host table is a file of the test's own.
#pragma once

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <string>

#include "support/qvtest.h"
#include "utilities/qvexception.h"

namespace qvnettest {

// Runs fn and returns the exception it throws (fails the test when none).
template <typename Fn>
Quorvane::QVException Thrown(Fn fn) {
  try {
    fn();
  } catch (const Quorvane::QVException& e) {
    return e;
  }
  ADD_FAILURE() << "no exception";
  return Quorvane::QVException("none", "none", 0, Quorvane::qvexceptiontype::internalError, 0);
}

inline std::string Str(const Quorvane::QVString& s) { return Quorvane::ToStdString(s); }

// What a child of WithHostsFile ended with. refused is empty, or names the
// step that kept the child from putting its host table in place (its body
// then did not run, and the caller skips saying so).
struct HostsFileChild {
  int status = 0;
  std::string refused;
};

namespace hostsfile {

constexpr size_t kRefusalLimit = 256;

// A page the child writes its refusal into, and the parent reads.
class SharedRefusal {
 public:
  SharedRefusal()
      : page_(mmap(nullptr, kRefusalLimit, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0)) {}
  ~SharedRefusal() {
    if (page_ != MAP_FAILED) munmap(page_, kRefusalLimit);
  }
  SharedRefusal(const SharedRefusal&) = delete;
  SharedRefusal& operator=(const SharedRefusal&) = delete;

  bool mapped() const { return page_ != MAP_FAILED; }
  // In the child: the step, and the error's text unless error is 0.
  void write(const char* step, int error) {
    std::snprintf(static_cast<char*>(page_), kRefusalLimit, "%s%s%s", step, error != 0 ? ": " : "",
                  error != 0 ? std::strerror(error) : "");
  }
  std::string text() const { return std::string(static_cast<const char*>(page_)); }

 private:
  void* page_;
};

}  // namespace hostsfile

// Runs body in a child whose /etc/hosts is the given text (bound over it in
// a private mount namespace), so lookups do not depend on this machine's
// resolver.
inline HostsFileChild WithHostsFile(const std::string& contents, const std::function<int()>& body) {
  qvtest::TempDir dir;
  const std::string path = dir.file("hosts");
  std::ofstream(path) << contents;
  hostsfile::SharedRefusal refusal;
  if (!refusal.mapped()) {
    ADD_FAILURE() << "mmap: " << std::strerror(errno);
    return {1, ""};
  }
  constexpr int kRefused = 77;
  HostsFileChild child;
  child.status = qvtest::RunInChild([&] {
    if (unshare(CLONE_NEWNS) != 0) {
      refusal.write("no private mount namespace (unshare)", errno);
      return kRefused;
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      refusal.write("the mounts cannot be made private", errno);
      return kRefused;
    }
    if (mount(path.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0) {
      const int error = errno;
      if (access("/etc/hosts", F_OK) != 0) {
        refusal.write("no /etc/hosts to bind the test's host table over", 0);
      } else {
        refusal.write("the test's host table cannot be bound over /etc/hosts", error);
      }
      return kRefused;
    }
    try {
      return body();
    } catch (const Quorvane::QVException& e) {
      e.print(std::cerr);
      return 1;
    }
  });
  if (WIFEXITED(child.status) && WEXITSTATUS(child.status) == kRefused) child.refused = refusal.text();
  return child;
}

}  // namespace qvnettest

// A check inside a child of WithHostsFile: reports the failing line on stderr
// and ends the child's body with status 1.
#define CHILD_CHECK(cond)                                                      \
  do {                                                                         \
    if (!(cond)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      return 1;                                                                \
    }                                                                          \
  } while (0)
