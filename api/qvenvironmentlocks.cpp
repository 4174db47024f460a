#include "api/qvenvironmentlocks.h"

namespace {
// Constant-initialised with trivial destructors: usable at any time, also
// while the process exits.
constinit std::mutex gEnvironmentsLock;
constinit std::mutex gFormatArgumentsLock;
}  // namespace

long numberofenvironments = 0;

std::mutex& numberofenvironmentsmutex() { return gEnvironmentsLock; }

std::mutex& formatArgumentsLock() { return gFormatArgumentsLock; }
