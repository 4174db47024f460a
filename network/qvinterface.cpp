#include "network/qvinterface.h"

#include "utilities/qvexception.h"

namespace Quorvane {

namespace {
constexpr char kSourceFile[] = "network/qvinterface";
}  // namespace

QVInterface::QVInterface() = default;

QVInterface::QVInterface(const QVString& name) : name_(name) {}

QVInterface::QVInterface(const char* name) : name_(QVString(name != nullptr ? name : "")) {}

QVInterface::QVInterface(const QVInterface& other)
    : QVObject(other), index(other.index), name_(other.name_), addresses_(other.addresses_) {}

QVInterface& QVInterface::operator=(const QVInterface& other) {
  if (this == &other) return *this;
  name_ = other.name_;
  addresses_ = other.addresses_;
  index = other.index;
  return *this;
}

bool QVInterface::operator==(const QVInterface& other) const {
  if (!name_ || !other.name_ || !addresses_ || !other.addresses_) return false;
  return *name_ == *other.name_ && *addresses_ == *other.addresses_;
}

template <typename Test>
bool QVInterface::AnyQ(Test test) const {
  if (!addresses_) return false;
  for (const QVIPAddress& a : *addresses_) {
    if (test(a)) return true;
  }
  return false;
}

template <typename Test>
QVIPAddress& QVInterface::First(Test test, const char* message) {
  if (addresses_) {
    for (QVIPAddress& a : *addresses_) {
      if (test(a)) return a;
    }
  }
  throw QVException(message, kSourceFile, __LINE__, qvexceptiontype::noAddressOfKind, 0);
}

bool QVInterface::HasIPV4AddressQ() const {
  return AnyQ([](const QVIPAddress& a) { return a.IPV4Q(); });
}
bool QVInterface::HasIPV6AddressQ() const {
  return AnyQ([](const QVIPAddress& a) { return a.IPV6Q(); });
}
bool QVInterface::HasGlobalIPV4AddressQ() const {
  return AnyQ([](const QVIPAddress& a) { return a.IPV4Q() && a.GlobalQ(); });
}
bool QVInterface::HasGlobalIPV6AddressQ() const {
  return AnyQ([](const QVIPAddress& a) { return a.IPV6Q() && a.GlobalQ(); });
}
bool QVInterface::HasSiteLocalIPV6AddressQ() const {
  return AnyQ([](const QVIPAddress& a) { return a.IPV6Q() && a.SiteLocalQ(); });
}
bool QVInterface::HasSiteLocalIPV6AddressThatIsNotARouterAddressQ() const {
  return AnyQ([](const QVIPAddress& a) {
    return a.IPV6Q() && a.SiteLocalQ() && !a.IsRouterAddressQ();
  });
}
bool QVInterface::HasLinkLocalIPV6AddressQ() const {
  return AnyQ([](const QVIPAddress& a) { return a.IPV6Q() && a.LinkLocalQ(); });
}
bool QVInterface::HasLinkLocalIPV6AddressThatIsNotARouterAddressQ() const {
  return AnyQ([](const QVIPAddress& a) {
    return a.IPV6Q() && a.LinkLocalQ() && !a.IsRouterAddressQ();
  });
}
bool QVInterface::HasPrivateIPV4AddressQ() const {
  return AnyQ([](const QVIPAddress& a) { return a.IPV4Q() && a.PrivateQ(); });
}
bool QVInterface::HasPrivateIPV4AddressThatIsNotARouterAddressQ() const {
  return AnyQ(
      [](const QVIPAddress& a) { return a.IPV4Q() && a.PrivateQ() && !a.IsRouterAddressQ(); });
}
bool QVInterface::HasRouterAddressQ() const {
  return AnyQ([](const QVIPAddress& a) { return a.IsRouterAddressQ(); });
}

bool QVInterface::LoopbackQ() const { return name_ && (*name_ == "lo" || *name_ == "lo0"); }

QVIPAddress& QVInterface::GetIPV4Address() {
  return First([](const QVIPAddress& a) { return a.IPV4Q(); },
               "Interface does not have an IPv4 address.");
}
QVIPAddress& QVInterface::GetGlobalIPV4Address() {
  return First([](const QVIPAddress& a) { return a.IPV4Q() && a.GlobalQ(); },
               "Interface does not have an IPv4 address.");
}
QVIPAddress& QVInterface::GetPrivateIPV4Address() {
  return First([](const QVIPAddress& a) { return a.IPV4Q() && a.PrivateQ(); },
               "Interface does not have an IPv4 address.");
}
QVIPAddress& QVInterface::GetGlobalIPV6Address() {
  return First([](const QVIPAddress& a) { return a.IPV6Q() && a.GlobalQ(); },
               "Interface does not have a Global IPV6 address.");
}
QVIPAddress& QVInterface::GetSiteLocalIPV6Address() {
  return First([](const QVIPAddress& a) { return a.IPV6Q() && a.SiteLocalQ(); },
               "Interface does not have a SiteLocal IPV6 address.");
}
QVIPAddress& QVInterface::GetLinkLocalIPV6Address() {
  return First([](const QVIPAddress& a) { return a.IPV6Q() && a.LinkLocalQ(); },
               "Interface does not have a LinkLocal IPV6 address.");
}
QVIPAddress& QVInterface::GetLoopbackAddress() {
  return First([](const QVIPAddress& a) { return a.LoopbackQ(); },
               "Interface does not have a Loopback address.");
}
QVIPAddress& QVInterface::GetIPV4LoopbackAddress() {
  return First([](const QVIPAddress& a) { return a.LoopbackQ() && a.IPV4Q(); },
               "Interface does not have an IPV4 Loopback address.");
}
QVIPAddress& QVInterface::GetIPV6LoopbackAddress() {
  return First([](const QVIPAddress& a) { return a.LoopbackQ() && a.IPV6Q(); },
               "Interface does not have an IPV6 Loopback address.");
}

const QVString& QVInterface::GetName() const {
  if (!name_) {
    throw QVException("Interface name not found.", kSourceFile, __LINE__,
                      qvexceptiontype::notFound, 0);
  }
  return *name_;
}

const char* QVInterface::GetName_c_str() const { return GetName().c_str(); }

void QVInterface::AddAddress(const QVIPAddress& address) {
  if (!addresses_) addresses_.emplace();
  for (const QVIPAddress& a : *addresses_) {
    if (a == address) return;
  }
  addresses_->push_front(address);
}

void QVInterface::AddAddress(const QVIPAddress* address) {
  if (address != nullptr) AddAddress(*address);
}

QVStringList& QVInterface::GetPresentationNames() {
  presentationNames_.clear();
  if (addresses_) {
    for (const QVIPAddress& a : *addresses_) presentationNames_.push_front(a.GetPresentationName());
  }
  presentationNames_.sort();
  return presentationNames_;
}

QVStringList& QVInterface::GetDomainNames() {
  domainNames_.clear();
  if (addresses_) {
    for (const QVIPAddress& a : *addresses_) {
      if (a.HasDomainNameQ()) domainNames_.push_front(a.GetDomainName());
    }
  }
  domainNames_.sort();
  return domainNames_;
}

QVStringList& QVInterface::GetDomainOnlyNames() {
  domainOnlyNames_.clear();
  if (addresses_) {
    for (const QVIPAddress& a : *addresses_) {
      if (a.HasDomainNameOnlyQ()) domainOnlyNames_.push_front(a.GetDomainNameOnly());
    }
  }
  domainOnlyNames_.sort();
  return domainOnlyNames_;
}

void QVInterface::LoadDomainNames() {
  if (!addresses_) return;
  for (QVIPAddress& a : *addresses_) a.LoadDomainName(false);
}

void QVInterface::LoadDomainOnlyNames() {
  if (!addresses_) return;
  for (QVIPAddress& a : *addresses_) a.LoadDomainNameOnly(false);
}

std::ostream& operator<<(std::ostream& os, const QVInterface& record) {
  if (record.HasNameQ()) {
    os << record.GetName().c_str();
  } else {
    os << "Unnamed interface object " << static_cast<const void*>(&record);
  }
  os << ": ";
  if (const QVIPAddressList* addresses = record.GetAddresses()) {
    for (const QVIPAddress& a : *addresses) os << a << " ";
  }
  return os;
}

}  // namespace Quorvane
