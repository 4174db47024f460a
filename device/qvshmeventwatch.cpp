// Each connected shared-memory device has one thread that takes the peer's
// messages as they come: the closing notice turns the device closed, any
// other message goes to the link's handler or waits in its slot for
// ReadMessage. It also watches the side channel, which carries no bytes and
// ends only when the peer closes it or its process ends: a peer killed
// without a word makes the device dead at once, and wakes whoever waits on
// it (a read, a write, a wait for activity on GetFD's descriptor), where
// the other-process watch would take up to a pass of its own.
#include <sys/socket.h>

#include <cerrno>
#include <iterator>

#include "device/qvshmdevice.h"
#include "utilities/platform/qvpoll.h"
#include "utilities/platform/qvstreampeer.h"
#include "utilities/qvthreadprimitives.h"
#include "utilities/qvthreads.h"

namespace Quorvane {

namespace {

// Bytes nobody should have sent on the side channel are read and dropped, so
// that they cannot keep its descriptor readable; a few reads a wake-up, so
// that a peer that keeps sending cannot hold the watch here.
void DropStrayBytes(int fd) noexcept {
  char bytes[4096];
  for (int reads = 0; reads < 4; ++reads) {
    const ssize_t n = recv(fd, bytes, sizeof bytes, MSG_DONTWAIT);
    if (n <= 0 && !(n < 0 && errno == EINTR)) return;
  }
}

}  // namespace

void QVSharedMemoryDevice::StartEventWatch() {
  eventWatchThread.reset(caught([this] { EventWatch(); }));
}

void QVSharedMemoryDevice::EventWatch() noexcept {
  try {
    QVThread::SetName("SHM-" + deviceName + "-EventWatch");
    // Joined before the watch starts, closed only after it has been joined
    // (or, in a signal handler, after the device is marked dead).
    const int sideChannel = sideChannelJoined ? connectionPoint->GetSocket().GetRawSocket() : -1;
    bool ending = false;  // this device is being destroyed
    while (!deviceIsDead.load()) {
      platform::QVDescriptorWait entries[] = {{readUrgentMessageCondition->GetRawObject(), 0, false, 0},
                                              {terminateEventWatchCondition->GetRawObject(), 0, false, 0},
                                              {sideChannel, 0, false, 0}};
      if (platform::WaitForDescriptors(entries, std::size(entries), -1) < 0) {
        throw QVException("The event watch cannot wait.", "device/qvshm", __LINE__, qvexceptiontype::internalError,
                          errno);
      }
      if (entries[1].readable) {
        terminateEventWatchCondition->Reset();
        ending = true;
        MarkDead(1);
        WakeReaders();
        continue;
      }
      // A message sent just before the peer went is taken before its end.
      if (entries[0].readable) {
        readUrgentMessageCondition->Reset();
        TakeMessage();
      }
      if (entries[2].readable && !deviceIsDead.load()) {
        if (platform::StreamPeerGoneQ(sideChannel)) {
          // A message the peer put just before it went (a terminate, say) may
          // not have shown on its descriptor when this wait looked: it is
          // taken before the device is dead.
          TakeMessage();
          MarkDead(PeerClosedQ() ? 0 : 1);
          WakeReaders();
        } else {
          DropStrayBytes(sideChannel);
        }
      }
    }
    // Made dead by another thread (the other-process watch, a reader that saw
    // the peer go): a message the peer left is still delivered.
    if (!ending) TakeMessage();
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
