// Allocation hooks: every block is freed by the hook that was current when it
// was allocated, and standard containers go through the hooks too.
#include "utilities/qvobject.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <vector>

namespace {

using Quorvane::QVObject;
using Quorvane::QVStdAllocator;

// Two independent counting allocators, so a test can tell which one freed a block.
template <int Tag>
struct CountingHooks {
  static inline int allocations = 0;
  static inline int frees = 0;
  static void* Alloc(uint64_t n) {
    ++allocations;
    return malloc(n);
  }
  static void Free(void* p) {
    ++frees;
    free(p);
  }
  static void Reset() { allocations = frees = 0; }
};
using HooksA = CountingHooks<1>;
using HooksB = CountingHooks<2>;

struct Widget : QVObject {
  int value = 7;
};

class AllocationHooks : public testing::Test {
 protected:
  void SetUp() override {
    HooksA::Reset();
    HooksB::Reset();
  }
  void TearDown() override { QVObject::InstallDefaultAllocators(); }
};

TEST_F(AllocationHooks, BlockIsFreedByTheHookCurrentAtItsAllocation) {
  QVObject::SetAllocators(HooksA::Alloc, HooksA::Free);
  auto* early = new Widget;
  QVObject::SetAllocators(HooksB::Alloc, HooksB::Free);
  auto* late = new Widget;
  delete early;
  EXPECT_EQ(HooksA::frees, 1);
  EXPECT_EQ(HooksB::frees, 0);
  delete late;
  EXPECT_EQ(HooksB::frees, 1);
  EXPECT_EQ(HooksA::allocations, 1);
  EXPECT_EQ(HooksB::allocations, 1);
}

TEST_F(AllocationHooks, ArrayFormsUseTheHeaderToo) {
  QVObject::SetAllocators(HooksA::Alloc, HooksA::Free);
  auto* many = new Widget[5];
  QVObject::InstallDefaultAllocators();
  EXPECT_EQ(many[4].value, 7);
  delete[] many;
  EXPECT_EQ(HooksA::frees, 1);
}

TEST_F(AllocationHooks, NullStoredHookFreesNothingAndNullDeleteIsHarmless) {
  QVObject::SetAllocators(HooksA::Alloc, nullptr);
  auto* leaked = new Widget;
  QVObject::InstallDefaultAllocators();
  delete leaked;  // header names no deallocator: nothing is freed
  EXPECT_EQ(HooksA::frees, 0);
  // The block is still ours: free it by hand so leak checkers stay quiet.
  free(reinterpret_cast<char*>(leaked) - Quorvane::detail::kHookHeader);
  Widget* none = nullptr;
  delete none;
}

TEST_F(AllocationHooks, DefaultsAreRestoredAndReported) {
  QVObject::SetAllocator(HooksA::Alloc);
  QVObject::SetDeallocator(HooksB::Free);
  EXPECT_EQ(QVObject::GetAllocator(), &HooksA::Alloc);
  EXPECT_EQ(QVObject::GetDeallocator(), &HooksB::Free);
  QVObject::InstallDefaultAllocators();
  EXPECT_EQ(QVObject::GetAllocator(), &Quorvane::qvallocator);
  EXPECT_EQ(QVObject::GetDeallocator(), &Quorvane::qvdeallocator);
  delete new Widget;
  EXPECT_EQ(HooksA::allocations, 0);
}

TEST_F(AllocationHooks, RawAllocateHasNoHeaderAndUsesCurrentHooks) {
  QVObject::SetAllocators(HooksA::Alloc, HooksA::Free);
  void* raw = QVObject::allocate(16);
  ASSERT_NE(raw, nullptr);
  QVObject::deallocate(raw);
  QVObject::deallocate(nullptr);
  EXPECT_EQ(HooksA::allocations, 1);
  EXPECT_EQ(HooksA::frees, 1);
}

TEST_F(AllocationHooks, FailingHookRaisesBadAlloc) {
  QVObject::SetAllocators([](uint64_t) -> void* { return nullptr; }, HooksA::Free);
  EXPECT_THROW(new Widget, std::bad_alloc);
  QVStdAllocator<int> alloc;
  EXPECT_THROW(alloc.allocate(4), std::bad_alloc);
  EXPECT_EQ(QVObject::allocate(8), nullptr);
}

TEST_F(AllocationHooks, ContainersAndStringsAllocateThroughTheHooks) {
  QVObject::SetAllocators(HooksA::Alloc, HooksA::Free);
  {
    std::vector<int, QVStdAllocator<int>> numbers;
    for (int i = 0; i < 1000; ++i) numbers.push_back(i);
    std::map<int, int, std::less<int>, QVStdAllocator<std::pair<const int, int>>> table;
    table[1] = 2;
    Quorvane::QVString text(200, 'x');
    QVObject::InstallDefaultAllocators();  // blocks made above still go back to HooksA
    numbers.push_back(1000);               // a reallocation now uses the defaults
    EXPECT_EQ(text.size(), 200u);
    EXPECT_EQ(numbers[1000], 1000);
  }
  EXPECT_GT(HooksA::allocations, 2);
  EXPECT_EQ(HooksA::allocations, HooksA::frees);
}

TEST(StdAllocator, RefusesSizesThatWouldOverflow) {
  QVStdAllocator<uint64_t> alloc;
  EXPECT_THROW(alloc.allocate(std::numeric_limits<size_t>::max() / 4), std::bad_alloc);
}

}  // namespace
