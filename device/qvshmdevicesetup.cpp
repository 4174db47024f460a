// How each end of a shared-memory link comes to own its segment: the
// listener creates it or takes over one that a connector made or that dead
// processes left; the connector attaches or, coming first, creates it.
#include <unistd.h>

#include <chrono>

#include "device/qvshmdevice.h"
#include "device/qvshmnames.h"
#include "device/qvshmworld.h"
#include "utilities/qvprocess.h"

namespace Quorvane {

namespace {

uint32_t ThisProcess() { return static_cast<uint32_t>(QVProcess::currentProcessId()); }

// The other end makes a segment in steps: the object (empty at first), its
// size, its header, then its claim. One found between those steps is still
// being made and is looked at again for a while; one that stays so is taken
// for what it looks like.
class MakingGrace {
 public:
  bool LastsQ() const { return std::chrono::steady_clock::now() < until_; }
  void Pause() const { usleep(100); }

 private:
  std::chrono::steady_clock::time_point until_ = std::chrono::steady_clock::now() + std::chrono::seconds(1);
};

// Not yet sized (the attach failed) or mapped whole with a header not yet
// all written: the other end has only just made the object. A header read
// while its maker writes it is part zero, never all of one.
bool NotYetHeadedQ(int attached, const QVSharedMemorySegment& segment) {
  return attached == kSegmentFailed ||
         (attached == kSegmentMapped &&
          !QVSHMLayout::peekHeader(segment.getBytes(), segment.getLength()).writtenQ());
}

}  // namespace

void QVSharedMemoryDevice::CreateListener() {
  const QVString requested = deviceParameters.Name;
  // A stale segment removed, or one that vanished meanwhile, is tried again;
  // a drawn name that fails is replaced by a fresh one. Either way only so often.
  for (int attempt = 0;; ++attempt) {
    if (attempt == shmnames::kMaximumDraws) {
      Fail(requested.empty() ? QVString("No usable shared-memory link name found")
                             : requested + " could not be claimed.",
           __LINE__, qvexceptiontype::nameInUse);
    }
    deviceName = requested.empty() ? shmnames::DrawName() : requested;
    const MakingGrace grace;
    bool claimed;
    while (!(claimed = TryListenOn(requested, grace.LastsQ())) && segmentBeingMade) grace.Pause();
    if (claimed) break;
  }
}

bool QVSharedMemoryDevice::TryListenOn(const QVString& requested, bool patient) {
  const bool asked = deviceName == requested;
  segmentBeingMade = false;
  memorySegment = QVSharedMemorySegment::initWithNameAndSize(deviceName, shmlayout::kTotalLength);
  switch (memorySegment->create()) {
    case kSegmentMapped:
      memoryLayout = std::make_unique<QVSHMLayout>(memorySegment->getBytes(), memorySegment->getLength(),
                                                   QVListenerSide, QVSHMLayoutHeader::standard());
      memoryLayout->setWord(QVSHMWord::listenerMagicInitializer, shmlayout::kListenerMagic);
      memoryLayout->setWriteQueueProcessID(ThisProcess());
      memoryLayout->setWord(QVSHMWord::listenerRevision, shmlayout::kRevision);
      memoryLayout->initializeQueues();
      return true;
    case kSegmentExists: return TakeOverExisting(requested, patient);
    default:
      if (asked) Fail(deviceName + " not accessible.", __LINE__, qvexceptiontype::badLinkName);
      return false;
  }
}

// Maps the existing segment of deviceName at the length its own header
// gives; false (detached) when it is gone or is no segment of ours. A
// patient listener that finds it still being made says so instead of
// refusing it.
bool QVSharedMemoryDevice::TakeOverExisting(const QVString& requested, bool patient) {
  const bool asked = deviceName == requested;
  const int attached = memorySegment->connect();
  if (patient && NotYetHeadedQ(attached, *memorySegment)) {
    memorySegment->detachSegment();
    segmentBeingMade = true;
    return false;
  }
  switch (attached) {
    case kSegmentMapped: break;
    case kSegmentAccessDenied:
      if (asked) {
        Fail(deviceName + " in use by another process and permissions do not allow access.", __LINE__,
             qvexceptiontype::nameInUse);
      }
      return false;
    case kSegmentMissing: return false;
    default:
      if (asked) Fail(deviceName + " not accessible", __LINE__, qvexceptiontype::badLinkName);
      return false;
  }
  if (QVSHMLayout::checkSegment(*memorySegment) == QVSHMSegmentCheck::wrongMappedLength) {
    const uint32_t ownLength =
        QVSHMLayout::peekHeader(memorySegment->getBytes(), memorySegment->getLength()).totalLength;
    memorySegment->detachSegment();
    memorySegment = QVSharedMemorySegment::initWithNameAndSize(deviceName, ownLength);
    if (memorySegment->connect() != kSegmentMapped) return false;
  }
  if (QVSHMLayout::checkSegment(*memorySegment) != QVSHMSegmentCheck::recognized) {
    // A segment we cannot read is never retried under the same name: it
    // would be found the same way for ever.
    memorySegment->detachSegment();
    if (asked) Fail(deviceName + " unrecognized pre-existing segment.", __LINE__, qvexceptiontype::nameInUse);
    return false;
  }
  auto layout = std::make_unique<QVSHMLayout>(memorySegment->getBytes(), memorySegment->getLength(),
                                              QVListenerSide);
  if (layout->word(QVSHMWord::listenerMagicInitializer) == shmlayout::kListenerMagic) {
    const bool owned = QVProcess::processIsAliveQ(static_cast<int>(layout->writeQueueProcessID())) ||
                       QVProcess::processIsAliveQ(static_cast<int>(layout->readQueueProcessID()));
    layout.reset();
    if (!owned) {
      memorySegment->detachSegmentAndRemoveFromOS();
      shmnames::RemoveLeftConditions(deviceName);
      try {
        world->getRecordManager().removeSegmentRecord(deviceName);
      } catch (const QVException&) {
      }
      return false;
    }
    memorySegment->detachSegment();
    if (asked) Fail(deviceName + " already in use by another process.", __LINE__, qvexceptiontype::nameInUse);
    return false;
  }
  if (layout->word(QVSHMWord::connectorMagicInitializer) == shmlayout::kConnectorMagic) {
    // A connector came first and waits: join its segment as it set it up.
    layout->setWord(QVSHMWord::listenerMagicInitializer, shmlayout::kListenerMagic);
    layout->setWriteQueueProcessID(ThisProcess());
    layout->setWord(QVSHMWord::listenerRevision, shmlayout::kRevision);
    memoryLayout = std::move(layout);
    return true;
  }
  layout.reset();
  memorySegment->detachSegment();
  // Headed but not yet claimed: its connector is still setting it up.
  segmentBeingMade = patient;
  if (asked && !patient) Fail(deviceName + " unrecognized pre-existing segment.", __LINE__, qvexceptiontype::nameInUse);
  return false;
}

void QVSharedMemoryDevice::CreateConnector() {
  deviceName = deviceParameters.Name;
  if (deviceName.empty()) Fail("Connect mode requires a link name", __LINE__, qvexceptiontype::badLinkName);
  const MakingGrace grace;
  for (int attempt = 0;; ++attempt) {
    if (attempt == shmnames::kMaximumDraws) {
      Fail("Unable to access segment named " + deviceName, __LINE__, qvexceptiontype::badLinkName);
    }
    memorySegment = QVSharedMemorySegment::initWithNameAndSize(deviceName, shmlayout::kTotalLength);
    const int attached = memorySegment->connect();
    // A listener that has only just made the object, or not yet headed it.
    if (NotYetHeadedQ(attached, *memorySegment) && grace.LastsQ()) {
      memorySegment->detachSegment();
      grace.Pause();
      --attempt;
      continue;
    }
    if (attached == kSegmentMapped) {
      AttachConnector();
      break;
    }
    if (attached == kSegmentAccessDenied) {
      Fail(deviceName + " not available because of access permissions.", __LINE__, qvexceptiontype::badLinkName);
    }
    if (attached != kSegmentMissing) {
      Fail("Unable to access segment named " + deviceName, __LINE__, qvexceptiontype::badLinkName);
    }
    const int created = memorySegment->create();
    if (created == kSegmentExists) continue;  // made by someone else meanwhile
    if (created != kSegmentMapped) {
      Fail("Not able to access the segment named " + deviceName, __LINE__, qvexceptiontype::badLinkName);
    }
    memoryLayout = std::make_unique<QVSHMLayout>(memorySegment->getBytes(), memorySegment->getLength(),
                                                 QVConnectorSide, QVSHMLayoutHeader::standard());
    memoryLayout->setWord(QVSHMWord::connectorMagicInitializer, shmlayout::kConnectorMagic);
    memoryLayout->setWriteQueueProcessID(ThisProcess());
    memoryLayout->initializeQueues();
    memoryLayout->setWord(QVSHMWord::connectorRevision, shmlayout::kRevision);
    break;
  }
}

// The segment is mapped at our length: view it at its own, then claim the
// connector's half unless another connector holds it.
void QVSharedMemoryDevice::AttachConnector() {
  if (QVSHMLayout::checkSegment(*memorySegment) == QVSHMSegmentCheck::wrongMappedLength) {
    const uint32_t ownLength =
        QVSHMLayout::peekHeader(memorySegment->getBytes(), memorySegment->getLength()).totalLength;
    memorySegment->detachSegment();
    memorySegment = QVSharedMemorySegment::initWithNameAndSize(deviceName, ownLength);
    switch (memorySegment->connect()) {
      case kSegmentMapped: break;
      case kSegmentAccessDenied:
        Fail(deviceName + " exists but permissions no longer permit access.", __LINE__,
             qvexceptiontype::badLinkName);
      case kSegmentMissing: Fail(deviceName + " no longer listening.", __LINE__, qvexceptiontype::listenerGone);
      default: Fail(deviceName + " access has failed.", __LINE__, qvexceptiontype::badLinkName);
    }
  }
  try {
    // Refuses (59) what is no segment of ours.
    memoryLayout = std::make_unique<QVSHMLayout>(memorySegment->getBytes(), memorySegment->getLength(),
                                                 QVConnectorSide);
  } catch (const QVException&) {
    memorySegment->detachSegment();
    throw;
  }
  if (memoryLayout->word(QVSHMWord::connectorMagicInitializer) == shmlayout::kConnectorMagic) {
    memoryLayout.reset();
    memorySegment->detachSegment();
    Fail(deviceName + " already taken.", __LINE__, qvexceptiontype::nameInUse);
  }
  memoryLayout->setWriteQueueProcessID(ThisProcess());
  memoryLayout->setWord(QVSHMWord::connectorMagicInitializer, shmlayout::kConnectorMagic);
  memoryLayout->setWord(QVSHMWord::connectorRevision, shmlayout::kRevision);
}

}  // namespace Quorvane
