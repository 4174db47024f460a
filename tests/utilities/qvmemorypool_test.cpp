#include "utilities/qvmemorypool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "utilities/qvexception.h"

using namespace Quorvane;

TEST(MemoryPool, NewPoolIsEmptyAndFirstRequestMakesFourBlocksOfTheSetSize) {
  QVMemoryPool pool;
  EXPECT_EQ(pool.numberOfObjectsInPool(), 0u);
  EXPECT_EQ(pool.numberOfObjectsInPoolInUse(), 0u);
  pool.setNumberOfBytesInPoolObject(592);
  EXPECT_EQ(pool.numberOfObjectsInPool(), 0u);

  const uint64_t token = pool.getTokenForFreeMemoryObject();
  EXPECT_EQ(pool.numberOfObjectsInPool(), 4u);
  EXPECT_EQ(pool.numberOfObjectsInPoolInUse(), 1u);
  unsigned char* block = pool.getMemoryForToken(token);
  ASSERT_NE(block, nullptr);
  std::memset(block, 0xAB, 592);  // the whole block is ours (ASan checks the size)
  // Last in, first out: the highest of the four new tokens comes first.
  const uint64_t next = pool.getTokenForFreeMemoryObject();
  EXPECT_EQ(next, token - 1);
}

TEST(MemoryPool, FifthRequestDoublesThePoolAndReleasedTokenComesBackFirst) {
  QVMemoryPool pool;
  pool.setNumberOfBytesInPoolObject(16);
  std::vector<uint64_t> tokens;
  for (int i = 0; i < 5; ++i) tokens.push_back(pool.getTokenForFreeMemoryObject());
  EXPECT_EQ(pool.numberOfObjectsInPool(), 8u);
  EXPECT_EQ(pool.numberOfObjectsInPoolInUse(), 5u);
  EXPECT_EQ(std::set<uint64_t>(tokens.begin(), tokens.end()).size(), 5u);
  // The fifth is the highest token of the new batch.
  EXPECT_EQ(tokens[4], *std::max_element(tokens.begin(), tokens.end()));

  pool.releaseObject(tokens[2]);
  EXPECT_EQ(pool.getTokenForFreeMemoryObject(), tokens[2]);
}

TEST(MemoryPool, UnknownTokenGivesNullBlock) {
  QVMemoryPool pool;
  const uint64_t token = pool.getTokenForFreeMemoryObject();
  EXPECT_EQ(pool.getMemoryForToken(token + 1000), nullptr);
  EXPECT_EQ(pool.getMemoryForToken(token), nullptr);  // block size 0: no block
}

TEST(MemoryPool, ReleasingATokenThatIsNotOutIsIgnored) {
  QVMemoryPool pool;
  pool.setNumberOfBytesInPoolObject(8);
  const uint64_t a = pool.getTokenForFreeMemoryObject();
  pool.releaseObject(a);
  pool.releaseObject(a);        // twice
  pool.releaseObject(a + 500);  // never in the pool
  EXPECT_EQ(pool.numberOfObjectsInPoolInUse(), 0u);
  // Two requests must give two different blocks, not the doubly released one twice.
  const uint64_t first = pool.getTokenForFreeMemoryObject();
  const uint64_t second = pool.getTokenForFreeMemoryObject();
  EXPECT_NE(first, second);
  EXPECT_NE(pool.getMemoryForToken(first), pool.getMemoryForToken(second));
  EXPECT_EQ(pool.numberOfObjectsInPoolInUse(), 2u);
}

TEST(MemoryPool, SizeCannotChangeWhileABlockIsOut) {
  QVMemoryPool pool;
  pool.setNumberOfBytesInPoolObject(32);
  const uint64_t token = pool.getTokenForFreeMemoryObject();
  try {
    pool.setNumberOfBytesInPoolObject(64);
    FAIL() << "expected an exception";
  } catch (const QVException& e) {
    EXPECT_EQ(e.getType(), qvexceptiontype::internalError);
    EXPECT_EQ(e.getFile(), "utilities/qvmemorypool");
  }
  EXPECT_EQ(pool.getNumberOfBytesInPoolObject(), 32u);
  EXPECT_NE(pool.getMemoryForToken(token), nullptr);

  pool.releaseObject(token);
  pool.setNumberOfBytesInPoolObject(64);  // all back: the pool is remade, same count
  EXPECT_EQ(pool.numberOfObjectsInPool(), 4u);
  EXPECT_EQ(pool.getNumberOfBytesInPoolObject(), 64u);
}

TEST(MemoryPool, ShrinkingDropsHighestTokensAndTheirLaterReleaseIsIgnored) {
  QVMemoryPool pool;
  pool.setNumberOfBytesInPoolObject(8);
  pool.makePool(6);
  const uint64_t highest = pool.getTokenForFreeMemoryObject();
  pool.resizePool(2);
  EXPECT_EQ(pool.numberOfObjectsInPool(), 2u);
  EXPECT_EQ(pool.getMemoryForToken(highest), nullptr);
  pool.releaseObject(highest);
  EXPECT_EQ(pool.numberOfObjectsInPoolInUse(), 0u);
}

TEST(MemoryPool, EqualityAndPrint) {
  QVMemoryPool a;
  QVMemoryPool b;
  EXPECT_TRUE(a == a);
  EXPECT_TRUE(a == b);  // both empty, same size
  b.setNumberOfBytesInPoolObject(4);
  EXPECT_TRUE(a != b);
  std::ostringstream out;
  a.print(out);
  EXPECT_EQ(out.str().rfind("<QVMemoryPool><memoryPool></memoryPool><bytesInEachObject>0"
                            "</bytesInEachObject><theMutexHandle>",
                            0),
            0u);
}

TEST(MemoryPool, InitGivesAnOwningSmartPointer) {
  QVSmartPointer<QVMemoryPool> pool = QVMemoryPool::init();
  ASSERT_NE(pool.get(), nullptr);
  EXPECT_EQ(pool.useCount(), 1u);
  EXPECT_TRUE(pool.ownsObjectQ());
}

// Many threads take blocks from an empty pool at once (so the pool grows under
// contention), mark each block as theirs, check no one else wrote it, and give
// it back. Every block must have exactly one owner at a time.
TEST(MemoryPool, ConcurrentTakeAndReleaseNeverSharesABlock) {
  constexpr int kThreads = 8;
  constexpr int kRounds = 2000;
  constexpr int kHeld = 5;
  QVMemoryPool pool;
  pool.setNumberOfBytesInPoolObject(sizeof(uint64_t) * 4);
  std::atomic<int> clashes{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      while (!go.load()) std::this_thread::yield();
      for (int round = 0; round < kRounds; ++round) {
        uint64_t tokens[kHeld];
        for (auto& token : tokens) {
          token = pool.getTokenForFreeMemoryObject();
          auto* words = reinterpret_cast<uint64_t*>(pool.getMemoryForToken(token));
          if (words == nullptr) {
            ++clashes;
            continue;
          }
          for (int w = 0; w < 4; ++w) words[w] = static_cast<uint64_t>(t) << 32 | round;
        }
        for (uint64_t token : tokens) {
          auto* words = reinterpret_cast<uint64_t*>(pool.getMemoryForToken(token));
          for (int w = 0; words != nullptr && w < 4; ++w) {
            if (words[w] != (static_cast<uint64_t>(t) << 32 | round)) ++clashes;
          }
          pool.releaseObject(token);
        }
      }
    });
  }
  go.store(true);
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(clashes.load(), 0);
  EXPECT_EQ(pool.numberOfObjectsInPoolInUse(), 0u);
  // The pool grew only as far as needed (doubling from 4): at most 64 for 40 held.
  EXPECT_LE(pool.numberOfObjectsInPool(), 64u);
  EXPECT_GE(pool.numberOfObjectsInPool(), 4u);
}
