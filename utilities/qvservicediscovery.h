// The service discovery manager: advertises listening links as DNS-SD
// services, browses for them and resolves them into link names. Each
// environment keeps at most one, made on first use by the link-service calls
// and deleted with the environment. Replies reach the callers' callbacks on
// the manager's own thread, which holds the manager's lock meanwhile: a
// callback may not start or stop a request of the same manager.
#pragma once

#include <cstdint>

#include "quorvane.h"
#include "utilities/qvthreadsync.h"

namespace Quorvane {

// Service-discovery codes carried by a QVException's code.
inline constexpr int kSDBadServiceName = 700;
inline constexpr int kSDBadState = 701;
inline constexpr int kSDBadFlags = 702;
inline constexpr int kSDNameConflict = 703;
inline constexpr int kSDNotConnected = 704;
inline constexpr int kSDOther = 705;

// Answers of the starting operations besides 0.
inline constexpr int kSDUnavailable = 57;  // the platform's functions are not bound
inline constexpr int kSDBadArgument = 58;  // a null text, or a TXT value too long

bool QVSDErrorQ(int code);
// A platform DNS-SD error as a service-discovery code (700 to 703, else 705).
int QVConvertToSDError(int platformError);

// The manager's interface; this base does nothing (starting operations answer
// 0, accessors null). References are the opaque handles the starting
// operations give out; one not (or no longer) known to the manager is ignored.
class QVServiceManager : public QVThreadableObject {
 public:
  ~QVServiceManager() override = default;

  virtual int browseForLinkServices(qv_environment* environment, RVBrowseCallback callback, const char* type,
                                    const char* domain, void* context, void** reference);
  virtual void stopBrowsingForLinkServices(qv_environment* environment, void* reference);
  virtual int resolveLinkService(qv_environment* environment, const char* type, const char* serviceName,
                                 RVResolveCallback callback, void* context, void** reference);
  virtual void stopResolvingLinkService(qv_environment* environment, void* reference);
  virtual int registerLinkService(qv_environment* environment, const char* type, const char* serviceName,
                                  uint16_t port, const char* interfaceText, const char* linkName,
                                  const char* protocol, int options, RVRegisterCallback callback,
                                  const char* domain, void* context, void** reference);
  virtual void stopRegisteringLinkService(qv_environment* environment, void* reference);
  virtual RVRegisterCallback registerCallbackFunction(void* reference);
  virtual const char* serviceProtocol(void* reference);
  virtual const char* serviceName(void* reference);
  virtual void* serviceContext(void* reference);

 protected:
  QVServiceManager() = default;
};

// The platform's manager. QVException type 13 when the platform offers no
// DNS-SD library, type 4 when its control pipe cannot be made.
QVServiceManager* QVNewServiceManager();

}  // namespace Quorvane
