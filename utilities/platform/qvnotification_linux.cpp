// Linux offers no notification service a library can count on: an alert
// becomes one line "header: text" on standard error, and every question is
// answered "cancelled" at once, so that a program without a terminal never
// waits for an answer that cannot come.
#include <atomic>
#include <cstdio>

#include "utilities/platform/qvnotification.h"

namespace Quorvane::platform {

namespace {

int StandardErrorAlert(const char* header, const char* text) {
  std::fprintf(stderr, "%s: %s\n", header != nullptr ? header : "", text != nullptr ? text : "");
  std::fflush(stderr);
  return 1;
}

int CancelledRequest(const char*, const char*, char* buffer, long size) {
  if (buffer != nullptr && size > 0) buffer[0] = '\0';
  return 0;
}

int CancelledConfirm(const char*, const char*) { return 0; }

constexpr NotificationBackend kSystemBackend{StandardErrorAlert, CancelledRequest, CancelledConfirm};

// Replaced only by tests, read by any thread.
std::atomic<const NotificationBackend*> gBackend{&kSystemBackend};
NotificationBackend gTestBackend{};

}  // namespace

int NotificationAlert(const char* header, const char* text) { return gBackend.load()->alert(header, text); }

int NotificationRequest(const char* header, const char* prompt, char* buffer, long size) {
  return gBackend.load()->request(header, prompt, buffer, size);
}

int NotificationConfirm(const char* header, const char* question) {
  return gBackend.load()->confirm(header, question);
}

NotificationBackend SetNotificationBackendForTesting(const NotificationBackend* backend) {
  const NotificationBackend replaced = *gBackend.load();
  if (backend == nullptr) {
    gBackend.store(&kSystemBackend);
  } else {
    gTestBackend = *backend;
    gBackend.store(&gTestBackend);
  }
  return replaced;
}

}  // namespace Quorvane::platform
