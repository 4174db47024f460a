// Whether the far end of a connected stream socket has gone, without reading
// from it: what a side that waits for something else from the same peer
// (a second connection, say) watches to learn that the peer will never come.
#pragma once

namespace Quorvane::platform {

// True when the peer of the connected stream socket fd has shut its sending
// side (it closed the connection, or its process ended) or the connection
// has failed, even while bytes it sent before that still wait unread;
// nothing is consumed. False while the peer may still send, and for a
// descriptor that is not open.
bool StreamPeerGoneQ(int fd) noexcept;

}  // namespace Quorvane::platform
