// Resolve replies from the network: an arbitrary TXT record, host target and
// port go through the reply reader with the system's own TXT functions (they
// need no daemon). The link name must be the record's non-empty "linkname",
// else the port with the "interface" value or the host target. A second
// record, built by the registration's writer from arbitrary values, must
// either be refused before the platform sees it or read back unchanged.
#include <arpa/inet.h>
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "utilities/platform/qvdnssd.h"
#include "utilities/qvexception.h"
#include "utilities/qvservicetxt.h"

namespace {

using Quorvane::QVString;
using Quorvane::platform::QVDNSSDFunctions;

const QVDNSSDFunctions* functions = nullptr;

std::string Str(const QVString& text) { return std::string(text.data(), text.size()); }

// The record's value of key as the reader must see it, or false.
bool Value(uint16_t length, const unsigned char* record, const char* key, std::string* value) {
  if (functions->txtContainsKey(length, record, key) == 0) return false;
  uint8_t size = 0;
  const void* bytes = functions->txtGetValuePtr(length, record, key, &size);
  value->clear();
  if (bytes != nullptr) {
    const auto* text = static_cast<const char*>(bytes);
    value->assign(text, strnlen(text, size));
  }
  return true;
}

void CheckReply(FuzzedDataProvider& input) {
  const uint16_t port = input.ConsumeIntegral<uint16_t>();
  const bool hostGiven = input.ConsumeBool();
  const std::string host = input.ConsumeRandomLengthString(300);
  const std::string txt = input.ConsumeRandomLengthString(2000);
  const auto* record = reinterpret_cast<const unsigned char*>(txt.data());
  const auto length = static_cast<uint16_t>(txt.size());
  const Quorvane::QVResolvedService service =
      Quorvane::QVReadResolveReply(*functions, hostGiven ? host.c_str() : nullptr, port, length, record);

  std::string value;
  std::string expected;
  if (Value(length, record, "linkname", &value) && !value.empty()) {
    expected = value;
  } else {
    expected = std::to_string(ntohs(port));
    if (Value(length, record, "interface", &value)) {
      expected += "@" + value;
    } else if (hostGiven) {
      std::string target(host.c_str());
      if (!target.empty() && target.back() == '.') target.pop_back();
      expected += "@" + target;
    }
  }
  if (Str(service.linkName) != expected) std::abort();
  const bool hasProtocol = Value(length, record, "protocol", &value);
  if (Str(service.protocol) != (hasProtocol ? value : std::string())) std::abort();
  long options = 0;
  if (Value(length, record, "options", &value)) options = std::strtol(value.c_str(), nullptr, 10);
  if (options > INT32_MAX) options = INT32_MAX;
  if (options < INT32_MIN) options = INT32_MIN;
  if (service.options != options) std::abort();
}

void CheckRegistrationRecord(FuzzedDataProvider& input) {
  const int options = input.ConsumeIntegral<int>();
  const uint16_t port = input.ConsumeIntegral<uint16_t>();
  const std::string interfaceText = input.ConsumeRandomLengthString(300);
  const std::string protocol = input.ConsumeRandomLengthString(300);
  const std::string linkName = input.ConsumeRandomLengthString(300);
  const Quorvane::QVTXTEntries entries = Quorvane::QVRegistrationTXTEntries(
      options, port, interfaceText.c_str(), protocol.c_str(), linkName.c_str());
  if (!Quorvane::QVTXTEntriesFitQ(entries)) return;
  Quorvane::QVServiceTXT txt(*functions);
  try {
    txt.Write(entries);
  } catch (const Quorvane::QVException&) {
    std::abort();  // a value that fits is never refused
  }
  const auto* record = static_cast<const unsigned char*>(txt.Bytes());
  const Quorvane::QVResolvedService service =
      Quorvane::QVReadResolveReply(*functions, "host.local.", 0, txt.Length(), record);
  const std::string wantedProtocol = protocol.c_str()[0] != '\0' ? protocol.c_str() : "TCPIP";
  if (Str(service.protocol) != wantedProtocol || service.options != options) std::abort();
  if (linkName.c_str()[0] != '\0') {
    if (Str(service.linkName) != linkName.c_str()) std::abort();
  } else {
    std::string wanted = std::to_string(port);
    if (interfaceText.c_str()[0] != '\0') wanted += std::string("@") + interfaceText.c_str();
    if (Str(service.linkName) != wanted) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The compatibility library warns on standard error unless told not to.
  setenv("AVAHI_COMPAT_NOWARN", "1", 1);
  static const QVDNSSDFunctions loaded = Quorvane::platform::LoadDNSSDFunctions();
  functions = &loaded;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  if (input.ConsumeBool()) {
    CheckReply(input);
  } else {
    CheckRegistrationRecord(input);
  }
  return 0;
}
