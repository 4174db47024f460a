// The frame every typed public call puts around its one codec call: refuse a
// null link, let the pending error decide (with its correction), hold the
// link lock around mirroring puts onto the link's log and the codec call, and
// store the codec's answer in the link.
//
// Usage:
//   int RVGetInteger32(QVLink* l, int* v) noexcept {
//     return qvcall::Get(l, [&](QVLink* k) { return QVGetBinaryNumber_(... k ..., v, 228); });
//   }
//   int RVPutInteger32(QVLink* l, int v) noexcept {
//     return qvcall::Put(l, qvcall::Pending::kWrite,
//                        [&](QVLink* w) { RVPutInteger32(w, v); },
//                        [&](QVLink* k) { return QVPutBinaryNumber_(... k ..., &v, 228); });
//   }
// The codec lambda runs under the link lock and fills out-parameters there.
#pragma once

#include <cstdint>
#include <new>

#include "api/qvlink.h"

namespace qvcall {

// How a call treats an error already on the link.
enum class Pending {
  kRead,    // 0 and 11 go on; 10 connects first; others refuse
  kWrite,   // only 10 goes on, by connecting; 11 and others refuse
  kStrict,  // any pending error refuses
  kFill,    // 0 goes on; 10 connects first; 11 and others refuse
};

// The link's code, read under its lock (another thread may be storing one).
inline uint32_t PendingCode(QVLink* link) noexcept {
  QVLinkLockGuard guard(link);
  return link->error;
}

// True when a call with this rule may go on; a link waiting with 10 is
// connected first (outside the link lock, as connecting takes it itself).
inline bool MayProceed(QVLink* link, Pending rule) noexcept {
  if (link == nullptr) return false;
  const uint32_t code = PendingCode(link);
  if (code == 0) return true;
  switch (rule) {
    case Pending::kRead:
      return code == 11 || (code == 10 && RVConnect(link) != 0);
    case Pending::kWrite:
    case Pending::kFill:
      return code == 10 && RVConnect(link) != 0;
    case Pending::kStrict:
      return false;
  }
  return false;
}

// The write link of the link's log when that log is running with a file,
// else null. Called under the link lock, which keeps the log in the slot and
// its write link open until the caller is done with it: stopping a log
// replaces it under that lock and closes its links only afterwards.
inline QVLink* LogWriteLink(QVLink* link) noexcept {
  const Quorvane::QVLinkLog* log = link->log.get();
  if (log == nullptr) [[likely]] return nullptr;
  if (!log->doLoggingQ()) return nullptr;
  return log->writeLink();
}

// Ends a repeated put or transfer on the log's write link: a call refused
// for what it was given is refused there too, and that refusal is not kept,
// or the write link would refuse every later put while the program, having
// cleared its own link's error, goes on. Then flushes it to the log thread.
inline void FinishMirror(QVLink* write_link) noexcept {
  if (RVError(write_link) != 0) RVClearError(write_link);
  RVFlush(write_link);
}

// Makes the same put on the log's write link and flushes it, when the link's
// log is running with a file. Whether its output is switched on is the log's
// own affair: the tokens go on flowing, so an expression is never cut short.
// Runs under the link lock, so the log sees the puts in the link's order.
template <class Mirror>
void MirrorPut(QVLink* link, Mirror&& mirror) noexcept {
  QVLink* write_link = LogWriteLink(link);
  if (write_link == nullptr) return;
  try {
    mirror(write_link);
  } catch (...) {
    // The log is a witness; its failure must not change the link's call.
  }
  FinishMirror(write_link);
}

// Runs a codec call that answers a code, turning an escaping exception into
// one (8 for memory, -1 otherwise) so nothing crosses a public call.
template <class Codec>
long RunCodec(QVLink* link, Codec&& codec) noexcept {
  try {
    return static_cast<long>(codec(link));
  } catch (const std::bad_alloc&) {
    return 8;
  } catch (...) {
    return -1;
  }
}

// Stores a get's result: a failure replaces the link's code (plain
// assignment), success leaves it. Answers 1 on success, else 0.
inline int StoreGet(QVLink* link, long code) noexcept {
  if (code == 0) return 1;
  link->error = static_cast<uint32_t>(code);
  return 0;
}

// Stores a put's result unconditionally: a successful put leaves 0.
inline int StorePut(QVLink* link, long code) noexcept {
  link->error = static_cast<uint32_t>(code);
  return code == 0 ? 1 : 0;
}

// The pending code is weighed without the lock (connecting takes it itself);
// the lock is taken again when the call may go on. Kept out of the callers'
// straight line: it runs only while the link holds a code.
[[gnu::cold, gnu::noinline]] inline bool EnterWithPending(QVLink* link, Pending rule,
                                                          QVLinkLockGuard& guard) noexcept {
  guard.unlock();
  if (!MayProceed(link, rule)) return false;
  guard.lock(link);
  return true;
}

// Takes the link lock for a call and lets the pending error decide. In the
// common case, no error, the code is read once, under the lock the call then
// keeps.
inline bool Enter(QVLink* link, Pending rule, QVLinkLockGuard& guard) noexcept {
  if (link == nullptr) return false;
  guard.lock(link);
  if (link->error == 0) [[likely]] return true;
  return EnterWithPending(link, rule, guard);
}

// The whole read discipline around codec(link) -> code.
template <class Codec>
int Get(QVLink* link, Codec&& codec, Pending rule = Pending::kRead) noexcept {
  QVLinkLockGuard guard;
  if (!Enter(link, rule, guard)) return 0;
  const long code = RunCodec(link, codec);
  return StoreGet(link, code);
}

// The whole write discipline: mirror(write_link) repeats the public call on
// the log's write link; codec(link) -> code makes the put.
template <class Mirror, class Codec>
int Put(QVLink* link, Pending rule, Mirror&& mirror, Codec&& codec) noexcept {
  QVLinkLockGuard guard;
  if (!Enter(link, rule, guard)) return 0;
  MirrorPut(link, mirror);
  const long code = RunCodec(link, codec);
  return StorePut(link, code);
}

// The codec write arguments of a link, for brevity at call sites.
inline write_state* WriteState(QVLink* link) noexcept { return link->writeState; }
inline _queue* BaseQueue(QVLink* link) noexcept { return link->queueStack.base; }

}  // namespace qvcall
