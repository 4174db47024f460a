// String tests and releases: whether the next atom is a given text (consumed
// only when it is; otherwise the input stays where it was), and the release
// of every text a string get hands out.
#include <cstring>

#include "api/qvatomreaders.h"
#include "api/qvcalldiscipline.h"
#include "api/qvcodecread.h"
#include "api/qvgetcontainer.h"
#include "api/qvlinkmark.h"
#include "api/qvstringtests.h"
#include "api/qvtokentypes.h"
#include "quorvane.h"
#include "text/qvstringdictionary.h"
#include "text/qvtextencoding.h"
#include "text/qvutf8string.h"

namespace {

using Quorvane::QVGetContainer;
using Quorvane::QVUTF8StringHandle;

constexpr long kInconsistent = 2;
constexpr long kMismatch = 3;

// The string make() makes, or an empty one when the text is no valid text of
// its encoding (it then matches nothing).
template <class Make>
QVUTF8StringHandle Guarded(Make&& make) noexcept {
  try {
    return make();
  } catch (...) {
    return {};
  }
}

// A text as a string to compare, by encoding; empty when there is none.
QVUTF8StringHandle Expected(const void* text, int64_t bytes, unsigned encoding) {
  if (text == nullptr) return {};
  const auto length = static_cast<uint64_t>(bytes < 0 ? 0 : bytes);
  switch (encoding) {
    case ENCODING_ASCII: return Quorvane::QVUTF8String::initWithASCIIString(static_cast<const char*>(text));
    case ENCODING_UCS2:
      return Quorvane::QVUTF8String::initWithUCS2String(static_cast<const unsigned short*>(text), length / 2);
    case ENCODING_UTF8: return Quorvane::QVUTF8String::initWithUTF8String(static_cast<const unsigned char*>(text), length);
    case ENCODING_UTF16:
      return Quorvane::QVUTF8String::initWithUTF16String(static_cast<const unsigned short*>(text), length / 2);
    case ENCODING_UTF32:
      return Quorvane::QVUTF8String::initWithUTF32String(static_cast<const unsigned int*>(text), length / 4);
    default: return {};
  }
}

// The text of a dictionary-coded string; codes are not stored.
long DictionaryText(QVGetContainer& c, QVUTF8StringHandle* read) {
  int64_t arguments = 0;
  if (const long error = QVGetArgCount_(c.readState, c.deviceStack, c.queueStack, &arguments); error != 0) {
    return error;
  }
  if (arguments != 1) return kInconsistent;
  uint16_t code = 0;
  if (const long error = QVGetBinaryNumber_(c.readState, c.deviceStack, c.queueStack, &code, BINARY_INTEGER16);
      error != 0) {
    return error;
  }
  if (!c.stringDictionary || !c.stringDictionary->hasKey(code)) return kInconsistent;
  *read = c.stringDictionary->getStringForNumber(code);
  return 0;
}

// The current atom read whole in the encoding and turned into a string; the
// atom block is given back either way.
long AtomText(QVGetContainer& c, unsigned encoding, QVUTF8StringHandle* read) {
  void* text = nullptr;
  int64_t bytes = 0;
  int64_t characters = 0;
  const long error =
      qvatom::ReadAtom(c.pool, c.readState, c.deviceStack, c.queueStack, encoding, 0, &text, &bytes, &characters);
  qvatom::Block owner(c.pool);
  owner.Adopt(text);
  if (error != 0) return error;
  // Escaped text is compared byte for byte, as it stands.
  *read = Guarded([&] {
    return encoding == ENCODING_ASCII
               ? Quorvane::QVUTF8String::initWithASCIIString(static_cast<const char*>(text),
                                                              static_cast<uint64_t>(bytes))
               : Expected(text, bytes, encoding);
  });
  return 0;
}

}  // namespace

long QVTestStringData_(QVGetContainer* c, const void* text, int64_t bytes, unsigned encoding) {
  const QVUTF8StringHandle expected = Guarded([&] { return Expected(text, bytes, encoding); });
  uint64_t raw = 0;
  if (const long error = QVGetRawType_(c->readState, c->deviceStack, c->queueStack, &raw); error != 0) return error;
  QVUTF8StringHandle read;
  if (raw == TOK_OPT_STRING) {
    if (const long error = DictionaryText(*c, &read); error != 0) return error;
  } else if (const long error = AtomText(*c, encoding, &read); error != 0) {
    return error;
  }
  if (expected && read && *expected == *read) return 0;
  return rs__set_error(c->readState, kMismatch);
}

namespace {

// The link's mark for the length of one test, given back on every path.
class TestMark {
 public:
  explicit TestMark(QVLink* link) : link_(link), mark_(RVCreateMark(link)) {}
  ~TestMark() { RVDestroyMark(link_, mark_); }
  TestMark(const TestMark&) = delete;
  TestMark& operator=(const TestMark&) = delete;
  bool held() const { return mark_ != nullptr; }
  void Rewind() { RVSeekMark(link_, mark_, 0); }

 private:
  QVLink* link_;
  QVLinkMark* mark_;
};

int TestString(QVLink* link, const void* text, int64_t bytes, unsigned encoding) {
  return qvcall::Get(link, [&](QVLink* k) -> long {
    TestMark mark(k);
    if (!mark.held()) return -1;
    QVGetContainer container(k);
    // Whatever ends the comparison, the input goes back.
    const long error =
        qvcall::RunCodec(k, [&](QVLink*) { return QVTestStringData_(&container, text, bytes, encoding); });
    if (error != 0) mark.Rewind();
    return error;
  });
}

void Release(QVLink* link, const void* text) {
  if (link == nullptr || text == nullptr) return;
  QVLinkLockGuard guard(link);
  DeallocAtom(&link->globals->pool, const_cast<void*>(text), nullptr);
}

}  // namespace

int RVTestString(QVLink* link, const char* text) QV_NOEXCEPT {
  return TestString(link, text, text == nullptr ? 0 : static_cast<int64_t>(std::strlen(text)), ENCODING_ASCII);
}
int RVTestUCS2String(QVLink* link, const unsigned short* text, int length) QV_NOEXCEPT {
  return TestString(link, text, int64_t{length} * 2, ENCODING_UCS2);
}
int RVTestUTF8String(QVLink* link, const unsigned char* text, int length) QV_NOEXCEPT {
  return TestString(link, text, length, ENCODING_UTF8);
}
int RVTestUTF16String(QVLink* link, const unsigned short* text, int length) QV_NOEXCEPT {
  return TestString(link, text, int64_t{length} * 2, ENCODING_UTF16);
}
int RVTestUTF32String(QVLink* link, const unsigned int* text, int length) QV_NOEXCEPT {
  return TestString(link, text, int64_t{length} * 4, ENCODING_UTF32);
}

void RVReleaseString(QVLink* link, const char* text) QV_NOEXCEPT { Release(link, text); }
void RVReleaseByteString(QVLink* link, const unsigned char* text) QV_NOEXCEPT { Release(link, text); }
void RVReleaseUCS2String(QVLink* link, const unsigned short* text) QV_NOEXCEPT { Release(link, text); }
void RVReleaseUTF8String(QVLink* link, const unsigned char* text) QV_NOEXCEPT { Release(link, text); }
void RVReleaseUTF16String(QVLink* link, const unsigned short* text) QV_NOEXCEPT { Release(link, text); }
void RVReleaseUTF32String(QVLink* link, const unsigned int* text) QV_NOEXCEPT { Release(link, text); }
