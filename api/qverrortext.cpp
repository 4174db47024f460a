#include "api/qverrortext.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "text/qvtextencoding.h"
#include "text/qvutf8string.h"

const char* QVErrorMessageText(qv_environment* environment, int64_t code) {
  if (environment == nullptr) return nullptr;
  if (const char* text = code2name(environment->errorMessages, code)) return text;
  std::snprintf(environment->errorText, sizeof environment->errorText, "Error %" PRId64, code);
  return environment->errorText;
}

void* QVEncodedErrorMessage(qv_environment* environment, int64_t code, int encoding, int* length) {
  const char* text = QVErrorMessageText(environment, code);
  if (text == nullptr) return nullptr;
  void* converted = nullptr;
  try {
    const auto string = Quorvane::QVUTF8String::initWithASCIIString(text);
    uint64_t bytes = 0;
    uint64_t unit = 2;
    switch (encoding) {
      case ENCODING_UCS2:
        bytes = string->numberOfBytesForUCS2Encoding();
        break;
      case ENCODING_UTF16:
        bytes = string->numberOfBytesForUTF16Encoding();
        break;
      case ENCODING_UTF32:
        bytes = string->numberOfBytesForUTF32Encoding();
        unit = 4;
        break;
      default:
        return nullptr;
    }
    if (bytes == 0) return nullptr;
    converted = Quorvane::QVObject::allocate(bytes);
    if (converted == nullptr) return nullptr;
    if (encoding == ENCODING_UCS2) {
      string->convertToUCS2Encoding(static_cast<unsigned short*>(converted), bytes);
    } else if (encoding == ENCODING_UTF16) {
      string->convertToUTF16Encoding(static_cast<unsigned short*>(converted), bytes);
    } else {
      string->convertToUTF32Encoding(static_cast<unsigned int*>(converted), bytes);
    }
    if (length != nullptr) *length = static_cast<int>(bytes / unit);
    return converted;
  } catch (...) {
    Quorvane::QVObject::deallocate(converted);
    return nullptr;
  }
}

void QVReleaseEncodedErrorMessage(void* text) { Quorvane::QVObject::deallocate(text); }

extern "C" const char* RVErrorString(RVEnvironment* environment, long code) noexcept {
  return QVErrorMessageText(environment, code);
}
