// The text of a record file: the owner's process id on the first line, then
// one "name:code" line per named object.
#pragma once

#include <ostream>

#include "utilities/qvdata.h"
#include "utilities/qvsmartpointer.h"
#include "utilities/qvsyncobjectnamerecord.h"

namespace Quorvane {

class QVSyncObjectNameRecordFileFormat : public QVObject {
 public:
  QVSyncObjectNameRecordFileFormat() = default;
  ~QVSyncObjectNameRecordFileFormat() override = default;

  // Records of unknown kind are left out; records of two processes throw
  // type 15. An empty list gives empty contents.
  QVSmartPointer<QVData> makeFileContents(const QVSyncObjectNameRecordList& records) const;
  // Lines without ":" are skipped; the name is all before the last ":", so
  // names holding colons read back as written. A line of 512 or more
  // characters throws type 70. Records come back with an empty record file.
  QVSyncObjectNameRecordList interpretFileContents(const QVSmartPointer<QVData>& data) const;

  void print(std::ostream& os) const;

  // Longest line, line feed excluded, plus one.
  static constexpr size_t kLineBufferSize = 512;
};

std::ostream& operator<<(std::ostream& os, const QVSyncObjectNameRecordFileFormat& format);

}  // namespace Quorvane
