// Window framing, role words and the protocol text of the Pipes device.
#include "device/qvpipesframing.h"

#include <strings.h>

#include <cstdlib>
#include <cstring>

#include "device/qvfileutils.h"

namespace Quorvane::pipes {

namespace {

void AddSegment(Scanner* s, char* start, long length) {
  s->segments[s->waitingSegments].start = start;
  s->segments[s->waitingSegments].length = static_cast<uint16_t>(length);
  ++s->waitingSegments;
}

iovec Piece(const char* start, long length) {
  return iovec{const_cast<char*>(start), static_cast<size_t>(length)};
}

}  // namespace

void Scan(Scanner* s, ScanEvents* events) noexcept {
  *events = ScanEvents{0, 0, false};
  s->nextSegment = 0;
  s->waitingSegments = 0;
  while (s->cursor < s->end && s->waitingSegments < kSegmentCount) {
    char* here = s->buffer + s->cursor;
    if (!s->escapePending) {
      const long left = s->end - s->cursor;
      char* mark = static_cast<char*>(std::memchr(here, kEscape, static_cast<size_t>(left)));
      const long found = mark == nullptr ? left : mark - here;
      const long run = found < kLongestSegment ? found : kLongestSegment;
      if (run > 0) AddSegment(s, here, run);
      s->cursor += run;
      if (run < found) continue;  // the rest of the run is the next segment
      if (mark != nullptr) {
        s->escapePending = true;
        ++s->cursor;
      }
      continue;
    }
    const char c = *here;
    s->escapePending = false;
    ++s->cursor;
    if (c == kEscape) {
      AddSegment(s, here, 1);
    } else if (c == s->ownLower) {
      ++events->acknowledged;
    } else if (c == s->peerUpper) {
      ++events->peerWindows;
    } else if (c == kCloseMark) {
      events->closed = true;
    }
  }
}

bool HasBufferedInput(const Scanner& s) noexcept {
  return s.cursor < s.end || s.nextSegment < s.waitingSegments;
}

long EncodeWindow(const char* data, long length, char ownUpper, char* out) noexcept {
  long written = 0;
  long at = 0;
  while (at < length) {
    const char* mark = static_cast<const char*>(std::memchr(data + at, kEscape, static_cast<size_t>(length - at)));
    const long run = mark == nullptr ? length - at : mark - (data + at);
    std::memcpy(out + written, data + at, static_cast<size_t>(run));
    written += run;
    at += run;
    if (mark != nullptr) {
      out[written++] = kEscape;
      out[written++] = kEscape;
      ++at;
    }
  }
  out[written++] = kEscape;
  out[written++] = ownUpper;
  return written;
}

int WindowPieces(const char* data, long length, const char* endMark, iovec* pieces, int most) noexcept {
  int count = 0;
  long from = 0;  // start of the piece under way
  long look = 0;  // where the next data backslash is looked for
  while (look < length) {
    const char* mark = static_cast<const char*>(std::memchr(data + look, kEscape, static_cast<size_t>(length - look)));
    if (mark == nullptr) break;
    // Room for this piece, the one after the last backslash and the end mark.
    if (count + 3 > most) return 0;
    // The piece ends with the backslash; the next one starts with it again.
    const long at = mark - data;
    pieces[count++] = Piece(data + from, at + 1 - from);
    from = at;
    look = at + 1;
  }
  if (count + 2 > most) return 0;
  if (length > from) pieces[count++] = Piece(data + from, length - from);
  pieces[count++] = Piece(endMark, 2);
  return count;
}

long EncodeAcknowledgements(long count, char peerLower, char* out) noexcept {
  for (long i = 0; i < count; ++i) {
    out[2 * i] = kEscape;
    out[2 * i + 1] = peerLower;
  }
  return 2 * count;
}

Role RoleOfMode(unsigned long mode) noexcept {
  if ((mode & 0x0A) != 0) return Role{2, 'C', 'c', "in"};
  if ((mode & 0x14) != 0) return Role{3, 'P', 'p', "ang"};
  return Role{1, 'N', 'n', "Neuter"};
}

bool RoleOfWord(const char* word, long length, Role* role) noexcept {
  auto is = [&](const char* known) {
    return static_cast<long>(std::strlen(known)) == length && std::memcmp(word, known, static_cast<size_t>(length)) == 0;
  };
  if (is("in")) *role = Role{2, 'C', 'c', "in"};
  else if (is("ang")) *role = Role{3, 'P', 'p', "ang"};
  else if (length == 0 || is("Neuter")) *role = Role{1, 'N', 'n', "Neuter"};
  else return false;
  return true;
}

void StartRoleWord(RoleWordReader* reader) noexcept {
  reader->length = 0;
  reader->skipping = false;
  reader->peer = Role{};
}

WordStep TakeRoleWordByte(RoleWordReader* r, char byte) noexcept {
  if (byte != ' ' && byte != ',') {
    if (r->length == kRoleWordLimit) return WordStep::kRefused;
    if (!r->skipping) r->word[r->length] = byte;
    ++r->length;
    return WordStep::kMore;
  }
  if (!r->skipping && !RoleOfWord(r->word, r->length, &r->peer)) return WordStep::kRefused;
  r->skipping = true;
  r->length = 0;
  return byte == ' ' ? WordStep::kDone : WordStep::kMore;
}

bool ParseProtocol(const char* text, Descriptors* d) noexcept {
  *d = Descriptors{};
  if (text == nullptr || *text == '\0') return true;
  if (strncasecmp(text, "Pipes", 5) != 0) return false;
  const char* colon = std::strchr(text + 5, ':');
  if (colon == nullptr) return true;
  // At most four words, split at ", \t".
  char words[4][24] = {};
  const char* list[4] = {};
  int count = 0;
  const char* at = colon + 1;
  while (*at != '\0' && count < 4) {
    at += std::strspn(at, ", \t");
    if (*at == '\0') break;
    const size_t length = std::strcspn(at, ", \t");
    // A word too long for any descriptor number is not all digits we can use.
    if (length >= sizeof words[0]) return true;
    std::memcpy(words[count], at, length);
    list[count] = words[count];
    ++count;
    at += length;
  }
  if (count == 0 || qvu_allnumeric(count, list, 0) != 1) return true;
  long* targets[4] = {&d->fdIn, &d->fdOut, &d->fdMsgIn, &d->fdMsgOut};
  for (int i = 0; i < count; ++i) *targets[i] = std::strtol(list[i], nullptr, 10);
  d->given = true;
  return true;
}

}  // namespace Quorvane::pipes
