// Parsing an argument vector against an option table.
#include "user/qvargvparse.h"

#include <cstring>
#include <limits>
#include <new>

#include "user/qvargvstrings.h"
#include "utilities/qvclibmemory.h"

namespace {

constexpr int kMaxListWords = 32;
constexpr char kListSeparators[] = ", \t";

char FoldUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool SameIgnoringCaseQ(const char* a, const char* b) {
  for (; *a != '\0' && *b != '\0'; ++a, ++b) {
    if (FoldUpper(*a) != FoldUpper(*b)) return false;
  }
  return *a == *b;
}

const qvoption_row* FindRow(const qvoption_row* table, const char* entry) {
  for (const qvoption_row* row = table; row->name != nullptr; ++row) {
    if (SameIgnoringCaseQ(row->name, entry)) return row;
  }
  return nullptr;
}

bool FindMode(const qvmode_row* table, const char* word, uint64_t* value) {
  if (table == nullptr) return false;
  for (const qvmode_row* row = table; row->name != nullptr; ++row) {
    if (row->value != -1 && SameIgnoringCaseQ(row->name, word)) {
      *value = static_cast<uint64_t>(row->value);
      return true;
    }
  }
  return false;
}

// An option word: "RV" (any case) stands for the names' own two-letter prefix.
bool ApplyOptionWord(const qvoptionword_row* table, const char* word, uint64_t* value) {
  if (table == nullptr) return false;
  const bool prefixed = FoldUpper(word[0]) == 'R' && FoldUpper(word[1]) == 'V';
  for (const qvoptionword_row* row = table; row->name != nullptr; ++row) {
    const bool match = prefixed ? std::strlen(row->name) >= 2 && SameIgnoringCaseQ(word + 2, row->name + 2)
                                : SameIgnoringCaseQ(word, row->name);
    if (match) {
      *value = (*value & ~row->mask) | row->value;
      return true;
    }
  }
  return false;
}

int DigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 99;
}

// One or more digits of base; a number that does not fit 64 bits is refused
// rather than wrapped into unrelated option bits.
bool ReadDigits(const char** p, unsigned base, uint64_t* out) {
  uint64_t value = 0;
  const char* q = *p;
  for (; DigitValue(*q) < static_cast<int>(base); ++q) {
    const auto digit = static_cast<uint64_t>(DigitValue(*q));
    if (value > (std::numeric_limits<uint64_t>::max() - digit) / base) return false;
    value = value * base + digit;
  }
  if (q == *p) return false;
  *p = q;
  *out = value;
  return true;
}

unsigned BasePrefix(const char* p) {
  if (p[0] != '0') return 0;
  if (p[1] == 'x' || p[1] == 'X') return 16;
  if (p[1] == 'b' || p[1] == 'B') return 2;
  return 0;
}

// N, or N|M meaning "keep the bits of M, then set N"; in decimal, 0x hex or 0b
// binary (the part after the bar may repeat the prefix).
bool ApplyNumber(const char* word, uint64_t* value) {
  if (*word == '\0') {
    *value = 0;
    return true;
  }
  unsigned base = BasePrefix(word);
  const char* p = word;
  if (base != 0) {
    p += 2;
  } else {
    base = 10;
  }
  uint64_t number = 0;
  if (!ReadDigits(&p, base, &number)) return false;
  if (*p == '\0') {
    *value = number;
    return true;
  }
  if (*p != '|') return false;
  ++p;
  if (base != 10 && BasePrefix(p) == base) p += 2;
  uint64_t mask = 0;
  if (!ReadDigits(&p, base, &mask) || *p != '\0') return false;
  *value = (*value & mask) | number;
  return true;
}

enum class ListAnswer { kAccepted, kInvalid, kNoMemory };

// Every word of the entry changes the value; an invalid word puts the value
// back as it was before the entry.
ListAnswer ApplyOptionList(const qvoption_row& row, const char* entry, const mempool_qvt* pool) {
  const size_t length = std::strlen(entry);
  qvmempool_allocate_fn allocate = pool != nullptr ? pool->allocate : qvstd_clib_allocator;
  qvmempool_deallocate_fn deallocate = pool != nullptr ? pool->deallocate : qvstd_clib_deallocator;
  if (allocate == nullptr || deallocate == nullptr) return ListAnswer::kNoMemory;
  auto* copy = static_cast<char*>(allocate(length + 1));
  if (copy == nullptr) return ListAnswer::kNoMemory;
  char* words[kMaxListWords];
  const long count = qvas__string_to_argv_sep(entry, copy, words, kMaxListWords, kListSeparators);
  auto* value = static_cast<uint64_t*>(row.destination);
  uint64_t changed = value != nullptr ? *value : 0;
  const auto* table = static_cast<const qvoptionword_row*>(row.table);
  ListAnswer answer = ListAnswer::kAccepted;
  for (long i = 0; i < count; ++i) {
    if (!ApplyOptionWord(table, words[i], &changed) && !ApplyNumber(words[i], &changed)) {
      answer = ListAnswer::kInvalid;
      break;
    }
  }
  deallocate(copy);
  if (answer == ListAnswer::kAccepted && value != nullptr) *value = changed;
  return answer;
}

}  // namespace

bool QVArgvUsedSet::Reset(long count) noexcept {
  if (count < 0) count = 0;
  const long words = (count + 63) / 64;
  heap_.reset();
  inline_[0] = inline_[1] = 0;
  count_ = 0;
  if (words > kInlineWords) {
    heap_.reset(new (std::nothrow) uint64_t[static_cast<size_t>(words)]());
    if (heap_ == nullptr) return false;
  }
  count_ = count;
  return true;
}

void QVArgvUsedSet::Set(long index) noexcept {
  if (index >= 0 && index < count_) Words()[index / 64] |= uint64_t{1} << (index % 64);
}

void QVArgvUsedSet::Clear(long index) noexcept {
  if (index >= 0 && index < count_) Words()[index / 64] &= ~(uint64_t{1} << (index % 64));
}

bool QVArgvUsedSet::Test(long index) const noexcept {
  return index >= 0 && index < count_ && ((Words()[index / 64] >> (index % 64)) & 1) != 0;
}

long _parse_argv(long argc, char** argv, const qvoption_row* table, long* leftover, QVArgvUsedSet* used,
                 const mempool_qvt* pool) {
  QVArgvUsedSet local;
  if (used == nullptr) used = &local;
  if (argv == nullptr || argc < 0) argc = 0;
  if (!used->Reset(argc)) return kParseArgvNoMemory;
  const bool compact = leftover != nullptr && *leftover >= 0;
  const bool have_table = table != nullptr && table->name != nullptr;
  long kept = 0;
  long result = 0;
  const qvoption_row* expecting = nullptr;  // the row whose value comes next
  for (long i = 0; i < argc && argv[i] != nullptr; ++i) {
    char* const entry = argv[i];
    if (const qvoption_row* row = have_table ? FindRow(table, entry) : nullptr) {
      used->Set(i);
      if (row->kind == QVOPTION_FLAG) {
        if (row->destination != nullptr) ++*static_cast<int64_t*>(row->destination);
        if (row->result != 0) result = row->result;
        expecting = nullptr;
      } else {
        expecting = row;
      }
      continue;
    }
    if (expecting != nullptr) {
      const qvoption_row& row = *expecting;
      bool accepted = true;
      switch (row.kind) {
        case QVOPTION_TEXT:
          if (row.destination != nullptr) *static_cast<const char**>(row.destination) = entry;
          expecting = nullptr;
          break;
        case QVOPTION_WORD: {
          uint64_t mode = 0;
          accepted = FindMode(static_cast<const qvmode_row*>(row.table), entry, &mode);
          if (accepted && row.destination != nullptr) *static_cast<uint64_t*>(row.destination) = mode;
          if (accepted) expecting = nullptr;
          break;
        }
        case QVOPTION_LIST: {
          const ListAnswer answer = ApplyOptionList(row, entry, pool);
          if (answer == ListAnswer::kNoMemory) return kParseArgvNoMemory;
          // Accepted words keep the option open: the next entry may carry more.
          accepted = answer == ListAnswer::kAccepted;
          break;
        }
        default:
          expecting = nullptr;
          used->Set(i);
          continue;
      }
      if (accepted) {
        used->Set(i);
        if (row.result != 0) result = row.result;
        continue;
      }
    }
    expecting = nullptr;
    if (compact) argv[kept++] = entry;
  }
  if (compact) *leftover = kept;
  return result;
}

long parse_argv(long argc, char** argv, const qvoption_row* table) {
  return _parse_argv(argc, argv, table, nullptr, nullptr, nullptr);
}
