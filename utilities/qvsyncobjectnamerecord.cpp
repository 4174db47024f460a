#include "utilities/qvsyncobjectnamerecord.h"

#include <cstring>

#include "utilities/qvprocess.h"

namespace Quorvane {

namespace {
constexpr const char* kCodes[] = {"", "SM", "SC", "FM", "FC", "PC", "PTM", "PTC", "WM", "WCM", "WC"};
constexpr int kCodeCount = static_cast<int>(sizeof kCodes / sizeof kCodes[0]);
}  // namespace

const char* SyncTypeCode(_qvsynctype type) {
  const int value = static_cast<int>(type);
  return value > 0 && value < kCodeCount ? kCodes[value] : "";
}

_qvsynctype SyncTypeFromCode(const char* text, size_t length) {
  for (int value = 1; value < kCodeCount; ++value) {
    if (std::strlen(kCodes[value]) == length && std::memcmp(kCodes[value], text, length) == 0) {
      return static_cast<_qvsynctype>(value);
    }
  }
  return QVSyncTypeUnknown;
}

QVSyncObjectNameRecord::QVSyncObjectNameRecord(const QVString& objectName, _qvsynctype kind)
    : QVSyncObjectNameRecord(objectName, kind, QVProcess::currentProcessId()) {}

QVSyncObjectNameRecord::QVSyncObjectNameRecord(const QVString& objectName, _qvsynctype kind,
                                               int32_t owner)
    : name(objectName), type(kind), processID(owner) {}

bool QVSyncObjectNameRecord::operator==(const QVSyncObjectNameRecord& other) const {
  if (this == &other) return true;
  return name == other.name && type == other.type && processID == other.processID;
}

}  // namespace Quorvane
