// RVGetString through the public calls on a loopback link: every token it
// cannot read as text (a function, a function with a symbol head, a string
// or symbol sent as a dictionary code the link does not hold, nothing at all)
// fails with its code and leaves the caller's pointer as it was, as do a
// refusal for a pending error and a null link; what it can read it hands out.
// RVGetNumberAsString, which reads the same tokens, answers null instead.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "quorvane.h"

namespace {

constexpr int kDictionaryString = 81;
constexpr int kDictionarySymbol = 79;

struct Case {
  const char* name;
  std::function<int(QVLink*)> put;
  long code;  // the link's error after the get
};

const std::vector<Case>& WrongTokens() {
  static const std::vector<Case> cases = {
      {"a function", [](QVLink* l) { return RVPutFunction(l, "f", 1) && RVPutInteger32(l, 1); }, 3},
      {"a function with a symbol head",
       [](QVLink* l) { return RVPutComposite(l, 1) && RVPutSymbol(l, "f") && RVPutInteger32(l, 1); }, 3},
      {"a dictionary string the link lacks",
       [](QVLink* l) { return RVPutType(l, kDictionaryString) && RVPutArgCount(l, 1) && RVPutInteger16(l, 999); }, 2},
      {"a dictionary symbol the link lacks",
       [](QVLink* l) { return RVPutType(l, kDictionarySymbol) && RVPutArgCount(l, 1) && RVPutInteger16(l, 30000); },
       2},
      {"nothing to read", [](QVLink*) { return 1; }, 25},
      {"a pending error", [](QVLink* l) { return RVPutString(l, "text") && RVSetError(l, 5); }, 5},
  };
  return cases;
}

class GetStringFailures : public ::testing::Test {
 protected:
  void SetUp() override {
    environment_ = RVInitialize(nullptr);
    ASSERT_NE(environment_, nullptr);
  }
  void TearDown() override { RVDeinitialize(environment_); }

  // A loopback link holding what put wrote.
  QVLink* Holding(const std::function<int(QVLink*)>& put) {
    int error = -1;
    QVLink* link = RVLoopbackOpen(environment_, &error);
    EXPECT_NE(link, nullptr) << error;
    if (link == nullptr) return nullptr;
    EXPECT_EQ(put(link), 1);
    if (RVError(link) == 0) {
      EXPECT_EQ(RVFlush(link), 1);
    }
    return link;
  }

  RVEnvironment* environment_ = nullptr;
};

TEST_F(GetStringFailures, LeaveThePointerAsItWas) {
  static const char kMine[] = "the caller's own";
  for (const Case& c : WrongTokens()) {
    SCOPED_TRACE(c.name);
    QVLink* link = Holding(c.put);
    ASSERT_NE(link, nullptr);
    const char* text = kMine;
    EXPECT_EQ(RVGetString(link, &text), 0);
    EXPECT_EQ(RVError(link), c.code) << RVErrorMessage(link);
    EXPECT_EQ(text, kMine);
    RVClose(link);
  }
  const char* text = kMine;
  EXPECT_EQ(RVGetString(nullptr, &text), 0);
  EXPECT_EQ(text, kMine);
  EXPECT_EQ(RVGetString(nullptr, nullptr), 0);
}

TEST_F(GetStringFailures, TextItCanReadIsHandedOut) {
  struct Readable {
    const char* name;
    std::function<int(QVLink*)> put;
    const char* text;
  };
  const std::vector<Readable> cases = {
      {"a string", [](QVLink* l) { return RVPutString(l, "abc"); }, "abc"},
      {"an integer as its digits", [](QVLink* l) { return RVPutInteger32(l, -17); }, "-17"},
      {"a symbol", [](QVLink* l) { return RVPutSymbol(l, "Global`x"); }, "Global`x"},
  };
  for (const Readable& c : cases) {
    SCOPED_TRACE(c.name);
    QVLink* link = Holding(c.put);
    ASSERT_NE(link, nullptr);
    const char* text = nullptr;
    ASSERT_EQ(RVGetString(link, &text), 1) << RVErrorMessage(link);
    EXPECT_STREQ(text, c.text);
    RVReleaseString(link, text);
    RVClose(link);
  }
}

TEST_F(GetStringFailures, NumberAsStringAnswersNull) {
  for (const Case& c : WrongTokens()) {
    SCOPED_TRACE(c.name);
    QVLink* link = Holding(c.put);
    ASSERT_NE(link, nullptr);
    const char* text = "the caller's own";
    EXPECT_EQ(RVGetNumberAsString(link, &text), 0);
    EXPECT_EQ(text, nullptr);
    RVClose(link);
  }
}

}  // namespace
