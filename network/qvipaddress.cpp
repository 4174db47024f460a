#include "network/qvipaddress.h"

#include <netdb.h>
#include <unistd.h>

#include <cstring>
#include <sstream>

#include "utilities/qvexception.h"

namespace Quorvane {

namespace {

constexpr char kSourceFile[] = "network/qvipaddress";
constexpr size_t kNameBufferSize = 1025;
constexpr size_t kServiceBufferSize = 32;

// getaddrinfo's list, released on every path.
struct AddrInfoList {
  addrinfo* head = nullptr;
  ~AddrInfoList() {
    if (head != nullptr) freeaddrinfo(head);
  }
};

// Port text read as formatted stream input reads an unsigned short: no number
// gives 0, a number past the range gives the largest port.
unsigned short ReadPort(const char* text) {
  std::istringstream in(text != nullptr ? text : "");
  unsigned short port = 0;
  in >> port;
  return port;
}

QVString Cstr(const char* text) { return QVString(text != nullptr ? text : ""); }

uint32_t HostOrder(const unsigned char* b) {
  return (static_cast<uint32_t>(b[0]) << 24) | (static_cast<uint32_t>(b[1]) << 16) |
         (static_cast<uint32_t>(b[2]) << 8) | static_cast<uint32_t>(b[3]);
}

bool InV4Net(uint32_t address, uint32_t net, int prefix) {
  const uint32_t mask = prefix == 0 ? 0 : ~uint32_t{0} << (32 - prefix);
  return (address & mask) == net;
}

constexpr uint32_t Quad(unsigned a, unsigned b, unsigned c, unsigned d) {
  return (a << 24) | (b << 16) | (c << 8) | d;
}

bool V4PrivateRange(uint32_t a) {
  return InV4Net(a, Quad(10, 0, 0, 0), 8) || InV4Net(a, Quad(172, 16, 0, 0), 12) ||
         InV4Net(a, Quad(192, 168, 0, 0), 16);
}

bool AllZero(const unsigned char* b, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (b[i] != 0) return false;
  }
  return true;
}

bool IsV6Loopback(const unsigned char* b) { return AllZero(b, 15) && b[15] == 1; }
bool IsV6LinkLocal(const unsigned char* b) { return b[0] == 0xfe && (b[1] & 0xc0) == 0x80; }
bool IsV6SiteLocal(const unsigned char* b) { return b[0] == 0xfe && b[1] >= 0xc0; }
bool IsV6Mapped(const unsigned char* b) {
  return AllZero(b, 10) && b[10] == 0xff && b[11] == 0xff;
}

}  // namespace

int PlatformFamilyOfProtocol(_qvipprotocol protocol) {
  static constexpr int kFamilies[3] = {AF_INET, AF_INET6, AF_UNIX};
  if (protocol >= 1 && protocol <= 3) return kFamilies[protocol - 1];
  return AF_UNSPEC;
}

// ---------------------------------------------------------------- QVAddress

QVAddress::QVAddress() { std::memset(storage_, 0, sizeof storage_); }

QVAddress::QVAddress(const sockaddr*) { std::memset(storage_, 0, sizeof storage_); }

QVAddress::QVAddress(const QVAddress& other) : QVObject(other) {
  std::memcpy(storage_, other.storage_, sizeof storage_);
}

const void* QVAddress::GetBinaryAddress() const { return storage_; }

socklen_t QVAddress::GetBinaryAddressLength() const { return kStorageSize; }

QVAddress& QVAddress::operator=(const QVAddress& other) {
  if (this != &other) {
    std::memset(storage_, 0, sizeof storage_);
    std::memcpy(storage_, other.storage_, sizeof storage_);
  }
  return *this;
}

bool QVAddress::operator<(QVAddress& other) const {
  return static_cast<int8_t>(storage_[0]) < static_cast<int8_t>(other.storage_[0]);
}

bool QVAddress::operator<(const QVAddress& other) const {
  return static_cast<int8_t>(storage_[0]) < static_cast<int8_t>(other.storage_[0]);
}

std::ostream& QVAddress::WriteAddress(std::ostream& os) const {
  os << "<QVAddress>";
  os.write(reinterpret_cast<const char*>(storage_), sizeof storage_);
  os << std::dec << "</QVAddress>";
  return os;
}

// ---------------------------------------------------------------- QVIPAddress

QVIPAddress::QVIPAddress() = default;

QVIPAddress::QVIPAddress(const sockaddr* address) {
  if (address != nullptr) {
    if (address->sa_family == AF_INET) {
      CopySocketAddress(address, sizeof(sockaddr_in));
    } else if (address->sa_family == AF_INET6) {
      CopySocketAddress(address, sizeof(sockaddr_in6));
    }
  }
  LoadDecimalName();
}

QVIPAddress::QVIPAddress(const sockaddr_in* address) {
  if (address != nullptr) CopySocketAddress(address, sizeof(sockaddr_in));
  LoadDecimalName();
}

QVIPAddress::QVIPAddress(const sockaddr_in6* address) {
  if (address != nullptr) CopySocketAddress(address, sizeof(sockaddr_in6));
  LoadDecimalName();
}

QVIPAddress::QVIPAddress(const in_addr* address) {
  if (address != nullptr) {
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr = *address;
    CopySocketAddress(&sin, sizeof sin);
  }
  LoadDecimalName();
}

QVIPAddress::QVIPAddress(const in6_addr* address) {
  if (address != nullptr) {
    sockaddr_in6 sin6{};
    sin6.sin6_family = AF_INET6;
    sin6.sin6_addr = *address;
    CopySocketAddress(&sin6, sizeof sin6);
  }
  LoadDecimalName();
}

QVIPAddress::QVIPAddress(int length, const unsigned char* address) {
  if (address == nullptr) {
    throw QVException("QVIPAddress constructor cannot have a NULL address argument.",
                      kSourceFile, __LINE__, qvexceptiontype::badArgument, 0);
  }
  if (length == 4) {
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    std::memcpy(&sin.sin_addr, address, 4);
    CopySocketAddress(&sin, sizeof sin);
  } else if (length == 16) {
    sockaddr_in6 sin6{};
    sin6.sin6_family = AF_INET6;
    std::memcpy(&sin6.sin6_addr, address, 16);
    CopySocketAddress(&sin6, sizeof sin6);
  } else {
    throw QVException(
        "QVIPAddress must have either a sizeof(struct sockaddr_in) byte or sizeof(struct "
        "sockaddr_in6) byte address length.",
        kSourceFile, __LINE__, qvexceptiontype::badArgument, 0);
  }
  LoadDecimalName();
}

QVIPAddress::QVIPAddress(const QVString& text) {
  LoadIPFromString(text);
  LoadDecimalName();
}

QVIPAddress::QVIPAddress(const char* text) : QVIPAddress(Cstr(text)) {}

QVIPAddress::QVIPAddress(const QVString& text, unsigned short port) : QVIPAddress(text) {
  AddPort(port);
}

QVIPAddress::QVIPAddress(const char* text, unsigned short port) : QVIPAddress(Cstr(text)) {
  AddPort(port);
}

QVIPAddress::QVIPAddress(const QVString& text, const QVString& port) : QVIPAddress(text) {
  AddPort(port);
}

QVIPAddress::QVIPAddress(const char* text, const char* port) : QVIPAddress(Cstr(text)) {
  AddPort(port);
}

QVIPAddress::QVIPAddress(const QVString& text, _qvipprotocol protocol, unsigned short port) {
  LoadIPFromString(text, protocol);
  LoadDecimalName();
  AddPort(port);
}

QVIPAddress::QVIPAddress(const char* text, _qvipprotocol protocol, unsigned short port)
    : QVIPAddress(Cstr(text), protocol, port) {}

QVIPAddress::QVIPAddress(const QVString& text, _qvipprotocol protocol, const QVString& port)
    : QVIPAddress(text, protocol, static_cast<unsigned short>(0)) {
  AddPort(port);
}

QVIPAddress::QVIPAddress(const char* text, _qvipprotocol protocol, const char* port)
    : QVIPAddress(Cstr(text), protocol, static_cast<unsigned short>(0)) {
  AddPort(port);
}

QVIPAddress::QVIPAddress(const QVIPAddress& other)
    : QVAddress(other),
      domainName_(other.domainName_),
      domainNameOnly_(other.domainNameOnly_),
      presentationName_(other.presentationName_) {}

QVIPAddress QVIPAddress::initForAnyAddressAnyPort(_qvipprotocol protocol) {
  if (protocol == QVIPV6) return QVIPAddress(&in6addr_any);
  if (protocol == QVIPV4) {
    in_addr any{};
    any.s_addr = htonl(INADDR_ANY);
    return QVIPAddress(&any);
  }
  return QVIPAddress();
}

QVIPAddress QVIPAddress::initForAnyAddressWithPort(unsigned short port, _qvipprotocol protocol) {
  QVIPAddress address = initForAnyAddressAnyPort(protocol);
  address.AddPort(port);
  return address;
}

QVIPAddress QVIPAddress::initForAnyAddressWithPort(const QVString& port, _qvipprotocol protocol) {
  QVIPAddress address = initForAnyAddressAnyPort(protocol);
  address.AddPort(port);
  return address;
}

QVIPAddress QVIPAddress::initForAnyAddressWithPort(const char* port, _qvipprotocol protocol) {
  return initForAnyAddressWithPort(Cstr(port), protocol);
}

QVIPAddress& QVIPAddress::operator=(const QVIPAddress& other) {
  if (this == &other) return *this;
  std::memcpy(storage_, other.storage_, sizeof storage_);
  presentationName_ = other.presentationName_;
  domainName_ = other.domainName_;
  domainNameOnly_ = other.domainNameOnly_;
  return *this;
}

QVIPAddress& QVIPAddress::operator=(const sockaddr_in* address) {
  return *this = QVIPAddress(address);
}
QVIPAddress& QVIPAddress::operator=(const sockaddr_in6* address) {
  return *this = QVIPAddress(address);
}
QVIPAddress& QVIPAddress::operator=(const in_addr* address) {
  return *this = QVIPAddress(address);
}
QVIPAddress& QVIPAddress::operator=(const in6_addr* address) {
  return *this = QVIPAddress(address);
}
QVIPAddress& QVIPAddress::operator=(const QVString& text) { return *this = QVIPAddress(text); }
QVIPAddress& QVIPAddress::operator=(const char* text) { return *this = QVIPAddress(text); }

void QVIPAddress::Clear() { std::memset(storage_, 0, sizeof storage_); }

void QVIPAddress::CopySocketAddress(const void* address, size_t length) {
  Clear();
  std::memcpy(storage_, address, length < sizeof storage_ ? length : sizeof storage_);
}

void QVIPAddress::ResolveText(const char* text, int family) {
  addrinfo hints{};
  hints.ai_flags = 0;
  hints.ai_family = family;
  hints.ai_socktype = SOCK_STREAM;
  AddrInfoList list;
  const int rc = getaddrinfo(text, nullptr, &hints, &list.head);
  if (rc != 0 || list.head == nullptr) {
    const int code = rc != 0 ? rc : EAI_NONAME;
    QVString message("Getaddrinfo generated the following error: ");
    message += getErrorString(code);
    throw QVException(message, kSourceFile, __LINE__, qvexceptiontype::socketCallFailed, code);
  }
  // The resolver may list one address twice (a hosts file naming the name for
  // both families gives the loopback twice for IPv4): only distinct
  // addresses count.
  bool several = false;
  for (const addrinfo* r = list.head->ai_next; r != nullptr; r = r->ai_next) {
    if (r->ai_addrlen != list.head->ai_addrlen ||
        std::memcmp(r->ai_addr, list.head->ai_addr, r->ai_addrlen) != 0) {
      several = true;
    }
  }
  if (several) {
    QVString message("Argument ");
    message += text;
    message += " generated more than one binary IP address.";
    throw QVException(message, kSourceFile, __LINE__, qvexceptiontype::badArgument, 0);
  }
  CopySocketAddress(list.head->ai_addr, list.head->ai_addrlen);
}

void QVIPAddress::LoadIPFromString(const QVString& text) { ResolveText(text.c_str(), AF_UNSPEC); }

void QVIPAddress::LoadIPFromString(const QVString& text, _qvipprotocol protocol) {
  ResolveText(text.c_str(), PlatformFamilyOfProtocol(protocol));
}

void QVIPAddress::AddPort(unsigned short port) {
  if (GetFamily() == AF_INET) {
    reinterpret_cast<sockaddr_in*>(storage_)->sin_port = htons(port);
  } else if (GetFamily() == AF_INET6) {
    reinterpret_cast<sockaddr_in6*>(storage_)->sin6_port = htons(port);
  }
}

void QVIPAddress::AddPort(const QVString& port) { AddPort(ReadPort(port.c_str())); }

void QVIPAddress::AddPort(const char* port) { AddPort(ReadPort(port)); }

QVIPAddress QVIPAddress::WithPort(const QVString& port) const {
  QVIPAddress copy(*this);
  copy.AddPort(port);
  return copy;
}

unsigned short QVIPAddress::GetPort() const {
  if (IPV4Q()) return ntohs(V4()->sin_port);
  if (IPV6Q()) return ntohs(V6()->sin6_port);
  return 0;
}

bool QVIPAddress::HasPortQ() const { return (IPV4Q() || IPV6Q()) && GetPort() != 0; }

int QVIPAddress::GetFamily() const {
  sa_family_t family;
  std::memcpy(&family, storage_, sizeof family);
  return family;
}

const void* QVIPAddress::GetBinaryAddress() const { return storage_; }

socklen_t QVIPAddress::GetBinaryAddressLength() const {
  if (IPV4Q()) return sizeof(sockaddr_in);
  if (IPV6Q()) return sizeof(sockaddr_in6);
  return 0;
}

const unsigned char* QVIPAddress::V4Bytes() const {
  return reinterpret_cast<const unsigned char*>(&V4()->sin_addr);
}

const unsigned char* QVIPAddress::V6Bytes() const {
  return reinterpret_cast<const unsigned char*>(&V6()->sin6_addr);
}

// ---------------------------------------------------------------- names

const QVString& QVIPAddress::GetPresentationName() const {
  if (!presentationName_) {
    throw QVException("Presentation name does not exist for this address.", kSourceFile,
                      __LINE__, qvexceptiontype::missingObject, 0);
  }
  return *presentationName_;
}

const QVString& QVIPAddress::GetDomainName() const {
  if (!domainName_) {
    throw QVException("Domain name does not exist for this address.", kSourceFile, __LINE__,
                      qvexceptiontype::missingObject, 0);
  }
  return *domainName_;
}

const QVString& QVIPAddress::GetDomainNameOnly() const {
  if (!domainNameOnly_) {
    throw QVException("Domain only name does not exist for this address.", kSourceFile,
                      __LINE__, qvexceptiontype::missingObject, 0);
  }
  return *domainNameOnly_;
}

const char* QVIPAddress::GetPresentationName_c_str() const {
  return GetPresentationName().c_str();
}
const char* QVIPAddress::GetDomainName_c_str() const { return GetDomainName().c_str(); }
const char* QVIPAddress::GetDomainNameOnly_c_str() const { return GetDomainNameOnly().c_str(); }

bool QVIPAddress::LoadDecimalName() {
  char buffer[kNameBufferSize];
  const char* text = nullptr;
  if (IPV4Q()) {
    text = inet_ntop(AF_INET, V4Bytes(), buffer, sizeof buffer);
  } else if (IPV6Q()) {
    text = inet_ntop(AF_INET6, V6Bytes(), buffer, sizeof buffer);
  }
  if (text == nullptr) return false;
  presentationName_ = QVString(text);
  return true;
}

bool QVIPAddress::SkipLookupQ(bool force) const {
  if (IPV6Q() && LinkLocalQ()) return true;
  if (!force) return IPV4Q() && LinkLocalQ();
  if (IPV6Q() && LoopbackQ()) return true;
  if (IPV4Q()) {
    if (LoopbackQ()) return true;
    if (!GlobalQ() && (!presentationName_ || V4PrivateRange(HostOrder(V4Bytes())))) return true;
  }
  return false;
}

std::optional<QVString> QVIPAddress::ReverseName(bool force, bool refuseLocal) const {
  if (!IPV4Q() && !IPV6Q()) return std::nullopt;
  char host[kNameBufferSize];
  char service[kServiceBufferSize];
  const socklen_t length = IPV4Q() ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
  if (getnameinfo(reinterpret_cast<const sockaddr*>(storage_), length, host, sizeof host,
                  service, sizeof service, NI_NAMEREQD) != 0) {
    return std::nullopt;
  }
  const QVString name(host);
  if (name.find("localhost") != QVString::npos) return std::nullopt;
  const size_t lastDot = name.rfind('.');
  if (lastDot == QVString::npos) return std::nullopt;
  if (refuseLocal && name.compare(lastDot, QVString::npos, ".local") == 0) return std::nullopt;
  return name;
}

void QVIPAddress::LoadDomainName(bool force) {
  if (SkipLookupQ(force)) return;
  domainName_.reset();
  std::optional<QVString> name = ReverseName(force, true);
  if (!name) return;
  // Confirm forward, so a forged reverse entry does not name the address.
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  AddrInfoList list;
  if (getaddrinfo(name->c_str(), nullptr, &hints, &list.head) != 0 || list.head == nullptr) return;
  for (const addrinfo* r = list.head; r != nullptr; r = r->ai_next) {
    if (r->ai_family != GetFamily()) return;
    if (r->ai_family == AF_INET6) {
      const auto* sin6 = reinterpret_cast<const sockaddr_in6*>(r->ai_addr);
      if (std::memcmp(&sin6->sin6_addr, V6Bytes(), 16) == 0) {
        domainName_ = *name;
        return;
      }
    } else if (r->ai_family == AF_INET) {
      const auto* sin = reinterpret_cast<const sockaddr_in*>(r->ai_addr);
      const auto* bytes = reinterpret_cast<const unsigned char*>(&sin->sin_addr);
      if (std::memcmp(bytes, V4Bytes(), 4) == 0 || bytes[0] == 127) {
        domainName_ = *name;
        return;
      }
    }
  }
}

void QVIPAddress::LoadDomainNameOnly(bool force) {
  if (SkipLookupQ(force)) return;
  domainNameOnly_.reset();
  std::optional<QVString> name = ReverseName(force, false);
  if (!name) return;
  domainNameOnly_ = name->substr(name->find('.') + 1);
}

void QVIPAddress::AddInterfaceQualifier(const QVString& name) {
  const QVString& presentation = GetPresentationName();
  if (IPV6Q() && LinkLocalQ()) {
    QVString qualified = presentation;
    qualified += '%';
    qualified += name;
    presentationName_ = std::move(qualified);
  }
}

void QVIPAddress::AddInterfaceQualifier(const char* name) { AddInterfaceQualifier(Cstr(name)); }

// ---------------------------------------------------------------- comparison

bool QVIPAddress::operator==(const QVIPAddress& other) const {
  if (GetFamily() != other.GetFamily()) return false;
  if (IPV6Q()) return std::memcmp(V6Bytes(), other.V6Bytes(), 16) == 0;
  if (IPV4Q()) return std::memcmp(V4Bytes(), other.V4Bytes(), 4) == 0;
  return true;
}

bool QVIPAddress::operator<(const QVIPAddress& other) const {
  if (IPV4Q() && other.IPV6Q()) return true;
  if (IPV4Q()) {
    if (std::memcmp(V4Bytes(), other.V4Bytes(), 4) == 0) return false;
    // Little-endian reading, first byte least significant.
    auto le = [](const unsigned char* b) {
      return static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
             (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24);
    };
    return le(V4Bytes()) < le(other.V4Bytes());
  }
  if (IPV6Q()) {
    if (other.IPV4Q()) return false;
    return std::memcmp(V6Bytes(), other.V6Bytes(), 16) < 0;
  }
  return false;
}

// ---------------------------------------------------------------- classification

bool QVIPAddress::LinkLocalQ() const {
  if (IPV4Q()) return InV4Net(HostOrder(V4Bytes()), Quad(169, 254, 0, 0), 16);
  if (IPV6Q()) return IsV6LinkLocal(V6Bytes());
  return false;
}

bool QVIPAddress::LoopbackQ() const {
  // Only the loopback address itself; its byte-reversed twin 1.0.0.127 is public.
  if (IPV4Q()) return HostOrder(V4Bytes()) == Quad(127, 0, 0, 1);
  if (IPV6Q()) return IsV6Loopback(V6Bytes());
  return false;
}

bool QVIPAddress::SiteLocalQ() const { return IPV6Q() && IsV6SiteLocal(V6Bytes()); }

bool QVIPAddress::V4MappedQ() const { return IPV6Q() && IsV6Mapped(V6Bytes()); }

bool QVIPAddress::IsRouterAddressQ() const {
  if (IPV4Q()) return V4Bytes()[3] == 1;
  if (IPV6Q()) return V6Bytes()[15] == 1;
  return false;
}

bool QVIPAddress::GlobalQ() const {
  if (!presentationName_) return false;
  if (IPV4Q()) {
    const uint32_t a = HostOrder(V4Bytes());
    return !(InV4Net(a, Quad(10, 0, 0, 0), 8) || InV4Net(a, Quad(169, 254, 0, 0), 16) ||
             InV4Net(a, Quad(192, 168, 0, 0), 16) || InV4Net(a, Quad(127, 0, 0, 0), 8) ||
             InV4Net(a, Quad(172, 16, 0, 0), 12));
  }
  if (IPV6Q()) {
    const unsigned char* b = V6Bytes();
    return !(AllZero(b, 16) || IsV6Loopback(b) || IsV6Mapped(b) || b[0] == 0xff ||
             IsV6LinkLocal(b) || IsV6SiteLocal(b));
  }
  return true;
}

bool QVIPAddress::PrivateQ() const {
  if (GlobalQ()) return false;
  if (!presentationName_) return true;
  if (IPV6Q()) {
    const unsigned char* b = V6Bytes();
    return AllZero(b, 16) || (b[0] == 0xfe && b[1] >= 0x80);
  }
  if (IPV4Q()) return V4PrivateRange(HostOrder(V4Bytes()));
  return false;
}

bool QVIPAddress::AutoconfiguredQ() const {
  if (GlobalQ() || PrivateQ() || IPV6Q()) return false;
  return IPV4Q() && presentationName_ && presentationName_->find("169.254") != QVString::npos;
}

bool QVIPAddress::IPV4NameQ(const QVString& text) { return text.find('.') != QVString::npos; }

bool QVIPAddress::IPV6NameQ(const QVString& text) { return text.find(':') != QVString::npos; }

QVString QVIPAddress::getErrorString(int code) { return QVString(gai_strerror(code)); }

std::ostream& QVIPAddress::WriteAddress(std::ostream& os) const {
  os << "<QVIPAddress>";
  if (domainName_) os << "<DNS>" << domainName_->c_str() << "</DNS>";
  if (presentationName_) os << "<Pre>" << presentationName_->c_str() << "</Pre>";
  if (domainNameOnly_) os << "<Domain>" << domainNameOnly_->c_str() << "</Domain>";
  os << "</QVIPAddress>";
  return os;
}

// ---------------------------------------------------------------- host name

QVHostname::QVHostname() {
  char buffer[1024];
  if (gethostname(buffer, sizeof buffer) != 0) return;
  buffer[sizeof buffer - 1] = '\0';
  const hostent* entry = gethostbyname(buffer);
  if (entry != nullptr && entry->h_name != nullptr) name_ = entry->h_name;
}

QVHostname& QVHostname::operator=(const QVHostname& other) {
  if (this != &other) name_ = other.name_;
  return *this;
}

QVString QVHostname::getDomain() const {
  const size_t dot = name_.find('.');
  if (dot == QVString::npos) return QVString();
  return name_.substr(dot + 1);
}

std::ostream& QVHostname::print(std::ostream& os) const {
  os << "<QVHostname>" << "<hostname>" << name_.c_str() << "</hostname>" << "</QVHostname>";
  return os;
}

// ---------------------------------------------------------------- free functions

uint64_t QVIPAddressHashFunction::operator()(const QVIPAddress& address,
                                             uint64_t tableSize) const {
  const QVString& name = address.GetPresentationName();
  // The recurrence divides by tableSize - 1.
  if (tableSize < 2) {
    throw QVException("Hash table size must be at least 2.", kSourceFile, __LINE__,
                      qvexceptiontype::badArgument, 0);
  }
  uint64_t h = 0;
  uint64_t a = 31415;
  for (char ch : name) {
    const auto c = static_cast<uint64_t>(static_cast<int64_t>(static_cast<int8_t>(ch)));
    h = (a * h + c) % tableSize;
    a = (a * 27813) % (tableSize - 1);
  }
  if (h < tableSize) h += tableSize;
  return h;
}

bool CheckName(const QVString& text, _qvipprotocol protocol) {
  addrinfo hints{};
  hints.ai_family = protocol == QVIPV6 ? AF_INET6 : AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  AddrInfoList list;
  if (getaddrinfo(text.c_str(), nullptr, &hints, &list.head) != 0 || list.head == nullptr) {
    return false;
  }
  for (const addrinfo* r = list.head; r != nullptr; r = r->ai_next) {
    if (r->ai_family != hints.ai_family) return false;
  }
  return true;
}

bool IsIPV6Q(const QVString& text) { return CheckName(text, QVIPV6); }
bool IsIPV6Q(const char* text) { return CheckName(Cstr(text), QVIPV6); }
bool IsIPV4Q(const QVString& text) { return CheckName(text, QVIPV4); }
bool IsIPV4Q(const char* text) { return CheckName(Cstr(text), QVIPV4); }

_qvipprotocol GetNameProtocol(const QVString& text) { return IsIPV6Q(text) ? QVIPV6 : QVIPV4; }
_qvipprotocol GetNameProtocol(const char* text) { return GetNameProtocol(Cstr(text)); }

std::ostream& operator<<(std::ostream& os, const QVAddress& address) {
  return address.WriteAddress(os);
}

std::ostream& operator<<(std::ostream& os, const QVIPAddress& address) {
  return address.WriteAddress(os);
}

std::ostream& operator<<(std::ostream& os, const QVHostname& hostname) {
  return hostname.print(os);
}

}  // namespace Quorvane
