// The processor's hint for a busy wait: it lets a sibling hardware thread run
// and keeps the wait from flooding the memory pipeline.
#pragma once

namespace Quorvane::platform {

inline void CpuPause() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

}  // namespace Quorvane::platform
