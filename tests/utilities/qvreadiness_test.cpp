// The readiness check the signal dispatch relies on: each entry gets its own
// answer (a descriptor that is not open spoils no other), a pure poll takes
// more entries than one batch, and what a timed wait cannot do is refused.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "utilities/platform/qvreadiness.h"

namespace {

namespace platform = Quorvane::platform;

struct Pipe {
  int fds[2] = {-1, -1};
  Pipe() { EXPECT_EQ(pipe(fds), 0); }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;
  ~Pipe() {
    for (int fd : fds) {
      if (fd >= 0) close(fd);
    }
  }
};

TEST(Readiness, EachEntryGetsItsOwnAnswerAcrossBatches) {
  constexpr size_t kEntries = platform::kReadinessBatch * 2 + 5;
  std::vector<Pipe> pipes(kEntries);
  Pipe gone;
  const int closed = gone.fds[0];
  close(gone.fds[0]);
  gone.fds[0] = -1;
  std::vector<platform::QVReadinessEntry> entries(kEntries);
  for (size_t i = 0; i < kEntries; ++i) entries[i] = {pipes[i].fds[0], platform::kReadinessReadable, 0};
  const size_t readable = kEntries - 1;  // in the last batch
  ASSERT_EQ(write(pipes[readable].fds[1], "r", 1), 1);
  entries[3] = {closed, platform::kReadinessReadable, 0};
  entries[7] = {-1, platform::kReadinessReadable, 0};
  entries[9] = {pipes[9].fds[1], platform::kReadinessWritable | platform::kReadinessExceptional, 0};
  // The readable one, the writable one and the closed one.
  EXPECT_EQ(platform::CheckReadiness(entries.data(), entries.size(), 0), 3);
  for (size_t i = 0; i < kEntries; ++i) {
    SCOPED_TRACE(i);
    unsigned char expected = 0;
    if (i == readable) expected = platform::kReadinessReadable;
    if (i == 3) expected = platform::kReadinessNotOpen;
    if (i == 9) expected = platform::kReadinessWritable;
    EXPECT_EQ(entries[i].got, expected);
  }
}

TEST(Readiness, RefusesWhatATimedWaitCannotDo) {
  std::vector<Pipe> pipes(platform::kReadinessBatch + 1);
  std::vector<platform::QVReadinessEntry> entries;
  for (const Pipe& p : pipes) entries.push_back({p.fds[0], platform::kReadinessReadable, 0});
  struct Case {
    const char* what;
    size_t count;
    long microseconds;
  };
  const Case cases[] = {
      {"more than a batch, timed", entries.size(), 1000},
      {"more than a batch, without limit", entries.size(), -1},
      {"a time-out below -1", 1, -2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    errno = 0;
    EXPECT_EQ(platform::CheckReadiness(entries.data(), c.count, c.microseconds), -1);
    EXPECT_EQ(errno, EINVAL);
  }
  EXPECT_EQ(platform::CheckReadiness(entries.data(), platform::kReadinessBatch, 1000), 0) << "a batch waits";
}

}  // namespace
