// Decoding the peer's handshake lines and feature texts.
#include <cstring>
#include <iterator>
#include <memory>
#include <mutex>
#include <new>

#include "api/qvenvironment.h"
#include "api/qvhandshake.h"
#include "api/qvhandshakeinternal.h"
#include "api/qvlink.h"
#include "user/qvargvparse.h"
#include "user/qvargvstrings.h"
#include "user/qvlinkoptions.h"

namespace {

constexpr long kMaxLineWords = 24;
constexpr long kMaxListWords = 32;
constexpr char kUniqueId[] = "UniqueID";
constexpr char kLevel6Word[] = "Support6digitAsciiUnicode";
constexpr uint64_t kAbsent = ~uint64_t{0};

// Rows of format_arguments.
enum : int { kRowLevel = 0, kRowNumerics = 1, kRowTokens = 2, kRowTextId = 3, kRowFormats = 4, kRowDecoders = 5 };

// The test override of the offered keys, guarded by stringDictionaryHandle.
const Quorvane::QVBuiltInDictionaryTables* gTestTables = nullptr;
size_t gTestTableCount = 0;

// A word's leading decimal digits, saturating at kTooLarge; false when it
// does not begin with a digit.
constexpr uint64_t kTooLarge = 1000;
bool ReadDecimal(const char* word, uint64_t* out) {
  if (*word < '0' || *word > '9') return false;
  uint64_t value = 0;
  for (; *word >= '0' && *word <= '9'; ++word) {
    value = value * 10 + static_cast<uint64_t>(*word - '0');
    if (value >= kTooLarge) value = kTooLarge;
  }
  *out = value;
  return true;
}

// A writable copy of text for splitting; null when memory runs out.
std::unique_ptr<char[]> SplitBuffer(const char* text) {
  return std::unique_ptr<char[]>(new (std::nothrow) char[std::strlen(text) + 1]);
}

// Calls set(N) for each decimal number N below 128 in a list separated by
// commas and blanks (at most kMaxListWords words).
template <typename SetBit>
bool ForEachListNumber(const char* list, SetBit set) {
  std::unique_ptr<char[]> buffer = SplitBuffer(list);
  if (buffer == nullptr) return false;
  char* words[kMaxListWords + 1];
  const long count = qvas__string_to_argv_sep(list, buffer.get(), words, kMaxListWords, ", ");
  for (long i = 0; i < count; ++i) {
    uint64_t n = 0;
    if (ReadDecimal(words[i], &n) && n < 128) set(static_cast<unsigned>(n));
  }
  return true;
}

void SetBit(uint64_t bits[2], unsigned n) { bits[n / 64] |= uint64_t{1} << (n % 64); }

void SetEncoding(set_qvbst& set, unsigned n) {
  uint64_t bits[2] = {set.mask, set.reserved};
  SetBit(bits, n);
  set.mask = bits[0];
  set.reserved = bits[1];
}

void CopyNumericsId(feature_set* features, const char* name) {
  std::memset(features->numerics_id, 0, sizeof features->numerics_id);
  std::strncpy(features->numerics_id, name, sizeof features->numerics_id - 1);
}

// The values one level-3 parse binds; the option table is copied so that
// concurrent parses never share destinations.
struct Level3Values {
  uint64_t level = kAbsent;
  uint64_t decoders = kAbsent;
  const char* numerics = kUniqueId;
  const char* tokens = "";
  const char* textId = kUniqueId;
  const char* formats = "1";
};

bool ParseLevel3(const qv_environment& environment, char** words, long count, Level3Values* values) {
  qvoption_row rows[kFormatArgumentRows + 1];
  std::memcpy(rows, environment.formatArguments, sizeof rows);
  rows[kRowLevel].destination = &values->level;
  rows[kRowNumerics].destination = &values->numerics;
  rows[kRowTokens].destination = &values->tokens;
  rows[kRowTextId].destination = &values->textId;
  rows[kRowFormats].destination = &values->formats;
  rows[kRowDecoders].destination = &values->decoders;
  return parse_argv(count, words, rows) != kParseArgvNoMemory;
}

bool ApplyLevel3(const qv_environment& environment, const Level3Values& values, feature_set* features) {
  if (values.level != kAbsent) {
    features->level = values.level;
    features->level_again = values.level;
  }
  const bool sameNumerics =
      std::strcmp(values.numerics, kUniqueId) != 0 && std::strcmp(values.numerics, environment.ownNumericsId) == 0;
  const bool typesRead = ForEachListNumber(values.tokens, [&](unsigned n) {
    if ((n & 32) != 0 || sameNumerics) SetBit(features->binary_types, n);
  });
  if (!typesRead) return false;
  CopyNumericsId(features, values.numerics);
  if (*values.formats == '\0') {
    SetEncoding(features->encodings, 7);
  } else {
    const bool sameText =
        std::strcmp(values.textId, kUniqueId) != 0 && std::strcmp(values.textId, environment.textVersion) == 0;
    const bool formatsRead = ForEachListNumber(values.formats, [&](unsigned n) {
      if (n <= 7 || sameText) SetEncoding(features->encodings, n);
    });
    if (!formatsRead) return false;
  }
  features->features = values.decoders != kAbsent ? values.decoders : QVFEATURE_ALL;
  return true;
}

// The first four words of a line split at single blanks; missing ones empty.
void FirstFourWords(const char* line, std::string_view out[4]) {
  for (int i = 0; i < 4; ++i) {
    const char* blank = std::strchr(line, ' ');
    const size_t length = blank != nullptr ? static_cast<size_t>(blank - line) : std::strlen(line);
    out[i] = std::string_view(line, length);
    line += length;
    if (*line == ' ') ++line;
  }
}

// Chooses the key for one kind of dictionary and gives the link its
// dictionary (empty for key 0 or when none could be loaded).
Quorvane::QVSmartPointer<Quorvane::QVStringDictionary> NegotiateDictionary(
    Quorvane::QVStringDictionaryManager& manager, std::string_view keys, bool (*load)(uint64_t)) {
  try {
    const std::string list(keys);
    const uint64_t key = determineTheCorrectKey(manager, list.c_str());
    load(key);
    std::lock_guard<std::recursive_mutex> guard(qv_environment::stringDictionaryHandle());
    return key != 0 ? manager.getDictionaryForKey(key) : Quorvane::QVSmartPointer<Quorvane::QVStringDictionary>();
  } catch (...) {
    return {};
  }
}

}  // namespace

namespace qvhandshake {

void ResetPeerFeatures(feature_set* features) {
  features->features = 0;
  CopyNumericsId(features, kUniqueId);
  features->binary_types[0] = features->binary_types[1] = 0;
  features->encodings = set_qvbst{0, 0};
  SetEncoding(features->encodings, 7);
  features->string_optimization = 0;
}

}  // namespace qvhandshake

int decode_version3_info(qv_environment* environment, const char* line, feature_set* features) {
  if (environment == nullptr || line == nullptr || features == nullptr || environment->formatArguments == nullptr) {
    return 0;
  }
  std::unique_ptr<char[]> buffer = SplitBuffer(line);
  if (buffer == nullptr) return 0;
  char* words[kMaxLineWords + 1];
  const long count = qvas__string_to_argv(line, buffer.get(), words, kMaxLineWords);
  if (count < 0) return 0;
  try {
    std::unique_lock<std::mutex> guard;
    if (environment->formatArgumentsLock != nullptr) guard = std::unique_lock<std::mutex>(*environment->formatArgumentsLock);
    Level3Values values;
    if (!ParseLevel3(*environment, words, count, &values)) return 0;
    return ApplyLevel3(*environment, values, features) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

int decode_version4_info(QVLink* link, const char* line, feature_set* features) {
  if (features != nullptr) features->string_optimization = 0;
  if (link == nullptr) return 1;
  const char* id = "";
  char* words[kMaxLineWords + 1] = {};
  std::unique_ptr<char[]> buffer = line != nullptr ? SplitBuffer(line) : nullptr;
  if (buffer != nullptr && qvas__string_to_argv(line, buffer.get(), words, kMaxLineWords) >= 2) id = words[1];
  QVSetLinkedEnvID(link, id, std::strlen(id));
  return 1;
}

int decode_version5_info(qv_environment* /*environment*/, QVLink* link, const char* line, feature_set* features) {
  if (line == nullptr) return 0;
  std::string_view words[4];
  FirstFourWords(line, words);
  auto symbols = NegotiateDictionary(qv_environment::symbolManager(), words[1],
                                     &qv_environment::loadSymbolDictionaryForKey);
  auto strings = NegotiateDictionary(qv_environment::stringManager(), words[3],
                                     &qv_environment::loadStringDictionaryForKey);
  if (link != nullptr) {
    link->symbolDictionary = symbols;
    link->symbolDictionaryInUse = 1;
    link->stringDictionary = strings;
    link->stringDictionaryInUse = 1;
  }
  if (features != nullptr) features->string_optimization = 1;
  return 1;
}

int decode_version6_info(QVLink* link, const char* line, feature_set* /*features*/) {
  const bool supported = line != nullptr && std::strncmp(line, kLevel6Word, sizeof kLevel6Word - 1) == 0;
  if (!supported && link != nullptr) link->sixDigitUnicode = 0;
  return line != nullptr ? 1 : 0;
}

uint64_t determineTheCorrectKey(Quorvane::QVStringDictionaryManager& /*manager*/, const char* keys) {
  if (keys == nullptr) return 0;
  try {
    // Both managers offer the same keys.
    const Quorvane::QVDictionaryKeyList supported = qvhs__supported_keys();
    uint64_t chosen = 0;
    for (const char* piece = keys;;) {
      uint64_t n = 0;  // a piece without a number counts as 0
      ReadDecimal(piece, &n);
      for (uint64_t key : supported) {
        if (key == n && key > chosen) chosen = key;
      }
      const char* comma = std::strchr(piece, ',');
      if (comma == nullptr) break;
      piece = comma + 1;
    }
    return chosen;
  } catch (...) {
    return 0;
  }
}

int qvhs__decode_feature_text(qv_environment* environment, const char* text, feature_set* features) {
  if (text == nullptr || features == nullptr) return 0;
  *features = feature_set{};
  qvhandshake::ResetPeerFeatures(features);
  features->encodings = set_qvbst{0, 0};
  return decode_version3_info(environment, text, features);
}

Quorvane::QVDictionaryKeyList qvhs__supported_keys() {
  std::lock_guard<std::recursive_mutex> guard(qv_environment::stringDictionaryHandle());
  if (gTestTables != nullptr) return Quorvane::QVStringDictionaryManager::supportedKeysOf(gTestTables, gTestTableCount);
  return Quorvane::QVStringDictionaryManager::supportedKeys();
}

void qvhs__install_dictionary_tables_for_tests(const Quorvane::QVBuiltInDictionaryTables* tables, size_t count) {
  std::lock_guard<std::recursive_mutex> guard(qv_environment::stringDictionaryHandle());
  gTestTables = count != 0 ? tables : nullptr;
  gTestTableCount = gTestTables != nullptr ? count : 0;
  for (size_t i = 0; i < gTestTableCount; ++i) {
    qv_environment::symbolManager().setDictionaryForKey(
        tables[i].key, Quorvane::QVStringDictionary::initWithRawDictionary(tables[i].symbols));
    qv_environment::stringManager().setDictionaryForKey(
        tables[i].key, Quorvane::QVStringDictionary::initWithRawDictionary(tables[i].strings));
  }
}
