#include "device/qvshmrecordfileformat.h"

#include <climits>
#include <cstring>
#include <string>

#include "utilities/qvexception.h"

namespace Quorvane {

namespace {

constexpr char kSourceFile[] = "device/qvshmrecordfileformat";

[[noreturn]] void InvalidFormat(unsigned int line) {
  throw QVException("Record file has invalid format.", kSourceFile, line,
                    qvexceptiontype::badRecordFile, 0);
}

bool BlankQ(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r'; }

// A signed decimal at the start of text, blanks first, stopping at the first
// character that cannot continue it; no digits is 0.
int LeadingNumber(const char* text, size_t length) {
  size_t at = 0;
  while (at < length && BlankQ(text[at])) ++at;
  bool negative = false;
  if (at < length && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
  long long value = 0;
  for (; at < length && text[at] >= '0' && text[at] <= '9'; ++at) {
    value = value * 10 + (text[at] - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) InvalidFormat(__LINE__);
  }
  if (negative) value = -value;
  if (value > INT_MAX) InvalidFormat(__LINE__);
  return static_cast<int>(value);
}

}  // namespace

QVSmartPointer<QVData> QVSHMRecordFileFormat::makeFileContents(const QVString& /*segmentName*/,
                                                               const QVSHMRecord& record) const {
  std::string text;
  if (record.first != 0) text += std::to_string(record.first);
  text += ':';
  if (record.second != 0) text += std::to_string(record.second);
  text += '\n';
  return QVData::initWithBytesAndLength(text.data(), static_cast<unsigned long>(text.size()));
}

QVSHMRecord QVSHMRecordFileFormat::interpretFileContents(const QVSmartPointer<QVData>& data) const {
  if (!data || data->length() == 0) InvalidFormat(__LINE__);
  const char* bytes = static_cast<const char*>(data->bytes());
  size_t length = static_cast<size_t>(data->length());
  if (const void* zero = std::memchr(bytes, '\0', length)) {
    length = static_cast<size_t>(static_cast<const char*>(zero) - bytes);
  }
  if (const void* lineFeed = std::memchr(bytes, '\n', length)) {
    length = static_cast<size_t>(static_cast<const char*>(lineFeed) - bytes);
  }
  const void* colon = std::memchr(bytes, ':', length);
  if (colon == nullptr) InvalidFormat(__LINE__);
  const size_t split = static_cast<size_t>(static_cast<const char*>(colon) - bytes);
  return {LeadingNumber(bytes, split), LeadingNumber(bytes + split + 1, length - split - 1)};
}

}  // namespace Quorvane
