// The host's side of quorvane-bench-peer (bench/qvbenchpeer.cpp), launched
// over a device: one integer there and back, and a list of reals one way.
// Both sides use the public calls only; the launch, connection and handshake
// come before the timed loop.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "bench/qvbenchfloors.h"
#include "bench/qvbenchlaunch.h"
#include "quorvane.h"

namespace qvbench {

inline std::string PeerCommand(const char* mode) { return std::string(QV_BENCH_PEER_PROGRAM) + " " + mode; }

// One integer put, the packet ended and flushed; the peer's echo got back.
// launched() runs once the peer is started, before the link connects.
inline void BM_IntegerRoundTrip(benchmark::State& state, Device device,
                                const std::function<void()>& launched = {}) {
  LaunchedProgram peer(device, PeerCommand("echo"), launched);
  QVLink* link = peer.link();
  if (link == nullptr) return state.SkipWithError(peer.failure().c_str());
  int sent = 0;
  for (auto _ : state) {
    ++sent;
    int back = 0;
    if (RVPutInteger32(link, sent) != 1 || RVEndPacket(link) != 1 || RVFlush(link) != 1 ||
        RVGetInteger32(link, &back) != 1 || back != sent) {
      peer.Fail("echo");
      return state.SkipWithError(peer.failure().c_str());
    }
  }
}

// List[r1, ..., rn] of state.range(0) MiB of reals (the payload of every
// one-way benchmark), put one real at a time as a host can; the peer reads it
// stepwise into its own buffer and answers the last one. Bytes processed
// count the reals' 8 bytes each.
inline void BM_ListOneWay(benchmark::State& state, Device device) {
  const std::vector<double> values = BulkReals(state);
  const auto reals = static_cast<int64_t>(values.size());
  LaunchedProgram peer(device, PeerCommand("sink"));
  QVLink* link = peer.link();
  if (link == nullptr) return state.SkipWithError(peer.failure().c_str());
  for (auto _ : state) {
    bool ok = RVPutFunction(link, "List", static_cast<int>(reals)) == 1;
    for (double value : values) ok = ok && RVPutReal64(link, value) == 1;
    double last = -1;
    if (!ok || RVEndPacket(link) != 1 || RVFlush(link) != 1 || RVGetReal64(link, &last) != 1 ||
        last != values.back()) {
      peer.Fail("list");
      return state.SkipWithError(peer.failure().c_str());
    }
  }
  state.SetBytesProcessed(state.iterations() * reals * 8);
}

}  // namespace qvbench
