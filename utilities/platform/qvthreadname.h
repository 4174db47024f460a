// Gives the calling thread its name in the operating system, and keeps every
// live thread's whole name: the system keeps only a prefix of it.
#pragma once

#include <sys/types.h>

#include <string_view>
#include <vector>

#include "utilities/qvobject.h"

namespace Quorvane::platform {

// The longest name the system keeps, in bytes.
inline constexpr size_t kThreadNameLimit = 15;

// Names the calling thread prefix + name: the system is given the first
// kThreadNameLimit bytes (nothing happens there where it offers no way to name
// threads) and the whole name is kept until the thread ends. Never throws: a
// name that cannot be given for want of memory is cut or left out, never the
// thread's failure.
void SetCurrentThreadName(std::string_view prefix, std::string_view name) noexcept;

// Keeps prefix + name as the calling thread's whole name until it ends or is
// named again. A name too long to keep without memory is kept cut.
void KeepFullThreadName(std::string_view prefix, std::string_view name) noexcept;

// The calling thread's whole name; empty when it was never named.
QVString CurrentThreadFullName();

struct ThreadFullName {
  pid_t tid;  // the system's thread id
  QVString name;
};
using ThreadFullNames = std::vector<ThreadFullName, QVStdAllocator<ThreadFullName>>;

// The whole names of this process's live named threads.
ThreadFullNames LiveThreadFullNames();

}  // namespace Quorvane::platform
