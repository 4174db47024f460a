// The dotted address of this machine's main IPv4 interface, for a host whose
// name resolves to nothing better than the loopback names.
#pragma once

#include <cstddef>

namespace Quorvane::platform {

// Writes the address text (at most size bytes with the terminator): the first
// up IPv4 interface that is not a loopback one, else "127.0.0.1" when the
// only up interface is a loopback one. False when there is no answer.
bool MainInterfaceAddress(char* text, size_t size) noexcept;

}  // namespace Quorvane::platform
