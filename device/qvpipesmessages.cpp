// The Pipes device's out-of-band messages: eight-byte records on the message
// pipes, or the signals SIGTERM, SIGINT and SIGABRT for a device without
// them, and the message handler that hears them.
#include <signal.h>

#include "device/qvmessagelayer.h"
#include "device/qvpipes.h"
#include "device/qvpipesrecord.h"
#include "device/qvsigpipeheld.h"

namespace Quorvane::pipes {

namespace {

Record* RecordOf(void* device) { return static_cast<Instance*>(device)->record; }

int ReadRecordMessage(void* device, uint64_t* code, uint64_t* argument) {
  auto* record = static_cast<Record*>(device);
  return unix_readmsg(record->msgReadFd, code, argument);
}

}  // namespace

int GuardedWriteMessage(int fd, uint64_t code, uint64_t argument) noexcept {
  SigpipeHeld held;
  return unix_writemsg(fd, code, argument);
}

}  // namespace Quorvane::pipes

long pipe_writemsg(void* device, uint64_t code, uint64_t argument) noexcept {
  using namespace Quorvane::pipes;
  if (device == nullptr) return -1;
  Record* record = RecordOf(device);
  if (record->msgWriteFd >= 0) {
    return GuardedWriteMessage(record->msgWriteFd, code, argument) == 1 ? 0 : kMessageWriteFailed;
  }
  const pid_t target = record->childPid != 0 ? record->childPid : record->parentPid;
  if (target <= 0 || argument != 0) return kMessageWriteFailed;
  int number = 0;
  switch (code) {
    case 1: number = SIGTERM; break;
    case 2: number = SIGINT; break;
    case 3: number = SIGABRT; break;
    default: return kMessageWriteFailed;
  }
  return kill(target, number) == 0 ? 0 : kMessageWriteFailed;
}

long pipe_hasmsg(void* device, long* waiting) noexcept {
  using namespace Quorvane::pipes;
  if (device == nullptr || waiting == nullptr) return -1;
  Record* record = RecordOf(device);
  if (IsSignaledDevice(record)) {
    *waiting = TakeSignaledMessage(nullptr, nullptr, false) ? 1 : 0;
    return 0;
  }
  *waiting = unix_select(record->msgReadFd, -1, -1, 0);
  return *waiting < 0 ? 1 : 0;
}

long pipe_readmsg(void* device, uint64_t* code, uint64_t* argument) noexcept {
  using namespace Quorvane::pipes;
  if (device == nullptr || code == nullptr || argument == nullptr) return -1;
  Record* record = RecordOf(device);
  if (IsSignaledDevice(record)) return TakeSignaledMessage(code, argument, true) ? 0 : kNoMessage;
  if (record->msgReadFd < 0) return kNoMessage;
  return unix_readmsg(record->msgReadFd, code, argument) == 1 ? 0 : kNoMessage;
}

long pipe_setmsghandler(void* device, qv_message_handler handler, void* cookie) noexcept {
  using namespace Quorvane::pipes;
  if (device == nullptr) return -1;
  Record* record = RecordOf(device);
  if (IsSignaledDevice(record)) {
    SetSignaledHandler(handler, cookie);
    return 0;
  }
  record->handler = handler;
  record->handlerCookie = cookie;
  if (record->launched != 0) HandlersChanged();
  if (record->msgReadFd < 0) return 0;
  if (handler == nullptr) unix_rmvmsghandler(record);
  else unix_setmsghandler(record, ReadRecordMessage, handler, cookie, record->msgReadFd, -1);
  return 0;
}

long pipe_getmsghandler(void* device, qv_message_handler* handler, void** cookie) noexcept {
  using namespace Quorvane::pipes;
  if (device == nullptr || handler == nullptr) return -1;
  Record* record = RecordOf(device);
  qv_message_handler found = record->handler;
  void* foundCookie = record->handlerCookie;
  if (IsSignaledDevice(record)) SignaledHandler(&found, &foundCookie);
  *handler = found;
  if (cookie != nullptr) *cookie = foundCookie;
  return 0;
}
