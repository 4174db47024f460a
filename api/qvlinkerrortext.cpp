// The text of a link's error code in each encoding the typed calls offer. The
// plain and UTF-8 forms are the environment's own text; the wide forms are
// copies the caller gives back.
#include <cstring>

#include "api/qverrortext.h"
#include "api/qvlink.h"
#include "text/qvtextencoding.h"

namespace {

template <class Unit>
const Unit* EncodedMessage(QVLink* link, int encoding, int* length) {
  if (link == nullptr) return nullptr;
  return static_cast<const Unit*>(QVEncodedErrorMessage(link->environment(), RVError(link), encoding, length));
}

void ReleaseEncoded(const void* text) { QVReleaseEncodedErrorMessage(const_cast<void*>(text)); }

}  // namespace

const char* RVErrorMessage(QVLink* link) noexcept {
  if (link == nullptr) return nullptr;
  return QVErrorMessageText(link->environment(), RVError(link));
}

const unsigned char* RVUTF8ErrorMessage(QVLink* link, int* length) noexcept {
  const char* text = RVErrorMessage(link);
  if (text == nullptr) return nullptr;
  if (length != nullptr) *length = static_cast<int>(std::strlen(text));
  return reinterpret_cast<const unsigned char*>(text);
}

const unsigned short* RVUCS2ErrorMessage(QVLink* link, int* length) noexcept {
  return EncodedMessage<unsigned short>(link, ENCODING_UCS2, length);
}

const unsigned short* RVUTF16ErrorMessage(QVLink* link, int* length) noexcept {
  return EncodedMessage<unsigned short>(link, ENCODING_UTF16, length);
}

const unsigned int* RVUTF32ErrorMessage(QVLink* link, int* length) noexcept {
  return EncodedMessage<unsigned int>(link, ENCODING_UTF32, length);
}

void RVReleaseErrorMessage(QVLink*, const char*) noexcept {}
void RVReleaseUTF8ErrorMessage(QVLink*, const unsigned char*) noexcept {}
void RVReleaseUCS2ErrorMessage(QVLink*, const unsigned short* text) noexcept { ReleaseEncoded(text); }
void RVReleaseUTF16ErrorMessage(QVLink*, const unsigned short* text) noexcept { ReleaseEncoded(text); }
void RVReleaseUTF32ErrorMessage(QVLink*, const unsigned int* text) noexcept { ReleaseEncoded(text); }
