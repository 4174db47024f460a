// Chooses the host text (a domain name or a numeric address) and the IP
// protocol that a listening link announces for this host.
#pragma once

#include <utility>

#include "network/qvinterface.h"
#include "network/qvipaddress.h"

namespace Quorvane {

class QVNetworkInspector : public QVObject {
 public:
  ~QVNetworkInspector() override = default;

  // The container must be loaded; the caller holds the lock that guards it.
  std::pair<QVString, _qvipprotocol> getLocalHostnameAndProtocol(QVInterfaceContainer& container,
                                                                 bool useIPV6);
};

}  // namespace Quorvane
