// The Pipes world's answers about itself and its devices, the device's
// callbacks and user data, a yield function that only sleeps, and the
// closed-connection notice.
#include <signal.h>

#include <cstring>

#include "device/qvpipes.h"
#include "device/qvpipesrecord.h"
#include "device/qvproceduralanswers.h"
#include "utilities/qvtimes.h"

namespace Quorvane::pipes {

namespace {

constexpr long kModes = 24;  // Launch and ParentConnect
constexpr long kStreamCapacity = 4096;
constexpr long kLaunchMode = 8;
constexpr long kParentConnectMode = 16;
constexpr long kForceYieldOption = 0x200;
constexpr long kNoShellOptions = 3;
constexpr const char* kProtocol = "Pipes";
// A build stamp of 21 characters.
constexpr const char* kWorldId = "Pipes " __DATE__ " 001";
static_assert(sizeof("Pipes " __DATE__ " 001") - 1 == 21);

Record* RecordOf(void* device) { return static_cast<Instance*>(device)->record; }

using procedural::CopyWhole;
using procedural::StoreWord;

}  // namespace

}  // namespace Quorvane::pipes

using namespace Quorvane::pipes;

long pipe_get_signal_handlers(Quorvane::QVSignalHandlerList** list) noexcept {
  if (list == nullptr) return -1;
  try {
    auto* made = new Quorvane::QVSignalHandlerList();
    // Records on the message pipes raise SIGIO, whose dispatch the TCP and
    // SharedMemory worlds loaded beside this one install.
    for (int number : {SIGCHLD, SIGTERM, SIGINT, SIGABRT}) {
      made->emplace_back(number, &pipe_signal_handler, false, false, true);
    }
    *list = made;
    return 0;
  } catch (...) {
    return kNoMemory;
  }
}

void pipe_release_signal_handlers(Quorvane::QVSignalHandlerList* list) noexcept { delete list; }

long pipe_world_protocol(char* buffer, long* length) noexcept { return CopyWhole(kProtocol, buffer, length); }

long pipe_world_modes(long* modes) noexcept { return StoreWord(kModes, modes, nullptr); }

long pipe_world_streamcapacity(long* capacity, long* width) noexcept {
  return StoreWord(kStreamCapacity, capacity, width);
}

long pipe_world_id(char* buffer, long* length) noexcept { return CopyWhole(kWorldId, buffer, length); }

long pipe_devinfo(void* device, Quorvane::qvdeviceselector selector, void* buffer, void* length) noexcept {
  using namespace Quorvane;
  if (device == nullptr) return -1;
  Record* record = RecordOf(device);
  switch (selector) {
    case QVDEVICE_TYPE: return StoreWord(QVDEVICETYPE_PIPES, buffer, nullptr);
    case QVDEVICE_NAME: return procedural::CopyTruncated(record->name, buffer, length);
    case QVDEVICE_NAME_SIZE: return StoreWord(static_cast<long>(std::strlen(record->name)), buffer, nullptr);
    case QVDEVICE_FILE_DESCRIPTOR:
      if (buffer == nullptr) return -1;
      *static_cast<int*>(buffer) = record->readFd;
      return 0;
    case QVDEVICE_SPECIFIC_30: return procedural::StoreFixed(record->childPid, buffer, length);
    case QVDEVICE_MODE: return StoreWord(record->launched != 0 ? kLaunchMode : kParentConnectMode, buffer, length);
    case QVDEVICE_OPTIONS:
      return StoreWord((record->forceYield ? kForceYieldOption : 0) + (record->noShell ? kNoShellOptions : 0), buffer,
                       length);
    default: return -1;
  }
}

long pipe_worldinfo(Quorvane::qvdeviceselector selector, void* buffer, void* length) noexcept {
  using namespace Quorvane;
  switch (selector) {
    case QVDEVICE_MODES: return StoreWord(kModes, buffer, nullptr);
    case QVDEVICE_PROTOCOL_NAME: return procedural::CopyTruncated(kProtocol, buffer, length);
    case QVDEVICE_STREAM_CAPACITY: return StoreWord(kStreamCapacity, buffer, length);
    case QVDEVICE_WORLD_IDENTITY: return procedural::CopyTruncated(kWorldId, buffer, length);
    case QVDEVICE_SPECIFIC_40: return procedural::CopyTruncated("", buffer, length);
    default: return -1;
  }
}

long pipe_setyieldfunction(void* device, qv_yield_function function, void* cookie) noexcept {
  if (device == nullptr) return -1;
  RecordOf(device)->yielder = function;
  RecordOf(device)->yieldCookie = cookie;
  return 0;
}

long pipe_getyieldfunction(void* device, qv_yield_function* function, void** cookie) noexcept {
  if (device == nullptr || function == nullptr) return -1;
  *function = RecordOf(device)->yielder;
  if (cookie != nullptr) *cookie = RecordOf(device)->yieldCookie;
  return 0;
}

void* pipe_userdata(void* device) noexcept { return device == nullptr ? nullptr : RecordOf(device)->userData; }

void pipe_setuserdata(void* device, void* data) noexcept {
  if (device != nullptr) RecordOf(device)->userData = data;
}

int pipe_defaultyielder(void*, QVYieldParams* record) noexcept {
  Quorvane::QVMicroSleep(RVSleepYP(record));
  return 0;
}

// The device holds nothing for its peer that a closed connection would free.
void pipe_notifyForClosedConnection(void*) noexcept {}
