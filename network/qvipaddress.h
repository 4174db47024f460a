// IP addresses (IPv4 and IPv6 socket addresses with port) and the texts that
// describe them, the local host name, and a few tests on host names.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <optional>
#include <ostream>

#include "utilities/qvobject.h"

namespace Quorvane {

// Numbers that cross every interface of the network layer.
enum _qvipprotocol : int32_t { QVNoProtocol = 0, QVIPV4 = 1, QVIPV6 = 2, QVUnixDomain = 3 };
enum _qvtranportportocol : int32_t { QVStream = 1, QVDatagram = 2 };

// Platform family of a protocol number (none: AF_UNSPEC).
int PlatformFamilyOfProtocol(_qvipprotocol protocol);

// A plain block of socket-address storage.
class QVAddress : public QVObject {
 public:
  static constexpr size_t kStorageSize = 128;

  QVAddress();
  // The storage stays zeroed: filling it is the derived class's work.
  explicit QVAddress(const sockaddr* address);
  QVAddress(const QVAddress& other);
  ~QVAddress() override = default;

  virtual const void* GetBinaryAddress() const;
  virtual socklen_t GetBinaryAddressLength() const;
  virtual QVAddress& operator=(const QVAddress& other);
  virtual bool operator<(QVAddress& other) const;
  virtual bool operator<(const QVAddress& other) const;
  virtual std::ostream& WriteAddress(std::ostream& os) const;

 protected:
  alignas(sockaddr_storage) unsigned char storage_[kStorageSize];
};

class QVIPAddress : public QVAddress {
 public:
  QVIPAddress();
  explicit QVIPAddress(const sockaddr* address);
  explicit QVIPAddress(const sockaddr_in* address);
  explicit QVIPAddress(const sockaddr_in6* address);
  explicit QVIPAddress(const in_addr* address);
  explicit QVIPAddress(const in6_addr* address);
  // 4 bytes: an IPv4 address; 16 bytes: an IPv6 address.
  QVIPAddress(int length, const unsigned char* address);
  explicit QVIPAddress(const QVString& text);
  explicit QVIPAddress(const char* text);
  QVIPAddress(const QVString& text, unsigned short port);
  QVIPAddress(const char* text, unsigned short port);
  QVIPAddress(const QVString& text, const QVString& port);
  QVIPAddress(const char* text, const char* port);
  QVIPAddress(const QVString& text, _qvipprotocol protocol, unsigned short port);
  QVIPAddress(const char* text, _qvipprotocol protocol, unsigned short port);
  QVIPAddress(const QVString& text, _qvipprotocol protocol, const QVString& port);
  QVIPAddress(const char* text, _qvipprotocol protocol, const char* port);
  QVIPAddress(const QVIPAddress& other);
  ~QVIPAddress() override = default;

  static QVIPAddress initForAnyAddressAnyPort(_qvipprotocol protocol);
  static QVIPAddress initForAnyAddressWithPort(unsigned short port, _qvipprotocol protocol);
  static QVIPAddress initForAnyAddressWithPort(const QVString& port, _qvipprotocol protocol);
  static QVIPAddress initForAnyAddressWithPort(const char* port, _qvipprotocol protocol);

  using QVAddress::operator=;
  QVIPAddress& operator=(const QVIPAddress& other);
  QVIPAddress& operator=(const sockaddr_in* address);
  QVIPAddress& operator=(const sockaddr_in6* address);
  QVIPAddress& operator=(const in_addr* address);
  QVIPAddress& operator=(const in6_addr* address);
  QVIPAddress& operator=(const QVString& text);
  QVIPAddress& operator=(const char* text);

  void LoadIPFromString(const QVString& text);
  void LoadIPFromString(const QVString& text, _qvipprotocol protocol);

  void AddPort(unsigned short port);
  void AddPort(const QVString& port);
  void AddPort(const char* port);
  QVIPAddress WithPort(const QVString& port) const;
  unsigned short GetPort() const;
  bool HasPortQ() const;

  int GetFamily() const;
  bool IPV4Q() const { return GetFamily() == AF_INET; }
  bool IPV6Q() const { return GetFamily() == AF_INET6; }
  const void* GetBinaryAddress() const override;
  socklen_t GetBinaryAddressLength() const override;

  const QVString& GetPresentationName() const;
  const QVString& GetDomainName() const;
  const QVString& GetDomainNameOnly() const;
  const char* GetPresentationName_c_str() const;
  const char* GetDomainName_c_str() const;
  const char* GetDomainNameOnly_c_str() const;
  bool HasPresentationNameQ() const { return presentationName_.has_value(); }
  bool HasDomainNameQ() const { return domainName_.has_value(); }
  bool HasDomainNameOnlyQ() const { return domainNameOnly_.has_value(); }
  bool LoadDecimalName();
  void LoadDomainName(bool force);
  void LoadDomainNameOnly(bool force);
  void AddInterfaceQualifier(const QVString& name);
  void AddInterfaceQualifier(const char* name);

  bool operator==(const QVIPAddress& other) const;
  bool operator!=(const QVIPAddress& other) const { return !(*this == other); }
  bool operator==(const sockaddr_in* other) const { return *this == QVIPAddress(other); }
  bool operator!=(const sockaddr_in* other) const { return !(*this == other); }
  bool operator==(const sockaddr_in6* other) const { return *this == QVIPAddress(other); }
  bool operator!=(const sockaddr_in6* other) const { return !(*this == other); }
  bool operator==(const in_addr* other) const { return *this == QVIPAddress(other); }
  bool operator!=(const in_addr* other) const { return !(*this == other); }
  bool operator==(const in6_addr* other) const { return *this == QVIPAddress(other); }
  bool operator!=(const in6_addr* other) const { return !(*this == other); }
  bool operator==(const QVString& other) const { return *this == QVIPAddress(other); }
  bool operator!=(const QVString& other) const { return !(*this == other); }
  bool operator==(const char* other) const { return *this == QVIPAddress(other); }
  bool operator!=(const char* other) const { return !(*this == other); }
  using QVAddress::operator<;
  bool operator<(const QVIPAddress& other) const;

  bool LinkLocalQ() const;
  bool LoopbackQ() const;
  bool SiteLocalQ() const;
  bool V4MappedQ() const;
  bool IsRouterAddressQ() const;
  bool GlobalQ() const;
  bool PrivateQ() const;
  bool AutoconfiguredQ() const;

  static bool IPV4NameQ(const QVString& text);
  static bool IPV6NameQ(const QVString& text);
  static QVString getErrorString(int code);

  std::ostream& WriteAddress(std::ostream& os) const override;

 private:
  const sockaddr_in* V4() const { return reinterpret_cast<const sockaddr_in*>(storage_); }
  const sockaddr_in6* V6() const { return reinterpret_cast<const sockaddr_in6*>(storage_); }
  const unsigned char* V4Bytes() const;
  const unsigned char* V6Bytes() const;
  void Clear();
  void CopySocketAddress(const void* address, size_t length);
  void ResolveText(const char* text, int family);
  // Reverse lookup shared by both name loaders; empty when refused.
  std::optional<QVString> ReverseName(bool force, bool refuseLocal) const;
  bool SkipLookupQ(bool force) const;

  std::optional<QVString> domainName_;
  std::optional<QVString> domainNameOnly_;
  std::optional<QVString> presentationName_;
};

// The local host's official name.
class QVHostname : public QVObject {
 public:
  QVHostname();
  QVHostname(const QVHostname& other) = default;
  QVHostname& operator=(const QVHostname& other);
  ~QVHostname() override = default;

  const QVString& getName() const { return name_; }
  QVString getDomain() const;
  std::ostream& print(std::ostream& os) const;

 private:
  QVString name_;
};

class QVIPAddressHashFunction {
 public:
  uint64_t operator()(const QVIPAddress& address, uint64_t tableSize) const;
};

bool CheckName(const QVString& text, _qvipprotocol protocol);
bool IsIPV6Q(const QVString& text);
bool IsIPV6Q(const char* text);
bool IsIPV4Q(const QVString& text);
bool IsIPV4Q(const char* text);
_qvipprotocol GetNameProtocol(const QVString& text);
_qvipprotocol GetNameProtocol(const char* text);

std::ostream& operator<<(std::ostream& os, const QVAddress& address);
std::ostream& operator<<(std::ostream& os, const QVIPAddress& address);
std::ostream& operator<<(std::ostream& os, const QVHostname& hostname);

}  // namespace Quorvane
