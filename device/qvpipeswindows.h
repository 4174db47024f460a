// Sending the window framing of the Pipes device (also the TCP device's):
// a window's bytes go from the window buffer itself, with as few writes as
// the descriptor takes, and the acknowledgements of one input go together.
#pragma once

#include <sys/uio.h>

#include "device/qvpipesframing.h"

namespace Quorvane::pipes {

struct WindowNode;

// The device's own write of count pieces, with its yield function: answers
// as unix_write_pieces (the bytes of all pieces, 0 for a yield stop before
// any byte went, else a failure).
using PiecesWriter = long (*)(void* device, iovec* pieces, int count);

enum class Sent { kAll, kStopped, kFailed };

// The window's placed bytes with each backslash doubled, then a backslash and
// ownUpper: the same bytes as EncodeWindow. Mostly they go straight from the
// window buffer, which is left as it was; only a window with very many
// backslashes is encoded into a copy first.
Sent SendWindow(const WindowNode& window, char ownUpper, PiecesWriter write, void* device) noexcept;

// count acknowledgements, each a backslash and peerLower.
Sent SendAcknowledgements(long count, char peerLower, PiecesWriter write, void* device) noexcept;

}  // namespace Quorvane::pipes
