#include "network/qvplatforminterface.h"

#include <memory>

#include "utilities/qvexception.h"

namespace Quorvane {

namespace {

constexpr char kSourceFile[] = "network/qvplatforminterface";

QVInterface* Search(const char* const* list, QVInterfaceContainer& container,
                    QVInterfaceTest test) {
  if (list != nullptr) {
    for (const char* const* name = list; *name != nullptr; ++name) {
      if (container.HasInterfaceQ(*name)) {
        QVInterface& record = container.GetInterface(*name);
        if (test(record)) return &record;
      }
    }
  }
  for (const QVString& name : container.GetInterfaceNames()) {
    QVInterface& record = container.GetInterface(name);
    if (test(record)) return &record;
  }
  return nullptr;
}

QVInterface& SearchOrThrow(const char* const* list, QVInterfaceContainer& container,
                           QVInterfaceTest test, const char* message) {
  QVInterface* record = Search(list, container, test);
  if (record == nullptr) {
    throw QVException(message, kSourceFile, __LINE__, qvexceptiontype::cannotLoad, 0);
  }
  return *record;
}

}  // namespace

QVInterfaceContainer* QVInterfaceContainerFactory::MakeContainer() {
  std::unique_ptr<QVLinuxInterfaceContainer> container(new QVLinuxInterfaceContainer);
  if (container->LoadAddresses(AF_INET)) container->LoadAddresses(AF_INET6);
  return container.release();
}

QVInterface& FindAnInterfaceUsingThePreferredList(const char* const* list,
                                                  QVInterfaceContainer& container,
                                                  QVInterfaceTest test) {
  return SearchOrThrow(list, container, test, "Interface not found.");
}

QVInterface& FindAnInterfaceWithIPV6Address(const char* const* list,
                                            QVInterfaceContainer& container) {
  return SearchOrThrow(list, container, HasIPV6AddressQ, "Interface with IPV6 address not found.");
}

QVInterface& FindAnInterfaceWithIPV4Address(const char* const* list,
                                            QVInterfaceContainer& container) {
  return SearchOrThrow(list, container, HasIPV4AddressQ, "Interface with IPV4 address not found.");
}

QVInterface& FindAGlobalIPV6AddressButUsePreferredList(const char* const* list,
                                                       QVInterfaceContainer& container) {
  return SearchOrThrow(list, container, HasGlobalIPV6AddressQ,
                       "Interface with global IPV6 address not found.");
}

QVInterface& FindAGlobalIPV4AddressButUsePreferredList(const char* const* list,
                                                       QVInterfaceContainer& container) {
  return SearchOrThrow(list, container, HasGlobalIPV4AddressQ,
                       "Interface with global IPV4 address not found.");
}

QVString FindAnInterface(const char* const* list, QVInterfaceContainer& container) {
  if (list != nullptr) {
    for (const char* const* name = list; *name != nullptr; ++name) {
      if (container.HasInterfaceQ(*name) && !container.GetInterface(*name).HasRouterAddressQ()) {
        return QVString(*name);
      }
    }
  }
  QVStringList& names = container.GetInterfaceNames();
  return names.empty() ? QVString() : names.front();
}

bool HasIPV6AddressQ(QVInterface& record) { return record.HasIPV6AddressQ(); }
bool HasIPV4AddressQ(QVInterface& record) { return record.HasIPV4AddressQ(); }
bool HasSiteLocalIPV6AddressQ(QVInterface& record) { return record.HasSiteLocalIPV6AddressQ(); }
bool HasSiteLocalIPV6AddressThatIsNotARouterAddressQ(QVInterface& record) {
  return record.HasSiteLocalIPV6AddressThatIsNotARouterAddressQ();
}
bool HasLinkLocalIPV6AddressQ(QVInterface& record) { return record.HasLinkLocalIPV6AddressQ(); }
bool HasLinkLocalIPV6AddressThatIsNotARouterAddressQ(QVInterface& record) {
  return record.HasLinkLocalIPV6AddressThatIsNotARouterAddressQ();
}
bool HasPrivateIPV4AddressQ(QVInterface& record) { return record.HasPrivateIPV4AddressQ(); }
bool HasPrivateIPV4AddressThatIsNotARouterAddressQ(QVInterface& record) {
  return record.HasPrivateIPV4AddressThatIsNotARouterAddressQ();
}
bool HasGlobalIPV6AddressQ(QVInterface& record) { return record.HasGlobalIPV6AddressQ(); }
bool HasGlobalIPV4AddressQ(QVInterface& record) { return record.HasGlobalIPV4AddressQ(); }
bool NotHasRouterAddressQ(QVInterface& record) { return !record.HasRouterAddressQ(); }

}  // namespace Quorvane
