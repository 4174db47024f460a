// The "Pipes" device: a link's byte stream over anonymous pipes between a
// parent and a child it launched. A procedural world: everything goes through
// pipe_main; state lives in plain records from the world's allocator pair.
#pragma once

#include "api/qvyield.h"
#include "device/qvdeviceinstance.h"

// The world's interface function (selectors of qvdeviceselector).
long pipe_main(void* object, Quorvane::qvdeviceselector selector, void* a1, void* a2) noexcept;

// The handler the world asks for SIGCHLD, SIGTERM, SIGINT and SIGABRT.
void pipe_signal_handler(int number) noexcept;

// What a holder of a device (the object selector 2 made) may keep with it;
// null for a null device. No selector reads or writes it.
void* pipe_userdata(void* device) noexcept;
void pipe_setuserdata(void* device, void* data) noexcept;
// A yield function for a device's waits: sleeps the record's sleep value (in
// microseconds) and lets the wait go on (0).
int pipe_defaultyielder(void* link, QVYieldParams* record) noexcept;
// Told that the peer's connection has closed; the device keeps nothing to
// release for it, so this does nothing.
void pipe_notifyForClosedConnection(void* device) noexcept;
