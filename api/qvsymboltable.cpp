// The replacement table of a link: making, copying, editing and ending it.
#include <cstring>
#include <new>

#include "api/qvenvironment.h"
#include "api/qvplatformservices.h"
#include "api/qvsymbolreplacement.h"

using Quorvane::QVMutex;

namespace {

void* Allocate(const _qvsymbol_variant_env* table, int64_t size) {
  return table->allocate(static_cast<uint64_t>(size > 0 ? size : 1));
}

template <typename Unit>
Unit* Widened(_qvsymbol_variant_env* table, const char* bytes, int64_t n) {
  auto* form = static_cast<Unit*>(Allocate(table, n * static_cast<int64_t>(sizeof(Unit))));
  if (form == nullptr) return nullptr;
  for (int64_t i = 0; i < n; ++i) form[i] = static_cast<unsigned char>(bytes[i]);
  return form;
}

char* Copied(_qvsymbol_variant_env* table, const char* bytes, int64_t n, bool terminated) {
  auto* form = static_cast<char*>(Allocate(table, n + (terminated ? 1 : 0)));
  if (form == nullptr) return nullptr;
  std::memcpy(form, bytes, static_cast<size_t>(n));
  if (terminated) form[n] = '\0';
  return form;
}

bool SevenBitQ(const char* name, long length) {
  for (long i = 0; i < length; ++i) {
    if (static_cast<unsigned char>(name[i]) > 127) return false;
  }
  return true;
}

_qvsymbol_replacement* NewRecord(_qvsymbol_variant_env* table, const char* from, long from_length,
                                 const char* to, long to_length) {
  _qvsymbol_variant* from_variant = make_new_symbol_variant(table, from, from_length);
  if (from_variant == nullptr) return nullptr;
  _qvsymbol_variant* to_variant = make_new_symbol_variant(table, to, to_length);
  void* block = to_variant != nullptr ? table->allocate(sizeof(_qvsymbol_replacement)) : nullptr;
  if (block == nullptr) {
    free_symbol_variant(table, to_variant);
    free_symbol_variant(table, from_variant);
    return nullptr;
  }
  auto* record = new (block) _qvsymbol_replacement;
  record->from = from_variant;
  record->to = to_variant;
  record->shares.store(1);
  return record;
}

void Share(_qvsymbol_replacement* record) { record->shares.fetch_add(1); }

// Drops the table's share of a record; the last share frees it.
void Release(_qvsymbol_variant_env* table, _qvsymbol_replacement* record) {
  if (record == nullptr || record->shares.fetch_sub(1) != 1) return;
  free_symbol_variant(table, record->to);
  free_symbol_variant(table, record->from);
  record->~_qvsymbol_replacement();
  table->deallocate(record);
}

// Map mode needs its lock and map; both are kept once made.
bool MakeLockAndMap(_qvsymbol_variant_env* table) {
  if (table->lock == nullptr) {
    table->lock = qvplatform::CreateUnnamedHandle(Quorvane::QVInProcessMutex, false);
    if (table->lock == nullptr) return false;
  }
  if (table->map == nullptr) {
    try {
      table->map = new QVSymbolReplacementMap();
    } catch (...) {
      return false;
    }
  }
  return true;
}

_qvsymbol_variant_env* NewTable(qv_environment* environment) {
  if (environment == nullptr || environment->allocate == nullptr || environment->deallocate == nullptr) {
    return nullptr;
  }
  auto* table = static_cast<_qvsymbol_variant_env*>(environment->allocate(sizeof(_qvsymbol_variant_env)));
  if (table == nullptr) return nullptr;
  table->environment = environment;
  table->allocate = environment->allocate;
  table->deallocate = environment->deallocate;
  table->lock = nullptr;
  table->map = nullptr;
  table->next_index = 0;
  table->slot = nullptr;
  table->single = 1;
  return table;
}

}  // namespace

_qvsymbol_variant* make_new_symbol_variant(_qvsymbol_variant_env* table, const char* bytes, int64_t n) {
  if (table == nullptr || bytes == nullptr || n < 0) return nullptr;
  auto* variant = static_cast<_qvsymbol_variant*>(table->allocate(sizeof(_qvsymbol_variant)));
  if (variant == nullptr) return nullptr;
  std::memset(variant, 0, sizeof *variant);
  variant->ascii = Copied(table, bytes, n, true);
  variant->bytes = variant->ascii != nullptr ? Copied(table, bytes, n, true) : nullptr;
  variant->ucs2 = variant->bytes != nullptr ? Widened<uint16_t>(table, bytes, n) : nullptr;
  variant->utf8 = variant->ucs2 != nullptr ? reinterpret_cast<unsigned char*>(Copied(table, bytes, n, false))
                                           : nullptr;
  variant->utf16 = variant->utf8 != nullptr ? Widened<uint16_t>(table, bytes, n) : nullptr;
  variant->utf32 = variant->utf16 != nullptr ? Widened<uint32_t>(table, bytes, n) : nullptr;
  if (variant->utf32 == nullptr) {
    free_symbol_variant(table, variant);
    return nullptr;
  }
  variant->ascii_length = variant->bytes_length = variant->ucs2_length = n;
  variant->utf8_length = variant->utf16_length = variant->utf32_length = n;
  variant->length = n;
  return variant;
}

void free_symbol_variant(_qvsymbol_variant_env* table, _qvsymbol_variant* variant) {
  if (table == nullptr || variant == nullptr) return;
  void* forms[] = {variant->utf32, variant->utf16, variant->utf8, variant->ucs2, variant->bytes, variant->ascii};
  for (void* form : forms) {
    if (form != nullptr) table->deallocate(form);
  }
  table->deallocate(variant);
}

_qvsymbol_variant_env* QVNewSymbolVariantEnv(qv_environment* environment) { return NewTable(environment); }

_qvsymbol_variant_env* QVDuplicateSymbolVariantEnv(_qvsymbol_variant_env* source) {
  if (source == nullptr) return nullptr;
  _qvsymbol_variant_env* copy = NewTable(source->environment);
  if (copy == nullptr) return nullptr;
  if (source->single != 0) {
    // The slot keeps its index in the copy, so both links name it alike.
    copy->slot = source->slot;
    if (copy->slot != nullptr) Share(copy->slot);
    copy->next_index = source->next_index;
    return copy;
  }
  copy->single = 0;
  if (!MakeLockAndMap(copy)) {
    QVDestroySymbolVariantEnv(copy);
    return nullptr;
  }
  try {
    QVMutex guard(source->lock);
    for (const auto& [index, record] : source->map->entries) {
      copy->map->entries.emplace(index, record);
      Share(record);
    }
  } catch (...) {
    QVDestroySymbolVariantEnv(copy);
    return nullptr;
  }
  copy->next_index = copy->map->entries.empty() ? 0 : copy->map->entries.rbegin()->first + 1;
  return copy;
}

void QVDestroySymbolVariantEnv(_qvsymbol_variant_env* table) {
  if (table == nullptr) return;
  Release(table, table->slot);
  table->slot = nullptr;
  if (table->map != nullptr) {
    {
      QVMutex guard(table->lock);
      for (const auto& entry : table->map->entries) Release(table, entry.second);
      table->map->entries.clear();
    }
    delete table->map;
  }
  delete table->lock;
  table->deallocate(table);
}

void QVClearSymbolVariantEnv(_qvsymbol_variant_env* table) {
  if (table == nullptr) return;
  Release(table, table->slot);
  table->slot = nullptr;
  if (table->single == 0 && table->map != nullptr) {
    QVMutex guard(table->lock);
    for (const auto& entry : table->map->entries) Release(table, entry.second);
    table->map->entries.clear();
  }
}

int QVSymbolVariantEnvHasReplacement(_qvsymbol_variant_env* table) {
  if (table == nullptr) return 0;
  if (table->single != 0) return table->slot != nullptr ? 1 : 0;
  QVMutex guard(table->lock);
  return table->map != nullptr && !table->map->entries.empty() ? 1 : 0;
}

long QVSymbolVariantAddReplacement(_qvsymbol_variant_env* table, const char* from, long from_length,
                                   const char* to, long to_length) {
  if (table == nullptr || from == nullptr || to == nullptr || from_length < 0 || to_length < 0) return -1;
  // Each byte stands for one character in every form: only 7-bit names keep
  // their meaning in the wide encodings.
  if (!SevenBitQ(from, from_length) || !SevenBitQ(to, to_length)) return -1;
  _qvsymbol_replacement* record = NewRecord(table, from, from_length, to, to_length);
  if (record == nullptr) return -1;
  try {
    if (table->single == 0) {
      QVMutex guard(table->lock);
      table->map->entries.emplace(table->next_index, record);
      return table->next_index++;
    }
    if (table->slot == nullptr) {
      table->slot = record;
      return table->next_index;
    }
    if (!MakeLockAndMap(table)) {
      Release(table, record);
      return -1;
    }
    const int64_t k = table->next_index;
    {
      QVMutex guard(table->lock);
      auto& entries = table->map->entries;
      entries.emplace(k, table->slot);
      try {
        entries.emplace(k + 1, record);
      } catch (...) {
        entries.erase(k);
        throw;
      }
      table->next_index = k + 2;
    }
    table->slot = nullptr;
    table->single = 0;
    return k + 1;
  } catch (...) {
    Release(table, record);
    return -1;
  }
}

long QVSymbolVariantRemoveReplacement(_qvsymbol_variant_env* table, long index) {
  if (table == nullptr) return 0;
  if (table->single != 0) {
    if (table->slot != nullptr && index == table->next_index) {
      Release(table, table->slot);
      table->slot = nullptr;
    }
    return 1;
  }
  QVMutex guard(table->lock);
  auto& entries = table->map->entries;
  const auto found = entries.find(index);
  if (found == entries.end()) return 1;
  _qvsymbol_replacement* record = found->second;
  entries.erase(found);
  Release(table, record);
  if (entries.size() == 1) {
    table->next_index = entries.begin()->first;
    table->slot = entries.begin()->second;
    entries.clear();
    table->single = 1;
  }
  return 1;
}
