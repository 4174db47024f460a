// The whole text of a symbol atom in one encoding. The block grows
// geometrically as characters arrive and is never sized from the count the
// peer declares, so a short atom claiming a huge length costs nothing.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "api/qvcodecread.h"
#include "api/qvputtext.h"
#include "api/qvsymbolgets.h"
#include "text/qvtextencoding.h"
#include "text/qvunicode.h"

namespace {

constexpr long kNoMemory = 8;
constexpr long kUncountable = 49;
constexpr uint64_t kFirstBytes = 64;
// Room in which any one character fits in every encoding (an astral
// character escaped as 7-bit text takes eight bytes).
constexpr int64_t kOneCharacterRoom = 16;

// The atom's last byte has been read and its terminator checked.
bool Finished(const three_state& c) {
  return c.step == QVREAD_BETWEEN_TOKENS || (c.step != QVREAD_TYPE_READ && c.wire_left < 0);
}

}  // namespace

namespace qvsymbolread {

bool CountCharacters(const unsigned char* text, int64_t bytes, unsigned encoding, int64_t* characters) {
  switch (encoding) {
    case ENCODING_UTF8: return QVCountUnicodePointsInUTF8String(text, bytes, characters) != 0;
    case ENCODING_UTF16: {
      if (bytes < 2) {
        *characters = 0;
        return true;
      }
      const auto* units = reinterpret_cast<const unsigned short*>(text);
      if (QVCountUnicodePointsInUTF16String(units, bytes / 2, characters, QV_ENDIAN_NATIVE) == 0) return false;
      *characters = std::max<int64_t>(*characters - 1, 0);
      return true;
    }
    case ENCODING_UTF32: *characters = std::max<int64_t>(bytes / 4 - 1, 0); return true;
    default: *characters = bytes / qvputtext::UnitBytes(encoding); return true;
  }
}

void FreeAtom(Quorvane::QVGetContainer* container, const void* atom) {
  if (atom != nullptr) DeallocAtom(container->pool, const_cast<void*>(atom), nullptr);
}

long ReadAtomText(Quorvane::QVGetContainer* container, unsigned encoding, long missing, void** text,
                  int64_t* bytes, int64_t* characters) {
  read_state* state = container->readState;
  *text = nullptr;
  *bytes = 0;
  *characters = 0;
  const int64_t unit = qvputtext::UnitBytes(encoding);
  uint64_t capacity = 0;
  auto* block = static_cast<unsigned char*>(AllocAtom(container->pool, kFirstBytes, &capacity, nullptr));
  if (block == nullptr) return rs__set_error(state, kNoMemory);
  int64_t used = 0;
  uint8_t replacement = static_cast<uint8_t>(missing);
  for (;;) {
    // Two zero units stay free behind the text.
    const int64_t room = (static_cast<int64_t>(capacity) - used) / unit * unit - 2 * unit;
    int64_t delivered = 0;
    const long error = QVGetCharacters_(state, container->deviceStack, container->queueStack, &delivered,
                                        block + used, block + used + std::max<int64_t>(room, 0), &replacement,
                                        encoding);
    if (error != 0) {
      DeallocAtom(container->pool, block, nullptr);
      return error;
    }
    used += std::min(delivered * unit, std::max<int64_t>(room, 0));
    if (Finished(state->converter)) break;
    if (delivered == 0 && room >= kOneCharacterRoom) {
      // The reader neither finished nor moved: it will not.
      DeallocAtom(container->pool, block, nullptr);
      return rs__set_error(state, -1);
    }
    uint64_t grown = 0;
    void* bigger = ReallocAtom(container->pool, block, capacity * 2, &grown, nullptr);
    if (bigger == nullptr) {
      DeallocAtom(container->pool, block, nullptr);
      return rs__set_error(state, kNoMemory);
    }
    block = static_cast<unsigned char*>(bigger);
    capacity = grown;
  }
  std::memset(block + used, 0, static_cast<size_t>(2 * unit));
  if (!CountCharacters(block, used, encoding, characters)) {
    DeallocAtom(container->pool, block, nullptr);
    return rs__set_error(state, kUncountable);
  }
  *text = block;
  *bytes = used;
  return 0;
}

}  // namespace qvsymbolread
