// What the token-reader fuzz target works with besides its operations: the
// counted memory of read states, the heap a run holds, a loopback destination
// for transfers, and a walker that reads every token a read side holds.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "api/qvarraymeter.h"
#include "api/qvcodecread.h"
#include "api/qvcodecwrite.h"
#include "api/qvnumericdispatch.h"
#include "api/qvnumericenv.h"
#include "api/qvstream.h"
#include "api/qvtokentypes.h"
#include "tests/support/qvlinkharness.h"
#include "text/qvconverter.h"

// The sanitizer's heap hooks, when the target is built with one.
extern "C" {
__attribute__((weak)) int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void*, size_t),
                                                                    void (*free_hook)(const volatile void*));
__attribute__((weak)) size_t __sanitizer_get_allocated_size(const volatile void* p);
}

namespace qvfuzz {

[[noreturn]] inline void Broken(const char* what, int op, long error) {
  std::fprintf(stderr, "token reader: %s (operation %d, answer %ld)\n", what, op, error);
  std::abort();
}

inline character_environment* TextEnvironment() {
  static character_environment* environment = cs__begin([](uint64_t n) { return std::malloc(n); },
                                                        [](void* p) { std::free(p); }, nullptr, nullptr, nullptr,
                                                        nullptr);
  return environment;
}

// 0 to 2 name numerics; 3 none.
inline const _qvnumeric_env_descriptor* Descriptor(int which) {
  static QVNumericEnvMap* map =
      QVGenerateNumericEnvDescriptions([](uint64_t n) { return std::malloc(n); }, [](void* p) { std::free(p); });
  static const char* const kNames[] = {"greatdane", "mastiff", "zembu"};
  return which < 3 ? QVFindNumericEnvDescription(map, kNames[which]) : nullptr;
}

inline constexpr unsigned kTargets[] = {ENCODING_ASCII, ENCODING_BYTES, ENCODING_UCS2,
                                        ENCODING_UTF8,  ENCODING_UTF16, ENCODING_UTF32};

// A read state's temporary buffers, counted; more than kLimit at once is refused.
struct Memory {
  static constexpr int64_t kLimit = int64_t{1} << 24;
  int64_t held = 0;
  int64_t peak = 0;
  static void* Allocate(void* cookie, uint64_t size) {
    auto* self = static_cast<Memory*>(cookie);
    if (size > static_cast<uint64_t>(kLimit - self->held)) return nullptr;
    auto* block = static_cast<uint64_t*>(std::malloc(size + 8));
    if (block == nullptr) return nullptr;
    block[0] = size;
    self->held += static_cast<int64_t>(size);
    if (self->held > self->peak) self->peak = self->held;
    return block + 1;
  }
  static void Release(void* cookie, void* p) {
    if (p == nullptr) return;
    auto* block = static_cast<uint64_t*>(p) - 1;
    static_cast<Memory*>(cookie)->held -= static_cast<int64_t>(block[0]);
    std::free(block);
  }
  rs_memory_stack Stack() { return {Allocate, Release, this}; }
};

// ---- The heap a run holds ----

inline std::atomic<int64_t> heap_live{0};
inline std::atomic<int64_t> heap_peak{0};
inline int64_t heap_base = 0;

inline void CountMalloc(const volatile void*, size_t size) {
  const int64_t now = heap_live.fetch_add(static_cast<int64_t>(size), std::memory_order_relaxed) +
                      static_cast<int64_t>(size);
  int64_t peak = heap_peak.load(std::memory_order_relaxed);
  while (now > peak && !heap_peak.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
  }
}

inline void CountFree(const volatile void* p) {
  heap_live.fetch_sub(static_cast<int64_t>(__sanitizer_get_allocated_size(p)), std::memory_order_relaxed);
}

inline bool heap_watched = false;

inline void WatchHeap() {
  if (__sanitizer_install_malloc_and_free_hooks == nullptr || __sanitizer_get_allocated_size == nullptr) return;
  heap_watched = __sanitizer_install_malloc_and_free_hooks(CountMalloc, CountFree) != 0;
}

inline void StartRun() {
  heap_base = heap_live.load(std::memory_order_relaxed);
  heap_peak.store(heap_base, std::memory_order_relaxed);
}

// The most a run may hold: links, windows and queue chunks of a fixed size,
// and a few times the input in queues, copies and converted text.
inline int64_t HeapAllowance(size_t input_size) { return 64 * static_cast<int64_t>(input_size) + (int64_t{8} << 20); }

// The most the run has held so far; 0 without a sanitizer's hooks.
inline long long HeapHeld() { return heap_watched ? heap_peak.load(std::memory_order_relaxed) - heap_base : 0; }

inline void CheckHeap(int op, size_t input_size) {
  if (!heap_watched) return;
  const int64_t held = HeapHeld();
  if (held > HeapAllowance(input_size)) Broken("heap out of proportion to the input", op, static_cast<long>(held));
}

// ---- Reading everything back ----

struct ReadSide {
  read_state* state;
  device_kebab* stack;
  qv_queue_stack* queues;
};

// Reads tokens with the ordinary read operations, each in the way its type
// asks. mode: bit 0 array tokens through the array engine (else as the nested
// functions they stand for); bits 1 to 3 the encoding texts are read in.
class TokenWalk {
 public:
  static constexpr long kNoSuchToken = 1000;
  static constexpr long kNoProgress = 1001;
  static constexpr long kLeavesMissing = 1002;
  static constexpr long kCannotConvertText = 49;
  static constexpr long kMalformedText = -1;
  // Whether an answer is the walker's own, not the reader's.
  static bool Own(long error) { return error >= kNoSuchToken; }

  // trace: each token read is told on stderr.
  explicit TokenWalk(uint8_t mode, bool trace = false) : mode_(mode), trace_(trace) {}

  // Every token until nothing more arrives: 0 then, else the first error.
  long All(ReadSide side) {
    for (;;) {
      uint64_t raw = 0;
      const long error = QVGetNextRawType_(side.state, side.stack, side.queues, &raw);
      if (error == 25) return 0;
      if (error != 0) return error;
      int64_t todo = 0;
      if (const long read = Token(side, raw, &todo); read != 0) return read;
    }
  }

  // One whole expression; its first type is the one already read, if any.
  long Expression(ReadSide side) {
    int64_t todo = 1;
    bool current = side.state->converter.step == QVREAD_TYPE_READ;
    while (todo > 0) {
      uint64_t raw = side.state->converter.token;
      if (!current) {
        if (const long error = QVGetNextRawType_(side.state, side.stack, side.queues, &raw); error != 0) {
          return error;
        }
      }
      current = false;
      --todo;
      if (const long error = Token(side, raw, &todo); error != 0) return error;
    }
    return 0;
  }

 private:
  static void Add(int64_t* todo, int64_t more) {
    if (more < 0 || __builtin_add_overflow(*todo, more, todo)) *todo = INT64_MAX;
  }

  long Token(ReadSide side, uint64_t raw, int64_t* todo) {
    const long error = TokenBody(side, raw, todo);
    if (trace_) std::fprintf(stderr, "  read back %llu: %ld\n", static_cast<unsigned long long>(raw), error);
    return error;
  }

  long TokenBody(ReadSide side, uint64_t raw, int64_t* todo) {
    int64_t count = 0;
    switch (raw) {
      case TOK_FUNCTION: {
        const long error = QVGetRawArgCount_(side.state, side.stack, side.queues, &count);
        if (error == 0) Add(todo, count + 1);
        return error;
      }
      case TOK_ARRAY: {
        if ((mode_ & 1) != 0 && arrays_open_ < kArrayNesting) return Array(side);
        const long error = QVGetArgCount_(side.state, side.stack, side.queues, &count);
        if (error == 0) Add(todo, count + 1);
        return error;
      }
      case TOK_OPT_STRING: case TOK_OPT_SYMBOL: {
        // The code follows as a number token in the peer's format: read as the
        // type it comes in, since this side converts numbers only towards a peer.
        const long error = QVGetRawArgCount_(side.state, side.stack, side.queues, &count);
        if (error == 0) Add(todo, count);
        return error;
      }
      case TOK_STRING: case TOK_SYMBOL: case TOK_REAL: case TOK_INTEGER:
      case TOK_OLD_INTEGER: case TOK_OLD_REAL: case TOK_OLD_STRING: case TOK_OLD_SYMBOL:
        return Text(side);
      default:
        if (raw >= 48 && raw <= 63) return Raw(side);
        if (qv_is_binary_number_type(static_cast<unsigned>(raw))) return Number(side, static_cast<unsigned>(raw));
        return kNoSuchToken;
    }
  }

  long Text(ReadSide side) {
    const unsigned target = kTargets[((mode_ >> 1) & 7) % std::size(kTargets)];
    uint8_t replacement = '?';
    long error = 0;
    do {
      alignas(4) unsigned char piece[64];
      int64_t count = 0;
      error = QVGetCharacters_(side.state, side.stack, side.queues, &count, piece, piece + sizeof piece,
                               &replacement, target);
    } while (error == 0 && side.state->converter.wire_left >= 0);
    // Text that does not decode, or that the target cannot hold, spoils only
    // its own atom, and a transfer hands some on as they stand: characters
    // where both sides read the same encoding, array heads byte for byte. The
    // next type read gets past the rest of the atom.
    return error == kCannotConvertText || error == kMalformedText ? 0 : error;
  }

  long Raw(ReadSide side) {
    int64_t size = 0;
    if (const long error = QVRawBytesToGet_(side.state, side.stack, side.queues, &size); error != 0) return error;
    unsigned char piece[256];
    do {
      int64_t got = 0;
      if (const long error = QVGetRawData_(side.state, side.stack, side.queues, piece, sizeof piece, &got);
          error != 0) {
        return error;
      }
      if (got == 0 && side.state->converter.wire_left > 0) return kNoProgress;
    } while (side.state->converter.wire_left >= 0);
    return 0;
  }

  long Number(ReadSide side, unsigned type) {
    int64_t width = qv_binary_number_wire_size(type);
    if (width < 0 && side.state->dispatch != nullptr) width = side.state->dispatch(type, nullptr, nullptr, nullptr);
    // A type of no size the reader knows is read as the widest of its kind.
    if (width <= 0 || width > 16) type = qv_is_real_number_type(type) ? BINARY_REAL128 : BINARY_INTEGER64;
    alignas(16) unsigned char number[16];
    return QVGetBinaryNumber_(side.state, side.stack, side.queues, number, type);
  }

  // Each leaf of an array is one expression.
  static void* WalkLeaf(qvmeter* meter, void* position) {
    auto* walk = static_cast<TokenWalk*>(position);
    meter->error = walk->Expression(ReadSide{meter->reader, meter->reader_stack, meter->reader_queues});
    return meter->error == 0 ? position : nullptr;
  }

  long Array(ReadSide side) {
    qvmeter meter;
    meter.depth = kAnyDepth;
    uint64_t leaf = 0;
    long error = QVGetRawArrayType_(nullptr, nullptr, nullptr, side.state, side.stack, side.queues, &meter, &leaf);
    if (error == 0) error = QVGetArrayDimensions_(side.state, &meter);
    const int64_t leaves = meter.leaves_left;
    int64_t count = 0;
    if (error == 0 && leaves > 0) {
      ++arrays_open_;
      error = QVGetArrayData_(side.state, side.stack, side.queues, &meter, this, leaves, WalkLeaf, &count);
      --arrays_open_;
      if (error == 0 && count != leaves) error = kLeavesMissing;
    }
    QVReleaseArrayState0_(&meter);
    return error;
  }

  static constexpr int kArrayNesting = 3;
  const uint8_t mode_;
  const bool trace_;
  int arrays_open_ = 0;
};

// ---- A loopback destination for transfers ----

// A writer and its peer's reader over one loopback link, set up from a byte:
// bits 0-1 the features (all; no arrays; short lengths only; none), bits 2-3
// the peer's numerics (or none), bits 4-5 the binary types the peer reads as
// they stand (none; the own types; those and the big-endian ones; every one),
// bits 6-7 the encodings it reads.
class Destination {
 public:
  Destination(uint8_t setup, bool string_optimization, Quorvane::QVStringDictionary* symbols,
              Quorvane::QVStringDictionary* strings)
      : link_(qvtest::LinkPlumbing::Loopback()) {
    static constexpr uint64_t kFeatures[] = {QVFEATURE_ALL, QVFEATURE_SHORT_LENGTHS | QVFEATURE_PACKED_RUNS,
                                             QVFEATURE_SHORT_LENGTHS, 0};
    static constexpr uint64_t kEncodings[] = {0xFE, ENCODING_ASCII, ENCODING_OLDSTRING,
                                              ENCODING_BYTES | ENCODING_UTF8 | ENCODING_UTF16};
    static constexpr unsigned kOwn[] = {161, 226, 228, 230, 244, 246, 248};
    static constexpr unsigned kBigEndian[] = {162, 164, 166, 180, 182};
    if (link_ == nullptr) return;
    feature_set f{};
    f.features = kFeatures[setup & 3];
    const int as_they_stand = (setup >> 4) & 3;
    if (as_they_stand >= 1) {
      for (unsigned type : kOwn) qvfs__set_as_it_stands(f, type);
    }
    if (as_they_stand >= 2) {
      for (unsigned type : kBigEndian) qvfs__set_as_it_stands(f, type);
    }
    if (as_they_stand == 3) {
      for (unsigned type = 128; type < 256; ++type) qvfs__set_as_it_stands(f, type);
    }
    f.dispatch = qvne__dispatch;
    f.encodings = {kEncodings[setup >> 6], 0};
    f.text_environment = TextEnvironment();
    f.text_factory = cs__factory;
    f.level = f.level_again = 6;
    const _qvnumeric_env_descriptor* peer = Descriptor((setup >> 2) & 3);
    const uint8_t optimize = string_optimization ? 1 : 0;
    writer_ok_ = ws__construct(&writer_, &f, Descriptor(0), peer, optimize, symbols, strings) == 1;
    // The peer reads in its own numerics what this side wrote in its.
    const rs_memory_stack memory = memory_.Stack();
    reader_ok_ = rs__construct(&reader_, qvne__dispatch, TextEnvironment(), cs__factory, &memory,
                               peer != nullptr ? peer : Descriptor(0), Descriptor(0), optimize, symbols,
                               strings) == 1;
  }
  ~Destination() {
    if (reader_ok_) {
      QVCloseView_(&reader_);
      rs__deconstruct(&reader_, nullptr);
    }
    if (writer_ok_) ws__deconstruct(&writer_);
  }
  Destination(const Destination&) = delete;
  Destination& operator=(const Destination&) = delete;

  bool ok() const { return link_ != nullptr && writer_ok_ && reader_ok_; }
  write_state* writer() { return &writer_; }
  device_kebab* stack() { return link_->device(); }
  _queue* queue() { return link_->base(); }
  ReadSide reading() { return {&reader_, link_->device(), link_->queues()}; }

  // Shows on stderr the bytes written so far, leaving them to be read.
  void Show() {
    qvs__flush_(link_->device(), link_->base());
    _queue* queue = qvqk__top(link_->queues());
    _mark start{};
    if (qvqueue_construct_and_savemark(queue, &start) == nullptr) return;
    std::fprintf(stderr, "  destination:");
    for (int byte; (byte = qvqueue_getc(queue)) >= 0;) std::fprintf(stderr, " %02X", static_cast<unsigned>(byte));
    std::fprintf(stderr, "\n");
    qvqueue_seek(&start);
    qvqueue_discardmark(&start);
  }

  // After everything was read back: what a whole transfer wrote ends between
  // tokens with nothing owed, and the reader's buffers were in proportion.
  void Check(int op, bool whole, size_t input_size) {
    if (whole && (reader_.owed != 0 || reader_.packed_run != 0)) {
      Broken("a transfer that succeeded wrote a part of an expression", op, static_cast<long>(reader_.owed));
    }
    if (memory_.held != 0 && reader_.view == 0) Broken("a destination buffer not released", op, 0);
    if (memory_.peak > 8 * static_cast<int64_t>(input_size) + 65536) {
      Broken("destination buffers out of proportion", op, static_cast<long>(memory_.peak));
    }
  }

 private:
  std::unique_ptr<qvtest::LinkPlumbing> link_;
  Memory memory_;
  write_state writer_{};
  read_state reader_;
  bool writer_ok_ = false;
  bool reader_ok_ = false;
};

}  // namespace qvfuzz
