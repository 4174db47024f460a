#include "utilities/qvsyncobjectnamerecordfileformat.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "utilities/qvexception.h"

namespace Quorvane {

namespace {
constexpr char kSourceFile[] = "utilities/qvsyncobjectnamerecordfileformat";
}

QVSmartPointer<QVData> QVSyncObjectNameRecordFileFormat::makeFileContents(
    const QVSyncObjectNameRecordList& records) const {
  QVString text;
  if (!records.empty()) {
    const int32_t pid = records.front().processID;
    text += ToQVString(std::to_string(pid));
    text += '\n';
    for (const QVSyncObjectNameRecord& record : records) {
      if (record.type == QVSyncTypeUnknown) continue;
      if (record.processID != pid) {
        throw QVException("Process ids do not match.", kSourceFile, __LINE__,
                          qvexceptiontype::badRecordFile, 0);
      }
      text += record.name;
      text += ':';
      text += SyncTypeCode(record.type);
      text += '\n';
    }
  }
  return QVSmartPointer<QVData>(new QVData(text.data(), text.size()));
}

QVSyncObjectNameRecordList QVSyncObjectNameRecordFileFormat::interpretFileContents(
    const QVSmartPointer<QVData>& data) const {
  QVSyncObjectNameRecordList records;
  if (!data || data->length() == 0) return records;
  const char* bytes = static_cast<const char*>(data->bytes());
  const size_t size = static_cast<size_t>(data->length());
  size_t at = 0;

  // First line, any length: the owner as the C library's atoi reads it (a
  // zero byte ends the text, as it would for atoi).
  const char* lineFeed = static_cast<const char*>(std::memchr(bytes, '\n', size));
  const size_t firstLength = lineFeed != nullptr ? static_cast<size_t>(lineFeed - bytes) : size;
  const std::string firstLine(bytes, firstLength);
  const int32_t pid = static_cast<int32_t>(std::strtol(firstLine.c_str(), nullptr, 10));
  at = lineFeed != nullptr ? firstLength + 1 : size;

  while (at < size) {
    // At most kLineBufferSize - 1 characters before the line feed or the end.
    size_t length = 0;
    while (at + length < size && bytes[at + length] != '\n' && length < kLineBufferSize) ++length;
    if (length == kLineBufferSize) {
      throw QVException("Sync object name record exceeds buffer size", kSourceFile, __LINE__,
                        qvexceptiontype::wrapped, 0);
    }
    const char* line = bytes + at;
    at += length;
    if (at < size) ++at;  // the line feed
    // The text ends at its first zero byte.
    const char* zero = static_cast<const char*>(std::memchr(line, '\0', length));
    if (zero != nullptr) length = static_cast<size_t>(zero - line);
    // The name is all before the last colon: no kind's code holds one, but a
    // name may, and is written as it stands. A line with one colon reads as
    // it always did.
    const size_t nameLength = std::string_view(line, length).rfind(':');
    if (nameLength == std::string_view::npos) continue;
    const _qvsynctype type = SyncTypeFromCode(line + nameLength + 1, length - nameLength - 1);
    records.emplace_back(QVString(line, nameLength), type, pid);
  }
  return records;
}

void QVSyncObjectNameRecordFileFormat::print(std::ostream& os) const {
  os << "</QVSyncObjectNameRecordFileFormat>";
}

std::ostream& operator<<(std::ostream& os, const QVSyncObjectNameRecordFileFormat& format) {
  format.print(os);
  return os;
}

}  // namespace Quorvane
