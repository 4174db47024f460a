// Root of the object-oriented layers: every class object, container block and
// library string is allocated through two process-wide, replaceable hooks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <string>

namespace Quorvane {

using QVAllocationHook = void* (*)(uint64_t size);
using QVDeallocationHook = void (*)(void* block);

// The default hooks: plain malloc and free.
void* qvallocator(uint64_t size);
void qvdeallocator(void* block);

namespace detail {
// Every hooked block starts with one word that names the hook that frees it, so
// a block allocated before the hooks change still goes back to its own owner.
constexpr size_t kHookHeader = sizeof(void*);
static_assert(kHookHeader == 8, "the block header is one 64-bit word");
void* AllocateWithHeader(size_t size);  // throws std::bad_alloc
void FreeWithHeader(void* p) noexcept;
}  // namespace detail

class QVObject {
 public:
  virtual ~QVObject() = default;

  static void SetAllocators(QVAllocationHook alloc, QVDeallocationHook dealloc);
  static void SetAllocator(QVAllocationHook alloc);
  static void SetDeallocator(QVDeallocationHook dealloc);
  static void InstallDefaultAllocators();
  static QVAllocationHook GetAllocator();
  static QVDeallocationHook GetDeallocator();

  static void* operator new(size_t size) { return detail::AllocateWithHeader(size); }
  static void* operator new[](size_t size) { return detail::AllocateWithHeader(size); }
  static void operator delete(void* p) noexcept { detail::FreeWithHeader(p); }
  static void operator delete[](void* p) noexcept { detail::FreeWithHeader(p); }
  // Placement forms stay available to derived classes.
  static void* operator new(size_t, void* where) noexcept { return where; }
  static void operator delete(void*, void*) noexcept {}

  // Raw memory from the current hooks, without header: allocate pairs only with
  // deallocate.
  static void* allocate(uint64_t size);
  static void deallocate(void* p);
};

// Allocator of every standard container and of the library string.
template <typename T>
class QVStdAllocator : public QVObject {
 public:
  using value_type = T;
  using size_type = size_t;
  using difference_type = ptrdiff_t;
  using propagate_on_container_move_assignment = std::true_type;
  using is_always_equal = std::true_type;

  QVStdAllocator() noexcept = default;
  QVStdAllocator(const QVStdAllocator&) noexcept = default;
  template <typename U>
  QVStdAllocator(const QVStdAllocator<U>&) noexcept {}
  QVStdAllocator& operator=(const QVStdAllocator&) noexcept = default;
  ~QVStdAllocator() override = default;

  T* allocate(size_t n) {
    if (n > (std::numeric_limits<size_t>::max() - detail::kHookHeader) / sizeof(T)) {
      throw std::bad_alloc();
    }
    return static_cast<T*>(detail::AllocateWithHeader(n * sizeof(T)));
  }
  void deallocate(T* p, size_t) noexcept { detail::FreeWithHeader(p); }

  template <typename U>
  bool operator==(const QVStdAllocator<U>&) const noexcept { return true; }
};

// The library string.
using QVString = std::basic_string<char, std::char_traits<char>, QVStdAllocator<char>>;

inline QVString ToQVString(const std::string& s) { return QVString(s.data(), s.size()); }
inline std::string ToStdString(const QVString& s) { return std::string(s.data(), s.size()); }

}  // namespace Quorvane
