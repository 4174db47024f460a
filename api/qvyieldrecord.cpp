// The yield-parameter record and the plain calls around yield functions and
// message handlers.
#include <algorithm>

#include "api/qvyield.h"
#include "device/qvdeviceinstance.h"

void QVNewYieldData(QVYieldParams* record) noexcept {
  if (record != nullptr) record->made = 1;
}

void QVFreeYieldData(QVYieldParams*) noexcept {}

QVYieldParams* QVResetYieldData(QVYieldParams* record, int64_t value) noexcept {
  if (record == nullptr) return nullptr;
  record->sleep = 0;
  record->stored = value;
  record->count = 0;
  return record;
}

int QVSetYieldParameter(QVYieldParams* record, unsigned long selector, const void* value, long* size) noexcept {
  if (record == nullptr || value == nullptr || size == nullptr || (selector != 1 && selector != 2)) return 0;
  if (*size != 8) {
    *size = 8;
    return 0;
  }
  const auto word = *static_cast<const int64_t*>(value);
  if (selector == 1) record->sleep = std::min<uint64_t>(static_cast<uint64_t>(word), kYieldSleepLimit);
  else record->count = word;
  return 1;
}

int QVYieldParameter(QVYieldParams* record, unsigned long selector, void* value, long* size) noexcept {
  if (record == nullptr || value == nullptr || size == nullptr || selector < 1 || selector > 3) return 0;
  const bool fits = *size >= 8;
  *size = 8;
  if (!fits) return 0;
  const int64_t word = selector == 1 ? static_cast<int64_t>(record->sleep) : selector == 2 ? record->count : record->stored;
  *static_cast<int64_t*>(value) = word;
  return 1;
}

long RVCountYP(const QVYieldParams* record) noexcept { return record != nullptr ? record->count : 0; }

long QVSetCountYP(QVYieldParams* record, long n) noexcept {
  if (record != nullptr) record->count = n;
  return n;
}

long RVSleepYP(const QVYieldParams* record) noexcept {
  return record != nullptr ? static_cast<long>(record->sleep) : 0;
}

long QVSetSleepYP(QVYieldParams* record, long n) noexcept {
  if (record != nullptr) record->sleep = std::min<uint64_t>(static_cast<uint64_t>(n), kYieldSleepLimit);
  return n;
}

int RVCallYieldFunction(qv_yield_function function, QVLink* link, QVYieldParams* record) noexcept {
  if (record != nullptr) ++record->count;
  return static_cast<int16_t>(Quorvane::QVCallYielder(function, link, record));
}

void RVCallMessageHandler(qv_message_handler handler, QVLink* link, long code, long argument) noexcept {
  if (handler != nullptr) handler(link, static_cast<int>(code), static_cast<int>(argument));
}

qv_yield_function RVCreateYieldFunction(qv_environment*, qv_yield_function function, void*) noexcept {
  return function;
}
qv_yield_function RVDestroyYieldFunction(qv_yield_function function) noexcept { return function; }
qv_message_handler RVCreateMessageHandler(qv_environment*, qv_message_handler handler, void*) noexcept {
  return handler;
}
qv_message_handler RVDestroyMessageHandler(qv_message_handler handler) noexcept { return handler; }
qv_yield_function RVYielderCast(qv_yield_function function) noexcept { return function; }
qv_message_handler RVHandlerCast(qv_message_handler handler) noexcept { return handler; }
qv_allocator_fn RVAllocatorCast(qv_allocator_fn function) noexcept { return function; }
qv_deallocator_fn RVDeallocatorCast(qv_deallocator_fn function) noexcept { return function; }

int RVSetDefaultYieldFunction(qv_environment* environment, qv_yield_function function) noexcept {
  if (environment != nullptr) environment->defaultYieldFunction = function;
  return 1;
}

qv_yield_function RVDefaultYieldFunction(qv_environment* environment) noexcept {
  return environment != nullptr ? environment->defaultYieldFunction : nullptr;
}
