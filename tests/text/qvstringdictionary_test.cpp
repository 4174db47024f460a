// The string and symbol dictionaries on a synthetic raw table: loading, both
// lookups (which never insert), equality, the manager's keys and unloading.
#include <gtest/gtest.h>

#include <iterator>
#include <sstream>

#include "text/qvstringdictionary.h"
#include "text/qvstringdictionarymanager.h"

namespace {

using namespace Quorvane;

// Codes 1 to 5 as a symbol table would hold them, with one name that repeats
// and one code that repeats (the first entry of each wins).
const QVRawStringDictionary kTable[] = {
    {"List", 1}, {"Plus", 2}, {"Times", 3}, {"Power", 4}, {"Rule", 5},
    {"List", 9},   // name already present under 1
    {"Other", 2},  // code already present for "Plus"
    {nullptr, 0}, {"AfterTheEnd", 6},
};

QVUTF8StringHandle Name(const char* text) { return QVUTF8String::initWithASCIIString(text); }

std::string Text(const QVUTF8StringHandle& h) {
  return h ? std::string(reinterpret_cast<const char*>(h->bytes()), h->getLengthOfBytes()) : "<empty>";
}

TEST(QVStringDictionary, LoadsUpToTheTerminatorAndFirstEntriesWin) {
  const QVStringDictionary d(kTable);
  EXPECT_EQ(d.numberToStringTable().size(), 6u);  // codes 1-5 and 9
  EXPECT_EQ(d.stringToNumberTable().size(), 6u);  // five names and "Other"
  EXPECT_TRUE(d.hasKey(uint16_t{1}));
  EXPECT_TRUE(d.hasKey(uint16_t{5}));
  EXPECT_FALSE(d.hasKey(uint16_t{0}));
  EXPECT_FALSE(d.hasKey(uint16_t{6}));  // after the terminator
  EXPECT_EQ(Text(d.getStringForNumber(2)), "Plus");
  EXPECT_EQ(Text(d.getStringForNumber(9)), "List");
  EXPECT_EQ(d.getNumberForString(Name("List")), 1);
  EXPECT_EQ(d.getNumberForString(Name("Other")), 2);
  EXPECT_EQ(d.getNumberForString(Name("Rule")), 5);
  // Names are held as ASCII strings: one character per byte.
  EXPECT_EQ(d.getStringForNumber(3)->getNumberOfCharacters(), 5u);
  // No put replaces a name by its code.
  EXPECT_FALSE(d.hasKey(Name("List")));
}

TEST(QVStringDictionary, LookupsNeverInsert) {
  QVStringDictionary d(kTable);
  const QVStringDictionary before(kTable);
  // A code the table lacks is a miss, and stays one.
  EXPECT_FALSE(d.getStringForNumber(4487));
  EXPECT_FALSE(d.hasKey(uint16_t{4487}));
  EXPECT_FALSE(d.getStringForNumber(0));
  EXPECT_FALSE(d.hasKey(uint16_t{0}));
  // An unknown name is a miss, never a made-up code 0.
  EXPECT_EQ(d.getNumberForString(Name("Unknown")), QVStringDictionary::kNoCode);
  EXPECT_EQ(d.getNumberForString(QVUTF8StringHandle()), QVStringDictionary::kNoCode);
  EXPECT_EQ(d.getNumberForString(Name("Unknown")), QVStringDictionary::kNoCode);
  EXPECT_EQ(d, before);
  EXPECT_EQ(d.numberToStringTable().size(), 6u);
  EXPECT_EQ(d.stringToNumberTable().size(), 6u);
}

TEST(QVStringDictionary, LoadingTwiceChangesNothingAndClearEmpties) {
  QVStringDictionary d(kTable);
  const QVStringDictionary once(kTable);
  d.load(kTable);
  d.loadRawDictionary(nullptr);
  EXPECT_EQ(d, once);
  d.clear();
  EXPECT_TRUE(d.numberToStringTable().empty());
  EXPECT_TRUE(d.stringToNumberTable().empty());
  EXPECT_NE(d, once);
  EXPECT_EQ(d, QVStringDictionary());
  const QVRawStringDictionary other[] = {{"Plus", 1}, {nullptr, 0}};
  d.load(other);
  d.clearAndLoad(kTable);
  EXPECT_EQ(d, once);
}

TEST(QVStringDictionary, EqualityWalksBothMaps) {
  const QVRawStringDictionary a[] = {{"x", 1}, {"y", 2}, {nullptr, 0}};
  const QVRawStringDictionary renamed[] = {{"x", 1}, {"z", 2}, {nullptr, 0}};
  const QVRawStringDictionary renumbered[] = {{"x", 1}, {"y", 3}, {nullptr, 0}};
  const QVStringDictionary d(a);
  EXPECT_EQ(d, d);
  EXPECT_EQ(d, QVStringDictionary(a));
  EXPECT_NE(d, QVStringDictionary(renamed));
  EXPECT_NE(d, QVStringDictionary(renumbered));
}

TEST(QVStringDictionary, MakersGiveLockedOwningHandles) {
  const QVSmartPointer<QVStringDictionary> empty = QVStringDictionary::init();
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty.useCount(), 1u);
  EXPECT_TRUE(empty.hasLockQ());
  EXPECT_TRUE(empty->numberToStringTable().empty());
  const QVSmartPointer<QVStringDictionary> loaded = QVStringDictionary::initWithRawDictionary(kTable);
  EXPECT_TRUE(loaded.hasLockQ());
  EXPECT_EQ(*loaded, QVStringDictionary(kTable));
}

TEST(QVStringDictionary, PrintsBothTables) {
  const QVRawStringDictionary t[] = {{"ab", 7}, {nullptr, 0}};
  std::ostringstream os;
  os << QVStringDictionary(t);
  const std::string s = "<QVUTF8String><theBytes>ab</theBytes><lengthOfBytes>2</lengthOfBytes>"
                        "<numberOfCharacters>2</numberOfCharacters></QVUTF8String>";
  EXPECT_EQ(os.str(), "<QVStringDictionary><numberToStringTable><number>7</number><string>" + s +
                          "</string></numberToStringTable><stringToNumberTable><string>" + s +
                          "</string><number>7</number></stringToNumberTable></QVStringDictionary>");
}

TEST(QVStringDictionaryManager, HoldsDictionariesByKey) {
  QVStringDictionaryManager m;
  EXPECT_FALSE(m.hasDictionaryForKey(1));
  EXPECT_FALSE(m.getDictionaryForKey(1));
  const auto first = QVStringDictionary::initWithRawDictionary(kTable);
  const auto second = QVStringDictionary::init();
  m.setDictionaryForKey(1, first);
  m.setDictionaryForKey(1, second);  // an existing entry is kept
  EXPECT_EQ(m.getDictionaryForKey(1).get(), first.get());
  EXPECT_TRUE(m.hasDictionaryForKey(1));
  // operator[] gives the entry; an empty entry is no dictionary and can be filled.
  EXPECT_FALSE(m[7]);
  EXPECT_FALSE(m.hasDictionaryForKey(7));
  m.setDictionaryForKey(7, second);
  EXPECT_EQ(m.getDictionaryForKey(7).get(), second.get());
  EXPECT_EQ(m[1].get(), first.get());
}

TEST(QVStringDictionaryManager, SupportedKeysNameOnlyTablesThatHoldNames) {
  const QVRawStringDictionary empty[] = {{nullptr, 0}};
  const QVBuiltInDictionaryTables full[] = {{1, kTable, kTable}};
  const QVBuiltInDictionaryTables mixed[] = {{1, kTable, kTable}, {2, kTable, empty}, {3, nullptr, kTable}};
  const QVDictionaryKeyList keys = QVStringDictionaryManager::supportedKeysOf(full, std::size(full));
  EXPECT_EQ(keys, QVDictionaryKeyList({1}));
  EXPECT_EQ(QVStringDictionaryManager::latestKeyOf(keys), 1u);
  EXPECT_EQ(QVStringDictionaryManager::supportedKeysOf(mixed, std::size(mixed)), QVDictionaryKeyList({1}));
  EXPECT_EQ(QVStringDictionaryManager::latestKeyOf({}), 0u);
  EXPECT_EQ(QVStringDictionaryManager::latestKeyOf({3, 1, 2}), 3u);

  // The built-in tables hold no names yet: no key is offered, whatever a
  // manager holds, and the latest dictionary is none.
  QVStringDictionaryManager m;
  m.setDictionaryForKey(1, QVStringDictionary::initWithRawDictionary(kTable));
  EXPECT_EQ(rawSymbolDictionaryOne[0].name, nullptr);
  EXPECT_EQ(rawStringDictionaryOne[0].name, nullptr);
  EXPECT_TRUE(QVStringDictionaryManager::supportedKeys().empty());
  EXPECT_EQ(QVStringDictionaryManager::latestDictionaryKey(), 0u);
  EXPECT_FALSE(m.latestDictionary());
}

TEST(QVStringDictionaryManager, UnloadClearsEveryDictionaryAndEmptiesTheMap) {
  QVStringDictionaryManager m;
  const auto held = QVStringDictionary::initWithRawDictionary(kTable);
  m.setDictionaryForKey(1, held);
  (void)m[2];
  m.unloadDictionaries();
  EXPECT_TRUE(m.dictionaryTable().empty());
  EXPECT_FALSE(m.hasDictionaryForKey(1));
  // A handle kept elsewhere sees its dictionary emptied.
  EXPECT_TRUE(held->numberToStringTable().empty());
  m.unloadDictionaries();
}

TEST(QVStringDictionaryManager, Prints) {
  QVStringDictionaryManager m;
  m.setDictionaryForKey(3, QVStringDictionary::init());
  std::ostringstream os;
  os << m;
  EXPECT_EQ(os.str(),
            "<QVStringDictionaryManager><dictionaryTable><key_type>3</key_type><dictionary_table>"
            "<QVStringDictionary><numberToStringTable></numberToStringTable><stringToNumberTable>"
            "</stringToNumberTable></QVStringDictionary></dictionary_table></dictionaryTable>"
            "</QVStringDictionaryManager>");
}

}  // namespace
