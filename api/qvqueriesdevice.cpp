// Link device queries (device information, the device's own name) and the
// host's address and domain-name lists.
#include <cstdio>
#include <cstring>

#include "api/qvenvironment.h"
#include "api/qvlink.h"
#include "api/qvplatformservices.h"
#include "api/qvqueries.h"
#include "network/qvipinterfacecontainer.h"

namespace {

constexpr unsigned long kDeviceType = 0x80000000;
constexpr unsigned long kDeviceName = 0x80000001;
constexpr unsigned long kDeviceNameSize = 0x80000002;
constexpr unsigned long kDeviceAnswers1 = 0x80000006;
constexpr unsigned long kDeviceAnswers0 = 0x80000007;
constexpr unsigned long kWaitDescriptor = 0x80000500;
constexpr unsigned long kNothing = 0xC0000003;
constexpr int64_t kLoopbackDeviceType = 5;

// The loopback answers: an 8-byte word or a 4-byte descriptor, written only
// when the caller's capacity holds it.
int AnswerLoopback(device_kebab* stack, unsigned long selector, void* buffer, long* size) {
  int64_t word = 0;
  long bytes = 8;
  switch (selector) {
    case kDeviceType:
      word = kLoopbackDeviceType;
      break;
    case kDeviceAnswers1:
      word = 1;
      break;
    case kDeviceAnswers0:
      word = 0;
      break;
    case kWaitDescriptor:
      if (stack->has_data == nullptr) {
        stack->has_data = qvplatform::CreateUnnamedCondition(Quorvane::QVPipeConditionType);
        if (stack->has_data == nullptr) return 0;
      }
      word = stack->has_data->GetRawObject();
      bytes = 4;
      break;
    case kNothing:
      *size = 0;
      return 1;
    default:
      return 0;
  }
  if (buffer == nullptr || *size < bytes) return 0;
  if (bytes == 4) {
    const auto descriptor = static_cast<int32_t>(word);
    std::memcpy(buffer, &descriptor, 4);
  } else {
    std::memcpy(buffer, &word, 8);
  }
  *size = bytes;
  return 1;
}

// Kind 1: the numeric addresses; kind 2: the domain names.
char** HostList(qv_environment* environment, unsigned long* count, int kind) {
  if (environment == nullptr || count == nullptr) return nullptr;
  *count = 0;
  if (environment->interfaces != nullptr && qvipinterfacecontainer_interfaces_changed(environment->interfaces) != 0) {
    qvipinterfacecontainer_destroy(environment->interfaces);
    environment->interfaces = nullptr;
  }
  if (environment->interfaces == nullptr)
    environment->interfaces = qvipinterfacecontainer_new(environment->allocate, environment->deallocate);
  if (environment->interfaces == nullptr) return nullptr;
  qvlinklist* list = kind == 1 ? qvipinterfacecontainer_get_decimal_names(environment->interfaces)
                               : qvipinterfacecontainer_get_domain_names(environment->interfaces);
  if (list == nullptr) return nullptr;
  const uint64_t length = qvlinklist_length(list);
  char** array = length == 0 ? nullptr : static_cast<char**>(environment->allocate(length * sizeof(char*)));
  uint64_t made = 0;
  if (array != nullptr) {
    qvlinklist_iterate_reset(list);
    for (; made < length; ++made) {
      uint16_t type = 0;
      uint64_t bytes = 0;
      int status = 0;
      const void* data = qvlinklist_iterate(list, &type, &bytes, &status);
      if (data == nullptr || status != 0) break;
      array[made] = static_cast<char*>(environment->allocate(bytes + 1));
      if (array[made] == nullptr) break;
      std::memcpy(array[made], data, bytes);
      array[made][bytes] = '\0';
    }
  }
  qvlinklist_destroy(list);
  if (array == nullptr) return nullptr;
  if (made < length) {
    RVReleaseNetworkAddressList(environment, array, made);
    return nullptr;
  }
  *count = length;
  return array;
}

void ReleaseList(qv_environment* environment, char** list, unsigned long count) {
  if (environment == nullptr || list == nullptr) return;
  for (unsigned long i = 0; i < count; ++i) {
    if (list[i] != nullptr) environment->deallocate(list[i]);
  }
  environment->deallocate(list);
}

}  // namespace

char** RVGetNetworkAddressList(qv_environment* environment, unsigned long* count) noexcept {
  return HostList(environment, count, 1);
}

char** RVGetDomainNameList(qv_environment* environment, unsigned long* count) noexcept {
  return HostList(environment, count, 2);
}

void RVReleaseNetworkAddressList(qv_environment* environment, char** list, unsigned long count) noexcept {
  ReleaseList(environment, list, count);
}

void RVReleaseDomainNameList(qv_environment* environment, char** list, unsigned long count) noexcept {
  ReleaseList(environment, list, count);
}

int RVDeviceInformation(QVLink* link, unsigned long selector, void* buffer, long* size) noexcept {
  if (link == nullptr || size == nullptr) return 0;
  QVLinkLockGuard guard(link);
  device_kebab* stack = link->deviceStack;
  if (stack == nullptr) return 0;
  if (stack->loopback != 0) return AnswerLoopback(stack, selector, buffer, size);
  if (!stack->device) return 0;
  return stack->device->callWithSelector(selector, buffer, *size) == 0 ? 1 : 0;
}

int RVLowLevelDeviceName(QVLink* link, char** name) noexcept {
  if (link == nullptr || name == nullptr) return 0;
  QVLinkLockGuard guard(link);
  device_kebab* stack = link->deviceStack;
  if (stack == nullptr) return 0;
  if (stack->loopback != 0) {
    char text[32];
    const int length = std::snprintf(text, sizeof text, "loopback-%lld", static_cast<long long>(stack->loopback_number));
    auto* copy = static_cast<char*>(Quorvane::QVObject::allocate(static_cast<uint64_t>(length) + 1));
    if (copy == nullptr) {
      link->error = 8;
      return 0;
    }
    std::memcpy(copy, text, static_cast<size_t>(length) + 1);
    *name = copy;
    return 1;
  }
  if (!stack->device) return 0;
  int64_t length = 0;
  if (stack->device->callWithSelector(kDeviceNameSize, &length, sizeof length) != 0 || length < 0) return 0;
  auto* copy = static_cast<char*>(Quorvane::QVObject::allocate(static_cast<uint64_t>(length) + 1));
  if (copy == nullptr) {
    link->error = 8;
    return 0;
  }
  std::memset(copy, 0, static_cast<size_t>(length) + 1);
  if (stack->device->callWithSelector(kDeviceName, copy, static_cast<long>(length)) != 0) {
    Quorvane::QVObject::deallocate(copy);
    return 0;
  }
  *name = copy;
  return 1;
}

void RVReleaseLowLevelDeviceName(QVLink* link, char* name) noexcept {
  if (link != nullptr && name != nullptr) Quorvane::QVObject::deallocate(name);
}
