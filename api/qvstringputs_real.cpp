// Real-number puts: a real token whose text the caller gives in input syntax
// (1.5*^10, 2.`20), rewritten into the link's form before it is written. The
// rewriting works on a private copy, so the caller's text (a literal, say)
// stays as it was, and the token carries the rewritten length only.
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "api/qvcalldiscipline.h"
#include "api/qvcodecwrite.h"
#include "api/qvnumberstrings.h"
#include "api/qvputtext.h"
#include "api/qvtokentypes.h"
#include "quorvane.h"
#include "text/qvtextencoding.h"
#include "text/qvunicode.h"

namespace {

constexpr long kNoMemory = 8;

template <class Unit>
int64_t TerminatedLength(const Unit* text) {
  int64_t n = 0;
  while (text[n] != 0) ++n;
  return n;
}

// The caller's units with a zero unit after them, rewritten into link form;
// *length becomes the rewritten length. That may be one unit longer than the
// caller's text: a precision field without an exponent ("2.`20") takes the
// end unit as its separator ("2.", zero, "`20"), and the zero unit after the
// copy is there for it. Null when memory runs out.
template <class Unit, class Rewrite>
std::unique_ptr<Unit[]> RewrittenCopy(const Unit* text, int64_t* length, Rewrite rewrite) {
  std::unique_ptr<Unit[]> copy(new (std::nothrow) Unit[static_cast<size_t>(*length) + 1]);
  if (!copy) return copy;
  if (*length > 0) std::memcpy(copy.get(), text, static_cast<size_t>(*length) * sizeof(Unit));
  copy[static_cast<size_t>(*length)] = 0;
  const long rewritten = rewrite(copy.get());
  if (rewritten >= 0 && rewritten <= *length + 1) *length = rewritten;
  return copy;
}

long ToLinkForm(char* text) { return input_to_qv_char(text); }
long ToLinkForm(unsigned char* text) { return input_to_qv_char(reinterpret_cast<char*>(text)); }
long ToLinkForm(unsigned short* text) { return input_to_qv_short(reinterpret_cast<uint16_t*>(text)); }
long ToLinkForm(unsigned int* text) { return input_to_qv_int(reinterpret_cast<uint32_t*>(text)); }

// The real token with the rewritten text. count_of(copy, length, &count)
// gives the character count, or false when the text cannot be counted.
template <class Unit, class Mirror, class Count>
int PutReal(QVLink* link, Mirror&& mirror, const Unit* text, int64_t length, unsigned encoding, Count&& count_of) {
  if (!qvputtext::Usable(link, text, text == nullptr ? 1 : length)) return 0;
  return qvcall::Put(link, qvcall::Pending::kWrite, mirror, [&](QVLink* k) -> long {
    int64_t rewritten = length;
    std::unique_ptr<Unit[]> copy =
        RewrittenCopy<Unit>(text, &rewritten, [](Unit* units) { return ToLinkForm(units); });
    if (!copy) return kNoMemory;
    int64_t count = rewritten;
    if (!count_of(copy.get(), rewritten, &count)) return qvputtext::kInvalidCharacters;
    if (const long error = QVPutType_(k->writeState, k->deviceStack, qvcall::BaseQueue(k), TOK_REAL); error != 0) {
      return error;
    }
    return QVPutCharacters_(k->writeState, k->deviceStack, qvcall::BaseQueue(k), 0, copy.get(),
                            copy.get() + rewritten, count, encoding);
  });
}

// One character a unit.
template <class Unit>
bool Units(const Unit*, int64_t length, int64_t* count) {
  *count = length;
  return true;
}

}  // namespace

int RVPutRealNumberAsString(QVLink* link, const char* text) QV_NOEXCEPT {
  const int64_t length = text == nullptr ? 0 : TerminatedLength(text);
  return PutReal(link, [&](QVLink* w) { RVPutRealNumberAsString(w, text); }, text, length, ENCODING_ASCII,
                 Units<char>);
}

int RVPutRealNumberAsByteString(QVLink* link, const unsigned char* text) QV_NOEXCEPT {
  const int64_t length = text == nullptr ? 0 : TerminatedLength(text);
  return PutReal(link, [&](QVLink* w) { RVPutRealNumberAsByteString(w, text); }, text, length, ENCODING_BYTES,
                 Units<unsigned char>);
}

int RVPutRealNumberAsUCS2String(QVLink* link, const unsigned short* text) QV_NOEXCEPT {
  const int64_t length = text == nullptr ? 0 : TerminatedLength(text);
  return PutReal(link, [&](QVLink* w) { RVPutRealNumberAsUCS2String(w, text); }, text, length, ENCODING_UCS2,
                 Units<unsigned short>);
}

int RVPutRealNumberAsUTF8String(QVLink* link, const unsigned char* text, int length) QV_NOEXCEPT {
  return PutReal(link, [&](QVLink* w) { RVPutRealNumberAsUTF8String(w, text, length); }, text, length,
                 ENCODING_UTF8, [](const unsigned char* units, int64_t n, int64_t* count) {
                   return qvputtext::CountUTF8(units, n, count);
                 });
}

int RVPutRealNumberAsUTF16String(QVLink* link, const unsigned short* text, int length) QV_NOEXCEPT {
  return PutReal(link, [&](QVLink* w) { RVPutRealNumberAsUTF16String(w, text, length); }, text, length,
                 ENCODING_UTF16, [](const unsigned short* units, int64_t n, int64_t* count) {
                   return qvputtext::CountUTF16(units, n, count);
                 });
}

int RVPutRealNumberAsUTF32String(QVLink* link, const unsigned int* text, int length) QV_NOEXCEPT {
  return PutReal(link, [&](QVLink* w) { RVPutRealNumberAsUTF32String(w, text, length); }, text, length,
                 ENCODING_UTF32, Units<unsigned int>);
}
