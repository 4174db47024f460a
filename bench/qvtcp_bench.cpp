// The TCP device between two processes on 127.0.0.1 against raw TCP in the
// same run: a small packet there and back (floor: a raw TCP ping-pong of the
// same bytes) and a 64 MiB real array one way (floors: a raw TCP stream and
// memcpy of 64 MiB).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "device/qvmessagelayer.h"
#include "device/qvtcp.h"

namespace {

using namespace Quorvane;

constexpr long kSmall = 64;
constexpr size_t kLarge = size_t{64} << 20;

void* Allocate(uint64_t size) { return std::malloc(size); }
void Release(void* block) { std::free(block); }

long Call(void* object, qvdeviceselector selector, void* a1 = nullptr, void* a2 = nullptr) {
  return socket_main(object, selector, a1, a2);
}

void Signals() {
  watchsignal(SIGIO, &unix_signal_handler);
  watchsignal(SIGURG, &unix_signal_handler);
}

// One end of a device pair across a fork: made (listening or connecting to
// name), then connected.
struct End {
  void* world = nullptr;
  void* device = nullptr;
  char* window = nullptr;
  long room = 0;

  std::string Make(unsigned long mode, const std::string& name) {
    Call(&world, QVDEVICE_WORLD_INIT, reinterpret_cast<void*>(&Allocate), reinterpret_cast<void*>(&Release));
    std::string block = std::string("TCP") + '\0' + std::to_string(mode) + '\0' + name + '\0' + '\0' + '\0' + "0" + '\0';
    Call(world, QVDEVICE_WORLD_MAKE, &device, block.data());
    if (device == nullptr) std::abort();
    char made[256] = {};
    long capacity = sizeof made;
    Call(device, QVDEVICE_NAME, made, &capacity);
    return std::to_string(std::atoi(made)) + "@127.0.0.1";
  }
  void Connect() {
    if (Call(device, QVDEVICE_CONNECT) != 0) std::abort();
    Call(device, QVDEVICE_WRITE_WINDOW, &window, &room);
  }
  void Close() {
    Call(device, QVDEVICE_CLOSE);
    Call(world, QVDEVICE_WORLD_DEINIT);
  }
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

// The child connects to name: echoes each small packet, or takes the stream
// and answers one byte.
pid_t StartPeer(const std::string& name, bool stream) {
  const pid_t child = fork();
  if (child != 0) return child;
  Signals();
  End end;
  end.Make(4, name);
  end.Connect();
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

// A raw loopback pair: listener here, child connected; the accepted socket.
int RawPair(pid_t* child, void (*serve)(int)) {
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof a;
  if (bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listener, 1) != 0) std::abort();
  getsockname(listener, reinterpret_cast<sockaddr*>(&a), &length);
  *child = fork();
  if (*child == 0) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) _exit(1);
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    serve(fd);
    _exit(0);
  }
  const int fd = accept(listener, nullptr, nullptr);
  close(listener);
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return fd;
}

void ReadExactly(int fd, char* bytes, long length) {
  long got = 0;
  while (got < length) {
    const ssize_t n = read(fd, bytes + got, static_cast<size_t>(length - got));
    if (n <= 0) std::abort();
    got += n;
  }
}

void BM_TcpDeviceRoundTrip(benchmark::State& state) {
  Signals();
  End end;
  const std::string name = end.Make(2, "");
  const pid_t child = StartPeer(name, false);
  end.Connect();
  std::vector<char> packet(kSmall, 'q'), back(kSmall);
  for (auto _ : state) {
    end.Send(packet.data(), kSmall);
    end.Receive(back.data(), kSmall);
  }
  Stop(child);
  end.Close();
}
BENCHMARK(BM_TcpDeviceRoundTrip)->UseRealTime();

void BM_RawTcpPingPong(benchmark::State& state) {
  pid_t child = 0;
  const int fd = RawPair(&child, [](int peer) {
    std::vector<char> buffer(kSmall);
    for (;;) {
      ReadExactly(peer, buffer.data(), kSmall);
      if (write(peer, buffer.data(), kSmall) != kSmall) _exit(1);
    }
  });
  std::vector<char> packet(kSmall, 'q');
  for (auto _ : state) {
    if (write(fd, packet.data(), kSmall) != kSmall) std::abort();
    ReadExactly(fd, packet.data(), kSmall);
  }
  Stop(child);
  close(fd);
}
BENCHMARK(BM_RawTcpPingPong)->UseRealTime();

void BM_TcpDevice64MiB(benchmark::State& state) {
  Signals();
  std::vector<double> reals(kLarge / sizeof(double), 1.5);
  for (auto _ : state) {
    state.PauseTiming();
    End end;
    const std::string name = end.Make(2, "");
    const pid_t child = StartPeer(name, true);
    end.Connect();
    state.ResumeTiming();
    end.Send(reinterpret_cast<const char*>(reals.data()), kLarge);
    char answer = 0;
    end.Receive(&answer, 1);
    state.PauseTiming();
    Stop(child);
    end.Close();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kLarge));
}
BENCHMARK(BM_TcpDevice64MiB)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_RawTcpStream64MiB(benchmark::State& state) {
  std::vector<double> reals(kLarge / sizeof(double), 1.5);
  for (auto _ : state) {
    state.PauseTiming();
    pid_t child = 0;
    const int fd = RawPair(&child, [](int peer) {
      std::vector<char> buffer(1 << 16);
      size_t total = 0;
      while (total < kLarge) {
        const ssize_t n = read(peer, buffer.data(), buffer.size());
        if (n <= 0) _exit(1);
        total += static_cast<size_t>(n);
      }
      if (write(peer, "k", 1) != 1) _exit(1);
    });
    state.ResumeTiming();
    const char* bytes = reinterpret_cast<const char*>(reals.data());
    for (size_t at = 0; at < kLarge;) {
      const ssize_t wrote = write(fd, bytes + at, kLarge - at);
      if (wrote <= 0) std::abort();
      at += static_cast<size_t>(wrote);
    }
    char answer = 0;
    ReadExactly(fd, &answer, 1);
    state.PauseTiming();
    close(fd);
    waitpid(child, nullptr, 0);
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kLarge));
}
BENCHMARK(BM_RawTcpStream64MiB)->UseRealTime()->Unit(benchmark::kMillisecond);

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
