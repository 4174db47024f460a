// A link's device stack: its handle on where output goes and input comes from.
// It holds the device, the device's current write window, the count of bytes
// handed on, the loopback marking and the pending loopback message. Links
// duplicated from one another share it by reference count; the stream works on
// its fields directly.
#pragma once

#include <cstdint>

#include "device/qvdeviceinstance.h"
#include "utilities/qvcondition.h"
#include "utilities/qvobject.h"
#include "utilities/qvsmartpointer.h"

class device_kebab : public Quorvane::QVObject {
 public:
  // Everything zero, no device, no notifier.
  device_kebab() = default;
  // Deletes the has-data notifier. The loopback window belongs to the pool it
  // came from and is given back by the owner before this.
  ~device_kebab() override;
  device_kebab(const device_kebab&) = delete;
  device_kebab& operator=(const device_kebab&) = delete;

  int64_t room = 0;         // bytes still free in the write window
  int64_t window_size = 0;  // pending output is window_size - room
  unsigned char* cursor = nullptr;        // next free byte of the window
  unsigned char* window_start = nullptr;  // first byte of the window
  // Bytes handed on from the window: to the device, or for loopback to the
  // link's own input. Set to 1 when the link is established.
  uint64_t bytes_flushed = 0;
  Quorvane::QVSmartPointer<Quorvane::QVDeviceInstance> device;  // empty for loopback
  uint64_t references = 0;  // links sharing this device stack
  int64_t message_code = 0;  // pending loopback message; 0, 0 when none
  int64_t message_argument = 0;
  uint8_t loopback = 0;
  int64_t loopback_number = 0;
  // Owned; null until a loopback link's wait descriptor is asked for.
  Quorvane::QVCondition* has_data = nullptr;
};

// Signal and reset the has-data notifier; nothing without stack or notifier.
void qvdk__signal_has_data(device_kebab* stack);
void qvdk__reset_has_data(device_kebab* stack);
