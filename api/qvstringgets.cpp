// String gets: the next atom (a string, a symbol, a number) handed to the
// caller as a fresh text in one of six encodings. A string sent as a
// dictionary code is looked up; number text can be rewritten into input
// syntax; every text ends with two zero units of its encoding.
#include <algorithm>
#include <cstring>
#include <vector>

#include "api/qvatomreaders.h"
#include "api/qvcalldiscipline.h"
#include "api/qvcodecread.h"
#include "api/qvgetcontainer.h"
#include "api/qvnumberstrings.h"
#include "api/qvputtext.h"
#include "api/qvsymbolgets.h"
#include "api/qvtokentypes.h"
#include "quorvane.h"
#include "text/qvescapedascii.h"
#include "text/qvstringdictionary.h"
#include "text/qvtextencoding.h"
#include "text/qvutf8string.h"

namespace {

using Quorvane::QVGetContainer;

constexpr long kInconsistent = 2;
constexpr long kOutOfSequence = 3;
constexpr long kNoMemory = 8;
constexpr long kUnknownSymbol = 53;
constexpr long kUnknownString = 54;

uint64_t UnitBytes(unsigned encoding) { return static_cast<uint64_t>(qvputtext::UnitBytes(encoding)); }

long Fail(QVGetContainer& c, long code) { return rs__set_error(c.readState, code); }

// A text handed out: an atom block and its counts.
struct Text {
  void* data = nullptr;
  int64_t bytes = 0;
  int64_t characters = 0;
};

// Bytes of 7-bit text as escaped text.
uint64_t EscapedBytes(const Quorvane::QVUTF8String& text) {
  uint64_t bytes = 0;
  for (uint64_t i = 0; i < text.getLengthOfBytes(); ++i) bytes += Quorvane::escapedascii::EscapedLength(text.bytes()[i]);
  return bytes;
}

// The string a dictionary code stands for: 2 unless the token has exactly
// one argument; unknown when the link's dictionary lacks the code.
long LookUp(QVGetContainer& c, long unknown, Quorvane::QVUTF8StringHandle* text) {
  int64_t arguments = 0;
  if (const long error = QVGetArgCount_(c.readState, c.deviceStack, c.queueStack, &arguments); error != 0) {
    return error;
  }
  if (arguments != 1) return Fail(c, kInconsistent);
  uint16_t code = 0;
  if (const long error = QVGetBinaryNumber_(c.readState, c.deviceStack, c.queueStack, &code, BINARY_INTEGER16);
      error != 0) {
    return error;
  }
  if (c.stringDictionary && c.stringDictionary->hasKey(code)) *text = c.stringDictionary->getStringForNumber(code);
  return *text ? 0 : Fail(c, unknown);
}

// Bytes of the text in the encoding; false when the encoding cannot hold it
// (an empty text is held by every encoding).
bool SizeIn(const Quorvane::QVUTF8String& text, unsigned encoding, uint64_t* bytes) {
  const bool empty = text.getNumberOfCharacters() == 0;
  switch (encoding) {
    case ENCODING_ASCII:
      *bytes = EscapedBytes(text);
      return empty || text.willEncodeInASCIIEncoding();
    case ENCODING_BYTES:
      *bytes = text.getNumberOfCharacters();
      return empty || text.willEncodeInByteEncoding();
    case ENCODING_UCS2:
      *bytes = text.numberOfBytesForUCS2Encoding();
      return empty || text.willEncodeInUCS2Encoding();
    case ENCODING_UTF8: *bytes = text.getLengthOfBytes(); return true;
    // The wide forms begin with the byte-order mark, an empty text too.
    case ENCODING_UTF16: *bytes = empty ? 2 : text.numberOfBytesForUTF16Encoding(); return true;
    default: *bytes = empty ? 4 : text.numberOfBytesForUTF32Encoding(); return true;
  }
}

// Writes the text in the encoding into bytes at data; false when it will not
// convert.
bool WriteIn(const Quorvane::QVUTF8String& text, unsigned encoding, unsigned char* data, uint64_t bytes) {
  if (text.getNumberOfCharacters() == 0) {
    const uint32_t mark = 0xFEFF;
    if (encoding == ENCODING_UTF16) *reinterpret_cast<uint16_t*>(data) = static_cast<uint16_t>(mark);
    if (encoding == ENCODING_UTF32) *reinterpret_cast<uint32_t*>(data) = mark;
    return true;
  }
  switch (encoding) {
    case ENCODING_UCS2: text.convertToUCS2Encoding(reinterpret_cast<unsigned short*>(data), bytes); return true;
    case ENCODING_UTF16: text.convertToUTF16Encoding(reinterpret_cast<unsigned short*>(data), bytes); return true;
    case ENCODING_UTF32: text.convertToUTF32Encoding(reinterpret_cast<unsigned int*>(data), bytes); return true;
    case ENCODING_BYTES: {
      // One byte a character: the code points, not the UTF-8 bytes. The
      // first unit is the byte-order mark.
      std::vector<unsigned int> points(text.numberOfBytesForUTF32Encoding() / 4);
      if (points.size() != bytes + 1) return false;
      text.convertToUTF32Encoding(points.data(), points.size() * 4);
      for (uint64_t i = 0; i < bytes; ++i) data[i] = static_cast<unsigned char>(points[i + 1]);
      return true;
    }
    case ENCODING_ASCII: {
      // 7-bit text is escaped text, whatever its source: a backslash is doubled.
      auto* escaped = reinterpret_cast<char*>(data);
      for (uint64_t i = 0; i < text.getLengthOfBytes(); ++i) {
        escaped += Quorvane::escapedascii::WriteEscaped(text.bytes()[i], escaped);
      }
      return true;
    }
    default: std::memcpy(data, text.bytes(), bytes); return true;
  }
}

// The text of a dictionary-coded string in the encoding, into a block that
// ends with two zero units like every text read. An unknown code answers 2
// in the byte and 7-bit forms, 54 in the others; a text the encoding cannot
// hold 2 in UCS-2, 54 in the byte and 7-bit forms.
long DictionaryText(QVGetContainer& c, unsigned encoding, Text* out) {
  const bool narrow = encoding == ENCODING_ASCII || encoding == ENCODING_BYTES;
  Quorvane::QVUTF8StringHandle text;
  if (const long error = LookUp(c, narrow ? kInconsistent : kUnknownString, &text); error != 0) return error;
  uint64_t bytes = 0;
  if (!SizeIn(*text, encoding, &bytes)) return Fail(c, narrow ? kUnknownString : kInconsistent);
  const uint64_t unit = UnitBytes(encoding);
  qvatom::Block block(c.pool);
  if (!block.Reserve(bytes + 2 * unit)) return Fail(c, kNoMemory);
  if (!WriteIn(*text, encoding, block.data(), bytes)) return Fail(c, kUnknownString);
  std::fill(block.data() + bytes, block.data() + bytes + 2 * unit, static_cast<unsigned char>(0));
  out->bytes = static_cast<int64_t>(bytes);
  out->characters = static_cast<int64_t>(text->getNumberOfCharacters());
  out->data = block.Release<void>();
  return 0;
}

// The rewritten text and the two zero units behind it, in the text's units.
template <class Unit>
int64_t RewriteUnits(Unit* t, long (*rewrite)(Unit*, void*)) {
  const int64_t units = rewrite(t, nullptr);
  t[units] = 0;
  t[units + 1] = 0;
  return units;
}

// Real-number text into input syntax (1.5e10 becomes 1.5*^10). Every count
// becomes the rewritten length: the text may have grown by a unit, and a
// caller copying by the byte count must get all of it. The block is grown
// first so that the grown text still ends with two zero units: 0 or 8.
long RewriteNumber(QVGetContainer& c, unsigned encoding, Text* text) {
  const uint64_t unit = UnitBytes(encoding);
  // The text, the unit it may grow by, and two zero units.
  void* grown = ReallocAtom(c.pool, text->data, static_cast<uint64_t>(text->bytes) + 3 * unit, nullptr, nullptr);
  if (grown == nullptr) return Fail(c, kNoMemory);
  text->data = grown;
  int64_t units = 0;
  switch (unit) {
    case 2: units = RewriteUnits(static_cast<uint16_t*>(text->data), qv_to_input_short); break;
    case 4: units = RewriteUnits(static_cast<uint32_t*>(text->data), qv_to_input_int); break;
    default: units = RewriteUnits(static_cast<char*>(text->data), qv_to_input_char); break;
  }
  text->bytes = units * static_cast<int64_t>(UnitBytes(encoding));
  // The byte-order mark of UTF-16 and UTF-32 text is no character.
  const bool marked = encoding == ENCODING_UTF16 || encoding == ENCODING_UTF32;
  text->characters = marked ? std::max<int64_t>(units - 1, 0) : units;
  return 0;
}

// Number text read plainly ends, for C callers, at its first blank or
// control unit; the counts still cover the whole atom.
void CutNumber(unsigned encoding, Text* text) {
  const auto length = static_cast<size_t>(encoding == ENCODING_UCS2 ? text->bytes / 2 : text->bytes);
  if (encoding == ENCODING_UCS2) {
    auto* t = static_cast<uint16_t*>(text->data);
    auto* end = std::find_if(t, t + length, [](uint16_t u) { return u <= 32; });
    if (end != t + length) *end = 0;
  } else {
    auto* t = static_cast<unsigned char*>(text->data);
    auto* end = std::find_if(t, t + length, [](unsigned char u) { return u <= 32; });
    if (end != t + length) *end = 0;
  }
}

// A symbol token in the encoding, through the symbol readers: replaced as
// every symbol read is, with their dictionary codes.
long SymbolText(QVGetContainer& c, unsigned encoding, long missing, Text* out) {
  const bool narrow = encoding == ENCODING_ASCII || encoding == ENCODING_BYTES;
  const qvsymbolread::DictionaryCodes codes =
      narrow ? qvsymbolread::DictionaryCodes{kInconsistent, kUnknownSymbol}
             : qvsymbolread::DictionaryCodes{kUnknownSymbol, kInconsistent};
  return qvsymbolread::ReadSymbol(&c, encoding, &out->data, &out->bytes, &out->characters, missing, codes);
}

long ReadString(QVGetContainer& c, unsigned encoding, long missing, bool number, Text* out) {
  *out = Text{};
  uint64_t raw = 0;
  if (const long error = QVGetRawType_(c.readState, c.deviceStack, c.queueStack, &raw); error != 0) return error;
  long error = 0;
  if (raw == TOK_SYMBOL || raw == TOK_OPT_SYMBOL || raw == TOK_OLD_SYMBOL) {
    error = SymbolText(c, encoding, missing, out);
  } else if (raw == TOK_OPT_STRING) {
    error = DictionaryText(c, encoding, out);
  } else {
    if (encoding == ENCODING_ASCII) {
      if (raw == TOK_FUNCTION) return Fail(c, kOutOfSequence);
    } else {
      uint64_t type = 0;
      if (const long e = QVGetType_(c.readState, c.deviceStack, c.queueStack, &type); e != 0) return e;
    }
    error = qvatom::ReadAtom(c.pool, c.readState, c.deviceStack, c.queueStack, encoding, missing, &out->data,
                             &out->bytes, &out->characters);
    if (error == 0 && number && raw == TOK_REAL) {
      error = RewriteNumber(c, encoding, out);
    } else if (error == 0 && (raw == TOK_REAL || raw == TOK_INTEGER) &&
               (encoding == ENCODING_UCS2 || encoding == ENCODING_BYTES || encoding == ENCODING_ASCII)) {
      CutNumber(encoding, out);
    }
  }
  if (error != 0) {
    DeallocAtom(c.pool, out->data, nullptr);
    *out = Text{};
  }
  return error;
}


// The get frame of one string get: the reader runs under the link lock, the
// counts go to every count the caller gives, also after a failure, and the
// text pointer is null after one. A caller without a text pointer gets
// nothing to release.
template <class Unit, class Report>
int GetString(QVLink* link, const Unit** text, unsigned encoding, long missing, bool number, Report&& report) {
  Text got;
  const int ok = qvcall::Get(link, [&](QVLink* k) {
    QVGetContainer container(k);
    return ReadString(container, encoding, missing, number, &got);
  });
  report(got);
  if (text != nullptr) {
    *text = static_cast<const Unit*>(got.data);
  } else if (got.data != nullptr) {
    RVReleaseString(link, static_cast<const char*>(got.data));
  }
  return ok;
}

template <class Count>
void Put(Count* out, int64_t value) {
  if (out != nullptr) *out = static_cast<Count>(value);
}

// The string readers, one for each encoding a text is handed out in; number
// asks for a real's text in input syntax.
int QVGetUCS2String_(QVLink* link, const unsigned short** text, int* length, bool number) {
  return GetString(link, text, ENCODING_UCS2, 0, number, [&](const Text& t) { Put(length, t.bytes / 2); });
}

int QVGetUTF8String_(QVLink* link, const unsigned char** text, int* bytes, int* characters, bool number) {
  return GetString(link, text, ENCODING_UTF8, 0, number, [&](const Text& t) {
    Put(bytes, t.bytes);
    Put(characters, t.characters);
  });
}

int QVGetUTF16String_(QVLink* link, const unsigned short** text, int* units, int* characters, bool number) {
  return GetString(link, text, ENCODING_UTF16, 0, number, [&](const Text& t) {
    Put(units, t.bytes / 2);
    Put(characters, t.characters);
  });
}

int QVGetUTF32String_(QVLink* link, const unsigned int** text, int* units, bool number) {
  return GetString(link, text, ENCODING_UTF32, 0, number, [&](const Text& t) { Put(units, t.bytes / 4); });
}

template <class Count>
int QVGet8BitString_(QVLink* link, const unsigned char** text, Count* length, long missing, bool number) {
  return GetString(link, text, ENCODING_BYTES, missing, number,
                   [&](const Text& t) { Put(length, t.bytes); });
}

int QVGet7BitString_(QVLink* link, const char** text, bool number) {
  return GetString(link, text, ENCODING_ASCII, 0, number, [](const Text&) {});
}

}  // namespace

int RVGetUCS2String(QVLink* link, const unsigned short** text, int* length) QV_NOEXCEPT {
  return QVGetUCS2String_(link, text, length, false);
}
int RVGetUTF8String(QVLink* link, const unsigned char** text, int* bytes, int* characters) QV_NOEXCEPT {
  return QVGetUTF8String_(link, text, bytes, characters, false);
}
int RVGetUTF16String(QVLink* link, const unsigned short** text, int* units, int* characters) QV_NOEXCEPT {
  return QVGetUTF16String_(link, text, units, characters, false);
}
int RVGetUTF32String(QVLink* link, const unsigned int** text, int* units) QV_NOEXCEPT {
  return QVGetUTF32String_(link, text, units, false);
}
int RVGetByteString(QVLink* link, const unsigned char** text, int* length, long missing) QV_NOEXCEPT {
  return QVGet8BitString_(link, text, length, missing, false);
}
// Unlike its sisters, a failure leaves the caller's pointer as it was.
int RVGetString(QVLink* link, const char** text) QV_NOEXCEPT {
  const char* got = nullptr;
  const int ok = QVGet7BitString_(link, &got, false);
  if (ok != 0 && text != nullptr) {
    *text = got;
  } else if (got != nullptr) {
    RVReleaseString(link, got);
  }
  return ok;
}

int RVGetNumberAsUCS2String(QVLink* link, const unsigned short** text, int* length) QV_NOEXCEPT {
  return QVGetUCS2String_(link, text, length, true);
}
int RVGetNumberAsUTF8String(QVLink* link, const unsigned char** text, int* bytes, int* characters) QV_NOEXCEPT {
  return QVGetUTF8String_(link, text, bytes, characters, true);
}
int RVGetNumberAsUTF16String(QVLink* link, const unsigned short** text, int* units, int* characters) QV_NOEXCEPT {
  return QVGetUTF16String_(link, text, units, characters, true);
}
int RVGetNumberAsUTF32String(QVLink* link, const unsigned int** text, int* units) QV_NOEXCEPT {
  return QVGetUTF32String_(link, text, units, true);
}
int RVGetNumberAsByteString(QVLink* link, const unsigned char** text, long* length, long missing) QV_NOEXCEPT {
  return QVGet8BitString_(link, text, length, missing, true);
}

int RVGetNumberAsString(QVLink* link, const char** text) QV_NOEXCEPT {
  uint64_t type = 0;
  if (qvcall::Get(link, [&](QVLink* k) { return QVGetType_(&k->readState, k->deviceStack, &k->queueStack, &type); }) ==
      0) {
    if (text != nullptr) *text = nullptr;
    return 0;
  }
  if (type == TOK_REAL) {
    long length = 0;
    return RVGetNumberAsByteString(link, reinterpret_cast<const unsigned char**>(text), &length, 0);
  }
  if (type == TOK_SYMBOL) return RVGetSymbol(link, text);
  // Null after a failure, whichever get read the token.
  const int ok = RVGetString(link, text);
  if (ok == 0 && text != nullptr) *text = nullptr;
  return ok;
}
