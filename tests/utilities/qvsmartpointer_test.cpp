#include "utilities/qvsmartpointer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "utilities/qvthreads.h"

namespace {

using Quorvane::QVException;
using Quorvane::QVObject;
using Quorvane::QVSmartPointer;

struct Tracked : QVObject {
  static inline std::atomic<int> destroyed{0};
  ~Tracked() override { destroyed.fetch_add(1); }
};

class SmartPointer : public testing::Test {
 protected:
  void SetUp() override { Tracked::destroyed = 0; }
};

std::string Printed(const QVSmartPointer<Tracked>& p) {
  std::ostringstream out;
  out << p;
  return out.str();
}

TEST_F(SmartPointer, LastOfThreeCopiesDeletesThePointeeOnce) {
  auto* object = new Tracked;
  {
    QVSmartPointer<Tracked> a(object);
    EXPECT_EQ(a.useCount(), 1u);
    {
      QVSmartPointer<Tracked> b(a);
      QVSmartPointer<Tracked> c;
      c = b;
      EXPECT_EQ(a.useCount(), 3u);
      EXPECT_EQ(c.get(), object);
    }
    EXPECT_EQ(Tracked::destroyed, 0);
    EXPECT_EQ(a.useCount(), 1u);
  }
  EXPECT_EQ(Tracked::destroyed, 1);
}

TEST_F(SmartPointer, EmptyHandlesShareNothing) {
  QVSmartPointer<Tracked> empty(nullptr);
  QVSmartPointer<Tracked> copy(empty);
  EXPECT_EQ(copy.get(), nullptr);
  EXPECT_FALSE(copy.hasLockQ());
  EXPECT_EQ(copy.useCount(), 0u);
  EXPECT_EQ(Printed(empty), "<QVSmartPointer></QVSmartPointer>");
}

TEST_F(SmartPointer, AssigningToItselfOrTheSamePointeeKeepsTheCount) {
  QVSmartPointer<Tracked> a(new Tracked);
  QVSmartPointer<Tracked> b(a);
  QVSmartPointer<Tracked>& alias = a;
  a = alias;
  a = b;
  b = a;
  EXPECT_EQ(a.useCount(), 2u);
  EXPECT_EQ(Tracked::destroyed, 0);
}

TEST_F(SmartPointer, AssignmentReleasesTheOldPointee) {
  QVSmartPointer<Tracked> a(new Tracked);
  QVSmartPointer<Tracked> b(new Tracked);
  a = b;
  EXPECT_EQ(Tracked::destroyed, 1);
  EXPECT_EQ(b.useCount(), 2u);
  QVSmartPointer<Tracked> empty;
  b = empty;
  EXPECT_EQ(b.get(), nullptr);
  EXPECT_EQ(a.useCount(), 1u);
}

TEST_F(SmartPointer, PrintsEachSharedFieldAsAnAttribute) {
  auto* object = new Tracked;
  QVSmartPointer<Tracked> a(object);
  QVSmartPointer<Tracked> b(a);
  std::ostringstream pointer;
  pointer << static_cast<const void*>(object);
  EXPECT_EQ(Printed(a), "<QVSmartPointer object=\"" + pointer.str() +
                            "\" refCount=\"2\" ownObject=\"1\" lock=\"\"></QVSmartPointer>");
}

TEST_F(SmartPointer, DeepCopyIsNotImplemented) {
  QVSmartPointer<Tracked> a(new Tracked);
  try {
    a.deepCopy();
    FAIL();
  } catch (QVException& e) {
    EXPECT_EQ(e.getType(), Quorvane::qvexceptiontype::internalError);
    EXPECT_EQ(e.getFile(), "utilities/qvsmartpointer");
    EXPECT_EQ(e.getWhat(), "Unimplemented QVSmartPointer::deepCopy() method");
  }
}

TEST_F(SmartPointer, NonObjectPayloadIsDeletedWithTheStandardDelete) {
  QVSmartPointer<std::set<int>> numbers(new std::set<int>{1, 2, 3});
  QVSmartPointer<std::set<int>> copy(numbers);
  EXPECT_EQ(copy->size(), 3u);
}

// Copies made and dropped on many threads at once must delete the pointee
// exactly once (the ThreadSanitizer build checks the count's locking too).
TEST_F(SmartPointer, CopiesAcrossThreadsDeleteOnce) {
  constexpr int kThreads = 8;
  constexpr int kRounds = 2000;
  {
    QVSmartPointer<Tracked> shared(new Tracked);
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t) {
      workers.emplace_back([shared] {
        for (int i = 0; i < kRounds; ++i) {
          QVSmartPointer<Tracked> local(shared);
          QVSmartPointer<Tracked> other;
          other = local;
        }
      });
    }
    for (auto& w : workers) w.join();
    EXPECT_EQ(shared.useCount(), 1u);
    EXPECT_EQ(Tracked::destroyed, 0);
  }
  EXPECT_EQ(Tracked::destroyed, 1);

  // Handing the last references to threads that drop them concurrently.
  for (int round = 0; round < 50; ++round) {
    Tracked::destroyed = 0;
    std::vector<std::thread> droppers;
    {
      QVSmartPointer<Tracked> origin(new Tracked);
      for (int t = 0; t < 4; ++t) droppers.emplace_back([copy = origin]() mutable { copy = {}; });
    }
    for (auto& d : droppers) d.join();
    EXPECT_EQ(Tracked::destroyed, 1);
  }
}

TEST(MutexHandles, LockedQFollowsLockAndUnlock) {
  Quorvane::QVThreadsFactory factory;
  for (bool recursive : {false, true}) {
    std::unique_ptr<Quorvane::QVMutexHandle> lock(
        factory.CreateUnnamedHandle(Quorvane::QVInProcessMutex, recursive));
    ASSERT_NE(lock, nullptr);
    EXPECT_FALSE(lock->LockedQ());
    EXPECT_TRUE(lock->Lock());
    EXPECT_TRUE(lock->LockedQ());
    if (recursive) {
      EXPECT_TRUE(lock->Lock());
      EXPECT_TRUE(lock->Unlock());
    }
    EXPECT_TRUE(lock->Unlock());
    EXPECT_FALSE(lock->LockedQ());
  }
}

TEST(MutexHandles, ExcludeOtherThreads) {
  std::unique_ptr<Quorvane::QVMutexHandle> lock(
      Quorvane::CreateUnnamedMutexHandle(Quorvane::QVInProcessMutex));
  long counter = 0;
  std::vector<std::thread> workers;
  for (int t = 0; t < 4; ++t) {
    workers.emplace_back([&] {
      for (int i = 0; i < 10000; ++i) {
        Quorvane::QVMutex hold(lock.get());
        ++counter;
      }
    });
  }
  for (auto& w : workers) w.join();
  EXPECT_EQ(counter, 40000);
}

TEST(MutexHandles, SmartMutexHoldsItsOwnReference) {
  Quorvane::QVThreadsFactory factory;
  auto handle = factory.CreateUnnamedHandlePointer(Quorvane::QVInProcessMutex, false);
  ASSERT_NE(handle.get(), nullptr);
  {
    Quorvane::QVSmartMutex hold(handle);
    EXPECT_TRUE(handle->LockedQ());
    EXPECT_EQ(handle.useCount(), 2u);
  }
  EXPECT_FALSE(handle->LockedQ());
  EXPECT_EQ(handle.useCount(), 1u);
  QVSmartPointer<Quorvane::QVMutexHandle> empty;
  try {
    Quorvane::QVSmartMutex refused(empty);
    FAIL();
  } catch (QVException& e) {
    EXPECT_EQ(e.getType(), Quorvane::qvexceptiontype::badArgument);
    EXPECT_EQ(e.getWhat(), "Argument cannot be NULL.");
  }
}

TEST(MutexHandles, UnsupportedKindsMakeNothing) {
  Quorvane::QVThreadsFactory factory;
  Quorvane::QVString name("unused");
  EXPECT_EQ(factory.CreateHandle(name, static_cast<Quorvane::_qvmutex>(7), false), nullptr);
  EXPECT_EQ(factory.CreateHandlePointer(name, static_cast<Quorvane::_qvmutex>(7)).get(), nullptr);
}

}  // namespace
