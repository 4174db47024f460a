// Arbitrary token streams into the read side of the codec. The first byte
// chooses how the reader is set up, the next ones a sequence of operations
// with their arguments; the rest is the stream, handed to the link in windows
// of chosen sizes between operations. No device stands behind the link, so a
// read that finds nothing more ends with 25 and every run ends.
//
// Besides the token reads, the operations read arrays through the array
// engine, set marks and seek back to them, and transfer expressions to a
// loopback destination whose own reader then reads back all it holds. After
// every operation the read state must be whole; a transfer that succeeded
// must have written whole tokens its destination reads without an error; and
// the memory a run holds stays in proportion to its input.
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "api/qvarraymeter.h"
#include "api/qvcodecread.h"
#include "api/qvcodecwrite.h"
#include "api/qvlinkmark.h"
#include "api/qvnumericdispatch.h"
#include "api/qvnumericenv.h"
#include "api/qvstream.h"
#include "api/qvtokentypes.h"
#include "fuzz/qvtokenreader_fuzz_support.h"
#include "support/qvlinkharness.h"
#include "text/qvconverter.h"
#include "text/qvstringdictionary.h"
#include "utilities/qvmemorypool.h"

namespace {

using qvfuzz::Broken;
using qvfuzz::Memory;

const Quorvane::QVRawStringDictionary kSymbolTable[] = {{"List", 1}, {"Plus", 2}, {"Ab\\c", 3}, {nullptr, 0}};
const Quorvane::QVRawStringDictionary kStringTable[] = {{"hello", 7}, {"caf\xE9", 300}, {nullptr, 0}};

Quorvane::QVStringDictionary* Symbols() {
  static auto dictionary = Quorvane::QVStringDictionary::initWithRawDictionary(kSymbolTable);
  return dictionary.get();
}
Quorvane::QVStringDictionary* Strings() {
  static auto dictionary = Quorvane::QVStringDictionary::initWithRawDictionary(kStringTable);
  return dictionary.get();
}

// Pooled marks come from here; every run gives back all it took.
Quorvane::QVMemoryPool* MarkPool() {
  static Quorvane::QVSmartPointer<Quorvane::QVMemoryPool> pool = [] {
    auto made = Quorvane::QVMemoryPool::init();
    made->setNumberOfBytesInPoolObject(sizeof(QVLinkMark));
    return made;
  }();
  return pool.get();
}

// Each operation is four bytes: its code, two arguments a and b, and how many
// more stream bytes to hand over before it. Those after kFill take:
//   kArrayType        depth limit a % 5 (0: as deep as the heads go); b bit 0 the
//                     raw leaf type, bit 1 the heads into a queue of the caller's,
//                     bit 2 a fresh meter
//   kArrayDimensions  b bit 0: into a buffer of the caller's
//   kArrayNumbers     a % 48 leaves of type kOwnTypes[b & 7]; b bit 3 without a meter
//   kArrayLeaves      a % 48 leaves moved one at a time: numbers of type
//                     kOwnTypes[b & 7], or with b bit 3 whole expressions (walk b >> 4)
//   kReleaseArray     b bit 0: a fresh meter after
//   kMark, kSeek, kUnmark  slot a % 4; a pooled record when kMark's b bit 0 is set;
//                     kSeek skips b % 4 expressions; kUnmark b bit 0 gives the record back
//   kTransfer         a % 4 expressions; a bit 2 a packet end after, bit 3 string
//                     optimisation, a >> 4 the read back (TokenWalk); b the
//                     destination (Destination)
enum Op : int {
  kNextRawType, kNextType, kRawType, kType, kRawData, kCharacters, kBinaryNumber, kRawBytesToGet, kBytesToGet,
  kBytesToGetTrap, kRawArgCount, kArgCount, kExpressionsToGet, kEmptyString, kViewData, kCloseView,
  kNewExpression, kNewPacket, kTakeLast, kReady, kAllTheData, kNoteSizeAllTheData, kFill,
  // The array engine.
  kArrayType, kArrayDimensions, kArrayNumbers, kArrayLeaves, kReleaseArray,
  // Marks.
  kMark, kSeek, kUnmark, kSeekToEnd,
  // Expression transfer.
  kTransfer, kOpCount
};

constexpr unsigned kOwnTypes[] = {161, 226, 228, 230, 244, 246, 248};
constexpr int kMarkSlots = 4;
// Leaves asked for in one array read.
constexpr int kMaxLeaves = 48;

// Leaves moved one at a time by the caller's callback: each must land inside
// the buffer the caller gave.
struct LeafMove {
  unsigned char* end;
  unsigned wanted;
  int64_t width;
  bool whole_expressions;  // each leaf read as a whole expression instead of a number
  qvfuzz::TokenWalk* walk;
};

void* MoveOneLeaf(qvmeter* meter, void* position) {
  auto* move = static_cast<LeafMove*>(meter->move_context);
  auto* at = static_cast<unsigned char*>(position);
  if (at + move->width > move->end) Broken("a leaf moved past the caller's buffer", kArrayLeaves, 0);
  const qvfuzz::ReadSide side{meter->reader, meter->reader_stack, meter->reader_queues};
  meter->error = move->whole_expressions ? move->walk->Expression(side)
                                         : QVGetBinaryNumber_(side.state, side.stack, side.queues, at, move->wanted);
  return meter->error == 0 ? at + move->width : nullptr;
}

struct MarkSlot {
  QVLinkMark* mark = nullptr;
  bool pooled = false;
};

struct Reader {
  std::unique_ptr<qvtest::LinkPlumbing> link;
  device_kebab* stack = nullptr;  // null: the link has no device stack
  bool through_window = false;    // the stream goes out through the loopback window
  Memory memory;
  read_state state;
  const uint8_t* stream = nullptr;
  size_t stream_left = 0;
  size_t input_size = 0;
  bool trace = false;

  // The array being read: a meter whose heads were read, with the caller's
  // dimension buffer and heads queue when it asked for them.
  qvmeter meter;
  bool meter_ready = false;
  std::vector<int64_t> dimensions;
  _queue* heads = nullptr;

  std::array<MarkSlot, kMarkSlots> marks;

  ~Reader() {
    if (link == nullptr) return;
    ReleaseArray(true);
    for (MarkSlot& slot : marks) DropMark(slot);
    QVCloseView_(&state);
    rs__deconstruct(&state, nullptr);
  }

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

  void ReleaseArray(bool fresh) {
    QVReleaseArrayState0_(&meter);
    meter_ready = false;
    if (!fresh) return;
    meter = qvmeter{};
    dimensions.clear();
    if (heads != nullptr) qvqueue_destroy(heads);
    heads = nullptr;
  }

  void DropMark(MarkSlot& slot) {
    if (slot.mark == nullptr) return;
    QVDeconstructMark_(link->queues(), slot.mark);
    if (slot.pooled) {
      QVReleaseMark_(MarkPool(), slot.mark);
    } else {
      QVDestroyMark_(slot.mark);
    }
    slot.mark = nullptr;
  }

  long ArrayType(uint8_t a, uint8_t b, uint64_t* type) {
    if (b & 4) ReleaseArray(true);
    meter_ready = false;
    meter.depth = a % 5;  // 0: as deep as the heads go
    if ((b & 2) != 0 && heads == nullptr) {
      heads = qvqueue_new_with_allocators([](uint64_t n) { return std::malloc(n); }, [](void* p) { std::free(p); },
                                          nullptr, 0, nullptr, nullptr);
    }
    meter.heads = (b & 2) ? heads : nullptr;
    qv_queue_stack* q = link->queues();
    const long e = (b & 1) ? QVGetRawArrayType_(nullptr, nullptr, nullptr, &state, stack, q, &meter, type)
                           : QVGetArrayType_(nullptr, nullptr, nullptr, &state, stack, q, &meter, type);
    if (e != 0) return e;
    meter_ready = true;
    const auto depth = static_cast<int64_t>(meter.own_dimensions.size());
    if (meter.depth != depth || meter.dimensions != meter.own_dimensions.data()) {
      Broken("the meter's levels are not the heads read", kArrayType, e);
    }
    int64_t product = 1;
    for (int64_t d : meter.own_dimensions) {
      if (d < 0 || __builtin_mul_overflow(product, d, &product)) Broken("dimensions that wrap taken", kArrayType, e);
    }
    if (meter.leaves_left != product) Broken("the meter's leaves are not the dimensions' product", kArrayType, e);
    if (meter.leaves_left > 0 && *type == kNoLeafType) Broken("leaves under a leaf type of none", kArrayType, e);
    return 0;
  }

  long ArrayDimensions(uint8_t b) {
    if (!meter_ready) return 0;
    if (b & 1) {
      // Into the caller's buffer, exactly as long as the levels read.
      dimensions.assign(meter.own_dimensions.size(), -1);
      meter.dimensions = dimensions.data();
    }
    const long e = QVGetArrayDimensions_(&state, &meter);
    if (e == 0 && !std::equal(meter.own_dimensions.begin(), meter.own_dimensions.end(), meter.dimensions)) {
      Broken("dimensions handed out that are not those read", kArrayDimensions, e);
    }
    return e;
  }

  long ArrayNumbers(uint8_t a, uint8_t b) {
    qvmeter* m = (b & 8) || !meter_ready ? nullptr : &meter;
    const unsigned wanted = kOwnTypes[(b & 7) % std::size(kOwnTypes)];
    const int64_t n = a % kMaxLeaves;
    const int64_t width = qv_binary_number_wire_size(wanted);
    // An exact buffer, so that a write past its end is seen.
    std::vector<unsigned char> buffer(static_cast<size_t>(n * width));
    const int64_t left = m != nullptr ? m->leaves_left : INT64_MAX;
    int64_t count = -1;
    const long e = QVGetBinaryNumberArrayData_(&state, stack, link->queues(), m, buffer.data(), n, wanted, &count);
    if (count < 0 || count > n || count > left) Broken("more leaves counted than asked for", kArrayNumbers, e);
    if (m != nullptr && m->leaves_left > left) Broken("the meter's leaves went up", kArrayNumbers, e);
    return e;
  }

  long ArrayLeaves(uint8_t a, uint8_t b, qvfuzz::TokenWalk* walk) {
    if (!meter_ready) return 0;
    const unsigned wanted = kOwnTypes[(b & 7) % std::size(kOwnTypes)];
    const int64_t n = a % kMaxLeaves;
    LeafMove move{nullptr, wanted, qv_binary_number_wire_size(wanted), (b & 8) != 0, walk};
    std::vector<unsigned char> buffer(static_cast<size_t>(n * move.width));
    move.end = buffer.data() + buffer.size();
    meter.move_context = &move;
    const int64_t left = meter.leaves_left;
    int64_t count = -1;
    const long e = QVGetArrayData_(&state, stack, link->queues(), &meter, buffer.data(), n, MoveOneLeaf, &count);
    meter.move_context = nullptr;
    if (count < 0 || count > n || count > left) Broken("more leaves counted than asked for", kArrayLeaves, e);
    // A leaf the walker has no read for is the stream's doing.
    return qvfuzz::TokenWalk::Own(e) ? 0 : e;
  }

  long Mark(uint8_t a, uint8_t b) {
    MarkSlot& slot = marks[a % kMarkSlots];
    if (slot.mark == nullptr) {
      slot.pooled = (b & 1) != 0;
      slot.mark = slot.pooled ? QVGetFreeMark_(MarkPool()) : QVGetNewMark_();
      if (slot.mark == nullptr) Broken("no mark record", kMark, 0);
    }
    return QVConstructMark_(slot.mark, &state, link->queues());
  }

  long Transfer(uint8_t a, uint8_t b) {
    qvfuzz::Destination destination(b, (a & 8) != 0, Symbols(), Strings());
    if (!destination.ok()) Broken("the destination cannot be built", kTransfer, 0);
    write_state* writer = destination.writer();
    const long e = QVTransferExpression_(writer, destination.stack(), destination.queue(), &state, stack,
                                         link->queues(), a % 4);
    if (e != 0 && e != ws__last_error(writer) && e != rs__last_error(&state)) {
      Broken("a transfer answered an error neither side stored", kTransfer, e);
    }
    const bool whole = e == 0;
    if (whole && change_wstate_to_TOKEN_STATE(writer) != 0) {
      Broken("a transfer that succeeded left its writer inside a token", kTransfer, e);
    }
    if (whole && (a & 4) != 0 && QVEndPacket_(writer, destination.stack(), destination.queue()) != 0) {
      Broken("no packet end after a transfer that succeeded", kTransfer, e);
    }
    if (trace) destination.Show();
    qvfuzz::TokenWalk walk(a >> 4, trace);
    const long read_back = walk.All(destination.reading());
    if (whole && read_back != 0) {
      Broken("a transfer that succeeded wrote what its destination cannot read", kTransfer, read_back);
    }
    destination.Check(kTransfer, whole, input_size);
    return e;
  }

  // Runs one operation; the answer, or 0 for those that answer nothing.
  long Run(int op, uint8_t a, uint8_t b, uint64_t* type, qvfuzz::TokenWalk* walk) {
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
        const unsigned target = (b & 7) < 6 ? qvfuzz::kTargets[b & 7] : b;
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
      case kFill: return QVFill_(s, stack, q);
      case kArrayType: return ArrayType(a, b, type);
      case kArrayDimensions: return ArrayDimensions(b);
      case kArrayNumbers: return ArrayNumbers(a, b);
      case kArrayLeaves: return ArrayLeaves(a, b, walk);
      case kReleaseArray: ReleaseArray((b & 1) != 0); return 0;
      case kMark: return Mark(a, b);
      case kSeek: return QVSeek_(s, stack, q, marks[a % kMarkSlots].mark, b % 4);
      case kUnmark: {
        MarkSlot& slot = marks[a % kMarkSlots];
        if (b & 1) {
          DropMark(slot);
        } else {
          QVDeconstructMark_(q, slot.mark);
        }
        return 0;
      }
      case kSeekToEnd: return QVSeekToEnd_(s, stack, q);
      default: return Transfer(a, b);
    }
  }

  void Check(int op, long answer, uint64_t type) {
    const three_state& c = state.converter;
    if (state.marker != kReadStateMarker) Broken("the read state's marker is gone", op, answer);
    // A converter that failed inside an atom leaves its own step (4 to 32),
    // which the next type read gets past.
    if (c.step < 0) Broken("a token position that cannot be", op, answer);
    if (state.owed < 0) Broken("a negative count of expressions owed", op, answer);
    if (state.packed_run < 0) Broken("a negative packed run", op, answer);
    if (c.wire_left < -1) Broken("a negative count of bytes left", op, answer);
    // A transfer may answer its writer's error, which it checks itself.
    if (answer != 0 && op != kTransfer && rs__last_error(&state) != answer) {
      Broken("an error answered but not stored", op, answer);
    }
    const bool next_type = op == kNextRawType || op == kNextType;
    if (next_type && answer != 0 && type != 0) Broken("a failed read of the next type answered a type", op, answer);
    qv_queue_stack* q = link->queues();
    if (q->window > q->window_end) Broken("a read window past its end", op, answer);
    if (memory.held != 0 && state.view == 0) Broken("a temporary buffer not released", op, answer);
    if (memory.peak > 8 * static_cast<int64_t>(input_size) + 65536) Broken("buffers out of proportion", op, answer);
    qvfuzz::CheckHeap(op, input_size);
  }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qvfuzz::WatchHeap();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  // QVFUZZ_TRACE=1 prints each operation and its answer, for reading a crash.
  static const bool trace = std::getenv("QVFUZZ_TRACE") != nullptr;
  qvfuzz::StartRun();
  // Setup byte: bit 0 a numeric dispatcher, bit 1 a loopback device stack,
  // bit 2 the stream through its window, bit 3 a memory stack, bits 4-5 the
  // peer's numerics (or none).
  const uint8_t setup = data[0];
  const size_t operations = 1 + data[1] % 64;
  size_t header = 2 + 4 * operations;
  if (header > size) header = size;

  {
    Reader r;
    r.link = qvtest::LinkPlumbing::Loopback();
    if (r.link == nullptr) return 0;
    if (setup & 2) r.stack = r.link->device();
    r.through_window = r.stack != nullptr && (setup & 4) != 0;
    r.input_size = size;
    r.trace = trace;
    const rs_memory_stack memory = r.memory.Stack();
    rs__construct(&r.state, (setup & 1) ? qvne__dispatch : nullptr, qvfuzz::TextEnvironment(), cs__factory,
                  (setup & 8) ? &memory : nullptr, qvfuzz::Descriptor(0), qvfuzz::Descriptor((setup >> 4) & 3), 0,
                  Symbols(), Strings());
    r.stream = data + header;
    r.stream_left = size - header;

    for (size_t i = 0; i < operations && 2 + 4 * i + 3 < header; ++i) {
      const uint8_t* op = data + 2 + 4 * i;
      r.Feed(op[3]);
      uint64_t type = 0xDEAD;
      const int code = op[0] % kOpCount;
      qvfuzz::TokenWalk walk(op[2] >> 4);
      const long answer = r.Run(code, op[1], op[2], &type, &walk);
      if (trace) {
        std::fprintf(stderr, "op %d (%u, %u) with %zu bytes fed: %ld\n", code, op[1], op[2],
                     size - header - r.stream_left, answer);
      }
      r.Check(code, answer, type);
    }
    // Then the whole rest, skipped packet by packet until the stream gives out.
    r.Feed(r.stream_left);
    for (size_t i = 0; i <= size; ++i) {
      long answer = QVNewPacket_(&r.state, r.stack, r.link->queues());
      r.Check(kNewPacket, answer, 0);
      if (answer != 0) break;
      uint64_t type = 0xDEAD;
      answer = QVGetNextRawType_(&r.state, r.stack, r.link->queues(), &type);
      r.Check(kNextRawType, answer, type);
      if (answer != 0) break;
    }
    // Every mark given back, no queue is pinned any more.
    r.ReleaseArray(true);
    for (MarkSlot& slot : r.marks) r.DropMark(slot);
    if (qvqk__outstanding_marks(r.link->queues()) != 0) Broken("a mark outlived its record", kUnmark, 0);
    if (qvqueue_sibling_count(r.link->base()) != 1) Broken("a queue of the input left behind", kUnmark, 0);
  }
  if (MarkPool()->numberOfObjectsInPoolInUse() != 0) Broken("a pooled mark not given back", kUnmark, 0);
  if (trace) std::fprintf(stderr, "heap held at most %lld for %zu input bytes\n", qvfuzz::HeapHeld(), size);
  return 0;
}
