// Function gets, head tests and checks: heads and counts in every encoding;
// tests that match leave the input at the first argument and tests that do
// not leave it at the function; checks consume what they read; the count
// rules of each form; dictionary-coded heads; a link whose peer has closed
// with data still buffered.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "api/qvsymbolreplacement.h"
#include "quorvane.h"
#include "tests/api/qvtypedtest.h"
#include "tests/support/qvtest.h"
#include "text/qvstringdictionary.h"

namespace {

using qvtest::ScriptedDevice;

// "List" in the wide forms, the wide ones with their mark.
const std::u16string kList16 = u"List";
const std::u16string kMarkedList16 = u"\xFEFF" u"List";
const std::u32string kMarkedList32 = U"\xFEFF" U"List";

class HeadCallsTest : public qvtest::TypedLinkTest {
 protected:
  void TearDown() override {
    for (QVLink* link : links_) Destroy(link);
  }

  // A loopback link holding head[1, ..., n] then the integer 99, as one packet.
  QVLink* Function(const char* head, int n) {
    QVLink* link = Keep(Loopback());
    EXPECT_EQ(RVPutFunction(link, head, n), 1);
    for (int i = 1; i <= n; ++i) EXPECT_EQ(RVPutInteger32(link, i), 1);
    EXPECT_EQ(RVPutInteger32(link, 99), 1);
    EXPECT_EQ(RVEndPacket(link), 1);
    EXPECT_EQ(RVFlush(link), 1);
    return link;
  }

  QVLink* Keep(QVLink* link) {
    EXPECT_NE(link, nullptr);
    if (link != nullptr) links_.push_back(link);
    return link;
  }

  // The next integer on the link, or -1000 when none can be read.
  static int NextInteger(QVLink* link) {
    int value = -1000;
    return RVGetInteger32(link, &value) == 1 ? value : -1000;
  }

  std::vector<std::unique_ptr<ScriptedDevice>> devices_;
  std::vector<QVLink*> links_;
};

struct TestRow {
  const char* name;
  const char* head;  // on the wire
  int arguments;
  int count_in;      // the count given to the test (-7: a null pointer)
  std::function<int(QVLink*, int*)> test;
  int result;
  int count_out;     // reported through the pointer
};

TEST_F(HeadCallsTest, TestsMatchOrPutTheInputBack) {
  auto head = [](const char* h) { return [h](QVLink* l, int* n) { return RVTestHead(l, h, n); }; };
  auto with_count = [](const char* h) { return [h](QVLink* l, int* n) { return RVTestHeadWithArgCount(l, h, n); }; };
  auto utf8 = [](QVLink* l, int* n) { return RVTestUTF8Head(l, reinterpret_cast<const unsigned char*>("List"), 4, n); };
  auto ucs2 = [](QVLink* l, int* n) {
    return RVTestUCS2Head(l, reinterpret_cast<const unsigned short*>(kList16.data()), 4, n);
  };
  auto utf16 = [](QVLink* l, int* n) {
    return RVTestUTF16Head(l, reinterpret_cast<const unsigned short*>(kMarkedList16.data()), 5, n);
  };
  auto utf32 = [](QVLink* l, int* n) {
    return RVTestUTF32Head(l, reinterpret_cast<const unsigned int*>(kMarkedList32.data()), 5, n);
  };
  auto utf8_with_count = [](QVLink* l, int* n) {
    return RVTestUTF8HeadWithArgCount(l, reinterpret_cast<const unsigned char*>("List"), 4, n);
  };
  auto utf32_with_count = [](QVLink* l, int* n) {
    return RVTestUTF32HeadWithArgCount(l, reinterpret_cast<const unsigned int*>(kMarkedList32.data()), 5, n);
  };
  const std::vector<TestRow> rows = {
      {"List with three", "List", 3, 0, head("List"), 1, 3},
      {"another head", "f", 1, 0, head("List"), 0, 1},
      {"a longer head", "Lists", 1, 0, head("List"), 0, 1},
      {"null head, any head", "f", 1, 0, head(nullptr), 1, 1},
      {"count 3 of 3", "List", 3, 3, with_count("List"), 1, 3},
      {"count 2 of 3", "List", 3, 2, with_count("List"), 0, 3},
      {"count 0, none there", "List", 0, 0, with_count("List"), 1, 0},
      {"count 0, one there", "List", 1, 0, with_count("List"), 0, 1},
      {"negative count, none there", "List", 0, -1, with_count("List"), 1, 0},
      {"negative count, two there", "List", 2, -1, with_count("List"), 0, 2},
      {"no count pointer, none there", "List", 0, -7, with_count("List"), 1, 0},
      {"no count pointer, one there", "List", 1, -7, with_count("List"), 0, 0},
      {"UTF-8", "List", 2, 0, utf8, 1, 2},
      {"UCS-2", "List", 2, 0, ucs2, 1, 2},
      {"UTF-16 with its mark", "List", 2, 0, utf16, 1, 2},
      {"UTF-32 with its mark", "List", 2, 0, utf32, 1, 2},
      {"UTF-8 other head", "Lisp", 2, 0, utf8, 0, 2},
      {"UTF-8 count 0, two there", "List", 2, 0, utf8_with_count, 0, 2},
      {"UTF-32 count 2 of 2", "List", 2, 2, utf32_with_count, 1, 2},
  };
  for (const TestRow& row : rows) {
    SCOPED_TRACE(row.name);
    QVLink* link = Function(row.head, row.arguments);
    int count = row.count_in;
    EXPECT_EQ(row.test(link, row.count_in == -7 ? nullptr : &count), row.result);
    if (row.count_in != -7) {
      EXPECT_EQ(count, row.count_out);
    }
    if (row.result == 1) {
      EXPECT_EQ(RVError(link), 0);
      EXPECT_EQ(NextInteger(link), row.arguments > 0 ? 1 : 99);  // at the first argument
      continue;
    }
    EXPECT_EQ(RVError(link), 3);
    ASSERT_EQ(RVClearError(link), 1);
    // Back at the function: its head and count read again.
    const char* read = nullptr;
    int arguments = -1;
    ASSERT_EQ(RVGetFunction(link, &read, &arguments), 1);
    EXPECT_STREQ(read, row.head);
    EXPECT_EQ(arguments, row.arguments);
    RVReleaseSymbol(link, read);
  }
}

// A test on something that is no function fails before the count is read:
// the count reported is the one it wanted.
TEST_F(HeadCallsTest, TestsOfOtherTokensReportTheCountTheyWanted) {
  QVLink* link = Keep(Loopback());
  ASSERT_EQ(RVPutInteger32(link, 5), 1);
  ASSERT_EQ(RVEndPacket(link), 1);
  ASSERT_EQ(RVFlush(link), 1);
  int count = 9;
  EXPECT_EQ(RVTestHead(link, "List", &count), 0);
  EXPECT_EQ(count, -1);
  EXPECT_EQ(RVError(link), 3);
  ASSERT_EQ(RVClearError(link), 1);
  count = 4;
  EXPECT_EQ(RVTestHeadWithArgCount(link, "List", &count), 0);
  EXPECT_EQ(count, 4);
  ASSERT_EQ(RVClearError(link), 1);
  EXPECT_EQ(NextInteger(link), 5);
}

TEST_F(HeadCallsTest, ChecksConsumeWhatTheyRead) {
  struct Row {
    const char* name;
    const char* head;
    int arguments;
    std::function<int(QVLink*, long*)> check;
    long count_in;
    int result;
    long count_out;
    int next;  // the integer read after the check; 0: the head is still unread
  };
  const std::vector<Row> rows = {
      {"any count", "List", 3, [](QVLink* l, long* n) { return RVCheckFunction(l, "List", n); }, 7, 1, 3, 1},
      {"another head", "f", 2, [](QVLink* l, long* n) { return RVCheckFunction(l, "List", n); }, 7, 0, 2, 1},
      {"-1 accepts any count", "List", 3,
       [](QVLink* l, long* n) { return RVCheckFunctionWithArgCount(l, "List", n); }, -1, 1, 3, 1},
      {"count 2 of 3", "List", 3, [](QVLink* l, long* n) { return RVCheckFunctionWithArgCount(l, "List", n); }, 2,
       0, 3, 0},
      {"null head", "g", 1, [](QVLink* l, long* n) { return RVCheckFunctionWithArgCount(l, nullptr, n); }, 1, 1, 1,
       1},
      {"no count pointer wants none", "List", 0,
       [](QVLink* l, long*) { return RVCheckFunctionWithArgCount(l, "List", nullptr); }, 0, 1, 0, 99},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    QVLink* link = Function(row.head, row.arguments);
    long count = row.count_in;
    EXPECT_EQ(row.check(link, &count), row.result);
    EXPECT_EQ(count, row.count_out);
    EXPECT_EQ(RVError(link), row.result == 1 ? 0u : 3u);
    ASSERT_EQ(RVClearError(link), 1);
    if (row.next == 0) {
      // A wrong count ends the check before the head.
      const char* name = nullptr;
      ASSERT_EQ(RVGetSymbol(link, &name), 1);
      EXPECT_STREQ(name, row.head);
      RVReleaseSymbol(link, name);
      continue;
    }
    EXPECT_EQ(NextInteger(link), row.next);
  }
}

TEST_F(HeadCallsTest, FunctionGetsInEveryEncoding) {
  const std::string head = "Gr\xC3\xB6\xC3\x9F" "e";  // 5 characters, 7 bytes
  QVLink* link = Keep(Loopback());
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(RVPutUTF8Function(link, reinterpret_cast<const unsigned char*>(head.data()), 7, 2), 1);
    ASSERT_EQ(RVPutInteger32(link, 1), 1);
    ASSERT_EQ(RVPutInteger32(link, 2), 1);
    ASSERT_EQ(RVEndPacket(link), 1);
  }
  ASSERT_EQ(RVFlush(link), 1);
  const char* seven = nullptr;
  int count = -1;
  ASSERT_EQ(RVGetFunction(link, &seven, &count), 1);
  EXPECT_EQ(count, 2);
  for (const char* p = seven; *p != 0; ++p) EXPECT_LT(static_cast<unsigned char>(*p), 128);  // escaped
  RVReleaseSymbol(link, seven);
  ASSERT_EQ(RVNewPacket(link), 1);

  const unsigned char* utf8 = nullptr;
  int length = -1;
  ASSERT_EQ(RVGetUTF8Function(link, &utf8, &length, &count), 1);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(utf8), static_cast<size_t>(length)), head);
  RVReleaseUTF8Symbol(link, utf8, length);
  ASSERT_EQ(RVNewPacket(link), 1);

  const unsigned short* ucs2 = nullptr;
  ASSERT_EQ(RVGetUCS2Function(link, &ucs2, &length, &count), 1);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(ucs2), static_cast<size_t>(length)), u"Gr\u00F6\u00DFe");
  RVReleaseUCS2Symbol(link, ucs2);
  ASSERT_EQ(RVNewPacket(link), 1);

  const unsigned short* utf16 = nullptr;
  ASSERT_EQ(RVGetUTF16Function(link, &utf16, &length, &count), 1);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(utf16), static_cast<size_t>(length)),
            u"\xFEFF" u"Gr\u00F6\u00DFe");
  RVReleaseUTF16Symbol(link, utf16);
  ASSERT_EQ(RVNewPacket(link), 1);

  const unsigned int* utf32 = nullptr;
  ASSERT_EQ(RVGetUTF32Function(link, &utf32, &length, &count), 1);
  EXPECT_EQ(std::u32string(reinterpret_cast<const char32_t*>(utf32), static_cast<size_t>(length)),
            U"\xFEFF" U"Gr\u00F6\u00DFe");
  EXPECT_EQ(count, 2);
  RVReleaseUTF32Symbol(link, utf32);
}

TEST_F(HeadCallsTest, FunctionGetsRefuseOtherTokensAndSeeReplacedHeads) {
  QVLink* link = Keep(Loopback());
  ASSERT_EQ(RVPutInteger32(link, 5), 1);
  ASSERT_EQ(RVEndPacket(link), 1);
  ASSERT_EQ(RVPutFunction(link, "B`f", 1), 1);
  ASSERT_EQ(RVPutInteger32(link, 1), 1);
  ASSERT_EQ(RVEndPacket(link), 1);
  ASSERT_EQ(RVFlush(link), 1);
  const char* head = reinterpret_cast<const char*>(1);
  int count = -5;
  EXPECT_EQ(RVGetFunction(link, &head, &count), 0);
  EXPECT_EQ(head, nullptr);
  EXPECT_EQ(RVError(link), 3);
  ASSERT_EQ(RVClearError(link), 1);
  ASSERT_EQ(RVNewPacket(link), 1);
  ASSERT_GE(QVSymbolVariantAddReplacement(link->symbolReplacements, "Longer", 6, "B", 1), 0);
  int n = 0;
  EXPECT_EQ(RVTestHead(link, "B`f", &n), 0);
  ASSERT_EQ(RVClearError(link), 1);
  ASSERT_EQ(RVGetFunction(link, &head, &count), 1);
  EXPECT_STREQ(head, "Longer`f");
  EXPECT_EQ(count, 1);
  RVReleaseSymbol(link, head);
}

// A head got in a wide encoding, then given back.
template <class Unit>
int WideHeadGet(QVLink* link, int (*get)(QVLink*, const Unit**, int*, int*), void (*release)(QVLink*, const Unit*)) {
  const Unit* head = nullptr;
  int length = 0;
  const int ok = get(link, &head, &length, nullptr);
  release(link, head);
  return ok;
}

// Heads sent as dictionary codes: known codes compare by name, a null head
// takes any; an unknown code is 53 for every head reader, and a name the
// reader's encoding cannot hold is 2 (7-bit heads: anything beyond ASCII;
// UCS-2 heads: anything beyond the plane).
TEST_F(HeadCallsTest, DictionaryCodedHeads) {
  // 22: a name beyond ASCII; 23: one beyond the plane.
  static const Quorvane::QVRawStringDictionary kSymbols[] = {
      {"List", 20}, {"Gr\xC3\xB6\xC3\x9F" "e", 22}, {"\xF0\x9D\x94\xB8", 23}, {nullptr, 0}};
  // A head get in one encoding; a head handed out is given back.
  const auto seven = [](QVLink* l) {
    const char* h = nullptr;
    const int ok = RVGetFunction(l, &h, nullptr);
    RVReleaseSymbol(l, h);
    return ok;
  };
  const auto ucs2 = [](QVLink* l) { return WideHeadGet(l, RVGetUCS2Function, RVReleaseUCS2Symbol); };
  const auto utf8 = [](QVLink* l) {
    const unsigned char* h = nullptr;
    int n = 0;
    const int ok = RVGetUTF8Function(l, &h, &n, nullptr);
    const bool right = ok == 1 && std::string(reinterpret_cast<const char*>(h), static_cast<size_t>(n)) ==
                                      "\xF0\x9D\x94\xB8";
    RVReleaseUTF8Symbol(l, h, n);
    return ok == 1 && right ? 1 : 0;
  };
  const auto utf32 = [](QVLink* l) { return WideHeadGet(l, RVGetUTF32Function, RVReleaseUTF32Symbol); };
  struct Row {
    const char* name;
    uint16_t code;
    std::function<int(QVLink*)> call;
    int result;
    long error;
  };
  const std::vector<Row> rows = {
      {"test by name", 20, [](QVLink* l) { return RVTestHead(l, "List", nullptr); }, 1, 0},
      {"test another name", 20, [](QVLink* l) { return RVTestHead(l, "f", nullptr); }, 0, 3},
      {"UTF-8 test", 20,
       [](QVLink* l) { return RVTestUTF8Head(l, reinterpret_cast<const unsigned char*>("List"), 4, nullptr); }, 1,
       0},
      {"check, null head, known code", 20,
       [](QVLink* l) { long n = -1; return RVCheckFunctionWithArgCount(l, nullptr, &n); }, 1, 0},
      {"test, null head, known code", 20, [](QVLink* l) { return RVTestHead(l, nullptr, nullptr); }, 1, 0},
      {"UTF-16 test, null head, known code", 20, [](QVLink* l) { return RVTestUTF16Head(l, nullptr, 0, nullptr); },
       1, 0},
      {"check, null head", 21,
       [](QVLink* l) { long n = -1; return RVCheckFunctionWithArgCount(l, nullptr, &n); }, 0, 53},
      {"check, unknown code", 21, [](QVLink* l) { long n = -1; return RVCheckFunction(l, "List", &n); }, 0, 53},
      {"UTF-16 get, unknown code", 21,
       [](QVLink* l) { const unsigned short* h = nullptr; int n = 0; return RVGetUTF16Function(l, &h, &n, &n); }, 0,
       53},
      {"7-bit get, unknown code", 21, seven, 0, 53},
      {"7-bit get, a name beyond ASCII", 22, seven, 0, 2},
      {"check, a name beyond ASCII", 22, [](QVLink* l) { long n = -1; return RVCheckFunction(l, "Gr", &n); }, 0, 2},
      {"UCS-2 get, unknown code", 21, ucs2, 0, 53},
      {"UCS-2 get, a name beyond ASCII", 22, ucs2, 1, 0},
      {"UCS-2 get, a name beyond the plane", 23, ucs2, 0, 2},
      {"UTF-8 get, unknown code", 21, utf8, 0, 53},
      {"UTF-8 get, a name beyond the plane", 23, utf8, 1, 0},
      {"UTF-32 get, unknown code", 21, utf32, 0, 53},
      {"UTF-32 get, a name beyond the plane", 23, utf32, 1, 0},
      {"get", 20,
       [](QVLink* l) {
         const char* h = nullptr;
         const int ok = RVGetFunction(l, &h, nullptr);
         const bool right = h != nullptr && std::string(h) == "List";
         RVReleaseSymbol(l, h);
         return ok == 1 && right ? 1 : 0;
       },
       1, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    devices_.push_back(std::make_unique<ScriptedDevice>());
    QVLink* link = Keep(Scripted(*devices_.back()));
    link->symbolDictionary = Quorvane::QVStringDictionary::initWithRawDictionary(kSymbols);
    // head[7] with the head as a code.
    devices_.back()->WriteBytes(std::string("F\x41\x4F\x41\xE2", 5) + static_cast<char>(row.code) + '\0' + "\n" +
                                std::string("\xE4\x07\x00\x00\x00\n]", 7));
    EXPECT_EQ(row.call(link), row.result);
    EXPECT_EQ(RVError(link), row.error);
    if (row.result == 1) {
      EXPECT_EQ(NextInteger(link), 7);
    }
  }
}

// With the peer gone and the packet still buffered, the link holds 11: a
// test still marks and compares, and a match reads on.
TEST_F(HeadCallsTest, TestsCompareOnALinkWhosePeerClosed) {
  ScriptedDevice device;
  QVLink* link = Keep(Scripted(device));
  // List[1, 2] and f[3], then the peer closes.
  device.WriteBytes(std::string("F\x42#\x47" "A~DList\n\xE4\x01\x00\x00\x00\n\xE4\x02\x00\x00\x00\n]", 25) +
                    std::string("F\x41#\x44" "A~Af\n\xE4\x03\x00\x00\x00\n]", 16));
  device.ClosePeer();
  ASSERT_TRUE(qvtest::WaitUntil([&] {
    RVFill(link);
    return RVError(link) == 11;
  }));
  int count = 0;
  EXPECT_EQ(RVTestHead(link, "List", &count), 1);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(RVError(link), 11);
  EXPECT_EQ(NextInteger(link), 1);
  EXPECT_EQ(NextInteger(link), 2);
  ASSERT_EQ(RVNewPacket(link), 1);
  // A mismatch replaces 11 with 3 and puts the input back.
  EXPECT_EQ(RVTestHead(link, "List", &count), 0);
  EXPECT_EQ(RVError(link), 3);
}

TEST_F(HeadCallsTest, NullLinksAreRefused) {
  const char* head = reinterpret_cast<const char*>(1);
  int count = 4;
  EXPECT_EQ(RVGetFunction(nullptr, &head, &count), 0);
  EXPECT_EQ(head, nullptr);
  EXPECT_EQ(RVTestHead(nullptr, "List", &count), 0);
  long n = 0;
  EXPECT_EQ(RVCheckFunction(nullptr, "List", &n), 0);
  EXPECT_EQ(RVTestUTF8HeadWithArgCount(nullptr, nullptr, 0, nullptr), 0);
}

}  // namespace
