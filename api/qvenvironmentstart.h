// Starting and ending environments (RVBegin and RVEnd are in quorvane.h).
//
// Everything a start does runs under the environment-count lock, so that the
// first start (which starts the device module, hooks the child signal and
// makes the process manager) and the last end (which undoes all that, stops
// the thread module and puts the default allocators back) are decided once
// and never interleave. An end closes the environment's links before it takes
// the lock, since closing a link may wait on its device.
#pragma once

#include "api/qvenvironment.h"

// The child-signal hook of the first environment: asks the process manager to
// reap finished children now. Safe in signal context.
void QVEnvironmentChildSignalHandler(int signal);
