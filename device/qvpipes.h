// The "Pipes" device: a link's byte stream over anonymous pipes between a
// parent and a child it launched. A procedural world: everything goes through
// pipe_main; state lives in plain records from the world's allocator pair.
//
// The operations below are what pipe_main's selectors call, one each, and
// they may be called directly as well. A device is the object selector 2
// made; each operation answers as its selector does: 0, -1 for a missing
// pointer or device, or a link error number.
#pragma once

#include <cstdint>

#include "api/qvyield.h"
#include "device/qvdeviceinstance.h"
#include "utilities/qvsignalhandlermanager.h"

// The world's interface function (selectors of qvdeviceselector).
long pipe_main(void* object, Quorvane::qvdeviceselector selector, void* a1, void* a2) noexcept;

// The handler the world asks for SIGCHLD, SIGTERM, SIGINT and SIGABRT.
void pipe_signal_handler(int number) noexcept;

// World information (selectors 4 to 9); they need no world.
long pipe_get_signal_handlers(Quorvane::QVSignalHandlerList** list) noexcept;
void pipe_release_signal_handlers(Quorvane::QVSignalHandlerList* list) noexcept;
long pipe_world_protocol(char* buffer, long* length) noexcept;
long pipe_world_modes(long* modes) noexcept;
long pipe_world_streamcapacity(long* capacity, long* width) noexcept;
long pipe_world_id(char* buffer, long* length) noexcept;

// Information about a device (selectors 26 to 30, 41 and 42) and about its
// world asked of the device (36 to 40): buffer and length as the selector's
// a1 and a2.
long pipe_devinfo(void* device, Quorvane::qvdeviceselector selector, void* buffer, void* length) noexcept;
long pipe_worldinfo(Quorvane::qvdeviceselector selector, void* buffer, void* length) noexcept;

// Whether the peer's data waits (selector 14); control bytes alone are
// consumed, not data.
long pipe_hasdata(void* device, long* ready) noexcept;

// Callbacks (selectors 19 to 22). A get needs its function slot; the cookie
// slot may be null.
long pipe_setyieldfunction(void* device, qv_yield_function function, void* cookie) noexcept;
long pipe_getyieldfunction(void* device, qv_yield_function* function, void** cookie) noexcept;
long pipe_setmsghandler(void* device, qv_message_handler handler, void* cookie) noexcept;
long pipe_getmsghandler(void* device, qv_message_handler* handler, void** cookie) noexcept;

// Out-of-band messages (selectors 23 to 25): on the message pipes, or as
// signals for a device without them.
long pipe_writemsg(void* device, uint64_t code, uint64_t argument) noexcept;
long pipe_hasmsg(void* device, long* waiting) noexcept;
long pipe_readmsg(void* device, uint64_t* code, uint64_t* argument) noexcept;

// What a holder of a device may keep with it; null for a null device. No
// selector reads or writes it.
void* pipe_userdata(void* device) noexcept;
void pipe_setuserdata(void* device, void* data) noexcept;
// A yield function for a device's waits: sleeps the record's sleep value (in
// microseconds) and lets the wait go on (0).
int pipe_defaultyielder(void* link, QVYieldParams* record) noexcept;
// Told that the peer's connection has closed; the device keeps nothing to
// release for it, so this does nothing.
void pipe_notifyForClosedConnection(void* device) noexcept;
