#include "utilities/qvservicetxt.h"

#include <arpa/inet.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "utilities/qvexception.h"
#include "utilities/qvservicediscovery.h"

namespace Quorvane {

namespace {
constexpr char kSourceFile[] = "utilities/qvservicetxt";
constexpr char kEarlyKeyFailure[] = "TXTRecordSetValue returned an error in DarwinServiceManager::registerLinkService";
constexpr char kLateKeyFailure[] = "txtRecordSetValue returned an error in DarwinServiceManager::registerLinkService";

bool GivenQ(const char* text) { return text != nullptr && *text != '\0'; }

QVString Decimal(long value) { return ToQVString(std::to_string(value)); }

// The value of key as zero-terminated text; false when the record lacks it.
bool TXTValue(const platform::QVDNSSDFunctions& functions, uint16_t length, const unsigned char* record,
              const char* key, QVString* value) {
  if (record == nullptr || functions.txtContainsKey(length, record, key) == 0) return false;
  uint8_t size = 0;
  const void* bytes = functions.txtGetValuePtr(length, record, key, &size);
  if (bytes == nullptr) {
    value->clear();
    return true;
  }
  const auto* text = static_cast<const char*>(bytes);
  value->assign(text, strnlen(text, size));
  return true;
}

// The decimal value at the start of text, clamped to int.
int LeadingInt(const QVString& text) {
  errno = 0;
  const long value = std::strtol(text.c_str(), nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}
}  // namespace

QVTXTEntries QVRegistrationTXTEntries(int options, uint16_t port, const char* interfaceText, const char* protocol,
                                      const char* linkName) {
  QVTXTEntries entries;
  entries.push_back({"options", Decimal(options), kEarlyKeyFailure});
  if (GivenQ(interfaceText)) entries.push_back({"interface", QVString(interfaceText), kEarlyKeyFailure});
  entries.push_back({"protocol", QVString(GivenQ(protocol) ? protocol : "TCPIP"), kLateKeyFailure});
  QVString name;
  if (GivenQ(linkName)) {
    name = linkName;
  } else {
    name = Decimal(port);
    if (GivenQ(interfaceText)) name += QVString("@") + interfaceText;
  }
  entries.push_back({"linkname", name, kLateKeyFailure});
  return entries;
}

bool QVTXTEntriesFitQ(const QVTXTEntries& entries) {
  for (const QVTXTEntry& entry : entries) {
    if (std::strlen(entry.key) + 1 + entry.value.size() > kTXTItemLimit) return false;
  }
  return true;
}

QVServiceTXT::QVServiceTXT(const platform::QVDNSSDFunctions& functions) : functions_(functions) {
  functions_.txtCreate(&record_, sizeof buffer_, buffer_);
}

QVServiceTXT::~QVServiceTXT() { functions_.txtDeallocate(&record_); }

void QVServiceTXT::Write(const QVTXTEntries& entries) {
  for (const QVTXTEntry& entry : entries) {
    const platform::QVDNSServiceError error = functions_.txtSetValue(
        &record_, entry.key, static_cast<uint8_t>(entry.value.size()), entry.value.data());
    if (error != 0) {
      throw QVException(entry.failure, kSourceFile, __LINE__, qvexceptiontype::systemCallFailed,
                        QVConvertToSDError(error));
    }
  }
}

uint16_t QVServiceTXT::Length() const { return functions_.txtGetLength(&record_); }

const void* QVServiceTXT::Bytes() const { return functions_.txtGetBytesPtr(&record_); }

QVResolvedService QVReadResolveReply(const platform::QVDNSSDFunctions& functions, const char* hostTarget,
                                     uint16_t networkPort, uint16_t txtLength, const unsigned char* txtRecord) {
  QVResolvedService service;
  QVString value;
  QVString defaultName = Decimal(ntohs(networkPort));
  if (TXTValue(functions, txtLength, txtRecord, "interface", &value)) {
    defaultName += "@" + value;
  } else if (hostTarget != nullptr) {
    QVString host(hostTarget);
    if (!host.empty() && host.back() == '.') host.pop_back();
    defaultName += "@" + host;
  }
  if (TXTValue(functions, txtLength, txtRecord, "options", &value)) service.options = LeadingInt(value);
  if (TXTValue(functions, txtLength, txtRecord, "protocol", &value)) service.protocol = value;
  if (TXTValue(functions, txtLength, txtRecord, "linkname", &value) && !value.empty()) {
    service.linkName = value;
  } else {
    service.linkName = defaultName;
  }
  return service;
}

}  // namespace Quorvane
