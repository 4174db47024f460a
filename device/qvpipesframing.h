// The windowed stream framing of the Pipes device. Data goes in windows: a
// backslash in the data is doubled, a window ends with a backslash and the
// sender's upper-case role letter, the receiver acknowledges each window with
// a backslash and its peer's lower-case letter, and a backslash with 0x04
// closes the link. The scanner splits received bytes into data segments that
// point into the read buffer, so data is not copied again.
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

namespace Quorvane::pipes {

// One read takes all that has come, up to this: at most two windows of a
// peer that keeps the rules, but also whatever a peer that does not sends.
inline constexpr long kReadBufferSize = 65536;
inline constexpr int kSegmentCount = 16;
// A segment's length is 16 bits: a longer run of data is handed out in parts.
inline constexpr long kLongestSegment = UINT16_MAX;
inline constexpr long kWindowCapacity = 2044;
inline constexpr long kWindowData = kWindowCapacity / 2;  // handed to the writer
inline constexpr long kWindowBuffer = 2046;
inline constexpr char kEscape = '\\';
inline constexpr char kCloseMark = 0x04;

struct Segment {
  uint16_t length;
  char* start;
};

struct Scanner {
  char buffer[kReadBufferSize];
  long cursor;  // next byte to scan
  long end;     // end of the bytes read
  Segment segments[kSegmentCount];
  int nextSegment;
  int waitingSegments;
  bool escapePending;
  char peerUpper;
  char ownLower;
};

// What the control sequences of one scan asked for.
struct ScanEvents {
  int acknowledged;  // windows of ours the peer acknowledged
  int peerWindows;   // windows of the peer's that ended (each wants an acknowledgement)
  bool closed;       // the peer closed the link
};

// Scans buffer[cursor, end) into the segment table, from an empty table,
// until the input is used up or the table is full.
void Scan(Scanner* scanner, ScanEvents* events) noexcept;

bool HasBufferedInput(const Scanner& scanner) noexcept;

// Writes one window's data with each backslash doubled, then the end mark,
// into out (room for 2 * length + 2 bytes); answers the bytes written.
long EncodeWindow(const char* data, long length, char ownUpper, char* out) noexcept;

// The same bytes as EncodeWindow, as pieces that point into the data itself
// (so nothing is copied): each data backslash ends one piece and starts the
// next, so it goes twice, and the last piece is endMark (a backslash and the
// own upper-case letter, kept by the caller until the pieces are written).
// Answers the number of pieces, or 0 when more than most would be needed.
int WindowPieces(const char* data, long length, const char* endMark, iovec* pieces, int most) noexcept;

// The acknowledgements of count windows of the peer, each a backslash and the
// peer's lower-case letter, into out (room for 2 * count bytes); answers the
// bytes written.
long EncodeAcknowledgements(long count, char peerLower, char* out) noexcept;

// Role letters and word of a connection mode.
struct Role {
  int number;
  char upper;
  char lower;
  const char* word;
};
Role RoleOfMode(unsigned long mode) noexcept;
// The peer's letters for its role word; false for a word no role has.
bool RoleOfWord(const char* word, long length, Role* role) noexcept;

// The peer's role word as it arrives, one byte at a time: the word up to a
// blank or a comma; after a comma further words follow that are skipped. The
// reader keeps its place between bytes, so a read stopped by the yield
// function goes on where it was.
inline constexpr long kRoleWordLimit = 256;
struct RoleWordReader {
  char word[kRoleWordLimit];
  long length;    // bytes of the word under way
  bool skipping;  // the peer's word is known; the words after it are skipped
  Role peer;
};
enum class WordStep { kMore, kDone, kRefused };
void StartRoleWord(RoleWordReader* reader) noexcept;
// kMore while the words go on; kDone, with reader->peer set, at the blank that
// ends them; kRefused for a word over kRoleWordLimit bytes or one no role has.
WordStep TakeRoleWordByte(RoleWordReader* reader, char byte) noexcept;

// The descriptor numbers of a protocol text "Pipes" or "Pipes:in,out,msgin,msgout";
// false when the text does not name this protocol.
struct Descriptors {
  long fdIn = 0;
  long fdOut = 1;
  long fdMsgIn = -1;
  long fdMsgOut = -1;
  bool given = false;
};
bool ParseProtocol(const char* text, Descriptors* descriptors) noexcept;

}  // namespace Quorvane::pipes
