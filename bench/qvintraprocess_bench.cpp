// Two threads joined by an "IntraProcess" link pair. Measured beside their
// floors in the same run:
// - a small packet (one integer) there and back, against a ping-pong of two
//   threads over a mutex and condition variable;
// - a 64 MiB list of reals one way, read whole as an array by the other
//   thread, against memcpy of 64 MiB; the list goes as one packed array token
//   written by the codec's internal put (internal_packed_put:1; what a peer
//   sends for a list of machine reals, which no public put writes) or as a
//   List function of single reals (internal_packed_put:0; what the public
//   puts can write).
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/qvbenchfloors.h"
#include "quorvane.h"
#include "support/qvlistheads.h"

namespace {

constexpr long kBulkReals = 64L * 1024 * 1024 / sizeof(double);
constexpr int kStop = -1;

// A connected pair in an environment of its own; the far end is served by a
// thread running the given loop until it reads kStop or fails.
class Pair {
 public:
  explicit Pair(void (*serve)(QVLink*)) {
    environment_ = RVBegin(nullptr);
    if (environment_ == nullptr) return;
    int error = 0;
    near_ = RVOpenString(environment_, "-linkcreate -linkprotocol IntraProcess", &error);
    if (near_ == nullptr) return;
    const std::string command =
        std::string("-linkconnect -linkname ") + RVName(near_) + " -linkprotocol IntraProcess";
    far_ = RVOpenString(environment_, command.c_str(), &error);
    if (far_ == nullptr) return;
    server_ = std::thread([this, serve] {
      if (RVConnect(far_) == 1) serve(far_);
    });
    ok_ = RVConnect(near_) == 1;
  }
  ~Pair() {
    if (near_ != nullptr) {
      RVPutInteger(near_, kStop);
      RVEndPacket(near_);
      RVFlush(near_);
    }
    if (server_.joinable()) server_.join();
    if (far_ != nullptr) RVClose(far_);
    if (near_ != nullptr) RVClose(near_);
    if (environment_ != nullptr) RVEnd(environment_);
  }
  Pair(const Pair&) = delete;
  Pair& operator=(const Pair&) = delete;

  bool ok() const { return ok_; }
  QVLink* near() const { return near_; }

 private:
  RVEnvironment* environment_ = nullptr;
  QVLink* near_ = nullptr;
  QVLink* far_ = nullptr;
  std::thread server_;
  bool ok_ = false;
};

void Echo(QVLink* link) {
  for (;;) {
    int value = 0;
    if (RVGetInteger(link, &value) != 1 || value == kStop) return;
    RVPutInteger(link, value);
    RVEndPacket(link);
    RVFlush(link);
  }
}

void BM_IntraProcessRoundTrip(benchmark::State& state) {
  Pair pair(&Echo);
  if (!pair.ok()) {
    state.SkipWithError("the pair did not connect");
    return;
  }
  int sent = 0;
  for (auto _ : state) {
    RVPutInteger(pair.near(), ++sent);
    RVEndPacket(pair.near());
    RVFlush(pair.near());
    int back = 0;
    if (RVGetInteger(pair.near(), &back) != 1 || back != sent) {
      state.SkipWithError("the echo was wrong");
      break;
    }
  }
}
BENCHMARK(BM_IntraProcessRoundTrip)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_ConditionPingPongFloor(benchmark::State& state) {
  std::mutex lock;
  std::condition_variable changed;
  int turn = 0;  // 1: the other thread's turn, 0: ours, -1: stop
  std::thread other([&] {
    std::unique_lock<std::mutex> hold(lock);
    for (;;) {
      changed.wait(hold, [&] { return turn != 0; });
      if (turn < 0) return;
      turn = 0;
      changed.notify_all();
    }
  });
  for (auto _ : state) {
    std::unique_lock<std::mutex> hold(lock);
    turn = 1;
    changed.notify_all();
    changed.wait(hold, [&] { return turn == 0; });
  }
  {
    std::lock_guard<std::mutex> hold(lock);
    turn = -1;
  }
  changed.notify_all();
  other.join();
}
BENCHMARK(BM_ConditionPingPongFloor)->UseRealTime()->Unit(benchmark::kMicrosecond);

const std::vector<double>& Bulk() {
  static const std::vector<double> values = [] {
    std::vector<double> v(static_cast<size_t>(kBulkReals));
    for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<double>(i) * 0.5;
    return v;
  }();
  return values;
}

// Reads each list of reals whole and answers its last element; an integer ends it.
void ReadArrays(QVLink* link) {
  for (;;) {
    const int type = RVGetType(link);
    if (type != 70 && type != 65) return;  // a List function or an array token
    double* data = nullptr;
    int* dimensions = nullptr;
    char** heads = nullptr;
    int depth = 0;
    if (RVGetReal64Array(link, &data, &dimensions, &heads, &depth) != 1) return;
    RVPutReal64(link, data[dimensions[0] - 1]);
    RVReleaseReal64Array(link, data, dimensions, heads, depth);
    RVEndPacket(link);
    RVFlush(link);
  }
}

void BM_IntraProcessRealArray64MiB(benchmark::State& state) {
  Pair pair(&ReadArrays);
  if (!pair.ok()) {
    state.SkipWithError("the pair did not connect");
    return;
  }
  const std::vector<double>& bulk = Bulk();
  const bool packed = state.range(0) != 0;
  for (auto _ : state) {
    bool ok = true;
    if (packed) {
      ok = qvcodec::PutPackedList(pair.near(), bulk.data(), 246, static_cast<int64_t>(bulk.size()));
    } else {
      ok = RVPutFunction(pair.near(), "List", static_cast<int>(bulk.size())) == 1;
      for (double value : bulk) ok = ok && RVPutReal64(pair.near(), value) == 1;
    }
    ok = ok && RVEndPacket(pair.near()) == 1 && RVFlush(pair.near()) == 1;
    double last = 0;
    if (!ok || RVGetReal64(pair.near(), &last) != 1 || last != bulk.back()) {
      state.SkipWithError("the array did not arrive whole");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBulkReals * 8);
}
BENCHMARK(BM_IntraProcessRealArray64MiB)
    ->ArgName("internal_packed_put")
    ->Arg(1)
    ->Arg(0)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

using qvbench::BM_FloorMemcpy;
BENCHMARK(BM_FloorMemcpy)->ArgName("MiB")->Arg(64)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
