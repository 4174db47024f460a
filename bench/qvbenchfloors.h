// Floors set beside the library's figures and measured in the same run, so
// that a figure can be read as a ratio on a loaded machine:
// - BM_FloorMemcpy/MiB:N: memcpy of N MiB between two buffers touched before;
// - BM_FloorFutexPingPong: one word bounced between two processes through a
//   shared futex; BM_FloorFutexPingPongOnOneCpu: the same with both pinned to
//   one CPU; BM_FloorFutexPingPongPinnedApart: with each pinned to a CPU of
//   its own;
// - BM_FloorRawPipePingPong, BM_FloorRawTcpPingPong: kPacketBytes there and
//   back between two processes over two pipes, or one TCP connection on
//   127.0.0.1 (no delay on either side); BM_FloorRawPipePingPongPinnedApart:
//   the pipes with each process pinned to a CPU of its own;
// - BM_FloorRawPipeStream/MiB:N, BM_FloorRawTcpStream/MiB:N: N MiB one way,
//   answered by one byte once all has been read.
// The peer is forked and connected before the timed loop and reaped after it.
// Each program registers the floors it needs with the BENCHMARK macros.
#pragma once

#include <benchmark/benchmark.h>
#include <dirent.h>
#include <linux/futex.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "tests/device/qvtcpipraw.h"

namespace qvbench {

// The small packet of every round trip that is not a link's own.
inline constexpr size_t kPacketBytes = 64;
inline constexpr int64_t kMiB = int64_t{1} << 20;

// The bulk payload of every one-way benchmark: state.range(0) MiB of reals.
inline std::vector<double> BulkReals(const benchmark::State& state) {
  std::vector<double> reals(static_cast<size_t>(state.range(0) * kMiB / 8));
  for (size_t i = 0; i < reals.size(); ++i) reals[i] = 0.5 * static_cast<double>(i);
  return reals;
}

// Gives every thread of this process the mask; true when each took it.
inline bool PinEveryThread(const cpu_set_t& mask) {
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) return false;
  bool all = true;
  while (const dirent* entry = readdir(tasks)) {
    if (entry->d_name[0] == '.') continue;
    const auto thread = static_cast<pid_t>(std::atoi(entry->d_name));
    all = sched_setaffinity(thread, sizeof mask, &mask) == 0 && all;
  }
  closedir(tasks);
  return all;
}

inline int FirstCpuOf(const cpu_set_t& mask, int after = -1) {
  for (int cpu = after + 1; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &mask)) return cpu;
  }
  return -1;
}

inline cpu_set_t OnlyCpu(int cpu) {
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(cpu, &one);
  return one;
}

// Pins every thread of this process to the one CPU the caller runs on;
// processes forked or launched meanwhile inherit that. When it goes, every
// thread then living gets the process's former mask back.
class OneCpu {
 public:
  OneCpu() {
    CPU_ZERO(&saved_);
    if (sched_getaffinity(0, sizeof saved_, &saved_) != 0) return;
    int cpu = sched_getcpu();
    if (cpu < 0 || !CPU_ISSET(cpu, &saved_)) cpu = FirstCpuOf(saved_);
    if (cpu < 0) return;
    pinned_ = PinEveryThread(OnlyCpu(cpu));
  }
  ~OneCpu() {
    if (CPU_COUNT(&saved_) > 0) PinEveryThread(saved_);
  }
  OneCpu(const OneCpu&) = delete;
  OneCpu& operator=(const OneCpu&) = delete;
  bool pinned() const { return pinned_; }

 private:
  cpu_set_t saved_;
  bool pinned_ = false;
};

// Two CPUs this process may use, one for it (host) and one for its peer
// (peer), the usual low-latency set-up: each process on a CPU of its own.
// Nothing is pinned until asked; when it goes, every thread then living
// gets the process's former mask back.
class PinnedApart {
 public:
  PinnedApart() {
    CPU_ZERO(&saved_);
    if (sched_getaffinity(0, sizeof saved_, &saved_) != 0) return;
    host_ = FirstCpuOf(saved_);
    peer_ = host_ < 0 ? -1 : FirstCpuOf(saved_, host_);
  }
  ~PinnedApart() {
    if (CPU_COUNT(&saved_) > 0) PinEveryThread(saved_);
  }
  PinnedApart(const PinnedApart&) = delete;
  PinnedApart& operator=(const PinnedApart&) = delete;
  bool possible() const { return peer_ >= 0; }
  int host() const { return host_; }
  int peer() const { return peer_; }
  // Every thread of this process (and what it forks from now on) on cpu.
  bool EveryThreadTo(int cpu) const { return PinEveryThread(OnlyCpu(cpu)); }

 private:
  cpu_set_t saved_;
  int host_ = -1;
  int peer_ = -1;
};

namespace floordetail {

inline bool ReadFully(int fd, void* bytes, size_t count) {
  auto* at = static_cast<char*>(bytes);
  while (count > 0) {
    const ssize_t n = ::read(fd, at, count);
    if (n <= 0) return false;
    at += n;
    count -= static_cast<size_t>(n);
  }
  return true;
}

inline bool WriteFully(int fd, const void* bytes, size_t count) {
  const auto* at = static_cast<const char*>(bytes);
  while (count > 0) {
    const ssize_t n = ::write(fd, at, count);
    if (n <= 0) return false;
    at += n;
    count -= static_cast<size_t>(n);
  }
  return true;
}

// The peer's part: echo each packet, or take each stream of bytes whole and
// answer one byte; it ends when the other side closes.
inline void Serve(int in, int out, size_t stream) {
  std::vector<char> buffer(stream > 0 ? size_t{1} << 16 : kPacketBytes);
  for (;;) {
    if (stream == 0) {
      if (!ReadFully(in, buffer.data(), kPacketBytes) || !WriteFully(out, buffer.data(), kPacketBytes)) return;
      continue;
    }
    for (size_t left = stream; left > 0;) {
      const ssize_t n = ::read(in, buffer.data(), std::min(left, buffer.size()));
      if (n <= 0) return;
      left -= static_cast<size_t>(n);
    }
    if (!WriteFully(out, "k", 1)) return;
  }
}

// A peer process joined by two pipes (stream 0: echo) or by one TCP
// connection on 127.0.0.1; childCpu: the one CPU the pipe peer pins itself
// to first (-1: where this process runs).
class Peer {
 public:
  enum class Transport { kPipes, kTcp };
  Peer(Transport transport, size_t stream, int childCpu = -1) {
    if (transport == Transport::kPipes) {
      int there[2] = {-1, -1};
      int back[2] = {-1, -1};
      if (::pipe(there) != 0 || ::pipe(back) != 0) return;
      const cpu_set_t childMask = OnlyCpu(childCpu < 0 ? 0 : childCpu);
      child_ = fork();
      if (child_ == 0) {
        if (childCpu >= 0 && sched_setaffinity(0, sizeof childMask, &childMask) != 0) _exit(1);
        ::close(there[1]);
        ::close(back[0]);
        Serve(there[0], back[1], stream);
        _exit(0);
      }
      ::close(there[0]);
      ::close(back[1]);
      out_ = qvtcpiptest::Fd(there[1]);
      in_ = qvtcpiptest::Fd(back[0]);
      return;
    }
    unsigned short port = 0;
    qvtcpiptest::Fd listening = qvtcpiptest::ListenLoopback(&port);
    if (listening.get() < 0) return;
    child_ = fork();
    if (child_ == 0) {
      const qvtcpiptest::Fd connected = qvtcpiptest::ConnectLoopback(port);
      NoDelay(connected.get());
      Serve(connected.get(), connected.get(), stream);
      _exit(0);
    }
    if (qvtcpiptest::Readable(listening.get())) in_ = qvtcpiptest::Fd(::accept(listening.get(), nullptr, nullptr));
    NoDelay(in_.get());
    out_ = qvtcpiptest::Fd(::dup(in_.get()));
  }
  ~Peer() {
    // Closing ends the peer's reads, and with them the peer.
    in_.reset();
    out_.reset();
    if (child_ > 0) waitpid(child_, nullptr, 0);
  }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;
  bool ok() const { return child_ > 0 && in_.get() >= 0 && out_.get() >= 0; }
  int in() const { return in_.get(); }
  int out() const { return out_.get(); }

 private:
  static void NoDelay(int fd) {
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  }

  pid_t child_ = -1;
  qvtcpiptest::Fd in_;
  qvtcpiptest::Fd out_;
};

inline void PingPong(benchmark::State& state, Peer::Transport transport, int childCpu = -1) {
  std::vector<char> packet(kPacketBytes, 'q');
  Peer peer(transport, 0, childCpu);
  if (!peer.ok()) return state.SkipWithError("no peer");
  for (auto _ : state) {
    if (!WriteFully(peer.out(), packet.data(), kPacketBytes) || !ReadFully(peer.in(), packet.data(), kPacketBytes)) {
      return state.SkipWithError("the peer went away");
    }
  }
}

inline void Stream(benchmark::State& state, Peer::Transport transport) {
  const std::vector<double> reals = BulkReals(state);
  const size_t bytes = reals.size() * sizeof(double);
  Peer peer(transport, bytes);
  if (!peer.ok()) return state.SkipWithError("no peer");
  for (auto _ : state) {
    char answer = 0;
    if (!WriteFully(peer.out(), reals.data(), bytes) || !ReadFully(peer.in(), &answer, 1)) {
      return state.SkipWithError("the peer went away");
    }
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes));
}

inline long Futex(std::atomic<int>* word, int operation, int value) {
  return syscall(SYS_futex, reinterpret_cast<int*>(word), operation, value, nullptr, nullptr, 0);
}

inline void WaitWhile(std::atomic<int>* word, int value) {
  while (word->load(std::memory_order_acquire) == value) Futex(word, FUTEX_WAIT, value);
}

inline void Set(std::atomic<int>* word, int value) {
  word->store(value, std::memory_order_release);
  Futex(word, FUTEX_WAKE, 1);
}

// childCpu: the one CPU the child pins itself to before it answers (-1:
// where this process runs).
inline void FutexPingPong(benchmark::State& state, int childCpu = -1) {
  void* memory = mmap(nullptr, sizeof(std::atomic<int>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return state.SkipWithError("no shared mapping");
  auto* word = new (memory) std::atomic<int>(0);  // 0 idle, 1 ping, 2 pong, 3 stop
  const cpu_set_t childMask = OnlyCpu(childCpu < 0 ? 0 : childCpu);
  const pid_t child = fork();
  if (child == 0) {
    if (childCpu >= 0 && sched_setaffinity(0, sizeof childMask, &childMask) != 0) _exit(1);
    for (;;) {
      WaitWhile(word, 0);
      WaitWhile(word, 2);
      if (word->load() == 3) _exit(0);
      Set(word, 2);
    }
  }
  if (child > 0) {
    for (auto _ : state) {
      Set(word, 1);
      WaitWhile(word, 1);
    }
    Set(word, 3);
    waitpid(child, nullptr, 0);
  } else {
    state.SkipWithError("no fork");
  }
  munmap(memory, sizeof(std::atomic<int>));
}

}  // namespace floordetail

inline void BM_FloorMemcpy(benchmark::State& state) {
  const std::vector<double> from = BulkReals(state);
  std::vector<double> to(from.size(), 1.0);
  const size_t bytes = from.size() * sizeof(double);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), bytes);
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes));
}

inline void BM_FloorFutexPingPong(benchmark::State& state) { floordetail::FutexPingPong(state); }

inline void BM_FloorFutexPingPongOnOneCpu(benchmark::State& state) {
  const OneCpu pin;
  if (!pin.pinned()) return state.SkipWithError("not pinned");
  floordetail::FutexPingPong(state);
}

inline void BM_FloorFutexPingPongPinnedApart(benchmark::State& state) {
  const PinnedApart pins;
  if (!pins.possible()) return state.SkipWithError("fewer than 2 CPUs allowed");
  if (!pins.EveryThreadTo(pins.host())) return state.SkipWithError("not pinned");
  floordetail::FutexPingPong(state, pins.peer());
}

inline void BM_FloorRawPipePingPong(benchmark::State& state) {
  floordetail::PingPong(state, floordetail::Peer::Transport::kPipes);
}

inline void BM_FloorRawPipePingPongPinnedApart(benchmark::State& state) {
  const PinnedApart pins;
  if (!pins.possible()) return state.SkipWithError("fewer than 2 CPUs allowed");
  if (!pins.EveryThreadTo(pins.host())) return state.SkipWithError("not pinned");
  floordetail::PingPong(state, floordetail::Peer::Transport::kPipes, pins.peer());
}

inline void BM_FloorRawTcpPingPong(benchmark::State& state) {
  floordetail::PingPong(state, floordetail::Peer::Transport::kTcp);
}

inline void BM_FloorRawPipeStream(benchmark::State& state) {
  floordetail::Stream(state, floordetail::Peer::Transport::kPipes);
}

inline void BM_FloorRawTcpStream(benchmark::State& state) {
  floordetail::Stream(state, floordetail::Peer::Transport::kTcp);
}

// The sizes of the one-way benchmarks: 1 MiB and 64 MiB.
inline void OneWaySizes(benchmark::internal::Benchmark* benchmark) {
  benchmark->ArgName("MiB")->Arg(1)->Arg(64)->UseRealTime()->Unit(benchmark::kMillisecond);
}

inline void RoundTrips(benchmark::internal::Benchmark* benchmark) {
  benchmark->UseRealTime()->Unit(benchmark::kMicrosecond);
}

}  // namespace qvbench
