// The typed calls over a loopback link made with the public calls, beside
// floors measured in the same run:
// - 32-bit integers and 64-bit reals: 1000 puts, one flush, 1000 gets through
//   the public calls, in numbers per second, against a plain loop that writes
//   and parses the same token bytes by hand (goal: at least 1 M/s); the
//   32-bit case also with the link's lock on;
// - BM_RealListInternalPackedPut: a 1 MiB list of 64-bit reals written as one
//   packed array token by the codec's internal array put (what a peer sends
//   for a list of machine reals; no public put writes it) and got with the
//   public RVGetReal64List, against two memcpys of the same bytes.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

#include "api/qvarraymeter.h"
#include "api/qvenvironment.h"
#include "api/qvlink.h"
#include "bench/qvbenchlink.h"
#include "quorvane.h"

namespace {

constexpr int kNumbers = 1000;
constexpr size_t kListBytes = size_t{1} << 20;
const unsigned char kListHead[] = {0x23, 0x47, 0x41, 0x7E, 0x44, 0x4C, 0x69, 0x73, 0x74, 0x0A};

using qvbench::LoopbackLink;

// What the numbers got are added into: wide and unsigned for integers, so
// that a long run wraps instead of overflowing.
template <typename T>
using Sum = std::conditional_t<std::is_integral_v<T>, uint64_t, T>;

template <typename T>
int Put(QVLink* link, T value) {
  if constexpr (sizeof(T) == 4) {
    return RVPutInteger32(link, value);
  } else {
    return RVPutReal64(link, value);
  }
}

template <typename T>
int Get(QVLink* link, T* value) {
  if constexpr (sizeof(T) == 4) {
    return RVGetInteger32(link, value);
  } else {
    return RVGetReal64(link, value);
  }
}

template <typename T>
void PutAndGet(benchmark::State& state, QVLink* link) {
  if (link == nullptr) return state.SkipWithError("no link");
  Sum<T> sum = 0;
  for (auto _ : state) {
    for (int i = 0; i < kNumbers; ++i) {
      if (Put(link, static_cast<T>(i)) != 1) return state.SkipWithError("put failed");
    }
    if (RVFlush(link) != 1) return state.SkipWithError("flush failed");
    for (int i = 0; i < kNumbers; ++i) {
      T v{};
      if (Get(link, &v) != 1) return state.SkipWithError("get failed");
      sum += static_cast<Sum<T>>(v);
    }
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(state.iterations() * kNumbers);
}

template <typename T>
void BM_PutGetThroughTheLink(benchmark::State& state) {
  LoopbackLink loopback;
  PutAndGet<T>(state, loopback.get());
}
BENCHMARK_TEMPLATE(BM_PutGetThroughTheLink, int32_t);
BENCHMARK_TEMPLATE(BM_PutGetThroughTheLink, double);

// The same with the link's lock on (RVEnableLinkLock), as every link of a
// thread-safe environment has it: each call takes the uncontended lock once.
void BM_PutGetThroughALockedLink(benchmark::State& state) {
  LoopbackLink loopback;
  RVEnableLinkLock(loopback.get());
  PutAndGet<int32_t>(state, loopback.get());
}
BENCHMARK(BM_PutGetThroughALockedLink);

// The floor: the same token bytes written and parsed by hand.
template <typename T>
void BM_SameBytesByHand(benchmark::State& state) {
  const unsigned type = sizeof(T) == 4 ? 228 : 246;
  std::vector<unsigned char> buffer(kNumbers * (sizeof(T) + 2));
  Sum<T> sum = 0;
  for (auto _ : state) {
    unsigned char* p = buffer.data();
    for (int i = 0; i < kNumbers; ++i) {
      const T v = static_cast<T>(i);
      *p++ = static_cast<unsigned char>(type);
      std::memcpy(p, &v, sizeof v);
      p += sizeof v;
      *p++ = '\n';
    }
    benchmark::ClobberMemory();
    const unsigned char* q = buffer.data();
    for (int i = 0; i < kNumbers; ++i) {
      if (q[0] != type || q[1 + sizeof(T)] != '\n') return state.SkipWithError("bad token");
      T v;
      std::memcpy(&v, q + 1, sizeof v);
      sum += static_cast<Sum<T>>(v);
      q += sizeof(T) + 2;
    }
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(state.iterations() * kNumbers);
}
BENCHMARK_TEMPLATE(BM_SameBytesByHand, int32_t);
BENCHMARK_TEMPLATE(BM_SameBytesByHand, double);

void BM_RealListInternalPackedPut(benchmark::State& state) {
  LoopbackLink loopback;
  QVLink* link = loopback.get();
  if (link == nullptr) return state.SkipWithError("no link");
  const int64_t n = static_cast<int64_t>(kListBytes / sizeof(double));
  std::vector<double> values(static_cast<size_t>(n), 1.5);
  for (auto _ : state) {
    qvmeter meter;
    meter.own_dimensions.assign(1, n);
    meter.dimensions = meter.own_dimensions.data();
    meter.depth = 1;
    meter.own_counters.assign(1, 0);
    meter.counters = meter.own_counters.data();
    meter.head_bytes.assign(std::begin(kListHead), std::end(kListHead));
    meter.head_ends.push_back(static_cast<int64_t>(meter.head_bytes.size()));
    if (QVPutArray_(link->writeState, link->deviceStack, link->queueStack.base, &meter) != 0 ||
        QVPutBinaryNumberArrayData_(link->writeState, link->deviceStack, link->queueStack.base, &meter,
                                    values.data(), 246, n) != 0 ||
        RVEndPacket(link) != 1 || RVFlush(link) != 1) {
      return state.SkipWithError("put failed");
    }
    double* data = nullptr;
    int length = 0;
    if (RVGetReal64List(link, &data, &length) != 1 || length != n) return state.SkipWithError("get failed");
    benchmark::DoNotOptimize(data[length - 1]);
    RVReleaseReal64List(link, data, length);
    if (RVNewPacket(link) != 1) return state.SkipWithError("packet end");
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kListBytes));
}
BENCHMARK(BM_RealListInternalPackedPut);

// The floor: the list's bytes copied in and out once each.
void BM_TwoMemcpys(benchmark::State& state) {
  std::vector<unsigned char> source(kListBytes, 1), middle(kListBytes), target(kListBytes);
  for (auto _ : state) {
    std::memcpy(middle.data(), source.data(), kListBytes);
    benchmark::ClobberMemory();
    std::memcpy(target.data(), middle.data(), kListBytes);
    benchmark::DoNotOptimize(target.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kListBytes));
}
BENCHMARK(BM_TwoMemcpys);

}  // namespace
