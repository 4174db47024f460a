// One network interface of the host with its addresses, and the container that
// holds every interface and answers which one to use for a kind of address.
#pragma once

#include <list>
#include <map>
#include <optional>
#include <ostream>

#include "network/qvipaddress.h"
#include "utilities/qvobject.h"

namespace Quorvane {

using QVStringList = std::list<QVString, QVStdAllocator<QVString>>;
using QVIPAddressList = std::list<QVIPAddress, QVStdAllocator<QVIPAddress>>;

class QVInterface : public QVObject {
 public:
  QVInterface();
  explicit QVInterface(const QVString& name);
  explicit QVInterface(const char* name);
  QVInterface(const QVInterface& other);
  QVInterface& operator=(const QVInterface& other);
  ~QVInterface() override = default;

  bool operator==(const QVInterface& other) const;
  bool operator==(QVInterface& other) { return static_cast<const QVInterface&>(*this) == other; }
  bool operator!=(const QVInterface& other) const { return !(*this == other); }

  bool HasIPV4AddressQ() const;
  bool HasIPV6AddressQ() const;
  bool HasGlobalIPV4AddressQ() const;
  bool HasGlobalIPV6AddressQ() const;
  bool HasSiteLocalIPV6AddressQ() const;
  bool HasSiteLocalIPV6AddressThatIsNotARouterAddressQ() const;
  bool HasLinkLocalIPV6AddressQ() const;
  bool HasLinkLocalIPV6AddressThatIsNotARouterAddressQ() const;
  bool HasPrivateIPV4AddressQ() const;
  bool HasPrivateIPV4AddressThatIsNotARouterAddressQ() const;
  bool HasRouterAddressQ() const;
  // By name only: "lo" or "lo0".
  bool LoopbackQ() const;

  QVIPAddress& GetIPV4Address();
  QVIPAddress& GetGlobalIPV4Address();
  QVIPAddress& GetPrivateIPV4Address();
  QVIPAddress& GetGlobalIPV6Address();
  QVIPAddress& GetSiteLocalIPV6Address();
  QVIPAddress& GetLinkLocalIPV6Address();
  QVIPAddress& GetLoopbackAddress();
  QVIPAddress& GetIPV4LoopbackAddress();
  QVIPAddress& GetIPV6LoopbackAddress();

  const QVString& GetName() const;
  const char* GetName_c_str() const;

  void AddAddress(const QVIPAddress& address);
  void AddAddress(const QVIPAddress* address);

  QVStringList& GetPresentationNames();
  QVStringList& GetDomainNames();
  QVStringList& GetDomainOnlyNames();
  void LoadDomainNames();
  void LoadDomainOnlyNames();

  // The addresses, newest first; null before the first address.
  const QVIPAddressList* GetAddresses() const { return addresses_ ? &*addresses_ : nullptr; }
  bool HasNameQ() const { return name_.has_value(); }

  // The system's index of the interface, set by the container.
  int32_t index = 0;

 private:
  template <typename Test>
  bool AnyQ(Test test) const;
  template <typename Test>
  QVIPAddress& First(Test test, const char* message);

  std::optional<QVString> name_;
  std::optional<QVIPAddressList> addresses_;
  QVStringList domainNames_;
  QVStringList domainOnlyNames_;
  QVStringList presentationNames_;
};

std::ostream& operator<<(std::ostream& os, const QVInterface& record);

// Holds every interface of the host; the platform container loads it and
// chooses among its interfaces.
class QVInterfaceContainer : public QVObject {
 public:
  using InterfaceTable =
      std::map<QVString, QVInterface, std::less<QVString>,
               QVStdAllocator<std::pair<const QVString, QVInterface>>>;
  using HostnameTable = std::map<QVString, QVString, std::less<QVString>,
                                 QVStdAllocator<std::pair<const QVString, QVString>>>;
  using AddressTable = std::map<QVIPAddress, QVString, std::less<QVIPAddress>,
                                QVStdAllocator<std::pair<const QVIPAddress, QVString>>>;

  QVInterfaceContainer() = default;
  QVInterfaceContainer(const QVInterfaceContainer& other) = default;
  QVInterfaceContainer& operator=(const QVInterfaceContainer& other);
  ~QVInterfaceContainer() override = default;

  virtual bool LoadInterfaces() { return true; }
  virtual QVInterface& GetPreferredInterfaceWithIPV6Address() = 0;
  virtual QVInterface& GetPreferredInterfaceWithIPV4Address() = 0;
  virtual QVInterface& GetPreferredInterfaceWithSiteLocalIPV6Address() = 0;
  virtual QVInterface& GetPreferredInterfaceWithSiteLocalIPV6AddressThatIsNotARouterAddress() = 0;
  virtual QVInterface& GetPreferredInterfaceWithLinkLocalIPV6Address() = 0;
  virtual QVInterface& GetPreferredInterfaceWithLinkLocalIPV6AddressThatIsNotARouterAddress() = 0;
  virtual QVInterface& GetPreferredInterfaceWithPrivateIPV4Address() = 0;
  virtual QVInterface& GetPreferredInterfaceWithPrivateIPV4AddressThatIsNotARouterAddress() = 0;
  virtual QVInterface& GetInterfaceWithGlobalIPV6Address() = 0;
  virtual QVInterface& GetInterfaceWithGlobalIPV4Address() = 0;
  virtual QVString GetPreferredInterface() { return QVString(); }
  virtual bool InterfacesChangedQ() { return false; }

  bool operator==(const QVInterfaceContainer& other) const;
  bool operator!=(const QVInterfaceContainer& other) const { return !(*this == other); }

  // Filling.
  void AddInterface(const QVString& name);
  void AddInterface(const char* name);
  void AddAddressToInterface(const QVString& name, const QVIPAddress& address);
  void AddAddressToInterface(const char* name, const QVIPAddress& address);
  void AddHostnameToTable(const QVString& interfaceName, const QVString& hostText);
  void AddHostnameToTable(const char* interfaceName, const char* hostText);
  void AddHostnameToTable(const char* interfaceName, const QVString& hostText);
  void AddAddressToTable(const QVString& interfaceName, const QVIPAddress& address);
  void AddAddressToTable(const char* interfaceName, const QVIPAddress& address);
  void SetIndexForInterface(const QVString& name, int32_t index);
  void SetIndexForInterface(const char* name, int32_t index);

  // Lookups.
  bool HasInterfaceQ(const QVString& name) const;
  bool HasInterfaceQ(const char* name) const;
  QVInterface& GetInterface(const QVString& name);
  QVInterface& GetInterface(const char* name);
  QVString& GetInterfaceFromHostname(const QVString& hostText);
  QVString& GetInterfaceFromHostname(const char* hostText);
  QVIPAddress& GetIPV4AddressFromHostname(const QVString& hostText);
  QVIPAddress& GetIPV4AddressFromHostname(const char* hostText);
  QVIPAddress& GetIPV6AddressFromHostname(const QVString& hostText);
  QVIPAddress& GetIPV6AddressFromHostname(const char* hostText);
  QVIPAddress& GetIPV4AddressFromInterface(const QVString& name);
  QVIPAddress& GetIPV4AddressFromInterface(const char* name);
  QVIPAddress& GetIPV6AddressFromInterface(const QVString& name);
  QVIPAddress& GetIPV6AddressFromInterface(const char* name);
  QVInterface& GetLoopbackInterface();
  QVInterface& GetInterfaceWithSiteLocalIPV6Address();
  QVInterface& GetInterfaceWithLinkLocalIPV6Address();
  QVInterface& GetInterfaceWithPrivateIPV4Address();

  bool HasInterfaceWithIPV6AddressQ() const;
  bool HasInterfaceWithGlobalIPV6AddressQ() const;
  bool HasInterfaceWithSiteLocalIPV6AddressQ() const;
  bool HasInterfaceWithSiteLocalIPV6AddressThatIsNotARouterAddressQ() const;
  bool HasInterfaceWithLinkLocalIPV6AddressQ() const;
  bool HasInterfaceWithLinkLocalIPV6AddressThatIsNotARouterAddressQ() const;
  bool HasInterfaceWithGlobalIPV4AddressQ() const;
  bool HasInterfaceWithPrivateIPV4AddressQ() const;
  bool HasInterfaceWithPrivateIPV4AddressThatIsNotARouterAddressQ() const;

  // Name lists.
  QVStringList& GetPresentationNames();
  QVStringList& GetDomainNames();
  QVStringList& GetDomainOnlyNames();
  bool LoadDomainNames();
  bool LoadDomainOnlyNames();
  QVStringList& GetInterfaceNames();
  unsigned long Length() const { return interfacenames_.size(); }
  QVString operator[](int i) const;
  QVString operator[](unsigned long i) const;
  bool HasOnlyLoopbackInterfaceQ() const { return interfacenames_.size() < 2; }

  bool ReloadInterfaces();

  std::ostream& PrintInterfaceContainer(std::ostream& os) const;

  const InterfaceTable& GetInterfaceTable() const { return interfacetable_; }
  const HostnameTable& GetHostnameTable() const { return hostnametable_; }
  const AddressTable& GetAddressTable() const { return addresstable_; }

 protected:
  void ClearAll();

 private:
  QVInterface& RecordForHostname(const QVString& hostText);
  template <typename Test>
  bool AnyRecordQ(Test test) const;

  InterfaceTable interfacetable_;
  HostnameTable hostnametable_;
  AddressTable addresstable_;
  QVStringList domainnames_;
  QVStringList domainonlynames_;
  QVStringList presentationnames_;
  QVStringList interfacenames_;
};

std::ostream& operator<<(std::ostream& os, const QVInterfaceContainer& container);

}  // namespace Quorvane
