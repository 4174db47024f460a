#include "network/qvnetworkinspector.h"

#include "utilities/qvexception.h"

namespace Quorvane {

namespace {

constexpr char kSourceFile[] = "network/qvnetworkinspector";

struct Choice {
  QVInterface record;
  QVIPAddress address;
};

Choice Pick(QVInterface& record, QVIPAddress& (QVInterface::*getter)()) {
  return Choice{record, (record.*getter)()};
}

// Broadest scope first; the container's preferred order picks within a scope.
Choice ChooseIPV6(QVInterfaceContainer& c) {
  if (!c.HasInterfaceWithIPV6AddressQ()) {
    throw QVException("No network interfaces have a configured IPV6 address.", kSourceFile,
                      __LINE__, qvexceptiontype::noUsableInterface, 0);
  }
  if (c.HasInterfaceWithGlobalIPV6AddressQ()) {
    return Pick(c.GetInterfaceWithGlobalIPV6Address(), &QVInterface::GetGlobalIPV6Address);
  }
  if (c.HasInterfaceWithSiteLocalIPV6AddressThatIsNotARouterAddressQ()) {
    return Pick(c.GetPreferredInterfaceWithSiteLocalIPV6AddressThatIsNotARouterAddress(),
                &QVInterface::GetSiteLocalIPV6Address);
  }
  if (c.HasInterfaceWithSiteLocalIPV6AddressQ()) {
    return Pick(c.GetPreferredInterfaceWithSiteLocalIPV6Address(),
                &QVInterface::GetSiteLocalIPV6Address);
  }
  if (c.HasInterfaceWithLinkLocalIPV6AddressThatIsNotARouterAddressQ()) {
    return Pick(c.GetPreferredInterfaceWithLinkLocalIPV6AddressThatIsNotARouterAddress(),
                &QVInterface::GetLinkLocalIPV6Address);
  }
  if (c.HasInterfaceWithLinkLocalIPV6AddressQ()) {
    return Pick(c.GetPreferredInterfaceWithLinkLocalIPV6Address(),
                &QVInterface::GetLinkLocalIPV6Address);
  }
  return Pick(c.GetLoopbackInterface(), &QVInterface::GetIPV6LoopbackAddress);
}

Choice ChooseIPV4(QVInterfaceContainer& c) {
  if (c.HasInterfaceWithGlobalIPV4AddressQ()) {
    return Pick(c.GetInterfaceWithGlobalIPV4Address(), &QVInterface::GetGlobalIPV4Address);
  }
  if (c.HasInterfaceWithPrivateIPV4AddressThatIsNotARouterAddressQ()) {
    return Pick(c.GetPreferredInterfaceWithPrivateIPV4AddressThatIsNotARouterAddress(),
                &QVInterface::GetPrivateIPV4Address);
  }
  if (c.HasInterfaceWithPrivateIPV4AddressQ()) {
    return Pick(c.GetPreferredInterfaceWithPrivateIPV4Address(),
                &QVInterface::GetPrivateIPV4Address);
  }
  return Pick(c.GetLoopbackInterface(), &QVInterface::GetIPV4LoopbackAddress);
}

}  // namespace

std::pair<QVString, _qvipprotocol> QVNetworkInspector::getLocalHostnameAndProtocol(
    QVInterfaceContainer& container, bool useIPV6) {
  Choice choice = useIPV6 ? ChooseIPV6(container) : ChooseIPV4(container);
  const _qvipprotocol protocol = useIPV6 ? QVIPV6 : QVIPV4;
  // A host on both families is named by number: a name might resolve to the
  // other family.
  if (choice.record.HasIPV6AddressQ() && choice.record.HasIPV4AddressQ()) {
    return {choice.address.GetPresentationName(), protocol};
  }
  choice.address.LoadDomainName(true);
  if (choice.address.HasDomainNameQ()) return {choice.address.GetDomainName(), protocol};
  return {choice.address.GetPresentationName(), protocol};
}

}  // namespace Quorvane
