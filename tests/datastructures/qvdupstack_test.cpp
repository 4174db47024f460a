// The dup stack against a model: several stacks and held levels driven by long
// random sequences of every operation, items that are heap objects whose
// dispatch copies, keeps or frees them through a counting allocator, and a
// run that fails each allocation of a sequence in turn. Then the edge cases
// one by one.
#include "datastructures/qvdupstack.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <deque>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

// --- counting heap with one armed failure ------------------------------------

struct Heap {
  std::unordered_map<void*, char> live;  // block -> kind ('c' cell, 'h' header, 'k' kit, 'o' item)
  bool armed = false;                    // allocations inside stack operations count
  uint64_t armed_count = 0;
  uint64_t fail_at = 0;  // the armed allocation with this number fails (0: none)
  bool fired = false;
  std::string fault;

  void* Allocate(uint64_t size, char kind) {
    if (armed && ++armed_count == fail_at) {
      fired = true;
      return nullptr;
    }
    void* p = std::malloc(size != 0 ? size : 1);
    live[p] = kind;
    return p;
  }
  void Free(void* p, char kind) {
    auto it = live.find(p);
    if (it == live.end() || it->second != kind) {
      if (fault.empty()) fault = std::string("free of a block not live as kind ") + kind;
      return;
    }
    live.erase(it);
    std::free(p);
  }
  size_t Count(char kind) const {
    size_t n = 0;
    for (const auto& [p, k] : live) n += k == kind ? 1 : 0;
    return n;
  }
};

void* CellAllocate(void* heap, uint64_t size) { return static_cast<Heap*>(heap)->Allocate(size, 'c'); }
void CellFree(void* heap, void* p) {
  // The kit itself comes from the cell allocator.
  auto* h = static_cast<Heap*>(heap);
  auto it = h->live.find(p);
  h->Free(p, it != h->live.end() && it->second == 'k' ? 'k' : 'c');
}
void* HeaderAllocate(void* heap, uint64_t size) { return static_cast<Heap*>(heap)->Allocate(size, 'h'); }
void HeaderFree(void* heap, void* p) { static_cast<Heap*>(heap)->Free(p, 'h'); }

// --- items: heap objects with a label ----------------------------------------

struct Obj {
  int label;
  bool sticky;    // release reports it still holds something
  bool released;  // released and kept, waiting for a dispose or a reuse
  bool prepared;  // filled into a preflight spare by the test
};

struct Items {
  Heap* heap;
  std::vector<const dup_stack*> copies;  // stack argument of every copy
  std::string fault;

  Obj* Make(int label, bool sticky) {
    auto* o = static_cast<Obj*>(heap->Allocate(sizeof(Obj), 'o'));
    if (o != nullptr) *o = Obj{label, sticky, false, false};
    return o;
  }
  void Fault(const char* what) {
    if (fault.empty()) fault = what;
  }
};

uint64_t Dispatch(int operation, useritem_dkt* item, dup_stack* stack) {
  auto* items = static_cast<Items*>(item->data);
  auto* obj = static_cast<Obj*>(item->value);
  if (operation == DK_COPY) {
    items->copies.push_back(stack);
    if (obj == nullptr) return 0;
    item->value = items->Make(obj->label, obj->sticky);
    return item->value != nullptr ? 0 : 8;
  }
  if (obj == nullptr) return 0;
  if (operation == DK_RELEASE) {
    if (obj->released) items->Fault("an item released twice");
    if (obj->sticky) {
      obj->released = true;
      return 1;
    }
  } else if (!obj->released && !obj->prepared) {
    items->Fault("an item disposed without a release");
  }
  items->heap->Free(obj, 'o');
  item->value = nullptr;
  return 0;
}

int Label(const useritem_dkt* item) {
  return item != nullptr && item->value != nullptr ? static_cast<Obj*>(item->value)->label : 0;
}

// --- the model ---------------------------------------------------------------

struct Model {
  std::deque<int> items;   // labels, top first; 0 is a zeroed item
  std::vector<int> levels; // items per level, top level first
  std::deque<int> spares;  // spare items, first first
  bool prepared = false;
};

struct Slot {
  dup_stack stack{};
  Model model;
  bool live = false;
};

struct Held {
  dup_stack* header;
  Model model;
};

class Driver {
 public:
  Driver(uint64_t seed, uint64_t fail_at) : rng_(seed) {
    heap_.fail_at = fail_at;
    items_.heap = &heap_;
    const mempool_dkt pool = {CellAllocate, CellFree, HeaderAllocate, HeaderFree, &heap_};
    kit_ = dk__begin(&pool);
  }

  // Runs the steps, then ends everything; false with error() at the first fault.
  bool Run(int steps) {
    for (int i = 0; i < steps && error_.empty(); ++i) {
      Step();
      CheckAll();
    }
    for (Slot& s : slots_) Deconstruct(s, false);
    while (!held_.empty()) ReleaseHeld(held_.size() - 1, false);
    dk__end(kit_);
    if (error_.empty() && !heap_.live.empty()) {
      error_ = "blocks left: " + std::to_string(heap_.Count('c')) + " cells, " +
               std::to_string(heap_.Count('h')) + " headers, " + std::to_string(heap_.Count('o')) +
               " items, " + std::to_string(heap_.Count('k')) + " kits";
    }
    if (error_.empty() && !heap_.fault.empty()) error_ = heap_.fault;
    if (error_.empty() && !items_.fault.empty()) error_ = items_.fault;
    return error_.empty();
  }

  const std::string& error() const { return error_; }
  uint64_t armed_allocations() const { return heap_.armed_count; }
  bool fired() const { return heap_.fired; }

 private:
  uint64_t Below(uint64_t n) { return rng_() % n; }

  void Fail(const std::string& what) {
    if (error_.empty()) error_ = what + " (step " + std::to_string(step_) + ")";
  }

  // Arms failure injection around one stack operation; true when it failed.
  template <typename F>
  bool Armed(F call) {
    items_.copies.clear();
    const bool before = heap_.fired;
    heap_.armed = true;
    call();
    heap_.armed = false;
    return heap_.fired && !before;
  }

  bool Sticky(int label) const { return sticky_.at(label); }

  // A new item in *item, or a zeroed one now and then.
  void Fill(useritem_dkt* item, bool prepared) {
    if (Below(8) == 0) {
      clearUserItem(item);
      return;
    }
    const int label = ++labels_;
    sticky_[label] = Below(3) == 0;
    Obj* o = items_.Make(label, sticky_[label]);
    o->prepared = prepared;
    *item = useritem_dkt{o, &items_, Dispatch};
  }

  // The test takes an item back that the stack handed to it for good.
  void TakeOwnership(useritem_dkt* item) { freeItem(item); }

  void Step() {
    ++step_;
    const size_t i = Below(slots_.size());
    Slot& s = slots_[i];
    if (!s.live) return Below(4) == 0 && !held_.empty() ? CopyFromHeld(s) : Construct(s);
    switch (Below(16)) {
      case 0: case 1: case 2: return Push(s);
      case 3: case 4: return Preflight(s);
      case 5: case 6: case 7: case 8: return Pop(s);
      case 9: return Assign(s, slots_[Below(slots_.size())]);
      case 10: return CopyInto(s);
      case 11: return PushStack(s, Below(2) == 0);
      case 12: return Deconstruct(s, Below(2) == 0);
      case 13: return held_.empty() ? Pop(s) : ReleaseHeld(Below(held_.size()), Below(2) == 0);
      default: return Below(2) == 0 ? Push(s) : Pop(s);
    }
  }

  void Construct(Slot& s) {
    useritem_dkt* bottom = nullptr;
    if (Armed([&] { bottom = dk__construct(kit_, &s.stack); })) {
      if (bottom != nullptr || s.stack.error != 8) Fail("construct: failure not reported");
      return;
    }
    Fill(bottom, false);
    s.model = Model{{Label(bottom)}, {1}, {}, false};
    s.live = true;
  }

  void Push(Slot& s) {
    useritem_dkt* top = nullptr;
    if (Armed([&] { top = dk__push(&s.stack); })) return ExpectUnchangedFailure(s, top, "push");
    Model& m = s.model;
    const int expected = m.spares.empty() ? 0 : m.spares.front();
    if (!m.spares.empty()) m.spares.pop_front();
    if (Label(top) != expected) Fail("push: not the first spare's item");
    if (!items_.copies.empty()) Fail("push: copied an item");
    Reuse(top);
    if (!hasValue(top) && top != nullptr) Fill(top, false);
    m.items.push_front(Label(top));
    ++m.levels[0];
    m.prepared = false;
  }

  void Reuse(useritem_dkt* item) {
    if (!hasValue(item)) return;
    auto* o = static_cast<Obj*>(item->value);
    o->released = false;
    o->prepared = false;
  }

  void Preflight(Slot& s) {
    useritem_dkt* spare = nullptr;
    if (Armed([&] { spare = dk__push_preflight(&s.stack); })) {
      return ExpectUnchangedFailure(s, spare, "preflight");
    }
    Model& m = s.model;
    if (m.spares.empty()) m.spares.push_front(0);
    if (Label(spare) != m.spares.front()) Fail("preflight: not the first spare's item");
    if (hasValue(spare) && Below(2) == 0) {
      static_cast<Obj*>(spare->value)->prepared = true;  // reused as it is
    } else {
      if (hasValue(spare)) Dispatch(DK_DISPOSE, spare, nullptr);
      Fill(spare, true);
    }
    m.spares.front() = Label(spare);
    m.prepared = true;
    if (Below(2) == 0) Push(s);
  }

  void Pop(Slot& s) {
    Model& m = s.model;
    if (m.items.size() < 2) return;
    const dup_stack* parent = s.stack.parent;
    useritem_dkt* top = nullptr;
    if (Armed([&] { top = dk__pop(&s.stack); })) return ExpectUnchangedFailure(s, top, "pop");
    for (const dup_stack* arg : items_.copies) {
      if (arg != nullptr && arg != parent) Fail("pop: copy called with a foreign stack");
    }
    if (items_.copies.size() > 1) Fail("pop: more than one copy");
    const int old = m.items.front();
    m.items.pop_front();
    if (m.levels[0] > 1) {
      --m.levels[0];
      if ((old == 0 || Sticky(old)) && !m.prepared) m.spares.push_front(old);
    } else {
      m.levels.erase(m.levels.begin());
    }
    if (Label(top) != m.items.front()) Fail("pop: wrong new top");
  }

  void CopyModel(Model& to, const Model& from) { to = Model{from.items, from.levels, {}, false}; }

  void CopyInto(Slot& from) {
    for (Slot& to : slots_) {
      if (!to.live) return CopyConstruct(to, &from.stack, from.model);
    }
  }

  void CopyFromHeld(Slot& to) {
    Held& h = held_[Below(held_.size())];
    CopyConstruct(to, h.header, h.model);
  }

  void CopyConstruct(Slot& to, const dup_stack* source, const Model& model) {
    useritem_dkt* top = nullptr;
    const bool failed = Armed([&] { top = dk__copy_construct(&to.stack, source); });
    if (failed) {
      if (top != nullptr || to.stack.error != 8 || to.stack.magic == DK_MAGIC) {
        Fail("copy: failure not reported");
      }
      return;
    }
    // Zeroed items have no dispatch function to call.
    const std::vector<const dup_stack*> expected =
        model.items.front() != 0 ? std::vector<const dup_stack*>{source} : std::vector<const dup_stack*>{};
    if (items_.copies != expected) Fail("copy: not one copy with the source");
    CopyModel(to.model, model);
    to.live = true;
  }

  void Assign(Slot& to, Slot& from) {
    if (!from.live) return;
    const Model model = from.model;
    useritem_dkt* top = nullptr;
    // A failure while the old content is torn down (after the copy) is
    // absorbed by the teardown: the assignment still succeeds.
    const bool failed = Armed([&] { top = dk__assign(&to.stack, &from.stack); });
    if (top == nullptr) {
      if (!failed) Fail("assign: null without a failure");
      return ExpectUnchangedFailure(to, top, "assign");
    }
    if (model.items.front() != 0 && (items_.copies.empty() || items_.copies[0] != &from.stack)) {
      Fail("assign: top not copied from the source");
    }
    CopyModel(to.model, model);
  }

  void PushStack(Slot& s, bool hold) {
    dup_stack* lower = nullptr;
    useritem_dkt* top = nullptr;
    if (Armed([&] { top = dk__pushstack(&s.stack, hold ? &lower : nullptr); })) {
      return ExpectUnchangedFailure(s, top, "pushstack");
    }
    Model& m = s.model;
    if (hold) held_.push_back(Held{lower, Model{m.items, m.levels, {}, false}});
    const int expected = m.spares.empty() ? 0 : m.spares.front();
    if (!m.spares.empty()) m.spares.pop_front();
    if (Label(top) != expected) Fail("pushstack: not the first spare's item");
    Reuse(top);
    if (!hasValue(top)) Fill(top, false);
    m.items.push_front(Label(top));
    m.levels.insert(m.levels.begin(), 1);
  }

  void Deconstruct(Slot& s, bool take_bottom) {
    if (!s.live) return;
    useritem_dkt out{reinterpret_cast<void*>(1), nullptr, nullptr};
    const bool failed = Armed([&] { dk__deconstruct(&s.stack, take_bottom ? &out : nullptr); });
    s.live = false;
    if (s.stack.magic != 0) Fail("deconstruct: magic left");
    if (!take_bottom) return;
    if (failed) {
      if (out.value != nullptr || out.dispatch != nullptr) Fail("deconstruct: out not cleared");
      return;
    }
    if (Label(&out) != s.model.items.back()) Fail("deconstruct: not the bottom item handed out");
    TakeOwnership(&out);
  }

  void ReleaseHeld(size_t index, bool take_bottom) {
    Held h = held_[index];
    held_.erase(held_.begin() + static_cast<long>(index));
    const bool shared = h.header->references >= 2;
    useritem_dkt out{reinterpret_cast<void*>(1), nullptr, nullptr};
    const bool failed = Armed([&] { dk__deconstruct(h.header, take_bottom ? &out : nullptr); });
    if (!take_bottom) return;
    if (shared || failed) {
      if (out.value != nullptr) Fail("held level: out not cleared");
      return;
    }
    if (Label(&out) != h.model.items.back()) Fail("held level: not the bottom item handed out");
    TakeOwnership(&out);
  }

  void ExpectUnchangedFailure(Slot& s, const useritem_dkt* result, const char* what) {
    if (result != nullptr || s.stack.error != 8) Fail(std::string(what) + ": failure not reported");
  }

  // Every live stack and held level against its model, without changing it.
  void CheckAll() {
    for (Slot& s : slots_) {
      if (s.live) Check(&s.stack, s.model, "stack");
    }
    for (Held& h : held_) Check(h.header, h.model, "held level");
    if (!heap_.fault.empty()) Fail(heap_.fault);
    if (!items_.fault.empty()) Fail(items_.fault);
  }

  void Check(dup_stack* stack, const Model& m, const char* what) {
    std::vector<int> seen;
    dk__visit(stack, [](useritem_dkt* item, void* out) {
      static_cast<std::vector<int>*>(out)->push_back(Label(item));
    }, &seen);
    if (seen != std::vector<int>(m.items.begin(), m.items.end())) Fail(std::string(what) + ": items differ");
    if (dk__depth(stack) != static_cast<long>(m.items.size()) - 1) Fail(std::string(what) + ": depth");
    if (Label(dk__top(stack)) != m.items.front()) Fail(std::string(what) + ": top");
    if (Label(dk__bottom(stack)) != m.items.back()) Fail(std::string(what) + ": bottom");
    if (stack->magic != DK_MAGIC) Fail(std::string(what) + ": magic");
  }

  std::mt19937_64 rng_;
  Heap heap_;
  Items items_;
  globals_dkt* kit_ = nullptr;
  std::vector<Slot> slots_ = std::vector<Slot>(4);
  std::vector<Held> held_;
  std::unordered_map<int, bool> sticky_;
  int labels_ = 0;
  int step_ = 0;
  std::string error_;
};

TEST(DupStackModel, LongRandomSequences) {
  for (uint64_t seed = 1; seed <= 12; ++seed) {
    Driver driver(seed, 0);
    ASSERT_TRUE(driver.Run(20000)) << "seed " << seed << ": " << driver.error();
  }
}

// Each allocation of a sequence fails in turn (the copies the items make
// included): the operation answers null with error 8 and leaves the stack as
// it was, a deconstruct still frees everything, and the sequence goes on.
TEST(DupStackModel, FailureAtEveryAllocation) {
  for (uint64_t seed = 101; seed <= 106; ++seed) {
    Driver plain(seed, 0);
    ASSERT_TRUE(plain.Run(160)) << "seed " << seed << ": " << plain.error();
    const uint64_t total = plain.armed_allocations();
    ASSERT_GT(total, 50u);
    for (uint64_t k = 1; k <= total; ++k) {
      Driver driver(seed, k);
      ASSERT_TRUE(driver.Run(160)) << "seed " << seed << ", allocation " << k << ": " << driver.error();
      ASSERT_TRUE(driver.fired()) << "seed " << seed << ", allocation " << k;
    }
  }
}

// --- edge cases -----------------------------------------------------------------

class DupStack : public testing::Test {
 protected:
  void SetUp() override {
    items_.heap = &heap_;
    const mempool_dkt pool = {CellAllocate, CellFree, HeaderAllocate, HeaderFree, &heap_};
    kit_ = dk__begin(&pool);
    ASSERT_NE(kit_, nullptr);
  }
  void TearDown() override {
    dk__end(kit_);
    EXPECT_TRUE(heap_.live.empty()) << heap_.live.size() << " blocks left";
    EXPECT_EQ(heap_.fault, "");
    EXPECT_EQ(items_.fault, "");
  }

  void Set(useritem_dkt* item, int label, bool sticky = false) {
    *item = useritem_dkt{items_.Make(label, sticky), &items_, Dispatch};
  }
  // A stack of the labels, bottom first.
  void Build(dup_stack* s, std::vector<int> labels) {
    Set(dk__construct(kit_, s), labels[0]);
    for (size_t i = 1; i < labels.size(); ++i) Set(dk__push(s), labels[i]);
  }
  std::vector<int> Labels(dup_stack* s) {
    std::vector<int> seen;
    dk__visit(s, [](useritem_dkt* item, void* out) {
      static_cast<std::vector<int>*>(out)->push_back(Label(item));
    }, &seen);
    return seen;
  }

  Heap heap_;
  Items items_;
  globals_dkt* kit_ = nullptr;
};

TEST_F(DupStack, FreshStackHasOneZeroedItem) {
  dup_stack s;
  useritem_dkt* bottom = dk__construct(kit_, &s);
  ASSERT_NE(bottom, nullptr);
  EXPECT_EQ(s.magic, DK_MAGIC);
  EXPECT_EQ(dk__depth(&s), 0);
  EXPECT_EQ(dk__top(&s), bottom);
  EXPECT_EQ(dk__bottom(&s), bottom);
  EXPECT_EQ(hasValue(bottom), 0);
  EXPECT_EQ(bottom->dispatch, nullptr);
  EXPECT_EQ(dk__pop(&s), nullptr);  // nothing below: refused, nothing recorded
  EXPECT_EQ(s.error, 0);
  dk__deconstruct(&s, nullptr);
  EXPECT_EQ(s.magic, 0u);
  EXPECT_EQ(dk__depth(&s), -1);
  EXPECT_EQ(dk__depth(nullptr), -1);
}

// Each copy gets its own items: the top copied with the source stack, shared
// cells copied with none when popped, the last holder of a cell takes it.
TEST_F(DupStack, CopiesDuplicateEachItemOnce) {
  dup_stack s, t;
  Build(&s, {1, 2, 3});
  ASSERT_NE(dk__copy_construct(&t, &s), nullptr);
  ASSERT_EQ(items_.copies, std::vector<const dup_stack*>{&s});
  items_.copies.clear();
  ASSERT_NE(dk__pop(&s), nullptr);
  ASSERT_NE(dk__pop(&s), nullptr);
  EXPECT_EQ(items_.copies, (std::vector<const dup_stack*>{nullptr, nullptr}));
  items_.copies.clear();
  ASSERT_NE(dk__pop(&t), nullptr);
  ASSERT_NE(dk__pop(&t), nullptr);
  EXPECT_TRUE(items_.copies.empty());
  EXPECT_EQ(Labels(&s), std::vector<int>{1});
  EXPECT_EQ(Labels(&t), std::vector<int>{1});
  EXPECT_NE(dk__top(&s)->value, dk__top(&t)->value);
  dk__deconstruct(&s, nullptr);
  dk__deconstruct(&t, nullptr);
}

// Popping past a pushed level brings it back: moved when this stack alone
// holds it, copied (with the level as the stack) when the caller holds it too.
TEST_F(DupStack, PushedLevelComesBackMovedOrCopied) {
  for (bool hold : {false, true}) {
    SCOPED_TRACE(hold ? "held" : "not held");
    dup_stack s;
    Build(&s, {1, 2, 3});
    dup_stack* lower = nullptr;
    Set(dk__pushstack(&s, hold ? &lower : nullptr), 4);
    EXPECT_EQ(dk__depth(&s), 3);
    EXPECT_EQ(Labels(&s), (std::vector<int>{4, 3, 2, 1}));
    items_.copies.clear();
    ASSERT_NE(dk__pop(&s), nullptr);
    EXPECT_EQ(Labels(&s), (std::vector<int>{3, 2, 1}));
    EXPECT_EQ(items_.copies, hold ? std::vector<const dup_stack*>{lower} : std::vector<const dup_stack*>{});
    if (hold) {
      EXPECT_EQ(Labels(lower), (std::vector<int>{3, 2, 1}));
      useritem_dkt out;
      dk__deconstruct(lower, &out);
      EXPECT_EQ(Label(&out), 1);  // the last holder takes the bottom
      freeItem(&out);
    }
    dk__deconstruct(&s, nullptr);
  }
}

TEST_F(DupStack, KeptItemIsReusedByTheNextPushUnlessPreflighted) {
  dup_stack s;
  Set(dk__construct(kit_, &s), 1);
  Set(dk__push(&s), 2, /*sticky=*/true);
  void* kept = dk__top(&s)->value;
  ASSERT_NE(dk__pop(&s), nullptr);  // its release left something: kept as a spare
  useritem_dkt* again = dk__push(&s);
  ASSERT_EQ(again->value, kept);
  static_cast<Obj*>(again->value)->released = false;
  // With a preflight pending, a kept item is disposed of at once.
  useritem_dkt* spare = dk__push_preflight(&s);
  ASSERT_EQ(hasValue(spare), 0);
  Set(spare, 5);
  static_cast<Obj*>(spare->value)->prepared = true;
  ASSERT_NE(dk__pop(&s), nullptr);
  EXPECT_EQ(heap_.Count('o'), 2u);
  EXPECT_EQ(Label(dk__push(&s)), 5);
  dk__deconstruct(&s, nullptr);
}

TEST_F(DupStack, DeconstructHandsOverTheBottomWithoutDisposing) {
  dup_stack s;
  Build(&s, {7, 8});
  useritem_dkt out;
  dk__deconstruct(&s, &out);
  ASSERT_EQ(Label(&out), 7);
  EXPECT_FALSE(static_cast<Obj*>(out.value)->released);
  freeItem(&out);
}

TEST_F(DupStack, KitNeedsBothCellFunctions) {
  mempool_dkt pool = {CellAllocate, nullptr, HeaderAllocate, HeaderFree, &heap_};
  EXPECT_EQ(dk__begin(&pool), nullptr);
  pool = {nullptr, CellFree, HeaderAllocate, HeaderFree, &heap_};
  EXPECT_EQ(dk__begin(&pool), nullptr);
  EXPECT_EQ(dk__begin(nullptr), nullptr);
  mempool_dkt copy{};
  EXPECT_EQ(dk__mempool(kit_, &copy), &copy);
  EXPECT_EQ(copy.header_deallocate, HeaderFree);
  EXPECT_EQ(copy.context, &heap_);
}

// A failed copy while popping into a level the caller also holds: the pop
// answers null with the code, and the stack is unchanged and ends cleanly.
TEST_F(DupStack, FailedCopyIntoSharedLevelLeavesTheStackWhole) {
  dup_stack s;
  Build(&s, {1, 2});
  dup_stack* lower = nullptr;
  Set(dk__pushstack(&s, &lower), 3);
  heap_.armed = true;
  heap_.fail_at = heap_.armed_count + 2;  // the cell succeeds, the item's copy fails
  EXPECT_EQ(dk__pop(&s), nullptr);
  heap_.armed = false;
  EXPECT_TRUE(heap_.fired);
  EXPECT_EQ(s.error, 8);
  EXPECT_EQ(Labels(&s), (std::vector<int>{3, 2, 1}));
  dk__deconstruct(&s, nullptr);
  dk__deconstruct(lower, nullptr);
}

}  // namespace
