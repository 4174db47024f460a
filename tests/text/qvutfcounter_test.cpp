// The UTF counter: made and ended through its allocator pair, and cloned with
// its bytes while the source keeps them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "text/qvutfcounter.h"

namespace {

int g_live = 0;
int g_allow = 1 << 30;  // allocations that may still succeed

void* CountingAllocate(uint64_t size) {
  if (g_allow-- <= 0) return nullptr;
  ++g_live;
  return std::malloc(size);
}
void CountingDeallocate(void* p) {
  --g_live;
  std::free(p);
}

class UTFCounter : public ::testing::Test {
 protected:
  void SetUp() override {
    g_live = 0;
    g_allow = 1 << 30;
  }
  void TearDown() override { EXPECT_EQ(g_live, 0) << "blocks not given back"; }
};

TEST_F(UTFCounter, NeedsBothFunctions) {
  EXPECT_EQ(qvutfcounter_new(nullptr, CountingDeallocate), nullptr);
  EXPECT_EQ(qvutfcounter_new(CountingAllocate, nullptr), nullptr);
  qvutfcounter_destroy(nullptr);
}

TEST_F(UTFCounter, StartsEmptyAndEndsThroughItsOwnDeallocate) {
  _qvutfcounter* c = qvutfcounter_new(CountingAllocate, CountingDeallocate);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->bytes, 0);
  EXPECT_EQ(c->characters, 0);
  EXPECT_EQ(c->extra[0], 0);
  EXPECT_EQ(c->extra[1], 0);
  EXPECT_EQ(c->pending.count, 0u);
  ASSERT_NE(c->queue, nullptr);
  EXPECT_EQ(qvqueue_isempty(c->queue), 1);
  qvutfcounter_destroy(c);
}

TEST_F(UTFCounter, FailedQueueGivesTheCounterBack) {
  for (int allow = 0; allow < 3; ++allow) {
    g_allow = allow;
    _qvutfcounter* c = qvutfcounter_new(CountingAllocate, CountingDeallocate);
    if (c != nullptr) qvutfcounter_destroy(c);
    EXPECT_EQ(g_live, 0) << allow;
  }
}

TEST_F(UTFCounter, CloneCopiesBytesTotalsAndPendingCharacter) {
  _qvutfcounter* c = qvutfcounter_new(CountingAllocate, CountingDeallocate);
  ASSERT_NE(c, nullptr);
  std::string text;
  for (int i = 0; i < 3000; ++i) text += "h\xC3\xA9llo ";  // more than one chunk
  ASSERT_EQ(qvqueue_putn(c->queue, text.data(), static_cast<int64_t>(text.size())),
            static_cast<int64_t>(text.size()));
  c->bytes = static_cast<int64_t>(text.size());
  c->characters = 18000;
  c->pending.kind = QV_UNICODE_UTF8;
  c->pending.units[0] = 0xE2;
  c->pending.count = 1;

  _qvutfcounter* copy = qvutfcounter_clone(c);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->bytes, c->bytes);
  EXPECT_EQ(copy->characters, 18000);
  EXPECT_EQ(copy->pending.count, 1u);
  EXPECT_EQ(copy->pending.units[0], 0xE2);
  for (_qvutfcounter* which : {copy, c}) {
    std::string got(text.size() + 10, '\0');
    EXPECT_EQ(qvqueue_getn(which->queue, got.data(), static_cast<int64_t>(got.size())),
              static_cast<int64_t>(text.size()));
    got.resize(text.size());
    EXPECT_EQ(got, text);
  }
  qvutfcounter_destroy(copy);
  qvutfcounter_destroy(c);
}

}  // namespace
