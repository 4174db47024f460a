// Arbitrary bytes through the Pipes segment scanner, cut into reads of
// arbitrary sizes, checked against a byte-at-a-time decoding of the same
// stream; then the same bytes as a role word and as a protocol text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "device/qvpipesframing.h"

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  if (size < 2) return 0;
  const Role own = RoleOfMode(bytes[0] & 0x1F);
  const Role peer = RoleOfMode(bytes[1] & 0x1F);
  const uint8_t* stream = bytes + 2;
  const size_t length = size - 2;

  static Scanner scanner;
  std::memset(&scanner, 0, sizeof scanner);
  scanner.peerUpper = peer.upper;
  scanner.ownLower = own.lower;
  Decoded got;
  size_t at = 0;
  unsigned cut = bytes[0] >> 5;
  while (at < length || HasBufferedInput(scanner)) {
    if (scanner.cursor >= scanner.end) {
      // Reads of 1 to 1024 bytes, sized by the input itself.
      size_t take = std::min<size_t>(length - at, 1 + ((cut * 131 + stream[at]) % kReadBufferSize));
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
  const Decoded expected = Reference(stream, length, peer.upper, own.lower);
  if (got.data != expected.data || got.acknowledged != expected.acknowledged ||
      got.peerWindows != expected.peerWindows || got.closed != expected.closed) {
    std::abort();
  }

  // Encoding what was decoded and decoding it again gives it back.
  if (got.data.size() <= static_cast<size_t>(kWindowData)) {
    char encoded[kWindowBuffer + 2];
    const long n = EncodeWindow(got.data.data(), static_cast<long>(got.data.size()), own.upper, encoded);
    const Decoded again = Reference(reinterpret_cast<const uint8_t*>(encoded), static_cast<size_t>(n), own.upper, '\0');
    if (again.data != got.data || again.peerWindows != 1) std::abort();
  }

  Role word{};
  if (RoleOfWord(reinterpret_cast<const char*>(stream), static_cast<long>(length), &word) &&
      word.upper != 'C' && word.upper != 'P' && word.upper != 'N') {
    std::abort();
  }
  const std::string text(reinterpret_cast<const char*>(stream), length);
  Descriptors d;
  if (ParseProtocol(text.c_str(), &d) && d.given && (d.in < 0 || d.out < 0 || d.msgIn < -1 || d.msgOut < -1)) {
    std::abort();
  }
  return 0;
}
