// Checking that the next atom is of a type and names a given name: the text
// is read as escaped 7-bit text and compared by characters, so that an
// escape and another escape of the same character agree.
#include <cstring>

#include "api/qvatomreaders.h"
#include "api/qvcodecread.h"
#include "api/qvstringtests.h"
#include "api/qvsymbolgets.h"
#include "quorvane_text.h"
#include "text/qvtextencoding.h"

namespace {

constexpr long kMismatch = 3;

// The two escaped texts stand for the same characters. An escape cut short
// or unknown never matches.
bool SameCharacters(const char* a, const char* a_end, const char* b, const char* b_end) {
  if (a_end - a == b_end - b && std::memcmp(a, b, static_cast<size_t>(a_end - a)) == 0) return true;
  for (;;) {
    if (a >= a_end || b >= b_end) return a >= a_end && b >= b_end;
    const int x = RVNextCharacter(&a, a_end);
    const int y = RVNextCharacter(&b, b_end);
    if (x != y || x == -1) return false;
  }
}

}  // namespace

long QVCheckData_(mempool_qvt* pool, read_state* state, device_kebab* stack, qv_queue_stack* queues, uint64_t wanted,
                  const char* start, const char* end, _qvsymbol_variant_env* variants, int replace) {
  uint64_t type = 0;
  if (const long error = QVGetType_(state, stack, queues, &type); error != 0) return error;
  if (type != wanted) return rs__set_error(state, kMismatch);
  char* text = nullptr;
  int64_t length = 0;
  if (const long error = QVGet7BitAtom_1(pool, state, stack, queues, &text, &length, nullptr); error != 0) {
    return error;
  }
  qvatom::Block owner(pool);
  owner.Adopt(text);
  if (start == nullptr) return 0;
  if (replace == 1) {
    long bytes = length;
    long characters = length;
    void* name = text;
    const long error = QVDoSymbolReplacement_(pool, state, &name, &bytes, &characters, variants, ENCODING_ASCII, 1);
    // The replacement may have moved the text, or freed it on failure.
    owner.Release<char>();
    owner.Adopt(static_cast<char*>(name));
    if (error != 0) return error;
    text = static_cast<char*>(name);
    length = bytes;
  }
  if (end == nullptr) end = start + std::strlen(start);
  return SameCharacters(text, text + length, start, end) ? 0 : rs__set_error(state, kMismatch);
}
