// Establishing a link from a feature text instead of the exchange, and the
// feature text of an established link.
#include <cstring>

#include "api/qvenvironment.h"
#include "api/qvhandshake.h"
#include "api/qvlink.h"
#include "api/qvlinkparts.h"



int RVEstablishString(QVLink* link, const char* text) noexcept {
  if (link == nullptr) return 0;
  qv_environment* environment = link->environment();
  feature_set features{};
  {
    QVLinkLockGuard guard(link);
    if (environment == nullptr || text == nullptr) return 0;
    // The decoder may take the text apart, so it works on a copy.
    const size_t size = std::strlen(text) + 1;
    auto* copy = static_cast<char*>(GeneralAlloc(&link->globals->pool, size, nullptr));
    if (copy == nullptr) {
      link->error = 8;
      return 0;
    }
    std::memcpy(copy, text, size);
    const int decoded = qvhs__decode_feature_text(environment, copy, &features);
    GeneralDealloc(&link->globals->pool, copy, nullptr);
    if (decoded == 0) return 0;
    features.string_optimization = 0;
    QVMaskFeatures(environment, &features);
  }
  return RVEstablish(link, &features);
}

long RVFeatureString(QVLink* link, char* buffer, long size) noexcept {
  if (link == nullptr) return -1;
  QVLinkLockGuard guard(link);
  if (link->writeState == nullptr) return -1;
  return put_feature_string(link->environment(), ws__features(link->writeState), buffer, size);
}
