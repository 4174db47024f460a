// Interface enumeration through the system's interface-address list, which
// gives per family each interface's up flag, name and addresses in the order
// the kernel reports them.
#include "network/platform/qvlinuxinterfacecontainer.h"

#include <ifaddrs.h>
#include <net/if.h>

#include <algorithm>
#include <tuple>

#include "network/qvplatforminterface.h"
#include "utilities/qvexception.h"

namespace Quorvane {

namespace {

struct IfAddrs {
  ifaddrs* head = nullptr;
  ~IfAddrs() {
    if (head != nullptr) freeifaddrs(head);
  }
};

}  // namespace

bool QVLinuxInterfaceContainer::LoadInterfaces() {
  if (!LoadAddresses(AF_INET)) return false;
  return LoadAddresses(AF_INET6);
}

bool QVLinuxInterfaceContainer::LoadAddresses(int family) {
  IfAddrs list;
  if (getifaddrs(&list.head) != 0) return false;
  for (const ifaddrs* entry = list.head; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != family) continue;
    if ((entry->ifa_flags & IFF_UP) == 0 || entry->ifa_name == nullptr) continue;
    const QVIPAddress address(entry->ifa_addr);
    if (!address.HasPresentationNameQ()) continue;
    const QVString name(entry->ifa_name);
    AddAddressToInterface(name, address);
    SetIndexForInterface(name, static_cast<int32_t>(if_nametoindex(name.c_str())));
    AddHostnameToTable(name, address.GetPresentationName());
    AddAddressToTable(name, address);
  }
  return true;
}

bool QVLinuxInterfaceContainer::InterfacesChangedQ() {
  QVLinuxInterfaceContainer fresh;
  fresh.LoadInterfaces();
  return fresh != *this;
}

QVStringList QVLinuxInterfaceContainer::preferredlist() const {
  std::vector<const QVInterface*> records;
  for (const auto& [name, record] : GetInterfaceTable()) {
    if (!record.LoopbackQ()) records.push_back(&record);
  }
  std::sort(records.begin(), records.end(), [](const QVInterface* a, const QVInterface* b) {
    const auto key = [](const QVInterface* r) {
      return std::make_tuple(r->index <= 0, r->index, r->GetName());
    };
    return key(a) < key(b);
  });
  QVStringList names;
  for (const QVInterface* record : records) names.push_back(record->GetName());
  return names;
}

namespace {
// The list in the null-terminated form the searches take.
std::vector<const char*> Terminated(const QVStringList& names) {
  std::vector<const char*> list;
  for (const QVString& name : names) list.push_back(name.c_str());
  list.push_back(nullptr);
  return list;
}
}  // namespace

QVString QVLinuxInterfaceContainer::GetPreferredInterface() {
  const QVStringList names = preferredlist();
  return FindAnInterface(Terminated(names).data(), *this);
}

QVInterface& QVLinuxInterfaceContainer::FindWithPreferred(bool (*test)(QVInterface&)) {
  const QVStringList names = preferredlist();
  return FindAnInterfaceUsingThePreferredList(Terminated(names).data(), *this, test);
}

QVInterface& QVLinuxInterfaceContainer::GetPreferredInterfaceWithIPV6Address() {
  return FindWithPreferred(HasIPV6AddressQ);
}
QVInterface& QVLinuxInterfaceContainer::GetPreferredInterfaceWithIPV4Address() {
  return FindWithPreferred(HasIPV4AddressQ);
}
QVInterface& QVLinuxInterfaceContainer::GetPreferredInterfaceWithSiteLocalIPV6Address() {
  return FindWithPreferred(HasSiteLocalIPV6AddressQ);
}
QVInterface& QVLinuxInterfaceContainer::
    GetPreferredInterfaceWithSiteLocalIPV6AddressThatIsNotARouterAddress() {
  return FindWithPreferred(HasSiteLocalIPV6AddressThatIsNotARouterAddressQ);
}
QVInterface& QVLinuxInterfaceContainer::GetPreferredInterfaceWithLinkLocalIPV6Address() {
  return FindWithPreferred(HasLinkLocalIPV6AddressQ);
}
QVInterface& QVLinuxInterfaceContainer::
    GetPreferredInterfaceWithLinkLocalIPV6AddressThatIsNotARouterAddress() {
  return FindWithPreferred(HasLinkLocalIPV6AddressThatIsNotARouterAddressQ);
}
QVInterface& QVLinuxInterfaceContainer::GetPreferredInterfaceWithPrivateIPV4Address() {
  return FindWithPreferred(HasPrivateIPV4AddressQ);
}
QVInterface& QVLinuxInterfaceContainer::
    GetPreferredInterfaceWithPrivateIPV4AddressThatIsNotARouterAddress() {
  return FindWithPreferred(HasPrivateIPV4AddressThatIsNotARouterAddressQ);
}
QVInterface& QVLinuxInterfaceContainer::GetInterfaceWithGlobalIPV6Address() {
  return FindWithPreferred(HasGlobalIPV6AddressQ);
}
QVInterface& QVLinuxInterfaceContainer::GetInterfaceWithGlobalIPV4Address() {
  return FindWithPreferred(HasGlobalIPV4AddressQ);
}

}  // namespace Quorvane
