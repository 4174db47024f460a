// The public calls over each device, between this host and a program it
// launches (quorvane-bench-peer, built and linked as quorvane-algorithm3 is),
// beside a floor of the same transport measured in the same run. This
// program links only the shared library; the launch, connection and
// handshake come before each timed loop.
// - BM_IntegerRoundTrip/<device>: one integer there and back. Floors:
//   BM_FloorFutexPingPong (SharedMemory), BM_FloorRawPipePingPong (Pipes),
//   BM_FloorRawTcpPingPong (TCP and TCPIP).
// - BM_IntegerRoundTripOnOneCpu/SharedMemory: the same with every thread of
//   both processes pinned to one CPU. Floor: BM_FloorFutexPingPongOnOneCpu.
// - BM_IntegerRoundTripPinnedApart/<device>: the same with every thread of
//   this host pinned to one CPU and the launched program to another. Floors:
//   BM_FloorFutexPingPongPinnedApart (SharedMemory),
//   BM_FloorRawPipePingPongPinnedApart (Pipes), each pinned the same way.
// - BM_ListOneWay/<device>/MiB:N: a list of N MiB of reals put one real at
//   a time (a host has no array put) and read stepwise by the peer into its
//   own buffer, answered by its last real. Floors: BM_FloorMemcpy
//   (SharedMemory), BM_FloorRawPipeStream (Pipes), BM_FloorRawTcpStream (TCP
//   and TCPIP), of the same N MiB.
#include <benchmark/benchmark.h>

#include "bench/qvbenchfloors.h"
#include "bench/qvbenchlaunch.h"
#include "bench/qvbenchpeer.h"

namespace {

using qvbench::BM_FloorFutexPingPong;
using qvbench::BM_FloorFutexPingPongOnOneCpu;
using qvbench::BM_FloorFutexPingPongPinnedApart;
using qvbench::BM_FloorMemcpy;
using qvbench::BM_FloorRawPipePingPong;
using qvbench::BM_FloorRawPipePingPongPinnedApart;
using qvbench::BM_FloorRawPipeStream;
using qvbench::BM_FloorRawTcpPingPong;
using qvbench::BM_FloorRawTcpStream;
using qvbench::BM_IntegerRoundTrip;
using qvbench::BM_ListOneWay;
using qvbench::Device;
using qvbench::OneWaySizes;
using qvbench::RoundTrips;

// Pinned before the launch: the program inherits the one CPU.
void BM_IntegerRoundTripOnOneCpu(benchmark::State& state, Device device) {
  const qvbench::OneCpu pin;
  if (!pin.pinned()) return state.SkipWithError("not pinned");
  BM_IntegerRoundTrip(state, device);
}

// The program inherits the launching thread's CPU, the peer's; every thread
// of this host then moves to its own before the link connects, so that
// neither side's first look at the masks sees them together.
void BM_IntegerRoundTripPinnedApart(benchmark::State& state, Device device) {
  const qvbench::PinnedApart pins;
  if (!pins.possible()) return state.SkipWithError("fewer than 2 CPUs allowed");
  if (!pins.EveryThreadTo(pins.peer())) return state.SkipWithError("not pinned");
  bool moved = false;
  BM_IntegerRoundTrip(state, device, [&] { moved = pins.EveryThreadTo(pins.host()); });
  if (!moved) state.SkipWithError("the host was not pinned apart");
}

BENCHMARK_CAPTURE(BM_IntegerRoundTrip, SharedMemory, Device::kSharedMemory)->Apply(RoundTrips);
BENCHMARK(BM_FloorFutexPingPong)->Apply(RoundTrips);
BENCHMARK_CAPTURE(BM_IntegerRoundTripOnOneCpu, SharedMemory, Device::kSharedMemory)->Apply(RoundTrips);
BENCHMARK(BM_FloorFutexPingPongOnOneCpu)->Apply(RoundTrips);
BENCHMARK_CAPTURE(BM_IntegerRoundTripPinnedApart, SharedMemory, Device::kSharedMemory)->Apply(RoundTrips);
BENCHMARK(BM_FloorFutexPingPongPinnedApart)->Apply(RoundTrips);
BENCHMARK_CAPTURE(BM_IntegerRoundTrip, Pipes, Device::kPipes)->Apply(RoundTrips);
BENCHMARK(BM_FloorRawPipePingPong)->Apply(RoundTrips);
BENCHMARK_CAPTURE(BM_IntegerRoundTripPinnedApart, Pipes, Device::kPipes)->Apply(RoundTrips);
BENCHMARK(BM_FloorRawPipePingPongPinnedApart)->Apply(RoundTrips);
BENCHMARK_CAPTURE(BM_IntegerRoundTrip, TCP, Device::kTCP)->Apply(RoundTrips);
BENCHMARK_CAPTURE(BM_IntegerRoundTrip, TCPIP, Device::kTCPIP)->Apply(RoundTrips);
BENCHMARK(BM_FloorRawTcpPingPong)->Apply(RoundTrips);

BENCHMARK_CAPTURE(BM_ListOneWay, SharedMemory, Device::kSharedMemory)->Apply(OneWaySizes);
BENCHMARK(BM_FloorMemcpy)->Apply(OneWaySizes);
BENCHMARK_CAPTURE(BM_ListOneWay, Pipes, Device::kPipes)->Apply(OneWaySizes);
BENCHMARK(BM_FloorRawPipeStream)->Apply(OneWaySizes);
BENCHMARK_CAPTURE(BM_ListOneWay, TCP, Device::kTCP)->Apply(OneWaySizes);
BENCHMARK_CAPTURE(BM_ListOneWay, TCPIP, Device::kTCPIP)->Apply(OneWaySizes);
BENCHMARK(BM_FloorRawTcpStream)->Apply(OneWaySizes);

}  // namespace
