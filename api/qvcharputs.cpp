// Character puts: the text of a string or symbol atom sent in pieces, each
// with the count of characters still to follow, or declared by size first and
// sent as raw bytes. None of them starts the token and none corrects a pending
// error: a link that is not yet connected, or whose last put failed, writes
// nothing.
#include <cstdint>

#include "api/qvcalldiscipline.h"
#include "api/qvcodecwrite.h"
#include "api/qvputtext.h"
#include "quorvane.h"
#include "text/qvtextencoding.h"
#include "text/qvunicode.h"

namespace {

// One piece through the character writer, the link's lock held.
long PieceThrough(QVLink* k, int64_t left, const void* start, const void* end, int64_t count, unsigned encoding) {
  return QVPutCharacters_(k->writeState, k->deviceStack, qvcall::BaseQueue(k), left, start, end, count, encoding);
}

// One piece under the strict put frame.
template <class Mirror>
int PutPiece(QVLink* link, Mirror&& mirror, int64_t left, const void* start, const void* end, int64_t count,
             unsigned encoding) {
  return qvcall::Put(link, qvcall::Pending::kStrict, mirror,
                     [&](QVLink* k) { return PieceThrough(k, left, start, end, count, encoding); });
}

// A piece whose characters are counted first: 47 when they cannot be.
template <class Unit, class Mirror, class Count>
int PutCountedPiece(QVLink* link, Mirror&& mirror, int64_t left, const Unit* text, int64_t length, Count&& count_of,
                    unsigned encoding) {
  return qvcall::Put(link, qvcall::Pending::kStrict, mirror, [&](QVLink* k) -> long {
    int64_t count = 0;
    if (!count_of(&count)) return qvputtext::kInvalidCharacters;
    return PieceThrough(k, left, text, text + length, count, encoding);
  });
}

// A UTF-16 piece. A piece may end on the leading half of a pair: the writer
// leaves that unit unread, so it is held here and handed again in front of
// the next piece's first unit. A surrogate outside a pair abandons the atom
// with 47: sent, it would leave the atom unfinished or be dropped.
long PutUTF16Piece(QVLink* k, int64_t left, const unsigned short* text, int64_t length) {
  write_state* w = k->writeState;
  const three_state& c = w->converter;
  int64_t count = 0;
  if (!qvputtext::CountUTF16Units(text, length, &count)) return qvputtext::kInvalidCharacters;
  const bool starts = c.step == QVWRITE_TYPE_DECLARED;
  // A converter step of its own: the atom has begun and wants more text.
  const bool goes_on = c.step > QVWRITE_INSIDE_TOKEN && c.encoding == ENCODING_UTF16;
  // A UTF-16 atom just completed: a trailing half after it has lost its pair.
  const bool after = c.step == QVWRITE_INSIDE_TOKEN && c.wire_left < 0 && c.encoding == ENCODING_UTF16;
  const uint16_t held = goes_on ? w->held_leading_unit : 0;
  w->held_leading_unit = 0;
  if (!starts && !goes_on && !after) return PieceThrough(k, left, text, text + length, count, ENCODING_UTF16);
  // The atom's units are read in the order its first piece settled.
  const bool swapped = starts ? length > 0 && qvputtext::SwappedUTF16(text) : c.byte_order == 1;
  const qvputtext::UTF16Ending ending = qvputtext::ScanUTF16(text, length, swapped, held != 0);
  if (ending == qvputtext::UTF16Ending::kBroken) {
    QVAbandonText_(w);
    return qvputtext::kInvalidCharacters;
  }
  const unsigned short* rest = text;
  if (held != 0 && length > 0) {
    const unsigned short pair[2] = {held, text[0]};
    if (const long error = PieceThrough(k, left, pair, pair + 2, count, ENCODING_UTF16); error != 0) return error;
    ++rest;
  }
  const long error = PieceThrough(k, left, rest, text + length, count, ENCODING_UTF16);
  if (error == 0 && ending == qvputtext::UTF16Ending::kOpen && c.step > QVWRITE_INSIDE_TOKEN) {
    w->held_leading_unit = length > 0 ? text[length - 1] : held;
  }
  return error;
}

// A declaration without text: the byte size stands where the text's end goes.
const void* SizeAsEnd(int64_t size) { return reinterpret_cast<const void*>(static_cast<uintptr_t>(size)); }

}  // namespace

int RVPutUCS2Characters(QVLink* link, int left, const unsigned short* text, int length) QV_NOEXCEPT {
  if (!qvputtext::Usable(link, text, length)) return 0;
  return PutPiece(
      link, [&](QVLink* w) { RVPutUCS2Characters(w, left, text, length); }, left, text, text + length, length,
      ENCODING_UCS2);
}

int RVPutUTF8Characters(QVLink* link, int left, const unsigned char* text, int length) QV_NOEXCEPT {
  if (!qvputtext::Usable(link, text, length)) return 0;
  return PutCountedPiece(
      link, [&](QVLink* w) { RVPutUTF8Characters(w, left, text, length); }, left, text, length,
      [&](int64_t* count) { return qvputtext::CountUTF8(text, length, count); }, ENCODING_UTF8);
}

int RVPutUTF16Characters(QVLink* link, int left, const unsigned short* text, int length) QV_NOEXCEPT {
  if (!qvputtext::Usable(link, text, length)) return 0;
  return qvcall::Put(link, qvcall::Pending::kStrict, [&](QVLink* w) { RVPutUTF16Characters(w, left, text, length); },
                     [&](QVLink* k) { return PutUTF16Piece(k, left, text, length); });
}

int RVPutUTF32Characters(QVLink* link, int left, const unsigned int* text, int length) QV_NOEXCEPT {
  if (!qvputtext::Usable(link, text, length)) return 0;
  return PutPiece(
      link, [&](QVLink* w) { RVPutUTF32Characters(w, left, text, length); }, left, text, text + length, length,
      ENCODING_UTF32);
}

int RVPut8BitCharacters(QVLink* link, long left, const unsigned char* text, long length) QV_NOEXCEPT {
  if (!qvputtext::Usable(link, text, length)) return 0;
  return PutPiece(
      link, [&](QVLink* w) { RVPut8BitCharacters(w, left, text, length); }, left, text, text + length, length,
      ENCODING_BYTES);
}

int RVPut7BitCount(QVLink* link, long count, long size) QV_NOEXCEPT {
  if (!qvputtext::UsableSize(link, size)) return 0;
  return PutPiece(
      link, [&](QVLink* w) { RVPut7BitCount(w, count, size); }, count, nullptr, SizeAsEnd(size), 0,
      ENCODING_ASCII);
}

int RVPut7BitCharacters(QVLink* link, long left, const char* text, long length, long characters) QV_NOEXCEPT {
  if (!qvputtext::Usable(link, text, length)) return 0;
  return PutPiece(
      link, [&](QVLink* w) { RVPut7BitCharacters(w, left, text, length, characters); }, left, text,
      text + length, characters, ENCODING_ASCII);
}

int RVPutSize(QVLink* link, int size) QV_NOEXCEPT {
  if (!qvputtext::UsableSize(link, size)) return 0;
  return PutPiece(
      link, [&](QVLink* w) { RVPutSize(w, size); }, -1, nullptr, SizeAsEnd(size), 0, ENCODING_ASCII);
}

int RVPutData(QVLink* link, const unsigned char* data, int length) QV_NOEXCEPT {
  if (!qvputtext::Usable(link, data, length)) return 0;
  return PutPiece(
      link, [&](QVLink* w) { RVPutData(w, data, length); }, 0, data, data + length, 0, ENCODING_ASCII);
}
