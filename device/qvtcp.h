// The "TCP" device: a link's byte stream over one IPv4 TCP connection, with
// an optional second connection for out-of-band messages. A procedural world:
// everything goes through socket_main, whose selectors call the operations
// of device/qvtcprecord.h, one each.
#pragma once

#include <cstddef>

#include "device/qvdeviceinstance.h"

// The world's interface function (selectors of qvdeviceselector).
long socket_main(void* object, Quorvane::qvdeviceselector selector, void* a1, void* a2) noexcept;

// What a holder of a device (the object selector 2 made) may keep with it;
// null for a null device. No selector reads or writes it.
void* socket_userdata(void* device) noexcept;
void socket_setuserdata(void* device, void* data) noexcept;
// The message handler a device has from its connect until one is set:
// messages that come before are read and dropped.
void socket_stubhandler(void* link, int code, int argument) noexcept;
// Told that the peer's connection has closed; the device keeps nothing to
// release for it, so this does nothing.
void socket_notifyForClosedConnection(void* device) noexcept;
// 1 when the device is connected or does not listen (a connecting device
// needs no peer to be asked), else 0; -1 for a null device.
int socket_has_connection(void* device) noexcept;
// 1 for a device neither connected nor listening; else whether its data
// descriptor (the listening socket before an accept) is readable now: 1, 0,
// or -1 when the wait fails or for a null device.
int socket_hasdata(void* device) noexcept;

// Joins name, the first separator and location (when location is not empty)
// into buffer and splits it: *port at the start, *host after the first
// separator, cut at the second separator with *rest after the cut. 0 on
// success; -1 when the joined text does not fit the buffer.
int qvu_parse_name(const char* name, const char* location, char* buffer, size_t size, char** port, char** host,
                   char** rest, const char* separators) noexcept;
