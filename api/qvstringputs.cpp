// String puts: one whole string token, the text converted from the caller's
// encoding into the link's text form. Strings always go out in full: no
// string has a dictionary code to be sent by.
#include <cstdint>
#include <cstring>

#include "api/qvcalldiscipline.h"
#include "api/qvcodecwrite.h"
#include "api/qvputtext.h"
#include "api/qvtokentypes.h"
#include "quorvane.h"
#include "text/qvtextencoding.h"
#include "text/qvunicode.h"

namespace {

// The string token and its text in one piece, under the write discipline.
// count_check runs under the lock and may refuse the text with its code.
template <class Mirror, class Count>
int PutStringToken(QVLink* link, Mirror&& mirror, const void* start, const void* end, unsigned encoding,
                   Count&& count_check) {
  return qvcall::Put(link, qvcall::Pending::kWrite, mirror, [&](QVLink* k) -> long {
    int64_t count = 0;
    if (const long refused = count_check(&count); refused != 0) return refused;
    if (const long error = QVPutType_(k->writeState, k->deviceStack, qvcall::BaseQueue(k), TOK_STRING);
        error != 0) {
      return error;
    }
    return QVPutCharacters_(k->writeState, k->deviceStack, qvcall::BaseQueue(k), 0, start, end, count,
                            encoding);
  });
}

// The count the caller's length gives, for encodings of one unit a character.
auto Units(int64_t length) {
  return [length](int64_t* count) -> long {
    *count = length;
    return 0;
  };
}

}  // namespace

int RVPutUCS2String(QVLink* link, const unsigned short* text, int length) QV_NOEXCEPT {
  if (!qvputtext::Usable(link, text, length)) return 0;
  return PutStringToken(
      link, [&](QVLink* w) { RVPutUCS2String(w, text, length); }, text, text + length, ENCODING_UCS2,
      Units(length));
}

int RVPutUTF8String(QVLink* link, const unsigned char* text, int length) QV_NOEXCEPT {
  if (!qvputtext::Usable(link, text, length)) return 0;
  return PutStringToken(link, [&](QVLink* w) { RVPutUTF8String(w, text, length); }, text, text + length,
                        ENCODING_UTF8, [&](int64_t* count) -> long {
                          if (length == 0) return 0;
                          return qvputtext::CountUTF8(text, length, count)
                                     ? 0
                                     : qvputtext::kInvalidCharacters;
                        });
}

int RVPutUTF16String(QVLink* link, const unsigned short* text, int length) QV_NOEXCEPT {
  if (!qvputtext::Usable(link, text, length)) return 0;
  return PutStringToken(link, [&](QVLink* w) { RVPutUTF16String(w, text, length); }, text, text + length,
                        ENCODING_UTF16, [&](int64_t* count) -> long {
                          if (length <= 0) return qvputtext::kInvalidCharacters;
                          return qvputtext::CountUTF16(text, length, count) ? 0 : qvputtext::kInvalidCharacters;
                        });
}

int RVPutUTF32String(QVLink* link, const unsigned int* text, int length) QV_NOEXCEPT {
  if (!qvputtext::Usable(link, text, length)) return 0;
  return PutStringToken(link, [&](QVLink* w) { RVPutUTF32String(w, text, length); }, text, text + length,
                        ENCODING_UTF32, [&](int64_t* count) -> long {
                          *count = length;
                          return length <= 0 ? qvputtext::kInvalidCharacters : 0;
                        });
}

int RVPutByteString(QVLink* link, const unsigned char* text, long length) QV_NOEXCEPT {
  if (!qvputtext::Usable(link, text, length)) return 0;
  return PutStringToken(
      link, [&](QVLink* w) { RVPutByteString(w, text, length); }, text, text + length, ENCODING_BYTES,
      Units(length));
}

int RVPutString(QVLink* link, const char* text) QV_NOEXCEPT {
  if (!qvputtext::Usable(link, text, text == nullptr ? 1 : 0)) return 0;
  const size_t length = std::strlen(text);
  return PutStringToken(link, [&](QVLink* w) { RVPutString(w, text); }, text, text + length, ENCODING_ASCII,
                        Units(-1));
}
