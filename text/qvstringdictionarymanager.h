// The dictionaries of one kind (symbol names or strings) by version key.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <ostream>

#include "text/qvstringdictionary.h"
#include "utilities/qvobject.h"
#include "utilities/qvsmartpointer.h"

namespace Quorvane {

using QVStringDictionaryHandle = QVSmartPointer<QVStringDictionary>;
using QVDictionaryKeyList = std::list<uint64_t, QVStdAllocator<uint64_t>>;

// The built-in raw tables of one version key.
struct QVBuiltInDictionaryTables {
  uint64_t key;
  const QVRawStringDictionary* symbols;
  const QVRawStringDictionary* strings;
};

class QVStringDictionaryManager : public QVObject {
 public:
  using DictionaryTable =
      std::map<uint64_t, QVStringDictionaryHandle, std::less<uint64_t>,
               QVStdAllocator<std::pair<const uint64_t, QVStringDictionaryHandle>>>;

  QVStringDictionaryManager() = default;
  ~QVStringDictionaryManager() override = default;

  // The key's dictionary, or an empty handle.
  QVStringDictionaryHandle getDictionaryForKey(uint64_t key) const;
  // Stores the handle when the key has no dictionary yet; an existing one is kept.
  void setDictionaryForKey(uint64_t key, const QVStringDictionaryHandle& dictionary);
  // The key's entry, inserted empty when absent. An empty entry is no
  // dictionary: hasDictionaryForKey stays false and setDictionaryForKey fills it.
  QVStringDictionaryHandle& operator[](uint64_t key);
  bool hasDictionaryForKey(uint64_t key) const;

  // The keys whose built-in tables both hold names: a key is offered to a peer
  // only when its codes can be expanded.
  static QVDictionaryKeyList supportedKeys();
  // The largest supported key, 0 when there is none.
  static uint64_t latestDictionaryKey();
  QVStringDictionaryHandle latestDictionary() const;

  // Clears every dictionary held, then empties the key map.
  void unloadDictionaries();

  const DictionaryTable& dictionaryTable() const { return dictionaries_; }

  void print(std::ostream& os) const;

  // supportedKeys over a given list of built-in tables.
  static QVDictionaryKeyList supportedKeysOf(const QVBuiltInDictionaryTables* tables, size_t count);
  static uint64_t latestKeyOf(const QVDictionaryKeyList& keys);

 private:
  DictionaryTable dictionaries_;
};

std::ostream& operator<<(std::ostream& os, const QVStringDictionaryManager& manager);

}  // namespace Quorvane
