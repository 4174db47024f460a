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

// One watch thread and its stop request. The starter returns once the thread
// has its name and has made its first pass: a world's devices are then never
// made while the first sweep may still remove a segment of the same name.
class Watch {
 public:
  template <typename Pass>
  void Start(const char* name, long periodMicroseconds, Pass pass) {
    stop_ = false;
    started_ = false;
    thread_.reset(caught([this, name, periodMicroseconds, pass] {
      QVThread::SetName(name);
      pass();
      std::unique_lock<std::mutex> hold(mutex_);
      started_ = true;
      wake_.notify_all();
      for (;;) {
        wake_.wait_for(hold, std::chrono::microseconds(periodMicroseconds), [this] { return stop_; });
        if (stop_) return;
        hold.unlock();
        pass();
        hold.lock();
      }
    }));
    std::unique_lock<std::mutex> hold(mutex_);
    wake_.wait(hold, [this] { return started_; });
  }

  void Stop() noexcept {
    if (!thread_) return;
    {
      std::lock_guard<std::mutex> hold(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    try {
      thread_->Join();
    } catch (const QVException&) {
    }
    thread_.reset();
  }

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  bool started_ = false;
  std::unique_ptr<QVThread> thread_;
};

struct Shared {
  std::mutex tableLock;
  WorldTable table;
  std::atomic<uint64_t> nextWorldNumber{0};
  uint64_t nextDeviceNumber = 0;  // under tableLock

  std::mutex countLock;  // taken before tableLock
  uint64_t activeWorlds = 0;
  // The watches' own record manager: no world's, so no world's end can pull
  // it from under them.
  std::unique_ptr<QVSHMRecordManager> records;
  Watch segmentWatch;
  Watch otherProcessWatch;
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
  std::lock_guard<std::mutex> hold(shared.tableLock);
  for (auto& [world, devices] : shared.table) {
    for (auto& [number, device] : devices) {
      if (device != nullptr && device->PeerVanishedQ()) device->MarkPeerDead();
    }
  }
  shared.otherProcessPasses++;
}

}  // namespace

std::mutex& TableLock() { return State().tableLock; }
WorldTable& Table() { return State().table; }
uint64_t TakeWorldNumber() { return State().nextWorldNumber++; }
uint64_t TakeDeviceNumber() { return State().nextDeviceNumber++; }
uint64_t NextWorldNumber() { return State().nextWorldNumber.load(); }

uint64_t NextDeviceNumber() {
  std::lock_guard<std::mutex> hold(State().tableLock);
  return State().nextDeviceNumber;
}

uint64_t ActiveWorlds() {
  std::lock_guard<std::mutex> hold(State().countLock);
  return State().activeWorlds;
}

uint64_t SegmentWatchPasses() { return State().segmentPasses.load(); }
uint64_t OtherProcessWatchPasses() { return State().otherProcessPasses.load(); }

void WorldArrives(uint64_t world) {
  Shared& shared = State();
  std::lock_guard<std::mutex> count(shared.countLock);
  {
    std::lock_guard<std::mutex> hold(shared.tableLock);
    shared.table.try_emplace(world);
  }
  if (shared.activeWorlds == 0) {
    try {
      shared.records = std::make_unique<QVSHMRecordManager>();
      QVSHMRecordManager* records = shared.records.get();
      shared.segmentWatch.Start(kSegmentWatchName, kSegmentWatchMicroseconds,
                                [records] { SegmentPass(*records); });
      shared.otherProcessWatch.Start(kOtherProcessWatchName, kOtherProcessWatchMicroseconds,
                                     [] { OtherProcessPass(); });
    } catch (...) {
      shared.segmentWatch.Stop();
      shared.otherProcessWatch.Stop();
      shared.records.reset();
      std::lock_guard<std::mutex> hold(shared.tableLock);
      shared.table.erase(world);
      throw;
    }
  }
  ++shared.activeWorlds;
}

void WorldLeaves(uint64_t world) {
  Shared& shared = State();
  std::lock_guard<std::mutex> count(shared.countLock);
  if (shared.activeWorlds == 1) {
    shared.segmentWatch.Stop();
    shared.otherProcessWatch.Stop();
    shared.records.reset();
  }
  {
    std::lock_guard<std::mutex> hold(shared.tableLock);
    shared.table.erase(world);
  }
  if (shared.activeWorlds > 0) --shared.activeWorlds;
}

}  // namespace Quorvane::shmworld
