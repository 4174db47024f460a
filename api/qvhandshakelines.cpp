// The lines this side writes in the handshake, and the feature text.
#include <cstdio>
#include <cstring>
#include <iterator>

#include "api/qvenvironment.h"
#include "api/qvhandshake.h"
#include "api/qvhandshakeinternal.h"
#include "user/qvargvstrings.h"

namespace qvhandshake {

namespace {

constexpr char kLevel2Line[] = "\n-libraryid '!&*' -decoders 0\n";
constexpr char kLevel6Word[] = "Support6digitAsciiUnicode";

// Joins words quoted into out and ends the text with LF; the words that do
// not fit within the line limit are left out.
long JoinLine(char* const* words, long count, char out[kLineBuffer]) {
  // The LF takes the place of the NUL, so the text may use one byte less
  // than the line limit.
  qvas__argv_to_string(out, kHandshakeLineLimit, count, words);
  size_t length = std::strlen(out);
  out[length++] = '\n';
  out[length] = '\0';
  return static_cast<long>(length);
}

// Keys joined by commas; false when they do not fit.
bool FormatKeys(const Quorvane::QVDictionaryKeyList& keys, char* out, size_t size) {
  size_t used = 0;
  out[0] = '\0';
  for (uint64_t key : keys) {
    const int n = std::snprintf(out + used, size - used, used == 0 ? "%llu" : ",%llu",
                                static_cast<unsigned long long>(key));
    if (n < 0 || static_cast<size_t>(n) >= size - used) return false;
    used += static_cast<size_t>(n);
  }
  return true;
}

long BuildLevel5Line(char out[kLineBuffer]) {
  char keys[kLineBuffer];
  try {
    if (!FormatKeys(qvhs__supported_keys(), keys, sizeof keys)) return -1;
  } catch (...) {
    return -1;
  }
  // Both managers support the same keys.
  const int n = std::snprintf(out, kLineBuffer, "-symboldicts %s -stringdicts %s\n", keys, keys);
  if (n < 0 || n > kHandshakeLineLimit) return -1;
  return n;
}

}  // namespace

void FormatBitList(const uint64_t bits[2], char out[kListBuffer]) {
  size_t used = 0;
  out[0] = '\0';
  for (unsigned bit = 0; bit < 128; ++bit) {
    if (((bits[bit / 64] >> (bit % 64)) & 1) == 0) continue;
    used += static_cast<size_t>(std::snprintf(out + used, kListBuffer - used, used == 0 ? "%u" : ",%u", bit));
  }
}

long BuildLevelLine(const qv_environment& environment, uint64_t level, char out[kLineBuffer]) {
  switch (level) {
    case 2:
      std::memcpy(out, kLevel2Line, sizeof kLevel2Line);
      return static_cast<long>(sizeof kLevel2Line - 1);
    case 3: {
      char types[kListBuffer];
      char formats[kListBuffer];
      FormatBitList(environment.ownFeatures.binary_types, types);
      const uint64_t encodings[2] = {environment.ownFeatures.encodings.mask,
                                     environment.ownFeatures.encodings.reserved};
      FormatBitList(encodings, formats);
      char* const words[] = {const_cast<char*>("-numericsid"), const_cast<char*>(environment.ownNumericsId),
                             const_cast<char*>("-tokens"),     types,
                             const_cast<char*>("-textid"),     const_cast<char*>(environment.textVersion),
                             const_cast<char*>("-formats"),    formats};
      return JoinLine(words, static_cast<long>(std::size(words)), out);
    }
    case 4: {
      char* const words[] = {const_cast<char*>("-envid"), const_cast<char*>(environment.environmentId)};
      return JoinLine(words, static_cast<long>(std::size(words)), out);
    }
    case 5:
      return BuildLevel5Line(out);
    case 6: {
      char* const words[] = {const_cast<char*>(kLevel6Word)};
      return JoinLine(words, 1, out);
    }
    default:
      return -1;
  }
}

}  // namespace qvhandshake

long put_feature_string(qv_environment* /*environment*/, const feature_set* features, char* buffer, long size) {
  if (features == nullptr) return -1;
  char level[24];
  char word[24];
  char types[qvhandshake::kListBuffer];
  char formats[qvhandshake::kListBuffer];
  std::snprintf(level, sizeof level, "%llu", static_cast<unsigned long long>(features->level));
  std::snprintf(word, sizeof word, "%llu", static_cast<unsigned long long>(features->features));
  qvhandshake::FormatBitList(features->binary_types, types);
  const uint64_t encodings[2] = {features->encodings.mask, features->encodings.reserved};
  qvhandshake::FormatBitList(encodings, formats);
  char* const words[] = {const_cast<char*>("Quorvane"), level,   const_cast<char*>("-tokens"),   types,
                         const_cast<char*>("-formats"), formats, const_cast<char*>("-decoders"), word};
  // The whole text first: what is missing is counted for all of it, so a
  // buffer that much larger holds it.
  char whole[sizeof types + sizeof formats + 128];
  qvas__argv_to_string(whole, sizeof whole, static_cast<long>(std::size(words)), words);
  const long needed = static_cast<long>(std::strlen(whole)) + 1;
  if (buffer == nullptr || size <= 0) return needed;
  char* limit = buffer + size;
  char* const* cursor = words;
  qvas__argv_to_string0_(buffer, &limit, &cursor, words + std::size(words), nullptr);
  return needed > size ? needed - size : 0;
}
