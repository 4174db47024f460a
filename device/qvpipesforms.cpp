// The Pipes device's operations outside its interface function: its user
// data, a yield function that only sleeps, and the closed-connection notice.
#include "device/qvpipes.h"
#include "device/qvpipesrecord.h"
#include "utilities/qvtimes.h"

void* pipe_userdata(void* device) noexcept {
  if (device == nullptr) return nullptr;
  return static_cast<Quorvane::pipes::Instance*>(device)->record->userData;
}

void pipe_setuserdata(void* device, void* data) noexcept {
  if (device == nullptr) return;
  static_cast<Quorvane::pipes::Instance*>(device)->record->userData = data;
}

int pipe_defaultyielder(void*, QVYieldParams* record) noexcept {
  Quorvane::QVMicroSleep(RVSleepYP(record));
  return 0;
}

// The device holds nothing for its peer that a closed connection would free.
void pipe_notifyForClosedConnection(void*) noexcept {}
