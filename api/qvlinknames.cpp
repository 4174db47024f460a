// A link's number, name, user data, the environment it belongs to and the
// peer's environment id.
#include <algorithm>
#include <cstring>

#include "api/qvenvironment.h"
#include "api/qvlink.h"

namespace {

// The name widened to units of T with a terminating zero, from the
// class-object allocator; null with length 0 for a missing name, a byte that
// is not ASCII, or no memory.
template <typename T>
const T* WideName(QVLink* link, int* length) {
  if (length != nullptr) *length = 0;
  if (link == nullptr) return nullptr;
  QVLinkLockGuard guard(link);
  const char* name = link->nameRecord != nullptr ? link->nameRecord->name : nullptr;
  if (name == nullptr) return nullptr;
  const size_t count = std::strlen(name);
  for (size_t i = 0; i < count; ++i) {
    if (static_cast<unsigned char>(name[i]) > 127) return nullptr;
  }
  auto* units = static_cast<T*>(Quorvane::QVObject::allocate((count + 1) * sizeof(T)));
  if (units == nullptr) return nullptr;
  for (size_t i = 0; i < count; ++i) units[i] = static_cast<unsigned char>(name[i]);
  units[count] = 0;
  if (length != nullptr) *length = static_cast<int>(count);
  return units;
}

void FreeWide(const void* units) {
  if (units != nullptr) Quorvane::QVObject::deallocate(const_cast<void*>(units));
}

}  // namespace

const char* RVSetName(QVLink* link, const char* name) noexcept {
  if (link == nullptr) return nullptr;
  QVLinkLockGuard guard(link);
  qvlink_name_record* record = link->nameRecord;
  if (record == nullptr) return nullptr;
  char* copy = nullptr;
  if (name != nullptr) {
    const size_t size = std::strlen(name) + 1;
    copy = static_cast<char*>(GeneralAlloc(&link->globals->pool, size, nullptr));
    if (copy == nullptr) return nullptr;
    std::memcpy(copy, name, size);
  }
  GeneralDealloc(&link->globals->pool, record->name, nullptr);
  record->name = copy;
  return copy;
}

const char* RVName(QVLink* link) noexcept {
  if (link == nullptr) return nullptr;
  QVLinkLockGuard guard(link);
  return link->nameRecord != nullptr ? link->nameRecord->name : nullptr;
}

const char* RVLinkName(QVLink* link) noexcept { return RVName(link); }

const unsigned char* RVUTF8LinkName(QVLink* link, int* length) noexcept {
  const char* name = RVName(link);
  if (length != nullptr) *length = name != nullptr ? static_cast<int>(std::strlen(name)) : 0;
  return reinterpret_cast<const unsigned char*>(name);
}

const unsigned short* RVUCS2LinkName(QVLink* link, int* length) noexcept {
  return WideName<unsigned short>(link, length);
}

const unsigned short* RVUTF16LinkName(QVLink* link, int* length) noexcept {
  return WideName<unsigned short>(link, length);
}

const unsigned int* RVUTF32LinkName(QVLink* link, int* length) noexcept {
  return WideName<unsigned int>(link, length);
}

void RVReleaseLinkName(QVLink*, const char*) noexcept {}
void RVReleaseUTF8LinkName(QVLink*, const unsigned char*) noexcept {}
void RVReleaseUCS2LinkName(QVLink*, const unsigned short* name) noexcept { FreeWide(name); }
void RVReleaseUTF16LinkName(QVLink*, const unsigned short* name) noexcept { FreeWide(name); }
void RVReleaseUTF32LinkName(QVLink*, const unsigned int* name) noexcept { FreeWide(name); }

int64_t RVNumber(QVLink* link) noexcept {
  if (link == nullptr) return 0;
  QVLinkLockGuard guard(link);
  return link->nameRecord != nullptr ? link->nameRecord->number : 0;
}

int64_t RVToLinkID(QVLink* link) noexcept { return RVNumber(link); }

QVLink* RVFromLinkID(qv_environment* environment, int64_t number) noexcept {
  if (environment == nullptr || environment->globals == nullptr) return nullptr;
  return environment->globals->findLink(number);
}

RVEnvironment* RVLinkEnvironment(QVLink* link) noexcept { return link != nullptr ? link->environment() : nullptr; }

QVLink_globals* RLinkEnvironment(QVLink* link) noexcept { return link != nullptr ? link->globals : nullptr; }

void RVSetUserData(QVLink* link, void* data, qvlink_user_function function) noexcept {
  if (link == nullptr) return;
  QVLinkLockGuard guard(link);
  if (link->nameRecord == nullptr) return;
  link->nameRecord->user_data = data;
  link->nameRecord->user_function = function;
}

void* RVUserData(QVLink* link, qvlink_user_function* function) noexcept {
  if (function != nullptr) *function = nullptr;
  if (link == nullptr) return nullptr;
  QVLinkLockGuard guard(link);
  if (link->nameRecord == nullptr) return nullptr;
  if (function != nullptr) *function = link->nameRecord->user_function;
  return link->nameRecord->user_data;
}

qvlink_user_function RVUserCast(qvlink_user_function function) noexcept { return function; }

void RVSetUserBlock(QVLink* link, void* block) noexcept {
  if (link == nullptr) return;
  QVLinkLockGuard guard(link);
  link->userBlock = block;
}

void* RVUserBlock(QVLink* link) noexcept {
  if (link == nullptr) return nullptr;
  QVLinkLockGuard guard(link);
  return link->userBlock;
}

void QVSetLinkedEnvID(QVLink* link, const char* text, size_t length) noexcept {
  if (link == nullptr) return;
  QVLinkLockGuard guard(link);
  try {
    link->peerEnvironmentId.assign(text != nullptr ? text : "", text != nullptr ? std::min(length, kPeerEnvIdLimit) : 0);
  } catch (...) {
    link->peerEnvironmentId.clear();
  }
}

int RVGetLinkedEnvIDString(QVLink* link, const char** text) noexcept {
  if (link == nullptr || text == nullptr) return 0;
  QVLinkLockGuard guard(link);
  *text = nullptr;
  const Quorvane::QVString& id = link->peerEnvironmentId;
  if (id.empty()) return 1;
  auto* copy = static_cast<char*>(GeneralAlloc(&link->globals->pool, id.size() + 1, nullptr));
  if (copy == nullptr) {
    link->error = 8;
    return 0;
  }
  std::memcpy(copy, id.c_str(), id.size() + 1);
  *text = copy;
  return 1;
}

void RVReleaseEnvIDString(QVLink* link, const char* text) noexcept {
  if (link == nullptr || text == nullptr) return;
  GeneralDealloc(&link->globals->pool, const_cast<char*>(text), nullptr);
}

int QVGetLinkedEnvIDString0(QVLink* link, char* buffer) noexcept {
  if (link == nullptr || buffer == nullptr) return -1;
  QVLinkLockGuard guard(link);
  const Quorvane::QVString& id = link->peerEnvironmentId;
  if (id.empty()) return -1;
  std::memcpy(buffer, id.c_str(), id.size() + 1);
  return 0;
}
