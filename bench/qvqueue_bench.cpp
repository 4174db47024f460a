// Throughput of the chunked byte queue: a payload put in and read out again,
// by copy (putn/getn) and through the direct windows (put window, borrowed
// read window), beside memcpy of the same sizes in the same run. A put and a
// get are two copies, so the fair floor is memcpy twice; memcpy once is shown
// too. Byte-at-a-time reading is set beside a plain pointer loop.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "datastructures/qvqueue.h"

namespace {

void* Allocate(uint64_t n) { return std::malloc(n); }
void Deallocate(void* p) { std::free(p); }

std::vector<unsigned char> Payload(size_t n) {
  std::vector<unsigned char> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<unsigned char>(i * 131 + 7);
  return v;
}

_queue* MakeQueue(uint64_t chunk) {
  return qvqueue_new_with_allocators(Allocate, Deallocate, nullptr, chunk, nullptr, nullptr);
}

void SizeArgs(benchmark::internal::Benchmark* b) {
  for (int64_t size : {int64_t{1} << 10, int64_t{64} << 10, int64_t{1} << 20}) b->Args({size});
}
void SizeAndChunkArgs(benchmark::internal::Benchmark* b) {
  for (int64_t chunk : {4096, 65536}) {
    for (int64_t size : {int64_t{1} << 10, int64_t{64} << 10, int64_t{1} << 20}) {
      b->Args({size, chunk});
    }
  }
}

// Destinations sit 64 bytes into their allocation: buffers of equal large
// size otherwise often start at the same offset within a page, a case in
// which the C library's copy is several times slower than usual, which would
// make the floor meaningless.
constexpr size_t kSkew = 64;

void BM_Memcpy(benchmark::State& state) {
  const auto n = static_cast<size_t>(state.range(0));
  auto src = Payload(n);
  std::vector<unsigned char> dst_store(n + kSkew);
  unsigned char* dst = dst_store.data() + kSkew;
  for (auto _ : state) {
    std::memcpy(dst, src.data(), n);
    benchmark::DoNotOptimize(dst);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Memcpy)->Apply(SizeArgs);

void BM_MemcpyTwice(benchmark::State& state) {
  const auto n = static_cast<size_t>(state.range(0));
  auto src = Payload(n);
  std::vector<unsigned char> mid_store(n + kSkew);
  std::vector<unsigned char> dst_store(n + 2 * kSkew);
  unsigned char* mid = mid_store.data() + kSkew;
  unsigned char* dst = dst_store.data() + 2 * kSkew;
  for (auto _ : state) {
    std::memcpy(mid, src.data(), n);
    benchmark::ClobberMemory();
    std::memcpy(dst, mid, n);
    benchmark::DoNotOptimize(dst);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_MemcpyTwice)->Apply(SizeArgs);

void BM_QueuePutnGetn(benchmark::State& state) {
  const int64_t n = state.range(0);
  auto src = Payload(static_cast<size_t>(n));
  std::vector<unsigned char> dst(static_cast<size_t>(n));
  _queue* q = MakeQueue(static_cast<uint64_t>(state.range(1)));
  for (auto _ : state) {
    if (qvqueue_putn(q, src.data(), n) != n || qvqueue_getn(q, dst.data(), n) != n) {
      state.SkipWithError("queue lost bytes");
      break;
    }
    benchmark::DoNotOptimize(dst.data());
  }
  qvqueue_destroy(q);
  state.SetBytesProcessed(state.iterations() * n);
}
BENCHMARK(BM_QueuePutnGetn)->Apply(SizeAndChunkArgs);

void BM_QueueWindows(benchmark::State& state) {
  const int64_t n = state.range(0);
  auto src = Payload(static_cast<size_t>(n));
  std::vector<unsigned char> dst(static_cast<size_t>(n));
  _queue* q = MakeQueue(static_cast<uint64_t>(state.range(1)));
  for (auto _ : state) {
    // Producer: write straight into chunk memory.
    int64_t put = 0;
    while (put < n) {
      unsigned char* p = qvqueue_putstart(q);
      unsigned char* e = qvqueue_putend(q);
      const int64_t k = std::min<int64_t>(e - p, n - put);
      std::memcpy(p, src.data() + put, static_cast<size_t>(k));
      qvqueue_putstop(q, p + k);
      put += k;
    }
    // Consumer: take bytes in place from the borrowed window.
    int64_t got = 0;
    while (got < n) {
      unsigned char* b = nullptr;
      unsigned char* be = nullptr;
      qvqueue_borrow_some(q, &b, &be);
      if (b == be) {
        if (qvqueue_next_chunk(q) == 0) break;
        continue;
      }
      const int64_t k = std::min<int64_t>(be - b, n - got);
      std::memcpy(dst.data() + got, b, static_cast<size_t>(k));
      qvqueue_return_rest(q, b + k);
      got += k;
    }
    if (got != n) {
      state.SkipWithError("queue lost bytes");
      break;
    }
    benchmark::DoNotOptimize(dst.data());
  }
  qvqueue_destroy(q);
  state.SetBytesProcessed(state.iterations() * n);
}
BENCHMARK(BM_QueueWindows)->Apply(SizeAndChunkArgs);

// Reading byte by byte: the queue's getc against a plain pointer loop.
void BM_PointerLoop(benchmark::State& state) {
  const auto n = static_cast<size_t>(state.range(0));
  auto src = Payload(n);
  for (auto _ : state) {
    unsigned sum = 0;
    const unsigned char* p = src.data();
    const unsigned char* e = p + n;
    while (p < e) {
      sum += *p++;
      benchmark::DoNotOptimize(sum);
    }
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_PointerLoop)->Arg(64 << 10);

void BM_QueueGetc(benchmark::State& state) {
  const int64_t n = state.range(0);
  auto src = Payload(static_cast<size_t>(n));
  _queue* q = MakeQueue(0);
  for (auto _ : state) {
    state.PauseTiming();
    qvqueue_putn(q, src.data(), n);
    state.ResumeTiming();
    unsigned sum = 0;
    for (int c; (c = qvqueue_getc(q)) >= 0;) {
      sum += static_cast<unsigned>(c);
      benchmark::DoNotOptimize(sum);
    }
  }
  qvqueue_destroy(q);
  state.SetBytesProcessed(state.iterations() * n);
}
BENCHMARK(BM_QueueGetc)->Arg(64 << 10);

}  // namespace
