#include "device/qvshmdevice.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>

#include "device/qvshmnames.h"
#include "device/qvshmworld.h"
#include "device/qvshmworldstate.h"
#include "utilities/qvprocess.h"
#include "utilities/qvsyncobjectnamerecordmanager.h"
#include "utilities/qvthreads.h"

namespace Quorvane {

namespace {

constexpr char kSourceFile[] = "device/qvshm";
constexpr unsigned long kListenMode = 2;
constexpr unsigned long kConnectMode = 4;
constexpr char kLocalHost[] = "127.0.0.1";
// How long one look for the connector on the side channel waits: the slice
// the socket layer's accept gave the yield function.
constexpr unsigned long kSideChannelPollMicroseconds = 1000;

QVString Upper(QVString text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

void FlushRemovedSyncObjects() noexcept {
  try {
    QVSmartPointer<QVSyncObjectNameRecordManager> records = QVSyncObjectNameRecordManager::defaultManager();
    if (records) records->flushRemovedObjectsFromSystemRecord();
  } catch (...) {
  }
}

}  // namespace

void QVSharedMemoryDevice::Fail(const QVString& what, unsigned line, qvexceptiontype type) const {
  throw QVException(what, kSourceFile, line, type, 0);
}

QVSharedMemoryDevice::QVSharedMemoryDevice(QVDeviceParameters* parameters, QVSharedMemoryWorld* owner)
    : world(owner), homeWorld(owner != nullptr ? owner->getWorldNumber() : 0) {
  if (parameters == nullptr || owner == nullptr) {
    Fail("A shared-memory device needs its parameters and world", __LINE__, qvexceptiontype::badArgument);
  }
  deviceParameters = *parameters;
  if (deviceParameters.Protocol.empty()) deviceParameters.Protocol = world->ProtocolName();
  if (Upper(deviceParameters.Protocol) != Upper(QVSharedMemoryWorld::kProtocolName)) {
    Fail("Device does not support named protocol", __LINE__, qvexceptiontype::unsupportedProtocol);
  }
  if (deviceParameters.Mode == 0) {
    deviceParameters.Mode = deviceParameters.Name.empty() ? kConnectMode : kListenMode;
  }
  if ((deviceParameters.Mode & (kListenMode | kConnectMode)) == 0) {
    Fail("This device supports only Listen and Connect modes.", __LINE__, qvexceptiontype::unsupportedMode);
  }
  // The name becomes file names in the sync folder: refuse one that leaves it.
  shmnames::CheckLinkName(deviceParameters.Name);
  const bool listener = (deviceParameters.Mode & kListenMode) != 0;
  sideOfConnection = listener ? QVListenerSide : QVConnectorSide;
  if (listener) {
    CreateListener();
  } else {
    CreateConnector();
  }
  // From here the segment is ours to release if anything fails.
  try {
    const int self = QVProcess::currentProcessId();
    if (listener) {
      world->getRecordManager().makeRecordOfSegmentNameUsedByProcess(deviceName, self);
    } else {
      world->getRecordManager().addProcessIDToSegmentRecord(deviceName, self);
    }
    recorded = true;
    try {
      CreateSyncObjects();
    } catch (const QVException&) {
      Fail("Unable to create SharedMemory synchronization objects.", __LINE__,
           qvexceptiontype::sharedMemorySyncObjects);
    }
    if (listener) OpenSideChannel();
    {
      std::lock_guard<std::mutex> hold(shmworld::worldTableLock());
      deviceNumber = shmworld::TakeDeviceNumber();
    }
    memoryLayout->setFlag(listener ? QVSHMFlag::listenerConnected : QVSHMFlag::connectorConnected, 1);
  } catch (...) {
    connectionPoint.reset();
    TearDownSegment();
    DeleteSyncObjects();
    throw;
  }
}

QVSharedMemoryDevice::~QVSharedMemoryDevice() {
  SendClosingNotice();
  if (eventWatchThread) {
    try {
      if (terminateEventWatchCondition) terminateEventWatchCondition->Signal();
      eventWatchThread->Join();
    } catch (...) {
    }
    eventWatchThread.reset();
  }
  {
    std::lock_guard<std::mutex> hold(shmworld::worldTableLock());
    auto devices = shmworld::worldTable().find(homeWorld);
    if (devices != shmworld::worldTable().end()) devices->second.erase(deviceNumber);
  }
  // The flag goes down before the side channel ends, so that a peer that
  // learns of the end from the side channel reads an orderly close; and the
  // peer's reader is woken for it, since a notice may not have been sent.
  if (memoryLayout && !segmentReleased.load()) {
    if (sideOfConnection == QVConnectorSide) {
      memoryLayout->setFlag(QVSHMFlag::connectorConnected, 0);
    } else {
      memoryLayout->setFlag(QVSHMFlag::listenerConnected, 0);
      memoryLayout->setFlag(QVSHMFlag::listenerPending, 0);
    }
    try {
      if (writeQueueSignalCondition) writeQueueSignalCondition->Signal();
    } catch (...) {
    }
    WakeSleepingReader(true);
  }
  sideChannelJoined = false;
  if (connectionPoint) {
    connectionPoint->Close();
    connectionPoint.reset();
  }
  TearDownSegment();
  DeleteSyncObjects();
}

// Tells a connected peer that this end is going, through the message slot of
// the queue this side writes. A message the peer has not taken yet (a
// terminate put just before the close) is not overwritten: the peer learns of
// the close from the cleared connected flag instead.
void QVSharedMemoryDevice::SendClosingNotice() noexcept {
  if (!memoryLayout || segmentReleased.load() || !writeUrgentMessageCondition) return;
  const QVSHMLayoutData data = memoryLayout->data();
  const bool connector = sideOfConnection == QVConnectorSide;
  const bool peerKnowsNotices = connector ? data.listenerRevision > 1 : data.connectorRevision > 1;
  const bool ready = connector ? data.connectorSyncObjectsReady != 0 : data.listenerSyncObjectsReady != 0;
  if (memoryLayout->header().layoutVersion <= 3 || !peerKnowsNotices || !ready) return;
  try {
    QVMutex hold(urgentMessageWriteLock.get());
    if (memoryLayout->unreadMessage() != 0) return;
    memoryLayout->putMessage(shmlayout::kClosingNotice, 0);
  } catch (...) {
    return;
  }
  try {
    writeUrgentMessageCondition->Signal();
  } catch (...) {
  }
}

void QVSharedMemoryDevice::TearDownSegment() noexcept {
  memoryLayout.reset();
  if (memorySegment && !segmentReleased.exchange(true)) memorySegment->detachSegmentAndRemoveFromOS();
  if (recorded) {
    recorded = false;
    try {
      // The world may have ended before its device: its table entry (erased
      // under the same lock before the world goes) says whether it is there.
      std::lock_guard<std::mutex> hold(shmworld::worldTableLock());
      const int self = QVProcess::currentProcessId();
      if (shmworld::worldTable().count(homeWorld) != 0) {
        world->getRecordManager().removeProcessIDFromSegmentRecord(deviceName, self);
      } else {
        QVSHMRecordManager().removeProcessIDFromSegmentRecord(deviceName, self);
      }
    } catch (...) {
    }
  }
}

void QVSharedMemoryDevice::DeleteSyncObjects() noexcept {
  readQueueSignalCondition.reset();
  terminateEventWatchCondition.reset();
  urgentMessageReadLock.reset();
  urgentMessageWriteLock.reset();
  readQueueLock.reset();
  writeQueueLock.reset();
  readFreeSpaceAvailableCondition.reset();
  readUrgentMessageCondition.reset();
  writeFreeSpaceAvailableCondition.reset();
  writeUrgentMessageCondition.reset();
  writeQueueSignalCondition.reset();
  FlushRemovedSyncObjects();
}

QVString QVSharedMemoryDevice::SyncName(const char* listenerKey, const char* connectorKey) const {
  return deviceName + shmnames::SuffixOf(sideOfConnection == QVListenerSide ? listenerKey : connectorKey);
}

void QVSharedMemoryDevice::CreateSyncObjects() {
  QVThreadsFactory factory;
  auto condition = [&](Condition& field, const char* listenerKey, const char* connectorKey) {
    field.reset(factory.CreateCondition(SyncName(listenerKey, connectorKey), QVFifoConditionType));
    if (!field) Fail("Unable to create sync object condition", __LINE__, qvexceptiontype::internalError);
  };
  auto lock = [&](Lock& field, const char* listenerKey, const char* connectorKey) {
    field.reset(factory.CreateHandle(SyncName(listenerKey, connectorKey), QVNamedMutex, false));
    if (!field) Fail("Unable to create sync object lock handle", __LINE__, qvexceptiontype::internalError);
  };
  try {
    condition(readQueueSignalCondition, "ReadCondition", "WriteCondition");
    condition(readUrgentMessageCondition, "ReadMessageCondition", "WriteMessageCondition");
    condition(readFreeSpaceAvailableCondition, "FreeSpaceReadCondition", "FreeSpaceWriteCondition");
    lock(writeQueueLock, "WriteLock", "ReadLock");
    lock(readQueueLock, "ReadLock", "WriteLock");
    lock(urgentMessageWriteLock, "WriteMessageLock", "ReadMessageLock");
    lock(urgentMessageReadLock, "ReadMessageLock", "WriteMessageLock");
    terminateEventWatchCondition.reset(factory.CreateCondition(QVString(), QVPipeConditionType));
    if (!terminateEventWatchCondition) {
      Fail("Unable to create sync object condition", __LINE__, qvexceptiontype::internalError);
    }
  } catch (const QVException&) {
    DeleteSyncObjects();
    throw;
  }
}

// The three conditions the peer created and waits on.
void QVSharedMemoryDevice::ConnectSyncObjects() {
  QVThreadsFactory factory;
  auto open = [&](Condition& field, const char* listenerKey, const char* connectorKey, const char* failure) {
    field.reset(factory.OpenCondition(SyncName(listenerKey, connectorKey), QVFifoConditionType));
    if (!field) Fail(failure, __LINE__, qvexceptiontype::internalError);
  };
  try {
    open(writeQueueSignalCondition, "WriteCondition", "ReadCondition", "Unable to open writeQueueSignalCondition.");
    open(writeUrgentMessageCondition, "WriteMessageCondition", "ReadMessageCondition",
         "Unable to open writeUrgentMessageCondition.");
    open(writeFreeSpaceAvailableCondition, "FreeSpaceWriteCondition", "FreeSpaceReadCondition",
         "Unable to open writeFreeSpaceAvailableCondition.");
  } catch (const QVException&) {
    writeQueueSignalCondition.reset();
    writeUrgentMessageCondition.reset();
    writeFreeSpaceAvailableCondition.reset();
    FlushRemovedSyncObjects();
    Fail("Failed to connect synchronization objects.", __LINE__, qvexceptiontype::sharedMemorySyncObjects);
  }
}

// The listener's end of the side channel: bound to the loopback address
// only, since the connector never comes from anywhere else.
void QVSharedMemoryDevice::OpenSideChannel() {
  connectionPoint = std::make_unique<QVEndPoint>(QVIPV4, QVStream, QVIPAddress(kLocalHost, QVIPV4, static_cast<unsigned short>(0)));
  connectionPoint->SetForListening();
  memoryLayout->setListenerPort(connectionPoint->GetPort());
}

void QVSharedMemoryDevice::JoinSideChannel() {
  if (sideOfConnection == QVConnectorSide) {
    connectionPoint = std::make_unique<QVEndPoint>(
        QVIPV4, QVStream, QVIPAddress(kLocalHost, QVIPV4, memoryLayout->listenerPort()));
    connectionPoint->Connect(&SideChannelYield, this);
  } else {
    AcceptSideChannel();
  }
  connectionPoint->SetOption(QVOptionKeepAlive);
  sideChannelJoined = true;
}

// A connector killed after it set its flags never comes: between short polls
// of the listening socket the wait asks, as the flag waits do, whether the
// peer's process is gone, and the yield function whether to go on.
void QVSharedMemoryDevice::AcceptSideChannel() {
  WaitWhile([this] { return !connectionPoint->HasConnectionQ(kSideChannelPollMicroseconds); }, 0);
  connectionPoint->GetIncomingAndDuplicate();
}

bool QVSharedMemoryDevice::YieldAbortQ() { return QVCallYielder(yieldFunction, yieldCookie, nullptr) != 0; }

bool QVSharedMemoryDevice::SideChannelYield(void* device, void*) {
  return static_cast<QVSharedMemoryDevice*>(device)->YieldAbortQ();
}

template <typename Holds>
void QVSharedMemoryDevice::WaitWhile(Holds&& holds, long sleepMicroseconds) {
  for (;;) {
    if (segmentReleased.load() || deviceIsDead.load()) {
      Fail("The link's segment is gone.", __LINE__, qvexceptiontype::deadPeer);
    }
    if (!holds()) return;
    if (PeerProcessGoneQ()) Fail("The peer's process is gone.", __LINE__, qvexceptiontype::deadPeer);
    if (YieldAbortQ()) Fail("Yield function requested abort.", __LINE__, qvexceptiontype::yieldAbort);
    if (sleepMicroseconds > 0) usleep(static_cast<useconds_t>(sleepMicroseconds));
  }
}

std::atomic<bool> QVSharedMemoryDevice::offersAtomicCounting{true};

void QVSharedMemoryDevice::OfferAtomicCounting(bool offer) { offersAtomicCounting = offer; }

bool QVSharedMemoryDevice::ConnectedQ() const {
  if (!memoryLayout || segmentReleased.load()) return false;
  const QVSHMLayoutData data = memoryLayout->data();
  return data.listenerConnected != 0 && data.connectorConnected != 0;
}

bool QVSharedMemoryDevice::ConnectReady() {
  if (!memoryLayout || segmentReleased.load()) return false;
  const QVSHMLayoutData data = memoryLayout->data();
  return sideOfConnection == QVListenerSide ? data.connectorConnected != 0 : data.listenerConnected != 0;
}

void QVSharedMemoryDevice::Connect() {
  // Each side waits for the other's device, whichever came first.
  WaitWhile([this] { return !ConnectedQ(); }, 100);
  ConnectSyncObjects();
  const bool listener = sideOfConnection == QVListenerSide;
  // Offered before the ready flag, so that the peer sees the offer once it
  // sees the flag; a peer of an older build leaves its word 0.
  const bool offer = offersAtomicCounting.load();
  if (offer) memoryLayout->setReaderState(shmlayout::kReaderWantsWakeUps);
  memoryLayout->setFlag(listener ? QVSHMFlag::listenerSyncObjectsReady : QVSHMFlag::connectorSyncObjectsReady, 1);
  readQueueSignalCondition->Signal();
  WaitWhile(
      [this, listener] {
        if (!ConnectedQ()) {
          if (listener) Fail("Cound not maintain connection", __LINE__, qvexceptiontype::cannotMaintainConnection);
          Fail("Listener is no longer attached.", __LINE__, qvexceptiontype::listenerGone);
        }
        const QVSHMLayoutData data = memoryLayout->data();
        return data.listenerSyncObjectsReady == 0 || data.connectorSyncObjectsReady == 0;
      },
      1);
  const uint32_t peerState = memoryLayout->peerReaderState();
  peerCountsFreely = offer && shmlayout::CountsFreelyQ(peerState);
  JoinSideChannel();
  if (listener) memoryLayout->setFlag(QVSHMFlag::listenerPending, 0);
  StartEventWatch();
}

// The peer has claimed its half of the segment and its process has ended
// since: waiting for its flags would never end.
bool QVSharedMemoryDevice::PeerProcessGoneQ() const {
  const bool listener = sideOfConnection == QVListenerSide;
  const uint32_t claim = memoryLayout->word(listener ? QVSHMWord::connectorMagicInitializer
                                                     : QVSHMWord::listenerMagicInitializer);
  if (claim != (listener ? shmlayout::kConnectorMagic : shmlayout::kListenerMagic)) return false;
  const uint32_t peer = memoryLayout->readQueueProcessID();
  return peer != 0 && !QVProcess::processIsAliveQ(static_cast<int>(peer));
}

bool QVSharedMemoryDevice::PeerVanishedQ() const {
  if (!ConnectedQ()) return false;
  return !QVProcess::processIsAliveQ(static_cast<int>(memoryLayout->readQueueProcessID()));
}

void QVSharedMemoryDevice::MarkPeerDead() {
  deviceIsDead = true;
  if (readQueueSignalCondition) readQueueSignalCondition->Signal();
  WakeSleepingReader(false);
}

void QVSharedMemoryDevice::ReleaseInSignal(bool wake) noexcept {
  deviceIsDead = true;
  if (wake && terminateEventWatchCondition) {
    try {
      terminateEventWatchCondition->Signal();
    } catch (...) {
    }
    usleep(1);
  }
  if (connectionPoint) connectionPoint->Close();
  if (memorySegment && !segmentReleased.exchange(true)) memorySegment->detachSegmentAndRemoveFromOS();
}

int QVSharedMemoryDevice::GetFD() {
  return readQueueSignalCondition ? readQueueSignalCondition->GetRawObject() : -1;
}

long QVSharedMemoryDevice::Type() { return QVDEVICETYPE_SHAREDMEMORY; }
unsigned long QVSharedMemoryDevice::Modes() { return QVSharedMemoryWorld::kModes; }
QVString QVSharedMemoryDevice::ProtocolName() const { return QVSharedMemoryWorld::kProtocolName; }
QVString QVSharedMemoryDevice::Id() const { return QVSharedMemoryWorld::BuildId(); }
QVString QVSharedMemoryDevice::GetCompileTime() const { return QVSharedMemoryWorld::BuildTime(); }

long QVSharedMemoryDevice::StreamCapacity() {
  if (memoryLayout && !segmentReleased.load()) return static_cast<long>(memoryLayout->header().bufferLength);
  return QVSharedMemoryWorld::kStreamCapacity;
}

void QVSharedMemoryDevice::SetMessageHandler(QVDeviceMessageHandler handler, void* cookie) {
  messageCookie = cookie;
  messageHandler = handler;
}

void QVSharedMemoryDevice::GetMessageHandler(QVDeviceMessageHandler* handler, void** cookie) {
  if (handler != nullptr) *handler = messageHandler;
  if (cookie != nullptr) *cookie = messageCookie;
}

void QVSharedMemoryDevice::SetYieldFunction(QVDeviceYieldFunction function, void* cookie) {
  yieldFunction = function;
  yieldCookie = cookie;
}

void QVSharedMemoryDevice::GetYieldFunction(QVDeviceYieldFunction* function, void** cookie) {
  if (function != nullptr) *function = yieldFunction;
  if (cookie != nullptr) *cookie = yieldCookie;
}

}  // namespace Quorvane
