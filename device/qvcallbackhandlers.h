// What an object-oriented device keeps of the callbacks a link gave it.
#pragma once

#include <ostream>

#include "device/qvdeviceinstance.h"
#include "utilities/qvobject.h"

namespace Quorvane {

class QVCallbackHandlers : public QVObject {
 public:
  QVCallbackHandlers() = default;
  QVCallbackHandlers(const QVCallbackHandlers&) = default;
  QVCallbackHandlers& operator=(const QVCallbackHandlers&) = default;
  ~QVCallbackHandlers() override = default;

  void print(std::ostream& os) const;

  void* yieldCookie = nullptr;
  QVDeviceYieldFunction yieldFunction = nullptr;
  void* messageCookie = nullptr;
  QVDeviceMessageHandler messageHandler = nullptr;
};

std::ostream& operator<<(std::ostream& os, const QVCallbackHandlers& handlers);

}  // namespace Quorvane
