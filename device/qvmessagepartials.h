// Parts of message records read so far, kept per descriptor between calls of
// unix_readmsg, which may run in signal context and so never waits for the
// rest of a record.
#pragma once

namespace Quorvane {

// Drops what was kept for the descriptor. Thread context only: it waits for a
// read of the same stripe in progress on another thread.
void QVForgetPartialMessage(int fd) noexcept;

}  // namespace Quorvane
