// Arbitrary token streams into the read side of the codec. The first byte
// chooses how the reader is set up, the next ones a sequence of read
// operations with their arguments; the rest is the stream, handed to the link
// in windows of chosen sizes between operations. No device stands behind the
// link, so a read that finds nothing more ends with 25 and every run ends.
// After every operation the read state must be whole, and the reader's
// buffers bounded by the input.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "api/qvcodecread.h"
#include "api/qvnumericdispatch.h"
#include "api/qvnumericenv.h"
#include "api/qvstream.h"
#include "api/qvtokentypes.h"
#include "tests/support/qvlinkharness.cpp"
#include "text/qvconverter.h"

namespace {

character_environment* TextEnvironment() {
  static character_environment* environment = cs__begin([](uint64_t n) { return std::malloc(n); },
                                                        [](void* p) { std::free(p); }, nullptr, nullptr, nullptr,
                                                        nullptr);
  return environment;
}

const _qvnumeric_env_descriptor* Descriptor(int which) {
  static QVNumericEnvMap* map =
      QVGenerateNumericEnvDescriptions([](uint64_t n) { return std::malloc(n); }, [](void* p) { std::free(p); });
  static const char* const kNames[] = {"greatdane", "mastiff", "zembu"};
  return which < 3 ? QVFindNumericEnvDescription(map, kNames[which]) : nullptr;
}

[[noreturn]] void Broken(const char* what, int op, long error) {
  std::fprintf(stderr, "token reader: %s (operation %d, answer %ld)\n", what, op, error);
  std::abort();
}

// The reader's temporary buffers, counted; more than kLimit at once is refused.
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
};

enum Op : int {
  kNextRawType, kNextType, kRawType, kType, kRawData, kCharacters, kBinaryNumber, kRawBytesToGet, kBytesToGet,
  kBytesToGetTrap, kRawArgCount, kArgCount, kExpressionsToGet, kEmptyString, kViewData, kCloseView,
  kNewExpression, kNewPacket, kTakeLast, kReady, kAllTheData, kNoteSizeAllTheData, kFill, kOpCount
};

constexpr unsigned kOwnTypes[] = {161, 226, 228, 230, 244, 246, 248};
constexpr unsigned kTargets[] = {ENCODING_ASCII, ENCODING_BYTES, ENCODING_UCS2,
                                 ENCODING_UTF8,  ENCODING_UTF16, ENCODING_UTF32};

struct Reader {
  std::unique_ptr<qvtest::LinkPlumbing> link;
  device_kebab* stack = nullptr;  // null: the link has no device stack
  bool through_window = false;    // the stream goes out through the loopback window
  Memory memory;
  read_state state;
  const uint8_t* stream = nullptr;
  size_t stream_left = 0;

  // Hands the link up to n more bytes of the stream.
  void Feed(size_t n) {
    n = std::min(n, stream_left);
    if (n == 0) return;
    long error = 0;
    if (through_window) {
      // Pending output reaches the input when a read finds nothing.
      qvs__putn(stack, link->base(), stream, static_cast<int64_t>(n), &error);
    } else {
      qvqk__top(link->queues());  // the read window goes back before the input grows
      qvqueue_putn(link->base(), stream, static_cast<int64_t>(n));
    }
    stream += n;
    stream_left -= n;
  }

  // Runs one operation; the answer, or 0 for those that answer nothing.
  long Run(int op, uint8_t a, uint8_t b, uint64_t* type) {
    read_state* s = &state;
    qv_queue_stack* q = link->queues();
    int64_t count = 0;
    switch (op) {
      case kNextRawType: return QVGetNextRawType_(s, stack, q, type);
      case kNextType: return QVGetNextType_(s, stack, q, type);
      case kRawType: return QVGetRawType_(s, stack, q, type);
      case kType: return QVGetType_(s, stack, q, type);
      case kRawData: {
        std::vector<unsigned char> buffer(a);
        return QVGetRawData_(s, stack, q, (b & 1) ? nullptr : buffer.data(), a, &count);
      }
      case kCharacters: {
        // An exact buffer, so that a write past its end is seen.
        std::vector<unsigned char> buffer(a);
        uint8_t state_byte = b;
        const unsigned target = (b & 7) < 6 ? kTargets[b & 7] : b;
        const long e = QVGetCharacters_(s, stack, q, &count, buffer.data(), buffer.data() + buffer.size(),
                                        &state_byte, target);
        if (count < 0 || count > a) Broken("more characters delivered than the buffer holds", op, e);
        return e;
      }
      case kBinaryNumber: {
        const unsigned wanted = kOwnTypes[a % std::size(kOwnTypes)];
        std::vector<unsigned char> destination(static_cast<size_t>(qv_binary_number_wire_size(wanted)));
        return QVGetBinaryNumber_(s, stack, q, destination.data(), wanted);
      }
      case kRawBytesToGet: return QVRawBytesToGet_(s, stack, q, &count);
      case kBytesToGet: return QVBytesToGet_(s, stack, q, &count);
      case kBytesToGetTrap: return QVBytesToGetTrap_(s, stack, q, &count);
      case kRawArgCount: return QVGetRawArgCount_(s, stack, q, &count);
      case kArgCount: return QVGetArgCount_(s, stack, q, &count);
      case kExpressionsToGet: return QVExpressionsToGet_(s, stack, q, &count);
      case kEmptyString: {
        int empty = 0;
        QVGetEmptyString_(s, stack, q, &empty);
        return 0;
      }
      case kViewData: {
        const unsigned char* data = nullptr;
        int64_t length = 0;
        const long e = QVViewData_(s, stack, q, &data, &length);
        if (e == 0 && length > 0) {
          // Every byte handed out must be readable now.
          unsigned sum = 0;
          for (int64_t i = 0; i < length; ++i) sum += data[i];
          volatile unsigned sink = sum;
          (void)sink;
        }
        if (b & 1) QVCloseView_(s);
        return e;
      }
      case kCloseView: QVCloseView_(s); return 0;
      case kNewExpression: return QVNewExpression_(s, stack, q, a % 8);
      case kNewPacket: return QVNewPacket_(s, stack, q);
      case kTakeLast: return QVTakeLast_(s, stack, q, a % 8);
      case kReady: QVReady_(s, stack, q); return 0;
      case kAllTheData: {
        std::vector<unsigned char> buffer(a);
        return QVGetAllTheData_(s, stack, q, buffer.data(), a);
      }
      case kNoteSizeAllTheData: {
        std::vector<unsigned char> buffer(a);
        return QVNoteSizeGetAllTheData_(s, stack, q, buffer.data(), a, &count);
      }
      default: return QVFill_(s, stack, q);
    }
  }

  void Check(int op, long answer, uint64_t type, size_t input_size) {
    const three_state& c = state.converter;
    if (state.marker != kReadStateMarker) Broken("the read state's marker is gone", op, answer);
    // A converter that failed inside an atom leaves its own step (4 to 32),
    // which the next type read gets past.
    if (c.step < 0) Broken("a token position that cannot be", op, answer);
    if (state.owed < 0) Broken("a negative count of expressions owed", op, answer);
    if (state.packed_run < 0) Broken("a negative packed run", op, answer);
    if (c.wire_left < -1) Broken("a negative count of bytes left", op, answer);
    if (answer != 0 && rs__last_error(&state) != answer) {
      Broken("an error answered but not stored", op, answer);
    }
    const bool next_type = op == kNextRawType || op == kNextType;
    if (next_type && answer != 0 && type != 0) Broken("a failed read of the next type answered a type", op, answer);
    qv_queue_stack* q = link->queues();
    if (q->window > q->window_end) Broken("a read window past its end", op, answer);
    if (memory.held != 0 && state.view == 0) Broken("a temporary buffer not released", op, answer);
    if (memory.peak > 8 * static_cast<int64_t>(input_size) + 65536) Broken("buffers out of proportion", op, answer);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  // Setup byte: bit 0 a numeric dispatcher, bit 1 a loopback device stack,
  // bit 2 the stream through its window, bit 3 a memory stack, bits 4-5 the
  // peer's numerics (or none).
  const uint8_t setup = data[0];
  const size_t operations = 1 + data[1] % 64;
  size_t header = 2 + 4 * operations;
  if (header > size) header = size;

  Reader r;
  r.link = qvtest::LinkPlumbing::Loopback();
  if (r.link == nullptr) return 0;
  if (setup & 2) r.stack = r.link->device();
  r.through_window = r.stack != nullptr && (setup & 4) != 0;
  const rs_memory_stack memory{Memory::Allocate, Memory::Release, &r.memory};
  rs__construct(&r.state, (setup & 1) ? qvne__dispatch : nullptr, TextEnvironment(), cs__factory,
                (setup & 8) ? &memory : nullptr, Descriptor(0), Descriptor((setup >> 4) & 3), 0, nullptr, nullptr);
  r.stream = data + header;
  r.stream_left = size - header;

  for (size_t i = 0; i < operations && 2 + 4 * i + 3 < header; ++i) {
    const uint8_t* op = data + 2 + 4 * i;
    r.Feed(op[3]);
    uint64_t type = 0xDEAD;
    const int code = op[0] % kOpCount;
    const long answer = r.Run(code, op[1], op[2], &type);
    r.Check(code, answer, type, size);
  }
  // Then the whole rest, skipped packet by packet until the stream gives out.
  r.Feed(r.stream_left);
  for (size_t i = 0; i <= size; ++i) {
    long answer = QVNewPacket_(&r.state, r.stack, r.link->queues());
    r.Check(kNewPacket, answer, 0, size);
    if (answer != 0) break;
    uint64_t type = 0xDEAD;
    answer = QVGetNextRawType_(&r.state, r.stack, r.link->queues(), &type);
    r.Check(kNextRawType, answer, type, size);
    if (answer != 0) break;
  }
  QVCloseView_(&r.state);
  rs__deconstruct(&r.state, nullptr);
  return 0;
}
