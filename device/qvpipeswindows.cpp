#include "device/qvpipeswindows.h"

#include "device/qvpipesrecord.h"

namespace Quorvane::pipes {

namespace {

// Pieces of a window sent in place: a window of data holds a few backslashes
// at most, each one more piece. A window with more is copied instead.
constexpr int kMostPieces = 64;
// Acknowledgements written by one call; a peer that keeps the rules never
// has more than two windows awaiting them.
constexpr long kAcknowledgementsAtOnce = 64;

Sent Outcome(long written, long length) {
  if (written == length) return Sent::kAll;
  return written == 0 ? Sent::kStopped : Sent::kFailed;
}

}  // namespace

Sent SendWindow(const WindowNode& window, char ownUpper, PiecesWriter write, void* device) noexcept {
  const char endMark[2] = {kEscape, ownUpper};
  const long placed = static_cast<long>(window.placed);
  iovec pieces[kMostPieces];
  const int count = WindowPieces(window.buffer, placed, endMark, pieces, kMostPieces);
  if (count > 0) {
    long length = 0;
    for (int i = 0; i < count; ++i) length += static_cast<long>(pieces[i].iov_len);
    return Outcome(write(device, pieces, count), length);
  }
  char encoded[2 * kWindowData + 2];
  iovec whole{encoded, static_cast<size_t>(EncodeWindow(window.buffer, placed, ownUpper, encoded))};
  return Outcome(write(device, &whole, 1), static_cast<long>(whole.iov_len));
}

Sent SendAcknowledgements(long count, char peerLower, PiecesWriter write, void* device) noexcept {
  char acknowledgements[2 * kAcknowledgementsAtOnce];
  while (count > 0) {
    const long now = count < kAcknowledgementsAtOnce ? count : kAcknowledgementsAtOnce;
    iovec piece{acknowledgements, static_cast<size_t>(EncodeAcknowledgements(now, peerLower, acknowledgements))};
    const Sent sent = Outcome(write(device, &piece, 1), static_cast<long>(piece.iov_len));
    if (sent != Sent::kAll) return sent;
    count -= now;
  }
  return Sent::kAll;
}

}  // namespace Quorvane::pipes
