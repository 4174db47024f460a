// Helpers shared by the network tests: catching the library's exceptions, and
// running checks in a child whose host table is a file of the test's own.
#pragma once

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>

#include <cstdio>
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

// The exit status of a child that could not have a private mount namespace.
constexpr int kNoPrivateMounts = 77;

inline bool NoPrivateMountsQ(int status) {
  return WIFEXITED(status) && WEXITSTATUS(status) == kNoPrivateMounts;
}

// Runs body in a child whose /etc/hosts is the given text (a private mount
// namespace), so lookups do not depend on this machine's resolver. Returns
// the child's wait status.
inline int WithHostsFile(const std::string& contents, const std::function<int()>& body) {
  qvtest::TempDir dir;
  const std::string path = dir.file("hosts");
  std::ofstream(path) << contents;
  return qvtest::RunInChild([&] {
    if (unshare(CLONE_NEWNS) != 0) return kNoPrivateMounts;
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return kNoPrivateMounts;
    if (mount(path.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0) {
      return kNoPrivateMounts;
    }
    try {
      return body();
    } catch (const Quorvane::QVException& e) {
      e.print(std::cerr);
      return 1;
    }
  });
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
