#include "api/qvenvironmentparameters.h"

#include <algorithm>
#include <optional>

namespace Quorvane {

namespace {

// The interface revision a caller's pair selects: the smaller of the two (the
// larger when the smaller is 0), every revision below 6 counting as 1; none
// when the larger is newer than this library or the choice is 26 or more.
std::optional<uint64_t> ChosenRevision(uint64_t a, uint64_t b) {
  const uint64_t hi = std::max(a, b);
  uint64_t lo = std::min(a, b);
  if (lo == 0) lo = hi;
  if (lo < 6) lo = 1;
  if (hi > QVEnvironmentParameters::kRevision || lo >= 26) return std::nullopt;
  return lo;
}

template <typename T>
void Element(std::ostream& os, const char* name, const T& value) {
  os << '<' << name << '>' << value << "</" << name << '>';
}

}  // namespace

QVEnvironmentParameters::QVEnvironmentParameters() = default;

QVEnvironmentParameters::QVEnvironmentParameters(uint64_t a, uint64_t b) {
  if (const std::optional<uint64_t> chosen = ChosenRevision(a, b)) {
    apiRevision = *chosen;
  } else {
    lastError = kParametersRevisionOutOfRange;
  }
}

bool QVEnvironmentParameters::operator==(const QVEnvironmentParameters& other) const {
  return magicValue == other.magicValue && revision == other.revision &&
         apiRevision == other.apiRevision && flags == other.flags && options == other.options &&
         alloc == other.alloc && dealloc == other.dealloc &&
         environmentCookie == other.environmentCookie &&
         textEncodingSetGiven == other.textEncodingSetGiven &&
         textEncodingSet == other.textEncodingSet &&
         signalDispositions == other.signalDispositions &&
         makeLinksThreadSafe == other.makeLinksThreadSafe;
}

bool QVEnvironmentParameters::setEncodingType(int e) {
  if (!encodingInRangeQ(e)) return false;
  textEncodingSet = static_cast<uint8_t>(textEncodingSet | (1u << (e - 1)));
  textEncodingSetGiven = 1;
  return true;
}

int QVEnvironmentParameters::valueForEncodingType(int e) const {
  if (!encodingInRangeQ(e)) return 0;
  return (textEncodingSet >> (e - 1)) & 1;
}

void QVEnvironmentParameters::print(std::ostream& os) const {
  char encodings[9] = {};
  for (int bit = 7; bit >= 0; --bit) encodings[7 - bit] = ((textEncodingSet >> bit) & 1) != 0 ? '1' : '0';

  os << "<QVEnvironmentParameters>";
  Element(os, "magicValue", magicValue);
  Element(os, "revision", revision);
  Element(os, "apiRevision", apiRevision);
  Element(os, "flags", flags);
  Element(os, "lastError", lastError);
  Element(os, "options", options);
  Element(os, "alloc", alloc != nullptr ? 1 : 0);
  Element(os, "dealloc", dealloc != nullptr ? 1 : 0);
  Element(os, "environmentCookie", static_cast<const void*>(environmentCookie));
  Element(os, "textEncodingSet", static_cast<const char*>(encodings));
  Element(os, "signalDispositions", signalDispositions);
  Element(os, "makeLinksThreadSafe", makeLinksThreadSafe != 0 ? 1 : 0);
  os << "</QVEnvironmentParameters>";
}

std::ostream& operator<<(std::ostream& os, const QVEnvironmentParameters& parameters) {
  parameters.print(os);
  return os;
}

}  // namespace Quorvane
