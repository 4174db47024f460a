// The text of a shared-memory record file: the two ids of the processes that
// use one segment, "first:second" and a line feed, an empty slot written as
// no digits at all.
#pragma once

#include <ostream>
#include <utility>

#include "utilities/qvdata.h"
#include "utilities/qvsmartpointer.h"

namespace Quorvane {

using QVSHMRecord = std::pair<int, int>;

class QVSHMRecordFileFormat : public QVObject {
 public:
  QVSHMRecordFileFormat() = default;
  ~QVSHMRecordFileFormat() override = default;

  // The segment name is not part of the text.
  QVSmartPointer<QVData> makeFileContents(const QVString& segmentName,
                                          const QVSHMRecord& record) const;
  // Only the first line counts, up to a zero byte. Type 15 when it holds no
  // ":", or when a number does not fit an int (a wrapped id could name a
  // living process and keep a dead segment forever).
  QVSHMRecord interpretFileContents(const QVSmartPointer<QVData>& data) const;

  void print(std::ostream& os) const { os << "<QVSHMRecordFileFormat></QVSHMRecordFileFormat>"; }
};

}  // namespace Quorvane
