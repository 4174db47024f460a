// Comparing the next expression with an expected function head (and count)
// or an expected symbol. Names are compared after the link's replacement for
// reading, as a get would have delivered them.
#include <cstdint>
#include <cstring>

#include "api/qvcodecread.h"
#include "api/qvheadcalls.h"
#include "api/qvsymbolgets.h"
#include "api/qvtokentypes.h"
#include "text/qvtextencoding.h"
#include "text/qvutf8string.h"

namespace {

constexpr long kInconsistent = 2;
constexpr long kOutOfSequence = 3;
constexpr long kUnknownSymbol = 53;

using Quorvane::QVGetContainer;
using Quorvane::QVUTF8String;
using Quorvane::QVUTF8StringHandle;

// Text of the encoding as a string to compare; length in bytes. Empty for
// text the converters refuse.
QVUTF8StringHandle AsString(const void* text, int64_t bytes, long encoding) {
  if (text == nullptr || bytes <= 0) return QVUTF8StringHandle(new QVUTF8String());
  const auto n = static_cast<uint64_t>(bytes);
  try {
    switch (encoding) {
      case ENCODING_ASCII:
      case ENCODING_BYTES: return QVUTF8StringHandle(new QVUTF8String(static_cast<const char*>(text), n));
      case ENCODING_UCS2:
        return QVUTF8StringHandle(new QVUTF8String(static_cast<const unsigned short*>(text), n / 2, QVUTF8String::UCS2));
      case ENCODING_UTF8: return QVUTF8StringHandle(new QVUTF8String(static_cast<const unsigned char*>(text), n));
      case ENCODING_UTF16:
        return QVUTF8StringHandle(
            new QVUTF8String(static_cast<const unsigned short*>(text), n / 2, QVUTF8String::UTF16));
      case ENCODING_UTF32: return QVUTF8StringHandle(new QVUTF8String(static_cast<const unsigned int*>(text), n / 4));
      default: return {};
    }
  } catch (...) {
    return {};
  }
}

bool Equal(const QVUTF8StringHandle& a, const QVUTF8StringHandle& b) { return a && b && *a == *b; }

// The function token and its count against the expected count (any when
// negative); the count read goes back through count.
long ReadCountedFunction(QVGetContainer* container, long* count) {
  const long expected = count != nullptr ? *count : 0;
  int64_t arguments = 0;
  if (const long error = qvsymbolread::ReadFunctionToken(container, &arguments); error != 0) return error;
  if (count != nullptr) *count = static_cast<long>(arguments);
  if (expected >= 0 && expected != arguments) return rs__set_error(container->readState, kOutOfSequence);
  return 0;
}

// The head in a Unicode encoding against the given head (any when null).
long CheckWideHead(QVGetContainer* container, const void* head, int length, long* count, unsigned encoding) {
  if (const long error = ReadCountedFunction(container, count); error != 0) return error;
  read_state* state = container->readState;
  uint64_t type = 0;
  if (const long error = QVGetRawType_(state, container->deviceStack, container->queueStack, &type); error != 0) {
    return error;
  }
  const int64_t unit = encoding == ENCODING_UTF8 ? 1 : encoding == ENCODING_UTF32 ? 4 : 2;
  if (type == TOK_OPT_SYMBOL) {
    // The dictionary's name is compared as it is, without replacement.
    QVUTF8StringHandle name;
    if (const long error = qvsymbolread::ReadDictionaryName(container, kUnknownSymbol, &name); error != 0) {
      return error;
    }
    if (head == nullptr || Equal(name, AsString(head, int64_t{length} * unit, encoding))) return 0;
    return rs__set_error(state, kOutOfSequence);
  }
  void* read = nullptr;
  int64_t bytes = 0;
  int64_t characters = 0;
  const long error = qvsymbolread::ReadSymbol(container, encoding, &read, &bytes, &characters, '?',
                                              {kUnknownSymbol, kInconsistent});
  if (error != 0) return error;
  const bool match = head == nullptr || Equal(AsString(read, bytes, encoding),
                                              AsString(head, int64_t{length} * unit, encoding));
  qvsymbolread::FreeAtom(container, read);
  return match ? 0 : rs__set_error(state, kOutOfSequence);
}

}  // namespace

long QVCheckFunctionWithArgCount_(QVGetContainer* container, const char* head, long* count) {
  if (const long error = ReadCountedFunction(container, count); error != 0) return error;
  void* read = nullptr;
  int64_t bytes = 0;
  int64_t characters = 0;
  const long error = qvsymbolread::ReadSymbol(container, ENCODING_ASCII, &read, &bytes, &characters, '?',
                                              {kUnknownSymbol, kInconsistent});
  if (error != 0) return error;
  const bool match = head == nullptr || (static_cast<size_t>(bytes) == std::strlen(head) &&
                                         std::memcmp(read, head, static_cast<size_t>(bytes)) == 0);
  qvsymbolread::FreeAtom(container, read);
  return match ? 0 : rs__set_error(container->readState, kOutOfSequence);
}

long QVCheckUCS2FunctionWithArgCount_(QVGetContainer* container, const unsigned short* head, int length,
                                      long* count) {
  return CheckWideHead(container, head, length, count, ENCODING_UCS2);
}

long QVCheckUTF8FunctionWithArgCount_(QVGetContainer* container, const unsigned char* head, int length,
                                      long* count) {
  return CheckWideHead(container, head, length, count, ENCODING_UTF8);
}

long QVCheckUTF16FunctionWithArgCount_(QVGetContainer* container, const unsigned short* head, int length,
                                       long* count) {
  return CheckWideHead(container, head, length, count, ENCODING_UTF16);
}

long QVCheckUTF32FunctionWithArgCount_(QVGetContainer* container, const unsigned int* head, int length,
                                       long* count) {
  return CheckWideHead(container, head, length, count, ENCODING_UTF32);
}

long QVCheckFunction_(QVLink* link, const char* head, long* count) {
  if (link == nullptr) return -1;
  long any = -1;
  long* wanted = count != nullptr ? count : &any;
  *wanted = -1;
  try {
    QVGetContainer container(link);
    return QVCheckFunctionWithArgCount_(&container, head, wanted);
  } catch (...) {
    return -1;
  }
}

long QVTestSymbolData_(QVGetContainer* container, const void* name, int length, long encoding) {
  read_state* state = container->readState;
  const QVUTF8StringHandle given = AsString(name, length, encoding);
  uint64_t type = 0;
  if (const long error = QVGetRawType_(state, container->deviceStack, container->queueStack, &type); error != 0) {
    return error;
  }
  QVUTF8StringHandle read;
  if (type == TOK_OPT_SYMBOL) {
    // The dictionary form is compared in UTF-8, after replacement.
    QVUTF8StringHandle entry;
    if (const long error = qvsymbolread::ReadDictionaryName(container, kInconsistent, &entry); error != 0) {
      return error;
    }
    void* text = nullptr;
    int64_t bytes = 0;
    int64_t characters = 0;
    const long error = qvsymbolread::NameFromDictionary(container, *entry, ENCODING_UTF8, kInconsistent, &text, &bytes,
                                                          &characters);
    if (error != 0) return error;
    read = AsString(text, bytes, ENCODING_UTF8);
    qvsymbolread::FreeAtom(container, text);
  } else if (type == TOK_SYMBOL || type == TOK_OLD_SYMBOL) {
    void* text = nullptr;
    int64_t bytes = 0;
    int64_t characters = 0;
    const auto unsigned_encoding = static_cast<unsigned>(encoding);
    const long error = qvsymbolread::ReadSymbol(container, unsigned_encoding, &text, &bytes, &characters, '?',
                                                {kInconsistent, kInconsistent});
    if (error != 0) return error;
    read = AsString(text, bytes, encoding);
    qvsymbolread::FreeAtom(container, text);
  } else {
    return rs__set_error(state, kOutOfSequence);
  }
  return Equal(read, given) ? 0 : rs__set_error(state, kOutOfSequence);
}
