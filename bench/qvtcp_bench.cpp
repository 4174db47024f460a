// The TCP device between two processes on 127.0.0.1, driven through its
// interface function, against raw TCP in the same run. The fork, the
// connection and the device's handshake come before each timed loop; the
// peer serves the whole run and is stopped after it.
// - BM_TcpDeviceRoundTrip: kPacketBytes there and back; floor
//   BM_FloorRawTcpPingPong.
// - BM_TcpDeviceOneWay/MiB:N: N MiB of reals one way, answered by one byte;
//   floors BM_FloorRawTcpStream/MiB:N and BM_FloorMemcpy/MiB:N.
// The link over this device, through the public calls, is measured in
// qvhostdevices_bench.
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <benchmark/benchmark.h>

#include "bench/qvbenchfloors.h"
#include "bench/qvbenchstreamend.h"
#include "device/qvmessagelayer.h"
#include "device/qvtcp.h"

namespace {

using namespace Quorvane;
using qvbench::kPacketBytes;

// A device listening (mode 2) or connecting (mode 4) to name; answers the
// name a peer connects to.
std::string Make(qvbench::StreamEnd& end, unsigned long mode, const std::string& name) {
  end.Make(&socket_main,
           std::string("TCP") + '\0' + std::to_string(mode) + '\0' + name + '\0' + '\0' + '\0' + "0" + '\0');
  char made[256] = {};
  long capacity = sizeof made;
  end.Call(QVDEVICE_NAME, made, &capacity);
  return std::to_string(std::atoi(made)) + "@127.0.0.1";
}

// The two ends across a fork: this one listens, the child connects and
// echoes (stream 0) or sinks streams of that many bytes until it is stopped.
class TcpPair : public qvbench::StreamPair {
 public:
  explicit TcpPair(size_t stream) {
    watchsignal(SIGIO, &unix_signal_handler);
    watchsignal(SIGURG, &unix_signal_handler);
    const std::string name = Make(end_, 2, "");
    child_ = fork();
    if (child_ == 0) {
      qvbench::StreamEnd end;
      Make(end, 4, name);
      end.Connect();
      end.Serve(kPacketBytes, stream);
    }
    end_.Connect();
  }
};

void BM_TcpDeviceRoundTrip(benchmark::State& state) { qvbench::StreamRoundTrip<TcpPair>(state); }
BENCHMARK(BM_TcpDeviceRoundTrip)->Apply(qvbench::RoundTrips);

void BM_TcpDeviceOneWay(benchmark::State& state) { qvbench::StreamOneWay<TcpPair>(state); }
BENCHMARK(BM_TcpDeviceOneWay)->Apply(qvbench::OneWaySizes);

using qvbench::BM_FloorMemcpy;
using qvbench::BM_FloorRawTcpPingPong;
using qvbench::BM_FloorRawTcpStream;
BENCHMARK(BM_FloorRawTcpPingPong)->Apply(qvbench::RoundTrips);
BENCHMARK(BM_FloorRawTcpStream)->Apply(qvbench::OneWaySizes);
BENCHMARK(BM_FloorMemcpy)->Apply(qvbench::OneWaySizes);

}  // namespace
