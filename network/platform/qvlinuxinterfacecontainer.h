// The interface container of this platform: loads the host's interfaces from
// the system's interface list and chooses among them with its preferred order.
#pragma once

#include <vector>

#include "network/qvinterface.h"

namespace Quorvane {

class QVLinuxInterfaceContainer : public QVInterfaceContainer {
 public:
  QVLinuxInterfaceContainer() = default;
  QVLinuxInterfaceContainer(const QVLinuxInterfaceContainer& other) = default;
  QVLinuxInterfaceContainer& operator=(const QVLinuxInterfaceContainer& other) = default;
  ~QVLinuxInterfaceContainer() override = default;

  // IPv4, then IPv6 when the IPv4 list could be read.
  bool LoadInterfaces() override;
  // Loads the up interfaces' addresses of one family (AF_INET or AF_INET6) in
  // the system's order; false when the system's list cannot be read.
  bool LoadAddresses(int family);

  bool InterfacesChangedQ() override;
  QVString GetPreferredInterface() override;

  QVInterface& GetPreferredInterfaceWithIPV6Address() override;
  QVInterface& GetPreferredInterfaceWithIPV4Address() override;
  QVInterface& GetPreferredInterfaceWithSiteLocalIPV6Address() override;
  QVInterface& GetPreferredInterfaceWithSiteLocalIPV6AddressThatIsNotARouterAddress() override;
  QVInterface& GetPreferredInterfaceWithLinkLocalIPV6Address() override;
  QVInterface& GetPreferredInterfaceWithLinkLocalIPV6AddressThatIsNotARouterAddress() override;
  QVInterface& GetPreferredInterfaceWithPrivateIPV4Address() override;
  QVInterface& GetPreferredInterfaceWithPrivateIPV4AddressThatIsNotARouterAddress() override;
  QVInterface& GetInterfaceWithGlobalIPV6Address() override;
  QVInterface& GetInterfaceWithGlobalIPV4Address() override;

  // The preferred order of this host: every interface that is not the
  // loopback, by ascending system index (unknown indices last, then by name).
  // Interface names are not fixed on this platform, so the order is the
  // system's own: the interfaces present first come first, and the loopback
  // is reached only through the fallback of the search.
  QVStringList preferredlist() const;

 private:
  QVInterface& FindWithPreferred(bool (*test)(QVInterface&));
};

}  // namespace Quorvane
