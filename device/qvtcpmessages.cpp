// Transfers of the TCP record and its out-of-band messages: eight-byte
// records on the message connection, or one byte of urgent data without it,
// and the handler that hears them.
#include <sys/socket.h>

#include "device/qvmessagelayer.h"
#include "device/qvsigpipeheld.h"
#include "device/qvsockcalls.h"
#include "device/qvtcprecord.h"

namespace Quorvane::tcp {

namespace {

constexpr int64_t kReadYieldValue = 3;
constexpr int64_t kWriteYieldValue = 4;
constexpr long kYieldSleep = 12;

int ReadRegistered(void* device, uint64_t* code, uint64_t* argument) {
  return socket_readmsg(static_cast<socket_device*>(device), code, argument) == 1 ? 1 : 0;
}

}  // namespace

bool Unconnected(const socket_device* record) noexcept { return record->state == 0 && record->connecting == 0; }

long socket_read(socket_device* record, void* buffer, long length) noexcept {
  if (Unconnected(record)) return -2;
  YieldData yield(kReadYieldValue, kYieldSleep);
  return unix_read(record->dataFd, buffer, length, record->yielder, record->yieldCookie, record->forceYield ? 1 : 0,
                   yield.get());
}

long socket_write(socket_device* record, const void* bytes, long length) noexcept {
  if (Unconnected(record)) return -2;
  YieldData yield(kWriteYieldValue, kYieldSleep);
  return unix_send(record->dataFd, bytes, length, record->yielder, record->yieldCookie, record->forceYield ? 1 : 0,
                   yield.get());
}

long RecordWritePieces(socket_device* record, iovec* pieces, int count) noexcept {
  if (Unconnected(record)) return -2;
  YieldData yield(kWriteYieldValue, kYieldSleep);
  return unix_write_pieces(QVWriteTarget::kSocket, record->dataFd, pieces, count, record->yielder, record->yieldCookie,
                           record->forceYield ? 1 : 0, yield.get());
}

long socket_writemsg(socket_device* record, uint64_t code, uint64_t argument) noexcept {
  if (Unconnected(record)) return kConnectionLost;
  if (record->msgFd >= 0) {
    SigpipeHeld held;
    return unix_writemsg(record->msgFd, code, argument) == 1 ? 0 : kMessageWriteFailed;
  }
  // Urgent data carries one byte: codes 1 to 255 without an argument.
  if (code < 1 || code > 255 || argument != 0 || record->dataFd < 0) return kMessageWriteFailed;
  const unsigned char byte = static_cast<unsigned char>(code);
  return qvsock__send(record->dataFd, &byte, 1, MSG_OOB | MSG_NOSIGNAL) == 1 ? 0 : kMessageWriteFailed;
}

int socket_readmsg(socket_device* record, uint64_t* code, uint64_t* argument) noexcept {
  if (Unconnected(record)) return -2;
  if (unix_select(record->msgFd, -1, record->dataFd, 1) <= 0) return 0;
  *code = 0;
  *argument = 0;
  if (record->msgFd < 0) {
    unsigned char byte = 0;
    const ssize_t got = qvsock__recv(record->dataFd, &byte, 1, MSG_OOB);
    if (got == 0) {
      record->state = 0;
      return 0;
    }
    if (got != 1) return 0;
    *code = byte;
    return byte != 0 ? 1 : 0;
  }
  // An incomplete record is kept by the layer for the rest to come.
  return unix_readmsg(record->msgFd, code, argument) == 1 ? 1 : 0;
}

long socket_hasmsg(socket_device* record, long* waiting) noexcept {
  if (Unconnected(record)) {
    *waiting = -2;
    return 1;
  }
  *waiting = unix_select(record->msgFd, -1, record->dataFd, 1);
  return *waiting < 0 ? 1 : 0;
}

void socket_setmsghandler(socket_device* record, qv_message_handler handler, void* cookie) noexcept {
  record->handler = handler;
  record->handlerCookie = cookie;
  if (record->state != 1) return;
  if (handler == nullptr) unix_rmvmsghandler(record);
  else unix_setmsghandler(record, ReadRegistered, handler, cookie, record->msgFd, record->dataFd);
}

long socket_getmsghandler(socket_device* record, qv_message_handler* handler, void** cookie) noexcept {
  if (handler == nullptr) return -1;
  *handler = record->handler;
  if (cookie != nullptr) *cookie = record->handlerCookie;
  return 0;
}

void socket_rmvmsghandler(socket_device* record) noexcept {
  unix_rmvmsghandler(record);
  record->handler = nullptr;
  record->handlerCookie = nullptr;
}

}  // namespace Quorvane::tcp
