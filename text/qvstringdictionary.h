// Dictionaries that let two sides of a link send a well-known name as a 16-bit
// code: one table maps codes to names and names to codes, filled from a raw
// table of records.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <ostream>

#include "text/qvutf8string.h"
#include "utilities/qvobject.h"
#include "utilities/qvsmartpointer.h"

namespace Quorvane {

// One record of a raw table: a zero-terminated ASCII name and its code. A
// table ends with a record whose name is null.
struct QVRawStringDictionary {
  const char* name;
  uint16_t code;
};

// The built-in raw tables of version key 1.
extern const QVRawStringDictionary rawSymbolDictionaryOne[];
extern const QVRawStringDictionary rawStringDictionaryOne[];

using QVUTF8StringHandle = QVSmartPointer<QVUTF8String>;

// Orders handles by the strings they hold (shorter first, then bytes).
struct QVUTF8StringHandleLess {
  bool operator()(const QVUTF8StringHandle& a, const QVUTF8StringHandle& b) const { return a < b; }
};

class QVStringDictionary : public QVObject {
 public:
  using NumberToStringTable =
      std::map<uint16_t, QVUTF8StringHandle, std::less<uint16_t>,
               QVStdAllocator<std::pair<const uint16_t, QVUTF8StringHandle>>>;
  using StringToNumberTable =
      std::map<QVUTF8StringHandle, uint16_t, QVUTF8StringHandleLess,
               QVStdAllocator<std::pair<const QVUTF8StringHandle, uint16_t>>>;

  // getNumberForString's answer for a string the dictionary does not hold.
  static constexpr int32_t kNoCode = -1;

  QVStringDictionary() = default;
  explicit QVStringDictionary(const QVRawStringDictionary* raw);
  ~QVStringDictionary() override = default;

  static QVSmartPointer<QVStringDictionary> init();
  static QVSmartPointer<QVStringDictionary> initWithRawDictionary(const QVRawStringDictionary* raw);

  // Adds every record up to the terminator; an entry already present keeps its
  // value. A null table does nothing.
  void loadRawDictionary(const QVRawStringDictionary* raw);
  void load(const QVRawStringDictionary* raw) { loadRawDictionary(raw); }
  void clear();
  void clearAndLoad(const QVRawStringDictionary* raw);

  bool hasKey(uint16_t code) const;
  // No put replaces a name by its code: false for every string.
  bool hasKey(const QVUTF8StringHandle& string) const;

  // Lookups never change the dictionary. The code of the string, or kNoCode
  // when it holds no such string.
  int32_t getNumberForString(const QVUTF8StringHandle& string) const;
  // A handle on the code's string, or an empty handle when the code is absent.
  QVUTF8StringHandle getStringForNumber(uint16_t code) const;

  const NumberToStringTable& numberToStringTable() const { return numberToString_; }
  const StringToNumberTable& stringToNumberTable() const { return stringToNumber_; }

  bool operator==(const QVStringDictionary& other) const;
  bool operator!=(const QVStringDictionary& other) const { return !(*this == other); }

  void print(std::ostream& os) const;

 private:
  NumberToStringTable numberToString_;
  StringToNumberTable stringToNumber_;
};

std::ostream& operator<<(std::ostream& os, const QVStringDictionary& dictionary);

}  // namespace Quorvane
