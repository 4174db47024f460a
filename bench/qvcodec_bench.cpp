// The token codec over a loopback link, beside floors measured in the same
// run:
// - a stream of typical packets (functions of 32-bit integers and 64-bit
//   reals, symbols and short strings) encoded and decoded, in MB/s of the
//   stream, against memcpy of the same bytes;
// - binary numbers put and got one call each, in numbers per second, against
//   a plain loop that writes and checks the same token bytes.
// The link harness is compiled in here: benchmark programs link only the library.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "api/qvcodecread.h"
#include "api/qvcodecwrite.h"
#include "api/qvfeatureset.h"
#include "api/qvnumericenv.h"
#include "api/qvstream.h"
#include "support/qvlinkharness.h"
#include "text/qvconverter.h"

namespace {

constexpr int kPackets = 2000;
constexpr int kNumbers = 4096;

void* Allocate(uint64_t n) { return std::malloc(n); }
void Deallocate(void* p) { std::free(p); }

character_environment* TextEnvironment() {
  static character_environment* environment = cs__begin(Allocate, Deallocate, nullptr, nullptr, nullptr, nullptr);
  return environment;
}

const _qvnumeric_env_descriptor* OwnNumerics() {
  static QVNumericEnvMap* map = QVGenerateNumericEnvDescriptions(Allocate, Deallocate);
  return QVFindNumericEnvDescription(map, "greatdane");
}

// A link to itself whose peer reads every own binary type as it stands and
// takes every text encoding, with short lengths and packed runs.
class Loopback {
 public:
  Loopback() : link_(qvtest::LinkPlumbing::Loopback()) {
    feature_set features{};
    features.features = QVFEATURE_ALL;
    for (unsigned type : {161u, 226u, 228u, 230u, 244u, 246u, 248u}) qvfs__set_as_it_stands(features, type);
    features.dispatch = qvne__dispatch;
    features.encodings = {0xFE, 0};
    features.text_environment = TextEnvironment();
    features.text_factory = cs__factory;
    ok_ = link_ != nullptr && ws__construct(&writer_, &features, OwnNumerics(), OwnNumerics(), 0, nullptr, nullptr) == 1;
    const rs_memory_stack memory{[](void*, uint64_t n) { return std::malloc(n); }, [](void*, void* p) { std::free(p); },
                                 nullptr};
    rs__construct(&reader_, qvne__dispatch, TextEnvironment(), cs__factory, &memory, OwnNumerics(), OwnNumerics(), 0,
                  nullptr, nullptr);
  }
  ~Loopback() {
    rs__deconstruct(&reader_, nullptr);
    if (ok_) ws__deconstruct(&writer_);
  }
  Loopback(const Loopback&) = delete;
  Loopback& operator=(const Loopback&) = delete;

  bool ok() const { return ok_; }
  write_state* writer() { return &writer_; }
  read_state* reader() { return &reader_; }
  device_kebab* stack() { return link_->device(); }
  _queue* base() { return link_->base(); }
  qv_queue_stack* queues() { return link_->queues(); }

  // Everything written so far, taken off the input.
  std::vector<unsigned char> Drain() {
    QVFlush_(&writer_, stack(), base());
    std::vector<unsigned char> bytes;
    unsigned char piece[4096];
    long error = 0;
    for (;;) {
      const int64_t got = qvs__getn(nullptr, qvqk__top(queues()), piece, sizeof piece, &error);
      if (got <= 0) break;
      bytes.insert(bytes.end(), piece, piece + got);
    }
    return bytes;
  }
  // The bytes put on the input, as if the peer had sent them.
  void Arrive(const std::vector<unsigned char>& bytes) {
    qvqueue_putn(qvqk__top(queues()), bytes.data(), static_cast<int64_t>(bytes.size()));
  }

 private:
  std::unique_ptr<qvtest::LinkPlumbing> link_;
  write_state writer_{};
  read_state reader_;
  bool ok_ = false;
};

long PutText(Loopback& l, unsigned token, const char* text) {
  const auto n = static_cast<int64_t>(std::strlen(text));
  long e = QVPutType_(l.writer(), l.stack(), l.base(), token);
  if (e == 0) e = QVPutCharacters_(l.writer(), l.stack(), l.base(), 0, text, text + n, n, ENCODING_ASCII);
  return e;
}

long PutFunction(Loopback& l, const char* head, int64_t arguments) {
  const long e = QVPutComposite_(l.writer(), l.stack(), l.base(), arguments);
  return e != 0 ? e : PutText(l, 35, head);
}

// Packet[Ints[8 int32], Reals[4 real64], "alpha", "beta gamma"]
long PutPacket(Loopback& l, int seed) {
  long e = PutFunction(l, "Packet", 4);
  if (e == 0) e = PutFunction(l, "Ints", 8);
  for (int i = 0; i < 8 && e == 0; ++i) {
    const int32_t v = seed * 8 + i;
    e = QVPutBinaryNumber_(l.writer(), l.stack(), l.base(), &v, 228);
  }
  if (e == 0) e = PutFunction(l, "Reals", 4);
  for (int i = 0; i < 4 && e == 0; ++i) {
    const double v = seed + i * 0.25;
    e = QVPutBinaryNumber_(l.writer(), l.stack(), l.base(), &v, 246);
  }
  if (e == 0) e = PutText(l, 34, "alpha");
  if (e == 0) e = PutText(l, 34, "beta gamma");
  return e != 0 ? e : QVEndPacket_(l.writer(), l.stack(), l.base());
}

// Reads one function header; false on a wrong token.
bool GetFunction(Loopback& l, int64_t arguments, char* head, size_t room) {
  uint64_t type = 0;
  int64_t count = 0;
  if (QVGetNextType_(l.reader(), l.stack(), l.queues(), &type) != 0 || type != 70) return false;
  if (QVGetArgCount_(l.reader(), l.stack(), l.queues(), &count) != 0 || count != arguments) return false;
  if (QVGetNextType_(l.reader(), l.stack(), l.queues(), &type) != 0 || type != 35) return false;
  uint8_t state_byte = 0;
  return QVGetCharacters_(l.reader(), l.stack(), l.queues(), &count, head, head + room, &state_byte,
                          ENCODING_ASCII) == 0;
}

bool GetPacket(Loopback& l, int64_t* sum) {
  char text[64];
  if (!GetFunction(l, 4, text, sizeof text) || !GetFunction(l, 8, text, sizeof text)) return false;
  for (int i = 0; i < 8; ++i) {
    int32_t v = 0;
    if (QVGetBinaryNumber_(l.reader(), l.stack(), l.queues(), &v, 228) != 0) return false;
    *sum += v;
  }
  if (!GetFunction(l, 4, text, sizeof text)) return false;
  for (int i = 0; i < 4; ++i) {
    double v = 0;
    if (QVGetBinaryNumber_(l.reader(), l.stack(), l.queues(), &v, 246) != 0) return false;
    *sum += static_cast<int64_t>(v);
  }
  for (int i = 0; i < 2; ++i) {
    uint64_t type = 0;
    int64_t count = 0;
    uint8_t state_byte = 0;
    if (QVGetNextType_(l.reader(), l.stack(), l.queues(), &type) != 0 || type != 34) return false;
    if (QVGetCharacters_(l.reader(), l.stack(), l.queues(), &count, text, text + sizeof text, &state_byte,
                         ENCODING_ASCII) != 0) {
      return false;
    }
    *sum += count;
  }
  return true;
}

// The encoded stream of kPackets packets, made once.
const std::vector<unsigned char>& Stream() {
  static std::vector<unsigned char> stream = [] {
    Loopback l;
    for (int i = 0; i < kPackets && l.ok(); ++i) {
      if (PutPacket(l, i) != 0) return std::vector<unsigned char>();
    }
    return l.Drain();
  }();
  return stream;
}

void BM_MemcpyOfTheStream(benchmark::State& state) {
  const std::vector<unsigned char>& stream = Stream();
  std::vector<unsigned char> copy(stream.size());
  for (auto _ : state) {
    std::memcpy(copy.data(), stream.data(), stream.size());
    benchmark::DoNotOptimize(copy.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(stream.size()));
}
BENCHMARK(BM_MemcpyOfTheStream);

void BM_EncodePackets(benchmark::State& state) {
  Loopback l;
  if (!l.ok() || Stream().empty()) return state.SkipWithError("no link");
  for (auto _ : state) {
    for (int i = 0; i < kPackets; ++i) {
      if (PutPacket(l, i) != 0) return state.SkipWithError("put failed");
    }
    state.PauseTiming();
    if (l.Drain().size() != Stream().size()) return state.SkipWithError("another stream");
    state.ResumeTiming();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(Stream().size()));
}
BENCHMARK(BM_EncodePackets);

void BM_DecodePackets(benchmark::State& state) {
  Loopback l;
  if (!l.ok() || Stream().empty()) return state.SkipWithError("no link");
  int64_t sum = 0;
  for (auto _ : state) {
    state.PauseTiming();
    l.Arrive(Stream());
    state.ResumeTiming();
    for (int i = 0; i < kPackets; ++i) {
      if (!GetPacket(l, &sum)) return state.SkipWithError("get failed");
    }
  }
  benchmark::DoNotOptimize(sum);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(Stream().size()));
}
BENCHMARK(BM_DecodePackets);

// The floor of a number token: type byte, bytes, newline written, then
// checked and read back, with no codec between.
template <typename T, unsigned kType>
void BM_PlainNumberTokens(benchmark::State& state) {
  std::vector<unsigned char> buffer(kNumbers * (sizeof(T) + 2));
  T sum = 0;
  for (auto _ : state) {
    unsigned char* p = buffer.data();
    for (int i = 0; i < kNumbers; ++i) {
      const T v = static_cast<T>(i);
      *p++ = kType;
      std::memcpy(p, &v, sizeof v);
      p += sizeof v;
      *p++ = '\n';
    }
    benchmark::ClobberMemory();
    const unsigned char* q = buffer.data();
    for (int i = 0; i < kNumbers; ++i) {
      if (q[0] != kType || q[1 + sizeof(T)] != '\n') return state.SkipWithError("bad token");
      T v;
      std::memcpy(&v, q + 1, sizeof v);
      sum += v;
      q += sizeof(T) + 2;
    }
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(state.iterations() * kNumbers);
}
BENCHMARK_TEMPLATE(BM_PlainNumberTokens, int32_t, 228);
BENCHMARK_TEMPLATE(BM_PlainNumberTokens, double, 246);

template <typename T, unsigned kType>
void BM_PutBinaryNumber(benchmark::State& state) {
  Loopback l;
  if (!l.ok()) return state.SkipWithError("no link");
  for (auto _ : state) {
    for (int i = 0; i < kNumbers; ++i) {
      const T v = static_cast<T>(i);
      if (QVPutBinaryNumber_(l.writer(), l.stack(), l.base(), &v, kType) != 0) return state.SkipWithError("put failed");
    }
    state.PauseTiming();
    l.Drain();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kNumbers);
}
BENCHMARK_TEMPLATE(BM_PutBinaryNumber, int32_t, 228);
BENCHMARK_TEMPLATE(BM_PutBinaryNumber, double, 246);

template <typename T, unsigned kType>
void BM_GetBinaryNumber(benchmark::State& state) {
  Loopback l;
  if (!l.ok()) return state.SkipWithError("no link");
  for (int i = 0; i < kNumbers; ++i) {
    const T v = static_cast<T>(i);
    QVPutBinaryNumber_(l.writer(), l.stack(), l.base(), &v, kType);
  }
  const std::vector<unsigned char> tokens = l.Drain();
  T sum = 0;
  for (auto _ : state) {
    state.PauseTiming();
    l.Arrive(tokens);
    state.ResumeTiming();
    for (int i = 0; i < kNumbers; ++i) {
      T v;
      if (QVGetBinaryNumber_(l.reader(), l.stack(), l.queues(), &v, kType) != 0) return state.SkipWithError("get failed");
      sum += v;
    }
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(state.iterations() * kNumbers);
}
BENCHMARK_TEMPLATE(BM_GetBinaryNumber, int32_t, 228);
BENCHMARK_TEMPLATE(BM_GetBinaryNumber, double, 246);

}  // namespace
