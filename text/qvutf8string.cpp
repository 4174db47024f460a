#include "text/qvutf8string.h"

#include <cstring>
#include <memory>

#include "text/qvunicode.h"
#include "utilities/qvexception.h"

namespace Quorvane {

namespace {

constexpr char kSourceFile[] = "text/qvutf8string";

[[noreturn]] void Fail(const char* message, unsigned int line,
                       qvexceptiontype type = qvexceptiontype::internalError) {
  throw QVException(message, kSourceFile, line, type, 0);
}

// The array is handed to the string only once it is complete, so a throw on
// the way leaves nothing behind.
using ByteArray = std::unique_ptr<unsigned char[]>;

int64_t Signed(uint64_t length) {
  // Lengths beyond the signed range cannot be held in memory; refuse them
  // before the primitives see a negative length.
  if (length > static_cast<uint64_t>(INT64_MAX / 4)) {
    throw QVException("length argument contains invalid value.", kSourceFile, __LINE__,
                      qvexceptiontype::badArgument, 0);
  }
  return static_cast<int64_t>(length);
}

// The messages of one constructor's three steps.
struct Steps {
  const char* size;
  const char* convert;
  const char* count;
};

// Sizes the UTF-8 form with size_of, converts into an array of exactly that
// size with convert, counts the characters of the result, and hands all three
// over only when every step succeeded.
template <typename SizeOf, typename Convert>
void ToUTF8(SizeOf size_of, Convert convert, const Steps& steps, unsigned char** bytes, uint64_t* length,
            uint64_t* characters) {
  int64_t size = 0;
  if (size_of(&size) != 1) Fail(steps.size, __LINE__);
  ByteArray array(new unsigned char[static_cast<size_t>(size)]);
  if (convert(array.get(), size) != 1) Fail(steps.convert, __LINE__);
  int64_t count = 0;
  if (QVCountUnicodePointsInUTF8String(array.get(), size, &count) != 1) Fail(steps.count, __LINE__);
  *bytes = array.release();
  *length = static_cast<uint64_t>(size);
  *characters = static_cast<uint64_t>(count);
}

// UTF-16 and UTF-32: the mark is left out of the size and read by the
// converter itself; a text that is only the mark stays empty.
template <typename Unit, typename SizeOf, typename Convert>
void MarkedToUTF8(const Unit* units, uint64_t length, endian order, SizeOf size_of, Convert convert,
                  const Steps& steps, unsigned char** bytes, uint64_t* out_length, uint64_t* characters) {
  const int64_t n = Signed(length);
  const bool mark = QVHasByteOrderMark(units) == 1;
  if (mark && n == 1) return;
  ToUTF8([&](int64_t* size) { return size_of(mark ? units + 1 : units, mark ? n - 1 : n, size, order); },
         [&](unsigned char* out, int64_t size) { return convert(units, n, out, size); }, steps, bytes, out_length,
         characters);
}

QVSmartPointer<QVUTF8String> Handle(QVUTF8String* s) {
  // Handles made here carry no lock of their own.
  return QVSmartPointer<QVUTF8String>(s, nullptr);
}

}  // namespace

QVUTF8String::QVUTF8String(const char* ascii) {
  if (ascii == nullptr) return;
  adoptCopy(reinterpret_cast<const unsigned char*>(ascii), std::strlen(ascii));
  numberOfCharacters = lengthOfBytes;
}

QVUTF8String::QVUTF8String(const char* ascii, uint64_t length) {
  if (ascii == nullptr || length == 0) return;
  adoptCopy(reinterpret_cast<const unsigned char*>(ascii), length);
  numberOfCharacters = lengthOfBytes;
}

QVUTF8String::QVUTF8String(const unsigned char* utf8, uint64_t length) {
  if (utf8 == nullptr || length == 0) return;
  int64_t count = 0;
  if (QVCountUnicodePointsInUTF8String(utf8, Signed(length), &count) != 1) {
    Fail("Unknown error in QVCountUnicodePointsInUTF8String.", __LINE__);
  }
  adoptCopy(utf8, length);
  numberOfCharacters = static_cast<uint64_t>(count);
}

QVUTF8String::QVUTF8String(const unsigned short* units, uint64_t length, sixteenBitSelector selector) {
  if (units == nullptr || length == 0) return;
  if (selector == UTF16) {
    MarkedToUTF8(units, length, QVGetUTF16EndianType(units), QVCountUTF8SizeOfUTF16String,
                 QVConvertUTF16StringToUTF8String,
                 {"Unknown error in QVCountUTF8SizeOfUTF16String.", "Unicode conversion error in UTF-16 constructor.",
                  "Error counting unicode points from QVCountUnicodePointsInUTF8String."},
                 &theBytes, &lengthOfBytes, &numberOfCharacters);
    return;
  }
  const int64_t n = Signed(length);
  ToUTF8([&](int64_t* size) { return QVCountUTF8SizeOfUCS2String(units, n, size); },
         [&](unsigned char* out, int64_t size) { return QVConvertUCS2StringToUTF8String(units, n, out, size); },
         {"Unknown error in QVCountUTF8SizeofUCS2String.", "Unicode conversion error in UCS2 constructor.",
          "Error counting unicode points from QVCountUnicodePointsInUTF8String."},
         &theBytes, &lengthOfBytes, &numberOfCharacters);
}

QVUTF8String::QVUTF8String(const unsigned int* units, uint64_t length) {
  if (units == nullptr || length == 0) return;
  MarkedToUTF8(units, length, QVGetUTF32EndianType(units), QVCountUTF8SizeOfUTF32String,
               QVConvertUTF32StringToUTF8String,
               {"Unknown error in QVCountUTF8SizeOfUTF32String.", "Unicode conversion error in UTF-32 constructor.",
                "Error counting unicode theBytes from QVCountUnicodePointsInUTF8String."},
               &theBytes, &lengthOfBytes, &numberOfCharacters);
}

QVUTF8String::QVUTF8String(const QVUTF8String& other) : QVObject(other) {
  adoptCopy(other.theBytes, other.lengthOfBytes);
  numberOfCharacters = other.numberOfCharacters;
}

QVUTF8String& QVUTF8String::operator=(const QVUTF8String& other) {
  if (this != &other) {
    QVUTF8String copy(other);
    std::swap(theBytes, copy.theBytes);
    std::swap(lengthOfBytes, copy.lengthOfBytes);
    std::swap(numberOfCharacters, copy.numberOfCharacters);
  }
  return *this;
}

QVUTF8String::~QVUTF8String() { delete[] theBytes; }

void QVUTF8String::adoptCopy(const unsigned char* bytes, uint64_t length) {
  if (bytes == nullptr || length == 0) return;
  theBytes = new unsigned char[length];
  std::memcpy(theBytes, bytes, length);
  lengthOfBytes = length;
}

QVSmartPointer<QVUTF8String> QVUTF8String::init() { return Handle(new QVUTF8String()); }

QVSmartPointer<QVUTF8String> QVUTF8String::initWithASCIIString(const char* ascii) {
  return Handle(new QVUTF8String(ascii));
}

QVSmartPointer<QVUTF8String> QVUTF8String::initWithASCIIString(const char* ascii, uint64_t length) {
  return Handle(new QVUTF8String(ascii, length));
}

QVSmartPointer<QVUTF8String> QVUTF8String::initWithUTF8String(const unsigned char* utf8, uint64_t length) {
  return Handle(new QVUTF8String(utf8, length));
}

QVSmartPointer<QVUTF8String> QVUTF8String::initWithUCS2String(const unsigned short* units, uint64_t length) {
  return Handle(new QVUTF8String(units, length, UCS2));
}

QVSmartPointer<QVUTF8String> QVUTF8String::initWithUTF16String(const unsigned short* units, uint64_t length) {
  return Handle(new QVUTF8String(units, length, UTF16));
}

QVSmartPointer<QVUTF8String> QVUTF8String::initWithUTF32String(const unsigned int* units, uint64_t length) {
  return Handle(new QVUTF8String(units, length));
}

uint64_t QVUTF8String::numberOfBytesForUCS2Encoding() const {
  if (lengthOfBytes == 0) return 0;
  int64_t units = 0;
  const int r = QVCountUCS2SizeOfUTF8String(theBytes, static_cast<int64_t>(lengthOfBytes), &units);
  if (r == -1) Fail("UTF-8 string contains codes that will not convert to UCS2.", __LINE__);
  if (r != 1) Fail("Unrecognized character sequence in UTF-8 string.", __LINE__);
  return 2 * static_cast<uint64_t>(units);
}

uint64_t QVUTF8String::numberOfBytesForUTF16Encoding() const {
  if (lengthOfBytes == 0) return 0;
  int64_t units = 0;
  if (QVCountUTF16SizeOfUTF8String(theBytes, static_cast<int64_t>(lengthOfBytes), &units) != 1) {
    Fail("Unicode encoding error in QVCountUTF16SizeOfUTF8String.", __LINE__);
  }
  return 2 * static_cast<uint64_t>(units) + 2;
}

uint64_t QVUTF8String::numberOfBytesForUTF32Encoding() const {
  if (lengthOfBytes == 0) return 0;
  int64_t count = 0;
  if (QVCountUnicodePointsInUTF8String(theBytes, static_cast<int64_t>(lengthOfBytes), &count) != 1) {
    Fail("Unicode encoding error in QVCountUnicodePointsInUTF8String.", __LINE__);
  }
  return 4 * static_cast<uint64_t>(count) + 4;
}

bool QVUTF8String::willEncodeInASCIIEncoding() const {
  return lengthOfBytes != 0 &&
         QVUTF8StringWillConvertLosslesslyToASCIIEncoding(theBytes, static_cast<int64_t>(lengthOfBytes)) == 1;
}

bool QVUTF8String::willEncodeInByteEncoding() const {
  return lengthOfBytes != 0 &&
         QVUTF8StringWillConvertLosslesslyToByteEncoding(theBytes, static_cast<int64_t>(lengthOfBytes)) == 1;
}

bool QVUTF8String::willEncodeInUCS2Encoding() const {
  return lengthOfBytes != 0 &&
         QVUTF8StringWillConvertLosslesslyToUCS2Encoding(theBytes, static_cast<int64_t>(lengthOfBytes)) == 1;
}

int QVUTF8String::convertToUCS2Encoding(unsigned short* buffer, uint64_t size) const {
  const int r = QVConvertUTF8StringToUCS2String(theBytes, static_cast<int64_t>(lengthOfBytes), buffer,
                                                static_cast<int64_t>(size / 2));
  if (r <= 0) Fail("Conversion error in QVConvertUTF8StringToUCS2String.", __LINE__);
  return r;
}

int QVUTF8String::convertToUTF16Encoding(unsigned short* buffer, uint64_t size) const {
  const int r = QVConvertUTF8StringToUTF16String(theBytes, static_cast<int64_t>(lengthOfBytes), buffer,
                                                 static_cast<int64_t>(size / 2));
  if (r <= 0) Fail("Conversion error in QVConvertUTF8StringToUTF16String.", __LINE__);
  return r;
}

int QVUTF8String::convertToUTF32Encoding(unsigned int* buffer, uint64_t size) const {
  const int r = QVConvertUTF8StringToUTF32String(theBytes, static_cast<int64_t>(lengthOfBytes), buffer,
                                                 static_cast<int64_t>(size / 4));
  if (r <= 0) Fail("Conversion error in QVConvertUTF8StringToUTF32String.", __LINE__);
  return r;
}

void QVUTF8String::convertToASCIIEncoding(char* buffer, uint64_t size) const {
  if (size != lengthOfBytes || (size != 0 && buffer == nullptr)) {
    Fail("length argument contains invalid value.", __LINE__, qvexceptiontype::badArgument);
  }
  if (size != 0) std::memcpy(buffer, theBytes, size);
}

QVString QVUTF8String::convertToSTLString() const {
  if (!willEncodeInASCIIEncoding()) Fail("convertToSTLString cannot convert to ASCII encoding.", __LINE__);
  return QVString(reinterpret_cast<const char*>(theBytes), lengthOfBytes);
}

bool QVUTF8String::operator==(const QVUTF8String& other) const {
  if (this == &other) return true;
  if (lengthOfBytes != other.lengthOfBytes || numberOfCharacters != other.numberOfCharacters) return false;
  return lengthOfBytes == 0 || std::memcmp(theBytes, other.theBytes, lengthOfBytes) == 0;
}

bool QVUTF8String::operator<(const QVUTF8String& other) const {
  if (lengthOfBytes != other.lengthOfBytes) return lengthOfBytes < other.lengthOfBytes;
  return lengthOfBytes != 0 && std::memcmp(theBytes, other.theBytes, lengthOfBytes) < 0;
}

void QVUTF8String::print(std::ostream& os) const {
  os << "<QVUTF8String><theBytes>";
  if (lengthOfBytes != 0) {
    os.write(reinterpret_cast<const char*>(theBytes), static_cast<std::streamsize>(lengthOfBytes));
  }
  os << "</theBytes><lengthOfBytes>" << lengthOfBytes << "</lengthOfBytes><numberOfCharacters>"
     << numberOfCharacters << "</numberOfCharacters></QVUTF8String>";
}

bool operator<(const QVSmartPointer<QVUTF8String>& a, const QVSmartPointer<QVUTF8String>& b) {
  if (!a || !b) return !a && b;
  return *a < *b;
}

std::ostream& operator<<(std::ostream& os, const QVUTF8String& s) {
  s.print(os);
  return os;
}

}  // namespace Quorvane
