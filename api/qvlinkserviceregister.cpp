// Link services: the registering calls. Each but the link server's opens a
// "TCPIP" (or named-protocol) listener, advertises it and hands it back with
// its registration, which the link core ends once the link connects or
// closes. A failed registration leaves no listener open.
#include <cstdlib>
#include <memory>
#include <new>
#include <optional>

#include "api/qvlink.h"
#include "api/qvlinkservicehooks.h"

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
// Nor a leading '-': a word such as "-linklaunch" is read as an option
// wherever it stands, and no host or protocol name begins so.
bool OneCommandWordQ(const char* text) {
  if (text == nullptr || *text == '\0' || *text == '-') return false;
  for (const char* p = text; *p != '\0'; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    if (c == ' ' || (c >= 9 && c <= 13) || c == '"' || c == '\'' || c == '\\' || c == 0xB6) return false;
  }
  return true;
}

// A host name may be missing (null or empty); when given it must be one word.
bool HostTextUsableQ(const char* host) { return host == nullptr || *host == '\0' || OneCommandWordQ(host); }

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

// What is advertised for it; texts left empty are not given.
struct Listing {
  uint16_t port;
  std::optional<QVString> interfaceText;
  std::optional<QVString> linkName;
  const char* protocol;
  int options;
};

const char* TextOrNull(const std::optional<QVString>& text) { return text ? text->c_str() : nullptr; }

std::optional<QVString> Given(const char* text) {
  if (text == nullptr || *text == '\0') return std::nullopt;
  return QVString(text);
}

QVString Decimal(long value) { return Quorvane::ToQVString(std::to_string(value)); }

// The words after a new one-port "TCPIP" listener's own.
QVString TCPIPListenerWords() { return " -linkprotocol TCPIP -linkcreate -linkoptions " + Decimal(kNewTCPIPOptions); }

// The manager's answer to a registration, as a link error.
int Register(QVServiceManager& manager, qv_environment* environment, const Advert& advert, const Listing& listing,
             QVServiceCall call, void** reference) noexcept {
  return QVServiceAnswer(call, [&] {
    return manager.registerLinkService(environment, advert.type, advert.name, listing.port,
                                       TextOrNull(listing.interfaceText), TextOrNull(listing.linkName),
                                       listing.protocol, listing.options, advert.callback, advert.domain,
                                       advert.context, reference);
  });
}

// The listener's name; null (the link closed, error 8) when it has none.
std::unique_ptr<QVString> ListenerName(QVLink* link, int* error) {
  if (const char* name = RVLinkName(link)) {
    auto copy = std::make_unique<QVString>(name);
    RVReleaseLinkName(link, name);
    return copy;
  }
  RVClose(link);
  Report(error, kNoMemory);
  return nullptr;
}

// Opens the listener of command and advertises what describe makes of its
// name (read only when readName; describe answers nothing to refuse the
// name: the link is closed, error -1). The listener is handed back only with
// its registration; no other listener stays open.
template <typename Describe>
QVLink* RegisterListener(qv_environment* environment, const QVString& command, bool readName, const Advert& advert,
                         QVServiceCall call, int* error, Describe describe) {
  QVServiceManager* manager = QVServiceManagerOf(environment, true);
  if (manager == nullptr) {
    Report(error, -1);
    return nullptr;
  }
  int code = 0;
  QVLink* link = RVOpenString(environment, command.c_str(), &code);
  if (link == nullptr || code != 0) {
    if (link != nullptr) RVClose(link);
    Report(error, code != 0 ? code : -1);
    return nullptr;
  }
  std::optional<Listing> listing;
  try {
    std::unique_ptr<QVString> name;
    if (readName) {
      name = ListenerName(link, error);
      if (!name) return nullptr;
    }
    listing = describe(name ? *name : QVString());
    if (!listing) code = -1;
  } catch (...) {
    code = kNoMemory;
  }
  void* registration = nullptr;
  if (code == 0) code = Register(*manager, environment, advert, *listing, call, &registration);
  if (code != 0) {
    RVClose(link);
    Report(error, code);
    return nullptr;
  }
  {
    QVLinkLockGuard guard(link);
    link->serviceRegistration = registration;
  }
  *advert.reference = registration;
  Report(error, 0);
  return link;
}

// Runs body; memory running out on the way is error 8.
template <typename Body>
QVLink* Guarded(int* error, Body body) noexcept {
  try {
    return body();
  } catch (...) {
    Report(error, kNoMemory);
    return nullptr;
  }
}

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
  const Advert advert{serviceType, serviceName, callback, domain, context, reference};
  return Guarded(error, [&] {
    const std::optional<QVString> host = Given(hostname);
    QVString command = "-linkname " + Decimal(port);
    if (host) command += "@" + *host;
    return RegisterListener(environment, command + TCPIPListenerWords(), false, advert,
                            QVServiceCall::otherRegistration, error, [&](const QVString&) {
                              return std::optional<Listing>({port, host, std::nullopt, "TCPIP", kNewTCPIPOptions});
                            });
  });
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
  const Advert advert{serviceType, serviceName, callback, domain, context, reference};
  return Guarded(error, [&] {
    const std::optional<QVString> host = Given(hostname);
    const QVString command = host ? "-linkhost " + *host : QVString();
    return RegisterListener(environment, command + TCPIPListenerWords(), true, advert,
                            QVServiceCall::otherRegistration, error, [&](const QVString& name) {
                              const size_t at = name.find('@');
                              if (at == QVString::npos) return std::optional<Listing>();
                              return std::optional<Listing>(
                                  {PortOfName(name.substr(0, at)), host, std::nullopt, "TCPIP", kNewTCPIPOptions});
                            });
  });
}

QVLink* RVRegisterLinkService(RVEnvironment* environment, const char* serviceType, const char* serviceName,
                              RVRegisterCallback callback, const char* domain, void* context,
                              RVServiceRef* reference, int* error) noexcept {
  if (environment == nullptr || serviceName == nullptr || reference == nullptr || serviceType == nullptr) {
    Report(error, kBadArgument);
    return nullptr;
  }
  const Advert advert{serviceType, serviceName, callback, domain, context, reference};
  return Guarded(error, [&] {
    return RegisterListener(environment, "-linkcreate -linkprotocol TCPIP -linkoptions " + Decimal(kNewTCPIPOptions),
                            true, advert, QVServiceCall::registerLinkService, error, [](const QVString& name) {
                              const size_t at = name.find('@');
                              const std::optional<QVString> host =
                                  at == QVString::npos ? std::nullopt : Given(name.substr(at + 1).c_str());
                              return std::optional<Listing>(
                                  {PortOfName(name.substr(0, at)), host, name, "TCPIP", kNewTCPIPOptions});
                            });
  });
}

QVLink* QVRegisterLinkServiceUsingLinkProtocol(RVEnvironment* environment, const char* serviceType,
                                               const char* serviceName, unsigned short port,
                                               const char* interfaceText, const char* protocol,
                                               RVRegisterCallback callback, const char* domain, void* context,
                                               RVServiceRef* reference, int* error) noexcept {
  // The interface text may be left out: null advertises no interface, as "" does.
  if (environment == nullptr || serviceName == nullptr || reference == nullptr || serviceType == nullptr ||
      !OneCommandWordQ(protocol)) {
    Report(error, kBadArgument);
    return nullptr;
  }
  const Advert advert{serviceType, serviceName, callback, domain, context, reference};
  return Guarded(error, [&] {
    const bool tcpip = QVString(protocol) == "TCPIP";
    const int options = tcpip ? kNewTCPIPOptions : 0;
    // A "TCPIP" listener is opened as the one-port listener it is advertised
    // as, or a peer that follows the advertisement could not connect.
    QVString command = QVString("-linkcreate -linkprotocol ") + protocol;
    if (tcpip) command += " -linkoptions " + Decimal(options);
    return RegisterListener(environment, command, true, advert,
                            QVServiceCall::otherRegistration, error, [&](const QVString& name) {
                              return std::optional<Listing>({port, Given(interfaceText), name, protocol, options});
                            });
  });
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
    const QVString host(interfaceText);
    const Advert advert{serviceType, serviceName, callback, domain, context, reference};
    void* registration = nullptr;
    code = Register(*manager, environment, advert,
                    {port, host, Decimal(port) + "@" + host, "TCPIP", kLinkServerOptions},
                    QVServiceCall::otherRegistration, &registration);
    if (code == 0) *reference = registration;
  } catch (...) {
    code = kNoMemory;
  }
  RVReleaseInterfaceFromLinkServer(server, interfaceText);
  Report(error, code);
}

}  // extern "C"
