// One open DNS-SD request of the service manager: what the caller holds as its
// opaque service reference and what the platform hands back to the reply
// handlers as their context.
#pragma once

#include "utilities/qvobject.h"

class qv_environment;

namespace Quorvane {

class QVServiceManager;

template <typename Handle, typename Callback>
class QVServiceReference : public QVObject {
 public:
  QVServiceReference(qv_environment* owner, const QVString& type, Callback function, void* callerContext,
                     QVServiceManager* maker)
      : environment(owner), serviceType(type), callback(function), context(callerContext), manager(maker) {}
  QVServiceReference(const QVServiceReference&) = delete;
  QVServiceReference& operator=(const QVServiceReference&) = delete;
  ~QVServiceReference() override = default;

  qv_environment* environment;
  QVString name;         // the requested service name; empty for browse and resolve
  QVString serviceType;  // "_" + type + "._tcp"
  Handle serviceRef{};   // the platform's request, set once the platform accepted it
  Callback callback;
  void* context;
  QVServiceManager* manager;
};

}  // namespace Quorvane
