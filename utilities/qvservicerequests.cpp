// The service manager's requests: browse, resolve and registration, their
// stops, the accessors of a reference and the platform's reply handlers.
#include <arpa/inet.h>

#include <cerrno>
#include <memory>

#include "network/qvplatforminterface.h"
#include "utilities/qvdarwinservicemanager.h"
#include "utilities/qvexception.h"
#include "utilities/qvservicetxt.h"
#include "utilities/qvthreads.h"

namespace Quorvane {

namespace {
constexpr char kSourceFile[] = "utilities/qvservicerequests";
constexpr char kPipeFailure[] = "Unable to write to DarwinServiceManager thread control pipe.";
constexpr char kRegisterPipeFailure[] = "Unable to write to DarwinServiceManager thread control pipe";
constexpr char kStopRegisterPipeFailure[] = "unable to write to DarwinServiceManager thread control pipe";
constexpr char kReload[] = "reloadref";

QVString PlatformType(const char* type) { return QVString("_") + type + "._tcp"; }

bool ProtocolKeepsIndexQ(const char* protocol) {
  return protocol == nullptr || QVString(protocol) == "TCP" || QVString(protocol) == "TCPIP";
}

// The system's index of the interface that carries hostText.
uint32_t InterfaceIndexFor(const char* hostText) {
  std::unique_ptr<QVInterfaceContainer> container(QVInterfaceContainerFactory::MakeContainer());
  if (!container) {
    throw QVException("Unable to allocate new interface container", kSourceFile, __LINE__,
                      qvexceptiontype::outOfMemory, 0);
  }
  try {
    const QVString name = container->GetInterfaceFromHostname(hostText);
    return static_cast<uint32_t>(container->GetInterface(name).index);
  } catch (const QVException& e) {
    // A host name (a listener's reverse name such as "localhost") is not
    // an address of the table: advertise on every interface rather than
    // refuse the registration.
    if (e.getType() != qvexceptiontype::noAddressOfKind) throw;
    return 0;
  }
}

template <typename Record>
Record* FindIn(const std::multimap<int, Record*, std::less<int>, QVStdAllocator<std::pair<const int, Record*>>>& table,
               const void* reference) {
  for (const auto& entry : table) {
    if (entry.second == reference) return entry.second;
  }
  return nullptr;
}
}  // namespace

template <typename Record>
void DarwinServiceManager::Enter(Table<Record>& table, std::unique_ptr<Record> made, platform::QVDNSServiceRef request,
                                 platform::QVDNSServiceError error, const char* refusal, const char* failure,
                                 void** reference) {
  if (error != 0) {
    throw QVException(refusal, kSourceFile, __LINE__, qvexceptiontype::systemCallFailed, QVConvertToSDError(error));
  }
  made->serviceRef = request;
  Record* record = made.release();
  typename Table<Record>::iterator entry;
  {
    QVMutex lock(threadSync.getLockHandle());
    entry = table.emplace(functions_.refSockFD(record->serviceRef), record);
  }
  if (WriteControl(kReload)) {
    if (reference != nullptr) *reference = record;
    return;
  }
  const int written = errno;
  {
    QVMutex lock(threadSync.getLockHandle());
    table.erase(entry);
  }
  functions_.refDeallocate(record->serviceRef);
  delete record;
  throw QVException(failure, kSourceFile, __LINE__, qvexceptiontype::systemCallFailed, written);
}

template <typename Record>
void DarwinServiceManager::Withdraw(Table<Record>& table, void* reference, const char* failure) {
  if (reference == nullptr) return;
  Record* record = nullptr;
  {
    QVMutex lock(threadSync.getLockHandle());
    for (auto entry = table.begin(); entry != table.end(); ++entry) {
      if (entry->second == reference) {
        record = entry->second;
        table.erase(entry);
        break;
      }
    }
  }
  if (record == nullptr) return;
  if (!WriteControl(kReload)) {
    throw QVException(failure, kSourceFile, __LINE__, qvexceptiontype::systemCallFailed, errno);
  }
  functions_.refDeallocate(record->serviceRef);
  delete record;
}

int DarwinServiceManager::browseForLinkServices(qv_environment* environment, RVBrowseCallback callback,
                                                const char* type, const char* domain, void* context,
                                                void** reference) {
  if (type == nullptr) return kSDBadArgument;
  if (!loaded) return kSDUnavailable;
  const QVString serviceType = PlatformType(type);
  StartThread();
  auto record = std::make_unique<EventRecord>(environment, serviceType, callback, context, this);
  platform::QVDNSServiceRef request = nullptr;
  const platform::QVDNSServiceError error =
      functions_.browse(&request, 0, 0, serviceType.c_str(), domain, &BrowseReply, record.get());
  Enter(browseRefs, std::move(record), request, error,
        "DNSServiceBrowse returned an error in DarwinServiceManager::browseForLinkServices.", kPipeFailure,
        reference);
  return 0;
}

int DarwinServiceManager::resolveLinkService(qv_environment* environment, const char* type,
                                             const char* serviceName, RVResolveCallback callback, void* context,
                                             void** reference) {
  if (type == nullptr || serviceName == nullptr) return kSDBadArgument;
  if (!loaded) return kSDUnavailable;
  const QVString serviceType = PlatformType(type);
  StartThread();
  auto record = std::make_unique<ResolveRecord>(environment, serviceType, callback, context, this);
  platform::QVDNSServiceRef request = nullptr;
  const platform::QVDNSServiceError error = functions_.resolve(&request, 0, 0, serviceName, serviceType.c_str(),
                                                               "local", &ResolveReply, record.get());
  Enter(resolveRefs, std::move(record), request, error,
        "DNSServiceResolve returned an error in DarwinServiceManager::resolveLinkService.", kPipeFailure, reference);
  return 0;
}

int DarwinServiceManager::registerLinkService(qv_environment* environment, const char* type,
                                              const char* serviceName, uint16_t port, const char* interfaceText,
                                              const char* linkName, const char* protocol, int options,
                                              RVRegisterCallback callback, const char* domain, void* context,
                                              void** reference) {
  if (type == nullptr || serviceName == nullptr) return kSDBadArgument;
  // A value longer than its one-byte length would be cut short on the wire.
  const QVTXTEntries entries = QVRegistrationTXTEntries(options, port, interfaceText, protocol, linkName);
  if (!QVTXTEntriesFitQ(entries)) return kSDBadArgument;
  if (!loaded) return kSDUnavailable;
  const QVString serviceType = PlatformType(type);
  uint32_t index = 0;
  if (interfaceText != nullptr && *interfaceText != '\0') index = InterfaceIndexFor(interfaceText);
  if (!ProtocolKeepsIndexQ(protocol)) index = platform::kQVDNSServiceInterfaceLocalOnly;
  StartThread();
  auto record = std::make_unique<EventRecord>(environment, serviceType, callback, context, this);
  record->name = serviceName;
  platform::QVDNSServiceRef request = nullptr;
  platform::QVDNSServiceError error = 0;
  {
    QVServiceTXT txt(functions_);
    txt.Write(entries);
    error = functions_.registerService(&request, 0, index, serviceName, serviceType.c_str(), domain, nullptr,
                                       htons(port), txt.Length(), txt.Bytes(), &RegisterReply, record.get());
  }
  Enter(registerRefs, std::move(record), request, error,
        "DNSServiceRegister returned an error in DarwinServiceManager::registerLinkService", kRegisterPipeFailure,
        reference);
  return 0;
}

void DarwinServiceManager::stopBrowsingForLinkServices(qv_environment*, void* reference) {
  Withdraw(browseRefs, reference, kPipeFailure);
}

void DarwinServiceManager::stopResolvingLinkService(qv_environment*, void* reference) {
  Withdraw(resolveRefs, reference, kPipeFailure);
}

void DarwinServiceManager::stopRegisteringLinkService(qv_environment*, void* reference) {
  Withdraw(registerRefs, reference, kStopRegisterPipeFailure);
}

const DarwinServiceManager::EventRecord* DarwinServiceManager::FindEvent(void* reference) const {
  if (reference == nullptr) return nullptr;
  QVMutex lock(threadSync.getLockHandle());
  if (const EventRecord* record = FindIn(browseRefs, reference)) return record;
  return FindIn(registerRefs, reference);
}

const DarwinServiceManager::ResolveRecord* DarwinServiceManager::FindResolve(void* reference) const {
  if (reference == nullptr) return nullptr;
  QVMutex lock(threadSync.getLockHandle());
  return FindIn(resolveRefs, reference);
}

RVRegisterCallback DarwinServiceManager::registerCallbackFunction(void* reference) {
  // Registrations only: a browse record's callback would read event 2 as
  // "service gone".
  QVMutex lock(threadSync.getLockHandle());
  const EventRecord* record = FindIn(registerRefs, reference);
  return record != nullptr ? record->callback : nullptr;
}

const char* DarwinServiceManager::serviceProtocol(void* reference) {
  if (const EventRecord* record = FindEvent(reference)) return record->serviceType.c_str();
  if (const ResolveRecord* record = FindResolve(reference)) return record->serviceType.c_str();
  return nullptr;
}

const char* DarwinServiceManager::serviceName(void* reference) {
  if (const EventRecord* record = FindEvent(reference)) return record->name.c_str();
  if (const ResolveRecord* record = FindResolve(reference)) return record->name.c_str();
  return nullptr;
}

void* DarwinServiceManager::serviceContext(void* reference) {
  if (const EventRecord* record = FindEvent(reference)) return record->context;
  if (const ResolveRecord* record = FindResolve(reference)) return record->context;
  return nullptr;
}

// The handlers run on the manager's thread inside the platform's call; no
// exception of a callback may unwind through the platform's code.

void DarwinServiceManager::BrowseReply(platform::QVDNSServiceRef, platform::QVDNSServiceFlags flags, uint32_t,
                                       platform::QVDNSServiceError error, const char* serviceName, const char*,
                                       const char*, void* context) {
  auto* record = static_cast<EventRecord*>(context);
  if (record == nullptr || record->callback == nullptr) return;
  int event = 3;
  if (error == 0) {
    event = 1 + ((flags & platform::kQVDNSServiceFlagsAdd) == 0 ? 1 : 0) +
            ((flags & platform::kQVDNSServiceFlagsMoreComing) != 0 ? 16 : 0);
  }
  try {
    record->callback(record->environment, record, event, serviceName, record->context);
  } catch (...) {
  }
}

void DarwinServiceManager::ResolveReply(platform::QVDNSServiceRef, platform::QVDNSServiceFlags, uint32_t,
                                        platform::QVDNSServiceError error, const char* fullName,
                                        const char* hostTarget, uint16_t port, uint16_t txtLength,
                                        const unsigned char* txtRecord, void* context) {
  auto* record = static_cast<ResolveRecord*>(context);
  if (record == nullptr || error != 0 || record->callback == nullptr) return;
  try {
    const auto* manager = static_cast<DarwinServiceManager*>(record->manager);
    const QVResolvedService service =
        QVReadResolveReply(manager->functions_, hostTarget, port, txtLength, txtRecord);
    record->callback(record->environment, record, fullName, service.linkName.c_str(), service.protocol.c_str(),
                     service.options, record->context);
  } catch (...) {
  }
}

void DarwinServiceManager::RegisterReply(platform::QVDNSServiceRef, platform::QVDNSServiceFlags,
                                         platform::QVDNSServiceError error, const char* name, const char*,
                                         const char*, void* context) {
  auto* record = static_cast<EventRecord*>(context);
  if (record == nullptr || record->callback == nullptr) return;
  // A refusal that arrives later (a name conflict) is no registration.
  const int event = error == 0 ? 1 : 3;
  try {
    record->callback(record->environment, record, event, name, record->context);
  } catch (...) {
  }
}

}  // namespace Quorvane
