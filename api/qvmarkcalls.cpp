// Marks: saving a link's read position and going back to it. Marks of
// ordinary links are recycled through the environment's memory pool; a
// loopback link's come from the class-object allocator.
#include "api/qvcalldiscipline.h"
#include "api/qvlinkmark.h"
#include "api/qvmarkcalls.h"
#include "quorvane.h"

namespace {

bool IsLoopback(const QVLink* link) { return link->deviceStack != nullptr && link->deviceStack->loopback != 0; }

// 0 and 11 allow a mark: what is still buffered after the peer closed can
// be read, so it can be tested and transferred too.
bool MayMark(const QVLink* link) { return link->error == 0 || link->error == 11; }

}  // namespace

QVLinkMark* RVCreateMark(QVLink* link) QV_NOEXCEPT {
  if (link == nullptr) return nullptr;
  QVLinkLockGuard guard(link);
  if (!MayMark(link)) return nullptr;
  QVLinkMark* mark = IsLoopback(link) ? QVGetNewMark_() : QVGetFreeMark_(link->markPool.get());
  if (mark == nullptr) return nullptr;
  if (QVConstructMark_(mark, &link->readState, &link->queueStack) == 0) return mark;
  if (IsLoopback(link)) {
    QVDestroyMark_(mark);
  } else {
    QVReleaseMark_(link->markPool.get(), mark);
  }
  return nullptr;
}

QVLinkMark* RVSeekMark(QVLink* link, QVLinkMark* mark, int index) QV_NOEXCEPT {
  if (link == nullptr || mark == nullptr) return nullptr;
  QVLinkLockGuard guard(link);
  return QVSeek_(&link->readState, link->deviceStack, &link->queueStack, mark, index) == 0 ? mark : nullptr;
}

QVLinkMark* RVSeekToMark(QVLink* link, QVLinkMark* mark, int index) QV_NOEXCEPT {
  return RVSeekMark(link, mark, index);
}

QVLinkMark* QVConstructMark(QVLink* link, QVLinkMark* mark) noexcept {
  if (link == nullptr || mark == nullptr) return nullptr;
  QVLinkLockGuard guard(link);  // the code too: another thread may be storing one
  if (!MayMark(link)) return nullptr;
  return QVConstructMark_(mark, &link->readState, &link->queueStack) == 0 ? mark : nullptr;
}

void QVDeconstructMark(QVLink* link, QVLinkMark* mark) noexcept {
  if (link == nullptr || mark == nullptr) return;
  QVLinkLockGuard guard(link);
  QVDeconstructMark_(&link->queueStack, mark);
}

void RVDestroyMark(QVLink* link, QVLinkMark* mark) QV_NOEXCEPT {
  if (link == nullptr || mark == nullptr) return;
  QVLinkLockGuard guard(link);
  QVDeconstructMark_(&link->queueStack, mark);
  if (IsLoopback(link)) {
    QVDestroyMark_(mark);
  } else {
    QVReleaseMark_(link->markPool.get(), mark);
  }
}
