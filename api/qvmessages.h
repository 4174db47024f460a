// Static tables that pair names with codes: the link error messages and the
// packet heads, and the small handle through which an environment holds one.
// The lookups take the row size, so every table whose rows begin with a name
// pointer (the option tables too) is read by the same functions.
#pragma once

#include <cstddef>
#include <cstdint>

#include "api/qvmempool.h"

// One row: a name (null ends the table) and its code.
struct dictionary_row {
  const char* name;
  int64_t code;
};

struct dictionary {
  uint16_t id;
  const void* table;
  qvmempool_allocate_fn allocate;
  qvmempool_deallocate_fn deallocate;  // frees the handle itself
};

inline constexpr uint16_t kMessageDictionaryId = 130;
inline constexpr uint16_t kPacketDictionaryId = 131;
inline constexpr int kMessageRows = 52;
inline constexpr int kPacketRows = 23;

// Link error code and its message, in table order (codes 0 to 65 and -1, with
// gaps); then packet head names and codes. Each ends with a null row.
extern const dictionary_row MessageDict[kMessageRows + 1];
extern const dictionary_row PacketsDict[kPacketRows + 1];

// A handle on table 130 or 131, made with the pair; null for any other id
// (nothing allocated) or when the handle cannot be had.
dictionary* get_dict(uint16_t id, qvmempool_allocate_fn allocate, qvmempool_deallocate_fn deallocate);
// Frees the handle through its own deallocate; null ignored.
void release_dict(dictionary* handle);
void _release_dict(dictionary* handle);

// The name of the first row, in table order, with that code; null when none.
const char* code2name(const dictionary* handle, int64_t code);
const char* _code2name(const dictionary* handle, int64_t code, size_t row_size);
// The code of the first row whose name equals name exactly; 0 when none.
int64_t name2code(const dictionary* handle, const char* name);
int64_t _name2code(const dictionary* handle, const char* name, size_t row_size);
// The first row with exactly that name, or null.
const dictionary_row* name2dict(const dictionary* handle, const char* name);
const void* _name2dict(const dictionary* handle, const char* name, size_t row_size);
// The row at a 0-based index, or null when the table ends before it.
const void* _index2dict(const dictionary* handle, long index, size_t row_size);
