// An expression log whose preamble is fixed, so that line cuts can be checked
// exactly, writing to a real file in the test's private folder.
#pragma once

#include <string>

#include "support/qvtest.h"
#include "utilities/qvfiletest.h"
#include "utilities/qvlinklog/qvexprlog.h"

namespace qvlinklogtest {

// "W" or "R" padded with '.' to the length, then ": " at the end.
inline std::string FixedPreamble(Quorvane::qvlogdirection d, size_t length) {
  std::string preamble(d != Quorvane::QVLogWriteDirection ? "R" : "W");
  preamble.append(length - 3, '.');
  return preamble + ": ";
}

class FixedPreambleLog : public Quorvane::QVExprLog {
 public:
  explicit FixedPreambleLog(size_t length) : length_(length) {}
  Quorvane::QVString preambleByDirection(Quorvane::qvlogdirection d) const override {
    return Quorvane::ToQVString(FixedPreamble(d, length_));
  }

 private:
  size_t length_;
};

// A fixed-preamble log with one file; text() is what the file holds.
class LogFile {
 public:
  explicit LogFile(size_t preambleLength = 5) : log(preambleLength), path(dir.file("expr.log")) {
    log.logToFileWithName(Quorvane::ToQVString(path));
  }
  std::string text() const { return qvfiletest::ReadWithStream(path); }

  qvtest::TempDir dir;
  FixedPreambleLog log;
  std::string path;
};

}  // namespace qvlinklogtest
