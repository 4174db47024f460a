// A link's error code: reading, setting, clearing, the two correction rules
// of gets and puts, and the flush that records its outcome in the code.
#include <cstdint>

#include "api/qvcalldiscipline.h"
#include "api/qvcodecwrite.h"
#include "api/qvlink.h"

// The link keeps its code in a 32-bit word; the code itself is signed (-1 is
// "Unknown KOVR problem encountered.").
long RVError(QVLink* link) noexcept {
  if (link == nullptr) return 1;
  QVLinkLockGuard guard(link);
  return static_cast<int32_t>(link->error);
}

int RVSetError(QVLink* link, long code) noexcept {
  if (link == nullptr) return 0;
  // A code the word cannot hold would come back as another code.
  if (code < INT32_MIN || code > INT32_MAX) return 0;
  QVLinkLockGuard guard(link);
  if (link->error != 0) return 0;
  link->error = static_cast<uint32_t>(code);
  return 1;
}

int RVClearError(QVLink* link) noexcept {
  if (link == nullptr) return 0;
  QVLinkLockGuard guard(link);
  switch (link->error) {
    case 1:
    case 9:
      return 0;
    case 10:
      guard.unlock();
      return RVConnect(link);
    default:
      link->error = 0;
      return 1;
  }
}

int read_auto_correct(QVLink* link) noexcept {
  if (link == nullptr) return 0;
  switch (link->error) {
    case 0:
    case 11:
      return 1;
    case 10:
      return RVConnect(link);
    default:
      return 0;
  }
}

int write_auto_correct(QVLink* link) noexcept {
  if (link == nullptr || link->error != 10) return 0;
  return RVConnect(link) != 0 ? 1 : 0;
}

int RVFlush(QVLink* link) noexcept {
  if (link == nullptr) return 0;
  QVLinkLockGuard guard(link);
  if (link->error != 0) return 0;
  if (QVLink* write_link = qvcall::LogWriteLink(link)) RVFlush(write_link);
  const long code = QVFlush_(link->writeState, link->deviceStack, link->queueStack.base);
  link->error = static_cast<uint32_t>(code);
  return code == 0 ? 1 : 0;
}
