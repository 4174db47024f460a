// The TXT records of link services: the keys a registration advertises, the
// platform record they are written into, and the link a resolve reply names.
#pragma once

#include <cstdint>
#include <vector>

#include "utilities/platform/qvdnssd.h"
#include "utilities/qvobject.h"

namespace Quorvane {

// A TXT item, "key=value", travels behind a one-byte length.
inline constexpr size_t kTXTItemLimit = 255;

struct QVTXTEntry {
  const char* key;
  QVString value;
  const char* failure;  // the message when the platform refuses the value
};
using QVTXTEntries = std::vector<QVTXTEntry, QVStdAllocator<QVTXTEntry>>;

// The keys of a registration in the order they are written: "options",
// "interface" (only with an interface text), "protocol" ("TCPIP" without
// one), "linkname" (without one: the port, then "@" and the interface
// text when there is one). Null or empty texts count as not given.
QVTXTEntries QVRegistrationTXTEntries(int options, uint16_t port, const char* interfaceText, const char* protocol,
                                      const char* linkName);

// False when some item is longer than its length byte can tell: such a value
// would be cut short or refused by the platform.
bool QVTXTEntriesFitQ(const QVTXTEntries& entries);

// The platform's TXT record over a buffer of its own; freed with the object.
class QVServiceTXT {
 public:
  explicit QVServiceTXT(const platform::QVDNSSDFunctions& functions);
  ~QVServiceTXT();
  QVServiceTXT(const QVServiceTXT&) = delete;
  QVServiceTXT& operator=(const QVServiceTXT&) = delete;

  // Writes every entry in order; QVException type 4 with the entry's
  // message and the service-discovery code of the platform's refusal.
  // Values must fit (QVTXTEntriesFitQ).
  void Write(const QVTXTEntries& entries);
  uint16_t Length() const;
  const void* Bytes() const;

 private:
  const platform::QVDNSSDFunctions& functions_;
  platform::QVTXTRecordRef record_{};
  unsigned char buffer_[512] = {};
};

// What a resolve reply names.
struct QVResolvedService {
  QVString linkName;
  QVString protocol;
  int options = 0;
};

// Reads a resolve reply (port in network byte order; hostTarget may be
// null). The link name is the TXT key "linkname" when it is not empty, else
// the port in decimal, then "@" and the key "interface" when the record has
// it, else "@" and the host target without one trailing ".". TXT values end
// at their first zero byte.
QVResolvedService QVReadResolveReply(const platform::QVDNSSDFunctions& functions, const char* hostTarget,
                                     uint16_t networkPort, uint16_t txtLength, const unsigned char* txtRecord);

}  // namespace Quorvane
