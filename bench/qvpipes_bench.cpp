// The Pipes device between two processes against raw pipes in the same run:
// a small packet there and back (floor: a raw pipe ping-pong of the same
// bytes) and 64 MiB one way (floors: memcpy of 64 MiB and a raw pipe stream).
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "device/qvmessagelayer.h"
#include "device/qvpipes.h"

namespace {

using namespace Quorvane;

constexpr long kSmall = 64;
constexpr size_t kLarge = size_t{64} << 20;

void* Allocate(uint64_t size) { return std::malloc(size); }
void Release(void* block) { std::free(block); }

long Call(void* object, qvdeviceselector selector, void* a1 = nullptr, void* a2 = nullptr) {
  return pipe_main(object, selector, a1, a2);
}

// One end of a device pair across a fork.
struct End {
  void* world = nullptr;
  void* device = nullptr;
  char* window = nullptr;
  long room = 0;

  void Open(int in, int out, int msgIn, int msgOut) {
    Call(&world, QVDEVICE_WORLD_INIT, reinterpret_cast<void*>(&Allocate), reinterpret_cast<void*>(&Release));
    std::string text = "Pipes:" + std::to_string(in) + "," + std::to_string(out) + "," + std::to_string(msgIn) + "," +
                       std::to_string(msgOut);
    std::string block = text + '\0' + "16" + '\0' + '\0' + '\0' + '\0' + "0" + '\0';
    Call(world, QVDEVICE_WORLD_MAKE, &device, block.data());
    if (device == nullptr || Call(device, QVDEVICE_CONNECT) != 0) std::abort();
    Call(device, QVDEVICE_WRITE_WINDOW, &window, &room);
  }
  void Close() {
    Call(device, QVDEVICE_CLOSE);
    Call(world, QVDEVICE_WORLD_DEINIT);
  }
  // Sends the bytes in windows, taking acknowledgements when none is free.
  void Send(const char* bytes, size_t length) {
    size_t at = 0;
    while (at < length) {
      const size_t count = std::min(length - at, static_cast<size_t>(room));
      std::memcpy(window, bytes + at, count);
      at += count;
      room = static_cast<long>(count);
      Call(device, QVDEVICE_WRITE, &window, &room);
      while (window == nullptr) {
        char* segment = nullptr;
        long size = 0;
        if (Call(device, QVDEVICE_READ, &segment, &size) != 0 || segment != nullptr) std::abort();
        Call(device, QVDEVICE_WRITE_WINDOW, &window, &room);
      }
    }
  }
  // Reads exactly length data bytes (into out when given).
  void Receive(char* out, size_t length) {
    size_t got = 0;
    while (got < length) {
      char* segment = nullptr;
      long size = 0;
      if (Call(device, QVDEVICE_READ, &segment, &size) != 0) std::abort();
      if (segment == nullptr) continue;
      if (out != nullptr) std::memcpy(out + got, segment, static_cast<size_t>(size));
      got += static_cast<size_t>(size);
    }
  }
};

struct Pipes {
  int a[2], b[2], ma[2], mb[2];
  Pipes() {
    if (pipe(a) != 0 || pipe(b) != 0 || pipe(ma) != 0 || pipe(mb) != 0) std::abort();
  }
};

// The child side: echoes each small packet, or takes the stream and answers one byte.
pid_t StartPeer(Pipes& p, bool stream) {
  const pid_t child = fork();
  if (child != 0) return child;
  watchsignal(SIGIO, &unix_signal_handler);
  End end;
  end.Open(p.a[0], p.b[1], p.ma[0], p.mb[1]);
  std::vector<char> buffer(kSmall);
  if (stream) {
    end.Receive(nullptr, kLarge);
    end.Send("k", 1);
  } else {
    for (;;) {
      end.Receive(buffer.data(), kSmall);
      end.Send(buffer.data(), kSmall);
    }
  }
  for (;;) pause();
}

void Stop(pid_t child) {
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
}

void BM_PipesDeviceRoundTrip(benchmark::State& state) {
  watchsignal(SIGIO, &unix_signal_handler);
  Pipes p;
  const pid_t child = StartPeer(p, false);
  End end;
  end.Open(p.b[0], p.a[1], p.mb[0], p.ma[1]);
  std::vector<char> packet(kSmall, 'q'), back(kSmall);
  for (auto _ : state) {
    end.Send(packet.data(), kSmall);
    end.Receive(back.data(), kSmall);
  }
  Stop(child);
  end.Close();
}
BENCHMARK(BM_PipesDeviceRoundTrip)->UseRealTime();

void BM_RawPipePingPong(benchmark::State& state) {
  int there[2], back[2];
  if (pipe(there) != 0 || pipe(back) != 0) std::abort();
  const pid_t child = fork();
  if (child == 0) {
    std::vector<char> buffer(kSmall);
    for (;;) {
      long got = 0;
      while (got < kSmall) got += read(there[0], buffer.data() + got, static_cast<size_t>(kSmall - got));
      if (write(back[1], buffer.data(), kSmall) != kSmall) _exit(1);
    }
  }
  std::vector<char> packet(kSmall, 'q');
  for (auto _ : state) {
    if (write(there[1], packet.data(), kSmall) != kSmall) std::abort();
    long got = 0;
    while (got < kSmall) got += read(back[0], packet.data() + got, static_cast<size_t>(kSmall - got));
  }
  Stop(child);
  for (int fd : {there[0], there[1], back[0], back[1]}) close(fd);
}
BENCHMARK(BM_RawPipePingPong)->UseRealTime();

void BM_PipesDevice64MiB(benchmark::State& state) {
  watchsignal(SIGIO, &unix_signal_handler);
  std::vector<double> reals(kLarge / sizeof(double), 1.5);
  for (auto _ : state) {
    Pipes p;
    const pid_t child = StartPeer(p, true);
    End end;
    end.Open(p.b[0], p.a[1], p.mb[0], p.ma[1]);
    end.Send(reinterpret_cast<const char*>(reals.data()), kLarge);
    char answer = 0;
    end.Receive(&answer, 1);
    state.PauseTiming();
    Stop(child);
    end.Close();
    for (int fd : {p.a[0], p.b[1], p.ma[0], p.mb[1]}) close(fd);
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kLarge));
}
BENCHMARK(BM_PipesDevice64MiB)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_RawPipeStream64MiB(benchmark::State& state) {
  std::vector<double> reals(kLarge / sizeof(double), 1.5);
  for (auto _ : state) {
    int there[2];
    if (pipe(there) != 0) std::abort();
    const pid_t child = fork();
    if (child == 0) {
      close(there[1]);
      std::vector<char> buffer(1 << 16);
      while (read(there[0], buffer.data(), buffer.size()) > 0) {
      }
      _exit(0);
    }
    close(there[0]);
    const char* bytes = reinterpret_cast<const char*>(reals.data());
    for (size_t at = 0; at < kLarge;) {
      const ssize_t wrote = write(there[1], bytes + at, kLarge - at);
      if (wrote <= 0) std::abort();
      at += static_cast<size_t>(wrote);
    }
    close(there[1]);
    waitpid(child, nullptr, 0);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kLarge));
}
BENCHMARK(BM_RawPipeStream64MiB)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_Memcpy64MiB(benchmark::State& state) {
  std::vector<double> from(kLarge / sizeof(double), 1.5), to(kLarge / sizeof(double));
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), kLarge);
    benchmark::DoNotOptimize(to.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kLarge));
}
BENCHMARK(BM_Memcpy64MiB)->Unit(benchmark::kMillisecond);

}  // namespace
