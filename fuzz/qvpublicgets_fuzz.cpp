// Public gets fuzz target. The peer's bytes reach a link through a device
// that hands them over in windows of pseudo-random sizes and then reports the
// peer closed. Input: byte 0 is the number of calls (up to 63), the next that
// many bytes pick the calls (token-level, scalar, list and character gets,
// string, symbol and number-as-string gets in every encoding, string and
// symbol tests, function gets, head tests and checks, packet reading, whole
// and stepwise array gets, marks, seeks, skips and transfers to a loopback
// link that is read back), and the rest is what the peer sends. The link
// holds small symbol and string dictionaries, so dictionary-coded tokens are
// looked up, and two symbol replacements. Nothing may crash, hang or take memory beyond what the bytes at
// hand can justify; a text handed out ends with a zero unit behind its count,
// an array holds as many elements as its dimensions say, and a failed get
// hands out nothing.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "api/qvenvironment.h"
#include "api/qvlink.h"
#include "api/qvsymbolreplacement.h"
#include "quorvane.h"
#include "qvfuzzenvironment.h"
#include "qvfuzzpeer.h"
#include "text/qvstringdictionary.h"

namespace {

using qvfuzz::Peer;
using qvfuzz::PeerFunction;

using qvfuzz::Environment;

const Quorvane::QVRawStringDictionary kSymbols[] = {{"List", 1}, {"CallPacket", 2}, {"f", 3}, {"\\:03b1x", 4},
                                                    {nullptr, 0}};
const Quorvane::QVRawStringDictionary kStrings[] = {{"hello", 7}, {"caf\xE9", 300}, {"\\|01F600", 9}, {nullptr, 0}};

QVLink* Established(Quorvane::QVSmartPointer<Quorvane::QVDeviceInstance> device, bool loopback) {
  QVLink* link = qvfuzz::EstablishedLink(std::move(device), loopback);
  link->symbolDictionary = Quorvane::QVStringDictionary::initWithRawDictionary(kSymbols);
  link->stringDictionary = Quorvane::QVStringDictionary::initWithRawDictionary(kStrings);
  // Names read in the context B reach the caller in the longer context, and
  // those of Sys in A: replacement on the get side makes names grow and shrink.
  if (QVSymbolVariantAddReplacement(link->symbolReplacements, "Longer", 6, "B", 1) < 0 ||
      QVSymbolVariantAddReplacement(link->symbolReplacements, "A", 1, "Sys", 3) < 0) {
    std::abort();
  }
  return link;
}

void Destroy(QVLink* link) {
  long first = 0;
  long second = 0;
  QVDestroy(link, &first, &second);
}

// Reads back what reached the loopback link, one packet.
void DrainLoopback(QVLink* loopback) {
  RVEndPacket(loopback);
  RVFlush(loopback);
  RVNewPacket(loopback);
  RVClearError(loopback);
}

// A text handed out: null after a failure; after a success a count that is
// not negative with a zero unit behind it (read, so that the sanitizer sees
// a block too short for its count).
template <typename Unit, typename Count>
void CheckText(int ok, const Unit* text, Count units) {
  if (ok != 1) {
    if (text != nullptr) std::abort();
    return;
  }
  if (text == nullptr || units < 0) std::abort();
  if (text[units] != 0) std::abort();
}

void CheckText(int ok, const char* text) {
  if (ok != 1) {
    if (text != nullptr) std::abort();
    return;
  }
  if (text == nullptr) std::abort();
  volatile size_t length = std::strlen(text);
  (void)length;
}

// Every byte of a block, read so that the sanitizer sees one too short.
void Touch(const void* data, size_t bytes) {
  const auto* p = static_cast<const volatile unsigned char*>(data);
  unsigned sum = 0;
  for (size_t i = 0; i < bytes; ++i) sum += p[i];
  volatile unsigned keep = sum;
  (void)keep;
}

size_t ElementSize(long type) {
  switch (type) {
    case 161: return 1;
    case 226: return 2;
    case 228: case 244: return 4;
    case 230: case 246: return 8;
    case 248: return sizeof(long double);
    default: return 0;
  }
}

// The elements the dimensions promise; SIZE_MAX when their product overflows.
template <typename Dimension>
size_t Elements(const Dimension* dimensions, long depth) {
  size_t n = 1;
  for (long i = 0; i < depth; ++i) {
    if (dimensions[i] < 0) std::abort();
    if (__builtin_mul_overflow(n, static_cast<size_t>(dimensions[i]), &n)) return SIZE_MAX;
  }
  return n;
}

// A whole array handed out: nothing after a failure; after a success the
// dimensions, heads and data the depth and dimensions promise.
template <typename Dimension>
void CheckArray(int ok, const void* data, const Dimension* dimensions, char** heads, long depth, size_t size) {
  if (ok != 1) {
    if (data != nullptr || dimensions != nullptr || heads != nullptr || depth != 0) std::abort();
    return;
  }
  if (depth < 1 || dimensions == nullptr) std::abort();
  const size_t n = Elements(dimensions, depth);
  if (n == SIZE_MAX || (n > 0 && size > 0 && data == nullptr) || (n == 0 && data != nullptr)) std::abort();
  if (data != nullptr && size > 0) Touch(data, n * size);
  for (long i = 0; heads != nullptr && i < depth; ++i) CheckText(1, heads[i]);
}

constexpr long kArrayTypes[] = {0, 161, 226, 228, 230, 244, 246, 248};

// One get of a text with its count, checked, then its release.
template <typename Unit, typename Count = int, typename Get, typename Release>
void Text(Get get, Release release) {
  const Unit* text = nullptr;
  Count units = -1;
  CheckText(get(&text, &units), text, units);
  release(text);
}

void StringGet(uint8_t form, QVLink* link) {
  int characters = -1;
  // Counted in units; characters never more than units.
  const auto counted = [&](int ok, const int* units) {
    if (ok == 1 && characters > *units) std::abort();
    return ok;
  };
  using Bytes = unsigned char;
  using Short = unsigned short;
  const auto bytes = [&](const Bytes* t) { RVReleaseByteString(link, t); };
  const auto ucs2 = [&](const Short* t) { RVReleaseUCS2String(link, t); };
  const auto utf8 = [&](const Bytes* t) { RVReleaseUTF8String(link, t); };
  const auto utf16 = [&](const Short* t) { RVReleaseUTF16String(link, t); };
  const auto utf32 = [&](const unsigned* t) { RVReleaseUTF32String(link, t); };
  switch (form % 12) {
    case 0: {
      const char* t = nullptr;
      CheckText(RVGetString(link, &t), t);
      RVReleaseString(link, t);
      break;
    }
    case 1:
      Text<Bytes>([&](const Bytes** t, int* n) { return RVGetByteString(link, t, n, form & 1 ? '?' : 0); }, bytes);
      break;
    case 2: Text<Short>([&](const Short** t, int* n) { return RVGetUCS2String(link, t, n); }, ucs2); break;
    case 3:
      Text<Bytes>([&](const Bytes** t, int* n) { return counted(RVGetUTF8String(link, t, n, &characters), n); },
                  utf8);
      break;
    case 4:
      Text<Short>([&](const Short** t, int* n) { return counted(RVGetUTF16String(link, t, n, &characters), n); },
                  utf16);
      break;
    case 5: Text<unsigned>([&](const unsigned** t, int* n) { return RVGetUTF32String(link, t, n); }, utf32); break;
    case 6: {
      const char* t = nullptr;
      CheckText(RVGetNumberAsString(link, &t), t);
      RVReleaseString(link, t);
      break;
    }
    case 7:
      Text<Bytes, long>([&](const Bytes** t, long* n) { return RVGetNumberAsByteString(link, t, n, '?'); }, bytes);
      break;
    case 8: Text<Short>([&](const Short** t, int* n) { return RVGetNumberAsUCS2String(link, t, n); }, ucs2); break;
    // The number forms count the rewritten text.
    case 9:
      Text<Bytes>([&](const Bytes** t, int* n) { return RVGetNumberAsUTF8String(link, t, n, &characters); }, utf8);
      break;
    case 10:
      Text<Short>([&](const Short** t, int* n) { return RVGetNumberAsUTF16String(link, t, n, &characters); }, utf16);
      break;
    default:
      Text<unsigned>([&](const unsigned** t, int* n) { return RVGetNumberAsUTF32String(link, t, n); }, utf32);
      break;
  }
}

void SymbolGet(uint8_t form, QVLink* link) {
  int characters = -1;
  int bytes = -1;
  using Bytes = unsigned char;
  using Short = unsigned short;
  switch (form % 6) {
    case 0: { const char* t = nullptr; CheckText(RVGetSymbol(link, &t), t); RVReleaseSymbol(link, t); break; }
    case 1:
      Text<Bytes>([&](const Bytes** t, int* n) { return RVGetByteSymbol(link, t, n, '?'); },
                  [&](const Bytes* t) { RVReleaseByteSymbol(link, t); });
      break;
    case 2:
      Text<Short>([&](const Short** t, int* n) { return RVGetUCS2Symbol(link, t, n); },
                  [&](const Short* t) { RVReleaseUCS2Symbol(link, t); });
      break;
    case 3:
      Text<Bytes>(
          [&](const Bytes** t, int* n) {
            const int ok = RVGetUTF8Symbol(link, t, n, &characters);
            bytes = *n;
            return ok;
          },
          [&](const Bytes* t) { RVReleaseUTF8Symbol(link, t, bytes); });
      break;
    case 4:
      Text<Short>([&](const Short** t, int* n) { return RVGetUTF16Symbol(link, t, n, &characters); },
                  [&](const Short* t) { RVReleaseUTF16Symbol(link, t); });
      break;
    default:
      Text<unsigned>([&](const unsigned** t, int* n) { return RVGetUTF32Symbol(link, t, n); },
                     [&](const unsigned* t) { RVReleaseUTF32Symbol(link, t); });
      break;
  }
}

// Tests of a symbol, a string or a head against names the dictionaries and
// the seeds use; a null head accepts any.
void TestCall(uint8_t form, QVLink* link) {
  static const unsigned char kUtf8[] = {'L', 'i', 's', 't'};
  static const unsigned short kUtf16[] = {0xFEFF, 'f'};
  static const unsigned short kUcs2[] = {'h', 'e', 'l', 'l', 'o'};
  static const unsigned int kUtf32[] = {0xFEFF, 0x3B1, 'x'};
  int count = form & 0x80 ? 2 : -1;
  long wide = form & 0x80 ? 1 : -1;
  switch (form % 16) {
    case 0: RVTestSymbol(link, "List"); break;
    case 1: RVTestUTF8Symbol(link, kUtf8, 4); break;
    case 2: RVTestUTF16Symbol(link, kUtf16, 2); break;
    case 3: RVTestUTF32Symbol(link, kUtf32, 3); break;
    case 4: RVTestUCS2Symbol(link, kUcs2, 5); break;
    case 5: RVTestString(link, "hello"); break;
    case 6: RVTestUCS2String(link, kUcs2, 5); break;
    case 7: RVTestUTF8String(link, kUtf8, 4); break;
    case 8: RVTestUTF16String(link, kUtf16, 2); break;
    case 9: RVTestUTF32String(link, kUtf32, 3); break;
    case 10: RVTestHead(link, form & 0x40 ? nullptr : "List", &count); break;
    case 11: RVTestHeadWithArgCount(link, "f", &count); break;
    case 12: RVTestUTF8HeadWithArgCount(link, kUtf8, 4, &count); break;
    case 13: RVTestUTF16Head(link, kUtf16, 2, &count); break;
    case 14: RVCheckFunction(link, form & 0x40 ? nullptr : "f", &wide); break;
    default: RVCheckFunctionWithArgCount(link, "List", &wide); break;
  }
}

void FunctionGet(uint8_t form, QVLink* link) {
  int count = -1;
  int bytes = -1;
  // A head handed out comes with its count of arguments.
  const auto counted = [&](int ok) {
    if (ok == 1 && count < 0) std::abort();
    return ok;
  };
  using Bytes = unsigned char;
  using Short = unsigned short;
  switch (form % 5) {
    case 0: {
      const char* head = nullptr;
      CheckText(counted(RVGetFunction(link, &head, &count)), head);
      RVReleaseSymbol(link, head);
      break;
    }
    case 1:
      Text<Short>([&](const Short** h, int* n) { return counted(RVGetUCS2Function(link, h, n, &count)); },
                  [&](const Short* h) { RVReleaseUCS2Symbol(link, h); });
      break;
    case 2:
      Text<Bytes>(
          [&](const Bytes** h, int* n) {
            const int ok = counted(RVGetUTF8Function(link, h, n, &count));
            bytes = *n;
            return ok;
          },
          [&](const Bytes* h) { RVReleaseUTF8Symbol(link, h, bytes); });
      break;
    case 3:
      Text<Short>([&](const Short** h, int* n) { return counted(RVGetUTF16Function(link, h, n, &count)); },
                  [&](const Short* h) { RVReleaseUTF16Symbol(link, h); });
      break;
    default:
      Text<unsigned>([&](const unsigned** h, int* n) { return counted(RVGetUTF32Function(link, h, n, &count)); },
                     [&](const unsigned* h) { RVReleaseUTF32Symbol(link, h); });
      break;
  }
}

void WholeArray(uint8_t form, QVLink* link) {
  if (form & 0x80) {
    // The 64-bit reader, in a given type or the array's own leaf type.
    void* data = nullptr;
    long* dimensions = nullptr;
    char** heads = nullptr;
    long depth = 0;
    int leaf = 0;
    const long type = kArrayTypes[form % 8];
    const int ok = RVGetBinaryNumberArrayWithLeafType(link, &data, &dimensions, form & 0x40 ? nullptr : &heads, &depth,
                                                      type, &leaf);
    CheckArray(ok, data, dimensions, heads, depth, ElementSize(type != 0 ? type : leaf));
    QVDisownBinaryNumberArray(link, data, dimensions, heads, depth);
    return;
  }
  int* dimensions = nullptr;
  char** heads = nullptr;
  int depth = 0;
  switch (form % 4) {
    case 0: {
      unsigned char* data = nullptr;
      CheckArray(RVGetInteger8Array(link, &data, &dimensions, &heads, &depth), data, dimensions, heads, depth, 1);
      RVReleaseInteger8Array(link, data, dimensions, heads, depth);
      break;
    }
    case 1: {
      short* data = nullptr;
      CheckArray(RVGetInteger16Array(link, &data, &dimensions, &heads, &depth), data, dimensions, heads, depth, 2);
      RVReleaseInteger16Array(link, data, dimensions, heads, depth);
      break;
    }
    case 2: {
      int* data = nullptr;
      CheckArray(RVGetInteger32Array(link, &data, &dimensions, nullptr, &depth), data, dimensions, nullptr, depth, 4);
      RVReleaseInteger32Array(link, data, dimensions, nullptr, depth);
      break;
    }
    default: {
      long double* data = nullptr;
      CheckArray(RVGetReal128Array(link, &data, &dimensions, &heads, &depth), data, dimensions, heads, depth,
                 sizeof(long double));
      RVReleaseReal128Array(link, data, dimensions, heads, depth);
      break;
    }
  }
}

// An array read step by step, its heads written to the loopback link.
void StepwiseArray(uint8_t form, QVLink* link, QVLink* loopback) {
  qvmeter* state = nullptr;
  long depth = 0;
  int leaf = 0;
  if (RVGetArrayTypeWithDepthAndLeafType(link, form & 1 ? loopback : nullptr, &state, &depth, &leaf) == 1) {
    long double buffer[8];
    const long type = kArrayTypes[1 + (form >> 1) % 7];
    for (int i = 0; i < (form >> 4) % 4 + 1; ++i) {
      long count = 1 + i;
      if (i % 2 == 0 ? RVGetBinaryNumberArrayData(link, state, buffer, 8, type) != 1
                     : RVGetBinaryNumberArrayDataWithHeads(link, loopback, state, buffer, &count, type) != 1) {
        break;
      }
      if (count < 0 || count > 1 + i) std::abort();  // never more than asked for
    }
    // The same state reads the next array's heads and dimensions.
    if ((form & 0x40) != 0 && RVGetArrayType(link, state) != 0) RVGetArrayDimensions(link, state);
    RVReleaseGetArrayState(link, form & 1 ? loopback : nullptr, state);
  } else if (state != nullptr) {
    std::abort();  // a failure gives the state back
  }
  DrainLoopback(loopback);
}

void Call(uint8_t op, QVLink* link, QVLink* loopback, std::vector<QVLinkMark*>* marks) {
  int count = 0;
  const auto form = static_cast<uint8_t>(op / 48 * 37 + op);
  switch (op % 48) {
    case 0: RVGetNext(link); break;
    case 1: RVGetType(link); break;
    case 2: RVGetArgCount(link, &count); break;
    case 3: { int v; RVGetInteger32(link, &v); break; }
    case 4: { double v; RVGetReal64(link, &v); break; }
    case 5: { unsigned char v; RVGetInteger8(link, &v); break; }
    case 6: {
      double* data = nullptr;
      int length = 0;
      if (RVGetReal64List(link, &data, &length) == 1 && length < 0) std::abort();
      RVReleaseReal64List(link, data, length);
      break;
    }
    case 7: {
      int* data = nullptr;
      int length = 0;
      RVGetInteger32List(link, &data, &length);
      RVReleaseInteger32List(link, data, length);
      break;
    }
    case 8: {
      unsigned short buffer[3];
      int left = 0;
      int got = 0;
      if (RVGetUCS2Characters(link, &left, buffer, 3, &got) == 1 && (got < 0 || got > 3 || left < 0)) std::abort();
      break;
    }
    case 9: {
      char buffer[5];
      long left = 0;
      long got = 0;
      if (RVGet7BitCharacters(link, &left, buffer, 5, &got) == 1 && (got < 0 || got > 5)) std::abort();
      break;
    }
    case 10: {
      unsigned short buffer[4];
      int left = 0;
      int got = 0;
      RVGetUTF16Characters(link, &left, buffer, 4, &got);
      break;
    }
    case 11: {
      unsigned char buffer[6];
      int left = 0;
      int got = 0;
      RVGetUTF8Characters(link, &left, buffer, 6, &got);
      break;
    }
    case 12:
      if (marks->size() < 4) {
        if (QVLinkMark* mark = RVCreateMark(link)) marks->push_back(mark);
      }
      break;
    case 13:
      if (!marks->empty()) RVSeekMark(link, marks->back(), static_cast<int>(op / 24) % 3);
      break;
    case 14:
      if (!marks->empty()) {
        RVDestroyMark(link, marks->back());
        marks->pop_back();
      }
      break;
    case 15: RVTransferExpression(loopback, link); DrainLoopback(loopback); break;
    case 16: RVTransferExpression(nullptr, link); break;
    case 17: RVNewPacket(link); break;
    case 18: RVClearError(link); break;
    case 19: RVBytesToGet(link, &count); break;
    case 20: { unsigned char buffer[7]; RVGetRawData(link, buffer, 7, &count); break; }
    case 21: RVExpressionsToGet(link, &count); break;
    case 22: RVReady(link); break;
    case 23: QVNewExpression(link); break;
    case 24: case 25: case 26: case 27: case 28: case 29: StringGet(static_cast<uint8_t>(form + op % 6), link); break;
    case 30: case 31: case 32: SymbolGet(form, link); break;
    case 33: case 34: case 35: TestCall(form, link); break;
    case 36: case 37: FunctionGet(form, link); break;
    case 38: case 39: RVNextPacket(link); break;
    case 40: case 41: case 42: WholeArray(form, link); break;
    case 43: StepwiseArray(form, link, loopback); break;
    case 44: case 45: RVGetNext(link); break;
    default: RVClearError(link); break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t calls = std::min<size_t>(data[0] % 64, size - 1);
  const uint8_t* ops = data + 1;
  Peer peer{ops + calls, size - 1 - calls, 0, data[0], 53, std::vector<char>(64), {}};
  QVLink* link = Established(Quorvane::QVDeviceInstance::initWithDeviceObjectAndFunction(&peer, &PeerFunction), false);
  QVLink* loopback = Established({}, true);
  std::vector<QVLinkMark*> marks;
  for (size_t i = 0; i < calls; ++i) Call(ops[i], link, loopback, &marks);
  for (QVLinkMark* mark : marks) RVDestroyMark(link, mark);
  Destroy(loopback);
  Destroy(link);
  return 0;
}
