// Replacing the context of one symbol name.
#include <cstring>
#include <memory>

#include "api/qvsymbolreplacement.h"
#include "text/qvtextencoding.h"
#include "text/qvunicode.h"
#include "utilities/qvthreads.h"

namespace {

constexpr uint32_t kContextMark = 0x60;  // the backquote
constexpr uint32_t kByteOrderMark = 0xFEFF;

// The name as units of one width, after any byte-order mark was dealt with.
struct Units {
  const void* data;
  int64_t count;
  int width;  // 1, 2 or 4 bytes

  uint32_t At(int64_t i) const {
    switch (width) {
      case 1:
        return static_cast<const unsigned char*>(data)[i];
      case 2:
        return static_cast<const uint16_t*>(data)[i];
      default:
        return static_cast<const uint32_t*>(data)[i];
    }
  }
};

// A working copy from the table's allocator, given back on every path.
class WorkingCopy {
 public:
  explicit WorkingCopy(_qvsymbol_variant_env* table) : table_(table) {}
  ~WorkingCopy() {
    if (block_ != nullptr) table_->deallocate(block_);
  }
  WorkingCopy(const WorkingCopy&) = delete;
  WorkingCopy& operator=(const WorkingCopy&) = delete;
  void* Make(int64_t bytes) {
    block_ = table_->allocate(static_cast<uint64_t>(bytes > 0 ? bytes : 1));
    return block_;
  }

 private:
  _qvsymbol_variant_env* table_;
  void* block_ = nullptr;
};

// UTF-16 and UTF-32 names: a mark in this machine's order is dropped, a
// swapped mark is dropped and every unit swapped, and a name without a mark is
// read high byte first. False when the copy cannot be had.
template <typename Unit>
bool Normalise(const void* name, int64_t bytes, WorkingCopy& copy, Units* units) {
  constexpr Unit kMark = static_cast<Unit>(kByteOrderMark);
  constexpr Unit kSwappedMark = sizeof(Unit) == 2 ? static_cast<Unit>(0xFFFE) : static_cast<Unit>(0xFFFE0000u);
  const auto* source = static_cast<const Unit*>(name);
  int64_t count = bytes / static_cast<int64_t>(sizeof(Unit));
  bool swap = true;
  if (count > 0 && source[0] == kMark) {
    swap = false;
    ++source;
    --count;
  } else if (count > 0 && source[0] == kSwappedMark) {
    ++source;
    --count;
  }
  auto* target = static_cast<Unit*>(copy.Make(count * static_cast<int64_t>(sizeof(Unit))));
  if (target == nullptr) return false;
  for (int64_t i = 0; i < count; ++i) {
    target[i] = source[i];
    if (swap) qv_switch_byte_order(&target[i], static_cast<int>(sizeof(Unit)));
  }
  *units = Units{target, count, static_cast<int>(sizeof(Unit))};
  return true;
}

// Position of the first context mark, in units, or -1.
int64_t FindMarkInUnits(const Units& name, bool skip_surrogates) {
  for (int64_t i = 0; i < name.count; ++i) {
    const uint32_t unit = name.At(i);
    if (unit == kContextMark) return i;
    // A surrogate and the unit after it are one character.
    if (skip_surrogates && unit >= 0xD800 && unit <= 0xDFFF) ++i;
  }
  return -1;
}

// UTF-8 walked by characters, at most characters of them: the byte offset of
// the mark and its character index, or false (no mark, a malformed sequence).
bool FindMarkInUTF8(const unsigned char* text, int64_t bytes, int64_t characters, int64_t* offset,
                    int64_t* index) {
  const unsigned char* p = text;
  int64_t left = bytes;
  for (int64_t c = 0; c < characters; ++c) {
    const unsigned char* at = p;
    unsigned int code = 0;
    if (QVNextUTF32FromUTF8String(&p, &left, &code) != 1) return false;
    if (code == kContextMark) {
      *offset = at - text;
      *index = c;
      return true;
    }
  }
  return false;
}

// A variant's form of the encoding, as units.
Units FormOf(const _qvsymbol_variant* variant, int encoding) {
  switch (encoding) {
    case ENCODING_ASCII:
      return Units{variant->ascii, variant->ascii_length, 1};
    case ENCODING_BYTES:
      return Units{variant->bytes, variant->bytes_length, 1};
    case ENCODING_UCS2:
      return Units{variant->ucs2, variant->ucs2_length, 2};
    case ENCODING_UTF8:
      return Units{variant->utf8, variant->utf8_length, 1};
    case ENCODING_UTF16:
      return Units{variant->utf16, variant->utf16_length, 2};
    default:
      return Units{variant->utf32, variant->utf32_length, 4};
  }
}

bool ContextMatchesQ(const Units& pattern, const Units& name, int64_t mark) {
  return pattern.count == mark &&
         std::memcmp(pattern.data, name.data, static_cast<size_t>(mark) * static_cast<size_t>(name.width)) == 0;
}

const _qvsymbol_replacement* Choose(_qvsymbol_variant_env* table, const Units& name, int64_t mark, int encoding,
                                    int direction) {
  auto matches = [&](const _qvsymbol_replacement* record) {
    return ContextMatchesQ(FormOf(direction == QVSYMBOL_PUT ? record->from : record->to, encoding), name, mark);
  };
  if (table->single != 0) return table->slot != nullptr && matches(table->slot) ? table->slot : nullptr;
  for (const auto& entry : table->map->entries) {
    if (matches(entry.second)) return entry.second;
  }
  return nullptr;
}

struct Counts {
  long bytes;
  long characters;
};

// The substitute's form, then the name from its mark on; wide results begin
// with a mark in this machine's order.
void* Build(_qvsymbol_variant_env* table, const Units& substitute, const Units& name, int64_t mark,
            int encoding, long characters, Counts* counts) {
  const bool marked = encoding == ENCODING_UTF16 || encoding == ENCODING_UTF32;
  const bool terminated = encoding == ENCODING_ASCII || encoding == ENCODING_BYTES;
  const int64_t tail = name.count - mark;
  const int64_t units = substitute.count + tail;
  const int64_t total = units + (marked ? 1 : 0) + (terminated ? 1 : 0);
  auto* result = static_cast<unsigned char*>(table->allocate(static_cast<uint64_t>(total * name.width)));
  if (result == nullptr) return nullptr;
  unsigned char* out = result;
  if (marked) {
    if (name.width == 2) {
      const auto mark_unit = static_cast<uint16_t>(kByteOrderMark);
      std::memcpy(out, &mark_unit, sizeof mark_unit);
    } else {
      const auto mark_unit = kByteOrderMark;
      std::memcpy(out, &mark_unit, sizeof mark_unit);
    }
    out += name.width;
  }
  std::memcpy(out, substitute.data, static_cast<size_t>(substitute.count * name.width));
  out += substitute.count * name.width;
  std::memcpy(out, static_cast<const unsigned char*>(name.data) + mark * name.width,
              static_cast<size_t>(tail * name.width));
  if (terminated) out[tail] = '\0';
  const int64_t shown = units + (marked ? 1 : 0);
  counts->bytes = static_cast<long>(shown * name.width);
  counts->characters = static_cast<long>(shown);
  // UTF-8 counts characters apart from bytes: the context's characters are
  // the pattern's bytes (7-bit names).
  if (encoding == ENCODING_UTF8) counts->characters = characters - mark + static_cast<long>(substitute.count);
  return result;
}

bool KnownEncodingQ(int encoding) {
  switch (encoding) {
    case ENCODING_ASCII:
    case ENCODING_BYTES:
    case ENCODING_UCS2:
    case ENCODING_UTF8:
    case ENCODING_UTF16:
    case ENCODING_UTF32:
      return true;
    default:
      return false;
  }
}

}  // namespace

void* QVSymbolReplace(_qvsymbol_variant_env* table, void** name, long* bytes, long* characters, int encoding,
                      int direction) {
  if (table == nullptr || name == nullptr || *name == nullptr || bytes == nullptr || characters == nullptr) {
    return nullptr;
  }
  if (!KnownEncodingQ(encoding) || *bytes < 0) return nullptr;
  WorkingCopy copy(table);
  Units text{*name, *bytes, 1};
  int64_t mark = -1;
  switch (encoding) {
    case ENCODING_ASCII:
    case ENCODING_BYTES:
      mark = FindMarkInUnits(text, false);
      if (mark < 0 || mark + 1 >= text.count) return nullptr;
      break;
    case ENCODING_UTF8: {
      int64_t index = 0;
      if (!FindMarkInUTF8(static_cast<const unsigned char*>(*name), *bytes, *characters, &mark, &index) ||
          index + 1 >= *characters || mark + 1 >= *bytes) {
        return nullptr;
      }
      break;
    }
    case ENCODING_UCS2:
      if (*bytes < 2) return nullptr;
      text = Units{*name, *bytes / 2, 2};
      mark = FindMarkInUnits(text, true);
      if (mark < 0) return nullptr;
      break;
    case ENCODING_UTF16:
      if (!Normalise<uint16_t>(*name, *bytes, copy, &text)) return nullptr;
      if (text.count < 1) return nullptr;
      mark = FindMarkInUnits(text, true);
      if (mark < 0) return nullptr;
      break;
    case ENCODING_UTF32:
      if (!Normalise<uint32_t>(*name, *bytes, copy, &text)) return nullptr;
      mark = FindMarkInUnits(text, false);
      if (mark < 0 || mark + 1 >= text.count) return nullptr;
      break;
    default:
      return nullptr;
  }
  // Held from the choice to the copy of the substitute (map mode only).
  Quorvane::QVMutex guard(table->single != 0 ? nullptr : table->lock);
  const _qvsymbol_replacement* record = Choose(table, text, mark, encoding, direction);
  if (record == nullptr) return nullptr;
  const Units substitute = FormOf(direction == QVSYMBOL_PUT ? record->to : record->from, encoding);
  Counts counts{};
  void* result = Build(table, substitute, text, mark, encoding, *characters, &counts);
  if (result == nullptr) return nullptr;
  *bytes = counts.bytes;
  *characters = counts.characters;
  return result;
}

void QVFreeReplacedSymbol(_qvsymbol_variant_env* table, void* name) {
  if (table == nullptr || name == nullptr) return;
  table->deallocate(name);
}
