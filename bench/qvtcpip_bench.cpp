// The "TCPIP" device between two processes over 127.0.0.1 (new model),
// driven through its device class, against raw TCP in the same run. The fork
// and the connection come before each timed loop; the peer serves the whole
// run and is stopped after it.
// - BM_TCPIPDeviceRoundTrip: kPacketBytes there and back; floor
//   BM_FloorRawTcpPingPong.
// - BM_TCPIPDeviceOneWay/MiB:N: N MiB of reals one way, answered by one
//   byte; floors BM_FloorRawTcpStream/MiB:N and BM_FloorMemcpy/MiB:N.
// The link over this device, through the public calls, is measured in
// qvhostdevices_bench.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bench/qvbenchfloors.h"
#include "device/qvtcpipdevice.h"
#include "device/qvtcpipworld.h"
#include "tests/device/qvtcpipraw.h"
#include "utilities/qvexception.h"

namespace {

using namespace Quorvane;
using qvbench::kPacketBytes;

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
    if (qvtcpiptest::Readable(fds[0]) && ::read(fds[0], &port, sizeof port) != sizeof port) port = 0;
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

// Echoes each packet (stream 0), or takes each stream of that many bytes
// whole and answers one byte, until the other side goes.
void DeviceServeOnce(int portPipe, size_t stream) {
  QVTCPIPWorld world;
  auto device = Make(world, Block(2, "@127.0.0.1"));
  TellPort(portPipe, static_cast<unsigned short>(
                         std::stoi(std::string(QVNameAndPorts::Parse(device->Name(), "").DataPort.c_str()))));
  device->Connect();
  std::vector<char> packet(kPacketBytes);
  for (;;) {
    if (stream == 0) {
      if (!Receive(*device, packet.data(), kPacketBytes)) return;
      Send(*device, packet.data(), kPacketBytes);
    } else {
      if (!Receive(*device, nullptr, stream)) return;
      Send(*device, "k", 1);
    }
  }
}

void DeviceServe(int portPipe, size_t stream) {
  try {
    DeviceServeOnce(portPipe, stream);
  } catch (const QVException&) {
    // The other process went away: the run is over.
  }
}

void BM_TCPIPDeviceRoundTrip(benchmark::State& state) {
  Child child([](int fd) { DeviceServe(fd, 0); });
  QVTCPIPWorld world;
  auto device = Make(world, Block(4, std::to_string(child.port) + "@127.0.0.1"));
  device->Connect();
  char packet[kPacketBytes] = {};
  for (auto _ : state) {
    Send(*device, packet, kPacketBytes);
    if (!Receive(*device, packet, kPacketBytes)) return state.SkipWithError("echo ended");
  }
}
BENCHMARK(BM_TCPIPDeviceRoundTrip)->Apply(qvbench::RoundTrips);

void BM_TCPIPDeviceOneWay(benchmark::State& state) {
  const std::vector<double> reals = qvbench::BulkReals(state);
  const size_t bytes = reals.size() * sizeof(double);
  Child child([bytes](int fd) { DeviceServe(fd, bytes); });
  QVTCPIPWorld world;
  auto device = Make(world, Block(4, std::to_string(child.port) + "@127.0.0.1"));
  device->Connect();
  for (auto _ : state) {
    Send(*device, reinterpret_cast<const char*>(reals.data()), bytes);
    if (!Receive(*device, nullptr, 1)) return state.SkipWithError("sink ended");
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes));
}
BENCHMARK(BM_TCPIPDeviceOneWay)->Apply(qvbench::OneWaySizes);

using qvbench::BM_FloorMemcpy;
using qvbench::BM_FloorRawTcpPingPong;
using qvbench::BM_FloorRawTcpStream;
BENCHMARK(BM_FloorRawTcpPingPong)->Apply(qvbench::RoundTrips);
BENCHMARK(BM_FloorRawTcpStream)->Apply(qvbench::OneWaySizes);
BENCHMARK(BM_FloorMemcpy)->Apply(qvbench::OneWaySizes);

}  // namespace
