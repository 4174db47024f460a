// Packed runs, the way real lists and arrays travel: a 1 MiB run of doubles
// read into a caller's buffer, beside memcpy of the same bytes, and the same
// run read as singles (converted in batches), beside a plain conversion loop.
// The run sits in the input queue of loopback plumbing; each iteration reads
// it through a fresh fork of that queue.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "api/qvarraymeter.h"
#include "api/qvcodecread.h"
#include "api/qvnumericdispatch.h"
#include "support/qvlinkharness.h"
#include "text/qvconverter.h"

namespace {

constexpr int64_t kElements = (int64_t{1} << 20) / 8;

std::vector<double> Doubles() {
  std::vector<double> v(static_cast<size_t>(kElements));
  for (size_t i = 0; i < v.size(); ++i) v[i] = 0.25 * static_cast<double>(i) - 1000.0;
  return v;
}

std::string RunBytes(const std::vector<double>& values) {
  std::string bytes = "P" + std::to_string(values.size()) + " ";
  bytes.push_back(static_cast<char>(0xF6));
  bytes.append(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(double));
  bytes.push_back('\n');
  return bytes;
}

character_environment* TextEnvironment() {
  static character_environment* environment = cs__begin(
      [](uint64_t n) { return std::malloc(n); }, [](void* p) { std::free(p); }, nullptr, nullptr, nullptr, nullptr);
  return environment;
}

// Reads the whole run as `wanted` through a fresh fork of the plumbing's input.
template <typename T>
void ReadRun(qvtest::LinkPlumbing& plumbing, _queue* source, unsigned wanted, std::vector<T>& out) {
  int error = 0;
  _queue* fork = qvqueue_newfork(source, nullptr, &error);
  qv_queue_stack queues{};
  useritem_dkt item{fork, nullptr, qvtest::LinkQueueDispatch};
  qvqk__construct(plumbing.environment(), &queues, &item);
  read_state state;
  rs__construct(&state, qvne__dispatch, TextEnvironment(), cs__factory, nullptr, nullptr, nullptr, 0, nullptr,
                nullptr);
  int64_t count = 0;
  QVGetBinaryNumberArrayData_(&state, nullptr, &queues, nullptr, out.data(), kElements, wanted, &count);
  if (count != kElements) std::abort();
  rs__deconstruct(&state, nullptr);
  qvqk__deconstruct(&queues, nullptr);
}

struct Fixture {
  Fixture() : values(Doubles()), plumbing(qvtest::LinkPlumbing::Loopback()) {
    const std::string bytes = RunBytes(values);
    int error = 0;
    source = qvqueue_new_with_allocators(qvstd_allocate, qvstd_free, nullptr, 65536, nullptr, &error);
    qvqueue_putn(source, bytes.data(), static_cast<int64_t>(bytes.size()));
  }
  ~Fixture() { qvqueue_destroy(source); }
  static void* qvstd_allocate(uint64_t n) { return std::malloc(n); }
  static void qvstd_free(void* p) { std::free(p); }
  std::vector<double> values;
  std::unique_ptr<qvtest::LinkPlumbing> plumbing;
  _queue* source = nullptr;
};

void BM_DoubleRun_Codec(benchmark::State& state) {
  Fixture f;
  std::vector<double> out(static_cast<size_t>(kElements));
  for (auto _ : state) {
    ReadRun(*f.plumbing, f.source, 246, out);
    benchmark::ClobberMemory();
  }
  if (out != f.values) state.SkipWithError("wrong values");
  state.SetBytesProcessed(state.iterations() * kElements * 8);
}

void BM_DoubleRun_Memcpy(benchmark::State& state) {
  Fixture f;
  std::vector<double> out(static_cast<size_t>(kElements) + 8);
  for (auto _ : state) {
    std::memcpy(out.data() + 8, f.values.data(), static_cast<size_t>(kElements) * 8);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * kElements * 8);
}

void BM_DoubleRunAsSingles_Codec(benchmark::State& state) {
  Fixture f;
  std::vector<float> out(static_cast<size_t>(kElements));
  for (auto _ : state) {
    ReadRun(*f.plumbing, f.source, 244, out);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * kElements * 8);
}

void BM_DoubleRunAsSingles_PlainLoop(benchmark::State& state) {
  Fixture f;
  std::vector<float> out(static_cast<size_t>(kElements));
  for (auto _ : state) {
    for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<float>(f.values[i]);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * kElements * 8);
}

}  // namespace

BENCHMARK(BM_DoubleRun_Codec);
BENCHMARK(BM_DoubleRun_Memcpy);
BENCHMARK(BM_DoubleRunAsSingles_Codec);
BENCHMARK(BM_DoubleRunAsSingles_PlainLoop);
