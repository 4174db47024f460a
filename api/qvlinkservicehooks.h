// The environment's service manager slot, shared by the link-service calls
// and ended with the environment, and the map from service-discovery codes to
// link errors.
#pragma once

#include <new>

#include "utilities/qvexception.h"
#include "utilities/qvservicediscovery.h"

class qv_environment;

// The environment's manager; with make, one is made when the slot is empty.
// Null when there is none (or it cannot be made: no DNS-SD on this machine).
Quorvane::QVServiceManager* QVServiceManagerOf(qv_environment* environment, bool make) noexcept;

// Deletes the environment's manager (its thread joined, its requests ended)
// and empties the slot. Call once the environment's links are closed.
void QVDeleteServiceManager(qv_environment* environment) noexcept;

// Which call a service-discovery code is reported by.
enum class QVServiceCall { browse, resolve, registerLinkService, otherRegistration };

// The link error for a caught QVException's code (-1 outside 700 to 704).
int QVServiceErrorCode(int code, QVServiceCall call) noexcept;

// Runs a manager operation: its answer, or the link error of what it throws
// (8 when memory runs out).
template <typename Operation>
int QVServiceAnswer(QVServiceCall call, Operation operation) noexcept {
  try {
    return operation();
  } catch (const Quorvane::QVException& e) {
    return QVServiceErrorCode(e.getCode(), call);
  } catch (const std::bad_alloc&) {
    return 8;
  } catch (...) {
    return -1;
  }
}
