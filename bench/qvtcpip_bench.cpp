// The "TCPIP" device between two processes over 127.0.0.1 (new model)
// against its floors in the same run: a small-packet round trip against a raw
// TCP ping-pong, and 64 MiB one way against a raw TCP stream and memcpy.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "device/qvtcpipdevice.h"
#include "device/qvtcpipworld.h"
#include "utilities/qvexception.h"
#include "tests/device/qvtcpipraw.h"

namespace {

using namespace Quorvane;
using namespace qvtcpiptest;

constexpr size_t kPacket = 16;
constexpr size_t kBulk = size_t{64} << 20;

// The message connections raise SIGIO and SIGURG; the environment would
// install the world's handler for them.
const bool kHandlerInstalled = [] {
  struct sigaction action {};
  action.sa_handler = &QVTCPIPWorld::SignalHandler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  return sigaction(SIGIO, &action, nullptr) == 0 && sigaction(SIGURG, &action, nullptr) == 0;
}();

std::string Block(unsigned long mode, const std::string& name) {
  std::string block;
  for (const std::string& field : {std::string("TCPIP"), std::to_string(mode), name, std::string(), std::string(),
                                   std::to_string(QVUseNewTCPIPConnection)}) {
    block += field;
    block.push_back('\0');
  }
  return block;
}

std::unique_ptr<QVTCPIPDevice> Make(QVTCPIPWorld& world, const std::string& block) {
  std::string copy = block;
  return std::unique_ptr<QVTCPIPDevice>(static_cast<QVTCPIPDevice*>(world.MakeDevice(copy.data())));
}

void Send(QVTCPIPDevice& device, const char* bytes, size_t count) {
  while (count > 0) {
    char* window = nullptr;
    unsigned long size = 0;
    device.WriteWindow(&window, &size);
    const size_t n = std::min<size_t>(size, count);
    std::memcpy(window, bytes, n);
    device.Write(window, n);
    bytes += n;
    count -= n;
  }
}

// Reads count bytes; false when the stream ended first.
bool Receive(QVTCPIPDevice& device, char* into, size_t count) {
  while (count > 0) {
    char* buffer = nullptr;
    unsigned long size = 0;
    device.Read(&buffer, &size);
    if (size == 0) return false;
    if (into != nullptr) {
      std::memcpy(into, buffer, size);
      into += size;
    }
    count -= std::min<size_t>(size, count);
  }
  return true;
}

// A child process that serves one peer; its port comes back through a pipe.
struct Child {
  pid_t pid = -1;
  unsigned short port = 0;
  explicit Child(const std::function<void(int portPipe)>& body) {
    int fds[2];
    if (::pipe(fds) != 0) return;
    pid = fork();
    if (pid == 0) {
      ::close(fds[0]);
      body(fds[1]);
      _exit(0);
    }
    ::close(fds[1]);
    if (Readable(fds[0]) && ::read(fds[0], &port, sizeof port) != sizeof port) port = 0;
    ::close(fds[0]);
  }
  ~Child() {
    if (pid <= 0) return;
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
  }
};

void TellPort(int fd, unsigned short port) { [[maybe_unused]] ssize_t n = ::write(fd, &port, sizeof port); }

void NoDelay(int fd) {
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// Echo (packet true) or sink-and-acknowledge (packet false) over raw TCP.
void RawServe(int portPipe, bool echo) {
  unsigned short port = 0;
  Fd listening = ListenLoopback(&port);
  TellPort(portPipe, port);
  Fd peer(::accept(listening.get(), nullptr, nullptr));
  NoDelay(peer.get());
  std::vector<char> buffer(1 << 16);
  size_t total = 0;
  for (;;) {
    const ssize_t n = ::recv(peer.get(), buffer.data(), echo ? kPacket : buffer.size(), echo ? MSG_WAITALL : 0);
    if (n <= 0) return;
    if (echo) {
      SendAll(peer.get(), buffer.data(), static_cast<size_t>(n));
    } else if ((total += static_cast<size_t>(n)) >= kBulk) {
      total -= kBulk;
      SendAll(peer.get(), "k", 1);
    }
  }
}

void DeviceServeOnce(int portPipe, bool echo) {
  QVTCPIPWorld world;
  auto device = Make(world, Block(2, "@127.0.0.1"));
  TellPort(portPipe, static_cast<unsigned short>(std::stoi(std::string(QVNameAndPorts::Parse(device->Name(), "").DataPort.c_str()))));
  device->Connect();
  std::vector<char> packet(kPacket);
  for (;;) {
    if (echo) {
      if (!Receive(*device, packet.data(), kPacket)) return;
      Send(*device, packet.data(), kPacket);
    } else {
      if (!Receive(*device, nullptr, kBulk)) return;
      Send(*device, "k", 1);
    }
  }
}

void DeviceServe(int portPipe, bool echo) {
  try {
    DeviceServeOnce(portPipe, echo);
  } catch (const QVException&) {
    // The other process went away: the run is over.
  }
}

void BM_RawTCPPingPong(benchmark::State& state) {
  Child child([](int fd) { RawServe(fd, true); });
  Fd fd = ConnectLoopback(child.port);
  NoDelay(fd.get());
  char packet[kPacket] = {};
  for (auto _ : state) {
    SendAll(fd.get(), packet, kPacket);
    if (::recv(fd.get(), packet, kPacket, MSG_WAITALL) != static_cast<ssize_t>(kPacket)) {
      state.SkipWithError("echo ended");
      break;
    }
  }
}

void BM_TCPIPPingPong(benchmark::State& state) {
  Child child([](int fd) { DeviceServe(fd, true); });
  QVTCPIPWorld world;
  auto device = Make(world, Block(4, std::to_string(child.port) + "@127.0.0.1"));
  device->Connect();
  char packet[kPacket] = {};
  for (auto _ : state) {
    Send(*device, packet, kPacket);
    if (!Receive(*device, packet, kPacket)) {
      state.SkipWithError("echo ended");
      break;
    }
  }
}

void BM_Memcpy64MiB(benchmark::State& state) {
  std::vector<char> from(kBulk, 1);
  std::vector<char> to(kBulk);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), kBulk);
    benchmark::DoNotOptimize(to.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBulk));
}

void BM_RawTCPStream64MiB(benchmark::State& state) {
  Child child([](int fd) { RawServe(fd, false); });
  Fd fd = ConnectLoopback(child.port);
  std::vector<char> bulk(kBulk, 1);
  for (auto _ : state) {
    char ack = 0;
    if (!SendAll(fd.get(), bulk.data(), kBulk) || ::recv(fd.get(), &ack, 1, MSG_WAITALL) != 1) {
      state.SkipWithError("sink ended");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBulk));
}

void BM_TCPIPStream64MiB(benchmark::State& state) {
  Child child([](int fd) { DeviceServe(fd, false); });
  QVTCPIPWorld world;
  auto device = Make(world, Block(4, std::to_string(child.port) + "@127.0.0.1"));
  device->Connect();
  // The reals of an array, as the link lays them out.
  std::vector<double> reals(kBulk / sizeof(double), 0.5);
  for (auto _ : state) {
    Send(*device, reinterpret_cast<const char*>(reals.data()), kBulk);
    if (!Receive(*device, nullptr, 1)) {
      state.SkipWithError("sink ended");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBulk));
}

BENCHMARK(BM_RawTCPPingPong)->UseRealTime();
BENCHMARK(BM_TCPIPPingPong)->UseRealTime();
BENCHMARK(BM_Memcpy64MiB)->UseRealTime();
BENCHMARK(BM_RawTCPStream64MiB)->UseRealTime();
BENCHMARK(BM_TCPIPStream64MiB)->UseRealTime();

}  // namespace
