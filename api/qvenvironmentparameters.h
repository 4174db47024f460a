// The parameter object an environment is started from: revision pair, the
// allocator pair to install, options, text encodings, signal dispositions and
// the request for thread-safe links, with its own last error so that a refused
// making or a failed start can be read back from it.
#pragma once

#include <cstdint>
#include <ostream>

#include "utilities/qvobject.h"
#include "utilities/qvsignalhandlermanager.h"

namespace Quorvane {

// Codes of the parameter object (they have no message of their own).
inline constexpr int kParametersRevisionOutOfRange = 28;
inline constexpr int kParametersInvalid = 29;      // no object, or its magic value is wrong
inline constexpr int kParametersUnsupported = 30;  // a setting this system does not support
inline constexpr int kParametersNullOutput = 999;  // a required output argument is null

class QVEnvironmentParameters : public QVObject {
 public:
  static constexpr uint64_t kMagicValue = 0xfeedac0f;
  static constexpr uint64_t kRevision = 46;
  static constexpr uint64_t kApiRevision = 25;
  // Bit 0 of options: start without device worlds and their signal handling.
  static constexpr uint64_t kOptionNoDevices = 1;
  // Text encodings are numbered 1 to 8, one bit each.
  static constexpr int kFirstEncoding = 1;
  static constexpr int kLastEncoding = 8;

  QVEnvironmentParameters();
  // All defaults, then the revision pair is checked: apiRevision takes the
  // chosen revision, or lastError becomes 28 (the object is made either way).
  QVEnvironmentParameters(uint64_t a, uint64_t b);
  // Every field is copied, textEncodingSetGiven and lastError included.
  QVEnvironmentParameters(const QVEnvironmentParameters& other) = default;
  QVEnvironmentParameters& operator=(const QVEnvironmentParameters& other) = default;
  ~QVEnvironmentParameters() override = default;

  // lastError does not take part.
  bool operator==(const QVEnvironmentParameters& other) const;
  bool operator!=(const QVEnvironmentParameters& other) const { return !(*this == other); }

  bool integrityGoodQ() const { return magicValue == kMagicValue; }
  static bool encodingInRangeQ(int e) { return e >= kFirstEncoding && e <= kLastEncoding; }
  // Asks for encoding e; false, and nothing changes, outside 1 to 8.
  bool setEncodingType(int e);
  // 1 when encoding e was asked for; 0 otherwise and outside 1 to 8.
  int valueForEncodingType(int e) const;
  void doNotHandleSignal(int s) { signalDispositions.doNotHandleSignal(s); }
  void handleSignal(int s) { signalDispositions.handleSignal(s); }

  // One element per field, no white space (textEncodingSetGiven is not printed).
  void print(std::ostream& os) const;

  uint64_t magicValue = kMagicValue;
  uint64_t revision = kRevision;
  uint64_t apiRevision = kApiRevision;
  uint64_t flags = 0;
  int32_t lastError = 0;
  uint64_t options = 0;
  // The class-object pair installed when the object is made.
  QVAllocationHook alloc = QVObject::GetAllocator();
  QVDeallocationHook dealloc = QVObject::GetDeallocator();
  void* environmentCookie = nullptr;
  uint8_t textEncodingSet = 0;
  uint8_t textEncodingSetGiven = 0;
  QVSignalHandlerDispositionSet signalDispositions;
  uint8_t makeLinksThreadSafe = 0;
};

std::ostream& operator<<(std::ostream& os, const QVEnvironmentParameters& parameters);

}  // namespace Quorvane
