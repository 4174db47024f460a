// The platform-independent part of the interface container.
#include "network/qvinterface.h"
#include "utilities/qvexception.h"

namespace Quorvane {

namespace {

constexpr char kSourceFile[] = "network/qvinterface";

QVString Cstr(const char* text) { return QVString(text != nullptr ? text : ""); }

[[noreturn]] void Throw(const QVString& message, unsigned line, qvexceptiontype type) {
  throw QVException(message, kSourceFile, line, type, 0);
}

}  // namespace

QVInterfaceContainer& QVInterfaceContainer::operator=(const QVInterfaceContainer& other) {
  if (this == &other) return *this;
  interfacetable_ = other.interfacetable_;
  hostnametable_ = other.hostnametable_;
  addresstable_ = other.addresstable_;
  domainnames_ = other.domainnames_;
  domainonlynames_ = other.domainonlynames_;
  presentationnames_ = other.presentationnames_;
  interfacenames_ = other.interfacenames_;
  return *this;
}

bool QVInterfaceContainer::operator==(const QVInterfaceContainer& other) const {
  if (interfacetable_.size() != other.interfacetable_.size()) return false;
  auto a = interfacetable_.begin();
  auto b = other.interfacetable_.begin();
  for (; a != interfacetable_.end(); ++a, ++b) {
    if (a->first != b->first || a->second != b->second) return false;
  }
  return true;
}

// ---------------------------------------------------------------- filling

void QVInterfaceContainer::AddInterface(const QVString& name) {
  if (interfacetable_.count(name) != 0) {
    Throw("Unable to create interface " + name + ", the interface already exists.", __LINE__,
          qvexceptiontype::objectExists);
  }
  interfacetable_.emplace(name, QVInterface(name));
}

void QVInterfaceContainer::AddInterface(const char* name) { AddInterface(Cstr(name)); }

void QVInterfaceContainer::AddAddressToInterface(const QVString& name,
                                                 const QVIPAddress& address) {
  if (interfacetable_.count(name) == 0) AddInterface(name);
  interfacetable_.at(name).AddAddress(address);
}

void QVInterfaceContainer::AddAddressToInterface(const char* name, const QVIPAddress& address) {
  AddAddressToInterface(Cstr(name), address);
}

void QVInterfaceContainer::AddHostnameToTable(const QVString& interfaceName,
                                              const QVString& hostText) {
  hostnametable_[hostText] = interfaceName;
}

void QVInterfaceContainer::AddHostnameToTable(const char* interfaceName, const char* hostText) {
  AddHostnameToTable(Cstr(interfaceName), Cstr(hostText));
}

void QVInterfaceContainer::AddHostnameToTable(const char* interfaceName,
                                              const QVString& hostText) {
  AddHostnameToTable(Cstr(interfaceName), hostText);
}

void QVInterfaceContainer::AddAddressToTable(const QVString& interfaceName,
                                             const QVIPAddress& address) {
  // Assign the key too, so the entry holds the newest address object.
  addresstable_.erase(address);
  addresstable_.emplace(address, interfaceName);
}

void QVInterfaceContainer::AddAddressToTable(const char* interfaceName,
                                             const QVIPAddress& address) {
  AddAddressToTable(Cstr(interfaceName), address);
}

void QVInterfaceContainer::SetIndexForInterface(const QVString& name, int32_t index) {
  auto it = interfacetable_.find(name);
  if (it != interfacetable_.end()) it->second.index = index;
}

void QVInterfaceContainer::SetIndexForInterface(const char* name, int32_t index) {
  SetIndexForInterface(Cstr(name), index);
}

// ---------------------------------------------------------------- lookups

bool QVInterfaceContainer::HasInterfaceQ(const QVString& name) const {
  return interfacetable_.count(name) != 0;
}

bool QVInterfaceContainer::HasInterfaceQ(const char* name) const {
  return HasInterfaceQ(Cstr(name));
}

QVInterface& QVInterfaceContainer::GetInterface(const QVString& name) {
  auto it = interfacetable_.find(name);
  if (it == interfacetable_.end()) {
    Throw("Interface " + name + " not found.", __LINE__, qvexceptiontype::noInterfaceOfKind);
  }
  return it->second;
}

QVInterface& QVInterfaceContainer::GetInterface(const char* name) {
  return GetInterface(Cstr(name));
}

QVString& QVInterfaceContainer::GetInterfaceFromHostname(const QVString& hostText) {
  auto it = hostnametable_.find(hostText);
  if (it == hostnametable_.end()) {
    Throw("Hostname " + hostText + " not found.", __LINE__, qvexceptiontype::noAddressOfKind);
  }
  return it->second;
}

QVString& QVInterfaceContainer::GetInterfaceFromHostname(const char* hostText) {
  return GetInterfaceFromHostname(Cstr(hostText));
}

QVInterface& QVInterfaceContainer::RecordForHostname(const QVString& hostText) {
  const QVString& name = GetInterfaceFromHostname(hostText);
  auto it = interfacetable_.find(name);
  if (it == interfacetable_.end()) {
    Throw("Hostname " + hostText + " not found.", __LINE__, qvexceptiontype::noAddressOfKind);
  }
  return it->second;
}

namespace {
// Global, else site-local, else link-local.
QVIPAddress& BestIPV6Address(QVInterface& record) {
  if (record.HasGlobalIPV6AddressQ()) return record.GetGlobalIPV6Address();
  if (record.HasSiteLocalIPV6AddressQ()) return record.GetSiteLocalIPV6Address();
  return record.GetLinkLocalIPV6Address();
}
}  // namespace

QVIPAddress& QVInterfaceContainer::GetIPV4AddressFromHostname(const QVString& hostText) {
  QVInterface& record = RecordForHostname(hostText);
  if (!record.HasIPV4AddressQ()) {
    Throw(hostText + " has no IPV4 address.", __LINE__, qvexceptiontype::noAddressOfKind);
  }
  return record.GetIPV4Address();
}

QVIPAddress& QVInterfaceContainer::GetIPV4AddressFromHostname(const char* hostText) {
  return GetIPV4AddressFromHostname(Cstr(hostText));
}

QVIPAddress& QVInterfaceContainer::GetIPV6AddressFromHostname(const QVString& hostText) {
  QVInterface& record = RecordForHostname(hostText);
  if (!record.HasIPV6AddressQ()) {
    Throw(hostText + " has no IPV6 address.", __LINE__, qvexceptiontype::noAddressOfKind);
  }
  return BestIPV6Address(record);
}

QVIPAddress& QVInterfaceContainer::GetIPV6AddressFromHostname(const char* hostText) {
  return GetIPV6AddressFromHostname(Cstr(hostText));
}

QVIPAddress& QVInterfaceContainer::GetIPV4AddressFromInterface(const QVString& name) {
  auto it = interfacetable_.find(name);
  if (it == interfacetable_.end()) {
    Throw("Interface " + name + " not found.", __LINE__, qvexceptiontype::noAddressOfKind);
  }
  if (!it->second.HasIPV4AddressQ()) {
    Throw("Interface " + name + " has no assigned IPV4 address.", __LINE__,
          qvexceptiontype::noAddressOfKind);
  }
  return it->second.GetIPV4Address();
}

QVIPAddress& QVInterfaceContainer::GetIPV4AddressFromInterface(const char* name) {
  return GetIPV4AddressFromInterface(Cstr(name));
}

QVIPAddress& QVInterfaceContainer::GetIPV6AddressFromInterface(const QVString& name) {
  auto it = interfacetable_.find(name);
  if (it == interfacetable_.end()) {
    Throw("Interface " + name + " not found.", __LINE__, qvexceptiontype::noAddressOfKind);
  }
  if (!it->second.HasIPV6AddressQ()) {
    Throw("Interface " + name + " has no assigned IPV6 address.", __LINE__,
          qvexceptiontype::noAddressOfKind);
  }
  return BestIPV6Address(it->second);
}

QVIPAddress& QVInterfaceContainer::GetIPV6AddressFromInterface(const char* name) {
  return GetIPV6AddressFromInterface(Cstr(name));
}

QVInterface& QVInterfaceContainer::GetLoopbackInterface() {
  for (auto& [name, record] : interfacetable_) {
    if (record.LoopbackQ()) return record;
  }
  Throw("Unable to locate loopback interface.", __LINE__, qvexceptiontype::noInterfaceOfKind);
}

QVInterface& QVInterfaceContainer::GetInterfaceWithSiteLocalIPV6Address() {
  for (auto& [name, record] : interfacetable_) {
    if (record.HasSiteLocalIPV6AddressQ()) return record;
  }
  Throw("Unable to locate site local IPV6 interface.", __LINE__,
        qvexceptiontype::noInterfaceOfKind);
}

QVInterface& QVInterfaceContainer::GetInterfaceWithLinkLocalIPV6Address() {
  for (auto& [name, record] : interfacetable_) {
    if (record.HasLinkLocalIPV6AddressQ()) return record;
  }
  Throw("Unable to locate link local IPV6 interface.", __LINE__,
        qvexceptiontype::noInterfaceOfKind);
}

QVInterface& QVInterfaceContainer::GetInterfaceWithPrivateIPV4Address() {
  for (auto& [name, record] : interfacetable_) {
    if (record.HasPrivateIPV4AddressQ()) return record;
  }
  Throw("Unable to locate private IPV4 interface.", __LINE__, qvexceptiontype::noInterfaceOfKind);
}

template <typename Test>
bool QVInterfaceContainer::AnyRecordQ(Test test) const {
  for (const auto& [name, record] : interfacetable_) {
    if (test(record)) return true;
  }
  return false;
}

bool QVInterfaceContainer::HasInterfaceWithIPV6AddressQ() const {
  return AnyRecordQ([](const QVInterface& r) { return r.HasIPV6AddressQ(); });
}
bool QVInterfaceContainer::HasInterfaceWithGlobalIPV6AddressQ() const {
  return AnyRecordQ([](const QVInterface& r) { return r.HasGlobalIPV6AddressQ(); });
}
bool QVInterfaceContainer::HasInterfaceWithSiteLocalIPV6AddressQ() const {
  return AnyRecordQ([](const QVInterface& r) { return r.HasSiteLocalIPV6AddressQ(); });
}
bool QVInterfaceContainer::HasInterfaceWithSiteLocalIPV6AddressThatIsNotARouterAddressQ() const {
  return AnyRecordQ([](const QVInterface& r) {
    return r.HasSiteLocalIPV6AddressThatIsNotARouterAddressQ();
  });
}
bool QVInterfaceContainer::HasInterfaceWithLinkLocalIPV6AddressQ() const {
  return AnyRecordQ([](const QVInterface& r) { return r.HasLinkLocalIPV6AddressQ(); });
}
bool QVInterfaceContainer::HasInterfaceWithLinkLocalIPV6AddressThatIsNotARouterAddressQ() const {
  return AnyRecordQ([](const QVInterface& r) {
    return r.HasLinkLocalIPV6AddressThatIsNotARouterAddressQ();
  });
}
bool QVInterfaceContainer::HasInterfaceWithGlobalIPV4AddressQ() const {
  return AnyRecordQ([](const QVInterface& r) { return r.HasGlobalIPV4AddressQ(); });
}
bool QVInterfaceContainer::HasInterfaceWithPrivateIPV4AddressQ() const {
  return AnyRecordQ([](const QVInterface& r) { return r.HasPrivateIPV4AddressQ(); });
}
bool QVInterfaceContainer::HasInterfaceWithPrivateIPV4AddressThatIsNotARouterAddressQ() const {
  return AnyRecordQ(
      [](const QVInterface& r) { return r.HasPrivateIPV4AddressThatIsNotARouterAddressQ(); });
}

// ---------------------------------------------------------------- name lists

QVStringList& QVInterfaceContainer::GetPresentationNames() {
  presentationnames_.clear();
  for (auto& [name, record] : interfacetable_) presentationnames_.merge(record.GetPresentationNames());
  return presentationnames_;
}

QVStringList& QVInterfaceContainer::GetDomainNames() {
  domainnames_.clear();
  for (auto& [name, record] : interfacetable_) domainnames_.merge(record.GetDomainNames());
  return domainnames_;
}

QVStringList& QVInterfaceContainer::GetDomainOnlyNames() {
  domainonlynames_.clear();
  for (auto& [name, record] : interfacetable_) domainonlynames_.merge(record.GetDomainOnlyNames());
  return domainonlynames_;
}

bool QVInterfaceContainer::LoadDomainNames() {
  for (auto& [name, record] : interfacetable_) record.LoadDomainNames();
  return true;
}

bool QVInterfaceContainer::LoadDomainOnlyNames() {
  for (auto& [name, record] : interfacetable_) record.LoadDomainOnlyNames();
  return true;
}

QVStringList& QVInterfaceContainer::GetInterfaceNames() {
  interfacenames_.clear();
  for (const auto& [name, record] : interfacetable_) interfacenames_.push_front(name);
  return interfacenames_;
}

QVString QVInterfaceContainer::operator[](int i) const {
  if (i < 0) Throw("Subscript to large.", __LINE__, qvexceptiontype::subscriptOutOfRange);
  return (*this)[static_cast<unsigned long>(i)];
}

QVString QVInterfaceContainer::operator[](unsigned long i) const {
  if (i >= interfacenames_.size()) {
    Throw("Subscript to large.", __LINE__, qvexceptiontype::subscriptOutOfRange);
  }
  auto it = interfacenames_.begin();
  std::advance(it, static_cast<long>(i));
  return *it;
}

// ---------------------------------------------------------------- loading

void QVInterfaceContainer::ClearAll() {
  interfacetable_.clear();
  hostnametable_.clear();
  addresstable_.clear();
  domainnames_.clear();
  domainonlynames_.clear();
  presentationnames_.clear();
  interfacenames_.clear();
}

bool QVInterfaceContainer::ReloadInterfaces() {
  ClearAll();
  return LoadInterfaces();
}

std::ostream& QVInterfaceContainer::PrintInterfaceContainer(std::ostream& os) const {
  for (const auto& [name, record] : interfacetable_) {
    os << record << std::endl;
  }
  return os;
}

std::ostream& operator<<(std::ostream& os, const QVInterfaceContainer& container) {
  return container.PrintInterfaceContainer(os);
}

}  // namespace Quorvane
