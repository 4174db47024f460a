// Symbol readers: a plain symbol is read as text in the caller's encoding; a
// dictionary-coded symbol is looked up in the link's symbol dictionary and
// written out in that encoding. Either way the link's replacement for reading
// runs on the result. Function heads are the same, after the function token.
#include <cstdint>
#include <cstring>

#include "api/qvcodecread.h"
#include "api/qvputtext.h"
#include "api/qvsymbolgets.h"
#include "api/qvsymbolreplacement.h"
#include "api/qvtokentypes.h"
#include "text/qvtextencoding.h"
#include "text/qvunicode.h"
#include "text/qvutf8string.h"

namespace {

constexpr long kInconsistent = 2;
constexpr long kOutOfSequence = 3;
constexpr long kNoMemory = 8;
constexpr long kUnknownSymbol = 53;

using qvsymbolread::DictionaryCodes;
using qvsymbolread::FreeAtom;

constexpr DictionaryCodes kNarrowSymbolCodes{kInconsistent, kUnknownSymbol};  // 7-bit and byte symbols
constexpr DictionaryCodes kWideSymbolCodes{kUnknownSymbol, kInconsistent};    // UCS-2 and the UTF forms
constexpr DictionaryCodes kHeadCodes{kUnknownSymbol, kInconsistent};          // every function head

// An empty name, as the atom readers give one: nothing but the byte-order
// mark in the wide forms, then two zero units. 0 or 8.
long EmptyName(Quorvane::QVGetContainer* container, unsigned encoding, void** name, int64_t* bytes,
               int64_t* characters) {
  const int64_t unit = qvputtext::UnitBytes(encoding);
  const bool marked = encoding == ENCODING_UTF16 || encoding == ENCODING_UTF32;
  const uint64_t size = marked ? static_cast<uint64_t>(unit) : 0;
  auto* atom = static_cast<unsigned char*>(AllocAtom(container->pool, size + 2 * unit, nullptr, nullptr));
  if (atom == nullptr) return kNoMemory;
  std::memset(atom, 0, size + 2 * unit);
  const uint16_t mark16 = 0xFEFF;
  const uint32_t mark32 = 0xFEFF;
  if (encoding == ENCODING_UTF16) std::memcpy(atom, &mark16, sizeof mark16);
  if (encoding == ENCODING_UTF32) std::memcpy(atom, &mark32, sizeof mark32);
  *name = atom;
  *bytes = static_cast<int64_t>(size);
  *characters = 0;
  return 0;
}

// A dictionary name written out in the encoding, into an atom with two zero
// units behind it: 0, unrepresentable, or 8. Every encoding holds an empty
// name.
long EncodeName(Quorvane::QVGetContainer* container, const Quorvane::QVUTF8String& text, unsigned encoding,
                long unrepresentable, void** name, int64_t* bytes, int64_t* characters) {
  if (text.getLengthOfBytes() == 0) return EmptyName(container, encoding, name, bytes, characters);
  // Counted from the bytes: a dictionary loaded from a raw table counts a
  // name's bytes as its characters.
  int64_t count = 0;
  if (QVCountUnicodePointsInUTF8String(text.bytes(), static_cast<int64_t>(text.getLengthOfBytes()), &count) == 0) {
    return unrepresentable;
  }
  const int64_t unit = qvputtext::UnitBytes(encoding);
  uint64_t size = 0;
  bool representable = true;
  switch (encoding) {
    case ENCODING_ASCII: representable = text.willEncodeInASCIIEncoding(); size = text.getLengthOfBytes(); break;
    case ENCODING_BYTES: representable = text.willEncodeInByteEncoding(); size = static_cast<uint64_t>(count); break;
    case ENCODING_UCS2:
      representable = text.willEncodeInUCS2Encoding();
      if (representable) size = text.numberOfBytesForUCS2Encoding();
      break;
    case ENCODING_UTF8: size = text.getLengthOfBytes(); break;
    case ENCODING_UTF16: size = text.numberOfBytesForUTF16Encoding(); break;
    default: size = text.numberOfBytesForUTF32Encoding(); break;
  }
  if (!representable) return unrepresentable;
  auto* atom = static_cast<unsigned char*>(AllocAtom(container->pool, size + 2 * unit, nullptr, nullptr));
  if (atom == nullptr) return kNoMemory;
  std::memset(atom, 0, size + 2 * unit);
  if (size > 0) {
    switch (encoding) {
      case ENCODING_ASCII:
      case ENCODING_UTF8: std::memcpy(atom, text.bytes(), size); break;
      case ENCODING_BYTES: {
        // Every character is below 256: its code is its byte.
        const unsigned char* p = text.bytes();
        int64_t left = static_cast<int64_t>(text.getLengthOfBytes());
        for (uint64_t i = 0; i < size; ++i) {
          unsigned int code = 0;
          QVNextUTF32FromUTF8String(&p, &left, &code);
          atom[i] = static_cast<unsigned char>(code);
        }
        break;
      }
      case ENCODING_UCS2: text.convertToUCS2Encoding(reinterpret_cast<unsigned short*>(atom), size); break;
      case ENCODING_UTF16: text.convertToUTF16Encoding(reinterpret_cast<unsigned short*>(atom), size); break;
      default: text.convertToUTF32Encoding(reinterpret_cast<unsigned int*>(atom), size); break;
    }
  }
  *name = atom;
  *bytes = static_cast<int64_t>(size);
  if (!qvsymbolread::CountCharacters(atom, *bytes, encoding, characters)) *characters = count;
  return 0;
}

// Replacement for reading on a name just read, with 64-bit counts.
long Replace(Quorvane::QVGetContainer* container, unsigned encoding, void** name, int64_t* bytes,
             int64_t* characters) {
  long b = static_cast<long>(*bytes);
  long c = static_cast<long>(*characters);
  const long error = QVDoSymbolReplacement_(container->pool, container->readState, name, &b, &c,
                                            container->variantEnv, static_cast<int>(encoding), QVSYMBOL_GET);
  *bytes = b;
  *characters = c;
  return error;
}

template <class Unit>
long ReadInto(Quorvane::QVGetContainer* container, unsigned encoding, const Unit** name, long* bytes,
              long* characters, long missing, DictionaryCodes codes) {
  void* text = nullptr;
  int64_t b = 0;
  int64_t c = 0;
  const long error = qvsymbolread::ReadSymbol(container, encoding, &text, &b, &c, missing, codes);
  if (name != nullptr) {
    *name = static_cast<const Unit*>(text);
  } else {
    FreeAtom(container, text);  // nowhere to hand it: the symbol is read and dropped
  }
  if (bytes != nullptr) *bytes = static_cast<long>(b);
  if (characters != nullptr) *characters = static_cast<long>(c);
  return error;
}

// A head: the function token and its count, then the head symbol.
template <class Unit>
long ReadHead(Quorvane::QVGetContainer* container, unsigned encoding, const Unit** head, int64_t* bytes,
              int64_t* characters, long* count) {
  int64_t arguments = 0;
  if (const long error = qvsymbolread::ReadFunctionToken(container, &arguments); error != 0) return error;
  if (count != nullptr) *count = static_cast<long>(arguments);
  void* text = nullptr;
  const long error = qvsymbolread::ReadSymbol(container, encoding, &text, bytes, characters, '?', kHeadCodes);
  if (head != nullptr) {
    *head = static_cast<const Unit*>(text);
  } else {
    FreeAtom(container, text);
  }
  return error;
}

template <class Unit>
long ReadHeadWithLength(Quorvane::QVGetContainer* container, unsigned encoding, const Unit** head, int* length,
                        long* count) {
  int64_t bytes = 0;
  int64_t characters = 0;
  const long error = ReadHead(container, encoding, head, &bytes, &characters, count);
  if (length != nullptr) {
    *length = static_cast<int>(encoding == ENCODING_UCS2   ? characters
                               : encoding == ENCODING_UTF8 ? bytes
                                                           : bytes / qvputtext::UnitBytes(encoding));
  }
  return error;
}

}  // namespace

namespace qvsymbolread {

long ReadFunctionToken(Quorvane::QVGetContainer* container, int64_t* arguments) {
  read_state* state = container->readState;
  uint64_t type = 0;
  if (const long error = QVGetType_(state, container->deviceStack, container->queueStack, &type); error != 0) {
    return error;
  }
  if (type != TOK_FUNCTION) return rs__set_error(state, kOutOfSequence);
  return QVGetArgCount_(state, container->deviceStack, container->queueStack, arguments);
}

long ReadDictionaryName(Quorvane::QVGetContainer* container, long unknown, Quorvane::QVUTF8StringHandle* name) {
  read_state* state = container->readState;
  int64_t arguments = 0;
  if (const long error = QVGetArgCount_(state, container->deviceStack, container->queueStack, &arguments);
      error != 0) {
    return error;
  }
  if (arguments != 1) return rs__set_error(state, kInconsistent);
  uint16_t code = 0;
  if (const long error =
          QVGetBinaryNumber_(state, container->deviceStack, container->queueStack, &code, BINARY_INTEGER16);
      error != 0) {
    return error;
  }
  Quorvane::QVStringDictionary* dictionary = container->symbolDictionary.get();
  if (dictionary == nullptr || !dictionary->hasKey(code)) return rs__set_error(state, unknown);
  *name = dictionary->getStringForNumber(code);
  if (!*name) return rs__set_error(state, unknown);
  return 0;
}

long ReadSymbol(Quorvane::QVGetContainer* container, unsigned encoding, void** name, int64_t* bytes,
                int64_t* characters, long missing, DictionaryCodes codes) {
  read_state* state = container->readState;
  *name = nullptr;
  *bytes = 0;
  *characters = 0;
  uint64_t type = 0;
  if (const long error = QVGetRawType_(state, container->deviceStack, container->queueStack, &type); error != 0) {
    return error;
  }
  if (type == TOK_SYMBOL || type == TOK_OLD_SYMBOL) {
    if (const long error = ReadAtomText(container, encoding, missing, name, bytes, characters); error != 0) {
      return error;
    }
    return Replace(container, encoding, name, bytes, characters);
  }
  if (type != TOK_OPT_SYMBOL) return rs__set_error(state, kOutOfSequence);
  Quorvane::QVUTF8StringHandle text;
  if (const long error = ReadDictionaryName(container, codes.unknown, &text); error != 0) return error;
  return NameFromDictionary(container, *text, encoding, codes.unrepresentable, name, bytes, characters);
}

long NameFromDictionary(Quorvane::QVGetContainer* container, const Quorvane::QVUTF8String& text, unsigned encoding,
                        long unrepresentable, void** name, int64_t* bytes, int64_t* characters) {
  long error = 0;
  try {
    error = EncodeName(container, text, encoding, unrepresentable, name, bytes, characters);
  } catch (...) {
    // The dictionary's text would not convert.
    error = unrepresentable;
  }
  if (error != 0) return rs__set_error(container->readState, error);
  return Replace(container, encoding, name, bytes, characters);
}

}  // namespace qvsymbolread

long QVDoSymbolReplacement_(mempool_qvt* pool, read_state* state, void** name, long* bytes, long* characters,
                            _qvsymbol_variant_env* table, int encoding, int direction) {
  if (pool == nullptr || state == nullptr || bytes == nullptr || characters == nullptr || table == nullptr) {
    return -1;
  }
  if (name == nullptr || *name == nullptr || QVSymbolVariantEnvHasReplacement(table) == 0) return 0;
  long new_bytes = *bytes;
  long new_characters = *characters;
  // The replacement counts a wide name's mark as a character.
  if (encoding == ENCODING_UTF16 || encoding == ENCODING_UTF32) ++new_characters;
  void* replaced = QVSymbolReplace(table, name, &new_bytes, &new_characters, encoding, direction);
  if (replaced == nullptr) return 0;
  const int64_t unit = qvputtext::UnitBytes(static_cast<unsigned>(encoding));
  void* atom = *name;
  if (new_bytes != *bytes) {
    atom = ReallocAtom(pool, atom, static_cast<uint64_t>(new_bytes + 2 * unit), nullptr, nullptr);
    if (atom == nullptr) {
      DeallocAtom(pool, *name, nullptr);
      *name = nullptr;
      QVFreeReplacedSymbol(table, replaced);
      return rs__set_error(state, kNoMemory);
    }
    *name = atom;
  }
  auto* text = static_cast<unsigned char*>(atom);
  std::memcpy(text, replaced, static_cast<size_t>(new_bytes));
  // The zero units go behind the text by bytes: a UTF-16 name with surrogate
  // pairs has more units than characters.
  std::memset(text + new_bytes, 0, static_cast<size_t>(2 * unit));
  QVFreeReplacedSymbol(table, replaced);
  *bytes = new_bytes;
  switch (encoding) {
    case ENCODING_UTF16: {
      int64_t points = 0;
      QVCountUnicodePointsInUTF16String(static_cast<const unsigned short*>(atom), new_bytes / 2, &points,
                                        QV_ENDIAN_NATIVE);
      *characters = static_cast<long>(points > 0 ? points - 1 : 0);
      break;
    }
    case ENCODING_UTF32: *characters = new_bytes / 4 > 0 ? new_bytes / 4 - 1 : 0; break;
    default: *characters = new_characters; break;
  }
  return 0;
}

long QVGet7BitSymbol_(Quorvane::QVGetContainer* container, const char** name, long* length) {
  return ReadInto(container, ENCODING_ASCII, name, length, nullptr, '?', kNarrowSymbolCodes);
}

long QVGet8BitSymbol_(Quorvane::QVGetContainer* container, const unsigned char** name, long* bytes,
                      long* characters, long missing) {
  return ReadInto(container, ENCODING_BYTES, name, bytes, characters, missing, kNarrowSymbolCodes);
}

long QVGetUCS2Symbol_(Quorvane::QVGetContainer* container, const unsigned short** name, long* bytes,
                      long* characters) {
  return ReadInto(container, ENCODING_UCS2, name, bytes, characters, '?', kWideSymbolCodes);
}

long QVGetUTF8Symbol_(Quorvane::QVGetContainer* container, const unsigned char** name, long* bytes,
                      long* characters) {
  return ReadInto(container, ENCODING_UTF8, name, bytes, characters, '?', kWideSymbolCodes);
}

long QVGetUTF16Symbol_(Quorvane::QVGetContainer* container, const unsigned short** name, long* bytes,
                       long* characters) {
  return ReadInto(container, ENCODING_UTF16, name, bytes, characters, '?', kWideSymbolCodes);
}

long QVGetUTF32Symbol_(Quorvane::QVGetContainer* container, const unsigned int** name, long* bytes,
                       long* characters) {
  return ReadInto(container, ENCODING_UTF32, name, bytes, characters, '?', kWideSymbolCodes);
}

long QVGetFunction_(Quorvane::QVGetContainer* container, const char** head, long* count) {
  int64_t bytes = 0;
  int64_t characters = 0;
  return ReadHead(container, ENCODING_ASCII, head, &bytes, &characters, count);
}

long QVGetUCS2Function_(Quorvane::QVGetContainer* container, const unsigned short** head, int* length,
                        long* count) {
  return ReadHeadWithLength(container, ENCODING_UCS2, head, length, count);
}

long QVGetUTF8Function_(Quorvane::QVGetContainer* container, const unsigned char** head, int* length,
                        long* count) {
  return ReadHeadWithLength(container, ENCODING_UTF8, head, length, count);
}

long QVGetUTF16Function_(Quorvane::QVGetContainer* container, const unsigned short** head, int* length,
                         long* count) {
  return ReadHeadWithLength(container, ENCODING_UTF16, head, length, count);
}

long QVGetUTF32Function_(Quorvane::QVGetContainer* container, const unsigned int** head, int* length,
                         long* count) {
  return ReadHeadWithLength(container, ENCODING_UTF32, head, length, count);
}
