// What the two ends of an in-process link share: one stream per direction,
// each side's connected flag, gone flag, conditions and callbacks. Cores are
// found by link name in one process-wide table; each device holds a
// reference, and the last one to go removes the core from the table.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <ostream>
#include <vector>

#include "device/qvcallbackhandlers.h"
#include "device/qvintraprocessstream.h"
#include "utilities/qvdescriptorconditions.h"
#include "utilities/qvpthreadcondition.h"

namespace Quorvane {

enum QVSideOfConnection : int { QVIntraClientSide = 0, QVIntraServerSide = 1 };

// One side's callbacks. A message handler or yield function runs with the
// record's lock held, so it must not call back into the same record.
class QVIntraProcessCallbackHandler : public QVObject {
 public:
  QVIntraProcessCallbackHandler() = default;
  QVIntraProcessCallbackHandler(const QVIntraProcessCallbackHandler&) = delete;
  QVIntraProcessCallbackHandler& operator=(const QVIntraProcessCallbackHandler&) = delete;
  ~QVIntraProcessCallbackHandler() override = default;

  void setMessageHandler(QVDeviceMessageHandler handler, void* cookie);
  void getMessageHandler(QVDeviceMessageHandler* handler, void** cookie);
  bool hasMessageHandler();
  void setYieldFunction(QVDeviceYieldFunction function, void* cookie);
  void getYieldFunction(QVDeviceYieldFunction* function, void** cookie);
  bool hasYieldFunction();
  // Runs the message handler, when there is one, with the code and argument.
  void writeMessage(int code, int argument);
  // A message never waits in the record: writeMessage hands it to the
  // handler at once, or drops it.
  bool hasMessageQ() const { return false; }
  // The yield function's answer; 0 without one.
  int yield();
  void print(std::ostream& os);

 private:
  std::mutex Lock;
  QVCallbackHandlers Handler;
};

class QVIntraProcessCore : public QVObject {
 public:
  explicit QVIntraProcessCore(const QVString& name);
  QVIntraProcessCore(const QVIntraProcessCore&) = delete;
  QVIntraProcessCore& operator=(const QVIntraProcessCore&) = delete;
  ~QVIntraProcessCore() override = default;

  const QVString& getName() const { return name; }
  QVIntraStream& getReadStream(QVSideOfConnection side) {
    return side == QVIntraServerSide ? RightStream : LeftStream;
  }
  QVIntraStream& getWriteStream(QVSideOfConnection side) {
    return side == QVIntraServerSide ? LeftStream : RightStream;
  }
  QVIntraProcessCallbackHandler& getLocalHandlers(QVSideOfConnection side) { return handlers[side]; }
  QVIntraProcessCallbackHandler& getRemoteHandlers(QVSideOfConnection side) { return handlers[Other(side)]; }

  // A side's read condition, signalled by the other side's writes; its read
  // descriptor is readable while a signal is pending.
  QVPipeCondition& getLocalReadCondition(QVSideOfConnection side) { return *readConditions[side]; }
  QVPipeCondition& getRemoteReadCondition(QVSideOfConnection side) { return *readConditions[Other(side)]; }
  void signalRemoteReadCondition(QVSideOfConnection side) { getRemoteReadCondition(side).Signal(); }
  // True when signalled within the time-out.
  bool waitForLocalReadCondition(long microseconds, QVSideOfConnection side) {
    return getLocalReadCondition(side).Wait(microseconds);
  }
  // True when a signal is pending within the time-out; unlike a wait, the
  // signal stays pending.
  bool awaitLocalReadSignal(long microseconds, QVSideOfConnection side) {
    return descriptor_readable(getLocalReadCondition(side).GetRawObject(), microseconds);
  }
  void signalLocalReadCondition(QVSideOfConnection side) { getLocalReadCondition(side).Signal(); }
  void resetLocalReadCondition(QVSideOfConnection side) { getLocalReadCondition(side).Reset(); }

  void signalRemoteConnectedCondition(QVSideOfConnection side) { connectedConditions[Other(side)]->Signal(); }
  bool waitForLocalConnectedCondition(long microseconds, QVSideOfConnection side) {
    return connectedConditions[side]->Wait(microseconds);
  }
  void setLocalSideConnected(QVSideOfConnection side) { connected[side].store(true); }
  bool remoteSideHasConnectedQ(QVSideOfConnection side) const { return connected[Other(side)].load(); }
  bool remoteSideGoneQ(QVSideOfConnection side) const { return gone[Other(side)].load(); }

  // Devices using the core; changed only under the table lock.
  int referenceCount = 1;

  void print(std::ostream& os);

 private:
  friend void QVIntraProcessReleaseCore(QVIntraProcessCore* core, QVSideOfConnection side);

  static QVSideOfConnection Other(QVSideOfConnection side) {
    return side == QVIntraServerSide ? QVIntraClientSide : QVIntraServerSide;
  }
  void makeLocalConnectedCondition(QVSideOfConnection side);
  void makeLocalReadCondition(QVSideOfConnection side);

  QVString name;
  std::atomic<bool> connected[2] = {false, false};
  // Set when a side's device goes, so the other stops waiting for it.
  std::atomic<bool> gone[2] = {false, false};
  // All four are made with the core, both sides' at once, and exist for its
  // whole life: a side may signal the other's at any moment after the core
  // is in the table.
  std::unique_ptr<QVPthreadCondition> connectedConditions[2];
  std::unique_ptr<QVPipeCondition> readConditions[2];
  QVIntraStream LeftStream;   // server to client
  QVIntraStream RightStream;  // client to server
  QVIntraProcessCallbackHandler handlers[2];
};

// A new core under a fresh name: 7 random letters or digits and "_ipq",
// longer names once 15 draws of one length were all taken. Registered with
// one reference.
QVIntraProcessCore* QVIntraProcessCreateServerCore();
// The core of that name with one more reference; type 6 when there is none.
QVIntraProcessCore* QVIntraProcessAttachClient(const QVString& name);
// A side's device goes: the other side is woken and learns it; the core is
// deleted with its last reference.
void QVIntraProcessReleaseCore(QVIntraProcessCore* core, QVSideOfConnection side);
// The core's reference count, read under the table lock.
int QVIntraProcessReferences(QVIntraProcessCore* core);
// The names in the table, in table order.
std::vector<QVString, QVStdAllocator<QVString>> QVIntraProcessTableNames();
// Forgets every name, so no later client attaches to an earlier
// environment's server; cores still used by devices go with their last device.
void QVIntraProcessForgetNames();

}  // namespace Quorvane
