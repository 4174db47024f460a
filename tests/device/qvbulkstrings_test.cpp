// Texts far larger than any device's window, between this process and a
// forked second one over SharedMemory and both TCPIP models, through the
// public string puts and gets: every encoding arrives whole and exact, each
// way, with characters of every width cut by the windows and the ring at
// odd places. And a peer that declares a string of 2^31 bytes and sends
// only a few, or some megabytes, makes the get fail on its close having
// asked for no more memory than what arrived, a few times over.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "quorvane.h"
#include "qvshmtest.h"
#include "tests/text/qviconvoracle.h"

using namespace qvshmtest;

namespace {

// Longer than three SharedMemory rings, and not a multiple of any window.
constexpr size_t kUnits = 300007;

struct Kind {
  const char* name;
  const char* listen;   // the listener's words before its -linkname
  const char* connect;  // the connector's, before -linkname and the listener's RVName
  bool named;           // the listener is given a name of this test's own
};

constexpr Kind kKinds[] = {
    {"SharedMemory", "-linkprotocol SharedMemory -linkmode listen", "-linkprotocol SharedMemory -linkmode connect",
     true},
    {"TCPIPOld", "-linkprotocol TCPIP -linkmode listen -linkname @127.0.0.1",
     "-linkprotocol TCPIP -linkmode connect", false},
    {"TCPIPNew", "-linkprotocol TCPIP -linkmode listen -linkname @127.0.0.1 -linkoptions QVUseNewTCPIPConnection",
     "-linkprotocol TCPIP -linkmode connect -linkoptions QVUseNewTCPIPConnection", false},
};

// Every wait on a link of these tests ends by this time (one per process).
std::chrono::steady_clock::time_point gGiveUpAt;
int UntilGiveUp(void*, QVYieldParams*) { return std::chrono::steady_clock::now() >= gGiveUpAt ? 1 : 0; }

QVLink* OpenActive(RVEnvironment* environment, const std::string& words) {
  gGiveUpAt = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  int error = 0;
  QVLink* link = RVOpenString(environment, words.c_str(), &error);
  if (link != nullptr && (RVSetYieldFunction(link, &UntilGiveUp) == 0 || RVActivate(link) == 0)) {
    RVClose(link);
    return nullptr;
  }
  return link;
}

// The parent's listener: opened, its name in the mailbox for the child, then
// activated once the child may connect.
QVLink* Listen(RVEnvironment* environment, const Kind& kind, const SharedMailbox& box) {
  std::string words = kind.listen;
  if (kind.named) words += " -linkname " + UniqueName("qvbulktext");
  int error = 0;
  QVLink* link = RVOpenString(environment, words.c_str(), &error);
  if (link == nullptr) return nullptr;
  std::strncpy(box->text, RVName(link), sizeof box->text - 1);
  box->stage = 1;
  gGiveUpAt = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  if (RVSetYieldFunction(link, &UntilGiveUp) == 0 || RVActivate(link) == 0) {
    RVClose(link);
    return nullptr;
  }
  return link;
}

// The child's end: an environment and its connected link, once the parent
// has named its listener; null when either fails.
QVLink* ConnectWhenAsked(const SharedMailbox& box, const Kind& kind, RVEnvironment** environment) {
  *environment = nullptr;
  if (!Reaches(box, 1)) return nullptr;
  *environment = RVInitialize(nullptr);
  if (*environment == nullptr) return nullptr;
  return OpenActive(*environment, std::string(kind.connect) + " -linkname " + box->text);
}

// ---- the texts ----

// Code points of every width: 7-bit, two, three and four UTF-8 bytes (the
// last also a UTF-16 surrogate pair).
uint32_t PointAt(size_t i) {
  switch (i % 7) {
    case 0: return 'a' + static_cast<uint32_t>(i % 26);
    case 1: return 0x00E9;
    case 2: return 0x263A;
    case 3: return 0x1F600 + static_cast<uint32_t>(i % 64);
    case 4: return '\\';
    case 5: return 0x07FF;
    default: return 0xFFFD;
  }
}

std::vector<uint32_t> Points(size_t n) {
  std::vector<uint32_t> points(n);
  for (size_t i = 0; i < n; ++i) points[i] = PointAt(i);
  return points;
}

// The text in an encoding, by iconv: an oracle of its own.
std::vector<unsigned char> Encoded(const std::vector<uint32_t>& points, const char* encoding) {
  const std::string bytes = qvtexttest::MustIconv(points, encoding);
  return std::vector<unsigned char>(bytes.begin(), bytes.end());
}

enum class Encoding { kBytes, kUTF8, kUCS2, kUTF16, kUTF32 };

struct Text {
  Encoding encoding;
  const char* name;
  std::vector<unsigned char> units;  // the text's bytes, in its own units
  size_t unit;
};

template <class Unit>
Text Wrap(Encoding encoding, const char* name, const std::vector<Unit>& units) {
  Text text{encoding, name, std::vector<unsigned char>(units.size() * sizeof(Unit)), sizeof(Unit)};
  if (!units.empty()) std::memcpy(text.units.data(), units.data(), text.units.size());
  return text;
}

Text Wrap(Encoding encoding, const char* name, std::vector<unsigned char> bytes, size_t unit) {
  return Text{encoding, name, std::move(bytes), unit};
}

// The same texts in both processes: the child echoes them in this order.
std::vector<Text> Texts() {
  const std::vector<uint32_t> points = Points(kUnits);
  std::vector<unsigned char> bytes(kUnits);
  for (size_t i = 0; i < kUnits; ++i) bytes[i] = static_cast<unsigned char>(i * 131 + (i >> 9));
  std::vector<unsigned short> ucs2(kUnits);
  for (size_t i = 0; i < kUnits; ++i) ucs2[i] = static_cast<unsigned short>(0x20 + (i * 7919) % 0xD000);
  return {Wrap(Encoding::kBytes, "bytes", bytes), Wrap(Encoding::kUTF8, "UTF-8", Encoded(points, "UTF-8"), 1),
          Wrap(Encoding::kUCS2, "UCS-2", ucs2), Wrap(Encoding::kUTF16, "UTF-16", Encoded(points, "UTF-16LE"), 2),
          Wrap(Encoding::kUTF32, "UTF-32", points),
          Wrap(Encoding::kBytes, "three bytes", std::vector<unsigned char>{'x', 0, '\\'})};
}

bool Put(QVLink* link, const Text& text) {
  const auto* u = text.units.data();
  const auto n = static_cast<int>(text.units.size() / text.unit);
  bool ok = false;
  switch (text.encoding) {
    case Encoding::kBytes: ok = RVPutByteString(link, u, n) == 1; break;
    case Encoding::kUTF8: ok = RVPutUTF8String(link, u, n) == 1; break;
    case Encoding::kUCS2: ok = RVPutUCS2String(link, reinterpret_cast<const unsigned short*>(u), n) == 1; break;
    case Encoding::kUTF16: ok = RVPutUTF16String(link, reinterpret_cast<const unsigned short*>(u), n) == 1; break;
    case Encoding::kUTF32: ok = RVPutUTF32String(link, reinterpret_cast<const unsigned int*>(u), n) == 1; break;
  }
  return ok && RVEndPacket(link) == 1 && RVFlush(link) == 1;
}

// The next text in the encoding, without the byte-order mark the wide forms
// begin with; false when the get fails.
bool Get(QVLink* link, Encoding encoding, std::vector<unsigned char>* out) {
  const void* text = nullptr;
  int units = 0;
  int characters = 0;
  size_t unit = 1;
  bool ok = false;
  switch (encoding) {
    case Encoding::kBytes:
      ok = RVGetByteString(link, reinterpret_cast<const unsigned char**>(&text), &units, 0) == 1;
      break;
    case Encoding::kUTF8:
      ok = RVGetUTF8String(link, reinterpret_cast<const unsigned char**>(&text), &units, &characters) == 1;
      break;
    case Encoding::kUCS2:
      ok = RVGetUCS2String(link, reinterpret_cast<const unsigned short**>(&text), &units) == 1;
      unit = 2;
      break;
    case Encoding::kUTF16:
      ok = RVGetUTF16String(link, reinterpret_cast<const unsigned short**>(&text), &units, &characters) == 1;
      unit = 2;
      break;
    case Encoding::kUTF32:
      ok = RVGetUTF32String(link, reinterpret_cast<const unsigned int**>(&text), &units) == 1;
      unit = 4;
      break;
  }
  if (!ok) return false;
  const auto* bytes = static_cast<const unsigned char*>(text);
  const size_t mark = encoding == Encoding::kUTF16 || encoding == Encoding::kUTF32 ? unit : 0;
  const size_t length = static_cast<size_t>(units) * unit;
  out->assign(bytes + std::min(mark, length), bytes + length);
  RVReleaseString(link, static_cast<const char*>(text));
  return RVNewPacket(link) == 1;
}

class BulkStrings : public testing::TestWithParam<Kind> {};

TEST_P(BulkStrings, TextsLargerThanAnyWindowArriveWholeEachWayInEveryEncoding) {
  const Kind& kind = GetParam();
  const std::vector<Text> texts = Texts();
  SharedMailbox box;
  Child child([&] {
    RVEnvironment* environment = nullptr;
    QVLink* link = ConnectWhenAsked(box, kind, &environment);
    if (link == nullptr) return 11;
    int answer = 0;
    for (const Text& text : texts) {
      std::vector<unsigned char> got;
      if (!Get(link, text.encoding, &got)) {
        answer = 12;
        break;
      }
      const Text echo{text.encoding, text.name, got, text.unit};
      if (!Put(link, echo)) {
        answer = 13;
        break;
      }
    }
    if (answer == 0 && !Reaches(box, 2)) answer = 14;
    RVClose(link);
    RVDeinitialize(environment);
    return answer;
  });
  RVEnvironment* environment = RVInitialize(nullptr);
  ASSERT_NE(environment, nullptr);
  QVLink* link = Listen(environment, kind, box);
  ASSERT_NE(link, nullptr);
  for (const Text& text : texts) {
    SCOPED_TRACE(text.name);
    ASSERT_TRUE(Put(link, text)) << RVError(link);
    std::vector<unsigned char> back;
    ASSERT_TRUE(Get(link, text.encoding, &back)) << RVError(link);
    EXPECT_EQ(back.size(), text.units.size());
    EXPECT_TRUE(back == text.units) << "the text came back changed";
  }
  box->stage = 2;
  EXPECT_TRUE(ExitedWith(child.Wait(), 0));
  RVClose(link);
  RVDeinitialize(environment);
}

// ---- a declared length nobody sends ----

std::atomic<bool> gCounting{false};
std::atomic<uint64_t> gLargest{0};

void* CountingAllocate(uint64_t size) {
  if (gCounting.load()) {
    uint64_t seen = gLargest.load();
    while (size > seen && !gLargest.compare_exchange_weak(seen, size)) {
    }
  }
  return std::malloc(size);
}
void CountingRelease(void* block) { std::free(block); }

constexpr size_t kHostileSent[] = {3, size_t{3} << 20};

TEST_P(BulkStrings, AStringDeclaredFarLongerThanSentCostsOnlyWhatArrived) {
  const Kind& kind = GetParam();
  for (const size_t sent : kHostileSent) {
    SCOPED_TRACE(std::to_string(sent) + " bytes sent of 2^31 declared");
    SharedMailbox box;
    Child child([&] {
      RVEnvironment* environment = nullptr;
      QVLink* link = ConnectWhenAsked(box, kind, &environment);
      if (link == nullptr) return 11;
      // A byte string whose count is its length: all of 2^31 - 1 bytes, of
      // which only sent follow.
      const unsigned char header[] = {'B', '~', ' '};
      bool ok = RVPutType(link, RV_TOK_STRING) == 1 && RVPutSize(link, INT_MAX) == 1 &&
                RVPutData(link, header, sizeof header) == 1;
      std::vector<unsigned char> piece(65536, 'q');
      for (size_t done = 0; ok && done < sent; done += piece.size()) {
        ok = RVPutData(link, piece.data(), static_cast<int>(std::min(piece.size(), sent - done))) == 1;
      }
      ok = ok && RVFlush(link) == 1;
      // Gone once the parent has begun its get, or has all the bytes.
      const bool told = Reaches(box, 2);
      RVClose(link);
      RVDeinitialize(environment);
      return ok ? (told ? 0 : 13) : 12;
    });
    RVEnvironmentParameters* parameters = RVNewParameters(0, 0);
    ASSERT_NE(parameters, nullptr);
    RVSetAllocParameter(parameters, &CountingAllocate, &CountingRelease);
    RVEnvironment* environment = RVInitialize(parameters);
    ASSERT_NE(environment, nullptr);
    QVLink* link = Listen(environment, kind, box);
    ASSERT_NE(link, nullptr);
    box->stage = 2;
    gLargest = 0;
    gCounting = true;
    const unsigned char* text = nullptr;
    int length = -1;
    EXPECT_EQ(RVGetByteString(link, &text, &length, 0), 0);
    gCounting = false;
    EXPECT_NE(RVError(link), 0);
    EXPECT_EQ(text, nullptr);
    EXPECT_LE(gLargest.load(), 4 * sent + (uint64_t{1} << 20));
    EXPECT_TRUE(ExitedWith(child.Wait(), 0));
    RVClose(link);
    RVDeinitialize(environment);
    RVReleaseParameters(parameters);
  }
}

INSTANTIATE_TEST_SUITE_P(Devices, BulkStrings, testing::ValuesIn(kKinds),
                         [](const testing::TestParamInfo<Kind>& row) { return std::string(row.param.name); });

}  // namespace
