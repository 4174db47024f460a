// Each connected shared-memory device has one thread that takes the peer's
// messages as they come: the closing notice turns the device closed, any
// other message goes to the link's handler or waits in its slot for
// ReadMessage.
#include <list>

#include "device/qvshmdevice.h"
#include "utilities/qvthreadprimitives.h"
#include "utilities/qvthreads.h"

namespace Quorvane {

void QVSharedMemoryDevice::StartEventWatch() {
  eventWatchThread.reset(caught([this] { EventWatch(); }));
}

void QVSharedMemoryDevice::EventWatch() noexcept {
  try {
    QVThread::SetName("SHM-" + deviceName + "-EventWatch");
    std::list<QVCondition*> conditions{readUrgentMessageCondition.get(), terminateEventWatchCondition.get()};
    while (!deviceIsDead.load()) {
      QVCondition* signalled = QVMultipleConditionWait(conditions, -1);
      if (signalled == readUrgentMessageCondition.get()) {
        TakeMessage();
      } else if (signalled == terminateEventWatchCondition.get()) {
        MarkDead(1);
        WakeReaders();
      }
    }
  } catch (...) {
    // A watch that cannot wait any more cannot tell a closed peer either.
    MarkDead(1);
    WakeReaders();
  }
}

void QVSharedMemoryDevice::TakeMessage() noexcept {
  if (segmentReleased.load()) return;
  QVMutex hold(urgentMessageReadLock.get());
  const auto [value, arg] = memoryLayout->readMessage();
  if (value == 0) return;
  if (value == shmlayout::kClosingNotice) {
    MarkDead(0);
    WakeReaders();
    memoryLayout->clearReadMessage();
    return;
  }
  // Without a handler the message stays for ReadMessage.
  const QVDeviceMessageHandler handler = messageHandler.load();
  if (handler == nullptr) return;
  try {
    handler(messageCookie.load(), static_cast<int>(value), static_cast<int>(arg));
  } catch (...) {
  }
  memoryLayout->clearReadMessage();
}

}  // namespace Quorvane
