// How many processors, and which, a thread or a process may run on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace Quorvane::platform {

// The processors the calling thread may be scheduled on (its affinity mask,
// which taskset and cpusets narrow), at least 1. Where the system keeps no
// such mask, the processors that are online. Never throws.
int AllowedCpuCount() noexcept;

// A set of processors by number.
class QVCpuSet {
 public:
  QVCpuSet() = default;
  QVCpuSet(std::initializer_list<int> cpus) {
    for (const int cpu : cpus) Add(cpu);
  }
  void Add(int cpu) {
    if (cpu < 0) return;
    const std::size_t word = static_cast<std::size_t>(cpu) / 64;
    if (word >= words_.size()) words_.resize(word + 1, 0);
    words_[word] |= uint64_t{1} << (cpu % 64);
  }
  bool Has(int cpu) const noexcept {
    const std::size_t word = static_cast<std::size_t>(cpu) / 64;
    return cpu >= 0 && word < words_.size() && (words_[word] >> (cpu % 64) & 1) != 0;
  }
  int Count() const noexcept {
    int count = 0;
    for (const uint64_t word : words_) count += __builtin_popcountll(word);
    return count;
  }
  // The processor of a set of one; -1 for any other set.
  int OnlyOne() const noexcept {
    int only = -1;
    for (std::size_t word = 0; word < words_.size(); ++word) {
      if (words_[word] == 0) continue;
      if (only >= 0 || (words_[word] & (words_[word] - 1)) != 0) return -1;
      only = static_cast<int>(word * 64) + __builtin_ctzll(words_[word]);
    }
    return only;
  }

 private:
  std::vector<uint64_t> words_;
};

// The processors the process pid (its first thread) may be scheduled on, or
// the calling thread's for pid 0. False, leaving *cpus as it was, when the
// system will not say: no such process here (it has ended, or its number is
// one of another pid namespace), no mask kept, or no memory for it.
bool AllowedCpusOf(int pid, QVCpuSet* cpus) noexcept;

}  // namespace Quorvane::platform
