// Environment queries: versions, the compiler text, numerics, the environment
// id, link protocols and the environment's links.
#include "api/qvqueries.h"

#include <cstring>

#include "api/qvenvironment.h"
#include "api/qvlink.h"
#include "api/qvlinkglobals.h"
#include "text/qvutf8string.h"

namespace {

const char kCompilerId[] = "Quorvane C++20 13.0.0";

// A copy of the compiler text in units of T from the class-object
// allocator; the converter writes it and answers its length in units.
template <typename T, typename Size, typename Convert>
int CompilerCopy(const T** text, int* length, Size size, Convert convert) {
  if (text == nullptr || length == nullptr) return 0;
  try {
    const Quorvane::QVUTF8String source(kCompilerId);
    const uint64_t bytes = size(source);
    auto* copy = static_cast<T*>(Quorvane::QVObject::allocate(bytes + sizeof(T)));
    if (copy == nullptr) return 0;
    convert(source, copy, bytes);
    copy[bytes / sizeof(T)] = 0;
    *text = copy;
    *length = static_cast<int>(bytes / sizeof(T));
    return 1;
  } catch (...) {
    return 0;
  }
}

void FreeCopy(const void* text) {
  if (text != nullptr) Quorvane::QVObject::deallocate(const_cast<void*>(text));
}

}  // namespace

long RVNumericsQuery(qv_environment* environment, unsigned long selector, void* first, void* second,
                     long* count) noexcept {
  if (environment == nullptr || environment->ownFeatures.dispatch == nullptr) return -1;
  // The count goes in and out, so the dispatcher never reads an unset word.
  long word = count != nullptr ? *count : 0;
  const long answer = environment->ownFeatures.dispatch(selector, first, second, &word);
  if (count != nullptr) *count = word;
  return answer;
}

void RVVersionNumbers(qv_environment* environment, int* interfaceNumber, int* revision, int* build) noexcept {
  const bool known = environment != nullptr;
  if (interfaceNumber != nullptr) *interfaceNumber = known ? static_cast<int>(environment->interfaceVersion) : -1;
  if (revision != nullptr) *revision = known ? static_cast<int>(environment->revision) : -1;
  if (build != nullptr) *build = known ? kBuildNumber : -1;
}

void QVVersionNumber0(qv_environment* environment, long* interfaceNumber, long* revision) noexcept {
  const bool known = environment != nullptr;
  if (interfaceNumber != nullptr) *interfaceNumber = known ? static_cast<long>(environment->interfaceVersion) : -1;
  if (revision != nullptr) *revision = known ? static_cast<long>(environment->revision) : -1;
}

int RVCompilerID(qv_environment*, const char** text) noexcept {
  if (text == nullptr) return 0;
  *text = kCompilerId;
  return 1;
}

void RVReleaseCompilerID(qv_environment*, const char*) noexcept {}

int RVUTF8CompilerID(qv_environment*, const unsigned char** text, int* length) noexcept {
  return CompilerCopy<unsigned char>(
      text, length, [](const Quorvane::QVUTF8String& s) { return s.getLengthOfBytes(); },
      [](const Quorvane::QVUTF8String& s, unsigned char* out, uint64_t bytes) { std::memcpy(out, s.bytes(), bytes); });
}

int RVUCS2CompilerID(qv_environment*, const unsigned short** text, int* length) noexcept {
  return CompilerCopy<unsigned short>(
      text, length, [](const Quorvane::QVUTF8String& s) { return s.numberOfBytesForUCS2Encoding(); },
      [](const Quorvane::QVUTF8String& s, unsigned short* out, uint64_t bytes) { s.convertToUCS2Encoding(out, bytes); });
}

int RVUTF16CompilerID(qv_environment*, const unsigned short** text, int* length) noexcept {
  return CompilerCopy<unsigned short>(
      text, length, [](const Quorvane::QVUTF8String& s) { return s.numberOfBytesForUTF16Encoding(); },
      [](const Quorvane::QVUTF8String& s, unsigned short* out, uint64_t bytes) { s.convertToUTF16Encoding(out, bytes); });
}

int RVUTF32CompilerID(qv_environment*, const unsigned int** text, int* length) noexcept {
  return CompilerCopy<unsigned int>(
      text, length, [](const Quorvane::QVUTF8String& s) { return s.numberOfBytesForUTF32Encoding(); },
      [](const Quorvane::QVUTF8String& s, unsigned int* out, uint64_t bytes) { s.convertToUTF32Encoding(out, bytes); });
}

void RVReleaseUTF8CompilerID(qv_environment*, const unsigned char* text) noexcept { FreeCopy(text); }
void RVReleaseUCS2CompilerID(qv_environment*, const unsigned short* text) noexcept { FreeCopy(text); }
void RVReleaseUTF16CompilerID(qv_environment*, const unsigned short* text) noexcept { FreeCopy(text); }
void RVReleaseUTF32CompilerID(qv_environment*, const unsigned int* text) noexcept { FreeCopy(text); }

int RVSetEnvIDString(qv_environment* environment, const char* text) noexcept {
  if (environment == nullptr || text == nullptr) return 0;
  const size_t length = strnlen(text, kEnvironmentIdBuffer);
  if (length >= static_cast<size_t>(kEnvironmentIdBuffer)) return 0;
  std::memcpy(environment->environmentId, text, length + 1);
  return 1;
}

int QVSetEnvIDString0(qv_environment* environment, const char* text) noexcept {
  RVSetEnvIDString(environment, text);
  return 0;
}

void RVClose(QVLink* link) noexcept {
  long first = 0;
  long second = 0;
  QVDestroy(link, &first, &second);
}

int RVGetAvailableLinkProtocolNames(qv_environment* environment, char*** names, int* count) noexcept {
  if (environment == nullptr || names == nullptr || count == nullptr) return -1;
  *names = nullptr;
  *count = 0;
  try {
    const Quorvane::QVDeviceManager::NameList available =
        environment->deviceManager ? environment->deviceManager->availableDevices()
                                   : Quorvane::QVDeviceManager::NameList();
    auto** array = static_cast<char**>(Quorvane::QVObject::allocate((available.size() + 1) * sizeof(char*)));
    if (array == nullptr) return 8;
    for (size_t i = 0; i < available.size(); ++i) {
      array[i] = static_cast<char*>(Quorvane::QVObject::allocate(available[i].size() + 1));
      if (array[i] == nullptr) {
        RVReleaseLinkProtocolNames(environment, array, static_cast<int>(i));
        return 8;
      }
      std::memcpy(array[i], available[i].c_str(), available[i].size() + 1);
    }
    *names = array;
    *count = static_cast<int>(available.size());
    return 0;
  } catch (...) {
    return 8;
  }
}

void RVReleaseLinkProtocolNames(qv_environment*, char** names, int count) noexcept {
  if (names == nullptr) return;
  for (int i = 0; i < count; ++i) FreeCopy(names[i]);
  Quorvane::QVObject::deallocate(names);
}

int RVGetLinksFromEnvironment(qv_environment* environment, QVLink*** links, int* count) noexcept {
  if (links == nullptr || count == nullptr) return 0;
  *links = nullptr;
  *count = 0;
  try {
    const QVLinkList all = getLinksInEnvironment(environment);
    if (all.empty()) return 1;
    auto** array = static_cast<QVLink**>(Quorvane::QVObject::allocate(all.size() * sizeof(QVLink*)));
    if (array == nullptr) return 0;
    std::memcpy(array, all.data(), all.size() * sizeof(QVLink*));
    *links = array;
    *count = static_cast<int>(all.size());
    return 1;
  } catch (...) {
    return 0;
  }
}

void RVReleaseLinksFromEnvironment(qv_environment*, QVLink** links) noexcept { FreeCopy(links); }
