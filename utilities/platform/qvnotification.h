// Desktop notifications for a process without a terminal: an alert, a
// request for a line of text and a yes-or-no question, each with a header
// line. They never block: where the system has no notification service, an
// alert is written to standard error and a question answers "cancelled".
#pragma once

namespace Quorvane::platform {

// Shows header and text; 1 when shown.
int NotificationAlert(const char* header, const char* text);
// Asks for one line into buffer (size bytes, NUL-terminated); 1 with an
// answer, 0 when cancelled or nothing could be asked.
int NotificationRequest(const char* header, const char* prompt, char* buffer, long size);
// Asks yes or no; 1 for yes, 0 for no or cancelled.
int NotificationConfirm(const char* header, const char* question);

// The functions behind the three calls, replaceable so tests can script the
// answers of a user.
struct NotificationBackend {
  int (*alert)(const char* header, const char* text);
  int (*request)(const char* header, const char* prompt, char* buffer, long size);
  int (*confirm)(const char* header, const char* question);
};

// Installs backend (null: the system's own) and answers the one it replaced.
NotificationBackend SetNotificationBackendForTesting(const NotificationBackend* backend);

}  // namespace Quorvane::platform
