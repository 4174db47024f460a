// Transfers: one expression copied from a link's input to another link's
// output (or skipped), and everything pending on a loopback link moved to
// another link. The read side's failure goes to the source and the write
// side's to the destination, so each link reports its own problem.
#include <cstdint>
#include <optional>

#include "api/qvcalldiscipline.h"
#include "api/qvcodecread.h"
#include "api/qvlinkmark.h"
#include "api/qvstream.h"
#include "quorvane.h"

namespace {

// Both links' locks, always taken in link-number order so that transfers in
// opposite directions on two threads cannot deadlock.
class PairLock {
 public:
  PairLock(QVLink* a, QVLink* b) noexcept {
    if (a == b) {
      first_.emplace(a);
      return;
    }
    const bool a_first = RVNumber(a) <= RVNumber(b);
    first_.emplace(a_first ? a : b);
    second_.emplace(a_first ? b : a);
  }
  PairLock(const PairLock&) = delete;
  PairLock& operator=(const PairLock&) = delete;

 private:
  // Destroyed in reverse order of declaration: the second lock first.
  std::optional<QVLinkLockGuard> first_;
  std::optional<QVLinkLockGuard> second_;
};

void DistributeErrors(QVLink* destination, QVLink* source) {
  PairLock locks(source, destination);
  const auto read_error = static_cast<uint32_t>(rs__last_error(&source->readState));
  const auto write_error =
      destination->writeState != nullptr ? static_cast<uint32_t>(ws__last_error(destination->writeState)) : 0u;
  if (source == destination) {
    source->error = read_error != 0 ? read_error : write_error;
    return;
  }
  source->error = read_error;
  destination->error = write_error;
}

// The codes are read under each link's lock: another thread may be storing
// one with a call of its own.
bool SourceMayRead(QVLink* source) {
  QVLinkLockGuard guard(source);
  return source->error == 0 || read_auto_correct(source) != 0;
}
bool DestinationMayWrite(QVLink* destination) {
  QVLinkLockGuard guard(destination);
  return destination->error == 0 || write_auto_correct(destination) != 0;
}

// A loopback link copying into itself (or into a link on the same queue)
// reads from the queue it writes into: an expression that is not all there
// would be completed by its own copy, and that copy by the next, for ever.
// Such a transfer first skips one expression and comes back; when that read
// fails, the link keeps its input and takes the reader's code (as a transfer
// into another link would report), and nothing is written.
bool FeedsItself(QVLink* destination, QVLink* source) {
  // A seek on another thread replaces the queue stack under the link lock.
  PairLock locks(source, destination);
  return (source == destination || source->queueStack.base == destination->queueStack.base) &&
         RVIsLinkLoopback(source) != 0;
}

bool WholeExpressionPending(QVLink* source) {
  QVLinkLockGuard guard(source);
  QVLinkMark* start = RVCreateMark(source);
  if (start == nullptr) {
    source->error = 8;  // marks fail only for want of memory here
    return false;
  }
  const long code = QVNewExpression_(&source->readState, source->deviceStack, &source->queueStack, 1);
  RVSeekMark(source, start, 0);
  RVDestroyMark(source, start);
  if (code == 0) return true;
  source->error = static_cast<uint32_t>(code);
  return false;
}

}  // namespace

int RVTransferExpression(QVLink* destination, QVLink* source) QV_NOEXCEPT {
  if (source == nullptr || !SourceMayRead(source)) return 0;
  if (destination == nullptr) {
    QVLinkLockGuard guard(source);
    const long code = QVNewExpression_(&source->readState, source->deviceStack, &source->queueStack, 1);
    if (code != 0) {
      source->error = static_cast<uint32_t>(code);
      return 0;
    }
    return 1;
  }
  if (!DestinationMayWrite(destination)) return 0;
  if (FeedsItself(destination, source) && !WholeExpressionPending(source)) return 0;
  QVLinkMark* mark = RVCreateMark(source);
  if (mark == nullptr) {
    DistributeErrors(destination, source);
    return 0;
  }
  // A logged source needs nothing here: its log reads what it receives
  // through a duplicate of it.
  RVSeekMark(source, mark, 0);
  {
    // Both locks, in their order: the destination's log stays in place while
    // it is fed, and a transfer the other way on another thread cannot deadlock.
    PairLock locks(source, destination);
    if (QVLink* write_link = qvcall::LogWriteLink(destination)) {
      RVTransferExpression(write_link, source);
      qvcall::FinishMirror(write_link);
    }
  }
  RVSeekMark(source, mark, 0);
  RVDestroyMark(source, mark);
  long code = 0;
  {
    PairLock locks(source, destination);
    code = QVTransferExpression_(destination->writeState, destination->deviceStack, destination->queueStack.base,
                                 &source->readState, source->deviceStack, &source->queueStack, 1);
  }
  if (code != 0) {
    DistributeErrors(destination, source);
    return 0;
  }
  return 1;
}

int RVTransferToEndOfLoopbackLink(QVLink* destination, QVLink* source) QV_NOEXCEPT {
  if (destination == nullptr || source == nullptr) return 0;
  if (!SourceMayRead(source)) {
    QVLinkLockGuard guard(source);
    source->error = static_cast<uint32_t>(rs__last_error(&source->readState));
    return 0;
  }
  PairLock locks(source, destination);
  _queue* base = source->queueStack.base;
  if (source->deviceStack != nullptr) qvs__flush_(source->deviceStack, base);
  _mark here{};
  _mark end{};
  if (qvqueue_construct_and_savemark(base, &here) == nullptr) return 0;
  qvqueue_seektoend(base);
  if (qvqueue_construct_and_savemark(base, &end) == nullptr) {
    qvqueue_seek(&here);
    qvqueue_discardmark(&here);
    return 0;
  }
  qvqueue_seek(&here);
  qvqueue_discardmark(&here);
  long code = -1;
  if (SourceMayRead(source) && DestinationMayWrite(destination)) {
    code = QVTransfer_(destination->writeState, destination->deviceStack, destination->queueStack.base,
                       &source->readState, source->deviceStack, &source->queueStack, &end, nullptr);
  }
  qvqueue_discardmark(&end);
  if (code != 0) {
    DistributeErrors(destination, source);
    return 0;
  }
  return 1;
}
