// The immutable string value of the object-oriented layers: UTF-8 bytes with
// their byte length and number of characters, made from text in any encoding
// and converted back on request.
#pragma once

#include <cstdint>
#include <ostream>

#include "utilities/qvobject.h"
#include "utilities/qvsmartpointer.h"

namespace Quorvane {

class QVUTF8String : public QVObject {
 public:
  // How 16-bit input is read.
  enum sixteenBitSelector : int { UCS2 = 0, UTF16 = 1 };

  // A null source or a zero length gives an empty string in every form.
  QVUTF8String() = default;
  // Zero-terminated 8-bit text, copied unchecked: one character per byte.
  explicit QVUTF8String(const char* ascii);
  QVUTF8String(const char* ascii, uint64_t length);
  // UTF-8 bytes, copied; their characters are counted.
  QVUTF8String(const unsigned char* utf8, uint64_t length);
  // UCS-2 (selector UCS2, this machine's order) or UTF-16 (selector UTF16: a
  // leading mark sets the byte order and is dropped; without one the units are
  // read byte-swapped). Length in 16-bit units.
  QVUTF8String(const unsigned short* units, uint64_t length, sixteenBitSelector selector);
  // UTF-32 with the same mark rule as UTF-16. Length in 32-bit units.
  QVUTF8String(const unsigned int* units, uint64_t length);

  QVUTF8String(const QVUTF8String& other);
  QVUTF8String& operator=(const QVUTF8String& other);
  ~QVUTF8String() override;

  static QVSmartPointer<QVUTF8String> init();
  static QVSmartPointer<QVUTF8String> initWithASCIIString(const char* ascii);
  static QVSmartPointer<QVUTF8String> initWithASCIIString(const char* ascii, uint64_t length);
  static QVSmartPointer<QVUTF8String> initWithUTF8String(const unsigned char* utf8, uint64_t length);
  static QVSmartPointer<QVUTF8String> initWithUCS2String(const unsigned short* units, uint64_t length);
  static QVSmartPointer<QVUTF8String> initWithUTF16String(const unsigned short* units, uint64_t length);
  static QVSmartPointer<QVUTF8String> initWithUTF32String(const unsigned int* units, uint64_t length);

  const unsigned char* bytes() const { return theBytes; }
  uint64_t getLengthOfBytes() const { return lengthOfBytes; }
  uint64_t getNumberOfCharacters() const { return numberOfCharacters; }

  // Sizes of the other forms in bytes; 0 for an empty string. UTF-16 and UTF-32
  // include the leading mark that the conversions write.
  uint64_t numberOfBytesForUCS2Encoding() const;
  uint64_t numberOfBytesForUTF16Encoding() const;
  uint64_t numberOfBytesForUTF32Encoding() const;

  // Whether every character converts without loss; false for an empty string.
  bool willEncodeInASCIIEncoding() const;
  bool willEncodeInByteEncoding() const;
  bool willEncodeInUCS2Encoding() const;

  // Write the other forms into a buffer of size bytes (sized with the
  // numberOfBytesFor... queries); return the conversion's positive result and
  // throw when it fails, also when the buffer is too small.
  int convertToUCS2Encoding(unsigned short* buffer, uint64_t size) const;
  int convertToUTF16Encoding(unsigned short* buffer, uint64_t size) const;
  int convertToUTF32Encoding(unsigned int* buffer, uint64_t size) const;
  // Copies the bytes; size must equal the byte length exactly.
  void convertToASCIIEncoding(char* buffer, uint64_t size) const;
  QVString convertToSTLString() const;

  bool operator==(const QVUTF8String& other) const;
  bool operator!=(const QVUTF8String& other) const { return !(*this == other); }
  // Shorter byte length first; equal lengths by their bytes, unsigned.
  bool operator<(const QVUTF8String& other) const;

  void print(std::ostream& os) const;

 private:
  void adoptCopy(const unsigned char* bytes, uint64_t length);

  unsigned char* theBytes = nullptr;  // exactly lengthOfBytes long, no terminating zero
  uint64_t lengthOfBytes = 0;
  uint64_t numberOfCharacters = 0;
};

// Compares the strings the handles hold; an empty handle orders before any string.
bool operator<(const QVSmartPointer<QVUTF8String>& a, const QVSmartPointer<QVUTF8String>& b);

std::ostream& operator<<(std::ostream& os, const QVUTF8String& s);

}  // namespace Quorvane
