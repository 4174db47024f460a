// Public function gets, checks and head tests. Gets hand out the head (given
// back with the symbol releases) and the argument count; checks consume what
// they read; tests put the input back when the head or count differ.
#include <cstdint>

#include "api/qvcalldiscipline.h"
#include "api/qvheadcalls.h"
#include "api/qvsymbolgets.h"
#include "quorvane.h"

namespace {

template <class Read>
int GetHead(QVLink* link, int* count, Read&& read) noexcept {
  return qvcall::Get(link, [&](QVLink* k) {
    Quorvane::QVGetContainer container(k);
    long arguments = 0;
    const long code = read(&container, &arguments);
    if (count != nullptr) *count = static_cast<int>(arguments);
    return code;
  });
}

// A WithArgCount test wants the caller's positive count, else none at all.
long Expected(const int* count) { return count != nullptr && *count > 0 ? *count : 0; }

// A test of the head and count: the count read, or the expected count when
// the test failed before reading it, goes back to the caller.
template <class Compare>
int TestHead(QVLink* link, int* count, long expected, Compare&& compare) noexcept {
  long wanted = expected;
  const int result = qvheads::Test(link, [&](Quorvane::QVGetContainer* c) { return compare(c, &wanted); });
  if (count != nullptr) *count = static_cast<int>(wanted);
  return result;
}

template <class Unit, class Check>
int TestWideHead(QVLink* link, const Unit* head, int length, int* count, long expected, Check check) noexcept {
  return TestHead(link, count, expected,
                  [&](Quorvane::QVGetContainer* c, long* wanted) { return check(c, head, length, wanted); });
}

}  // namespace

int RVGetFunction(QVLink* link, const char** head, int* count) QV_NOEXCEPT {
  if (head != nullptr) *head = nullptr;
  return GetHead(link, count, [&](Quorvane::QVGetContainer* c, long* n) { return QVGetFunction_(c, head, n); });
}

int RVGetUCS2Function(QVLink* link, const unsigned short** head, int* length, int* count) QV_NOEXCEPT {
  if (head != nullptr) *head = nullptr;
  return GetHead(link, count,
                 [&](Quorvane::QVGetContainer* c, long* n) { return QVGetUCS2Function_(c, head, length, n); });
}

int RVGetUTF8Function(QVLink* link, const unsigned char** head, int* length, int* count) QV_NOEXCEPT {
  if (head != nullptr) *head = nullptr;
  return GetHead(link, count,
                 [&](Quorvane::QVGetContainer* c, long* n) { return QVGetUTF8Function_(c, head, length, n); });
}

int RVGetUTF16Function(QVLink* link, const unsigned short** head, int* length, int* count) QV_NOEXCEPT {
  if (head != nullptr) *head = nullptr;
  return GetHead(link, count,
                 [&](Quorvane::QVGetContainer* c, long* n) { return QVGetUTF16Function_(c, head, length, n); });
}

int RVGetUTF32Function(QVLink* link, const unsigned int** head, int* length, int* count) QV_NOEXCEPT {
  if (head != nullptr) *head = nullptr;
  return GetHead(link, count,
                 [&](Quorvane::QVGetContainer* c, long* n) { return QVGetUTF32Function_(c, head, length, n); });
}

int RVCheckFunction(QVLink* link, const char* head, long* count) QV_NOEXCEPT {
  long any = -1;
  long* wanted = count != nullptr ? count : &any;
  *wanted = -1;
  return RVCheckFunctionWithArgCount(link, head, wanted);
}

int RVCheckFunctionWithArgCount(QVLink* link, const char* head, long* count) QV_NOEXCEPT {
  long wanted = count != nullptr ? *count : 0;
  const int result = qvcall::Get(link, [&](QVLink* k) {
    Quorvane::QVGetContainer container(k);
    return QVCheckFunctionWithArgCount_(&container, head, &wanted);
  });
  if (count != nullptr) *count = wanted;
  return result;
}

int RVTestHead(QVLink* link, const char* head, int* count) QV_NOEXCEPT {
  return TestHead(link, count, -1,
                  [&](Quorvane::QVGetContainer* c, long* n) { return QVCheckFunctionWithArgCount_(c, head, n); });
}

int RVTestHeadWithArgCount(QVLink* link, const char* head, int* count) QV_NOEXCEPT {
  return TestHead(link, count, Expected(count),
                  [&](Quorvane::QVGetContainer* c, long* n) { return QVCheckFunctionWithArgCount_(c, head, n); });
}

int RVTestUCS2Head(QVLink* link, const unsigned short* head, int length, int* count) QV_NOEXCEPT {
  return TestWideHead(link, head, length, count, -1, QVCheckUCS2FunctionWithArgCount_);
}

int RVTestUTF8Head(QVLink* link, const unsigned char* head, int length, int* count) QV_NOEXCEPT {
  return TestWideHead(link, head, length, count, -1, QVCheckUTF8FunctionWithArgCount_);
}

int RVTestUTF16Head(QVLink* link, const unsigned short* head, int length, int* count) QV_NOEXCEPT {
  return TestWideHead(link, head, length, count, -1, QVCheckUTF16FunctionWithArgCount_);
}

int RVTestUTF32Head(QVLink* link, const unsigned int* head, int length, int* count) QV_NOEXCEPT {
  return TestWideHead(link, head, length, count, -1, QVCheckUTF32FunctionWithArgCount_);
}

int RVTestUCS2HeadWithArgCount(QVLink* link, const unsigned short* head, int length, int* count) QV_NOEXCEPT {
  return TestWideHead(link, head, length, count, Expected(count), QVCheckUCS2FunctionWithArgCount_);
}

int RVTestUTF8HeadWithArgCount(QVLink* link, const unsigned char* head, int length, int* count) QV_NOEXCEPT {
  return TestWideHead(link, head, length, count, Expected(count), QVCheckUTF8FunctionWithArgCount_);
}

int RVTestUTF16HeadWithArgCount(QVLink* link, const unsigned short* head, int length, int* count) QV_NOEXCEPT {
  return TestWideHead(link, head, length, count, Expected(count), QVCheckUTF16FunctionWithArgCount_);
}

int RVTestUTF32HeadWithArgCount(QVLink* link, const unsigned int* head, int length, int* count) QV_NOEXCEPT {
  return TestWideHead(link, head, length, count, Expected(count), QVCheckUTF32FunctionWithArgCount_);
}
