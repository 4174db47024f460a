// What a host meets when it calls Algorithm3: quorvane-algorithm3 launched as
// a child over each device by a host on the public calls alone (this program
// links only the shared library; a launch passes no link options, so "TCPIP"
// runs its default connection model). The launch, the connection, the handshake
// and the reading of the program's definition come before the timed loop;
// each iteration is one call, its answer checked.
// - BM_Algorithm3Call/<device>/days:N/time:0: the link cost of a call. Five
//   lists of N reals, an integer and four reals go as the host puts them
//   (List of single reals); the program reads every argument and answers
//   "$Failed" without computing, since time 0 is outside the simulation's
//   1 to 5.
// - BM_Algorithm3Call/<device>/days:250/time:T: the full call, answered with
//   the simulation's real, checked against the simulation run here.
// - BM_IntegerRoundTrip/<device>: the floor, in the same run: one integer
//   there and back over the same device to quorvane-bench-peer, launched the
//   same way.
#include <benchmark/benchmark.h>

#include "bench/qvbenchfloors.h"
#include "bench/qvbenchlaunch.h"
#include "bench/qvbenchpeer.h"
#include "quorvane.h"
#include "tests/application/qvalgorithm3sample.h"

namespace {

using qvbench::BM_IntegerRoundTrip;
using qvbench::Device;
using qvbench::LaunchedProgram;

// DefineExternal[pattern, arguments, index] then End: what the program sends
// once connected.
bool ReadDefinition(QVLink* link) {
  int count = 0;
  if (RVTestHead(link, "DefineExternal", &count) != 1 || count != 3) return false;
  for (int i = 0; i < 2; ++i) {
    const char* text = nullptr;
    if (RVGetString(link, &text) != 1) return false;
    RVReleaseString(link, text);
  }
  int index = -1;
  return RVGetInteger(link, &index) == 1 && RVTestSymbol(link, "End") == 1;
}

// "$Failed" for a call the program does not compute, else the real expected.
bool ReadAnswer(QVLink* link, bool computed, double expected) {
  double value = 0;
  const bool answered = computed ? RVGetReal64(link, &value) == 1 && value == expected
                                 : RVTestSymbol(link, "$Failed") == 1;
  return answered && RVNewPacket(link) == 1;
}

void BM_Algorithm3Call(benchmark::State& state, Device device) {
  qvtest::Algorithm3Call call;
  call.sample = qvtest::Algorithm3Sample(static_cast<int>(state.range(0)));
  call.sample.time = static_cast<int>(state.range(1));
  const bool computed = call.sample.time != 0;
  const double expected = computed ? call.sample.Direct() : 0;
  LaunchedProgram program(device, QV_ALGORITHM3_PROGRAM);
  QVLink* link = program.link();
  if (link == nullptr) return state.SkipWithError(program.failure().c_str());
  if (!ReadDefinition(link)) {
    program.Fail("definition");
    return state.SkipWithError(program.failure().c_str());
  }
  for (auto _ : state) {
    if (!qvtest::PutAlgorithm3Call(link, call) || !ReadAnswer(link, computed, expected)) {
      program.Fail("call");
      return state.SkipWithError(program.failure().c_str());
    }
  }
}

void Calls(benchmark::internal::Benchmark* benchmark) {
  benchmark->ArgNames({"days", "time"})
      ->Args({250, 0})
      ->Args({4000, 0})
      ->Args({16000, 0})
      ->Args({250, 1})
      ->Args({250, 5})
      ->UseRealTime()
      ->Unit(benchmark::kMicrosecond);
}

BENCHMARK_CAPTURE(BM_Algorithm3Call, SharedMemory, Device::kSharedMemory)->Apply(Calls);
BENCHMARK_CAPTURE(BM_IntegerRoundTrip, SharedMemory, Device::kSharedMemory)->Apply(qvbench::RoundTrips);
BENCHMARK_CAPTURE(BM_Algorithm3Call, Pipes, Device::kPipes)->Apply(Calls);
BENCHMARK_CAPTURE(BM_IntegerRoundTrip, Pipes, Device::kPipes)->Apply(qvbench::RoundTrips);
BENCHMARK_CAPTURE(BM_Algorithm3Call, TCP, Device::kTCP)->Apply(Calls);
BENCHMARK_CAPTURE(BM_IntegerRoundTrip, TCP, Device::kTCP)->Apply(qvbench::RoundTrips);
BENCHMARK_CAPTURE(BM_Algorithm3Call, TCPIP, Device::kTCPIP)->Apply(Calls);
BENCHMARK_CAPTURE(BM_IntegerRoundTrip, TCPIP, Device::kTCPIP)->Apply(qvbench::RoundTrips);

}  // namespace
