// A version triple, most significant number first, printed as "3.2.1".
#pragma once

#include <cstdint>
#include <ostream>

#include "utilities/qvobject.h"

namespace Quorvane {

class QVVersion : public QVObject {
 public:
  QVVersion() = default;
  QVVersion(int32_t majorNumber, int32_t minorNumber, int32_t revisionNumber) {
    major = majorNumber;
    minor = minorNumber;
    revision = revisionNumber;
  }
  QVVersion(const QVVersion&) = default;
  QVVersion& operator=(const QVVersion&) = default;
  ~QVVersion() override = default;

  int32_t major = 0;
  int32_t minor = 0;
  int32_t revision = 0;
};

std::ostream& operator<<(std::ostream& os, const QVVersion& version);

}  // namespace Quorvane
