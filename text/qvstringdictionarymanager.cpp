#include "text/qvstringdictionarymanager.h"

#include <iterator>

namespace Quorvane {

namespace {

const QVBuiltInDictionaryTables kBuiltInTables[] = {
    {1, rawSymbolDictionaryOne, rawStringDictionaryOne},
};

bool HoldsNames(const QVRawStringDictionary* raw) { return raw != nullptr && raw->name != nullptr; }

}  // namespace

QVStringDictionaryHandle QVStringDictionaryManager::getDictionaryForKey(uint64_t key) const {
  const auto it = dictionaries_.find(key);
  return it == dictionaries_.end() ? QVStringDictionaryHandle() : it->second;
}

void QVStringDictionaryManager::setDictionaryForKey(uint64_t key, const QVStringDictionaryHandle& dictionary) {
  QVStringDictionaryHandle& entry = dictionaries_[key];
  if (!entry) entry = dictionary;
}

QVStringDictionaryHandle& QVStringDictionaryManager::operator[](uint64_t key) { return dictionaries_[key]; }

bool QVStringDictionaryManager::hasDictionaryForKey(uint64_t key) const {
  const auto it = dictionaries_.find(key);
  return it != dictionaries_.end() && it->second;
}

QVDictionaryKeyList QVStringDictionaryManager::supportedKeysOf(const QVBuiltInDictionaryTables* tables,
                                                               size_t count) {
  QVDictionaryKeyList keys;
  for (size_t i = 0; i < count; ++i) {
    if (HoldsNames(tables[i].symbols) && HoldsNames(tables[i].strings)) keys.push_back(tables[i].key);
  }
  return keys;
}

uint64_t QVStringDictionaryManager::latestKeyOf(const QVDictionaryKeyList& keys) {
  uint64_t latest = 0;
  for (uint64_t key : keys) latest = key > latest ? key : latest;
  return latest;
}

QVDictionaryKeyList QVStringDictionaryManager::supportedKeys() {
  return supportedKeysOf(kBuiltInTables, std::size(kBuiltInTables));
}

uint64_t QVStringDictionaryManager::latestDictionaryKey() { return latestKeyOf(supportedKeys()); }

QVStringDictionaryHandle QVStringDictionaryManager::latestDictionary() const {
  return getDictionaryForKey(latestDictionaryKey());
}

void QVStringDictionaryManager::unloadDictionaries() {
  for (auto& entry : dictionaries_) {
    if (entry.second) entry.second->clear();
  }
  dictionaries_.clear();
}

void QVStringDictionaryManager::print(std::ostream& os) const {
  os << "<QVStringDictionaryManager><dictionaryTable>";
  for (const auto& entry : dictionaries_) {
    os << "<key_type>" << entry.first << "</key_type><dictionary_table>";
    if (entry.second) entry.second->print(os);
    os << "</dictionary_table>";
  }
  os << "</dictionaryTable></QVStringDictionaryManager>";
}

std::ostream& operator<<(std::ostream& os, const QVStringDictionaryManager& manager) {
  manager.print(os);
  return os;
}

}  // namespace Quorvane
