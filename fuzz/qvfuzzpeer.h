// A device for fuzz targets: it discards what it is given and delivers the
// peer's bytes in windows of pseudo-random sizes, then reports the peer closed.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "device/qvdeviceinstance.h"

namespace qvfuzz {

struct Peer {
  const uint8_t* data;
  size_t size;
  size_t at;
  uint32_t seed;
  long maxRead;              // reads deliver 1 to maxRead bytes
  std::vector<char> window;  // the write window, its size as given
  std::vector<char> input;

  long NextReadSize() {
    seed = seed * 1103515245u + 12345u;
    return static_cast<long>((seed >> 16) % static_cast<uint32_t>(maxRead)) + 1;
  }
};

inline long PeerFunction(void* object, Quorvane::qvdeviceselector selector, void* a1, void* a2) {
  auto* peer = static_cast<Peer*>(object);
  if (peer == nullptr) return -1;
  switch (selector) {
    case Quorvane::QVDEVICE_CONNECT:
    case Quorvane::QVDEVICE_CLOSE:
    case Quorvane::QVDEVICE_ACKNOWLEDGE:
      return 0;
    case Quorvane::QVDEVICE_WRITE:
    case Quorvane::QVDEVICE_WRITE_WINDOW:
      *static_cast<char**>(a1) = peer->window.data();
      *static_cast<long*>(a2) = static_cast<long>(peer->window.size());
      return 0;
    case Quorvane::QVDEVICE_HAS_DATA:
      *static_cast<long*>(a2) = peer->at < peer->size ? 1 : 0;
      return 0;
    case Quorvane::QVDEVICE_READ: {
      if (peer->at >= peer->size) return 11;
      const size_t n = std::min(peer->size - peer->at, static_cast<size_t>(peer->NextReadSize()));
      peer->input.assign(peer->data + peer->at, peer->data + peer->at + n);
      *static_cast<char**>(a1) = peer->input.data();
      *static_cast<long*>(a2) = static_cast<long>(n);
      return 0;
    }
    case Quorvane::QVDEVICE_READ_COMPLETE: {
      const long consumed = *static_cast<long*>(a2);
      if (consumed < 0 || static_cast<size_t>(consumed) > peer->input.size()) std::abort();
      peer->at += static_cast<size_t>(consumed);
      return 0;
    }
    default:
      return -1;
  }
}

}  // namespace qvfuzz
