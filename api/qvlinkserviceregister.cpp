// Link services: the registering calls. Each but the link server's opens a
// "TCPIP" (or named-protocol) listener, advertises it and hands it back with
// its registration, which the link core ends once the link connects or
// closes. A failed registration leaves no listener open.
#include <cstdlib>
#include <memory>
#include <new>

#include "api/qvlink.h"
#include "api/qvlinkservicehooks.h"
#include "utilities/qvexception.h"

using Quorvane::QVException;
using Quorvane::QVServiceManager;
using Quorvane::QVString;

namespace {
constexpr int kNoMemory = 8;
constexpr int kBadArgument = 58;
// QVUseNewTCPIPConnection with QVDontInteract: the one-port listener.
constexpr int kNewTCPIPOptions = 1048832;
// QVUseUUIDTCPIPConnection with QVDontInteract: what a link server pairs.
constexpr int kLinkServerOptions = 260;

void Report(int* error, int code) {
  if (error != nullptr) *error = code;
}

// True for a text that stays one word of a link command: not empty, and none
// of the bytes the command splitter reads as a blank, a quote or an escape.
bool OneCommandWordQ(const char* text) {
  if (text == nullptr || *text == '\0') return false;
  for (const char* p = text; *p != '\0'; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    if (c == ' ' || (c >= 9 && c <= 13) || c == '"' || c == '\'' || c == '\\' || c == 0xB6) return false;
  }
  return true;
}

// A host name may be missing (null or empty); when given it must be one word.
bool HostTextUsableQ(const char* host) { return host == nullptr || *host == '\0' || OneCommandWordQ(host); }

const char* GivenOrNull(const char* text) { return text != nullptr && *text != '\0' ? text : nullptr; }

uint16_t PortOfName(const QVString& text) {
  const long port = std::strtol(text.c_str(), nullptr, 10);
  return port > 0 && port <= 0xFFFF ? static_cast<uint16_t>(port) : 0;
}

// What the caller asks to advertise.
struct Advert {
  const char* type;
  const char* name;
  RVRegisterCallback callback;
  const char* domain;
  void* context;
  RVServiceRef* reference;
};

// What is advertised for it.
struct Listing {
  uint16_t port;
  const char* interfaceText;
  const char* linkName;
  const char* protocol;
  int options;
};

// The manager's answer to a registration, as a link error.
int Register(QVServiceManager& manager, qv_environment* environment, const Advert& advert, const Listing& listing,
             QVServiceCall call, void** reference) noexcept {
  try {
    return manager.registerLinkService(environment, advert.type, advert.name, listing.port, listing.interfaceText,
                                       listing.linkName, listing.protocol, listing.options, advert.callback,
                                       advert.domain, advert.context, reference);
  } catch (const QVException& e) {
    return QVServiceErrorCode(e.getCode(), call);
  } catch (const std::bad_alloc&) {
    return kNoMemory;
  } catch (...) {
    return -1;
  }
}

// Registers the listener; it is handed back only with its registration.
QVLink* Advertise(QVServiceManager& manager, qv_environment* environment, QVLink* link, const Advert& advert,
                  const Listing& listing, QVServiceCall call, int* error) noexcept {
  void* reference = nullptr;
  const int code = Register(manager, environment, advert, listing, call, &reference);
  if (code != 0) {
    RVClose(link);
    Report(error, code);
    return nullptr;
  }
  {
    QVLinkLockGuard guard(link);
    link->serviceRegistration = reference;
  }
  *advert.reference = reference;
  Report(error, 0);
  return link;
}

// The listener of command, or null with the error reported.
QVLink* OpenListener(qv_environment* environment, const QVString& command, int* error) noexcept {
  int code = 0;
  QVLink* link = RVOpenString(environment, command.c_str(), &code);
  if (link != nullptr && code == 0) return link;
  if (link != nullptr) RVClose(link);
  Report(error, code != 0 ? code : -1);
  return nullptr;
}

// The listener's name; null (the link closed, error 8) when it has none.
std::unique_ptr<QVString> ListenerName(QVLink* link, int* error) noexcept {
  try {
    const char* name = RVLinkName(link);
    if (name != nullptr) {
      auto copy = std::make_unique<QVString>(name);
      RVReleaseLinkName(link, name);
      return copy;
    }
  } catch (...) {
  }
  RVClose(link);
  Report(error, kNoMemory);
  return nullptr;
}

QVString Decimal(long value) { return Quorvane::ToQVString(std::to_string(value)); }

}  // namespace

extern "C" {

QVLink* RVRegisterLinkServiceWithPortAndHostname(RVEnvironment* environment, const char* serviceType,
                                                 const char* serviceName, unsigned short port, const char* hostname,
                                                 RVRegisterCallback callback, const char* domain, void* context,
                                                 RVServiceRef* reference, int* error) noexcept {
  if (environment == nullptr || serviceName == nullptr || reference == nullptr) return nullptr;
  if (serviceType == nullptr || !HostTextUsableQ(hostname)) {
    Report(error, kBadArgument);
    return nullptr;
  }
  QVServiceManager* manager = QVServiceManagerOf(environment, true);
  if (manager == nullptr) {
    Report(error, -1);
    return nullptr;
  }
  try {
    const char* host = GivenOrNull(hostname);
    QVString command = "-linkname " + Decimal(port);
    if (host != nullptr) command += QVString("@") + host;
    command += " -linkprotocol TCPIP -linkcreate -linkoptions " + Decimal(kNewTCPIPOptions);
    QVLink* link = OpenListener(environment, command, error);
    if (link == nullptr) return nullptr;
    const Advert advert{serviceType, serviceName, callback, domain, context, reference};
    return Advertise(*manager, environment, link, advert, {port, host, nullptr, "TCPIP", kNewTCPIPOptions},
                     QVServiceCall::otherRegistration, error);
  } catch (...) {
    Report(error, kNoMemory);
    return nullptr;
  }
}

QVLink* RVRegisterLinkServiceWithHostname(RVEnvironment* environment, const char* serviceType,
                                          const char* serviceName, const char* hostname, RVRegisterCallback callback,
                                          const char* domain, void* context, RVServiceRef* reference,
                                          int* error) noexcept {
  if (environment == nullptr || serviceName == nullptr || reference == nullptr || serviceType == nullptr ||
      !HostTextUsableQ(hostname)) {
    Report(error, kBadArgument);
    return nullptr;
  }
  QVServiceManager* manager = QVServiceManagerOf(environment, true);
  if (manager == nullptr) {
    Report(error, -1);
    return nullptr;
  }
  try {
    const char* host = GivenOrNull(hostname);
    QVString command;
    if (host != nullptr) command = QVString("-linkhost ") + host;
    command += " -linkprotocol TCPIP -linkcreate -linkoptions " + Decimal(kNewTCPIPOptions);
    QVLink* link = OpenListener(environment, command, error);
    if (link == nullptr) return nullptr;
    const std::unique_ptr<QVString> name = ListenerName(link, error);
    if (!name) return nullptr;
    const size_t at = name->find('@');
    if (at == QVString::npos) {
      RVClose(link);
      Report(error, -1);
      return nullptr;
    }
    const Advert advert{serviceType, serviceName, callback, domain, context, reference};
    return Advertise(*manager, environment, link, advert,
                     {PortOfName(name->substr(0, at)), host, nullptr, "TCPIP", kNewTCPIPOptions},
                     QVServiceCall::otherRegistration, error);
  } catch (...) {
    Report(error, kNoMemory);
    return nullptr;
  }
}

QVLink* RVRegisterLinkService(RVEnvironment* environment, const char* serviceType, const char* serviceName,
                              RVRegisterCallback callback, const char* domain, void* context,
                              RVServiceRef* reference, int* error) noexcept {
  if (environment == nullptr || serviceName == nullptr || reference == nullptr || serviceType == nullptr) {
    Report(error, kBadArgument);
    return nullptr;
  }
  QVServiceManager* manager = QVServiceManagerOf(environment, true);
  if (manager == nullptr) {
    Report(error, -1);
    return nullptr;
  }
  try {
    QVLink* link = OpenListener(
        environment, "-linkcreate -linkprotocol TCPIP -linkoptions " + Decimal(kNewTCPIPOptions), error);
    if (link == nullptr) return nullptr;
    const std::unique_ptr<QVString> name = ListenerName(link, error);
    if (!name) return nullptr;
    const size_t at = name->find('@');
    const QVString host = at == QVString::npos ? QVString() : name->substr(at + 1);
    const Advert advert{serviceType, serviceName, callback, domain, context, reference};
    return Advertise(*manager, environment, link, advert,
                     {PortOfName(name->substr(0, at)), GivenOrNull(host.c_str()), name->c_str(), "TCPIP",
                      kNewTCPIPOptions},
                     QVServiceCall::registerLinkService, error);
  } catch (...) {
    Report(error, kNoMemory);
    return nullptr;
  }
}

QVLink* QVRegisterLinkServiceUsingLinkProtocol(RVEnvironment* environment, const char* serviceType,
                                               const char* serviceName, unsigned short port,
                                               const char* interfaceText, const char* protocol,
                                               RVRegisterCallback callback, const char* domain, void* context,
                                               RVServiceRef* reference, int* error) noexcept {
  if (environment == nullptr || serviceName == nullptr || reference == nullptr || serviceType == nullptr ||
      interfaceText == nullptr || !OneCommandWordQ(protocol)) {
    Report(error, kBadArgument);
    return nullptr;
  }
  QVServiceManager* manager = QVServiceManagerOf(environment, true);
  if (manager == nullptr) {
    Report(error, -1);
    return nullptr;
  }
  try {
    QVLink* link = OpenListener(environment, QVString("-linkcreate -linkprotocol ") + protocol, error);
    if (link == nullptr) return nullptr;
    const std::unique_ptr<QVString> name = ListenerName(link, error);
    if (!name) return nullptr;
    const int options = QVString(protocol) == "TCPIP" ? kNewTCPIPOptions : 0;
    const Advert advert{serviceType, serviceName, callback, domain, context, reference};
    return Advertise(*manager, environment, link, advert,
                     {port, GivenOrNull(interfaceText), name->c_str(), protocol, options},
                     QVServiceCall::otherRegistration, error);
  } catch (...) {
    Report(error, kNoMemory);
    return nullptr;
  }
}

void RVRegisterLinkServiceFromLinkServer(RVEnvironment* environment, const char* serviceType,
                                         const char* serviceName, RVLinkServer* server,
                                         RVRegisterCallback callback, const char* domain, void* context,
                                         RVServiceRef* reference, int* error) noexcept {
  if (environment == nullptr || serviceName == nullptr || server == nullptr || reference == nullptr ||
      serviceType == nullptr) {
    Report(error, kBadArgument);
    return;
  }
  QVServiceManager* manager = QVServiceManagerOf(environment, true);
  if (manager == nullptr) {
    Report(error, -1);
    return;
  }
  int code = 0;
  const unsigned short port = RVPortFromLinkServer(server, &code);
  if (code != 0) {
    Report(error, code);
    return;
  }
  char* interfaceText = RVInterfaceFromLinkServer(server, &code);
  if (code != 0 || interfaceText == nullptr) {
    Report(error, code != 0 ? code : -1);
    return;
  }
  try {
    const QVString linkName = Decimal(port) + "@" + interfaceText;
    const Advert advert{serviceType, serviceName, callback, domain, context, reference};
    void* registration = nullptr;
    code = Register(*manager, environment, advert,
                    {port, interfaceText, linkName.c_str(), "TCPIP", kLinkServerOptions},
                    QVServiceCall::otherRegistration, &registration);
    if (code == 0) *reference = registration;
  } catch (...) {
    code = kNoMemory;
  }
  RVReleaseInterfaceFromLinkServer(server, interfaceText);
  Report(error, code);
}

}  // extern "C"
