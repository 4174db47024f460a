// Handshake fuzz target. The first byte picks what is fuzzed:
//  - even: the peer's side of the exchange. Byte 1 sizes this side's write
//    windows, byte 2 seeds the sizes of the windows the peer's bytes arrive
//    in, and the rest is everything the peer sends before it closes.
//  - odd: the rest is a feature text, decoded as RVEstablishString does,
//    printed back into a buffer of a size from byte 1 and decoded again.
// The exchange ends in 0 or 9 and never hangs; what it leaves in the feature
// set and the link stays within its bounds.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "api/qvenvironment.h"
#include "api/qvhandshake.h"
#include "api/qvlink.h"
#include "quorvane.h"
#include "qvfuzzpeer.h"
#include "support/qvlinkharness.h"

namespace {

const Quorvane::QVRawStringDictionary kSymbols[] = {{"Sin", 1}, {nullptr, 0}};
const Quorvane::QVRawStringDictionary kStrings[] = {{"alpha", 1}, {nullptr, 0}};
const Quorvane::QVBuiltInDictionaryTables kKeyOne[] = {{1, kSymbols, kStrings}};

using qvfuzz::Peer;
using qvfuzz::PeerFunction;

RVEnvironment* Environment() {
  static RVEnvironment* const environment = [] {
    RVEnvironment* made = RVBegin(nullptr);
    if (made == nullptr) std::abort();
    qvhs__install_dictionary_tables_for_tests(kKeyOne, 1);
    // Ended before the statics the environment uses are destroyed.
    std::atexit([] { RVEnd(Environment()); });
    return made;
  }();
  return environment;
}

void CheckFeatures(const feature_set& features) {
  if (std::memchr(features.numerics_id, '\0', sizeof features.numerics_id) == nullptr) std::abort();
}

void Exchange(const uint8_t* data, size_t size) {
  if (size < 3) return;
  Peer peer{data + 3, size - 3, 0, data[2], 37, std::vector<char>(static_cast<size_t>(data[1] % 64) + 1), {}};
  std::unique_ptr<qvtest::LinkPlumbing> plumbing = qvtest::LinkPlumbing::OverDevice(
      Quorvane::QVDeviceInstance::initWithDeviceObjectAndFunction(&peer, &PeerFunction));
  if (plumbing == nullptr) std::abort();
  QVLink link;
  feature_set features{};
  const int code = feature_greeting(Environment(), &link, plumbing->device(), plumbing->queues(), &features);
  if (code != 0 && code != kHandshakeFailed) std::abort();
  if (code == 0) {
    if (features.level != features.level_again) std::abort();
    CheckFeatures(features);
  }
  if (link.peerEnvironmentId.size() > kPeerEnvIdLimit) std::abort();
}

void FeatureText(const uint8_t* data, size_t size) {
  if (size < 2) return;
  const std::string text(reinterpret_cast<const char*>(data + 2), size - 2);
  feature_set features{};
  if (qvhs__decode_feature_text(Environment(), text.c_str(), &features) == 0) return;
  CheckFeatures(features);
  std::vector<char> buffer(data[1] + 1u);
  const long size_given = static_cast<long>(buffer.size());
  const long missing = put_feature_string(Environment(), &features, buffer.data(), size_given);
  if (missing < 0 || std::memchr(buffer.data(), '\0', buffer.size()) == nullptr) std::abort();
  if (missing > 0) {
    buffer.resize(buffer.size() + static_cast<size_t>(missing));
    if (put_feature_string(Environment(), &features, buffer.data(), static_cast<long>(buffer.size())) != 0) std::abort();
  }
  // The printed text decodes to the same set, less what needs a numerics
  // name or text id (types without bit 5, encodings above 7), which a
  // feature text never carries.
  feature_set again{};
  if (qvhs__decode_feature_text(Environment(), buffer.data(), &again) == 0) std::abort();
  constexpr uint64_t kBit5 = 0xFFFFFFFF00000000ull;
  // An empty list reads as encoding 7; a list of encodings above 7 alone
  // is printed but reads as none.
  const bool listEmpty = features.encodings.mask == 0 && features.encodings.reserved == 0;
  const uint64_t encodings = listEmpty ? uint64_t{1} << 7 : features.encodings.mask & 0xFF;
  if (again.features != features.features || again.level != features.level ||
      again.binary_types[0] != (features.binary_types[0] & kBit5) ||
      again.binary_types[1] != (features.binary_types[1] & kBit5) || again.encodings.mask != encodings ||
      again.encodings.reserved != 0) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  if ((data[0] & 1) == 0) {
    Exchange(data, size);
  } else {
    FeatureText(data, size);
  }
  return 0;
}
