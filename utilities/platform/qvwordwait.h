// Sleeping on a 32-bit word in memory that several processes map, and waking
// its sleepers: a wake-up that costs no descriptor and nothing when nobody
// sleeps, for peers that agree on the word through atomic operations.
#pragma once

#include <cstdint>

namespace Quorvane::platform {

// Sleeps while *word holds expected, until a wake-up on the word or the
// time-out (microseconds) passes. Returns at once when the word differs, and
// may return early: callers look at what they wait for again.
void WaitWhileWordIs(uint32_t* word, uint32_t expected, long microseconds) noexcept;

// Wakes every sleeper on the word, in any process.
void WakeWordSleepers(uint32_t* word) noexcept;

}  // namespace Quorvane::platform
