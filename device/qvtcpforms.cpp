// The TCP device's operations outside its interface function: its user data,
// the handler that drops early messages, the closed-connection notice and
// two plain questions about the connection.
#include "device/qvmessagelayer.h"
#include "device/qvtcp.h"
#include "device/qvtcprecord.h"

namespace {

Quorvane::tcp::Record* RecordOf(void* device) { return static_cast<Quorvane::tcp::Instance*>(device)->record; }

}  // namespace

void* socket_userdata(void* device) noexcept { return device == nullptr ? nullptr : RecordOf(device)->userData; }

void socket_setuserdata(void* device, void* data) noexcept {
  if (device != nullptr) RecordOf(device)->userData = data;
}

void socket_stubhandler(void*, int, int) noexcept {}

// The device holds nothing for its peer that a closed connection would free.
void socket_notifyForClosedConnection(void*) noexcept {}

int socket_has_connection(void* device) noexcept {
  if (device == nullptr) return -1;
  const Quorvane::tcp::Record* record = RecordOf(device);
  return record->state == 1 || record->listening == 0 ? 1 : 0;
}

int socket_hasdata(void* device) noexcept {
  if (device == nullptr) return -1;
  const Quorvane::tcp::Record* record = RecordOf(device);
  if (record->state != 1 && record->listening == 0) return 1;
  return unix_select(record->dataFd, -1, -1, 0);
}
