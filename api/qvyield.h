// Yield functions and out-of-band messages. A waiting device calls the link's
// yield function with a yield-parameter record; linked programs exchange
// messages (code, argument) beside the token stream. Both live in the device;
// a loopback link has neither function nor handler and keeps one pending
// message in its device stack.
#pragma once

#include <cstdint>

#include "api/qvenvironment.h"
#include "quorvane.h"

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
long QVSetCountYP(QVYieldParams* record, long n) noexcept;
long QVSetSleepYP(QVYieldParams* record, long n) noexcept;
// The calls on yield functions, handlers and messages (RVCallYieldFunction,
// RVPutMessage, RVGetMessage, RVCountYP...) are public calls (quorvane.h).

