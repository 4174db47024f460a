// A poll-set wait against the raw poll call over the same pipes (the floor).
#include <benchmark/benchmark.h>
#include <poll.h>
#include <unistd.h>

#include <vector>

#include "utilities/qvpollset.h"

namespace {

struct Pipes {
  explicit Pipes(int n) {
    for (int i = 0; i < n; ++i) {
      int fds[2];
      if (pipe(fds) != 0) break;
      reads.push_back(fds[0]);
      writes.push_back(fds[1]);
    }
    // The last one has data, so every wait finds one ready descriptor.
    if (!writes.empty() && write(writes.back(), "x", 1) != 1) reads.clear();
  }
  ~Pipes() {
    for (int fd : reads) close(fd);
    for (int fd : writes) close(fd);
  }
  std::vector<int> reads, writes;
};

void BM_RawPoll(benchmark::State& state) {
  Pipes p(static_cast<int>(state.range(0)));
  std::vector<pollfd> fds;
  for (int fd : p.reads) fds.push_back({fd, POLLIN, 0});
  for (auto _ : state) {
    benchmark::DoNotOptimize(poll(fds.data(), fds.size(), 0));
  }
}

void BM_PollSetReadyQ(benchmark::State& state) {
  Pipes p(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    // As callers do: a fresh set before every wait.
    Quorvane::QVPollSet set;
    for (int fd : p.reads) set.Add(fd);
    benchmark::DoNotOptimize(set.ReadyQ(0));
  }
}

BENCHMARK(BM_RawPoll)->Arg(1)->Arg(16)->Arg(256);
BENCHMARK(BM_PollSetReadyQ)->Arg(1)->Arg(16)->Arg(256);

}  // namespace
