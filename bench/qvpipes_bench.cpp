// The Pipes device between two processes, driven through its interface
// function, against raw pipes in the same run. The pipes, the fork and the
// device's connection come before each timed loop; the peer serves the whole
// run and is stopped after it.
// - BM_PipesDeviceRoundTrip: kPacketBytes there and back; floor
//   BM_FloorRawPipePingPong.
// - BM_PipesDeviceOneWay/MiB:N: N MiB of reals one way, answered by one byte;
//   floors BM_FloorRawPipeStream/MiB:N and BM_FloorMemcpy/MiB:N.
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
#include "device/qvpipes.h"

namespace {

using namespace Quorvane;
using qvbench::kPacketBytes;

// A device on the given data and message pipes, connected.
void Open(qvbench::StreamEnd& end, int in, int out, int msgIn, int msgOut) {
  const std::string text = "Pipes:" + std::to_string(in) + "," + std::to_string(out) + "," + std::to_string(msgIn) +
                           "," + std::to_string(msgOut);
  end.Make(&pipe_main, text + '\0' + "16" + '\0' + '\0' + '\0' + '\0' + "0" + '\0');
  end.Connect();
}

// The two ends across a fork, each device owning its pipe ends: the child
// echoes (stream 0) or sinks streams of that many bytes until it is stopped.
class PipesPair : public qvbench::StreamPair {
 public:
  explicit PipesPair(size_t stream) {
    int a[2], b[2], ma[2], mb[2];
    if (pipe(a) != 0 || pipe(b) != 0 || pipe(ma) != 0 || pipe(mb) != 0) std::abort();
    watchsignal(SIGIO, &unix_signal_handler);
    child_ = fork();
    if (child_ == 0) {
      for (int fd : {b[0], a[1], mb[0], ma[1]}) close(fd);
      qvbench::StreamEnd end;
      Open(end, a[0], b[1], ma[0], mb[1]);
      end.Serve(kPacketBytes, stream);
    }
    for (int fd : {a[0], b[1], ma[0], mb[1]}) close(fd);
    Open(end_, b[0], a[1], mb[0], ma[1]);
  }
};

void BM_PipesDeviceRoundTrip(benchmark::State& state) { qvbench::StreamRoundTrip<PipesPair>(state); }
BENCHMARK(BM_PipesDeviceRoundTrip)->Apply(qvbench::RoundTrips);

void BM_PipesDeviceOneWay(benchmark::State& state) { qvbench::StreamOneWay<PipesPair>(state); }
BENCHMARK(BM_PipesDeviceOneWay)->Apply(qvbench::OneWaySizes);

using qvbench::BM_FloorMemcpy;
using qvbench::BM_FloorRawPipePingPong;
using qvbench::BM_FloorRawPipeStream;
BENCHMARK(BM_FloorRawPipePingPong)->Apply(qvbench::RoundTrips);
BENCHMARK(BM_FloorRawPipeStream)->Apply(qvbench::OneWaySizes);
BENCHMARK(BM_FloorMemcpy)->Apply(qvbench::OneWaySizes);

}  // namespace
