// The dialog callbacks an environment starts with, and their console forms.
// The public calls (RVAlert, RVSetDialogFunction...) are in quorvane.h.
#pragma once

#include "api/qvenvironment.h"

// The five defaults, in callback order.
qv_dialog_functions QVDefaultDialogFunctions();

// The defaults: the console forms below when SSH_CLIENT is set or standard
// input is a terminal, the platform's notifications otherwise. They stand in
// for QVAlert_darwin, QVRequest_darwin, QVConfirm_darwin and QVPermit_darwin
// (QVDontPermit for QVDontPermit_darwin); the notification itself is this
// platform's substitute in utilities/platform/qvnotification.h.
int QVAlert_default(RVEnvironment* environment, const char* text);
int QVRequest_default(RVEnvironment* environment, const char* prompt, char* buffer, long size);
int QVConfirm_default(RVEnvironment* environment, const char* question, int defaultAnswer);
// Always 1.
int QVPermit_default(RVEnvironment* environment, int wait);
// Always 0; installed by programs that must never ask.
int QVDontPermit(RVEnvironment* environment, int wait);

// Asks for a link to make: the vector "-quorvane" "-linkname" name
// "-linkmode" mode, then null; answers 5, or 0 (first entry null) when the
// user cancelled or argv has fewer than 6 entries (capacity) or there is no
// buffer. The name goes into buffer.
long default_request_argv(RVEnvironment* environment, char** argv, long capacity, char* buffer, long size);

// Console forms. The alert writes the text and a newline to standard error.
int QVAlert_unix(RVEnvironment* environment, const char* text);
// Prompts on the terminal and reads one line; 0 when standard input is not a
// terminal, for an empty line or at end of input.
int QVRequest_unix(RVEnvironment* environment, const char* prompt, char* buffer, long size);
// Asks "question < yes | no > " through RVRequest until the answer begins
// with y or n (either case); 1 for yes. A question too long for the prompt
// is shortened.
int QVConfirm_unix(RVEnvironment* environment, const char* question, int defaultAnswer);
// Whether standard input is a terminal.
int QVPermit_unix(RVEnvironment* environment, int wait);

// Bytes of the console confirm's prompt buffer, and the longest question it
// shows whole.
inline constexpr int kConfirmPromptBuffer = 1024;
inline constexpr int kConfirmQuestionLimit = 1009;
