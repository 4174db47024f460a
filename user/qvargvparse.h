// The table-driven parser of argument vectors: option names (compared without
// regard to ASCII case) followed by their values, against a table of option
// rows whose destinations the caller has bound in its own copy.
#pragma once

#include <cstdint>
#include <memory>

#include "api/qvmempool.h"
#include "user/qvlinkoptions.h"

// Which entries of an argument vector the parser took as an option name or
// value: one bit per entry, for the whole vector.
class QVArgvUsedSet {
 public:
  QVArgvUsedSet() = default;
  QVArgvUsedSet(const QVArgvUsedSet&) = delete;
  QVArgvUsedSet& operator=(const QVArgvUsedSet&) = delete;

  // Clears the set and makes it cover count entries; false when memory runs out.
  bool Reset(long count) noexcept;
  void Set(long index) noexcept;
  void Clear(long index) noexcept;
  // False for entries outside the set.
  bool Test(long index) const noexcept;
  long Size() const noexcept { return count_; }

 private:
  static constexpr long kInlineWords = 2;
  uint64_t* Words() noexcept { return heap_ != nullptr ? heap_.get() : inline_; }
  const uint64_t* Words() const noexcept { return heap_ != nullptr ? heap_.get() : inline_; }

  uint64_t inline_[kInlineWords] = {0, 0};
  std::unique_ptr<uint64_t[]> heap_;
  long count_ = 0;
};

// The parser's answer when memory for a copy runs out (an open then fails
// with code 8).
inline constexpr long kParseArgvNoMemory = -1;

// Parses argv (entries 0 to argc - 1, ending early at a null entry) against
// table. Answers the result: 0, or the result of the last recognised row with
// a nonzero one; kParseArgvNoMemory when a copy cannot be had.
//  - leftover: when given and 0 or more, every entry not taken is moved to the
//    front of argv, in order, and *leftover becomes their number.
//  - used (may be null): receives the entries taken.
//  - pool (may be null: the process heap): where the copy of an option-list
//    value is split.
long _parse_argv(long argc, char** argv, const qvoption_row* table, long* leftover, QVArgvUsedSet* used,
                 const mempool_qvt* pool);
// _parse_argv without compaction or used set, on the process heap.
long parse_argv(long argc, char** argv, const qvoption_row* table);
