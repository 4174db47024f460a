// The public whole-array gets: 64-bit dimensions and long depth, or 32-bit
// dimensions and int depth, over the one engine.
#include "api/qvarraygets.h"
#include "api/qvcalldiscipline.h"
#include "quorvane.h"

namespace {

// The engine under the read discipline. Every out-parameter asked for is
// written: the array on success, null and 0 on any failure, a call the
// discipline refuses (null link, pending error) included, so a caller that
// releases after a failure releases nothing.
template <class T, class Count>
int GetArrayAs(QVLink* link, T** data, Count** dimensions, char*** heads, Count* depth, unsigned type, int* leaf_type) {
  if (data == nullptr || dimensions == nullptr) return 0;
  QVArrayResult array;
  const int ok = qvcall::Get(link, [&](QVLink* k) {
    return QVGetWholeArray_(k, type, heads != nullptr, static_cast<int>(sizeof(Count)), &array);
  });
  *data = static_cast<T*>(array.data);
  *dimensions = static_cast<Count*>(array.dimensions);
  if (heads != nullptr) *heads = array.heads;
  if (depth != nullptr) *depth = static_cast<Count>(array.depth);
  if (leaf_type != nullptr) *leaf_type = static_cast<int>(array.leafType);
  return ok;
}

// The 32-bit forms share one entry.
template <class T>
int QVGoGetTheArray_(QVLink* link, T** data, int** dimensions, char*** heads, int* depth, unsigned type) {
  return GetArrayAs(link, data, dimensions, heads, depth, type, nullptr);
}

}  // namespace

int RVGetBinaryNumberArrayWithLeafType(QVLink* link, void** data, long** dimensions, char*** heads, long* depth,
                                       long type, int* leafType) noexcept {
  return GetArrayAs(link, data, dimensions, heads, depth, static_cast<unsigned>(type), leafType);
}
int RVGetBinaryNumberArray(QVLink* link, void** data, long** dimensions, char*** heads, long* depth,
                           long type) noexcept {
  return GetArrayAs(link, data, dimensions, heads, depth, static_cast<unsigned>(type), nullptr);
}
int RVGetShortIntegerArray(QVLink* link, short** data, long** dimensions, char*** heads, long* depth) noexcept {
  if (depth == nullptr) return 0;
  return GetArrayAs(link, data, dimensions, heads, depth, 226, nullptr);
}
int RVGetIntegerArray(QVLink* link, int** data, long** dimensions, char*** heads, long* depth) noexcept {
  return GetArrayAs(link, data, dimensions, heads, depth, 228, nullptr);
}
int RVGetLongIntegerArray(QVLink* link, long** data, long** dimensions, char*** heads, long* depth) noexcept {
  return GetArrayAs(link, data, dimensions, heads, depth, 230, nullptr);
}
int RVGetFloatArray(QVLink* link, float** data, long** dimensions, char*** heads, long* depth) noexcept {
  return GetArrayAs(link, data, dimensions, heads, depth, 244, nullptr);
}
int RVGetDoubleArray(QVLink* link, double** data, long** dimensions, char*** heads, long* depth) noexcept {
  return GetArrayAs(link, data, dimensions, heads, depth, 246, nullptr);
}
int RVGetRealArray(QVLink* link, double** data, long** dimensions, char*** heads, long* depth) noexcept {
  return GetArrayAs(link, data, dimensions, heads, depth, 246, nullptr);
}
int RVGetLongDoubleArray(QVLink* link, long double** data, long** dimensions, char*** heads, long* depth) noexcept {
  return GetArrayAs(link, data, dimensions, heads, depth, 248, nullptr);
}

int RVGetByteArray(QVLink* link, unsigned char** data, int** dimensions, char*** heads, int* depth) noexcept {
  return QVGoGetTheArray_(link, data, dimensions, heads, depth, 161);
}
int RVGetInteger8Array(QVLink* link, unsigned char** data, int** dimensions, char*** heads, int* depth) noexcept {
  return QVGoGetTheArray_(link, data, dimensions, heads, depth, 161);
}
int RVGetInteger16Array(QVLink* link, short** data, int** dimensions, char*** heads, int* depth) noexcept {
  return QVGoGetTheArray_(link, data, dimensions, heads, depth, 226);
}
int RVGetInteger32Array(QVLink* link, int** data, int** dimensions, char*** heads, int* depth) noexcept {
  return QVGoGetTheArray_(link, data, dimensions, heads, depth, 228);
}
int RVGetInteger64Array(QVLink* link, long** data, int** dimensions, char*** heads, int* depth) noexcept {
  return QVGoGetTheArray_(link, data, dimensions, heads, depth, 230);
}
int RVGetReal32Array(QVLink* link, float** data, int** dimensions, char*** heads, int* depth) noexcept {
  return QVGoGetTheArray_(link, data, dimensions, heads, depth, 244);
}
int RVGetReal64Array(QVLink* link, double** data, int** dimensions, char*** heads, int* depth) noexcept {
  return QVGoGetTheArray_(link, data, dimensions, heads, depth, 246);
}
int RVGetReal128Array(QVLink* link, long double** data, int** dimensions, char*** heads, int* depth) noexcept {
  return QVGoGetTheArray_(link, data, dimensions, heads, depth, 248);
}
