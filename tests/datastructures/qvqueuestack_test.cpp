// The queue stack over a loopback link's plumbing: reads that fall through
// exhausted levels, copies that read independently, the borrowed window given
// back by every operation, marks counted over the levels and the has-data
// notifier.
#include "datastructures/qvqueuestack.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "api/qvstream.h"
#include "support/qvlinkharness.h"
#include "utilities/qvdescriptorconditions.h"

namespace {

using qvtest::LinkPlumbing;

// Records every queue released through the link's dispatcher, and whether a
// window was still lent from it at that moment.
std::vector<_queue*> gReleased;
std::vector<int> gBorrowedAtRelease;

uint64_t CountingDispatch(int operation, useritem_dkt* item, dup_stack* stack) {
  if (operation == DK_RELEASE) {
    auto* queue = static_cast<_queue*>(item->value);
    gReleased.push_back(queue);
    gBorrowedAtRelease.push_back(qvqueue_borrowed(queue));
  }
  return qvtest::LinkQueueDispatch(operation, item, stack);
}

class QueueStack : public testing::Test {
 public:
  void SetUp() override {
    gReleased.clear();
    gBorrowedAtRelease.clear();
    link_ = LinkPlumbing::Loopback();
    ASSERT_NE(link_, nullptr);
  }

  device_kebab* dev() { return link_->device(); }
  qv_queue_stack* qs() { return link_->queues(); }

  // Bytes the bottom level will read: written to the loopback link.
  void WriteBottom(const std::string& bytes) {
    long error = 0;
    ASSERT_EQ(qvs__putn(dev(), link_->base(), bytes.data(), static_cast<int64_t>(bytes.size()), &error),
              static_cast<int64_t>(bytes.size()));
  }

  // A new upper level holding bytes; answers its queue.
  _queue* PushLevel(const std::string& bytes) {
    useritem_dkt* spare = dk__push_preflight(&qs()->stack);
    EXPECT_NE(spare, nullptr);
    *spare = link_->NewQueueItem();
    spare->dispatch = CountingDispatch;
    auto* queue = static_cast<_queue*>(spare->value);
    if (!bytes.empty()) qvqueue_putn(queue, bytes.data(), static_cast<int64_t>(bytes.size()));
    EXPECT_EQ(qvqk__push(qs()), 0);
    return queue;
  }

  // Reads count bytes through the inline reader; any error ends the text.
  std::string ReadInline(qv_queue_stack* stack, size_t count, long* last_error = nullptr) {
    std::string out;
    for (size_t i = 0; i < count; ++i) {
      long error = 0;
      const int c = qvqk_getc_inline(dev(), stack, &error);
      if (last_error != nullptr) *last_error = error;
      if (c < 0) break;
      out.push_back(static_cast<char>(c));
    }
    return out;
  }

  std::unique_ptr<LinkPlumbing> link_;
};

// Levels that run dry, an empty one among them, fall through to the input
// with no error between, each exhausted queue released once.
TEST_F(QueueStack, ReadCrossesLevelsWithoutError) {
  WriteBottom("DE");
  _queue* lowest = PushLevel("C");
  _queue* empty = PushLevel("");
  _queue* top = PushLevel("AB");
  ASSERT_EQ(dk__depth(&qs()->stack), 3);
  std::string got;
  for (int i = 0; i < 5; ++i) {
    long error = -7;
    const int c = qvqk_getc_inline(dev(), qs(), &error);
    ASSERT_GE(c, 0) << "byte " << i << ", error " << error;
    got.push_back(static_cast<char>(c));
  }
  EXPECT_EQ(got, "ABCDE");
  EXPECT_EQ(gReleased, (std::vector<_queue*>{top, empty, lowest}));
  EXPECT_EQ(dk__depth(&qs()->stack), 0);
  EXPECT_EQ(qs()->top, qs()->base);
  long error = 0;
  EXPECT_EQ(qvqk_getc_inline(dev(), qs(), &error), -1);  // loopback with nothing pending
  EXPECT_EQ(error, 25);
}

TEST_F(QueueStack, PeekFallsThroughWithoutConsuming) {
  WriteBottom("Z");
  PushLevel("");
  long error = 0;
  EXPECT_EQ(qvqk_peekc_inline(dev(), qs(), &error), 'Z');
  EXPECT_EQ(dk__depth(&qs()->stack), 0);
  EXPECT_EQ(qvqk_getc_inline(dev(), qs(), &error), 'Z');
  error = -7;
  EXPECT_EQ(qvqk_peekc_inline(dev(), qs(), &error), -1);  // nothing there yet: no error
  EXPECT_EQ(error, 0);
}

TEST_F(QueueStack, GetnCompletesFromBelow) {
  WriteBottom("DEFG");
  _queue* top = PushLevel("ABC");
  EXPECT_EQ(ReadInline(qs(), 1), "A");  // a window is borrowed now
  char buffer[8] = {};
  long error = 0;
  ASSERT_EQ(__qvqk__getn(dev(), qs(), buffer, 5, &error), 5);
  EXPECT_EQ(std::string(buffer, 5), "BCDEF");
  EXPECT_EQ(error, 0);
  EXPECT_EQ(gReleased, std::vector<_queue*>{top});
  EXPECT_EQ(ReadInline(qs(), 1), "G");
  // A short read at the bottom level is answered as it is.
  WriteBottom("H");
  EXPECT_EQ(__qvqk__getn(dev(), qs(), buffer, 4, &error), 1);
  EXPECT_EQ(error, 25);
}

// A copy forks only its top queue at once; reading it to the end forks the
// lower levels as it reaches them and never moves the original.
TEST_F(QueueStack, ReadingACopyLeavesTheOriginalWhereItWas) {
  WriteBottom("0123456789");
  ASSERT_EQ(qvs__flush_(dev(), link_->base()), 0);
  PushLevel("XYZ");
  EXPECT_EQ(ReadInline(qs(), 1), "X");
  qv_queue_stack copy;
  ASSERT_EQ(qvqk__copy_construct(&copy, qs()), 0);
  EXPECT_NE(copy.top, qs()->top);
  EXPECT_EQ(copy.base, qs()->base);  // shared until a pop reaches it
  long error = 0;
  EXPECT_EQ(ReadInline(&copy, 20, &error), "YZ0123456789");
  EXPECT_EQ(error, 25);
  EXPECT_NE(copy.base, qs()->base);
  EXPECT_EQ(ReadInline(qs(), 20), "YZ0123456789");
  qvqk__deconstruct(&copy, nullptr);
}

// pop, push and top give the window back first: nothing stays lent, and the
// queue the window came from holds the unread rest.
TEST_F(QueueStack, NoWindowStaysBorrowed) {
  using Op = void (*)(QueueStack*);
  const std::vector<std::pair<const char*, Op>> ops = {
      {"top", [](QueueStack* t) { qvqk__top(t->qs()); }},
      {"push", [](QueueStack* t) { t->PushLevel("q"); }},
      {"pop", [](QueueStack* t) { EXPECT_EQ(qvqk__pop(t->qs()), 0); }},
  };
  for (const auto& [name, op] : ops) {
    SCOPED_TRACE(name);
    link_.reset();
    SetUp();
    _queue* lower = PushLevel("xy");
    _queue* upper = PushLevel("abc");
    ASSERT_EQ(ReadInline(qs(), 1), "a");
    ASSERT_EQ(qvqueue_borrowed(upper), 1);
    op(this);
    EXPECT_EQ(qs()->window, nullptr);
    EXPECT_EQ(qs()->window_end, nullptr);
    EXPECT_EQ(qvqueue_borrowed(qs()->top), 0);
    if (std::string(name) == "pop") {
      EXPECT_EQ(gBorrowedAtRelease, std::vector<int>{0});
      EXPECT_EQ(qs()->top, lower);
    } else {
      EXPECT_EQ(qvqueue_borrowed(upper), 0);
      EXPECT_EQ(qvqueue_getc(upper), 'b');
    }
  }
}

TEST_F(QueueStack, MarksAreCountedOverAllLevels) {
  WriteBottom("xyz");
  ASSERT_EQ(qvs__flush_(dev(), link_->base()), 0);
  _mark* low = qvqueue_savemark(link_->base());
  _queue* upper = PushLevel("ab");
  _mark* first = qvqueue_savemark(upper);
  EXPECT_EQ(ReadInline(qs(), 1), "a");
  _mark* second = qvqueue_savemark(qvqk__top(qs()));
  EXPECT_EQ(qvqk__outstanding_marks(qs()), 3);
  for (_mark* m : {low, first, second}) qvqueue_discardmark(m);
  EXPECT_EQ(qvqk__outstanding_marks(qs()), 0);
}

// The notifier is reset once the link's input is drained, not while an
// upper level empties with bytes still waiting below. (Bytes taken through
// the borrowed window leave the queue when the window is given back, so the
// slow path is where the reset happens.)
TEST_F(QueueStack, HasDataIsResetWhenTheBottomQueueEmpties) {
  auto* notifier = new Quorvane::QVPipeCondition();
  dev()->has_data = notifier;
  WriteBottom("AB");
  ASSERT_EQ(qvs__flush_(dev(), link_->base()), 0);
  ASSERT_TRUE(notifier->PendingQ());
  PushLevel("X");
  long error = 0;
  EXPECT_EQ(__qvqk__getc(dev(), qs(), &error), 'X');
  EXPECT_EQ(__qvqk__getc(dev(), qs(), &error), 'A');
  EXPECT_TRUE(notifier->PendingQ());
  EXPECT_EQ(__qvqk__getc(dev(), qs(), &error), 'B');
  EXPECT_FALSE(notifier->PendingQ());
  // The same through getn.
  WriteBottom("CD");
  char buffer[2];
  ASSERT_EQ(__qvqk__getn(dev(), qs(), buffer, 2, &error), 2);
  EXPECT_FALSE(notifier->PendingQ());
}

TEST_F(QueueStack, PushedStackIsAQueueStackOfItsOwn) {
  WriteBottom("tail");
  ASSERT_EQ(qvs__flush_(dev(), link_->base()), 0);
  PushLevel("mid");
  useritem_dkt* spare = dk__push_preflight(&qs()->stack);
  *spare = link_->NewQueueItem();
  qvqueue_putn(static_cast<_queue*>(spare->value), "new", 3);
  qv_queue_stack* held = nullptr;
  ASSERT_EQ(qvqk__pushstack(qs(), &held), 0);
  ASSERT_NE(held, nullptr);
  EXPECT_EQ(held->magic, QVQK_MAGIC);
  EXPECT_EQ(held->base, qs()->base);
  EXPECT_EQ(ReadInline(qs(), 10), "newmidtail");
  EXPECT_EQ(ReadInline(held, 10), "midtail");  // its own forks, read on its own
  qvqk__deconstruct(held, nullptr);
}

TEST(QueueStackEnvironment, RefusesMissingFunctions) {
  EXPECT_EQ(qvqk__begin(nullptr), nullptr);
  const qvqk_allocator no_free = {[](void*, uint64_t) -> void* { return nullptr; }, nullptr, nullptr};
  EXPECT_EQ(qvqk__begin(&no_free), nullptr);
  const qvqk_allocator exhausted = {[](void*, uint64_t) -> void* { return nullptr; },
                                    [](void*, void*) {}, nullptr};
  EXPECT_EQ(qvqk__begin(&exhausted), nullptr);
}

}  // namespace
