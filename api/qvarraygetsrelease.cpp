// Giving back what the whole-array gets handed out, under the link lock.
#include "api/qvarraygets.h"
#include "quorvane.h"

namespace {

void GiveBack(QVLink* link, void* data, void* dimensions, char** heads, int64_t depth) {
  if (link == nullptr) return;
  QVLinkLockGuard guard(link);
  QVGiveBackArray_(&link->globals->pool, data, dimensions, heads, depth);
}

}  // namespace

void QVReleaseArray(QVLink* link, void* data, int* dimensions, char** heads, int depth) noexcept {
  GiveBack(link, data, dimensions, heads, depth);
}
void QVDisownArray(QVLink* link, void* data, long* dimensions, char** heads, long depth) noexcept {
  GiveBack(link, data, dimensions, heads, depth);
}

void RVReleaseBinaryNumberArray(QVLink* link, void* data, int* dimensions, char** heads, int depth) noexcept {
  QVReleaseArray(link, data, dimensions, heads, depth);
}
void RVReleaseByteArray(QVLink* link, unsigned char* data, int* dimensions, char** heads, int depth) noexcept {
  QVReleaseArray(link, data, dimensions, heads, depth);
}
void RVReleaseInteger8Array(QVLink* link, unsigned char* data, int* dimensions, char** heads, int depth) noexcept {
  QVReleaseArray(link, data, dimensions, heads, depth);
}
void RVReleaseInteger16Array(QVLink* link, short* data, int* dimensions, char** heads, int depth) noexcept {
  QVReleaseArray(link, data, dimensions, heads, depth);
}
void RVReleaseInteger32Array(QVLink* link, int* data, int* dimensions, char** heads, int depth) noexcept {
  QVReleaseArray(link, data, dimensions, heads, depth);
}
void RVReleaseInteger64Array(QVLink* link, long* data, int* dimensions, char** heads, int depth) noexcept {
  QVReleaseArray(link, data, dimensions, heads, depth);
}
void RVReleaseReal32Array(QVLink* link, float* data, int* dimensions, char** heads, int depth) noexcept {
  QVReleaseArray(link, data, dimensions, heads, depth);
}
void RVReleaseReal64Array(QVLink* link, double* data, int* dimensions, char** heads, int depth) noexcept {
  QVReleaseArray(link, data, dimensions, heads, depth);
}
void RVReleaseReal128Array(QVLink* link, long double* data, int* dimensions, char** heads, int depth) noexcept {
  QVReleaseArray(link, data, dimensions, heads, depth);
}

void QVDisownBinaryNumberArray(QVLink* link, void* data, long* dimensions, char** heads, long depth) noexcept {
  QVDisownArray(link, data, dimensions, heads, depth);
}
void QVDisownByteArray(QVLink* link, unsigned char* data, long* dimensions, char** heads, long depth) noexcept {
  QVDisownArray(link, data, dimensions, heads, depth);
}
void RVReleaseShortIntegerArray(QVLink* link, short* data, long* dimensions, char** heads, long depth) noexcept {
  QVDisownArray(link, data, dimensions, heads, depth);
}
void RVReleaseIntegerArray(QVLink* link, int* data, long* dimensions, char** heads, long depth) noexcept {
  QVDisownArray(link, data, dimensions, heads, depth);
}
void RVReleaseLongIntegerArray(QVLink* link, long* data, long* dimensions, char** heads, long depth) noexcept {
  QVDisownArray(link, data, dimensions, heads, depth);
}
void RVReleaseFloatArray(QVLink* link, float* data, long* dimensions, char** heads, long depth) noexcept {
  QVDisownArray(link, data, dimensions, heads, depth);
}
void RVReleaseDoubleArray(QVLink* link, double* data, long* dimensions, char** heads, long depth) noexcept {
  QVDisownArray(link, data, dimensions, heads, depth);
}
void RVReleaseRealArray(QVLink* link, double* data, long* dimensions, char** heads, long depth) noexcept {
  QVDisownArray(link, data, dimensions, heads, depth);
}
void RVReleaseLongDoubleArray(QVLink* link, long double* data, long* dimensions, char** heads, long depth) noexcept {
  QVDisownArray(link, data, dimensions, heads, depth);
}
