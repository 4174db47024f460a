#include "device/qvspinchoice.h"

namespace Quorvane {

bool QVSpinChoice::WorthwhileFor(const platform::QVCpuSet& ours, const platform::QVCpuSet* peers) noexcept {
  if (peers == nullptr || peers->Count() == 0) return WorthwhileFor(ours.Count());
  const int ourOnly = ours.OnlyOne();
  if (ourOnly >= 0 && peers->Has(ourOnly)) return false;
  const int peersOnly = peers->OnlyOne();
  return peersOnly < 0 || !ours.Has(peersOnly);
}

bool QVSpinChoice::Spins(int peerProcess, int64_t now) noexcept {
  if (now < nextLookAt_) return spins_;
  nextLookAt_ = now + kLookEveryNanoseconds;
  platform::QVCpuSet ours;
  if (!platform::AllowedCpusOf(0, &ours)) {
    spins_ = WorthwhileFor(platform::AllowedCpuCount());
    return spins_;
  }
  platform::QVCpuSet peers;
  const bool known = peerProcess > kPeerUnknown && platform::AllowedCpusOf(peerProcess, &peers);
  spins_ = WorthwhileFor(ours, known ? &peers : nullptr);
  return spins_;
}

}  // namespace Quorvane
