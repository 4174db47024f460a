// Public symbol gets, tests and releases. A get hands the caller a name in an
// atom of the link's pool, which the matching release gives back; its counts
// are written whatever the outcome. A test that does not match leaves its
// code on the link and the input where it was.
#include <cstdint>
#include <cstring>

#include "api/qvcalldiscipline.h"
#include "api/qvheadcalls.h"
#include "api/qvsymbolgets.h"
#include "quorvane.h"
#include "text/qvtextencoding.h"

namespace {

// One symbol get: the reader runs with local counts under the lock; the
// caller's counts are written afterwards, also after a failure. The name is
// null unless the get succeeds, a call the discipline refuses included.
template <class Unit, class Read>
int GetSymbol(QVLink* link, const Unit** name, Read&& read) noexcept {
  if (name != nullptr) *name = nullptr;
  return qvcall::Get(link, [&](QVLink* k) {
    Quorvane::QVGetContainer container(k);
    return read(&container);
  });
}

void Narrow(int* out, long value) {
  if (out != nullptr) *out = static_cast<int>(value);
}

void Release(QVLink* link, const void* name) noexcept {
  if (link == nullptr || name == nullptr) return;
  QVLinkLockGuard guard(link);
  DeallocAtom(&link->globals->pool, const_cast<void*>(name), nullptr);
}

template <class Unit>
int TestSymbol(QVLink* link, const Unit* name, int64_t bytes, long encoding) noexcept {
  return qvheads::Test(link, [&](Quorvane::QVGetContainer* container) {
    return QVTestSymbolData_(container, name, static_cast<int>(bytes), encoding);
  });
}

}  // namespace

int RVGetSymbol(QVLink* link, const char** name) QV_NOEXCEPT {
  return GetSymbol(link, name, [&](Quorvane::QVGetContainer* c) {
    long length = 0;
    return QVGet7BitSymbol_(c, name, &length);
  });
}

int RVGetByteSymbol(QVLink* link, const unsigned char** name, int* length, long missing) QV_NOEXCEPT {
  long bytes = 0;
  long characters = 0;
  const int result = GetSymbol(link, name, [&](Quorvane::QVGetContainer* c) {
    return QVGet8BitSymbol_(c, name, &bytes, &characters, missing);
  });
  Narrow(length, bytes);
  return result;
}

int RVGetUCS2Symbol(QVLink* link, const unsigned short** name, int* length) QV_NOEXCEPT {
  long bytes = 0;
  long characters = 0;
  const int result = GetSymbol(link, name, [&](Quorvane::QVGetContainer* c) {
    return QVGetUCS2Symbol_(c, name, &bytes, &characters);
  });
  Narrow(length, characters);
  return result;
}

int RVGetUTF8Symbol(QVLink* link, const unsigned char** name, int* bytes, int* characters) QV_NOEXCEPT {
  long b = 0;
  long c = 0;
  const int result =
      GetSymbol(link, name, [&](Quorvane::QVGetContainer* k) { return QVGetUTF8Symbol_(k, name, &b, &c); });
  Narrow(bytes, b);
  Narrow(characters, c);
  return result;
}

int RVGetUTF16Symbol(QVLink* link, const unsigned short** name, int* units, int* characters) QV_NOEXCEPT {
  long b = 0;
  long c = 0;
  const int result =
      GetSymbol(link, name, [&](Quorvane::QVGetContainer* k) { return QVGetUTF16Symbol_(k, name, &b, &c); });
  Narrow(units, b / 2);
  Narrow(characters, c);
  return result;
}

int RVGetUTF32Symbol(QVLink* link, const unsigned int** name, int* length) QV_NOEXCEPT {
  long b = 0;
  long c = 0;
  const int result =
      GetSymbol(link, name, [&](Quorvane::QVGetContainer* k) { return QVGetUTF32Symbol_(k, name, &b, &c); });
  Narrow(length, b / 4);
  return result;
}

void RVReleaseSymbol(QVLink* link, const char* name) QV_NOEXCEPT { Release(link, name); }
void RVReleaseByteSymbol(QVLink* link, const unsigned char* name) QV_NOEXCEPT { Release(link, name); }
void RVReleaseUCS2Symbol(QVLink* link, const unsigned short* name) QV_NOEXCEPT { Release(link, name); }
void RVReleaseUTF8Symbol(QVLink* link, const unsigned char* name, int /*bytes*/) QV_NOEXCEPT { Release(link, name); }
void RVReleaseUTF16Symbol(QVLink* link, const unsigned short* name) QV_NOEXCEPT { Release(link, name); }
void RVReleaseUTF32Symbol(QVLink* link, const unsigned int* name) QV_NOEXCEPT { Release(link, name); }

int RVTestSymbol(QVLink* link, const char* name) QV_NOEXCEPT {
  return TestSymbol(link, name, name != nullptr ? static_cast<int64_t>(std::strlen(name)) : 0, ENCODING_ASCII);
}

int RVTestUCS2Symbol(QVLink* link, const unsigned short* name, int length) QV_NOEXCEPT {
  return TestSymbol(link, name, int64_t{2} * length, ENCODING_UCS2);
}

int RVTestUTF8Symbol(QVLink* link, const unsigned char* name, int length) QV_NOEXCEPT {
  return TestSymbol(link, name, length, ENCODING_UTF8);
}

int RVTestUTF16Symbol(QVLink* link, const unsigned short* name, int length) QV_NOEXCEPT {
  return TestSymbol(link, name, int64_t{2} * length, ENCODING_UTF16);
}

int RVTestUTF32Symbol(QVLink* link, const unsigned int* name, int length) QV_NOEXCEPT {
  return TestSymbol(link, name, int64_t{4} * length, ENCODING_UTF32);
}
