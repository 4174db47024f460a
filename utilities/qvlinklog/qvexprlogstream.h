// The text buffer a log token builds its fragment in, and how one number of a
// list or array is written into it.
#pragma once

#include <sstream>

#include "utilities/qvobject.h"

namespace Quorvane {

// Reals come out as "%#g" writes them: six significant digits, the point kept.
class QVExprLogStream
    : public std::basic_ostringstream<char, std::char_traits<char>, QVStdAllocator<char>> {
 public:
  QVExprLogStream() { setf(std::ios_base::showpoint); }
};

template <typename T>
void WriteLogElement(std::ostream& os, T v) {
  os << v;
}
// 8-bit elements are signed numbers whatever the platform's char is.
inline void WriteLogElement(std::ostream& os, char v) {
  os << static_cast<int>(static_cast<signed char>(v));
}

}  // namespace Quorvane
