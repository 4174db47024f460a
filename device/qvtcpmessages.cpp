// Transfers of the TCP record and its out-of-band messages: eight-byte
// records on the message connection, or one byte of urgent data without it.
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
  return ReadMessageOf(static_cast<Record*>(device), code, argument) == 1 ? 1 : 0;
}

}  // namespace

bool Unconnected(const Record* record) noexcept { return record->state == 0 && record->connecting == 0; }

long RecordRead(Record* record, void* buffer, long length) noexcept {
  if (Unconnected(record)) return -2;
  YieldData yield(kReadYieldValue, kYieldSleep);
  return unix_read(record->dataFd, buffer, length, record->yielder, record->yieldCookie, record->forceYield ? 1 : 0,
                   yield.get());
}

long RecordWrite(Record* record, const void* bytes, long length) noexcept {
  if (Unconnected(record)) return -2;
  YieldData yield(kWriteYieldValue, kYieldSleep);
  return unix_send(record->dataFd, bytes, length, record->yielder, record->yieldCookie, record->forceYield ? 1 : 0,
                   yield.get());
}

long RecordWritePieces(Record* record, iovec* pieces, int count) noexcept {
  if (Unconnected(record)) return -2;
  YieldData yield(kWriteYieldValue, kYieldSleep);
  return unix_write_pieces(QVWriteTarget::kSocket, record->dataFd, pieces, count, record->yielder, record->yieldCookie,
                           record->forceYield ? 1 : 0, yield.get());
}

long WriteMessage(Record* record, uint64_t code, uint64_t argument) noexcept {
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

int ReadMessageOf(Record* record, uint64_t* code, uint64_t* argument) noexcept {
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

void SetMessageHandler(Record* record, qv_message_handler handler, void* cookie) noexcept {
  record->handler = handler;
  record->handlerCookie = cookie;
  if (record->state != 1) return;
  if (handler == nullptr) unix_rmvmsghandler(record);
  else unix_setmsghandler(record, ReadRegistered, handler, cookie, record->msgFd, record->dataFd);
}

}  // namespace Quorvane::tcp
