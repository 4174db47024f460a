#include "api/qvmempool.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

namespace {

// An allocator pair over the heap that records every request and can be told
// to refuse the next few; plain function pointers, so its state is global.
struct AllocatorLog {
  std::vector<uint64_t> requests;
  int refusals = 0;
  int frees = 0;
};
AllocatorLog gLog;

void* CountingAllocate(uint64_t size) {
  gLog.requests.push_back(size);
  if (gLog.refusals > 0) {
    --gLog.refusals;
    return nullptr;
  }
  // A request the heap cannot meet fails like exhaustion.
  return size > (uint64_t{1} << 40) ? nullptr : std::malloc(size);
}

void CountingDeallocate(void* block) {
  ++gLog.frees;
  std::free(block);
}

class MemPool : public testing::Test {
 protected:
  void SetUp() override {
    gLog = AllocatorLog{};
    init_mempool(&pool, CountingAllocate, CountingDeallocate);
  }

  uint64_t Header(void* atom) {
    uint64_t stored = 0;
    std::memcpy(&stored, static_cast<unsigned char*>(atom) - 8, sizeof stored);
    return stored;
  }

  mempool_qvt pool{};
};

constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();

}  // namespace

TEST_F(MemPool, PairIsStoredAndReadBack) {
  EXPECT_EQ(GetAllocator(&pool), &CountingAllocate);
  EXPECT_EQ(GetDeallocator(&pool), &CountingDeallocate);
  EXPECT_EQ(release_mempool(&pool), &CountingDeallocate);
  EXPECT_EQ(GetAllocator(nullptr), nullptr);
  EXPECT_EQ(GetDeallocator(nullptr), nullptr);
  EXPECT_EQ(AllocCheck(), 0);
}

TEST_F(MemPool, GeneralAllocOfZeroAsksForOneByte) {
  void* block = GeneralAlloc(&pool, 0, nullptr);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(gLog.requests, std::vector<uint64_t>{1});
  GeneralDealloc(&pool, block, nullptr);
  EXPECT_EQ(gLog.frees, 1);
  GeneralDealloc(&pool, nullptr, nullptr);  // nothing reaches the deallocator
  EXPECT_EQ(gLog.frees, 1);
}

TEST_F(MemPool, AtomSizesAreRoundedToEightWithTheCapacityInFront) {
  struct Case {
    uint64_t size;
    uint64_t capacity;
  };
  for (const Case& c : {Case{13, 16}, Case{0, 0}, Case{1, 8}, Case{8, 8}, Case{9, 16}, Case{4096, 4096}}) {
    SCOPED_TRACE(c.size);
    gLog.requests.clear();
    uint64_t capacity = 12345;
    void* atom = AllocAtom(&pool, c.size, &capacity, nullptr);
    ASSERT_NE(atom, nullptr);
    EXPECT_EQ(capacity, c.capacity);
    EXPECT_EQ(gLog.requests, std::vector<uint64_t>{c.capacity + 8});
    EXPECT_EQ(Header(atom), c.capacity);
    EXPECT_EQ(AtomCapacity(atom), c.capacity);
    std::memset(atom, 0x5A, c.capacity);  // the whole capacity is usable (ASan)
    DeallocAtom(&pool, atom, nullptr);
  }
  void* without_output = AllocAtom(&pool, 3, nullptr, nullptr);  // the capacity output may be null
  EXPECT_NE(without_output, nullptr);
  DeallocAtom(&pool, without_output, nullptr);
}

TEST_F(MemPool, AtomSizesThatOverflowAnswerNullWithoutAllocating) {
  // Rounding up or adding the 8-byte header would wrap; the block could never
  // hold the header, so nothing is asked of the allocator at all.
  for (uint64_t size : {kMax, kMax - 6, kMax - 7, kMax - 8, kMax - 14}) {
    SCOPED_TRACE(size);
    gLog.requests.clear();
    uint64_t capacity = 12345;
    EXPECT_EQ(AllocAtom(&pool, size, &capacity, nullptr), nullptr);
    EXPECT_EQ(capacity, 0u);
    EXPECT_TRUE(gLog.requests.empty());
  }
  // The largest size that still fits is asked for as it is (and refused here).
  gLog.requests.clear();
  uint64_t capacity = 0;
  EXPECT_EQ(AllocAtom(&pool, kMax - 15, &capacity, nullptr), nullptr);
  EXPECT_EQ(capacity, kMax - 15);
  EXPECT_EQ(gLog.requests, (std::vector<uint64_t>{kMax - 7, kMax - 7}));
}

TEST_F(MemPool, ReallocGrowsOnlyWhenTheCapacityIsNotGreater) {
  uint64_t capacity = 0;
  auto* atom = static_cast<unsigned char*>(AllocAtom(&pool, 16, &capacity, nullptr));
  ASSERT_NE(atom, nullptr);
  for (int i = 0; i < 16; ++i) atom[i] = static_cast<unsigned char>(i + 1);

  // Size 15 fits: the same atom, its capacity reported.
  capacity = 0;
  EXPECT_EQ(ReallocAtom(&pool, atom, 15, &capacity, nullptr), atom);
  EXPECT_EQ(capacity, 16u);
  EXPECT_EQ(gLog.frees, 0);

  // Size 16 equals the capacity: a new atom of capacity 16 with the bytes.
  auto* same_size = static_cast<unsigned char*>(ReallocAtom(&pool, atom, 16, &capacity, nullptr));
  ASSERT_NE(same_size, nullptr);
  EXPECT_EQ(capacity, 16u);
  EXPECT_EQ(Header(same_size), 16u);
  EXPECT_EQ(gLog.frees, 1);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(same_size[i], i + 1);

  auto* grown = static_cast<unsigned char*>(ReallocAtom(&pool, same_size, 100, &capacity, nullptr));
  ASSERT_NE(grown, nullptr);
  EXPECT_EQ(capacity, 104u);
  EXPECT_EQ(Header(grown), 104u);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(grown[i], i + 1);
  std::memset(grown, 0, 104);

  // An atom never shrinks.
  EXPECT_EQ(ReallocAtom(&pool, grown, 3, &capacity, nullptr), grown);
  EXPECT_EQ(capacity, 104u);
  DeallocAtom(&pool, grown, nullptr);
  EXPECT_EQ(gLog.frees, 3);
  DeallocAtom(&pool, nullptr, nullptr);
  EXPECT_EQ(gLog.frees, 3);
}

TEST_F(MemPool, ReallocOfNullIsAlloc) {
  uint64_t capacity = 0;
  void* atom = ReallocAtom(&pool, nullptr, 13, &capacity, nullptr);
  ASSERT_NE(atom, nullptr);
  EXPECT_EQ(capacity, 16u);
  EXPECT_EQ(gLog.requests, std::vector<uint64_t>{24});
  DeallocAtom(&pool, atom, nullptr);
}

TEST_F(MemPool, FailedReallocKeepsTheOldAtomAndItsCapacity) {
  uint64_t capacity = 0;
  auto* atom = static_cast<unsigned char*>(AllocAtom(&pool, 8, &capacity, nullptr));
  ASSERT_NE(atom, nullptr);
  std::memcpy(atom, "kept!!!", 8);
  for (uint64_t size : {uint64_t{64}, kMax}) {
    SCOPED_TRACE(size);
    gLog.refusals = 2;
    EXPECT_EQ(ReallocAtom(&pool, atom, size, &capacity, nullptr), nullptr);
    EXPECT_EQ(capacity, 8u);
    EXPECT_EQ(Header(atom), 8u);
    EXPECT_STREQ(reinterpret_cast<char*>(atom), "kept!!!");
  }
  EXPECT_EQ(gLog.frees, 0);
  DeallocAtom(&pool, atom, nullptr);
}

// Every entry point survives one refusal by asking once more, and gives up
// after the second.
TEST_F(MemPool, OneRetryAfterARefusal) {
  struct EntryPoint {
    std::string name;
    std::function<void*(mempool_qvt*)> call;
    uint64_t asked;
  };
  void* old_atom = nullptr;
  const std::vector<EntryPoint> entries = {
      {"GeneralAlloc", [](mempool_qvt* p) { return GeneralAlloc(p, 40, nullptr); }, 40},
      {"general_push", [](mempool_qvt* p) { return general_push(p, 7); }, 7},
      {"AllocAtom", [](mempool_qvt* p) { return AllocAtom(p, 20, nullptr, nullptr); }, 32},
      {"ReallocAtom(null)", [](mempool_qvt* p) { return ReallocAtom(p, nullptr, 5, nullptr, nullptr); }, 16},
      {"ReallocAtom(grow)", [&](mempool_qvt* p) { return ReallocAtom(p, old_atom, 9, nullptr, nullptr); }, 24},
  };
  for (const EntryPoint& entry : entries) {
    SCOPED_TRACE(entry.name);
    for (int refusals : {1, 2}) {
      old_atom = AllocAtom(&pool, 8, nullptr, nullptr);
      ASSERT_NE(old_atom, nullptr);
      gLog.requests.clear();
      gLog.refusals = refusals;
      void* block = entry.call(&pool);
      EXPECT_EQ(gLog.requests, (std::vector<uint64_t>{entry.asked, entry.asked}));
      if (refusals == 1) {
        ASSERT_NE(block, nullptr);
        if (entry.name == "GeneralAlloc" || entry.name == "general_push") {
          general_pop(&pool, block);
        } else {
          DeallocAtom(&pool, block, nullptr);
        }
      } else {
        EXPECT_EQ(block, nullptr);
      }
      if (block == nullptr || entry.name != "ReallocAtom(grow)") DeallocAtom(&pool, old_atom, nullptr);
    }
  }
}

TEST_F(MemPool, NoAllocatorAnswersNull) {
  mempool_qvt empty{};
  EXPECT_EQ(GeneralAlloc(&empty, 8, nullptr), nullptr);
  EXPECT_EQ(GeneralAlloc(nullptr, 8, nullptr), nullptr);
  uint64_t capacity = 0;
  EXPECT_EQ(AllocAtom(nullptr, 8, &capacity, nullptr), nullptr);
  GeneralDealloc(nullptr, &capacity, nullptr);  // no deallocator: nothing happens
}

TEST(MemPoolHeap, InternalAdaptersAreAPair) {
  void* block = internal_quorvane_allocator(32);
  ASSERT_NE(block, nullptr);
  std::memset(block, 1, 32);
  internal_quorvane_deallocator(block);
}

// Over the process heap's own pair an atom grows without the caller's pair
// seeing it: below a megabyte on the heap, above it as a mapping of its own
// whose capacity is all of it. At every step, across both, the bytes written
// stay, the header tells the capacity, and a large atom given back is handed
// out again for the next one (and the last environment's end gives it back).
TEST(MemPoolOnTheHeap, AtomsGrowAcrossHeapAndMappingKeepingTheirBytes) {
  mempool_qvt heap{};
  init_mempool(&heap, internal_quorvane_allocator, internal_quorvane_deallocator);
  uint64_t capacity = 0;
  auto* atom = static_cast<unsigned char*>(AllocAtom(&heap, 20, &capacity, nullptr));
  ASSERT_NE(atom, nullptr);
  uint64_t written = 0;
  const auto fill = [&](uint64_t to) {
    for (; written < to; ++written) atom[written] = static_cast<unsigned char>(written * 7 + (written >> 12));
  };
  fill(capacity);
  for (const uint64_t size : {uint64_t{4000}, uint64_t{700000}, uint64_t{1} << 20, uint64_t{3} << 20,
                              uint64_t{40} << 20}) {
    SCOPED_TRACE(size);
    auto* grown = static_cast<unsigned char*>(ReallocAtom(&heap, atom, size, &capacity, nullptr));
    ASSERT_NE(grown, nullptr);
    EXPECT_GE(capacity, size);
    EXPECT_EQ(AtomCapacity(grown), capacity);
    atom = grown;
    bool same = true;
    for (uint64_t i = 0; i < written && same; ++i) {
      same = atom[i] == static_cast<unsigned char>(i * 7 + (i >> 12));
    }
    EXPECT_TRUE(same) << "bytes changed in growing";
    fill(capacity);
  }
  // An atom never shrinks, mapped or not.
  EXPECT_EQ(ReallocAtom(&heap, atom, 10, &capacity, nullptr), atom);
  DeallocAtom(&heap, atom, nullptr);

  // The block given back serves the next large atom, whole.
  uint64_t again = 0;
  auto* next = static_cast<unsigned char*>(AllocAtom(&heap, 2 << 20, &again, nullptr));
  ASSERT_NE(next, nullptr);
  EXPECT_EQ(next, atom);
  EXPECT_EQ(again, capacity);
  next[again - 1] = 1;
  DeallocAtom(&heap, next, nullptr);
}
