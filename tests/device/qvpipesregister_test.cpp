// A launched device its environment's list cannot take: the make answers 8
// and leaves no child, pipe or record behind. The list takes its room from
// the global allocation functions, which this program replaces so that the
// list's first entry can be refused (not under ThreadSanitizer, which owns
// those functions).
#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include <gtest/gtest.h>

#include "support/qvtest.h"
#include "tests/device/qvpipestest.h"

namespace {

// Armed: the next request for room of one pointer fails.
std::atomic<bool> gRefuseOnePointer{false};

}  // namespace

#if !QV_TEST_THREAD_SANITIZER
// Every plain form is replaced, so that memory from any of them goes back
// through the matching one.
void* operator new(std::size_t size) {
  if (size == sizeof(void*) && gRefuseOnePointer.exchange(false)) throw std::bad_alloc();
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return operator new(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
// The replacement new above takes its memory from malloc.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#endif

namespace {

using namespace Quorvane;
using qvtest::Call;

constexpr unsigned long kLaunch = 8;
constexpr const char* kEcho = "/bin/sh -c 'exec cat'";

TEST(PipesLaunchRegister, UnlistedRecordIsReleasedWithAnswer8) {
  if (qvtest::kThreadSanitizer) GTEST_SKIP() << "the allocation functions are the sanitizer's";
  qvtest::PipesWorld world;
  const int descriptors = qvtest::OpenDescriptorCount();
  long error = 0;
  gRefuseOnePointer = true;
  void* device = world.Make("Pipes", kLaunch, kEcho, 0, &error);
  const bool refused = !gRefuseOnePointer.exchange(false);
  ASSERT_TRUE(refused) << "the list took no room of its own";
  EXPECT_EQ(device, nullptr);
  EXPECT_EQ(error, 8);
  // The child was started and is gone again, reaped.
  EXPECT_TRUE(qvtest::ChildrenOfThisProcess().empty());
  EXPECT_EQ(qvtest::OpenDescriptorCount(), descriptors);

  // The environment is whole: the next launch is listed and talks.
  device = world.Make("Pipes", kLaunch, kEcho, 0, &error);
  ASSERT_NE(device, nullptr) << error;
  int pid = 0;
  Call(device, QVDEVICE_SPECIFIC_30, &pid);
  EXPECT_EQ(Call(device, QVDEVICE_CONNECT), 0);
  Call(device, QVDEVICE_CLOSE);
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

}  // namespace
