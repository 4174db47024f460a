// Yield functions and out-of-band messages. A waiting device calls the link's
// yield function with a yield-parameter record; linked programs exchange
// messages (code, argument) beside the token stream. Both live in the device;
// a loopback link has neither function nor handler and keeps one pending
// message in its device stack.
#pragma once

#include <cstdint>

#include "api/qvenvironment.h"

class QVLink;

struct QVYieldParams {
  uint16_t made;     // 1 once the record is made
  uint64_t sleep;    // microseconds a default yielder sleeps per call, at most 600
  int64_t stored;    // the value of the last reset
  int64_t count;     // yield calls since the last reset
};

inline constexpr uint64_t kYieldSleepLimit = 600;

using qv_message_handler = void (*)(void* link, int code, int argument);
using qv_allocator_fn = void* (*)(uint64_t size);
using qv_deallocator_fn = void (*)(void* block);

void QVNewYieldData(QVYieldParams* record) noexcept;
void QVFreeYieldData(QVYieldParams* record) noexcept;
QVYieldParams* QVResetYieldData(QVYieldParams* record, int64_t value) noexcept;
int QVSetYieldParameter(QVYieldParams* record, unsigned long selector, const void* value, long* size) noexcept;
int QVYieldParameter(QVYieldParams* record, unsigned long selector, void* value, long* size) noexcept;
long RVCountYP(const QVYieldParams* record) noexcept;
long QVSetCountYP(QVYieldParams* record, long n) noexcept;
long RVSleepYP(const QVYieldParams* record) noexcept;
long QVSetSleepYP(QVYieldParams* record, long n) noexcept;

int RVCallYieldFunction(qv_yield_function function, QVLink* link, QVYieldParams* record) noexcept;
void RVCallMessageHandler(qv_message_handler handler, QVLink* link, long code, long argument) noexcept;
qv_yield_function RVCreateYieldFunction(qv_environment* environment, qv_yield_function function, void* data) noexcept;
qv_yield_function RVDestroyYieldFunction(qv_yield_function function) noexcept;
qv_message_handler RVCreateMessageHandler(qv_environment* environment, qv_message_handler handler, void* data) noexcept;
qv_message_handler RVDestroyMessageHandler(qv_message_handler handler) noexcept;
qv_yield_function RVYielderCast(qv_yield_function function) noexcept;
qv_message_handler RVHandlerCast(qv_message_handler handler) noexcept;
qv_allocator_fn RVAllocatorCast(qv_allocator_fn function) noexcept;
qv_deallocator_fn RVDeallocatorCast(qv_deallocator_fn function) noexcept;
int RVSetDefaultYieldFunction(qv_environment* environment, qv_yield_function function) noexcept;
qv_yield_function RVDefaultYieldFunction(qv_environment* environment) noexcept;

qv_yield_function RVGetYieldFunction(QVLink* link) noexcept;
qv_yield_function RVYieldFunction(QVLink* link) noexcept;
qv_message_handler RVGetMessageHandler(QVLink* link) noexcept;
qv_message_handler RVMessageHandler(QVLink* link) noexcept;
int RVPutMessage(QVLink* link, long code) noexcept;
int RVPutMessageWithArg(QVLink* link, long code, long argument) noexcept;
int RVGetMessage(QVLink* link, int* code, int* argument) noexcept;
int RVMessageReady(QVLink* link) noexcept;
