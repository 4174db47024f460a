// Linux: anonymous private mappings, moved and grown by mremap, marked for
// transparent huge pages (a hint: where the system has none to give, the
// block has small pages). The kept block keeps its pages as they are: marked
// free for the system to take (MADV_FREE), each would cost a fault again
// when written, on a virtual machine as much as a fresh page.
#include <sys/mman.h>
#include <unistd.h>

#include <mutex>

#include "utilities/platform/qvmappedblock.h"

namespace Quorvane::platform {

namespace {

// A block given back that is larger than this is unmapped, not kept.
constexpr uint64_t kLongestKept = uint64_t{128} << 20;

uint64_t PageBytes() {
  static const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  return page;
}

// Whole pages, or 0 when the sum would not fit.
uint64_t WholePages(uint64_t bytes) {
  const uint64_t page = PageBytes();
  if (bytes == 0 || bytes > UINT64_MAX - page) return 0;
  return (bytes + page - 1) / page * page;
}

void AskForLargePages(void* block, uint64_t length) {
#ifdef MADV_HUGEPAGE
  madvise(block, length, MADV_HUGEPAGE);
#endif
}

struct Kept {
  std::mutex lock;
  void* block = nullptr;
  uint64_t length = 0;
};

Kept& TheKept() {
  static Kept kept;
  return kept;
}

// The kept block when it is long enough for a request of length bytes: all
// of it is then the new owner's, as room to grow into.
void* TakeKept(uint64_t length, uint64_t* taken) {
  Kept& kept = TheKept();
  std::lock_guard<std::mutex> hold(kept.lock);
  if (kept.block == nullptr || kept.length < length) return nullptr;
  void* block = kept.block;
  *taken = kept.length;
  kept.block = nullptr;
  kept.length = 0;
  return block;
}

// Keeps the block in place of the one kept before; false when it is too
// large to keep.
bool Keep(void* block, uint64_t length) {
  if (length > kLongestKept) return false;
  void* before = nullptr;
  uint64_t beforeLength = 0;
  {
    Kept& kept = TheKept();
    std::lock_guard<std::mutex> hold(kept.lock);
    before = kept.block;
    beforeLength = kept.length;
    kept.block = block;
    kept.length = length;
  }
  if (before != nullptr) munmap(before, beforeLength);
  return true;
}

}  // namespace

void* MapBlock(uint64_t bytes, uint64_t* length) noexcept {
  const uint64_t wanted = WholePages(bytes);
  if (wanted == 0) return nullptr;
  if (void* block = TakeKept(wanted, length)) return block;
  void* block = mmap(nullptr, wanted, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED) return nullptr;
  AskForLargePages(block, wanted);
  *length = wanted;
  return block;
}

void* RemapBlock(void* block, uint64_t* length, uint64_t bytes) noexcept {
  const uint64_t wanted = WholePages(bytes);
  if (block == nullptr || wanted == 0) return nullptr;
  if (wanted <= *length) return block;
  void* moved = mremap(block, *length, wanted, MREMAP_MAYMOVE);
  if (moved == MAP_FAILED) return nullptr;
  // A mapping that grew where it lay keeps its advice; the new part is asked again.
  AskForLargePages(moved, wanted);
  *length = wanted;
  return moved;
}

void UnmapBlock(void* block, uint64_t length) noexcept {
  if (block == nullptr || length == 0) return;
  if (!Keep(block, length)) munmap(block, length);
}

void DropKeptBlock() noexcept {
  uint64_t length = 0;
  if (void* block = TakeKept(0, &length)) munmap(block, length);
}

}  // namespace Quorvane::platform
