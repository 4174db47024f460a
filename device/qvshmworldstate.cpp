#include "device/qvshmworldstate.h"

#include <atomic>
#include <condition_variable>
#include <memory>

#include "device/qvshmdevice.h"
#include "device/qvshmnames.h"
#include "device/qvshmrecordmanager.h"
#include "utilities/qvsharedmemorysegment.h"
#include "utilities/qvthreadprimitives.h"

namespace Quorvane::shmworld {

namespace {

// A condition a watch thread and its starter meet on: set by Signal until
// Reset, and waited for.
class WatchCondition {
 public:
  void Signal() {
    {
      std::lock_guard<std::mutex> hold(mutex_);
      set_ = true;
    }
    wake_.notify_all();
  }
  void Reset() {
    std::lock_guard<std::mutex> hold(mutex_);
    set_ = false;
  }
  void Wait() {
    std::unique_lock<std::mutex> hold(mutex_);
    wake_.wait(hold, [this] { return set_; });
  }
  // True when signalled within the time.
  bool WaitFor(long microseconds) {
    std::unique_lock<std::mutex> hold(mutex_);
    return wake_.wait_for(hold, std::chrono::microseconds(microseconds), [this] { return set_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  bool set_ = false;
};

struct Shared {
  std::mutex worldTableLock;
  WorldTable worldTable;
  std::atomic<uint64_t> nextWorldNumber{0};
  uint64_t nextDeviceNumber = 0;  // under worldTableLock

  std::mutex currentlyActiveWorldLock;  // taken before worldTableLock
  uint64_t currentlyActiveWorlds = 0;
  // The watches' own record manager: no world's, so no world's end can pull
  // it from under them.
  std::unique_ptr<QVSHMRecordManager> records;
  std::unique_ptr<QVThread> segmentRecordWatchThread;
  WatchCondition segmentRecordWatchThreadHasStarted;
  WatchCondition segmentRecordWatchThreadStopRequested;
  std::unique_ptr<QVThread> otherProcessWatchThread;
  WatchCondition otherProcessWatchThreadHasStarted;
  WatchCondition otherProcessWatchThreadStopRequested;
  std::atomic<uint64_t> segmentPasses{0};
  std::atomic<uint64_t> otherProcessPasses{0};
};

// Never destroyed: a signal handler or a late thread may still reach it while
// the program's statics are being torn down.
Shared& State() {
  static Shared* shared = new Shared;
  return *shared;
}

// Removes every segment whose record names no living process, with the
// conditions its users left. A failure to
// list or to remove ends the pass; a name whose test fails is passed over.
void SegmentPass(QVSHMRecordManager& records) {
  try {
    for (const QVString& name : records.getRecordList()) {
      try {
        if (records.segmentStillActiveQ(name)) continue;
      } catch (const QVException&) {
        continue;
      }
      QVSmartPointer<QVSharedMemorySegment> segment = QVSharedMemorySegment::initWithName(name);
      try {
        records.removeSegmentRecord(name);
      } catch (const QVException&) {
      }
      segment->removeFromOS();
      shmnames::RemoveLeftConditions(name);
    }
  } catch (const QVException&) {
  }
  State().segmentPasses++;
}

// Marks dead every connected device of any world whose peer is gone.
void OtherProcessPass() {
  Shared& shared = State();
  std::lock_guard<std::mutex> hold(shared.worldTableLock);
  for (auto& [world, devices] : shared.worldTable) {
    for (auto& [number, device] : devices) {
      if (device != nullptr && device->PeerVanishedQ()) device->MarkPeerDead();
    }
  }
  shared.otherProcessPasses++;
}


// A watch thread's life: named, a first pass, the start signalled, and then
// a pass each period until the stop is requested. The start is signalled
// only after the first pass: a world's devices are then never made while
// the first sweep may still remove a segment of the same name.
template <typename Pass>
void RunWatch(const char* name, long periodMicroseconds, WatchCondition& hasStarted, WatchCondition& stopRequested,
              Pass pass) {
  QVThread::SetName(name);
  pass();
  hasStarted.Signal();
  while (!stopRequested.WaitFor(periodMicroseconds)) pass();
}

void SegmentRecordWatchThreadFunction(QVSHMRecordManager* records) {
  Shared& shared = State();
  RunWatch(kSegmentWatchName, kSegmentWatchMicroseconds, shared.segmentRecordWatchThreadHasStarted,
           shared.segmentRecordWatchThreadStopRequested, [records] { SegmentPass(*records); });
}

void OtherProcessWatchThreadFunction() {
  Shared& shared = State();
  RunWatch(kOtherProcessWatchName, kOtherProcessWatchMicroseconds, shared.otherProcessWatchThreadHasStarted,
           shared.otherProcessWatchThreadStopRequested, [] { OtherProcessPass(); });
}

// Starts the thread on the body and returns once it has signalled its start.
template <typename Body>
void StartWatch(std::unique_ptr<QVThread>& thread, WatchCondition& hasStarted, WatchCondition& stopRequested,
                Body body) {
  hasStarted.Reset();
  stopRequested.Reset();
  thread.reset(caught(body));
  hasStarted.Wait();
}

void StopWatch(std::unique_ptr<QVThread>& thread, WatchCondition& stopRequested) noexcept {
  if (!thread) return;
  stopRequested.Signal();
  try {
    thread->Join();
  } catch (const QVException&) {
  }
  thread.reset();
}

void StopWatches(Shared& shared) noexcept {
  StopWatch(shared.segmentRecordWatchThread, shared.segmentRecordWatchThreadStopRequested);
  StopWatch(shared.otherProcessWatchThread, shared.otherProcessWatchThreadStopRequested);
}

}  // namespace

std::mutex& worldTableLock() { return State().worldTableLock; }
WorldTable& worldTable() { return State().worldTable; }
uint64_t TakeWorldNumber() { return State().nextWorldNumber++; }
uint64_t TakeDeviceNumber() { return State().nextDeviceNumber++; }
uint64_t NextWorldNumber() { return State().nextWorldNumber.load(); }

uint64_t NextDeviceNumber() {
  std::lock_guard<std::mutex> hold(State().worldTableLock);
  return State().nextDeviceNumber;
}

uint64_t ActiveWorlds() {
  std::lock_guard<std::mutex> hold(State().currentlyActiveWorldLock);
  return State().currentlyActiveWorlds;
}

uint64_t SegmentWatchPasses() { return State().segmentPasses.load(); }
uint64_t OtherProcessWatchPasses() { return State().otherProcessPasses.load(); }

void WorldArrives(uint64_t world) {
  Shared& shared = State();
  std::lock_guard<std::mutex> count(shared.currentlyActiveWorldLock);
  {
    std::lock_guard<std::mutex> hold(shared.worldTableLock);
    shared.worldTable.try_emplace(world);
  }
  if (shared.currentlyActiveWorlds == 0) {
    try {
      shared.records = std::make_unique<QVSHMRecordManager>();
      QVSHMRecordManager* records = shared.records.get();
      StartWatch(shared.segmentRecordWatchThread, shared.segmentRecordWatchThreadHasStarted,
                 shared.segmentRecordWatchThreadStopRequested,
                 [records] { SegmentRecordWatchThreadFunction(records); });
      StartWatch(shared.otherProcessWatchThread, shared.otherProcessWatchThreadHasStarted,
                 shared.otherProcessWatchThreadStopRequested, [] { OtherProcessWatchThreadFunction(); });
    } catch (...) {
      StopWatches(shared);
      shared.records.reset();
      std::lock_guard<std::mutex> hold(shared.worldTableLock);
      shared.worldTable.erase(world);
      throw;
    }
  }
  ++shared.currentlyActiveWorlds;
}

void WorldLeaves(uint64_t world) {
  Shared& shared = State();
  std::lock_guard<std::mutex> count(shared.currentlyActiveWorldLock);
  if (shared.currentlyActiveWorlds == 1) {
    StopWatches(shared);
    shared.records.reset();
  }
  {
    std::lock_guard<std::mutex> hold(shared.worldTableLock);
    shared.worldTable.erase(world);
  }
  if (shared.currentlyActiveWorlds > 0) --shared.currentlyActiveWorlds;
}

}  // namespace Quorvane::shmworld
