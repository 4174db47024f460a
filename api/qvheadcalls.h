// Head checks and symbol tests below the public function checks, head tests
// and symbol tests, and the frame every test runs in: the read position is
// marked first and put back when the comparison fails, so the caller can read
// the same expression again.
#pragma once

#include <cstdint>

#include "api/qvcalldiscipline.h"
#include "api/qvgetcontainer.h"
#include "api/qvlink.h"
#include "quorvane.h"

// The next expression is a function with the head (any head when null) and,
// when *count (0 without a pointer) is not negative, that many arguments; the
// count read goes back through the pointer. 0 on a match, else a code.
long QVCheckFunctionWithArgCount_(Quorvane::QVGetContainer* container, const char* head, long* count);
long QVCheckUCS2FunctionWithArgCount_(Quorvane::QVGetContainer* container, const unsigned short* head,
                                      int length, long* count);
long QVCheckUTF8FunctionWithArgCount_(Quorvane::QVGetContainer* container, const unsigned char* head, int length,
                                      long* count);
long QVCheckUTF16FunctionWithArgCount_(Quorvane::QVGetContainer* container, const unsigned short* head,
                                       int length, long* count);
long QVCheckUTF32FunctionWithArgCount_(Quorvane::QVGetContainer* container, const unsigned int* head, int length,
                                       long* count);
// As RVCheckFunction without its frame: no pending-error test, no lock, the
// code answered and not stored.
long QVCheckFunction_(QVLink* link, const char* head, long* count);

// The next expression is the symbol given in the encoding (2, 8, 16, 32 or
// 64; length in bytes): 0, 3 for another symbol or any other token, or a code.
long QVTestSymbolData_(Quorvane::QVGetContainer* container, const void* name, int length, long encoding);

namespace qvheads {

// "Unknown KOVR problem encountered.": no mark could be made.
inline constexpr uint32_t kNoMark = static_cast<uint32_t>(-1);

// The read discipline with a mark around compare(container) -> code: a
// mismatch or error puts the input back where it was and is stored on the
// link; a match leaves the expression read.
template <class Compare>
int Test(QVLink* link, Compare&& compare) noexcept {
  if (!qvcall::MayProceed(link, qvcall::Pending::kRead)) return 0;
  QVLinkLockGuard guard(link);
  QVLinkMark* mark = RVCreateMark(link);
  if (mark == nullptr) {
    link->error = kNoMark;
    return 0;
  }
  const long code = qvcall::RunCodec(link, [&](QVLink* k) {
    Quorvane::QVGetContainer container(k);
    return compare(&container);
  });
  if (code != 0) RVSeekMark(link, mark, 0);
  RVDestroyMark(link, mark);
  return qvcall::StoreGet(link, code);
}

}  // namespace qvheads
