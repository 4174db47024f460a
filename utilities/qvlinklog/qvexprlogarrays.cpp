// Expression text of the log: lists and arrays of numbers.
#include <algorithm>
#include <string_view>
#include <vector>

#include "utilities/qvlinklog/qvexprlog.h"
#include "utilities/qvlinklog/qvexprlogstream.h"

namespace Quorvane {

namespace {

using QVHeadList = std::vector<const char*, QVStdAllocator<const char*>>;

// The head of each level: heads[level] while the list lasts, null for "List".
// A null entry ends the list, since its length is not passed and nothing past
// its end may be read.
template <typename Dim>
QVHeadList LevelHeads(const char* const* heads, Dim depth) {
  QVHeadList levels(static_cast<size_t>(depth), nullptr);
  for (Dim l = 0; heads != nullptr && l < depth && heads[l] != nullptr; ++l) {
    if (std::string_view(heads[l]) != "List") levels[static_cast<size_t>(l)] = heads[l];
  }
  return levels;
}

}  // namespace

// Writes level `level` with everything below it, row-major, and returns the
// data moved past the elements it wrote (null data stays null and writes no
// element). Walks the levels with an index per level rather than recursing,
// so a deep array cannot exhaust the stack.
template <typename T, typename Dim>
const T* QVExprLog::logArrayLevel(const T* data, const Dim* dims, const char* const* heads,
                                  Dim depth, std::ostream& os, Dim level) {
  const QVHeadList levelHeads = LevelHeads(heads, depth);
  auto open = [&](Dim l) {
    if (const char* head = levelHeads[static_cast<size_t>(l)]) {
      os << head << '[';
    } else {
      os << '{';
    }
  };
  auto close = [&](Dim l) { os << (levelHeads[static_cast<size_t>(l)] ? ']' : '}'); };
  // Sub-levels or elements done at each level.
  std::vector<Dim, QVStdAllocator<Dim>> written(static_cast<size_t>(depth), 0);
  const Dim top = level;
  open(level);
  while (true) {
    const Dim k = std::max<Dim>(dims[level], 0);
    Dim& done = written[static_cast<size_t>(level)];
    if (level == depth - 1) {
      for (; data != nullptr && done < k; ++done) {
        if (done != 0) os << ", ";
        WriteLogElement(os, *data++);
      }
      done = k;
    }
    if (done < k) {
      if (done != 0) os << ", ";
      ++done;
      ++level;
      written[static_cast<size_t>(level)] = 0;
      open(level);
      continue;
    }
    close(level);
    if (level == top) return data;
    --level;
  }
}

template <typename T, typename Dim>
void QVExprLog::logArray(qvlogdirection d, const T* data, const Dim* dims, const char* const* heads,
                         Dim depth) {
  QVExprLogStream os;
  if (dims == nullptr || depth < 1) {
    os << "{}";
  } else {
    logArrayLevel(data, dims, heads, depth, os, Dim{0});
  }
  logAtom(d, os.str());
}
template <typename T>
void QVExprLog::logList(qvlogdirection d, const T* p, unsigned long n) {
  QVExprLogStream os;
  if (p != nullptr && n != 0) {
    os << '{';
    for (unsigned long i = 0; i < n; ++i) {
      if (i != 0) os << ", ";
      WriteLogElement(os, p[i]);
    }
    os << '}';
  }
  logAtom(d, os.str());
}

void QVExprLog::logInt8List(qvlogdirection d, const char* p, unsigned long n) { logList(d, p, n); }
void QVExprLog::logInt16List(qvlogdirection d, const short* p, unsigned long n) {
  logList(d, p, n);
}
void QVExprLog::logInt32List(qvlogdirection d, const int* p, unsigned long n) { logList(d, p, n); }
void QVExprLog::logInt64List(qvlogdirection d, const long* p, unsigned long n) { logList(d, p, n); }
void QVExprLog::logReal32List(qvlogdirection d, const float* p, unsigned long n) {
  logList(d, p, n);
}
void QVExprLog::logReal64List(qvlogdirection d, const double* p, unsigned long n) {
  logList(d, p, n);
}
void QVExprLog::logReal128List(qvlogdirection d, const long double* p, unsigned long n) {
  logList(d, p, n);
}

void QVExprLog::logInt8Array(qvlogdirection d, const char* data, const int* dims,
                             const char* const* heads, int depth) {
  logArray(d, data, dims, heads, depth);
}
void QVExprLog::logInt8Array(qvlogdirection d, const char* data, const long* dims,
                             const char* const* heads, long depth) {
  logArray(d, data, dims, heads, depth);
}
void QVExprLog::logInt16Array(qvlogdirection d, const short* data, const int* dims,
                              const char* const* heads, int depth) {
  logArray(d, data, dims, heads, depth);
}
void QVExprLog::logInt16Array(qvlogdirection d, const short* data, const long* dims,
                              const char* const* heads, long depth) {
  logArray(d, data, dims, heads, depth);
}
void QVExprLog::logInt32Array(qvlogdirection d, const int* data, const int* dims,
                              const char* const* heads, int depth) {
  logArray(d, data, dims, heads, depth);
}
void QVExprLog::logInt32Array(qvlogdirection d, const int* data, const long* dims,
                              const char* const* heads, long depth) {
  logArray(d, data, dims, heads, depth);
}
void QVExprLog::logInt64Array(qvlogdirection d, const long* data, const int* dims,
                              const char* const* heads, int depth) {
  logArray(d, data, dims, heads, depth);
}
void QVExprLog::logInt64Array(qvlogdirection d, const long* data, const long* dims,
                              const char* const* heads, long depth) {
  logArray(d, data, dims, heads, depth);
}
void QVExprLog::logReal32Array(qvlogdirection d, const float* data, const int* dims,
                               const char* const* heads, int depth) {
  logArray(d, data, dims, heads, depth);
}
void QVExprLog::logReal32Array(qvlogdirection d, const float* data, const long* dims,
                               const char* const* heads, long depth) {
  logArray(d, data, dims, heads, depth);
}
void QVExprLog::logReal64Array(qvlogdirection d, const double* data, const int* dims,
                               const char* const* heads, int depth) {
  logArray(d, data, dims, heads, depth);
}
void QVExprLog::logReal64Array(qvlogdirection d, const double* data, const long* dims,
                               const char* const* heads, long depth) {
  logArray(d, data, dims, heads, depth);
}
void QVExprLog::logReal128Array(qvlogdirection d, const long double* data, const int* dims,
                                const char* const* heads, int depth) {
  logArray(d, data, dims, heads, depth);
}
void QVExprLog::logReal128Array(qvlogdirection d, const long double* data, const long* dims,
                                const char* const* heads, long depth) {
  logArray(d, data, dims, heads, depth);
}

void QVExprLog::logEmptyArray(qvlogdirection d, const long* dims, const char* const* heads,
                              long depth) {
  logArray(d, static_cast<const char*>(nullptr), dims, heads, depth);
}

}  // namespace Quorvane
