// The text of a symbol atom through the atom reader of its encoding, and
// the characters of a text a symbol reader has built itself.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "api/qvatomreaders.h"
#include "api/qvputtext.h"
#include "api/qvsymbolgets.h"
#include "text/qvtextencoding.h"
#include "text/qvunicode.h"

namespace {

// First capacities of a symbol's text, in characters.
constexpr int64_t kNarrowHint = 16;  // UCS-2 and UTF-8
constexpr int64_t kWideHint = 32;    // UTF-16 and UTF-32

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
  mempool_qvt* pool = container->pool;
  read_state* state = container->readState;
  device_kebab* stack = container->deviceStack;
  qv_queue_stack* queues = container->queueStack;
  *text = nullptr;
  switch (encoding) {
    case ENCODING_ASCII: {
      char* out = nullptr;
      const long error = QVGet7BitAtom_1(pool, state, stack, queues, &out, bytes, nullptr);
      *text = out;
      *characters = *bytes;
      return error;
    }
    case ENCODING_BYTES: {
      unsigned char* out = nullptr;
      const long error = QVGet8BitAtom_(pool, state, stack, queues, &out, bytes, characters, missing, 0);
      *text = out;
      return error;
    }
    case ENCODING_UCS2: {
      uint16_t* out = nullptr;
      const long error = QVGetUCS2Atom_(pool, state, stack, queues, &out, bytes, characters, kNarrowHint);
      *text = out;
      return error;
    }
    case ENCODING_UTF8: {
      unsigned char* out = nullptr;
      const long error = QVGetUTF8Atom_(pool, state, stack, queues, &out, bytes, characters, kNarrowHint);
      *text = out;
      return error;
    }
    case ENCODING_UTF16: {
      uint16_t* out = nullptr;
      const long error = QVGetUTF16Atom_(pool, state, stack, queues, &out, bytes, characters, kWideHint);
      *text = out;
      return error;
    }
    default: {
      uint32_t* out = nullptr;
      const long error = QVGetUTF32Atom_(pool, state, stack, queues, &out, bytes, characters, kWideHint);
      *text = out;
      return error;
    }
  }
}

}  // namespace qvsymbolread
