// The byte path of a shared-memory link: windows straight into the two ring
// queues of the segment, wake-ups only on the empty-to-non-empty and
// full-to-not-full transitions, and waits bounded so that a lost wake-up or a
// peer gone costs at most one time-out.
#include <atomic>
#include <cstdint>
#include <utility>

#include "device/qvshmdevice.h"
#include "utilities/platform/qvstreampeer.h"
#include "utilities/qvthreads.h"

namespace Quorvane {

namespace {

constexpr long kWriterWaitMicroseconds = 20000;
constexpr long kReaderWaitMicroseconds = 50000;
// Each read takes up to 256 left-over signals.
constexpr int kLeftoverReads = 4;

// A window never crosses the end of a 100000-byte ring: a count beyond 32
// bits cannot be one of ours.
uint32_t Count(unsigned long n) {
  if (n > UINT32_MAX) {
    throw QVException("Internal queue error.  Count is larger than the ring.", "device/qvshmlayout", __LINE__,
                      qvexceptiontype::internalError, 0);
  }
  return static_cast<uint32_t>(n);
}

// The peer's process, as it recorded itself in the queue it writes: whose
// CPUs decide whether a wait for it spins. A number no process can have
// counts as not known.
int PeerProcessOf(const QVSHMLayout& layout) {
  const uint32_t pid = layout.readQueueProcessID();
  return pid <= INT32_MAX ? static_cast<int>(pid) : QVSpinChoice::kPeerUnknown;
}

}  // namespace

void QVSharedMemoryDevice::MarkDead(int32_t deathType) noexcept {
  // The kind first: whoever sees the device dead reads why.
  if (!deviceIsDead.load()) deviceDeathType = deathType;
  deviceIsDead = true;
}

// Every waiter of this process (a reader, a writer, someone watching GetFD)
// and, as before, the peer's reader.
void QVSharedMemoryDevice::WakeReaders() noexcept {
  for (Condition* condition : {&readQueueSignalCondition, &readFreeSpaceAvailableCondition,
                               &writeQueueSignalCondition}) {
    try {
      if (*condition) (*condition)->Signal();
    } catch (...) {
    }
  }
  WakeSleepingReader(false);
  WakeSleepingReader(true);
}

// A reader asleep on its state word hears no condition.
void QVSharedMemoryDevice::WakeSleepingReader(bool peer) noexcept {
  if (memoryLayout && !segmentReleased.load()) memoryLayout->wakeSleepingReader(peer);
}

// An orderly close: the peer's closing notice was seen (or still waits in the
// slot) or a connected flag is down. A peer that dies leaves neither.
bool QVSharedMemoryDevice::PeerClosedQ() const noexcept {
  if (deviceIsDead.load() && deviceDeathType.load() == 0) return true;
  if (!memoryLayout || segmentReleased.load()) return false;
  const QVSHMLayoutData data = memoryLayout->data();
  if (data.listenerConnected == 0 || data.connectorConnected == 0) return true;
  if (memoryLayout->readMessage().first == shmlayout::kClosingNotice) return true;
  return deviceIsDead.load() && deviceDeathType.load() == 0;
}

// A message the peer put just before it went (a terminate before its close)
// is taken before the device is dead, by whichever thread sees the end
// first: the event watch would not take it once the device is dead.
bool QVSharedMemoryDevice::PeerLeftQ() noexcept {
  if (deviceIsDead.load()) return true;
  if (segmentReleased.load()) {
    MarkDead(1);
    return true;
  }
  const QVSHMLayoutData data = memoryLayout->data();
  if (data.listenerConnected == 0 || data.connectorConnected == 0) {
    TakeMessage();
    MarkDead(0);
    return true;
  }
  if (sideChannelJoined && platform::StreamPeerGoneQ(connectionPoint->GetSocket().GetRawSocket())) {
    TakeMessage();
    MarkDead(PeerClosedQ() ? 0 : 1);
    return true;
  }
  return false;
}

void QVSharedMemoryDevice::FailStopped(const char* closed, const char* dead, unsigned line) const {
  if (!segmentReleased.load() && PeerClosedQ()) Fail(closed, line, qvexceptiontype::connectionClosed);
  Fail(dead, line, qvexceptiontype::deadPeer);
}

// Signals of edges that came while we were not asleep (busy, or spinning)
// are taken before a sleep, so that it waits for a fresh one; the ring is
// looked at once more after, since a signal taken may be a fresh one.
// Bounded, so that a peer that keeps signalling cannot hold us here.
void QVSharedMemoryDevice::TakeLeftoverSignals(QVCondition& condition) {
  for (int i = 0; i < kLeftoverReads && condition.Wait(0); ++i) {
  }
}

// A peer that counts with atomic adds needs no lock to agree with us on the
// ring: each side moves only its own offset and changes freeSpace in one
// step. A peer of an older build changes the counter under the queue's lock
// with a plain store, so with it every change still takes that lock.
QVSHMWindow QVSharedMemoryDevice::LookAtWriteQueue(bool mayRewind) {
  const uint32_t whole = memoryLayout->bufferLength();
  const auto look = [&] {
    // Drained while we waited: start again at the ring's beginning so the
    // window is the whole buffer. A writer that finds room at once keeps its
    // offsets. The reader does not touch an empty queue's offsets.
    if (mayRewind && memoryLayout->writeQueueFreeSpace() == whole &&
        memoryLayout->writeWindowFromCount().length < whole) {
      memoryLayout->resetWriteQueue();
    }
    return peerCountsFreely ? memoryLayout->writeWindowFromCount() : memoryLayout->writeWindow();
  };
  if (peerCountsFreely) return look();
  QVMutex hold(writeQueueLock.get());
  return look();
}

void QVSharedMemoryDevice::WriteWindow(char** buffer, unsigned long* length) {
  if (buffer == nullptr || length == nullptr) {
    Fail("Argument pointers cannot be NULL.", __LINE__, qvexceptiontype::badArgument);
  }
  const auto handOut = [&](const QVSHMWindow& window) {
    *buffer = reinterpret_cast<char*>(window.bytes);
    *length = window.length;
    const uint32_t ahead = window.length < 16384 ? window.length : 16384;
    for (uint32_t at = 0; at < ahead; at += 64) __builtin_prefetch(window.bytes + at, 1, 3);
  };
  if (!deviceIsDead.load() && !segmentReleased.load() && nextWriteWindow.length != 0) {
    handOut(std::exchange(nextWriteWindow, QVSHMWindow()));
    return;
  }
  nextWriteWindow = QVSHMWindow();
  const auto full = [this] { return memoryLayout->writeQueueFreeSpace() == 0; };
  bool spun = false;
  for (bool first = true;; first = false) {
    if (deviceIsDead.load() || segmentReleased.load()) {
      Fail("WriteWindow detected the death of the device.", __LINE__, qvexceptiontype::connectionClosed);
    }
    if (const QVSHMWindow window = LookAtWriteQueue(!first); window.length != 0) {
      handOut(window);
      return;
    }
    // Full. A reader that frees room within a moment is met awake.
    if (!spun) {
      spun = true;
      if (writeSpin.SpinWhile(PeerProcessOf(*memoryLayout), full)) continue;
    }
    // The yield function is asked before each sleep.
    if (YieldAbortQ()) {
      Fail("Yield function requested abort during WriteWindow.", __LINE__, qvexceptiontype::yieldAbort);
    }
    if (PeerLeftQ()) continue;
    // The reader signals every full-to-not-full edge, also those met awake.
    TakeLeftoverSignals(*readFreeSpaceAvailableCondition);
    if (const QVSHMWindow window = LookAtWriteQueue(true); window.length != 0) {
      handOut(window);
      return;
    }
    readFreeSpaceAvailableCondition->Wait(kWriterWaitMicroseconds);
  }
}

void QVSharedMemoryDevice::Write(char*, unsigned long n) {
  if (segmentReleased.load()) Fail("Write detected a dead state.", __LINE__, qvexceptiontype::deadPeer);
  nextWriteWindow = QVSHMWindow();
  const uint32_t count = Count(n);
  uint32_t freeBefore;
  if (peerCountsFreely) {
    freeBefore = memoryLayout->countWritten(count);
    nextWriteWindow = memoryLayout->writeWindowFromCount();
  } else {
    QVMutex hold(writeQueueLock.get());
    freeBefore = memoryLayout->writeQueueHeader().freeSpace;
    memoryLayout->wroteThisManyBytes(count);
    nextWriteWindow = memoryLayout->writeWindow();
  }
  if (count != 0 && freeBefore == memoryLayout->bufferLength()) WakeReader();
}

// The commit comes before the look at the reader's state, and the reader
// states that it may sleep before its last look at the ring: one of the two
// sees the other, so a reader about to sleep is always signalled.
void QVSharedMemoryDevice::WakeReader() {
  std::atomic_thread_fence(std::memory_order_seq_cst);
  switch (memoryLayout->peerReaderState()) {
    case shmlayout::kReaderLooking:
      return;
    case shmlayout::kReaderSleeping:
      // A reader that stopped sleeping meanwhile looks at the ring again.
      memoryLayout->wakeSleepingReader(true);
      return;
    default:
      writeQueueSignalCondition->Signal();
  }
}

bool QVSharedMemoryDevice::ReadQueueLooksEmptyQ() const {
  return memoryLayout->readQueueFreeSpace() == memoryLayout->bufferLength();
}

// The reader's window needs no lock with either kind of peer: the counter
// says how many bytes wait, and the writer places them (and any rewind of
// the offsets) before the counter says so.
QVSHMWindow QVSharedMemoryDevice::LookAtReadQueue() {
  if (nextReadWindow.length != 0) return std::exchange(nextReadWindow, QVSHMWindow());
  return memoryLayout->readWindowFromCount();
}

// Spins on the ring while telling a writer that counts freely that no signal
// is needed; says it may sleep again before the caller's next look. A peer
// the watch finds gone ends the spin too: nothing more will come. Where the
// choice is not to spin, the writer is not told anything either.
bool QVSharedMemoryDevice::SpinForData(QVSHMSpin& spin) {
  const auto empty = [this] { return ReadQueueLooksEmptyQ() && !deviceIsDead.load() && !segmentReleased.load(); };
  const int peer = PeerProcessOf(*memoryLayout);
  if (!spin.SpinsFor(peer)) return false;
  if (!peerCountsFreely) return spin.SpinWhile(peer, empty);
  memoryLayout->setReaderState(shmlayout::kReaderLooking);
  const bool met = spin.SpinWhile(peer, empty);
  memoryLayout->setReaderState(shmlayout::kReaderWantsWakeUps);
  std::atomic_thread_fence(std::memory_order_seq_cst);
  return met;
}

// One bounded sleep of the reader, after telling the writer how to wake it
// and looking at the ring once more; the window when data came meanwhile.
QVSHMWindow QVSharedMemoryDevice::SleepForData() {
  if (peerCountsFreely) {
    // The word is set before the last look and the writer looks at the word
    // after its commit: a commit the look missed finds the reader asleep.
    memoryLayout->setReaderState(shmlayout::kReaderSleeping);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    QVSHMWindow window = LookAtReadQueue();
    if (window.length == 0) memoryLayout->sleepWhileReaderSleeps(kReaderWaitMicroseconds);
    memoryLayout->setReaderState(shmlayout::kReaderWantsWakeUps);
    return window;
  }
  // A peer of an older build signals every empty-to-non-empty edge, also
  // those our spin met.
  TakeLeftoverSignals(*readQueueSignalCondition);
  if (const QVSHMWindow window = LookAtReadQueue(); window.length != 0) return window;
  readQueueSignalCondition->Wait(kReaderWaitMicroseconds);
  return QVSHMWindow();
}

void QVSharedMemoryDevice::Read(char** buffer, unsigned long* length) {
  if (buffer == nullptr || length == nullptr) {
    Fail("Read arguments cannot be NULL.", __LINE__, qvexceptiontype::badArgument);
  }
  const auto handOut = [&](const QVSHMWindow& window) {
    *buffer = reinterpret_cast<char*>(window.bytes);
    *length = window.length;
  };
  bool spun = false;
  bool waited = false;
  for (;;) {
    if (segmentReleased.load()) Fail("Read detected a dead state.", __LINE__, qvexceptiontype::deadPeer);
    // What the peer wrote before it went is still delivered.
    if (const QVSHMWindow window = LookAtReadQueue(); window.length != 0) {
      handOut(window);
      return;
    }
    if (deviceIsDead.load()) {
      // The watch may have seen the peer end just after its last commit and
      // our look: what that commit put in the ring still comes first.
      if (const QVSHMWindow window = LookAtReadQueue(); window.length != 0) {
        handOut(window);
        return;
      }
      FailStopped("Read detected a closed connection.", "Read detected a dead state.", __LINE__);
    }
    if (waited) {
      if (YieldAbortQ()) Fail("Yield function requested abort during Read.", __LINE__, qvexceptiontype::yieldAbort);
      // Seen gone: one more look at the ring above before failing.
      if (PeerLeftQ()) continue;
    }
    // A writer that commits within a moment is met awake; the ring is looked
    // at again above, after the spin, whichever way it ended.
    if (!spun) {
      spun = true;
      SpinForData(readSpin);
      continue;
    }
    if (const QVSHMWindow window = SleepForData(); window.length != 0) {
      handOut(window);
      return;
    }
    waited = true;
  }
}

// Bytes handed out are released whatever became of the peer; a closed or
// dead link is reported by the next Read, once the ring is empty.
void QVSharedMemoryDevice::ReadComplete(char*, unsigned long n) {
  if (segmentReleased.load()) return;
  nextReadWindow = QVSHMWindow();
  const uint32_t count = Count(n);
  uint32_t freeBefore;
  if (peerCountsFreely) {
    freeBefore = memoryLayout->countRead(count);
    nextReadWindow = memoryLayout->readWindowFromCount();
  } else {
    QVMutex hold(readQueueLock.get());
    freeBefore = memoryLayout->readQueueHeader().freeSpace;
    memoryLayout->readThisManyBytes(count);
    nextReadWindow = memoryLayout->readWindow();
  }
  if (count != 0 && freeBefore == 0) writeFreeSpaceAvailableCondition->Signal();
}

// An idle side that only asks whether data came learns of a killed peer from
// the side channel too, at once rather than from the other-process watch
// (which never sees a peer that is still an unreaped zombie). Signals are
// taken only when nothing waits: one left beside data announces that data,
// and the next look that finds the ring empty takes it before anyone waits
// on the descriptor.
bool QVSharedMemoryDevice::HasDataQ() {
  if (segmentReleased.load()) Fail("HasDataQ detected a dead link.", __LINE__, qvexceptiontype::deadPeer);
  const auto holdsData = [this] {
    return nextReadWindow.length != 0 || memoryLayout->readWindowFromCount().length != 0;
  };
  if (holdsData()) return true;
  readQueueSignalCondition->Wait(0);
  if (holdsData()) return true;
  if (!PeerLeftQ()) return false;
  // Seen gone: what it wrote before it went still comes first.
  if (holdsData()) return true;
  FailStopped("HasDataQ detected a closed connection.", "HasDataQ detected a dead link.", __LINE__);
}

// The caller has just found nothing (HasDataQ) and would wait on GetFD's
// descriptor next. While the spin lasts a writer that counts freely is told
// we look, so it signals nothing; the look after it comes once we want
// wake-ups again, so a commit it missed signals. A spin that met nothing
// (or did not run) ends with a look at the ring alone: the caller
// has just asked the rest, and a signal left pending only wakes its wait.
bool QVSharedMemoryDevice::HasDataSoonQ() {
  if (segmentReleased.load() || deviceIsDead.load() || nextReadWindow.length != 0) return HasDataQ();
  if (!SpinForData(activitySpin) && ReadQueueLooksEmptyQ()) return false;
  return HasDataQ();
}

void QVSharedMemoryDevice::WriteMessage(unsigned long value, unsigned long arg) {
  if (segmentReleased.load()) Fail("WriteMessage detected a dead state.", __LINE__, qvexceptiontype::deadPeer);
  QVMutex hold(urgentMessageWriteLock.get());
  memoryLayout->putMessage(static_cast<uint32_t>(value), static_cast<uint32_t>(arg));
  writeUrgentMessageCondition->Signal();
}

void QVSharedMemoryDevice::ReadMessage(unsigned long* value, unsigned long* arg) {
  if (value == nullptr || arg == nullptr) {
    Fail("Argument pointers cannot be NULL.", __LINE__, qvexceptiontype::badArgument);
  }
  if (segmentReleased.load()) Fail("ReadMessage detected a dead state.", __LINE__, qvexceptiontype::deadPeer);
  QVMutex hold(urgentMessageReadLock.get());
  const auto message = memoryLayout->readMessage();
  *value = message.first;
  *arg = message.second;
}

bool QVSharedMemoryDevice::HasMessageQ() { return readUrgentMessageCondition->Wait(0); }

}  // namespace Quorvane
