// The "Pipes" device: a link's byte stream over anonymous pipes between a
// parent and a child it launched. A procedural world: everything goes through
// pipe_main; state lives in plain records from the world's allocator pair.
#pragma once

#include "device/qvdeviceinstance.h"

// The world's interface function (selectors of qvdeviceselector).
long pipe_main(void* object, Quorvane::qvdeviceselector selector, void* a1, void* a2) noexcept;

// The handler the world asks for SIGCHLD, SIGTERM, SIGINT and SIGABRT.
void pipe_signal_handler(int number) noexcept;
