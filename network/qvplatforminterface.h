// The platform container's factory and the searches that carry a preferred
// order of interfaces.
#pragma once

#include "network/platform/qvlinuxinterfacecontainer.h"
#include "network/qvinterface.h"

namespace Quorvane {

class QVInterfaceContainerFactory : public QVObject {
 public:
  ~QVInterfaceContainerFactory() override = default;
  // A loaded platform container; the caller owns it.
  static QVInterfaceContainer* MakeContainer();
};

using QVInterfaceTest = bool (*)(QVInterface&);

// Searches: the preferred list (null-terminated) first, then every interface
// by descending name.
QVInterface& FindAnInterfaceUsingThePreferredList(const char* const* list,
                                                  QVInterfaceContainer& container,
                                                  QVInterfaceTest test);
QVInterface& FindAnInterfaceWithIPV6Address(const char* const* list,
                                            QVInterfaceContainer& container);
QVInterface& FindAnInterfaceWithIPV4Address(const char* const* list,
                                            QVInterfaceContainer& container);
QVInterface& FindAGlobalIPV6AddressButUsePreferredList(const char* const* list,
                                                       QVInterfaceContainer& container);
QVInterface& FindAGlobalIPV4AddressButUsePreferredList(const char* const* list,
                                                       QVInterfaceContainer& container);
QVString FindAnInterface(const char* const* list, QVInterfaceContainer& container);

bool HasIPV6AddressQ(QVInterface& record);
bool HasIPV4AddressQ(QVInterface& record);
bool HasSiteLocalIPV6AddressQ(QVInterface& record);
bool HasSiteLocalIPV6AddressThatIsNotARouterAddressQ(QVInterface& record);
bool HasLinkLocalIPV6AddressQ(QVInterface& record);
bool HasLinkLocalIPV6AddressThatIsNotARouterAddressQ(QVInterface& record);
bool HasPrivateIPV4AddressQ(QVInterface& record);
bool HasPrivateIPV4AddressThatIsNotARouterAddressQ(QVInterface& record);
bool HasGlobalIPV6AddressQ(QVInterface& record);
bool HasGlobalIPV4AddressQ(QVInterface& record);
bool NotHasRouterAddressQ(QVInterface& record);

}  // namespace Quorvane
