// Whole atoms into atom blocks, in passes: each pass lets the codec fill the
// room the block has, and a block that is full grows by at most what it
// already holds. The codec's count of characters still to come is the peer's
// word, so it never sizes a block beyond that: a short atom that declares
// an enormous count costs no more than the bytes that really arrive.
#include "api/qvatomreaders.h"

#include <algorithm>

#include "api/qvcodecread.h"
#include "api/qvcodecreadinternal.h"
#include "text/qvtextencoding.h"
#include "text/qvunicode.h"

namespace {

constexpr long kNoMemory = 8;
constexpr long kOutOfSequence = 3;
constexpr long kUncountable = 49;

// First capacities, in characters, when the caller gives no hint.
constexpr int64_t kUCS2First = 16;
constexpr int64_t kUTF8FirstBytes = 32;
constexpr int64_t kUTF16First = 40;
constexpr int64_t kUTF32First = 32;
constexpr int64_t kBytesFirst = 20;
constexpr uint64_t k7BitFirst = 20;
// Room in which any one character fits in every encoding (an astral
// character as 7-bit escaped text takes eight bytes).
constexpr uint64_t kAnyCharacterRoom = 16;
// Bytes of an atom read whole are taken in pieces of at most this size.
constexpr uint64_t kWholeStep = 4096;

// The codec has finished the atom: its terminator is read.
bool Finished(const read_state* state) {
  const three_state& c = state->converter;
  return c.step == QVREAD_BETWEEN_TOKENS || (c.step == QVREAD_INSIDE_TOKEN && c.wire_left < 0);
}

// Characters of the atom still to come, as the codec counts them; a
// character read but not yet handed out counts too. Negative for an atom
// read to its length, whose count is not known.
int64_t CharactersLeft(const read_state* state) {
  const three_state& c = state->converter;
  if (c.characters < 0 || c.accepted == ENCODING_OLDSTRING) return -1;
  return c.characters + (c.pending > 0 ? 1 : 0);
}

// The next capacity in bytes of a block that is full, from its capacity, the
// characters left and the number of the pass just made.
using Growth = uint64_t (*)(uint64_t capacity, uint64_t unit, int64_t left, int pass);

// Capacity plus the characters left, never more than doubling: a block
// that filled has had that many bytes arrive. An atom whose count is not
// known doubles.
uint64_t GrowByLeft(uint64_t capacity, uint64_t unit, int64_t left, int /*pass*/) {
  const uint64_t units = capacity / unit;
  const uint64_t wanted = left < 0 ? units : static_cast<uint64_t>(std::max<int64_t>(left, 1));
  const uint64_t more = std::clamp<uint64_t>(wanted, 1, units);
  return (units + more) * unit;
}

// Escaped text: a character may take several bytes, so the characters left
// count more with every pass (1, 4, then 6 bytes each), with an eighth more
// on top; still bounded by what the block holds. Without a count, it doubles.
uint64_t GrowEscaped(uint64_t capacity, uint64_t /*unit*/, int64_t left, int pass) {
  const uint64_t previous = capacity - 2;
  if (left < 0) return 2 * previous + 2;
  const uint64_t factor = pass == 1 ? 1 : pass == 2 ? 4 : 6;
  const uint64_t counted = std::min<uint64_t>(static_cast<uint64_t>(std::max<int64_t>(left, 1)), previous);
  const uint64_t c = previous + factor * counted;
  return c + c / 8 + 2;
}

// Room for characters: the capacity less two zero units, in whole units.
uint64_t Room(uint64_t capacity, uint64_t unit) {
  return capacity < 2 * unit ? 0 : (capacity - 2 * unit) / unit * unit;
}

struct Pass {
  unsigned encoding;
  uint64_t unit;
  uint64_t first;  // bytes, the two zero units included
  uint8_t missing;
  Growth grow;
};

// Reads the current atom into block in passes; *written bytes of text.
// *pass is the pass that failed.
long ReadPasses(read_state* state, device_kebab* stack, qv_queue_stack* queues, const Pass& how,
                qvatom::Block& block, uint64_t* written, int* pass) {
  *written = 0;
  if (!block.Reserve(how.first)) return rs__set_error(state, kNoMemory);
  for (*pass = 1;; ++*pass) {
    const uint64_t room = Room(block.capacity(), how.unit);
    int64_t delivered = 0;
    uint8_t state_byte = how.missing;
    const long error = QVGetCharacters_(state, stack, queues, &delivered, block.data() + *written,
                                        block.data() + room, &state_byte, how.encoding);
    // Never past the room, whatever the codec reports.
    *written += std::min<uint64_t>(static_cast<uint64_t>(std::max<int64_t>(delivered, 0)) * how.unit,
                                   room - *written);
    if (error != 0) return error;
    if (Finished(state)) return 0;
    // A reader that neither finished nor delivered with room to spare never will.
    if (delivered <= 0 && room - *written >= kAnyCharacterRoom) return rs__set_error(state, -1);
    if (!block.Reserve(how.grow(block.capacity(), how.unit, CharactersLeft(state), *pass))) {
      return rs__set_error(state, kNoMemory);
    }
  }
}

// Two zero units behind the text; the block always has room for them.
void Terminate(unsigned char* data, uint64_t written, uint64_t unit) {
  std::fill(data + written, data + written + 2 * unit, static_cast<unsigned char>(0));
}

// The first capacity in bytes for hint characters of unit bytes, with the
// two zero units.
uint64_t FirstBytes(int64_t hint, int64_t fallback, uint64_t unit) {
  const int64_t characters = hint > 0 ? std::min<int64_t>(hint, 1 << 20) : fallback;
  return (static_cast<uint64_t>(characters) + 2) * unit;
}

// Runs the passes and hands the block out, or fails leaving nothing.
template <class Unit>
long ReadWhole(mempool_qvt* pool, read_state* state, device_kebab* stack, qv_queue_stack* queues,
               const Pass& how, Unit** text, uint64_t* written) {
  *text = nullptr;
  qvatom::Block block(pool);
  int pass = 0;
  if (const long error = ReadPasses(state, stack, queues, how, block, written, &pass); error != 0) {
    *written = 0;
    return error;
  }
  Terminate(block.data(), *written, how.unit);
  *text = block.Release<Unit>();
  return 0;
}

void Clear(int64_t* bytes, int64_t* characters) {
  *bytes = 0;
  *characters = 0;
}

// Reads the atom whole; count(text, written, &n) counts its characters. On
// failure, also when they cannot be counted (49), nothing is held.
template <class Unit, class Count>
long ReadCounted(mempool_qvt* pool, read_state* state, device_kebab* stack, qv_queue_stack* queues,
                 const Pass& how, Unit** text, int64_t* bytes, int64_t* characters, Count&& count) {
  Clear(bytes, characters);
  uint64_t written = 0;
  if (const long error = ReadWhole(pool, state, stack, queues, how, text, &written); error != 0) return error;
  int64_t n = 0;
  if (!count(*text, written, &n)) {
    DeallocAtom(pool, *text, nullptr);
    *text = nullptr;
    return rs__set_error(state, kUncountable);
  }
  *bytes = static_cast<int64_t>(written);
  *characters = n;
  return 0;
}

}  // namespace

namespace qvatom {

bool Block::Reserve(uint64_t bytes) {
  if (data_ != nullptr && capacity_ >= bytes) return true;
  uint64_t capacity = 0;
  void* grown = ReallocAtom(pool_, data_, bytes, &capacity, nullptr);
  if (grown == nullptr) return false;
  data_ = static_cast<unsigned char*>(grown);
  capacity_ = capacity;
  return true;
}

}  // namespace qvatom

long QVGetUCS2Atom_(mempool_qvt* pool, read_state* state, device_kebab* stack, qv_queue_stack* queues,
                    uint16_t** text, int64_t* bytes, int64_t* characters, int64_t hint) {
  const Pass how{ENCODING_UCS2, 2, FirstBytes(hint, kUCS2First, 2), '?', GrowByLeft};
  return ReadCounted(pool, state, stack, queues, how, text, bytes, characters,
                     [](const uint16_t*, uint64_t written, int64_t* units) {
                       *units = static_cast<int64_t>(written / 2);
                       return true;
                     });
}

// A first call with no room reads the atom's header. A counted atom is
// delivered with exactly the characters its header counts (the converter
// fails one that holds fewer and passes over any beyond them), so only one
// read to its length (a legacy payload, or text sent without a count) is
// counted afterwards.
long QVGetUTF8Atom_(mempool_qvt* pool, read_state* state, device_kebab* stack, qv_queue_stack* queues,
                    unsigned char** text, int64_t* bytes, int64_t* characters, int64_t /*hint*/) {
  *text = nullptr;
  Clear(bytes, characters);
  unsigned char none = 0;
  int64_t delivered = 0;
  uint8_t state_byte = '?';
  if (const long error =
          QVGetCharacters_(state, stack, queues, &delivered, &none, &none, &state_byte, ENCODING_UTF8);
      error != 0) {
    return error;
  }
  if (Finished(state)) {
    qvatom::Block block(pool);
    if (!block.Reserve(2)) return rs__set_error(state, kNoMemory);
    Terminate(block.data(), 0, 1);
    *text = block.Release<unsigned char>();
    return 0;
  }
  const three_state& c = state->converter;
  const int64_t declared = c.accepted == ENCODING_OLDSTRING ? -1 : c.characters;
  const Pass how{ENCODING_UTF8, 1, kUTF8FirstBytes + 2, '?', GrowByLeft};
  return ReadCounted(pool, state, stack, queues, how, text, bytes, characters,
                     [declared](const unsigned char* t, uint64_t written, int64_t* points) {
                       if (declared >= 0) {
                         *points = declared;
                         return true;
                       }
                       return QVCountUnicodePointsInUTF8String(t, static_cast<int64_t>(written), points) != 0;
                     });
}

long QVGetUTF16Atom_(mempool_qvt* pool, read_state* state, device_kebab* stack, qv_queue_stack* queues,
                     uint16_t** text, int64_t* bytes, int64_t* characters, int64_t hint) {
  const Pass how{ENCODING_UTF16, 2, FirstBytes(hint, kUTF16First, 2), '?', GrowByLeft};
  return ReadCounted(pool, state, stack, queues, how, text, bytes, characters,
                     [](const uint16_t* t, uint64_t written, int64_t* points) {
                       const endian order = written >= 2 ? QVGetUTF16EndianType(t) : QV_ENDIAN_NATIVE;
                       if (QVCountUnicodePointsInUTF16String(t, static_cast<int64_t>(written / 2), points, order) ==
                           0) {
                         return false;
                       }
                       *points = std::max<int64_t>(*points - 1, 0);  // the mark is no character
                       return true;
                     });
}

long QVGetUTF32Atom_(mempool_qvt* pool, read_state* state, device_kebab* stack, qv_queue_stack* queues,
                     uint32_t** text, int64_t* bytes, int64_t* characters, int64_t hint) {
  const Pass how{ENCODING_UTF32, 4, FirstBytes(hint, kUTF32First, 4), '?', GrowByLeft};
  return ReadCounted(pool, state, stack, queues, how, text, bytes, characters,
                     [](const uint32_t*, uint64_t written, int64_t* points) {
                       // The mark is no character.
                       *points = std::max<int64_t>(static_cast<int64_t>(written / 4) - 1, 0);
                       return true;
                     });
}

long QVGet8BitAtom_(mempool_qvt* pool, read_state* state, device_kebab* stack, qv_queue_stack* queues,
                    unsigned char** text, int64_t* bytes, int64_t* characters, long missing, int64_t hint) {
  const Pass how{ENCODING_BYTES, 1, FirstBytes(hint, kBytesFirst, 1), static_cast<uint8_t>(missing), GrowByLeft};
  return ReadCounted(pool, state, stack, queues, how, text, bytes, characters,
                     [](const unsigned char*, uint64_t written, int64_t* count) {
                       *count = static_cast<int64_t>(written);
                       return true;
                     });
}

long QVGet7BitAtom_1(mempool_qvt* pool, read_state* state, device_kebab* stack, qv_queue_stack* queues,
                     char** text, int64_t* length, void* /*context*/) {
  *text = nullptr;
  *length = 0;
  const Pass how{ENCODING_ASCII, 1, k7BitFirst + 2, '?', GrowEscaped};
  qvatom::Block block(pool);
  uint64_t written = 0;
  int pass = 0;
  if (const long error = ReadPasses(state, stack, queues, how, block, &written, &pass); error != 0) {
    // An atom refused at once can only be read whole now; a composite is
    // no atom at all.
    if (error == kOutOfSequence && pass == 1 && written == 0 && !qvcodecread::IsComposite(state->converter.token)) {
      return QVGet7BitAtom_2(pool, state, stack, queues, text, length);
    }
    return error;
  }
  Terminate(block.data(), written, 1);
  *text = block.Release<char>();
  *length = static_cast<int64_t>(written);
  return 0;
}

long QVGet7BitAtom_2(mempool_qvt* pool, read_state* state, device_kebab* stack, qv_queue_stack* queues,
                     char** text, int64_t* length) {
  *text = nullptr;
  *length = 0;
  int64_t size = 0;
  if (const long error = QVBytesToGet_(state, stack, queues, &size); error != 0) return error;
  qvatom::Block block(pool);
  // The size is the peer's word too: the block grows with the bytes read.
  uint64_t written = 0;
  const auto total = static_cast<uint64_t>(std::max<int64_t>(size, 0));
  if (!block.Reserve(std::min(total, kWholeStep) + 2)) return rs__set_error(state, kNoMemory);
  while (written < total) {
    if (block.capacity() - 2 <= written && !block.Reserve(std::min(total, 2 * written) + 2)) {
      return rs__set_error(state, kNoMemory);
    }
    const uint64_t piece = std::min(total, block.capacity() - 2) - written;
    int64_t got = 0;
    if (const long error = QVGetRawData_(state, stack, queues, block.data() + written, static_cast<int64_t>(piece),
                                         &got);
        error != 0) {
      return error;
    }
    if (got <= 0) return rs__set_error(state, kOutOfSequence);
    written += static_cast<uint64_t>(got);
  }
  Terminate(block.data(), written, 1);
  *text = block.Release<char>();
  *length = static_cast<int64_t>(written);
  return 0;
}

namespace qvatom {

long ReadAtom(mempool_qvt* pool, read_state* state, device_kebab* stack, qv_queue_stack* queues, unsigned encoding,
              long missing, void** text, int64_t* bytes, int64_t* characters) {
  switch (encoding) {
    case ENCODING_UCS2:
      return QVGetUCS2Atom_(pool, state, stack, queues, reinterpret_cast<uint16_t**>(text), bytes, characters,
                            kUCS2Hint);
    case ENCODING_UTF8:
      return QVGetUTF8Atom_(pool, state, stack, queues, reinterpret_cast<unsigned char**>(text), bytes, characters, 0);
    case ENCODING_UTF16:
      return QVGetUTF16Atom_(pool, state, stack, queues, reinterpret_cast<uint16_t**>(text), bytes, characters,
                             kUTF16Hint);
    case ENCODING_UTF32:
      return QVGetUTF32Atom_(pool, state, stack, queues, reinterpret_cast<uint32_t**>(text), bytes, characters,
                             kUTF32Hint);
    case ENCODING_BYTES:
      return QVGet8BitAtom_(pool, state, stack, queues, reinterpret_cast<unsigned char**>(text), bytes, characters,
                            missing, kBytesHint);
    default: {
      const long error = QVGet7BitAtom_1(pool, state, stack, queues, reinterpret_cast<char**>(text), bytes, nullptr);
      *characters = *bytes;
      return error;
    }
  }
}

}  // namespace qvatom
