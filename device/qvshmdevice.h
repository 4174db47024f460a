// One end of a "SharedMemory" link. The listener creates (or takes over) the
// segment named after the link, the connector attaches to it (or creates it
// when it comes first); each then writes one ring queue and reads the other.
// This class sets the link up and tears it down; the byte path is built on
// the fields kept here.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <ostream>

#include "device/qvdeviceworld.h"
#include "device/qvshmlayout.h"
#include "device/qvshmspin.h"
#include "network/qvendpoint.h"
#include "utilities/qvcondition.h"
#include "utilities/qvsharedmemorysegment.h"
#include "utilities/qvsmartpointer.h"
#include "utilities/qvthreadprimitives.h"

namespace Quorvane {

class QVSharedMemoryWorld;

class QVSharedMemoryDevice : public QVDevice {
 public:
  // Made only by the world; failures are QVExceptions and leave nothing made.
  QVSharedMemoryDevice(QVDeviceParameters* parameters, QVSharedMemoryWorld* world);
  ~QVSharedMemoryDevice() override;

  bool ConnectReady() override;
  void Connect() override;
  void Write(char* start, unsigned long count) override;
  void WriteWindow(char** start, unsigned long* size) override;
  void Read(char** start, unsigned long* size) override;
  void ReadComplete(char* start, unsigned long count) override;
  bool HasDataQ() override;
  bool HasDataSoonQ() override;
  void WriteMessage(unsigned long code, unsigned long argument) override;
  void ReadMessage(unsigned long* code, unsigned long* argument) override;
  bool HasMessageQ() override;
  void SetMessageHandler(QVDeviceMessageHandler handler, void* cookie) override;
  void GetMessageHandler(QVDeviceMessageHandler* handler, void** cookie) override;
  void SetYieldFunction(QVDeviceYieldFunction function, void* cookie) override;
  void GetYieldFunction(QVDeviceYieldFunction* function, void** cookie) override;
  long Type() override;
  QVString Name() override { return deviceName; }
  long NameSize() override { return static_cast<long>(deviceName.size()); }
  int GetFD() override;
  bool HasConnectionQ() override { return true; }
  long Mode() override { return sideOfConnection == QVListenerSide ? 1 : 0; }
  unsigned long Options() override { return 0; }
  unsigned long Modes() override;
  QVString ProtocolName() const override;
  long StreamCapacity() override;
  QVString Id() const override;
  QVString GetCompileTime() const override;
  void notifyForClosedConnection() override {}
  void PrintDevice(std::ostream& os) const override;

  // Whether devices that connect from now on offer their peer atomic
  // counting (on by default). Off, a device behaves as a peer of an older
  // build: it counts under the queue locks and wants every wake-up, so
  // that the path kept for such peers can be tested.
  static void OfferAtomicCounting(bool offer);

  // Both ends have attached to the segment.
  bool ConnectedQ() const;
  bool DeadQ() const { return deviceIsDead.load(); }
  uint64_t getDeviceNumber() const { return deviceNumber; }
  qvdeviceconnectionside getSide() const { return sideOfConnection; }

  // For the other-process watch, under the world table's lock: a connected
  // device whose peer (the writer of its read queue) no longer exists.
  bool PeerVanishedQ() const;
  // Marks the device dead and wakes a reader waiting for data.
  void MarkPeerDead();
  // Signal context: the device is dead, its side channel closed and its
  // segment unmapped and removed; with wake, the event watch is told to end.
  // Only calls that are safe in a signal handler.
  void ReleaseInSignal(bool wake) noexcept;

 private:
  using Lock = std::unique_ptr<QVMutexHandle>;
  using Condition = std::unique_ptr<QVCondition>;

  void CreateListener();
  void CreateConnector();
  // One attempt of the listener on deviceName: true when the segment is ours.
  // A patient one takes a segment still being made by a connector for
  // that (segmentBeingMade) rather than refusing it.
  bool TryListenOn(const QVString& requested, bool patient);
  bool TakeOverExisting(const QVString& requested, bool patient);
  void AttachConnector();
  void CreateSyncObjects();
  void ConnectSyncObjects();
  void OpenSideChannel();
  void JoinSideChannel();
  void AcceptSideChannel();
  // Waits while the check holds, sleeping that long between looks (0: the
  // check waits itself) and polling the yield function; a peer whose process
  // has ended ends the wait.
  template <typename Holds>
  void WaitWhile(Holds&& holds, long sleepMicroseconds);
  bool YieldAbortQ();
  bool PeerProcessGoneQ() const;
  static bool SideChannelYield(void* device, void*);
  QVString SyncName(const char* listenerKey, const char* connectorKey) const;
  void SendClosingNotice() noexcept;
  // The data path's waits and the event watch (thread body).
  void StartEventWatch();
  void EventWatch() noexcept;
  void TakeMessage() noexcept;
  void MarkDead(int32_t deathType) noexcept;
  void WakeReaders() noexcept;
  // True once the peer is known gone: its side channel reached end of stream
  // (it closed or was killed) or its connected flag is clear; sets the state.
  bool PeerLeftQ() noexcept;
  bool PeerClosedQ() const noexcept;
  [[noreturn]] void FailStopped(const char* closed, const char* dead, unsigned line) const;
  // The write window as it stands (rewinding a drained queue when allowed)
  // and the read window as it stands.
  QVSHMWindow LookAtWriteQueue(bool mayRewind);
  QVSHMWindow LookAtReadQueue();
  // Signals the peer's reader unless it said it is looking at the ring.
  void WakeReader();
  // A reader's spin before a sleep, with the policy of its kind of wait;
  // true when data came.
  bool SpinForData(QVSHMSpin& spin);
  QVSHMWindow SleepForData();
  // Wakes this side's reader (or the peer's) when it sleeps on its word.
  void WakeSleepingReader(bool peer) noexcept;
  // One look at the read ring's free space without its lock: a hint only.
  bool ReadQueueLooksEmptyQ() const;
  // Takes signals left from edges that came while we were not asleep.
  static void TakeLeftoverSignals(QVCondition& condition);
  void TearDownSegment() noexcept;
  void DeleteSyncObjects() noexcept;
  [[noreturn]] void Fail(const QVString& what, unsigned line, qvexceptiontype type) const;

  QVSharedMemoryWorld* world;
  // The world's number, kept so that leaving its table needs no world.
  uint64_t homeWorld = 0;
  QVDeviceParameters deviceParameters;
  QVDeviceYieldFunction yieldFunction = nullptr;
  void* yieldCookie = nullptr;
  // Set by the link's thread, called by the event watch.
  std::atomic<QVDeviceMessageHandler> messageHandler{nullptr};
  std::atomic<void*> messageCookie{nullptr};
  QVString deviceName;
  Lock writeQueueLock;
  Lock readQueueLock;
  Lock urgentMessageWriteLock;
  Lock urgentMessageReadLock;
  qvdeviceconnectionside sideOfConnection = QVListenerSide;
  std::atomic<bool> deviceIsDead{false};
  std::atomic<int32_t> deviceDeathType{1};
  Condition terminateEventWatchCondition;
  QVSmartPointer<QVSharedMemorySegment> memorySegment;
  std::unique_ptr<QVSHMLayout> memoryLayout;
  Condition writeQueueSignalCondition;
  Condition readQueueSignalCondition;
  Condition writeUrgentMessageCondition;
  Condition readUrgentMessageCondition;
  Condition writeFreeSpaceAvailableCondition;
  Condition readFreeSpaceAvailableCondition;
  std::unique_ptr<QVThread> eventWatchThread;
  uint64_t deviceNumber = 0;
  std::unique_ptr<QVEndPoint> connectionPoint;
  // connectionPoint stands for the joined side channel (before Connect the
  // listener's is still the listening socket). Link thread only.
  bool sideChannelJoined = false;
  // Set once the segment is unmapped by a signal: nothing may touch it after.
  std::atomic<bool> segmentReleased{false};
  // This process recorded itself as a user of the segment.
  bool recorded = false;
  // The listener's last look found the segment still being made.
  bool segmentBeingMade = false;
  // The windows worked out under the lock by the last commit and release, so
  // that the next WriteWindow and Read need not take it again. The peer only
  // ever adds room to our write queue and data to our read queue, so a kept
  // window stays usable (at worst shorter than a fresh look). Link thread only.
  QVSHMWindow nextWriteWindow;
  QVSHMWindow nextReadWindow;
  QVSHMSpin readSpin;
  QVSHMSpin writeSpin;
  // The look of a readiness wait before it blocks: the next message after a
  // pause comes when the peer pleases, unlike the rest of a message being read.
  QVSHMSpin activitySpin;
  // The peer said in Connect that it counts freeSpace with atomic adds and
  // reports when it looks at the ring: then neither side takes the queue
  // locks, and a reader that looks is not signalled. Set by Connect.
  bool peerCountsFreely = false;
  static std::atomic<bool> offersAtomicCounting;
};

}  // namespace Quorvane
