// What codec tests share: feature sets made by hand, the numeric map, and a
// write state over a plain queue whose bytes the test reads back.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <vector>
#include <cstdlib>
#include <initializer_list>
#include <string>

#include "api/qvarraymeter.h"
#include "api/qvcodecread.h"
#include "api/qvcodecwrite.h"
#include "api/qvfeatureset.h"
#include "api/qvnumericdispatch.h"
#include "api/qvnumericenv.h"
#include "datastructures/qvqueue.h"
#include "support/qvlinkharness.h"
#include "support/qvlistheads.h"
#include "support/qvscripteddevice.h"
#include "text/qvconverter.h"

namespace qvcodec {

using Bytes = std::string;

inline void* Allocate(uint64_t n) { return std::malloc(n); }
inline void Deallocate(void* p) { std::free(p); }

inline character_environment* TextEnvironment() {
  static character_environment* environment =
      cs__begin(Allocate, Deallocate, nullptr, nullptr, nullptr, nullptr);
  return environment;
}

inline const QVNumericEnvMap& NumericMap() {
  static QVNumericEnvMap* map = QVGenerateNumericEnvDescriptions(Allocate, Deallocate);
  return *map;
}
inline const _qvnumeric_env_descriptor* Descriptor(const char* name) {
  return QVFindNumericEnvDescription(&NumericMap(), name);
}

constexpr std::initializer_list<unsigned> kOwnTypes = {161, 226, 228, 230, 244, 246, 248};
// Escaped ASCII to UTF-32: every encoding number from 1 to 7.
constexpr uint64_t kAllEncodings = 0xFE;

inline feature_set Features(uint64_t word, std::initializer_list<unsigned> as_they_stand = kOwnTypes,
                            uint64_t encodings = kAllEncodings) {
  feature_set f{};
  f.features = word;
  for (unsigned type : as_they_stand) qvfs__set_as_it_stands(f, type);
  f.dispatch = qvne__dispatch;
  f.encodings = {encodings, 0};
  f.text_environment = TextEnvironment();
  f.text_factory = cs__factory;
  f.level = f.level_again = 6;
  return f;
}

// A write state that writes onto the end of a queue, as the codec's private
// queues are written.
class QueueWriter {
 public:
  explicit QueueWriter(const feature_set& features, const char* peer = "greatdane", int six_digit = 1) {
    queue_ = qvqueue_new_with_allocators(Allocate, Deallocate, nullptr, 0, nullptr, nullptr);
    ok_ = ws__construct(&state_, &features, Descriptor("greatdane"), Descriptor(peer), 0, nullptr, nullptr);
    state_.six_digit_escapes = static_cast<uint8_t>(six_digit);
    state_.converter.six_digit = static_cast<uint8_t>(six_digit);
  }
  ~QueueWriter() {
    ws__deconstruct(&state_);
    qvqueue_destroy(queue_);
  }
  QueueWriter(const QueueWriter&) = delete;
  QueueWriter& operator=(const QueueWriter&) = delete;

  bool ok() const { return ok_ == 1; }
  write_state* state() { return &state_; }
  _queue* queue() { return queue_; }
  // Everything written so far, taken out of the queue.
  Bytes Take() {
    Bytes out;
    int byte;
    while ((byte = qvqueue_getc(queue_)) >= 0) out.push_back(static_cast<char>(byte));
    return out;
  }

  long Type(unsigned type) { return QVPutType_(&state_, nullptr, queue_, type); }
  long Function(const char* head, int64_t arguments) {
    long e = QVPutComposite_(&state_, nullptr, queue_, arguments);
    return e != 0 ? e : Symbol(head);
  }
  long Text(unsigned type, const Bytes& text, unsigned encoding, int64_t characters = -1) {
    long e = Type(type);
    if (e != 0) return e;
    // Escaped text counts its own characters (an escape is one character).
    const int64_t count = characters >= 0 ? characters
                          : encoding == ENCODING_ASCII ? -1
                                                       : static_cast<int64_t>(text.size());
    return QVPutCharacters_(&state_, nullptr, queue_, 0, text.data(), text.data() + text.size(), count,
                            encoding);
  }
  long Symbol(const char* name) { return Text(35, name, ENCODING_ASCII); }
  template <typename T>
  long Number(T value, unsigned type) {
    return QVPutBinaryNumber_(&state_, nullptr, queue_, &value, type);
  }
  long End() { return QVEndPacket_(&state_, nullptr, queue_); }

 private:
  write_state state_{};
  _queue* queue_ = nullptr;
  int ok_ = 0;
};

// The reader's temporary buffers, counted so that a test can see the most
// ever held at once.
struct CountingMemory {
  int64_t held = 0;
  int64_t peak = 0;
  static void* Allocate(void* cookie, uint64_t size) {
    auto* self = static_cast<CountingMemory*>(cookie);
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
    static_cast<CountingMemory*>(cookie)->held -= static_cast<int64_t>(block[0]);
    std::free(block);
  }
  rs_memory_stack Stack() { return {Allocate, Release, this}; }
};

// A read state over a link's plumbing whose device is scripted: the bytes the
// test gives arrive in device reads of at most `piece` bytes into an input
// queue whose chunks are that small too, so every read window ends within
// `piece` bytes; then the peer closes (reads answer 11 once everything is read).
class StreamReader {
 public:
  StreamReader(const Bytes& bytes, long piece = 4096, const char* peer = "greatdane")
      : device_(qvtest::ScriptedOptions{.name = "reader", .windowSize = 4096, .readSize = piece}) {
    plumbing_ = qvtest::LinkPlumbing::OverDevice(device_.TakeInstance(), nullptr, static_cast<uint64_t>(piece));
    const rs_memory_stack memory = memory_.Stack();
    rs__construct(&state_, qvne__dispatch, TextEnvironment(), cs__factory, &memory, Descriptor("greatdane"),
                  Descriptor(peer), 0, nullptr, nullptr);
    device_.WriteBytes(bytes);
    device_.ClosePeer();
  }
  ~StreamReader() { rs__deconstruct(&state_, nullptr); }
  StreamReader(const StreamReader&) = delete;
  StreamReader& operator=(const StreamReader&) = delete;

  bool ok() const { return plumbing_ != nullptr; }
  read_state* state() { return &state_; }
  device_kebab* stack() { return plumbing_->device(); }
  qv_queue_stack* queues() { return plumbing_->queues(); }
  CountingMemory& memory() { return memory_; }

  uint64_t NextRaw(long* error = nullptr) {
    uint64_t type = 0;
    const long e = QVGetNextRawType_(&state_, stack(), queues(), &type);
    if (error != nullptr) *error = e;
    return type;
  }
  uint64_t Next(long* error = nullptr) {
    uint64_t type = 0;
    const long e = QVGetNextType_(&state_, stack(), queues(), &type);
    if (error != nullptr) *error = e;
    return type;
  }
  int64_t ArgCount(long* error = nullptr) {
    int64_t count = -1;
    const long e = QVGetArgCount_(&state_, stack(), queues(), &count);
    if (error != nullptr) *error = e;
    return count;
  }
  // The whole text of the current token in the target encoding's bytes.
  Bytes Text(unsigned target = ENCODING_BYTES, long* error = nullptr, size_t piece = 7) {
    Bytes out;
    long e = 0;
    uint8_t state_byte = '?';
    do {
      std::string buffer(piece, '\0');
      int64_t count = 0;
      unsigned char* start = reinterpret_cast<unsigned char*>(buffer.data());
      e = QVGetCharacters_(&state_, stack(), queues(), &count, start, start + piece, &state_byte, target);
      out.append(buffer.data(), static_cast<size_t>(UnitBytes(target) * count));
    } while (e == 0 && state_.converter.wire_left >= 0);
    if (error != nullptr) *error = e;
    return out;
  }
  template <typename T>
  T Number(unsigned type, long* error = nullptr) {
    T value{};
    const long e = QVGetBinaryNumber_(&state_, stack(), queues(), &value, type);
    if (error != nullptr) *error = e;
    return value;
  }

  static int64_t UnitBytes(unsigned encoding) {
    switch (encoding) {
      case ENCODING_UCS2: case ENCODING_UTF16: return 2;
      case ENCODING_UTF32: return 4;
      default: return 1;
    }
  }

 private:
  qvtest::ScriptedDevice device_;
  std::unique_ptr<qvtest::LinkPlumbing> plumbing_;
  CountingMemory memory_;
  read_state state_;
};

inline Bytes Hex(std::initializer_list<int> bytes) {
  Bytes out;
  for (int b : bytes) out.push_back(static_cast<char>(b));
  return out;
}

// The symbol "List" as this side writes it.
inline const Bytes kList(reinterpret_cast<const char*>(kListHeadBytes), sizeof kListHeadBytes);

template <typename T>
Bytes Raw(const std::vector<T>& values) {
  return Bytes(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(T));
}

// Runs check over the same bytes read in pieces of each size.
inline void ForEveryPiece(const Bytes& bytes, const std::function<void(StreamReader&)>& check,
                          std::initializer_list<long> pieces = {1, 2, 3, 7, 4096}) {
  for (long piece : pieces) {
    SCOPED_TRACE(testing::Message() << "device reads of " << piece);
    StreamReader r(bytes, piece);
    ASSERT_TRUE(r.ok());
    check(r);
  }
}

}  // namespace qvcodec
