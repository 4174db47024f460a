// A few threads that a computation spreads its independent parts over: one
// per processor the process may run on, less the caller's, started on first
// use and joined when the program exits. Named "QV-Sweep-1", "QV-Sweep-2"...
#pragma once

namespace Quorvane {

using QVComputePart = void (*)(void* context, int part);

// Runs work(context, part) once for each part in [0, parts), on the calling
// thread and on at most threads - 1 of the pool's threads (threads 0: as many
// as there are), and returns when every part has run. Parts are taken in
// order, each by whichever thread is free; work must not throw. When the pool
// has no threads (one processor allowed), is busy with another caller's
// parts, or has been stopped, the calling thread runs every part itself.
// Allocates nothing once the pool has started.
void RunComputeParts(int parts, int threads, QVComputePart work, void* context) noexcept;

// How many threads RunComputeParts can use, the caller's included: the
// processors the process was allowed when the pool started.
int ComputeThreadCount() noexcept;

}  // namespace Quorvane
