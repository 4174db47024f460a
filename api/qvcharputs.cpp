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

// One piece through the character writer, under the strict put frame.
template <class Mirror>
int PutPiece(QVLink* link, Mirror&& mirror, int64_t left, const void* start, const void* end, int64_t count,
             unsigned encoding) {
  return qvcall::Put(link, qvcall::Pending::kStrict, mirror, [&](QVLink* k) {
    return QVPutCharacters_(k->writeState, k->deviceStack, qvcall::BaseQueue(k), left, start, end, count,
                            encoding);
  });
}

// A piece whose characters are counted first: 47 when they cannot be.
template <class Unit, class Mirror, class Count>
int PutCountedPiece(QVLink* link, Mirror&& mirror, int64_t left, const Unit* text, int64_t length, Count&& count_of,
                    unsigned encoding) {
  return qvcall::Put(link, qvcall::Pending::kStrict, mirror, [&](QVLink* k) -> long {
    int64_t count = 0;
    if (!count_of(&count)) return qvputtext::kInvalidCharacters;
    return QVPutCharacters_(k->writeState, k->deviceStack, qvcall::BaseQueue(k), left, text, text + length, count,
                            encoding);
  });
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
  return PutCountedPiece(
      link, [&](QVLink* w) { RVPutUTF16Characters(w, left, text, length); }, left, text, length,
      [&](int64_t* count) { return qvputtext::CountUTF16(text, length, count); }, ENCODING_UTF16);
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
