// Symbol and function puts: a name, possibly exchanged by the link's symbol
// replacement, written as a plain symbol token with its characters, or as a
// dictionary symbol with its 16-bit code when the link's symbol dictionary
// knows the name. A function start is its function token with the argument
// count, then its head as such a symbol; a missing head is "List".
#include <cstdint>
#include <cstring>
#include <new>

#include "api/qvcalldiscipline.h"
#include "api/qvcodecwrite.h"
#include "api/qvputtext.h"
#include "api/qvsymbolputs.h"
#include "api/qvsymbolreplacement.h"
#include "api/qvtokentypes.h"
#include "quorvane.h"
#include "text/qvstringdictionary.h"
#include "text/qvtextencoding.h"
#include "text/qvunicode.h"
#include "text/qvutf8string.h"
#include "utilities/qvexception.h"

namespace {

// "Unable to convert from given character encoding to KOVR encoding"
constexpr long kUnconvertibleHead = 48;

// A name as the caller gave it: its text, its length in units of its
// encoding, and its character count (-1 when the writer counts).
struct SymbolName {
  const void* text;
  int64_t units;
  int64_t characters;
  unsigned encoding;
};

// The name as a dictionary key, in its own encoding; empty when it has none.
Quorvane::QVUTF8StringHandle AsKey(const SymbolName& name) {
  using Quorvane::QVUTF8String;
  const auto length = static_cast<uint64_t>(name.units);
  switch (name.encoding) {
    case ENCODING_ASCII:
    case ENCODING_BYTES:
      return Quorvane::QVUTF8StringHandle(new QVUTF8String(static_cast<const char*>(name.text), length));
    case ENCODING_UCS2:
      return Quorvane::QVUTF8StringHandle(
          new QVUTF8String(static_cast<const unsigned short*>(name.text), length, QVUTF8String::UCS2));
    case ENCODING_UTF8:
      return Quorvane::QVUTF8StringHandle(new QVUTF8String(static_cast<const unsigned char*>(name.text), length));
    case ENCODING_UTF16:
      return Quorvane::QVUTF8StringHandle(
          new QVUTF8String(static_cast<const unsigned short*>(name.text), length, QVUTF8String::UTF16));
    case ENCODING_UTF32:
      return Quorvane::QVUTF8StringHandle(new QVUTF8String(static_cast<const unsigned int*>(name.text), length));
    default: return {};
  }
}

// Writes the name in its dictionary form when the link's dictionary knows
// it: true with *code the writer's answer; false to go on with the plain form
// (not known, not convertible, or the form backed out).
bool TryDictionaryForm(QVLink* link, const SymbolName& name, long* code) {
  if (link->symbolDictionaryInUse == 0 || link->deviceStack == nullptr || link->deviceStack->loopback != 0 ||
      !link->symbolDictionary) {
    return false;
  }
  try {
    Quorvane::QVUTF8StringHandle key = AsKey(name);
    if (!key || !link->symbolDictionary->hasKey(key)) return false;
    *code = QVPutSymbolOptimized_(link, key);
    return true;
  } catch (...) {
    // A name that cannot become a key, or the writer backing out: plain form.
    return false;
  }
}

// The symbol token with the name's characters, after replacement and the
// dictionary attempt. Runs under the link lock.
long WriteName(QVLink* link, SymbolName name) {
  void* replaced = nullptr;
  if (link->symbolReplacements != nullptr && QVSymbolVariantEnvHasReplacement(link->symbolReplacements) != 0) {
    void* text = const_cast<void*>(name.text);
    long bytes = static_cast<long>(name.units * qvputtext::UnitBytes(name.encoding));
    long characters = static_cast<long>(name.characters);
    replaced = QVSymbolReplace(link->symbolReplacements, &text, &bytes, &characters,
                               static_cast<int>(name.encoding), QVSYMBOL_PUT);
    if (replaced != nullptr) {
      name.text = replaced;
      name.units = bytes / qvputtext::UnitBytes(name.encoding);
      if (name.characters >= 0) name.characters = characters;
    }
  }
  long code = 0;
  if (!TryDictionaryForm(link, name, &code)) {
    code = QVPutType_(link->writeState, link->deviceStack, qvcall::BaseQueue(link), TOK_SYMBOL);
    if (code == 0) {
      const auto* start = static_cast<const unsigned char*>(name.text);
      code = QVPutCharacters_(link->writeState, link->deviceStack, qvcall::BaseQueue(link), 0, start,
                              start + name.units * qvputtext::UnitBytes(name.encoding), name.characters, name.encoding);
    }
  }
  if (replaced != nullptr) QVFreeReplacedSymbol(link->symbolReplacements, replaced);
  return code;
}

// The character count the writer is given for a name, or false when the
// name's characters cannot be counted. A leading byte-order mark is counted
// too: the writer takes it off the text and off the count together, so a
// count without it would cut the name's last character.
bool CountName(SymbolName* name) {
  int64_t count = 0;
  switch (name->encoding) {
    case ENCODING_UTF8:
      if (!qvputtext::CountUTF8(static_cast<const unsigned char*>(name->text), name->units, &count)) {
        return false;
      }
      name->characters = count;
      return true;
    case ENCODING_UTF16:
      if (!qvputtext::CountUTF16(static_cast<const unsigned short*>(name->text), name->units, &count)) return false;
      name->characters = count;
      return true;
    case ENCODING_UTF32: name->characters = name->units; return true;
    default: return true;
  }
}

template <class Mirror>
int PutSymbol(QVLink* link, Mirror&& mirror, SymbolName name) {
  if (!qvputtext::Usable(link, name.text, name.units)) return 0;
  return qvcall::Put(link, qvcall::Pending::kWrite, mirror, [&](QVLink* k) -> long {
    if (!CountName(&name)) return qvputtext::kInvalidCharacters;
    return WriteName(k, name);
  });
}

// The function writer of RVPutFunction and of its encoding forms
// (QVPutUCS2Function_, QVPutUTF8Function_, QVPutUTF16Function_ and
// QVPutUTF32Function_ are this writer given a head in that encoding).
template <class Mirror>
int QVPutFunction_(QVLink* link, Mirror&& mirror, SymbolName head, int count) {
  if (head.text == nullptr) {
    // Unmarked 16- and 32-bit text is read high byte first, on any machine.
    static const char kList[] = "List";
    alignas(4) static const unsigned char kList16[] = {0, 'L', 0, 'i', 0, 's', 0, 't'};
    alignas(4) static const unsigned char kList32[] = {0, 0, 0, 'L', 0, 0, 0, 'i', 0, 0, 0, 's', 0, 0, 0, 't'};
    static const unsigned short kListUCS2[] = {'L', 'i', 's', 't'};  // UCS-2 is in this machine's order
    head.units = 4;
    head.text = head.encoding == ENCODING_UCS2    ? static_cast<const void*>(kListUCS2)
                : head.encoding == ENCODING_UTF16 ? static_cast<const void*>(kList16)
                : head.encoding == ENCODING_UTF32 ? static_cast<const void*>(kList32)
                                                  : static_cast<const void*>(kList);
  }
  if (!qvputtext::Usable(link, head.text, head.units)) return 0;
  return qvcall::Put(link, qvcall::Pending::kWrite, mirror, [&](QVLink* k) -> long {
    if (!CountName(&head)) return kUnconvertibleHead;
    if (const long error = QVPutComposite_(k->writeState, k->deviceStack, qvcall::BaseQueue(k), count);
        error != 0) {
      return error;
    }
    return WriteName(k, head);
  });
}

}  // namespace

long QVPutSymbolOptimized_(QVLink* link, const Quorvane::QVUTF8StringHandle& name) {
  write_state* state = link->writeState;
  if (QVCanPutOptimizedType_(state, link->deviceStack, qvcall::BaseQueue(link), TOK_OPT_SYMBOL) == 0) {
    if (link->error != 0) return static_cast<long>(link->error);
    throw Quorvane::QVException("Back out of QVPutSymbolOptimized_", "api/qvputsymbols", 60, Quorvane::qvexceptiontype::backOut, 0);
  }
  const int32_t number = link->symbolDictionary->getNumberForString(name);
  const auto code = static_cast<uint16_t>(number);
  long error = QVPutType_(state, link->deviceStack, qvcall::BaseQueue(link), TOK_OPT_SYMBOL);
  if (error == 0) error = QVPutArgCount_(state, link->deviceStack, qvcall::BaseQueue(link), 1);
  if (error == 0) error = QVPutBinaryNumber_(state, link->deviceStack, qvcall::BaseQueue(link), &code, BINARY_INTEGER16);
  return error;
}

int RVPutSymbol(QVLink* link, const char* name) QV_NOEXCEPT {
  const int64_t length = name == nullptr ? 1 : static_cast<int64_t>(std::strlen(name));
  return PutSymbol(link, [&](QVLink* w) { RVPutSymbol(w, name); }, {name, length, -1, ENCODING_ASCII});
}

int RVPutByteSymbol(QVLink* link, const unsigned char* name, long length) QV_NOEXCEPT {
  return PutSymbol(link, [&](QVLink* w) { RVPutByteSymbol(w, name, length); },
                   {name, length, length, ENCODING_BYTES});
}

int RVPutUCS2Symbol(QVLink* link, const unsigned short* name, int length) QV_NOEXCEPT {
  return PutSymbol(link, [&](QVLink* w) { RVPutUCS2Symbol(w, name, length); },
                   {name, length, length, ENCODING_UCS2});
}

int RVPutUTF8Symbol(QVLink* link, const unsigned char* name, int length) QV_NOEXCEPT {
  return PutSymbol(link, [&](QVLink* w) { RVPutUTF8Symbol(w, name, length); }, {name, length, 0, ENCODING_UTF8});
}

int RVPutUTF16Symbol(QVLink* link, const unsigned short* name, int length) QV_NOEXCEPT {
  return PutSymbol(link, [&](QVLink* w) { RVPutUTF16Symbol(w, name, length); },
                   {name, length, 0, ENCODING_UTF16});
}

int RVPutUTF32Symbol(QVLink* link, const unsigned int* name, int length) QV_NOEXCEPT {
  return PutSymbol(link, [&](QVLink* w) { RVPutUTF32Symbol(w, name, length); },
                   {name, length, length, ENCODING_UTF32});
}

int RVPutFunction(QVLink* link, const char* head, int count) QV_NOEXCEPT {
  const int64_t length = head == nullptr ? 0 : static_cast<int64_t>(std::strlen(head));
  return QVPutFunction_(link, [&](QVLink* w) { RVPutFunction(w, head, count); }, {head, length, -1, ENCODING_ASCII},
                     count);
}

int RVPutUCS2Function(QVLink* link, const unsigned short* head, int length, int count) QV_NOEXCEPT {
  return QVPutFunction_(link, [&](QVLink* w) { RVPutUCS2Function(w, head, length, count); },
                     {head, length, head == nullptr ? 4 : length, ENCODING_UCS2}, count);
}

int RVPutUTF8Function(QVLink* link, const unsigned char* head, int length, int count) QV_NOEXCEPT {
  return QVPutFunction_(link, [&](QVLink* w) { RVPutUTF8Function(w, head, length, count); },
                     {head, length, 0, ENCODING_UTF8}, count);
}

int RVPutUTF16Function(QVLink* link, const unsigned short* head, int length, int count) QV_NOEXCEPT {
  return QVPutFunction_(link, [&](QVLink* w) { RVPutUTF16Function(w, head, length, count); },
                     {head, length, 0, ENCODING_UTF16}, count);
}

int RVPutUTF32Function(QVLink* link, const unsigned int* head, int length, int count) QV_NOEXCEPT {
  return QVPutFunction_(link, [&](QVLink* w) { RVPutUTF32Function(w, head, length, count); },
                     {head, length, 0, ENCODING_UTF32}, count);
}
