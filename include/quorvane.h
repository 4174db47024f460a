/* Public interface of the link library. Plain C: objects are opaque and
 * handled by pointer, results are codes or null. Under C++ every function is
 * noexcept: no exception ever leaves the library through it.
 *
 * Sections: conventions, opaque objects, allocator functions, environment
 * parameters, environment, signals, error texts, dialogs, argument vectors.
 */
#ifndef QUORVANE_H
#define QUORVANE_H

#include <stdint.h>

/* ---- Conventions ------------------------------------------------------- */

#ifndef QV_NOEXCEPT
#ifdef __cplusplus
#define QV_NOEXCEPT noexcept
#else
#define QV_NOEXCEPT
#endif
#endif

/* ---- Opaque objects ---------------------------------------------------- */

#ifdef __cplusplus
namespace Quorvane {
class QVEnvironmentParameters;
}
typedef Quorvane::QVEnvironmentParameters RVEnvironmentParameters;
class qv_environment;
typedef qv_environment RVEnvironment;
#else
typedef struct RVEnvironmentParameters RVEnvironmentParameters;
typedef struct RVEnvironment RVEnvironment;
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Allocator functions ----------------------------------------------- */

/* A block of size bytes, or null when none can be had. */
typedef void* (*RVAllocator)(uint64_t size);
/* Frees a block of the matching allocator. */
typedef void (*RVDeallocator)(void* block);

/* ---- Environment parameters -------------------------------------------- *
 * An environment is started from a parameter object. The object keeps the
 * first error met while making or using it; once that is set, every setting
 * is refused with it.
 *
 * Codes: 0 success; 28 revision pair out of range (set when the object is
 * made); 29 no object, or not a valid one; 30 a setting this library does not
 * support; 999 a required output argument is null. "Guarded" calls answer
 * 29 for a null or invalid object, then the object's stored error when it has
 * one, and only then act; a refused call changes nothing and stores nothing.
 */

/* A new object for the library revision a and interface revision b (either
 * order; 0 for one of them means the other). Answered also when the pair is
 * out of range: RVErrorParameter then reports 28. Null only when no memory is
 * left. */
RVEnvironmentParameters* RVNewParameters(uint64_t revision, uint64_t apiRevision) QV_NOEXCEPT;

/* Destroys the object; null is ignored. */
void RVReleaseParameters(RVEnvironmentParameters* parameters) QV_NOEXCEPT;

/* The allocator pair the environment will install for all of the library's
 * objects. Not guarded: stored whenever the object is not null. */
void RVSetAllocParameter(RVEnvironmentParameters* parameters, RVAllocator allocator,
                         RVDeallocator deallocator) QV_NOEXCEPT;

/* Guarded. Stores the allocator pair installed process-wide now (not the one
 * the object holds) into both outputs; 999 when either output is null. */
int RVAllocParameter(RVEnvironmentParameters* parameters, RVAllocator* allocator,
                     RVDeallocator* deallocator) QV_NOEXCEPT;

/* Guarded. Empty text: start without device worlds and their signal handling;
 * null: with them (the default); any other text: 30. */
int RVSetDeviceParameter(RVEnvironmentParameters* parameters, const char* device) QV_NOEXCEPT;

/* Guarded. Asks for text encoding 1 to 8; 30 for any other number. */
int RVSetEncodingParameter(RVEnvironmentParameters* parameters, int encoding) QV_NOEXCEPT;

/* Guarded. Every link made in the environment gets its own lock. */
int RVSetThreadSafeLinksParameter(RVEnvironmentParameters* parameters) QV_NOEXCEPT;

/* Guarded. The environment leaves the signal alone (numbers 1 to 60; others
 * change nothing). */
int RVDoNotHandleSignalParameter(RVEnvironmentParameters* parameters, int signal) QV_NOEXCEPT;

/* Guarded. Never supported: 30 on a usable object. */
int RVSetResourceParameter(RVEnvironmentParameters* parameters, const char* resource) QV_NOEXCEPT;

/* 29 for a null or invalid object, else its stored error (0 when none). */
int RVErrorParameter(const RVEnvironmentParameters* parameters) QV_NOEXCEPT;

/* ---- Environment ------------------------------------------------------- *
 * Every link belongs to an environment. Environments may be started and
 * ended on any thread; the first one started in a process also sets up what
 * the process shares (child tracking, the device module), the last one ended
 * takes it down again and puts the default allocator pair back.
 */

/* A new environment, or null with the code in the parameters' error: 29 no
 * valid parameters, 8 no memory, 51 the synchronisation folder cannot be
 * made, 44 the asked-for text encodings are not supported. Parameters that
 * already hold an error are refused with it. Null parameters mean the
 * defaults (the code is then lost). Other resource failures answer null
 * without a code. */
RVEnvironment* RVBegin(RVEnvironmentParameters* parameters) QV_NOEXCEPT;
RVEnvironment* RVInitialize(RVEnvironmentParameters* parameters) QV_NOEXCEPT;

/* Closes the environment's remaining links, then ends it. Null is ignored. */
void RVEnd(RVEnvironment* environment) QV_NOEXCEPT;
void RVDeinitialize(RVEnvironment* environment) QV_NOEXCEPT;

/* One caller pointer kept with the environment. Setting answers 0, or 1 for
 * a null environment; reading a null environment answers null. */
int RVSetEnvironmentData(RVEnvironment* environment, void* data) QV_NOEXCEPT;
void* RVEnvironmentData(RVEnvironment* environment) QV_NOEXCEPT;

/* ---- Signals ----------------------------------------------------------- *
 * The library shares signals with the program: these register the program's
 * own handlers beside the library's. All answer 0 and do nothing for a null
 * environment or a signal the environment's parameters excluded.
 */

/* Registers a handler given as the first field (the handler) of a system
 * signal-action record: the value is called with the signal number. */
int RVSetSignalHandler(RVEnvironment* environment, int signal, void* handler) QV_NOEXCEPT;
int RVSetSignalHandlerFromFunction(RVEnvironment* environment, int signal,
                                   void (*handler)(int)) QV_NOEXCEPT;
int RVUnsetSignalHandler(RVEnvironment* environment, int signal, void (*handler)(int)) QV_NOEXCEPT;
/* Drops the library's handling of the signal, putting back what stood
 * before; RVHandleSignal installs it again. */
int RVStopHandlingSignal(RVEnvironment* environment, int signal) QV_NOEXCEPT;
int RVHandleSignal(RVEnvironment* environment, int signal) QV_NOEXCEPT;

/* ---- Error texts ------------------------------------------------------- */

/* The message of a link error code; "Error " and the signed decimal code for
 * a code without a message, in a buffer of the environment that the next
 * such call overwrites. Null for a null environment. */
const char* RVErrorString(RVEnvironment* environment, long code) QV_NOEXCEPT;

/* ---- Dialogs ----------------------------------------------------------- *
 * Five callbacks talk to the person running the program. The defaults use
 * the console when SSH_CLIENT is set or standard input is a terminal, and
 * otherwise a notification layer that never blocks (an alert goes to
 * standard error; questions answer "cancelled").
 *
 * Numbers for RVSetDialogFunction: 1 alert, 2 request, 3 confirm,
 * 4 request-argv, 5 request-to-interact.
 */

/* Tells the user text; 1 when shown. */
typedef int (*RVAlertFunction)(RVEnvironment* environment, const char* text);
/* Asks for one line into buffer (size bytes); 1 with an answer, 0 when
 * cancelled or nothing could be asked. */
typedef int (*RVRequestFunction)(RVEnvironment* environment, const char* prompt, char* buffer, long size);
/* Asks yes or no; 1 for yes. */
typedef int (*RVConfirmFunction)(RVEnvironment* environment, const char* question, int defaultAnswer);
/* Asks for a link argument vector: entries into argv (capacity entries, a
 * null one ending them), texts into buffer; answers the number of entries. */
typedef long (*RVRequestArgvFunction)(RVEnvironment* environment, char** argv, long capacity, char* buffer,
                                      long size);
/* Whether the library may ask the user at all. */
typedef int (*RVRequestToInteractFunction)(RVEnvironment* environment, int wait);

/* Each answers its argument, typed as the callback. */
RVAlertFunction RVAlertCast(RVAlertFunction function) QV_NOEXCEPT;
RVRequestFunction RVRequestCast(RVRequestFunction function) QV_NOEXCEPT;
RVConfirmFunction RVConfirmCast(RVConfirmFunction function) QV_NOEXCEPT;
RVRequestArgvFunction RVRequestArgvCast(RVRequestArgvFunction function) QV_NOEXCEPT;
RVRequestToInteractFunction RVRequestToInteractCast(RVRequestToInteractFunction function) QV_NOEXCEPT;

/* Sets callback number 1 to 5 (null removes it; the value 1 puts its default
 * back). Answers 1, or 0 for a null environment or another number. */
int RVSetDialogFunction(RVEnvironment* environment, long number, void* function) QV_NOEXCEPT;

/* The calls below first ask request-to-interact with wait 1; a missing
 * callback or a refusal gives the stated answer without asking. */
/* 0 when refused or missing, else the alert's answer. */
int RVAlert(RVEnvironment* environment, const char* text) QV_NOEXCEPT;
/* The default answer when refused or missing, else the confirm's answer. */
int RVConfirm(RVEnvironment* environment, const char* question, int defaultAnswer) QV_NOEXCEPT;
/* 1, buffer untouched, when refused or missing; else the request's answer. */
int RVRequest(RVEnvironment* environment, const char* prompt, char* buffer, long size) QV_NOEXCEPT;
/* 0 for a null argv; when refused or missing the first entry becomes null
 * and the answer is 0; else the callback's answer. */
long RVRequestArgv(RVEnvironment* environment, char** argv, long capacity, char* buffer,
                   long size) QV_NOEXCEPT;
/* 0 for a null environment or a missing callback, else its answer. */
int RVRequestToInteract(RVEnvironment* environment, int wait) QV_NOEXCEPT;

/* ---- Argument vectors -------------------------------------------------- *
 * Link options on a command line: -linkname, -linkprotocol, -linkmode,
 * -linkhost, -linkoptions, -linklaunch, -linkcreate, -linkconnect,
 * -linkauthentication, -linkdevice and -quorvane, names compared without
 * regard to case. Words are split at white space; quotes (single or double)
 * group, a backslash escapes the next byte outside single quotes.
 */

/* Moves the link options and their values to the front of argv (up to
 * argv_end), in their order, the other entries after them in theirs; answers
 * the address of the first other entry (argv_end when there is none). Null
 * for a null environment, a null or reversed range, or no memory. */
char** RVFilterArgv(RVEnvironment* environment, char** argv, char** argv_end) QV_NOEXCEPT;

/* Splits string into at most max words copied into buffer (string length +
 * 1 bytes), their starts in argv followed by a null entry when there is
 * room. Answers the number stored: 0 for a null string, -1 for a null argv
 * or buffer. */
long RVStringToArgv(const char* string, char* buffer, char** argv, long max) QV_NOEXCEPT;

/* Resumable splitting. Entries go to argv up to *argv_end (exclusive), words
 * to *buffer. On return *argv_end is past the entries stored, *string past
 * the words stored and *buffer past the bytes written. Answers the number of
 * words that did not fit: call again with room for them and the advanced
 * string. -1 for a null argv, argv_end or buffer. */
long RVScanString(char** argv, char*** argv_end, const char** string, char** buffer) QV_NOEXCEPT;

/* Joins the entries from *argv to argv_end, quoted so that splitting gives
 * them back, separated by one blank, into buffer up to *buffer_end
 * (exclusive). On return *argv is past the entries written and *buffer_end at
 * the text's NUL. Answers the number of entries that did not fit: call again
 * with a new buffer to go on. */
long RVPrintArgv(char* buffer, char** buffer_end, char*** argv, char** argv_end) QV_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* QUORVANE_H */
