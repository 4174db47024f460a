#include "api/qvlinkservicehooks.h"

void RVStopRegisteringLinkServiceForLink(qv_environment*, QVLink*, void** registration) {
  if (registration == nullptr || *registration == nullptr) return;
  // No registration can be made yet, so there is nothing to stop but the
  // reference itself.
  *registration = nullptr;
}
