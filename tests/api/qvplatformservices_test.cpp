// What the link core leans on in the platform services, through the one header
// it reaches them by.
#include "api/qvplatformservices.h"

#include <errno.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <string>

#include "support/qvtest.h"

using Quorvane::QVException;
using Quorvane::qvexceptiontype;

namespace {

int gRefusals = 0;
void* RefusingAllocate(uint64_t size) {
  if (gRefusals > 0) {
    --gRefusals;
    return nullptr;
  }
  return std::malloc(size);
}
void Deallocate(void* block) { std::free(block); }

class PlatformQueue : public testing::Test {
 protected:
  void SetUp() override {
    gRefusals = 0;
    ms = qvplatform::qvqueue_new_memstruct(RefusingAllocate, Deallocate);
    ASSERT_NE(ms, nullptr);
  }
  void TearDown() override { qvplatform::qvqueue_destroy_memstruct(ms); }

  // A queue of small chunks holding text.
  _queue* Filled(const std::string& text, uint64_t chunk_size = 4) {
    long status = -1;
    _queue* q = qvplatform::qvqueue_new(ms, nullptr, nullptr, chunk_size, &status);
    EXPECT_EQ(status, 0);
    if (q != nullptr) {
      EXPECT_EQ(qvplatform::qvqueue_putn(q, text.data(), int64_t(text.size())), int64_t(text.size()));
    }
    return q;
  }

  static std::string ReadAll(_queue* q) {
    std::string out;
    for (int c; (c = qvplatform::qvqueue_getc(q)) >= 0;) out.push_back(char(c));
    return out;
  }

  _queue_memstruct* ms = nullptr;
};

}  // namespace

TEST_F(PlatformQueue, ConstructInCallerMemoryAnswersMinusThree) {
  int cookie = 0;
  _queue q{};
  ASSERT_EQ(qvplatform::qvqueue_construct(ms, &q, nullptr, &cookie, 0), -3);
  EXPECT_EQ(qvplatform::qvqueue_userdata(&q), &cookie);
  EXPECT_EQ(q.chunk_size, 4096u) << "flags 0 asks for the default chunk size";
  const std::string bytes(4097, 'x');
  ASSERT_EQ(qvplatform::qvqueue_putn(&q, bytes.data(), 4097), 4097);
  ASSERT_NE(q.shared->first_chunk, nullptr);
  EXPECT_NE(q.shared->first_chunk->next, nullptr) << "4097 bytes need two chunks of 4096";
  EXPECT_EQ(qvplatform::qvqueue_destroy(&q), 1);  // the record itself is ours, not freed

  _queue small{};
  ASSERT_EQ(qvplatform::qvqueue_construct(ms, &small, nullptr, nullptr, 16), -3);
  EXPECT_EQ(small.chunk_size, 16u);
  qvplatform::qvqueue_destroy(&small);

  EXPECT_EQ(qvplatform::qvqueue_construct(nullptr, &q, nullptr, nullptr, 0), -2);
  EXPECT_EQ(qvplatform::qvqueue_construct(ms, nullptr, nullptr, nullptr, 0), -2);
  gRefusals = 1;
  EXPECT_EQ(qvplatform::qvqueue_construct(ms, &q, nullptr, nullptr, 0), -2);
}

TEST_F(PlatformQueue, NewAnswersTheStatusOfEveryFailure) {
  int cookie = 0;
  long status = -1;
  _queue* q = qvplatform::qvqueue_new(ms, nullptr, &cookie, 0, &status);
  ASSERT_NE(q, nullptr);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(qvplatform::qvqueue_userdata(q), &cookie);
  EXPECT_EQ(q->chunk_size, 4096u);
  EXPECT_EQ(qvplatform::qvqueue_get_memstruct(q)->allocate, &RefusingAllocate);
  qvplatform::qvqueue_destroy(q);

  status = -1;
  EXPECT_EQ(qvplatform::qvqueue_new(nullptr, nullptr, nullptr, 0, &status), nullptr);
  EXPECT_EQ(status, 32);
  for (int refusals : {1, 2}) {
    status = -1;
    gRefusals = refusals;
    EXPECT_EQ(qvplatform::qvqueue_new(ms, nullptr, nullptr, 0, &status), nullptr);
    EXPECT_EQ(status, 8);
  }
  gRefusals = 0;
  q = qvplatform::qvqueue_new(ms, nullptr, nullptr, 0, nullptr);  // the status may be left out
  ASSERT_NE(q, nullptr);
  qvplatform::qvqueue_destroy(q);
}

TEST_F(PlatformQueue, ForkReadsIndependentlyFromTheReadPosition) {
  _queue* q = Filled("abcdefghij");
  ASSERT_NE(q, nullptr);
  ASSERT_EQ(qvplatform::qvqueue_getc(q), 'a');
  int error = -1;
  int word = 0;
  _queue* fork = qvplatform::qvqueue_newfork(q, &word, &error);
  ASSERT_NE(fork, nullptr);
  EXPECT_EQ(error, 0);
  EXPECT_EQ(qvplatform::qvqueue_userdata(fork), &word);

  EXPECT_EQ(ReadAll(fork), "bcdefghij");
  EXPECT_EQ(qvplatform::qvqueue_getc(q), 'b') << "the fork's reading does not move the queue";
  char two[2];
  ASSERT_EQ(qvplatform::qvqueue_getn(q, two, 2), 2);
  EXPECT_EQ(std::string(two, 2), "cd");

  // Bytes written later reach both readers; the fork outlives its origin.
  ASSERT_EQ(qvplatform::qvqueue_putn(q, "XY", 2), 2);
  EXPECT_EQ(qvplatform::qvqueue_destroy(q), 1);
  EXPECT_EQ(ReadAll(fork), "XY");
  qvplatform::qvqueue_destroy(fork);
}

TEST_F(PlatformQueue, GetnAnswersTheCountReadAndZeroForNone) {
  _queue* q = Filled("");
  ASSERT_NE(q, nullptr);
  char buffer[8];
  EXPECT_EQ(::qvqueue_getn(q, buffer, 8), -1) << "the platform layer's own answer";
  EXPECT_EQ(qvplatform::qvqueue_getn(q, buffer, 8), 0);
  ASSERT_EQ(qvplatform::qvqueue_putn(q, "hello", 5), 5);
  EXPECT_EQ(qvplatform::qvqueue_getn(q, buffer, 8), 5);  // across two chunks of 4
  EXPECT_EQ(std::string(buffer, 5), "hello");
  EXPECT_EQ(qvplatform::qvqueue_getn(q, buffer, 8), 0);
  EXPECT_EQ(qvplatform::qvqueue_getn(nullptr, buffer, 8), -2);
  qvplatform::qvqueue_destroy(q);
}

TEST_F(PlatformQueue, LendingGivesTheChunkInPlaceAndNullWindowsWhenSwitchedOff) {
  _queue* q = Filled("abcdef");
  ASSERT_NE(q, nullptr);
  ASSERT_EQ(qvplatform::qvqueue_getc(q), 'a');
  unsigned char* start = nullptr;
  unsigned char* end = nullptr;
  qvplatform::qvqueue_borrow_some(q, &start, &end);
  ASSERT_NE(start, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(start), size_t(end - start)), "bcd");
  EXPECT_EQ(qvplatform::qvqueue_getc(q), 'b') << "lending does not move the read position";
  qvplatform::qvqueue_return_rest(q, start + 2);
  EXPECT_EQ(qvplatform::qvqueue_getc(q), 'd');

  qvqueue_disable_borrow(q);
  start = end = reinterpret_cast<unsigned char*>(&start);
  qvplatform::qvqueue_borrow_some(q, &start, &end);
  EXPECT_EQ(start, nullptr);
  EXPECT_EQ(end, nullptr);
  EXPECT_EQ(qvplatform::qvqueue_getc(q), 'e');
  qvplatform::qvqueue_destroy(q);
}

TEST(PlatformPool, BlockSizeIsZeroUntilSetAndCannotChangeWhileABlockIsOut) {
  Quorvane::QVSmartPointer<Quorvane::QVMemoryPool> pool = Quorvane::QVMemoryPool::init();
  ASSERT_TRUE(pool);
  EXPECT_EQ(pool->getNumberOfBytesInPoolObject(), 0u);
  pool->setNumberOfBytesInPoolObject(48);
  EXPECT_EQ(pool->getNumberOfBytesInPoolObject(), 48u);

  const uint64_t token = pool->getTokenForFreeMemoryObject();
  EXPECT_NE(pool->getMemoryForToken(token), nullptr);
  try {
    pool->setNumberOfBytesInPoolObject(64);
    FAIL() << "no exception";
  } catch (const QVException& error) {
    EXPECT_EQ(error.getType(), qvexceptiontype::internalError);
    EXPECT_EQ(static_cast<int>(error.getType()), 1);
    EXPECT_EQ(Quorvane::ToStdString(error.getWhat()),
              "Cannot change size of pool object memory while objects are still in use.");
  }
  EXPECT_EQ(pool->getNumberOfBytesInPoolObject(), 48u);
  pool->releaseObject(token);
  pool->setNumberOfBytesInPoolObject(64);
  EXPECT_EQ(pool->getNumberOfBytesInPoolObject(), 64u);
}

TEST(PlatformThreads, MakersAnswerUsableObjects) {
  Quorvane::QVMutexHandle* lock = qvplatform::CreateUnnamedHandle(Quorvane::QVInProcessMutex, false);
  ASSERT_NE(lock, nullptr);
  EXPECT_TRUE(lock->Lock());
  EXPECT_TRUE(lock->Unlock());
  delete lock;

  auto shared = qvplatform::CreateUnnamedHandlePointer(Quorvane::QVInProcessMutex, true);
  ASSERT_TRUE(shared);
  {
    Quorvane::QVMutex outer(shared.get());
    Quorvane::QVMutex inner(shared.get());  // recursive
  }
  auto copy = shared;
  EXPECT_EQ(copy.useCount(), 2u);

  Quorvane::QVCondition* condition = qvplatform::CreateUnnamedCondition(Quorvane::QVPipeConditionType);
  ASSERT_NE(condition, nullptr);
  EXPECT_GE(condition->GetRawObject(), 0);
  condition->Signal();
  EXPECT_TRUE(condition->Wait(0));
  delete condition;
}

// --- launching: the three failures the link core maps to its own codes ------

namespace {

enum ChildResult : int { kPassed = 0, kWrongFailure = 1, kNoException = 2, kCannotProvoke = 3 };

int LaunchFailure(const char* command, qvexceptiontype type, const std::string& message) {
  try {
    Quorvane::QVProcess::launch(command);
    return kNoException;
  } catch (const QVException& error) {
    const bool expected = error.getType() == type && Quorvane::ToStdString(error.getWhat()) == message;
    if (!expected) std::cerr << error << '\n';
    return expected ? kPassed : kWrongFailure;
  }
}

// How the child of the next fork ends at once: by exit, or by a signal.
bool gChildKilled = false;
void EndChildAtOnce() {
  if (gChildKilled) raise(SIGKILL);
  _exit(127);
}
// The parent goes on only once the child is gone (left unreaped), so
// "gone at once" does not hang on how the two are scheduled.
void AwaitChildEnd() {
  siginfo_t info;
  while (waitid(P_ALL, 0, &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
  }
}

void ExpectChild(int status, const char* what) {
  ASSERT_TRUE(WIFEXITED(status)) << what;
  if (WEXITSTATUS(status) == kCannotProvoke) GTEST_SKIP() << what << ": cannot be provoked here";
  EXPECT_EQ(WEXITSTATUS(status), kPassed) << what << " (1: other type or message, 2: no exception)";
}

}  // namespace

TEST(PlatformLaunch, ChildGoneAtOnceThrowsNineteenOrSeventyBySignal) {
  for (bool killed : {false, true}) {
    const int status = qvtest::RunInChild([killed] {
      gChildKilled = killed;
      pthread_atfork(nullptr, AwaitChildEnd, EndChildAtOnce);
      return killed ? LaunchFailure("true", qvexceptiontype::wrapped, "Child process did not launch correctly")
                    : LaunchFailure("true", qvexceptiontype::noExecutable, "Unable to find executable program.");
    });
    ExpectChild(status, killed ? "type 70" : "type 19");
  }
}

TEST(PlatformLaunch, ForkRefusedThrowsFour) {
  const int status = qvtest::RunInChild([] {
    // The process limit binds only a user without privileges: drop them in
    // this child, then allow it no further process. The library's locks are
    // set up first, while the private sync folder can still be reached.
    { Quorvane::QVSignalHandlerManager setUpWhilePrivileged; }
    if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) {
      return int(kCannotProvoke);
    }
    const rlimit none{0, 0};
    if (setrlimit(RLIMIT_NPROC, &none) != 0) return int(kCannotProvoke);
    return LaunchFailure("true", qvexceptiontype::systemCallFailed, "fork error");
  });
  ExpectChild(status, "type 4");
}
