// Arbitrary bytes through the Pipes segment scanner, cut into reads of
// arbitrary sizes, checked against a byte-at-a-time decoding of the same
// stream; the stream repeated past a whole read buffer, so that runs longer
// than a segment holds come in whole reads; the same bytes as data sent in
// windows of both devices' sizes (Pipes and TCP share the framing), each
// window as the pieces a device writes from the window buffer and as the
// encoded copy, which must be the same bytes, and scanned back; then as the
// peer's role words, as a role word and as a protocol text.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include <vector>

#include "device/qvpipesframing.h"
#include "device/qvtcprecord.h"

namespace {

using namespace Quorvane::pipes;

struct Decoded {
  std::string data;
  int acknowledged = 0;
  int peerWindows = 0;
  bool closed = false;
};

// The reference: one byte at a time, no buffers.
Decoded Reference(const uint8_t* bytes, size_t size, char peerUpper, char ownLower) {
  Decoded d;
  bool escape = false;
  for (size_t i = 0; i < size; ++i) {
    const char c = static_cast<char>(bytes[i]);
    if (!escape) {
      if (c == '\\') escape = true;
      else d.data += c;
      continue;
    }
    escape = false;
    if (c == '\\') d.data += c;
    else if (c == ownLower) ++d.acknowledged;
    else if (c == peerUpper) ++d.peerWindows;
    else if (c == 0x04) d.closed = true;
  }
  return d;
}

// The scanner over the stream in reads of 1 to longestRead bytes, their
// sizes drawn from cut and the stream itself.
Decoded ScanInReads(const uint8_t* stream, size_t length, char peerUpper, char ownLower, unsigned cut,
                    size_t longestRead = 1024) {
  static Scanner scanner;
  std::memset(&scanner, 0, sizeof scanner);
  scanner.peerUpper = peerUpper;
  scanner.ownLower = ownLower;
  Decoded got;
  size_t at = 0;
  while (at < length || HasBufferedInput(scanner)) {
    if (scanner.cursor >= scanner.end) {
      size_t take = std::min<size_t>(length - at, 1 + ((cut * 131 + stream[at]) % longestRead));
      cut = cut * 7 + 1;
      std::memcpy(scanner.buffer, stream + at, take);
      scanner.cursor = 0;
      scanner.end = static_cast<long>(take);
      at += take;
    }
    ScanEvents events;
    Scan(&scanner, &events);
    got.acknowledged += events.acknowledged;
    got.peerWindows += events.peerWindows;
    got.closed = got.closed || events.closed;
    if (scanner.waitingSegments > kSegmentCount) std::abort();
    for (int i = 0; i < scanner.waitingSegments; ++i) {
      const Segment& s = scanner.segments[i];
      if (s.length == 0 || s.start < scanner.buffer || s.start + s.length > scanner.buffer + scanner.end) std::abort();
      got.data.append(s.start, s.length);
    }
    scanner.nextSegment = scanner.waitingSegments;
  }
  return got;
}

// The pieces of a window joined, or "" when more than most were needed.
std::string JoinedPieces(const char* data, long count, const char* endMark, int most) {
  static std::vector<iovec> pieces;
  pieces.assign(static_cast<size_t>(most), iovec{});
  const int n = WindowPieces(data, count, endMark, pieces.data(), most);
  if (n < 0 || n > most) std::abort();
  std::string joined;
  for (int i = 0; i < n; ++i) {
    const iovec& piece = pieces[static_cast<size_t>(i)];
    // Each piece lies in the data or is the end mark.
    const char* start = static_cast<const char*>(piece.iov_base);
    const bool inData = start >= data && start + piece.iov_len <= data + count;
    if (!inData && !(start == endMark && piece.iov_len == 2)) std::abort();
    joined.append(start, piece.iov_len);
  }
  return joined;
}

// The data sent in windows of at most windowData bytes, each encoded into
// the room the device gives it (windowBuffer + 2), then scanned back whole.
// Its pieces, where few enough, are the same bytes; with room for every
// piece there always are.
void WindowsRoundTrip(const uint8_t* data, size_t length, long windowData, long windowBuffer, const Role& own,
                      unsigned cut) {
  std::string sent;
  long windows = 0;
  static char encoded[kWindowBuffer + 2];
  if (windowBuffer > kWindowBuffer) std::abort();
  const char endMark[2] = {kEscape, own.upper};
  const int fewPieces = 2 + static_cast<int>(cut % 8);
  for (size_t at = 0; at < length; at += static_cast<size_t>(windowData)) {
    const long count = static_cast<long>(std::min<size_t>(length - at, static_cast<size_t>(windowData)));
    const char* window = reinterpret_cast<const char*>(data + at);
    const long n = EncodeWindow(window, count, own.upper, encoded);
    // A window all backslashes is the largest: twice its data and the end mark.
    if (n > 2 * windowData + 2 || n > windowBuffer + 2) std::abort();
    const std::string copy(encoded, static_cast<size_t>(n));
    if (JoinedPieces(window, count, endMark, static_cast<int>(count) + 2) != copy) std::abort();
    const std::string few = JoinedPieces(window, count, endMark, fewPieces);
    const long backslashes = static_cast<long>(std::count(window, window + count, kEscape));
    if (few != (backslashes + 2 <= fewPieces ? copy : std::string())) std::abort();
    sent.append(copy);
    ++windows;
  }
  // Scanned as the peer: the sender's upper letter ends each window.
  const Decoded back =
      ScanInReads(reinterpret_cast<const uint8_t*>(sent.data()), sent.size(), own.upper, '\0', cut);
  if (back.data != std::string(reinterpret_cast<const char*>(data), length) || back.peerWindows != windows ||
      back.acknowledged != 0 || back.closed) {
    std::abort();
  }
}

// The role words byte by byte against a reading of the same rules on the
// whole text: the first word decides, comma-ended words after it are
// skipped, a blank ends them, no word may pass kRoleWordLimit bytes.
void RoleWords(const uint8_t* bytes, size_t size) {
  static RoleWordReader reader;
  StartRoleWord(&reader);
  WordStep step = WordStep::kMore;
  size_t taken = 0;
  while (taken < size && step == WordStep::kMore) step = TakeRoleWordByte(&reader, static_cast<char>(bytes[taken++]));

  const std::string text(reinterpret_cast<const char*>(bytes), size);
  WordStep expected = WordStep::kMore;
  size_t decided = size;
  Role peer{};
  size_t start = 0;
  for (bool first = true; start <= size; first = false) {
    const size_t end = text.find_first_of(" ,", start);
    const size_t wordEnd = end == std::string::npos ? size : end;
    if (wordEnd - start > static_cast<size_t>(kRoleWordLimit)) {
      expected = WordStep::kRefused;
      decided = start + kRoleWordLimit + 1;
      break;
    }
    if (end == std::string::npos) break;
    if (first && !RoleOfWord(text.data() + start, static_cast<long>(wordEnd - start), &peer)) {
      expected = WordStep::kRefused;
      decided = end + 1;
      break;
    }
    if (text[end] == ' ') {
      expected = WordStep::kDone;
      decided = end + 1;
      break;
    }
    start = end + 1;
  }
  if (step != expected || (expected != WordStep::kMore && taken != decided)) std::abort();
  if (step == WordStep::kDone && (reader.peer.upper != peer.upper || reader.peer.lower != peer.lower)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  if (size < 2) return 0;
  const Role own = RoleOfMode(bytes[0] & 0x1F);
  const Role peer = RoleOfMode(bytes[1] & 0x1F);
  const uint8_t* stream = bytes + 2;
  const size_t length = size - 2;
  const unsigned cut = bytes[0] >> 5;

  const Decoded got = ScanInReads(stream, length, peer.upper, own.lower, cut);
  const Decoded expected = Reference(stream, length, peer.upper, own.lower);
  if (got.data != expected.data || got.acknowledged != expected.acknowledged ||
      got.peerWindows != expected.peerWindows || got.closed != expected.closed) {
    std::abort();
  }
  if ((bytes[1] & 0x80) != 0 && length > 0) {
    // Repeated past one read buffer and read in reads up to a whole one.
    std::string repeated;
    while (repeated.size() <= static_cast<size_t>(kReadBufferSize) + 64) {
      repeated.append(reinterpret_cast<const char*>(stream), length);
    }
    const auto* longStream = reinterpret_cast<const uint8_t*>(repeated.data());
    const Decoded whole =
        ScanInReads(longStream, repeated.size(), peer.upper, own.lower, cut, static_cast<size_t>(kReadBufferSize));
    const Decoded reference = Reference(longStream, repeated.size(), peer.upper, own.lower);
    if (whole.data != reference.data || whole.acknowledged != reference.acknowledged ||
        whole.peerWindows != reference.peerWindows || whole.closed != reference.closed) {
      std::abort();
    }
  }

  WindowsRoundTrip(stream, length, kWindowData, kWindowBuffer, own, cut);
  WindowsRoundTrip(stream, length, Quorvane::tcp::kWindowData, Quorvane::tcp::kWindowBuffer, own, cut + 1);

  RoleWords(stream, length);
  Role word{};
  if (RoleOfWord(reinterpret_cast<const char*>(stream), static_cast<long>(length), &word) &&
      word.upper != 'C' && word.upper != 'P' && word.upper != 'N') {
    std::abort();
  }
  const std::string text(reinterpret_cast<const char*>(stream), length);
  Descriptors d;
  if (ParseProtocol(text.c_str(), &d) && d.given && (d.fdIn < 0 || d.fdOut < 0 || d.fdMsgIn < -1 || d.fdMsgOut < -1)) {
    std::abort();
  }
  return 0;
}
