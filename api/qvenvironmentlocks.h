// What all environments of a process share: the count of started
// environments with its lock, and the lock of the handshake's option table.
// Both locks are made before the program's entry and never destroyed, so no
// start can meet a lock that an ending environment is taking down; every
// first-and-last decision is taken under the count lock.
#pragma once

#include <mutex>

// Guards numberofenvironments, the first and last decisions of starting and
// ending, device loading and unloading, and every call into a signal-handler
// manager made for an environment.
std::mutex& numberofenvironmentsmutex();
// Started environments; read and written under numberofenvironmentsmutex().
extern long numberofenvironments;

// Held by the handshake while it parses with the format-arguments table.
std::mutex& formatArgumentsLock();
