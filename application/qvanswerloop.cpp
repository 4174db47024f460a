// The answer loop, call dispatch and the message handler whose flags end it.
#include "application/qvapplication.h"

namespace Quorvane {

namespace {

// One row per installable function, in the order of the host's index.
const func _tramps[] = {{10, 0, _tr0, "algorithm3"}};
constexpr int kTrampCount = static_cast<int>(sizeof _tramps / sizeof _tramps[0]);

// Asked while the loop waits for the host: a terminate message that arrives
// while the program idles ends the wait instead of leaving it blocked.
int DoneWhileWaiting(QVLink*, void*) { return RVDone.load() != 0 ? 1 : 0; }

// Waits until a packet can be read. Activity on the link's descriptor may be
// framing alone (the host acknowledging the last answer): the link then has
// nothing to read, and a read would block where a terminate message is never
// looked at, so the wait goes on.
bool WaitForInput(QVLink* link) {
  while (RVDone.load() == 0) {
    if (RVWaitForLinkActivityWithCallback(link, DoneWhileWaiting) != 1) return false;
    if (RVReady(link) != 0) return true;
  }
  return false;
}

bool ArgumentsFit(QVLink* link, const func& row) {
  if (row.argumentCount < 0) return true;
  int count = 0;
  if (RVTestHead(link, "List", &count) == 0) return false;
  return row.manual == 0 ? count == row.argumentCount : count >= row.argumentCount;
}

}  // namespace

int _RVDoCallPacket(QVLink* link, const func* table, int count) noexcept {
  int answered = 0;
  int index = -1;
  if (RVGetInteger(link, &index) != 0 && index >= 0 && index < count && ArgumentsFit(link, table[index])) {
    stdlink.store(link);
    answered = table[index].function(link);
  }
  if (answered == 0) {
    // A lost connection cannot be cleared: nothing is answered then.
    if (RVClearError(link) == 0) return 0;
    answered = RVPutSymbol(link, "$Failed");
  }
  if (answered == 0) return 0;
  return RVEndPacket(link) != 0 && RVNewPacket(link) != 0 ? 1 : 0;
}

int RVDoCallPacket(QVLink* link) noexcept { return _RVDoCallPacket(link, _tramps, kTrampCount); }

int RVAnswer(QVLink* link) noexcept {
  int packet = 0;
  while (RVDone.load() == 0 && RVError(link) == 0 && WaitForInput(link) &&
         (packet = RVNextPacket(link)) == RV_CALL_PACKET) {
    RVAbort.store(0);
    if (RVDoCallPacket(link) == 0) packet = 0;
  }
  RVAbort.store(0);
  return packet;
}

void RVDefaultHandler(void*, int message, int) noexcept {
  switch (message) {
    case kTerminateMessage:
      RVDone.store(1);
      RVAbort.store(1);
      break;
    case kInterruptMessage:
    case kAbortMessage:
      RVAbort.store(1);
      break;
    default:
      break;
  }
}

}  // namespace Quorvane
