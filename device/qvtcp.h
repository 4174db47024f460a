// The "TCP" device: a link's byte stream over one IPv4 TCP connection, with
// an optional second connection for out-of-band messages. A procedural world:
// everything goes through socket_main.
#pragma once

#include <cstddef>

#include "device/qvdeviceinstance.h"

// The world's interface function (selectors of qvdeviceselector).
long socket_main(void* object, Quorvane::qvdeviceselector selector, void* a1, void* a2) noexcept;

// Joins name, the first separator and location (when location is not empty)
// into buffer and splits it: *port at the start, *host after the first
// separator, cut at the second separator with *rest after the cut. 0 on
// success; -1 when the joined text does not fit the buffer.
int qvu_parse_name(const char* name, const char* location, char* buffer, size_t size, char** port, char** host,
                   char** rest, const char* separators) noexcept;
