// close_range closes each gap between kept descriptors in one call; a kernel
// without it gets the slow walk.
#include "utilities/platform/qvclosedescriptors.h"

#include <unistd.h>

namespace Quorvane::platform {

namespace {

constexpr int kFirst = 3;
constexpr int kLast = 65535;
constexpr int kMostKept = 8;

void CloseGap(int from, int to) noexcept {
  if (from > to) return;
  if (close_range(static_cast<unsigned>(from), static_cast<unsigned>(to), 0) == 0) return;
  for (int fd = from; fd <= to; ++fd) close(fd);
}

}  // namespace

void CloseDescriptorsExcept(const int* keep, int count) noexcept {
  int kept[kMostKept];
  int n = 0;
  for (int i = 0; keep != nullptr && i < count && n < kMostKept; ++i) {
    const int fd = keep[i];
    if (fd < kFirst || fd > kLast) continue;
    // Insertion in ascending order, dropping repeats.
    int at = n;
    while (at > 0 && kept[at - 1] > fd) --at;
    if (at > 0 && kept[at - 1] == fd) continue;
    for (int j = n; j > at; --j) kept[j] = kept[j - 1];
    kept[at] = fd;
    ++n;
  }
  int from = kFirst;
  for (int i = 0; i < n; ++i) {
    CloseGap(from, kept[i] - 1);
    from = kept[i] + 1;
  }
  CloseGap(from, kLast);
}

}  // namespace Quorvane::platform
