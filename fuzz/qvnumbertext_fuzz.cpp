// Number text from a peer, and machine numbers from a peer, through the numeric
// dispatcher. Text must be answered with a documented code and agree with
// strtod where it is plain real text; every binary value must print as text
// that reads back as the same value; binary conversions must stay in bounds.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "api/qvnumericdispatch.h"

namespace {

constexpr unsigned kOwnTypes[] = {161, 226, 228, 230, 244, 246, 248};
constexpr unsigned kTextTypes[] = {42, 43, 73, 82};

void Check(bool ok) {
  if (!ok) std::abort();
}

void TextIntoEveryType(const std::string& text) {
  for (unsigned text_type : kTextTypes) {
    for (unsigned target : kOwnTypes) {
      std::string copy = text;
      unsigned char out[16];
      long count = static_cast<long>(copy.size());
      const long answer = qvne__dispatch(qvne_selector(target, text_type), out, copy.data(), &count);
      Check(answer == 0 || answer == 2 || answer == 7 || answer == 8);
      Check(count >= 0 && count <= static_cast<long>(text.size()));
      if (answer != 0 || target != 246 || text_type == 43 || text_type == 73) continue;
      // Plain real text reads exactly as strtod reads it.
      const unsigned char first = text.empty() ? 0 : static_cast<unsigned char>(text[0]);
      const bool special = first > 'E' || (text.size() >= 2 && !(first >= '0' && first <= '9') &&
                                           static_cast<unsigned char>(text[1]) >= 'F');
      if (special || text.find("*^") != std::string::npos) continue;
      const double expected = std::strtod(text.c_str(), nullptr);
      double got;
      std::memcpy(&got, out, sizeof got);
      Check(std::memcmp(&got, &expected, sizeof got) == 0 || (std::isnan(got) && std::isnan(expected)));
    }
  }
}

double RealAt(unsigned type, const unsigned char* p) {
  if (type == 244) {
    float single;
    std::memcpy(&single, p, sizeof single);
    return single;
  }
  double value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

void EveryTypeIntoText(const uint8_t* data, size_t size) {
  unsigned char value[16] = {};
  std::memcpy(value, data, size < 16 ? size : 16);
  for (unsigned source : kOwnTypes) {
    for (long capacity : {128L, 22L, 8L}) {
      unsigned char buffer[140];
      std::memset(buffer, 0xEE, sizeof buffer);
      long count = capacity;
      const long answer = qvne__dispatch(qvne_selector(source < 244 ? 43 : 42, source), buffer, value, &count);
      for (long i = capacity; i < static_cast<long>(sizeof buffer); ++i) Check(buffer[i] == 0xEE);
      if (answer != 0) {
        Check(answer == -1);
        continue;
      }
      const long offset = buffer[0];
      Check(offset >= 1 && offset + count < capacity && buffer[offset + count] == 0);
      Check(std::strlen(reinterpret_cast<char*>(buffer + offset)) == static_cast<size_t>(count));
      // Read back, the text is the same number (a NaN stays a NaN).
      unsigned char back[16];
      long length = count;
      const long parsed = qvne__dispatch(qvne_selector(source, source < 244 ? 43 : 42), back,
                                         buffer + offset, &length);
      if (source == 248) continue;  // read back through a double by design
      Check(parsed == 0);
      const long width = qvne__dispatch(source, nullptr, nullptr, nullptr);
      if (source == 244 || source == 246) {
        const double a = RealAt(source, value);
        const double b = RealAt(source, back);
        Check(std::isnan(a) ? std::isnan(b) : a == b);
      } else {
        Check(std::memcmp(back, value, static_cast<size_t>(width)) == 0);
      }
    }
  }
}

void EveryBinaryPair(const uint8_t* data, size_t size) {
  unsigned char in[64] = {};
  std::memcpy(in, data, size < sizeof in ? size : sizeof in);
  for (unsigned source = 128; source < 256; ++source) {
    for (unsigned target : kOwnTypes) {
      unsigned char out[80];
      long count = 4;  // four elements of at most 16 bytes
      const long answer = qvne__dispatch(qvne_selector(target, source), out, in, &count);
      Check(answer == 0 || answer == 7 || answer == -1);
      Check(count >= 0 && count <= 16);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t mode = data[0] % 4;
  ++data;
  --size;
  std::string text(reinterpret_cast<const char*>(data), size);
  text = text.substr(0, text.find('\0'));
  switch (mode) {
    case 0: TextIntoEveryType(text); break;
    case 1: {
      // Splice the exponent form and the precision mark into the text.
      const size_t at = text.empty() ? 0 : data[0] % (text.size() + 1);
      std::string spliced = text;
      spliced.insert(at, "*^");
      TextIntoEveryType(spliced);
      spliced.insert(at / 2, "`");
      TextIntoEveryType(spliced);
      break;
    }
    case 2: EveryTypeIntoText(data, size); break;
    default: EveryBinaryPair(data, size); break;
  }
  return 0;
}
