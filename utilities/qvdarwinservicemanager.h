// The service manager over the platform's DNS-SD functions. One thread,
// started with the first request, waits on every open request's descriptor
// and on a control pipe, and lets the platform run the reply handlers there.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>

#include "utilities/platform/qvdnssd.h"
#include "utilities/qvpollset.h"
#include "utilities/qvservicediscovery.h"
#include "utilities/qvservicereference.h"
#include "utilities/qvuniquefd.h"

namespace Quorvane {

class DarwinServiceManager final : public QVServiceManager {
 public:
  // Binds the platform's functions and makes the control pipe; the thread
  // waits for the first request.
  DarwinServiceManager();
  // Stops and joins the thread, then ends every request still open.
  ~DarwinServiceManager() override;
  DarwinServiceManager(const DarwinServiceManager&) = delete;
  DarwinServiceManager& operator=(const DarwinServiceManager&) = delete;

  void* Thread1() override;

  int browseForLinkServices(qv_environment* environment, RVBrowseCallback callback, const char* type,
                            const char* domain, void* context, void** reference) override;
  void stopBrowsingForLinkServices(qv_environment* environment, void* reference) override;
  int resolveLinkService(qv_environment* environment, const char* type, const char* serviceName,
                         RVResolveCallback callback, void* context, void** reference) override;
  void stopResolvingLinkService(qv_environment* environment, void* reference) override;
  int registerLinkService(qv_environment* environment, const char* type, const char* serviceName, uint16_t port,
                          const char* interfaceText, const char* linkName, const char* protocol, int options,
                          RVRegisterCallback callback, const char* domain, void* context,
                          void** reference) override;
  void stopRegisteringLinkService(qv_environment* environment, void* reference) override;
  RVRegisterCallback registerCallbackFunction(void* reference) override;
  const char* serviceProtocol(void* reference) override;
  const char* serviceName(void* reference) override;
  void* serviceContext(void* reference) override;

  // Browse and registration requests share one record type.
  using EventRecord = QVServiceReference<platform::QVDNSServiceRef, RVBrowseCallback>;
  using ResolveRecord = QVServiceReference<platform::QVDNSServiceRef, RVResolveCallback>;

 private:
  // Requests by their descriptor. Two requests may share a descriptor; each
  // keeps its own entry.
  template <typename Record>
  using Table = std::multimap<int, Record*, std::less<int>, QVStdAllocator<std::pair<const int, Record*>>>;

  void StartThread();
  bool WriteControl(const char* text);
  // Takes over what the platform answered: its refusal (error) throws with
  // the refusal message and the service-discovery code; an accepted request
  // is entered under its descriptor, the thread told, and the record given
  // out through reference. Nothing stays half entered: when the thread
  // cannot be told, the request ends before the QVException.
  template <typename Record>
  void Enter(Table<Record>& table, std::unique_ptr<Record> made, platform::QVDNSServiceRef request,
             platform::QVDNSServiceError error, const char* refusal, const char* failure, void** reference);
  // Takes a known record out of its table (under the lock) and tells the
  // thread, then ends the request. Unknown references are ignored.
  template <typename Record>
  void Withdraw(Table<Record>& table, void* reference, const char* failure);
  // Under the lock: the record of that reference in any table, or null.
  const EventRecord* FindEvent(void* reference) const;
  const ResolveRecord* FindResolve(void* reference) const;
  // One wait on the control pipe and the requests, and what it found; false
  // once the thread is to end. Throws when memory runs out on the way.
  bool ServePass();
  // Runs the platform's replies for every ready request (lock held).
  void ProcessReady(const QVPollSet& ready);

  static void BrowseReply(platform::QVDNSServiceRef request, platform::QVDNSServiceFlags flags,
                          uint32_t interfaceIndex, platform::QVDNSServiceError error, const char* serviceName,
                          const char* type, const char* domain, void* context);
  static void ResolveReply(platform::QVDNSServiceRef request, platform::QVDNSServiceFlags flags,
                           uint32_t interfaceIndex, platform::QVDNSServiceError error, const char* fullName,
                           const char* hostTarget, uint16_t port, uint16_t txtLength,
                           const unsigned char* txtRecord, void* context);
  static void RegisterReply(platform::QVDNSServiceRef request, platform::QVDNSServiceFlags flags,
                            platform::QVDNSServiceError error, const char* name, const char* type,
                            const char* domain, void* context);

  bool loaded = false;
  platform::QVDNSSDFunctions functions_;
  QVThreadSync threadSync;
  // Read end watched by the thread, write end written by the operations.
  struct ControlPipe {
    detail::QVUniqueFd readEnd;
    detail::QVUniqueFd writeEnd;
  } controlPipe;
  std::mutex startLock_;  // one thread start at a time
  // Set before "stop" is written: the thread may read "stop" together with
  // other messages, as one unrecognised text.
  std::atomic<bool> stopping_{false};
  Table<EventRecord> browseRefs;
  Table<ResolveRecord> resolveRefs;
  Table<EventRecord> registerRefs;
};

}  // namespace Quorvane
