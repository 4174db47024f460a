// A link's yield function, message handler and out-of-band messages, kept by
// its device; a loopback link holds one pending message itself.
#include "api/qvlink.h"
#include "api/qvstream.h"
#include "api/qvyield.h"

namespace {

// The device of a link that has one: null without device stack, for a
// loopback link, or with an empty handle.
Quorvane::QVDeviceInstance* DeviceOf(QVLink* link) {
  device_kebab* stack = link->deviceStack;
  if (stack == nullptr || stack->loopback != 0) return nullptr;
  return stack->device.get();
}

int SendMessage(QVLink* link, long code, long argument, bool withArgument) {
  if (link == nullptr) return 0;
  QVLinkLockGuard guard(link);
  device_kebab* stack = link->deviceStack;
  if (stack == nullptr || static_cast<int32_t>(code) < 0 || (withArgument && static_cast<int32_t>(argument) < 0))
    return 0;
  const int32_t sent = static_cast<int32_t>(code);
  if (sent == 5 || sent == 8) argument = static_cast<long>(qvs__size(stack));
  else if (!withArgument) argument = 0;
  if (stack->loopback != 0) {
    stack->message_code = sent;
    stack->message_argument = argument;
    return 1;
  }
  if (!stack->device) return 0;
  long error = 0;
  stack->device->writeMessage(sent, argument, &error);
  return error == 0 ? 1 : 0;
}

}  // namespace

int RVSetYieldFunction(QVLink* link, qv_yield_function function) noexcept {
  if (link == nullptr) return 0;
  QVLinkLockGuard guard(link);
  device_kebab* stack = link->deviceStack;
  if (stack == nullptr || stack->loopback != 0) return 0;
  if (!stack->device) return 1;
  long error = 0;
  stack->device->setYielder(function, link, &error);
  return error == 0 ? 1 : 0;
}

qv_yield_function RVGetYieldFunction(QVLink* link) noexcept {
  if (link == nullptr) return nullptr;
  QVLinkLockGuard guard(link);
  Quorvane::QVDeviceInstance* device = DeviceOf(link);
  if (device == nullptr) return nullptr;
  long error = 0;
  const Quorvane::QVDeviceYieldFunction function = device->getYielder(&error);
  return error == 0 ? function : nullptr;
}

qv_yield_function RVYieldFunction(QVLink* link) noexcept { return RVGetYieldFunction(link); }

int RVSetMessageHandler(QVLink* link, qv_message_handler handler) noexcept {
  if (link == nullptr) return 0;
  QVLinkLockGuard guard(link);
  Quorvane::QVDeviceInstance* device = DeviceOf(link);
  if (device == nullptr) return 0;
  long error = 0;
  device->setHandler(handler, link, &error);
  return error == 0 ? 1 : 0;
}

qv_message_handler RVGetMessageHandler(QVLink* link) noexcept {
  if (link == nullptr) return nullptr;
  QVLinkLockGuard guard(link);
  Quorvane::QVDeviceInstance* device = DeviceOf(link);
  if (device == nullptr) return nullptr;
  long error = 0;
  const Quorvane::QVDeviceMessageHandler handler = device->getHandler(&error);
  return error == 0 ? handler : nullptr;
}

qv_message_handler RVMessageHandler(QVLink* link) noexcept { return RVGetMessageHandler(link); }

int RVPutMessage(QVLink* link, long code) noexcept { return SendMessage(link, code, 0, false); }

int RVPutMessageWithArg(QVLink* link, long code, long argument) noexcept {
  return SendMessage(link, code, argument, true);
}

int RVGetMessage(QVLink* link, int* code, int* argument) noexcept {
  if (link == nullptr) return 0;
  QVLinkLockGuard guard(link);
  device_kebab* stack = link->deviceStack;
  if (stack == nullptr) return 0;
  long gotCode = 0;
  long gotArgument = 0;
  int answer = 1;
  if (stack->loopback != 0) {
    gotCode = static_cast<long>(stack->message_code);
    gotArgument = static_cast<long>(stack->message_argument);
    stack->message_code = stack->message_argument = 0;
    if (gotCode == 0) return 0;
  } else {
    if (!stack->device) return 0;
    long error = 0;
    const std::pair<long, long> message = stack->device->readMessage(&error);
    if (error == 18) return 0;
    gotCode = message.first;
    gotArgument = message.second;
    if (error != 0) answer = -1;
  }
  if (code != nullptr) *code = static_cast<int>(gotCode);
  if (argument != nullptr) *argument = static_cast<int>(gotArgument);
  return answer;
}

int RVMessageReady(QVLink* link) noexcept {
  if (link == nullptr) return 0;
  QVLinkLockGuard guard(link);
  device_kebab* stack = link->deviceStack;
  if (stack == nullptr) return 0;
  if (stack->loopback != 0) return stack->message_code != 0 ? 1 : 0;
  if (!stack->device) return 0;
  long error = 0;
  const bool waiting = stack->device->hasMessage(&error);
  return error == 0 && waiting ? 1 : 0;
}
