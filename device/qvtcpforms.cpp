// The TCP world's answers about itself and its devices, the device's yield
// function, and the operations outside the interface function: the user
// data, the handler that drops early messages, the closed-connection notice
// and two plain questions about the connection.
#include <signal.h>

#include <cstring>

#include "device/qvmessagelayer.h"
#include "device/qvproceduralanswers.h"
#include "device/qvtcp.h"
#include "device/qvtcprecord.h"

namespace Quorvane::tcp {

namespace {

constexpr long kModes = 6;  // Listen and Connect
constexpr long kStreamCapacity = 3896;
constexpr long kListenMode = 2;
constexpr long kConnectMode = 4;
constexpr long kForceYieldOption = 0x200;
constexpr long kNameSizeAnswer = 500;
constexpr const char* kProtocol = "TCP";
// A build stamp of 21 characters.
constexpr const char* kWorldId = "TCP   " __DATE__ " 001";
static_assert(sizeof("TCP   " __DATE__ " 001") - 1 == 21);

using procedural::CopyTruncated;
using procedural::CopyWhole;
using procedural::StoreWord;
using procedural::Word;

// The host text whole when it fits, else only a zero first byte; the full
// length is answered either way.
long CopyHost(socket_globals* globals, void* buffer, void* capacity) {
  if (buffer == nullptr || capacity == nullptr) return -1;
  lazy_init(globals);
  const long length = static_cast<long>(std::strlen(globals->host));
  if (length < *Word(capacity)) std::memcpy(buffer, globals->host, static_cast<size_t>(length) + 1);
  else if (*Word(capacity) > 0) static_cast<char*>(buffer)[0] = '\0';
  *Word(capacity) = length;
  return 0;
}

}  // namespace

long socket_get_signal_handlers(QVSignalHandlerList** list) noexcept {
  if (list == nullptr) return kNoMemory;
  try {
    auto* made = new QVSignalHandlerList();
    for (int number : {SIGIO, SIGURG}) made->emplace_back(number, &unix_signal_handler, false, false, true);
    *list = made;
    return 0;
  } catch (...) {
    return kNoMemory;
  }
}

void socket_release_signal_handlers(QVSignalHandlerList* list) noexcept { delete list; }

long socket_world_protocol(const socket_globals* globals, char* buffer, long* length) noexcept {
  if (globals == nullptr) return -1;
  return CopyWhole(kProtocol, buffer, length);
}

long socket_world_modes(long* modes) noexcept { return StoreWord(kModes, modes, nullptr); }

long socket_world_streamcapacity(const socket_globals* globals, long* capacity, long* width) noexcept {
  if (globals == nullptr) return -1;
  return StoreWord(kStreamCapacity, capacity, width);
}

long socket_world_id(const socket_globals* globals, char* buffer, long* length) noexcept {
  if (globals == nullptr) return -1;
  return CopyWhole(kWorldId, buffer, length);
}

long socket_devinfo(socket_device* record, qvdeviceselector selector, void* buffer, void* length) noexcept {
  switch (selector) {
    case QVDEVICE_TYPE: return StoreWord(QVDEVICETYPE_TCP, buffer, nullptr);
    case QVDEVICE_NAME: return CopyTruncated(record->name, buffer, length);
    case QVDEVICE_NAME_SIZE: return StoreWord(kNameSizeAnswer, buffer, nullptr);
    case QVDEVICE_FILE_DESCRIPTOR:
      if (buffer == nullptr) return -1;
      *static_cast<int*>(buffer) = record->dataFd;
      return 0;
    case QVDEVICE_SPECIFIC_34: return procedural::StoreFixed(record->peerAddress, buffer, length);
    case QVDEVICE_SPECIFIC_35: return procedural::StoreFixed(record->peerPort, buffer, length);
    case QVDEVICE_MODE: return StoreWord(record->listening != 0 ? kListenMode : kConnectMode, buffer, length);
    case QVDEVICE_OPTIONS: return StoreWord(record->forceYield ? kForceYieldOption : 0, buffer, length);
    default: return -1;
  }
}

long socket_worldinfo(socket_globals* globals, qvdeviceselector selector, void* buffer, void* length) noexcept {
  switch (selector) {
    case QVDEVICE_MODES: return StoreWord(kModes, buffer, nullptr);
    case QVDEVICE_PROTOCOL_NAME: return CopyTruncated(kProtocol, buffer, length);
    case QVDEVICE_STREAM_CAPACITY: return StoreWord(kStreamCapacity, buffer, length);
    case QVDEVICE_WORLD_IDENTITY: return CopyTruncated(kWorldId, buffer, length);
    case QVDEVICE_SPECIFIC_40: return CopyHost(globals, buffer, length);
    default: return -1;
  }
}

long socket_setyieldfunction(socket_device* record, qv_yield_function function, void* cookie) noexcept {
  record->yielder = function;
  record->yieldCookie = cookie;
  return 0;
}

long socket_getyieldfunction(socket_device* record, qv_yield_function* function, void** cookie) noexcept {
  if (function == nullptr) return -1;
  *function = record->yielder;
  if (cookie != nullptr) *cookie = record->yieldCookie;
  return 0;
}

}  // namespace Quorvane::tcp

namespace {

Quorvane::tcp::socket_device* RecordOf(void* device) { return static_cast<Quorvane::tcp::Instance*>(device)->record; }

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
  const Quorvane::tcp::socket_device* record = RecordOf(device);
  return record->state == 1 || record->listening == 0 ? 1 : 0;
}

int socket_hasdata(void* device) noexcept {
  if (device == nullptr) return -1;
  const Quorvane::tcp::socket_device* record = RecordOf(device);
  if (record->state != 1 && record->listening == 0) return 1;
  return unix_select(record->dataFd, -1, -1, 0);
}
