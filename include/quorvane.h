/* Public interface of the link library. Plain C: objects are opaque and
 * handled by pointer, results are codes or null. Under C++ every function is
 * noexcept: no exception ever leaves the library through it.
 *
 * Sections: conventions, named codes, opaque objects, allocator functions,
 * environment parameters, environment, signals, error texts, dialogs,
 * argument vectors, typed calls, links, yield functions and messages,
 * logging, link servers, link services.
 */
#ifndef QUORVANE_H
#define QUORVANE_H

#include <stdint.h>

#include "quorvane_export.h"

/* ---- Conventions ------------------------------------------------------- */

#ifndef QV_NOEXCEPT
#ifdef __cplusplus
#define QV_NOEXCEPT noexcept
#else
#define QV_NOEXCEPT
#endif
#endif

/* ---- Named codes ------------------------------------------------------- *
 * Names for the numbers that calls answer and that links store. The
 * comments further down give codes by number; these names stand for them.
 */

/* Link error codes, as RVError answers them and RVErrorString names them.
 * Codes 12 to 20 and 26 to 31 are not used. */
enum {
  RV_ERR_NONE = 0,
  RV_ERR_CONNECTION_LOST = 1,
  RV_ERR_INCONSISTENT_DATA = 2,
  RV_ERR_GET_OUT_OF_SEQUENCE = 3,
  RV_ERR_BAD_TOKEN = 4,
  RV_ERR_PUT_OUT_OF_SEQUENCE = 5,
  RV_ERR_PUT_DATA_OVERFLOW = 6,
  RV_ERR_NUMBER_OVERFLOW = 7,
  RV_ERR_OUT_OF_MEMORY = 8,
  RV_ERR_ACCEPT_FAILED = 9,
  RV_ERR_UNCONNECTED = 10,
  RV_ERR_PEER_CLOSED = 11, /* the peer closed; data may still be underway */
  RV_ERR_END_PACKET = 21,  /* an unexpected or missing RVEndPacket */
  RV_ERR_UNREAD_DATA = 22, /* RVNextPacket before the current packet was read */
  RV_ERR_UNKNOWN_PACKET = 23,
  RV_ERR_UNEXPECTED_END = 24, /* a packet ended before its expression */
  RV_ERR_ABORTED = 25,
  RV_ERR_UNINITIALIZED = 32,
  RV_ERR_INSUFFICIENT_ARGUMENTS = 33,
  RV_ERR_UNAVAILABLE_PROTOCOL = 34,
  RV_ERR_UNAVAILABLE_MODE = 35,
  RV_ERR_LAUNCH_UNSUPPORTED = 36,
  RV_ERR_LAUNCH_AGAIN = 37,
  RV_ERR_LAUNCH_MEMORY = 38,
  RV_ERR_NO_PARENT = 39,
  RV_ERR_NAME_IN_USE = 40,
  RV_ERR_NOT_LISTENING = 41,
  RV_ERR_BAD_NAME = 42,
  RV_ERR_BAD_LOCATION = 43,
  RV_ERR_RESOURCE_MISSING = 44,
  RV_ERR_LAUNCH_RESOURCE_MISSING = 45,
  RV_ERR_EXECUTABLE_NOT_FOUND = 46,
  RV_ERR_INVALID_CHARACTERS = 47,
  RV_ERR_CONVERT_TO_LINK = 48,   /* text of the given encoding */
  RV_ERR_CONVERT_FROM_LINK = 49, /* to the requested encoding */
  RV_ERR_NOT_EXECUTABLE = 50,
  RV_ERR_SYNC_OBJECT = 51,
  RV_ERR_YIELD_TERMINATED = 52,
  RV_ERR_UNKNOWN_SYMBOL = 53, /* a dictionary code this side does not know */
  RV_ERR_UNKNOWN_STRING = 54,
  RV_ERR_BUFFER_TOO_SMALL = 55,
  RV_ERR_UNKNOWN_NUMERICS = 56,
  RV_ERR_NO_SYSTEM_SERVICE = 57,
  RV_ERR_BAD_ARGUMENT = 58,
  RV_ERR_DISCOVERY_HOSTNAME = 59,
  RV_ERR_DISCOVERY_DOMAIN = 60,
  RV_ERR_DISCOVERY_SERVICE_NAME = 61,
  RV_ERR_DISCOVERY_STATE = 62,
  RV_ERR_DISCOVERY_FLAGS = 63,
  RV_ERR_DISCOVERY_COLLISION = 64,
  RV_ERR_DISCOVERY_NOT_CONNECTED = 65,
  RV_ERR_UNKNOWN = -1
};

/* Token types, as RVGetNext and RVGetType answer them (0 on failure): older
 * and dictionary-coded forms come as their plain kind, an array as a
 * function, and a binary number as a real or an integer. */
enum {
  RV_TOK_STRING = 34,
  RV_TOK_SYMBOL = 35,
  RV_TOK_REAL = 42,
  RV_TOK_INTEGER = 43,
  RV_TOK_FUNCTION = 70
};

/* Packet kinds, as RVNextPacket answers them for a packet's head: each is
 * the head's name ("CallPacket" is RV_CALL_PACKET). "Enter" is
 * RV_ENTER_TEXT_PACKET too; "SyntaxPacket" and "ErrorPacket" share 10. */
enum {
  RV_INPUT_PACKET = 1,
  RV_TEXT_PACKET = 2,
  RV_RETURN_PACKET = 3,
  RV_RETURN_TEXT_PACKET = 4,
  RV_MESSAGE_PACKET = 5,
  RV_MENU_PACKET = 6,
  RV_CALL_PACKET = 7,
  RV_INPUT_NAME_PACKET = 8,
  RV_OUTPUT_NAME_PACKET = 9,
  RV_SYNTAX_PACKET = 10,
  RV_ERROR_PACKET = 10,
  RV_DISPLAY_PACKET = 11,
  RV_DISPLAY_END_PACKET = 12,
  RV_EVALUATE_PACKET = 13,
  RV_ENTER_TEXT_PACKET = 14,
  RV_ENTER_EXPRESSION_PACKET = 15,
  RV_RETURN_EXPRESSION_PACKET = 16,
  RV_SUSPEND_PACKET = 17,
  RV_RESUME_PACKET = 18,
  RV_BEGIN_DIALOG_PACKET = 19,
  RV_END_DIALOG_PACKET = 20,
  RV_INPUT_STRING_PACKET = 21
};

QV_EXPORT_BEGIN

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
 * such call (or RVErrorMessage on one of its links) overwrites. Null for a
 * null environment. */
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

/* ---- Typed calls: the link ---------------------------------------------- *
 * The typed calls below take a link. Every one refuses a null link (answer
 * 0) and a pending error it may not go on with: gets go on with 0 and 11 and
 * connect a link waiting with 10 first; puts go on only by connecting one
 * with 10; "strict" calls refuse any pending error. A refused call changes
 * nothing. Otherwise a get stores a failure as the link's error and answers
 * 0, or answers 1; a put stores its outcome (0 on success) and answers 1
 * exactly on success.
 */
#ifdef __cplusplus
class QVLink;
#else
typedef struct QVLink QVLink;
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Typed calls: token level ------------------------------------------ */

/* Type of the next token (raw byte, or public type RV_TOK_...); 0 on
 * failure. */
int RVGetNextRaw(QVLink* link) QV_NOEXCEPT;
int RVGetNext(QVLink* link) QV_NOEXCEPT;
/* Type of the current token, reading the next when none is current. */
int RVGetRawType(QVLink* link) QV_NOEXCEPT;
int RVGetType(QVLink* link) QV_NOEXCEPT;
/* Raw bytes left in the current atom; *count is 0 first. */
int RVRawBytesToGet(QVLink* link, int* count) QV_NOEXCEPT;
/* Bytes left in the current atom; at 0 the atom is finished. count may be null. */
int RVBytesToGet(QVLink* link, int* count) QV_NOEXCEPT;
/* Argument count of the current composite (an array as its function form). */
int RVGetRawArgCount(QVLink* link, int* count) QV_NOEXCEPT;
int RVGetArgCount(QVLink* link, int* count) QV_NOEXCEPT;
/* Up to size bytes of the current atom; *count is 0 first. */
int RVGetRawData(QVLink* link, unsigned char* buffer, int size, int* count) QV_NOEXCEPT;
int RVGetData(QVLink* link, char* buffer, int size, int* count) QV_NOEXCEPT;
/* Skip the rest of the current packet, or of the current expression. */
int RVNewPacket(QVLink* link) QV_NOEXCEPT;
int QVNewExpression(QVLink* link) QV_NOEXCEPT;
/* Finish the current token, then skip expressions until at most n are owed. */
int RVTakeLast(QVLink* link, int n) QV_NOEXCEPT;
/* Fill the input from the device; only error 0 (or 10, connecting) goes on. */
int RVFill(QVLink* link) QV_NOEXCEPT;
/* Expressions of the current packet still to read. A link waiting with 10
 * reports 0 and answers 1 without connecting; other errors do not stop it. */
int RVExpressionsToGet(QVLink* link, int* count) QV_NOEXCEPT;

int RVPutNext(QVLink* link, int type) QV_NOEXCEPT;
int RVPutType(QVLink* link, int type) QV_NOEXCEPT;
/* A function token with its argument count. */
int RVPutComposite(QVLink* link, int count) QV_NOEXCEPT;
/* Strict. Size 0 or less closes the atom at once. */
int RVPutRawSize(QVLink* link, int size) QV_NOEXCEPT;
int RVPutArgCount(QVLink* link, int count) QV_NOEXCEPT;
/* Strict; *count is 0 first. */
int RVBytesToPut(QVLink* link, int* count) QV_NOEXCEPT;
int RVPutRawData(QVLink* link, const unsigned char* data, int length) QV_NOEXCEPT;
int RVEndPacket(QVLink* link) QV_NOEXCEPT;

/* ---- Typed calls: scalars ---------------------------------------------- *
 * Gets convert any number token to the asked type: 7 when the value does not
 * fit (the token stays unread), 3 when the next token is no number. Puts of
 * 16-bit integers write 32-bit values (228), 32-bit reals write doubles (246),
 * RVPutInteger8 the low 8 bits of its argument.
 */
int RVGetBinaryNumber(QVLink* link, void* data, long type) QV_NOEXCEPT;
int RVGetInteger8(QVLink* link, unsigned char* value) QV_NOEXCEPT;
int RVGetShortInteger(QVLink* link, short* value) QV_NOEXCEPT;
int RVGetInteger16(QVLink* link, short* value) QV_NOEXCEPT;
int RVGetInteger(QVLink* link, int* value) QV_NOEXCEPT;
int RVGetInteger32(QVLink* link, int* value) QV_NOEXCEPT;
int RVGetLongInteger(QVLink* link, long* value) QV_NOEXCEPT;
int RVGetInteger64(QVLink* link, long* value) QV_NOEXCEPT;
int RVGetFloat(QVLink* link, float* value) QV_NOEXCEPT;
int RVGetReal32(QVLink* link, float* value) QV_NOEXCEPT;
int RVGetDouble(QVLink* link, double* value) QV_NOEXCEPT;
int RVGetReal64(QVLink* link, double* value) QV_NOEXCEPT;
int RVGetReal(QVLink* link, double* value) QV_NOEXCEPT;
int RVGetLongDouble(QVLink* link, long double* value) QV_NOEXCEPT;
int RVGetReal128(QVLink* link, long double* value) QV_NOEXCEPT;

int RVPutBinaryNumber(QVLink* link, void* data, long type) QV_NOEXCEPT;
int RVPutInteger8(QVLink* link, int value) QV_NOEXCEPT;
int RVPutShortInteger(QVLink* link, int value) QV_NOEXCEPT;
int RVPutInteger16(QVLink* link, int value) QV_NOEXCEPT;
int RVPutInteger(QVLink* link, int value) QV_NOEXCEPT;
int RVPutInteger32(QVLink* link, int value) QV_NOEXCEPT;
int RVPutLongInteger(QVLink* link, long value) QV_NOEXCEPT;
int RVPutInteger64(QVLink* link, long value) QV_NOEXCEPT;
int RVPutFloat(QVLink* link, double value) QV_NOEXCEPT;
int RVPutReal32(QVLink* link, double value) QV_NOEXCEPT;
int RVPutDouble(QVLink* link, double value) QV_NOEXCEPT;
int RVPutReal64(QVLink* link, double value) QV_NOEXCEPT;
int RVPutReal(QVLink* link, double value) QV_NOEXCEPT;
int RVPutLongDouble(QVLink* link, long double value) QV_NOEXCEPT;
int RVPutReal128(QVLink* link, long double value) QV_NOEXCEPT;

/* ---- Typed calls: lists ------------------------------------------------ *
 * A list is an array of depth 1 (3 otherwise) of numbers, converted to the
 * asked type. The block comes from the environment's pool and goes back with
 * the release call of the same family; an empty list gives null and length
 * 0. A length that cannot be held answers 2; no memory 8. When the elements
 * fail after the block was taken, the block is still handed out. Length
 * pointers may be null.
 */
int RVGetBinaryNumberList(QVLink* link, void** data, long* length, long type) QV_NOEXCEPT;
int RVGetIntegerList(QVLink* link, int** data, long* length) QV_NOEXCEPT;
int RVGetRealList(QVLink* link, double** data, long* length) QV_NOEXCEPT;
int RVGetInteger8List(QVLink* link, unsigned char** data, int* length) QV_NOEXCEPT;
int RVGetInteger16List(QVLink* link, short** data, int* length) QV_NOEXCEPT;
int RVGetInteger32List(QVLink* link, int** data, int* length) QV_NOEXCEPT;
int RVGetInteger64List(QVLink* link, long** data, int* length) QV_NOEXCEPT;
int RVGetReal32List(QVLink* link, float** data, int* length) QV_NOEXCEPT;
int RVGetReal64List(QVLink* link, double** data, int* length) QV_NOEXCEPT;
int RVGetReal128List(QVLink* link, long double** data, int* length) QV_NOEXCEPT;

/* Null link or null data: nothing. The length is not used. */
void RVReleaseBinaryNumberList(QVLink* link, void* data, long length) QV_NOEXCEPT;
void RVReleaseIntegerList(QVLink* link, int* data, long length) QV_NOEXCEPT;
void RVReleaseRealList(QVLink* link, double* data, long length) QV_NOEXCEPT;
void RVReleaseInteger8List(QVLink* link, unsigned char* data, int length) QV_NOEXCEPT;
void RVReleaseInteger16List(QVLink* link, short* data, int length) QV_NOEXCEPT;
void RVReleaseInteger32List(QVLink* link, int* data, int length) QV_NOEXCEPT;
void RVReleaseInteger64List(QVLink* link, long* data, int length) QV_NOEXCEPT;
void RVReleaseReal32List(QVLink* link, float* data, int length) QV_NOEXCEPT;
void RVReleaseReal64List(QVLink* link, double* data, int length) QV_NOEXCEPT;
void RVReleaseReal128List(QVLink* link, long double* data, int length) QV_NOEXCEPT;
void QVDisownBinaryNumberList(QVLink* link, void* data, long length, long type) QV_NOEXCEPT;

/* ---- Typed calls: arrays ----------------------------------------------- *
 * A rectangular array of numbers (an array token or nested functions),
 * converted to the asked type; type 0 takes the array's own leaf type, which
 * must then be a binary number type (3 otherwise). Whole arrays come in
 * blocks from the environment's pool: data (null when a dimension is 0),
 * depth dimensions, and, when heads is not null, depth head names level 1
 * first. A size that cannot be held answers 2, no memory 8; on any failure
 * the out-parameters are null (depth 0) and nothing is to be released. Data
 * and dimension pointers are required; RVGetShortIntegerArray also needs the
 * depth pointer (0 at once without it). The 32-bit forms answer 2 for a
 * dimension an int cannot hold.
 */
#ifdef __cplusplus
}
struct qvmeter;
extern "C" {
#else
struct qvmeter;
#endif
int RVGetBinaryNumberArrayWithLeafType(QVLink* link, void** data, long** dimensions, char*** heads, long* depth,
                                       long type, int* leafType) QV_NOEXCEPT;
int RVGetBinaryNumberArray(QVLink* link, void** data, long** dimensions, char*** heads, long* depth,
                           long type) QV_NOEXCEPT;
int RVGetShortIntegerArray(QVLink* link, short** data, long** dimensions, char*** heads, long* depth) QV_NOEXCEPT;
int RVGetIntegerArray(QVLink* link, int** data, long** dimensions, char*** heads, long* depth) QV_NOEXCEPT;
int RVGetLongIntegerArray(QVLink* link, long** data, long** dimensions, char*** heads, long* depth) QV_NOEXCEPT;
int RVGetFloatArray(QVLink* link, float** data, long** dimensions, char*** heads, long* depth) QV_NOEXCEPT;
int RVGetDoubleArray(QVLink* link, double** data, long** dimensions, char*** heads, long* depth) QV_NOEXCEPT;
int RVGetRealArray(QVLink* link, double** data, long** dimensions, char*** heads, long* depth) QV_NOEXCEPT;
int RVGetLongDoubleArray(QVLink* link, long double** data, long** dimensions, char*** heads,
                         long* depth) QV_NOEXCEPT;
int RVGetByteArray(QVLink* link, unsigned char** data, int** dimensions, char*** heads, int* depth) QV_NOEXCEPT;
int RVGetInteger8Array(QVLink* link, unsigned char** data, int** dimensions, char*** heads, int* depth) QV_NOEXCEPT;
int RVGetInteger16Array(QVLink* link, short** data, int** dimensions, char*** heads, int* depth) QV_NOEXCEPT;
int RVGetInteger32Array(QVLink* link, int** data, int** dimensions, char*** heads, int* depth) QV_NOEXCEPT;
int RVGetInteger64Array(QVLink* link, long** data, int** dimensions, char*** heads, int* depth) QV_NOEXCEPT;
int RVGetReal32Array(QVLink* link, float** data, int** dimensions, char*** heads, int* depth) QV_NOEXCEPT;
int RVGetReal64Array(QVLink* link, double** data, int** dimensions, char*** heads, int* depth) QV_NOEXCEPT;
int RVGetReal128Array(QVLink* link, long double** data, int** dimensions, char*** heads, int* depth) QV_NOEXCEPT;

/* Under the link lock (a null link: nothing): the data, each head name from
 * level depth down to 1, the heads block, the dimensions; null parts are
 * passed over. */
void QVReleaseArray(QVLink* link, void* data, int* dimensions, char** heads, int depth) QV_NOEXCEPT;
void QVDisownArray(QVLink* link, void* data, long* dimensions, char** heads, long depth) QV_NOEXCEPT;
void RVReleaseBinaryNumberArray(QVLink* link, void* data, int* dimensions, char** heads, int depth) QV_NOEXCEPT;
void RVReleaseByteArray(QVLink* link, unsigned char* data, int* dimensions, char** heads, int depth) QV_NOEXCEPT;
void RVReleaseInteger8Array(QVLink* link, unsigned char* data, int* dimensions, char** heads,
                            int depth) QV_NOEXCEPT;
void RVReleaseInteger16Array(QVLink* link, short* data, int* dimensions, char** heads, int depth) QV_NOEXCEPT;
void RVReleaseInteger32Array(QVLink* link, int* data, int* dimensions, char** heads, int depth) QV_NOEXCEPT;
void RVReleaseInteger64Array(QVLink* link, long* data, int* dimensions, char** heads, int depth) QV_NOEXCEPT;
void RVReleaseReal32Array(QVLink* link, float* data, int* dimensions, char** heads, int depth) QV_NOEXCEPT;
void RVReleaseReal64Array(QVLink* link, double* data, int* dimensions, char** heads, int depth) QV_NOEXCEPT;
void RVReleaseReal128Array(QVLink* link, long double* data, int* dimensions, char** heads, int depth) QV_NOEXCEPT;
void QVDisownBinaryNumberArray(QVLink* link, void* data, long* dimensions, char** heads, long depth) QV_NOEXCEPT;
void QVDisownByteArray(QVLink* link, unsigned char* data, long* dimensions, char** heads, long depth) QV_NOEXCEPT;
void RVReleaseShortIntegerArray(QVLink* link, short* data, long* dimensions, char** heads, long depth) QV_NOEXCEPT;
void RVReleaseIntegerArray(QVLink* link, int* data, long* dimensions, char** heads, long depth) QV_NOEXCEPT;
void RVReleaseLongIntegerArray(QVLink* link, long* data, long* dimensions, char** heads, long depth) QV_NOEXCEPT;
void RVReleaseFloatArray(QVLink* link, float* data, long* dimensions, char** heads, long depth) QV_NOEXCEPT;
void RVReleaseDoubleArray(QVLink* link, double* data, long* dimensions, char** heads, long depth) QV_NOEXCEPT;
void RVReleaseRealArray(QVLink* link, double* data, long* dimensions, char** heads, long depth) QV_NOEXCEPT;
void RVReleaseLongDoubleArray(QVLink* link, long double* data, long* dimensions, char** heads,
                              long depth) QV_NOEXCEPT;

/* Stepwise: the array's heads go to headsLink (null: dropped) as one
 * function token per level, its count the level's dimension, to be read with
 * ordinary gets; *state is an array meter from the pool, given back with
 * RVReleaseGetArrayState, and null after a failure. The data calls read up
 * to count elements of their type into the caller's buffer. */
int RVGetArrayTypeWithDepthAndLeafType(QVLink* link, QVLink* headsLink, struct qvmeter** state, long* depth,
                                       int* leafType) QV_NOEXCEPT;
/* Reads the next array's heads into state; the leaf type, or 0. */
int RVGetArrayType(QVLink* link, struct qvmeter* state) QV_NOEXCEPT;
int RVGetArrayDimensions(QVLink* link, struct qvmeter* state) QV_NOEXCEPT;
int RVGetBinaryNumberArrayData(QVLink* link, struct qvmeter* state, void* buffer, long count, long type) QV_NOEXCEPT;
/* *count: the elements asked for, then the elements read. */
int RVGetBinaryNumberArrayDataWithHeads(QVLink* link, QVLink* headsLink, struct qvmeter* state, void* buffer,
                                        long* count, long type) QV_NOEXCEPT;
void RVReleaseGetArrayState(QVLink* link, QVLink* headsLink, struct qvmeter* state) QV_NOEXCEPT;
int RVGetByteArrayData(QVLink* link, struct qvmeter* state, unsigned char* buffer, long count) QV_NOEXCEPT;
int RVGetShortIntegerArrayData(QVLink* link, struct qvmeter* state, short* buffer, long count) QV_NOEXCEPT;
int RVGetIntegerArrayData(QVLink* link, struct qvmeter* state, int* buffer, long count) QV_NOEXCEPT;
int RVGetLongIntegerArrayData(QVLink* link, struct qvmeter* state, long* buffer, long count) QV_NOEXCEPT;
int RVGetFloatArrayData(QVLink* link, struct qvmeter* state, float* buffer, long count) QV_NOEXCEPT;
int RVGetDoubleArrayData(QVLink* link, struct qvmeter* state, double* buffer, long count) QV_NOEXCEPT;
int RVGetLongDoubleArrayData(QVLink* link, struct qvmeter* state, long double* buffer, long count) QV_NOEXCEPT;
int RVGetInteger8ArrayData(QVLink* link, struct qvmeter* state, unsigned char* buffer, int count) QV_NOEXCEPT;
int RVGetInteger16ArrayData(QVLink* link, struct qvmeter* state, short* buffer, int count) QV_NOEXCEPT;
int RVGetInteger32ArrayData(QVLink* link, struct qvmeter* state, int* buffer, int count) QV_NOEXCEPT;
int RVGetInteger64ArrayData(QVLink* link, struct qvmeter* state, long* buffer, int count) QV_NOEXCEPT;
int RVGetReal32ArrayData(QVLink* link, struct qvmeter* state, float* buffer, int count) QV_NOEXCEPT;
int RVGetReal64ArrayData(QVLink* link, struct qvmeter* state, double* buffer, int count) QV_NOEXCEPT;
int RVGetReal128ArrayData(QVLink* link, struct qvmeter* state, long double* buffer, int count) QV_NOEXCEPT;

/* ---- Typed calls: marks, readiness, transfer --------------------------- *
 * A mark saves the read position of a link (a link with error 0 or 11 only)
 * and is given back with RVDestroyMark. Readiness answers 1 when a read
 * would not wait (an error counts: the read reports it), 0 when nothing is
 * there, -1 for a link that can never read again (errors 1 and 9).
 */
#ifdef __cplusplus
}
class QVLinkMark;
extern "C" {
#else
typedef struct QVLinkMark QVLinkMark;
#endif
QVLinkMark* RVCreateMark(QVLink* link) QV_NOEXCEPT;
/* Back to the mark, then index expressions further; the mark, or null. */
QVLinkMark* RVSeekMark(QVLink* link, QVLinkMark* mark, int index) QV_NOEXCEPT;
QVLinkMark* RVSeekToMark(QVLink* link, QVLinkMark* mark, int index) QV_NOEXCEPT;
void RVDestroyMark(QVLink* link, QVLinkMark* mark) QV_NOEXCEPT;

int RVReady(QVLink* link) QV_NOEXCEPT;
/* The index of the first of n links with something to read, -2 when the time
 * runs out (both fields -1: no time-out), -3 for no links, -1 on failure. */
int RVReadyParallel(RVEnvironment* environment, QVLink** links, int n, long seconds,
                    long microseconds) QV_NOEXCEPT;
/* 1 on activity, 2 on failure; the callback (link, null) is asked every 50
 * milliseconds without activity, and its answer 1 ends the wait with 4. */
int RVWaitForLinkActivity(QVLink* link) QV_NOEXCEPT;
int RVWaitForLinkActivityWithCallback(QVLink* link, int (*callback)(QVLink*, void*)) QV_NOEXCEPT;

/* Copies one expression from source to destination (a null destination
 * skips it on the source); 1 on success, 0 on failure. */
int RVTransferExpression(QVLink* destination, QVLink* source) QV_NOEXCEPT;
/* Copies everything pending on the loopback source, leaving it empty. */
int RVTransferToEndOfLoopbackLink(QVLink* destination, QVLink* source) QV_NOEXCEPT;

/* ---- Typed calls: symbol and function puts ----------------------------- *
 * A name goes out after the link's symbol replacement, as a plain symbol.
 * 47: a null name or one whose characters cannot be counted; function heads
 * that cannot be counted give 48. A null head puts "List". Lengths are in
 * units of the encoding.
 */
int RVPutSymbol(QVLink* link, const char* name) QV_NOEXCEPT;
int RVPutByteSymbol(QVLink* link, const unsigned char* name, long length) QV_NOEXCEPT;
int RVPutUCS2Symbol(QVLink* link, const unsigned short* name, int length) QV_NOEXCEPT;
int RVPutUTF8Symbol(QVLink* link, const unsigned char* name, int length) QV_NOEXCEPT;
int RVPutUTF16Symbol(QVLink* link, const unsigned short* name, int length) QV_NOEXCEPT;
int RVPutUTF32Symbol(QVLink* link, const unsigned int* name, int length) QV_NOEXCEPT;
int RVPutFunction(QVLink* link, const char* head, int count) QV_NOEXCEPT;
int RVPutUCS2Function(QVLink* link, const unsigned short* head, int length, int count) QV_NOEXCEPT;
int RVPutUTF8Function(QVLink* link, const unsigned char* head, int length, int count) QV_NOEXCEPT;
int RVPutUTF16Function(QVLink* link, const unsigned short* head, int length, int count) QV_NOEXCEPT;
int RVPutUTF32Function(QVLink* link, const unsigned int* head, int length, int count) QV_NOEXCEPT;

/* ---- Typed calls: string puts ------------------------------------------ *
 * One whole string token. 47 for a null text with a length, a negative
 * length, text whose characters cannot be counted, and UTF-16 or UTF-32 text
 * of length 0.
 */
int RVPutString(QVLink* link, const char* text) QV_NOEXCEPT;
int RVPutByteString(QVLink* link, const unsigned char* text, long length) QV_NOEXCEPT;
int RVPutUCS2String(QVLink* link, const unsigned short* text, int length) QV_NOEXCEPT;
int RVPutUTF8String(QVLink* link, const unsigned char* text, int length) QV_NOEXCEPT;
int RVPutUTF16String(QVLink* link, const unsigned short* text, int length) QV_NOEXCEPT;
int RVPutUTF32String(QVLink* link, const unsigned int* text, int length) QV_NOEXCEPT;

/* A real token whose text is in input syntax (1.5*^10, 2.`20), written in
 * the link's form (1.5e10); the caller's text is left as it was. The forms
 * without a length take NUL-terminated text. */
int RVPutRealNumberAsString(QVLink* link, const char* text) QV_NOEXCEPT;
int RVPutRealNumberAsByteString(QVLink* link, const unsigned char* text) QV_NOEXCEPT;
int RVPutRealNumberAsUCS2String(QVLink* link, const unsigned short* text) QV_NOEXCEPT;
int RVPutRealNumberAsUTF8String(QVLink* link, const unsigned char* text, int length) QV_NOEXCEPT;
int RVPutRealNumberAsUTF16String(QVLink* link, const unsigned short* text, int length) QV_NOEXCEPT;
int RVPutRealNumberAsUTF32String(QVLink* link, const unsigned int* text, int length) QV_NOEXCEPT;

/* ---- Typed calls: character puts --------------------------------------- *
 * Pieces of a string or symbol token already started with RVPutType; left is
 * the number of characters still to follow the piece. Strict: any pending
 * error refuses them. RVPutSize and RVPut7BitCount declare the text's byte
 * size; RVPutData and RVPut7BitCharacters then send its bytes.
 */
int RVPutUCS2Characters(QVLink* link, int left, const unsigned short* text, int length) QV_NOEXCEPT;
int RVPutUTF8Characters(QVLink* link, int left, const unsigned char* text, int length) QV_NOEXCEPT;
int RVPutUTF16Characters(QVLink* link, int left, const unsigned short* text, int length) QV_NOEXCEPT;
int RVPutUTF32Characters(QVLink* link, int left, const unsigned int* text, int length) QV_NOEXCEPT;
int RVPut8BitCharacters(QVLink* link, long left, const unsigned char* text, long length) QV_NOEXCEPT;
int RVPut7BitCount(QVLink* link, long count, long size) QV_NOEXCEPT;
int RVPut7BitCharacters(QVLink* link, long left, const char* text, long length, long characters) QV_NOEXCEPT;
int RVPutSize(QVLink* link, int size) QV_NOEXCEPT;
int RVPutData(QVLink* link, const unsigned char* data, int length) QV_NOEXCEPT;

/* ---- Typed calls: character gets --------------------------------------- *
 * The next piece of the current string or symbol into buffer (size in units
 * of the encoding; no terminator): *got characters delivered, *left still to
 * come. Dictionary-coded texts come whole, or fail with 55 leaving the token
 * unread; a null buffer then reports their length in *left.
 */
int RVGetUCS2Characters(QVLink* link, int* left, unsigned short* buffer, int size, int* got) QV_NOEXCEPT;
int RVGetUTF8Characters(QVLink* link, int* left, unsigned char* buffer, int size, int* got) QV_NOEXCEPT;
int RVGetUTF16Characters(QVLink* link, int* left, unsigned short* buffer, int size, int* got) QV_NOEXCEPT;
int RVGetUTF32Characters(QVLink* link, int* left, unsigned int* buffer, int size, int* got) QV_NOEXCEPT;
int RVGet8BitCharacters(QVLink* link, long* left, unsigned char* buffer, long size, long* got) QV_NOEXCEPT;
int RVGet7BitCharacters(QVLink* link, long* left, char* buffer, long size, long* got) QV_NOEXCEPT;

/* ---- Typed calls: string gets, tests and releases ---------------------- *
 * A get hands out the next atom (a string, or a symbol or number as its
 * text) in a block the matching release gives back; every text ends with
 * two zero units of its encoding, and the counts are the authority. Counts
 * are written also when the get fails; the text is then null. UTF-16 and
 * UTF-32 texts begin with the byte-order mark: unit counts include it,
 * character counts do not. 49: a character the encoding cannot hold (the
 * byte forms write the missing-character code instead); 54: a string code
 * the link's dictionary does not hold (2 for the byte and 7-bit forms).
 * The number forms give real-number text in input syntax (1.5*^10) and
 * count the rewritten text.
 */
/* NUL-terminated 7-bit text; a function comes next: 3. On any failure
 * *text is left as it was. */
int RVGetString(QVLink* link, const char** text) QV_NOEXCEPT;
int RVGetByteString(QVLink* link, const unsigned char** text, int* length, long missing) QV_NOEXCEPT;
int RVGetUCS2String(QVLink* link, const unsigned short** text, int* length) QV_NOEXCEPT;
int RVGetUTF8String(QVLink* link, const unsigned char** text, int* bytes, int* characters) QV_NOEXCEPT;
int RVGetUTF16String(QVLink* link, const unsigned short** text, int* units, int* characters) QV_NOEXCEPT;
int RVGetUTF32String(QVLink* link, const unsigned int** text, int* units) QV_NOEXCEPT;
int RVGetNumberAsString(QVLink* link, const char** text) QV_NOEXCEPT;
int RVGetNumberAsByteString(QVLink* link, const unsigned char** text, long* length, long missing) QV_NOEXCEPT;
int RVGetNumberAsUCS2String(QVLink* link, const unsigned short** text, int* length) QV_NOEXCEPT;
int RVGetNumberAsUTF8String(QVLink* link, const unsigned char** text, int* bytes, int* characters) QV_NOEXCEPT;
int RVGetNumberAsUTF16String(QVLink* link, const unsigned short** text, int* units, int* characters) QV_NOEXCEPT;
int RVGetNumberAsUTF32String(QVLink* link, const unsigned int** text, int* units) QV_NOEXCEPT;
/* 1 when the next atom's text is the given one (consumed); else 0, the code
 * (3 for another text) on the link and the input where it was. 7-bit text
 * is compared as it stands, escapes included; UTF-16 and UTF-32 text is read
 * in the order its byte-order mark gives. */
int RVTestString(QVLink* link, const char* text) QV_NOEXCEPT;
int RVTestUCS2String(QVLink* link, const unsigned short* text, int length) QV_NOEXCEPT;
int RVTestUTF8String(QVLink* link, const unsigned char* text, int length) QV_NOEXCEPT;
int RVTestUTF16String(QVLink* link, const unsigned short* text, int length) QV_NOEXCEPT;
int RVTestUTF32String(QVLink* link, const unsigned int* text, int length) QV_NOEXCEPT;
/* A null link or text does nothing. */
void RVReleaseString(QVLink* link, const char* text) QV_NOEXCEPT;
void RVReleaseByteString(QVLink* link, const unsigned char* text) QV_NOEXCEPT;
void RVReleaseUCS2String(QVLink* link, const unsigned short* text) QV_NOEXCEPT;
void RVReleaseUTF8String(QVLink* link, const unsigned char* text) QV_NOEXCEPT;
void RVReleaseUTF16String(QVLink* link, const unsigned short* text) QV_NOEXCEPT;
void RVReleaseUTF32String(QVLink* link, const unsigned int* text) QV_NOEXCEPT;

/* ---- Typed calls: symbol gets, tests and releases ---------------------- *
 * A get hands out the next symbol (plain or dictionary-coded, after the
 * link's replacement for reading) in a block the matching release gives back;
 * its counts are written also when it fails. UTF-16 and UTF-32 names begin
 * with the byte-order mark: unit counts include it, character counts do not.
 * A test answers 1 and consumes the symbol when it is the given one; else 0,
 * the code (3 for another symbol) on the link, and the input where it was.
 */
int RVGetSymbol(QVLink* link, const char** name) QV_NOEXCEPT;
/* Characters above 255 become the missing-character code. */
int RVGetByteSymbol(QVLink* link, const unsigned char** name, int* length, long missing) QV_NOEXCEPT;
int RVGetUCS2Symbol(QVLink* link, const unsigned short** name, int* length) QV_NOEXCEPT;
int RVGetUTF8Symbol(QVLink* link, const unsigned char** name, int* bytes, int* characters) QV_NOEXCEPT;
int RVGetUTF16Symbol(QVLink* link, const unsigned short** name, int* units, int* characters) QV_NOEXCEPT;
int RVGetUTF32Symbol(QVLink* link, const unsigned int** name, int* length) QV_NOEXCEPT;
/* A null link or name does nothing. */
void RVReleaseSymbol(QVLink* link, const char* name) QV_NOEXCEPT;
void RVReleaseByteSymbol(QVLink* link, const unsigned char* name) QV_NOEXCEPT;
void RVReleaseUCS2Symbol(QVLink* link, const unsigned short* name) QV_NOEXCEPT;
void RVReleaseUTF8Symbol(QVLink* link, const unsigned char* name, int bytes) QV_NOEXCEPT;
void RVReleaseUTF16Symbol(QVLink* link, const unsigned short* name) QV_NOEXCEPT;
void RVReleaseUTF32Symbol(QVLink* link, const unsigned int* name) QV_NOEXCEPT;
int RVTestSymbol(QVLink* link, const char* name) QV_NOEXCEPT;
int RVTestUCS2Symbol(QVLink* link, const unsigned short* name, int length) QV_NOEXCEPT;
int RVTestUTF8Symbol(QVLink* link, const unsigned char* name, int length) QV_NOEXCEPT;
int RVTestUTF16Symbol(QVLink* link, const unsigned short* name, int length) QV_NOEXCEPT;
int RVTestUTF32Symbol(QVLink* link, const unsigned int* name, int length) QV_NOEXCEPT;

/* ---- Typed calls: function gets, head tests and checks ----------------- *
 * Gets hand out the head of the next function (given back with the symbol
 * releases) and its argument count; the head pointer is null first. Checks
 * consume what they read. Tests answer 1 and leave the input at the first
 * argument on a match, else 0 with the code on the link (3 for another head
 * or count) and the input at the function. Counts: RVTestHead and the plain
 * head tests accept any; the WithArgCount tests want *count when it is
 * positive, else no arguments; RVCheckFunctionWithArgCount accepts any when
 * *count is negative. A null head accepts any head. The count read is
 * reported through the count pointer.
 */
int RVGetFunction(QVLink* link, const char** head, int* count) QV_NOEXCEPT;
int RVGetUCS2Function(QVLink* link, const unsigned short** head, int* length, int* count) QV_NOEXCEPT;
int RVGetUTF8Function(QVLink* link, const unsigned char** head, int* length, int* count) QV_NOEXCEPT;
int RVGetUTF16Function(QVLink* link, const unsigned short** head, int* length, int* count) QV_NOEXCEPT;
int RVGetUTF32Function(QVLink* link, const unsigned int** head, int* length, int* count) QV_NOEXCEPT;
int RVCheckFunction(QVLink* link, const char* head, long* count) QV_NOEXCEPT;
int RVCheckFunctionWithArgCount(QVLink* link, const char* head, long* count) QV_NOEXCEPT;
int RVTestHead(QVLink* link, const char* head, int* count) QV_NOEXCEPT;
int RVTestHeadWithArgCount(QVLink* link, const char* head, int* count) QV_NOEXCEPT;
int RVTestUCS2Head(QVLink* link, const unsigned short* head, int length, int* count) QV_NOEXCEPT;
int RVTestUTF8Head(QVLink* link, const unsigned char* head, int length, int* count) QV_NOEXCEPT;
int RVTestUTF16Head(QVLink* link, const unsigned short* head, int length, int* count) QV_NOEXCEPT;
int RVTestUTF32Head(QVLink* link, const unsigned int* head, int length, int* count) QV_NOEXCEPT;
int RVTestUCS2HeadWithArgCount(QVLink* link, const unsigned short* head, int length, int* count) QV_NOEXCEPT;
int RVTestUTF8HeadWithArgCount(QVLink* link, const unsigned char* head, int length, int* count) QV_NOEXCEPT;
int RVTestUTF16HeadWithArgCount(QVLink* link, const unsigned short* head, int length, int* count) QV_NOEXCEPT;
int RVTestUTF32HeadWithArgCount(QVLink* link, const unsigned int* head, int length, int* count) QV_NOEXCEPT;

/* ---- Typed calls: packets ---------------------------------------------- *
 * The kind of the next packet (RV_..._PACKET, 1 to 21) from its head,
 * leaving the input at its first argument; 0 on failure: RV_ERR_UNREAD_DATA
 * (22) while the current packet still has unread expressions (nothing
 * read), RV_ERR_UNKNOWN_PACKET (23) for a head of no known kind (the head
 * read, its arguments not), or the code of the head's get.
 */
int RVNextPacket(QVLink* link) QV_NOEXCEPT;

/* ---- Links ------------------------------------------------------------- *
 * Opening a link, connecting it to its peer, handing its output on, its
 * error, the callbacks on its device, and closing it. Opens answer the link,
 * or null with the code in *error (0 on success).
 */
#ifdef __cplusplus
}
struct QVYieldParams;
extern "C" {
#else
struct QVYieldParams;
#endif

/* From command-line words (-linkname, -linkmode, -linkprotocol, ...). */
QVLink* RVOpenArgcArgv(RVEnvironment* environment, int argc, char** argv, int* error) QV_NOEXCEPT;
/* From one command line, split into at most 32 words. */
QVLink* RVOpenString(RVEnvironment* environment, const char* command, int* error) QV_NOEXCEPT;
/* From command-line words, in a new environment of default parameters
 * started for the link; null on failure. */
QVLink* RVOpen(int argc, char** argv) QV_NOEXCEPT;
QVLink* RVOpenInEnv(RVEnvironment* environment, int argc, char** argv, int* error) QV_NOEXCEPT;
/* From the words argv up to argv_end (exclusive). */
QVLink* RVOpenArgv(RVEnvironment* environment, char** argv, char** argv_end, int* error) QV_NOEXCEPT;
/* A link that reads back what is written on it. */
QVLink* RVLoopbackOpen(RVEnvironment* environment, int* error) QV_NOEXCEPT;
/* Connects the device, then exchanges the handshake with the peer; 1 when
 * connected. */
int RVConnect(QVLink* link) QV_NOEXCEPT;
/* Hands all pending output to the device; 0 whenever the link has an error. */
int RVFlush(QVLink* link) QV_NOEXCEPT;
/* The link's error code (RV_ERR_...) with its sign (-1 is -1), 0 when none;
 * 1 for a null link. */
long RVError(QVLink* link) QV_NOEXCEPT;
/* Clears the error and answers nonzero; 0, keeping it, for errors 1 and 9. */
int RVClearError(QVLink* link) QV_NOEXCEPT;

/* The message of the link's error code, as RVErrorString gives it in the
 * link's environment; null for a null link. The plain and UTF-8 forms are
 * the library's text (their releases do nothing), the UTF-8 length in
 * bytes. The UCS-2, UTF-16 and UTF-32 forms are new copies without a
 * terminator, given back with their release (null ignored), the length in
 * 16-bit or 32-bit units: UCS-2 has no byte-order mark, UTF-16 and UTF-32
 * begin with U+FEFF in this machine's order and the length counts it. Null
 * also when no memory is left; the length is then left as it was. */
const char* RVErrorMessage(QVLink* link) QV_NOEXCEPT;
const unsigned char* RVUTF8ErrorMessage(QVLink* link, int* length) QV_NOEXCEPT;
const unsigned short* RVUCS2ErrorMessage(QVLink* link, int* length) QV_NOEXCEPT;
const unsigned short* RVUTF16ErrorMessage(QVLink* link, int* length) QV_NOEXCEPT;
const unsigned int* RVUTF32ErrorMessage(QVLink* link, int* length) QV_NOEXCEPT;
void RVReleaseErrorMessage(QVLink* link, const char* text) QV_NOEXCEPT;
void RVReleaseUTF8ErrorMessage(QVLink* link, const unsigned char* text) QV_NOEXCEPT;
void RVReleaseUCS2ErrorMessage(QVLink* link, const unsigned short* text) QV_NOEXCEPT;
void RVReleaseUTF16ErrorMessage(QVLink* link, const unsigned short* text) QV_NOEXCEPT;
void RVReleaseUTF32ErrorMessage(QVLink* link, const unsigned int* text) QV_NOEXCEPT;

/* Flushes and closes the link, its device with it, and frees it. */
void RVClose(QVLink* link) QV_NOEXCEPT;

/* Called with the link on the thread, or in the signal context, that
 * receives an out-of-band message: 1 terminate, 2 interrupt, 3 abort. */
typedef void (*RVMessageHandlerFunction)(void* link, int message, int argument);
/* Asked while the device waits; a nonzero answer stops the wait. */
typedef int (*RVYielderFunction)(void* link, struct QVYieldParams* parameters);
/* Install on the link's device; 1 on success. */
int RVSetMessageHandler(QVLink* link, RVMessageHandlerFunction handler) QV_NOEXCEPT;
int RVSetYieldFunction(QVLink* link, RVYielderFunction function) QV_NOEXCEPT;

/* ---- Links: establishing, duplicating, names, numbers, locks ----------- *
 * Calls on a null link answer 0 (or null) and do nothing.
 */
#ifdef __cplusplus
}
struct feature_set;
extern "C" {
#else
struct feature_set;
#endif

/* Connects the link with the given features (null: the library's own);
 * 1 when the link is (now) connected. RVActivate is RVConnect. */
int RVEstablish(QVLink* link, struct feature_set* features) QV_NOEXCEPT;
int RVActivate(QVLink* link) QV_NOEXCEPT;
/* Connects with the features a feature text names. */
int RVEstablishString(QVLink* link, const char* features) QV_NOEXCEPT;
/* The link's feature text into buffer (size bytes); -1 for a null link. */
long RVFeatureString(QVLink* link, char* buffer, long size) QV_NOEXCEPT;
/* A second link of that name over the same device (sharing its output, with
 * copies of its pending input), or null; *error (may be null) 0 on success,
 * 999 for a null link, 8 for no memory, or the link's pending error. */
QVLink* RVDuplicateLink(QVLink* link, const char* name, long* error) QV_NOEXCEPT;
/* 1 for a link that reads back what is written on it. */
int RVIsLinkLoopback(QVLink* link) QV_NOEXCEPT;
/* Gives the link a lock of its own that every call on it takes; switches
 * it off again. */
void RVEnableLinkLock(QVLink* link) QV_NOEXCEPT;
void RVDisableLinkLock(QVLink* link) QV_NOEXCEPT;
/* 1 while the link is usable. */
int RVValid(QVLink* link) QV_NOEXCEPT;

/* The name replaced by a copy of name (null clears it); the copy, or null
 * when no memory is left. */
const char* RVSetName(QVLink* link, const char* name) QV_NOEXCEPT;
/* The name, owned by the link (the release calls of these do nothing), or
 * null. The UTF-8 form is the name itself; the other encodings are copies,
 * their lengths in units, given back with their release. */
const char* RVName(QVLink* link) QV_NOEXCEPT;
const char* RVLinkName(QVLink* link) QV_NOEXCEPT;
const unsigned char* RVUTF8LinkName(QVLink* link, int* length) QV_NOEXCEPT;
const unsigned short* RVUCS2LinkName(QVLink* link, int* length) QV_NOEXCEPT;
const unsigned short* RVUTF16LinkName(QVLink* link, int* length) QV_NOEXCEPT;
const unsigned int* RVUTF32LinkName(QVLink* link, int* length) QV_NOEXCEPT;
void RVReleaseLinkName(QVLink* link, const char* name) QV_NOEXCEPT;
void RVReleaseUTF8LinkName(QVLink* link, const unsigned char* name) QV_NOEXCEPT;
void RVReleaseUCS2LinkName(QVLink* link, const unsigned short* name) QV_NOEXCEPT;
void RVReleaseUTF16LinkName(QVLink* link, const unsigned short* name) QV_NOEXCEPT;
void RVReleaseUTF32LinkName(QVLink* link, const unsigned int* name) QV_NOEXCEPT;

/* The link's number in its environment (from 1, never reused while the
 * environment lives); 0 for a null link. */
int64_t RVNumber(QVLink* link) QV_NOEXCEPT;
int64_t RVToLinkID(QVLink* link) QV_NOEXCEPT;
/* The live link of that number, or null. */
QVLink* RVFromLinkID(RVEnvironment* environment, int64_t number) QV_NOEXCEPT;

/* The environment the link belongs to, or null. */
RVEnvironment* RVLinkEnvironment(QVLink* link) QV_NOEXCEPT;
#ifdef __cplusplus
}
class QVLink_globals;
extern "C" {
#else
typedef struct QVLink_globals QVLink_globals;
#endif
/* The link-side part of that environment (its allocator pair, link numbers
 * and queues), or null. */
QVLink_globals* RLinkEnvironment(QVLink* link) QV_NOEXCEPT;
/* The environment of link-side globals; null for null. */
RVEnvironment* RVEnclosingEnvironment(const QVLink_globals* globals) QV_NOEXCEPT;
/* New link-side globals over the allocator pair, belonging to environment
 * (may be null), or null for a missing function or no memory. Every
 * environment makes its own at start; RVDeinit frees globals made here, and
 * only those (never an environment's own). */
QVLink_globals* RVInit(RVAllocator allocator, RVDeallocator deallocator, RVEnvironment* environment) QV_NOEXCEPT;
void RVDeinit(QVLink_globals* globals) QV_NOEXCEPT;

/* Symbol replacement: a symbol the program puts whose context (the
 * characters before its first backquote) is from goes out with the context
 * to instead, and a symbol read whose context is to reaches the program with
 * from; the first replacement that matches wins. Names are 7-bit text of the
 * given length in bytes. Adding answers the replacement's index (from 0), or
 * -1 for a null link or name, a negative length, a byte above 127 or no
 * memory. Clearing an index answers 1 (also for an index not held), 0 for a
 * null link or when the replacements cannot be locked (nothing changes). A
 * duplicated link starts with the same replacements. */
long RVSetSymbolReplacement(QVLink* link, const char* from, int fromLength, const char* to,
                            int toLength) QV_NOEXCEPT;
int RVClearSymbolReplacement(QVLink* link, long index) QV_NOEXCEPT;
void RVClearAllSymbolReplacements(QVLink* link) QV_NOEXCEPT;

/* Called with the link when it is destroyed. */
typedef void (*RVUserFunction)(QVLink* link);
void RVSetUserData(QVLink* link, void* data, RVUserFunction function) QV_NOEXCEPT;
/* The data; the function through *function when that is not null. */
void* RVUserData(QVLink* link, RVUserFunction* function) QV_NOEXCEPT;
RVUserFunction RVUserCast(RVUserFunction function) QV_NOEXCEPT;
/* A second caller pointer, apart from the user data. */
void RVSetUserBlock(QVLink* link, void* block) QV_NOEXCEPT;
void* RVUserBlock(QVLink* link) QV_NOEXCEPT;

/* The peer's environment identification as the handshake read it, in a copy
 * given back with RVReleaseEnvIDString (null when the peer sent none). */
int RVGetLinkedEnvIDString(QVLink* link, const char** text) QV_NOEXCEPT;
void RVReleaseEnvIDString(QVLink* link, const char* text) QV_NOEXCEPT;
/* Stores code as the link's error when it has none; 1 when stored. 0 also
 * for a code outside the 32-bit signed range, which a link cannot hold. */
int RVSetError(QVLink* link, long code) QV_NOEXCEPT;

/* ---- Yield functions and out-of-band messages -------------------------- *
 * A loopback link has neither yield function nor handler and keeps one
 * pending message.
 */

/* The yield calls made with the record since it was reset, and the sleep a
 * default yielder takes per call (microseconds, at most 600); 0 for null. */
long RVCountYP(const struct QVYieldParams* record) QV_NOEXCEPT;
long RVSleepYP(const struct QVYieldParams* record) QV_NOEXCEPT;
/* Counts the call in the record (when given), calls function with link and
 * record, and answers the low 16 bits of its answer. */
int RVCallYieldFunction(RVYielderFunction function, QVLink* link, struct QVYieldParams* record) QV_NOEXCEPT;
void RVCallMessageHandler(RVMessageHandlerFunction handler, QVLink* link, long code, long argument) QV_NOEXCEPT;
/* Each answers its function argument. */
RVYielderFunction RVCreateYieldFunction(RVEnvironment* environment, RVYielderFunction function,
                                        void* data) QV_NOEXCEPT;
RVYielderFunction RVDestroyYieldFunction(RVYielderFunction function) QV_NOEXCEPT;
RVMessageHandlerFunction RVCreateMessageHandler(RVEnvironment* environment, RVMessageHandlerFunction handler,
                                                void* data) QV_NOEXCEPT;
RVMessageHandlerFunction RVDestroyMessageHandler(RVMessageHandlerFunction handler) QV_NOEXCEPT;
RVYielderFunction RVYielderCast(RVYielderFunction function) QV_NOEXCEPT;
RVMessageHandlerFunction RVHandlerCast(RVMessageHandlerFunction handler) QV_NOEXCEPT;
RVAllocator RVAllocatorCast(RVAllocator function) QV_NOEXCEPT;
RVDeallocator RVDeallocatorCast(RVDeallocator function) QV_NOEXCEPT;
/* The yield function every link opened later in the environment gets. */
int RVSetDefaultYieldFunction(RVEnvironment* environment, RVYielderFunction function) QV_NOEXCEPT;
RVYielderFunction RVDefaultYieldFunction(RVEnvironment* environment) QV_NOEXCEPT;

RVYielderFunction RVGetYieldFunction(QVLink* link) QV_NOEXCEPT;
RVYielderFunction RVYieldFunction(QVLink* link) QV_NOEXCEPT;
RVMessageHandlerFunction RVGetMessageHandler(QVLink* link) QV_NOEXCEPT;
RVMessageHandlerFunction RVMessageHandler(QVLink* link) QV_NOEXCEPT;
/* Sends a message to the peer (codes and arguments not negative); 1 when
 * sent. */
int RVPutMessage(QVLink* link, long code) QV_NOEXCEPT;
int RVPutMessageWithArg(QVLink* link, long code, long argument) QV_NOEXCEPT;
/* 1 with the next message's code and argument; 0 when none is there; -1
 * with what came with a device error. */
int RVGetMessage(QVLink* link, int* code, int* argument) QV_NOEXCEPT;
/* 1 when a message is waiting. */
int RVMessageReady(QVLink* link) QV_NOEXCEPT;

/* ---- Environment and link queries -------------------------------------- */

long RVNumericsQuery(RVEnvironment* environment, unsigned long selector, void* first, void* second,
                     long* count) QV_NOEXCEPT;
void RVVersionNumbers(RVEnvironment* environment, int* interfaceNumber, int* revision, int* build) QV_NOEXCEPT;

/* The compiler text, given back with the matching release. */
int RVCompilerID(RVEnvironment* environment, const char** text) QV_NOEXCEPT;
void RVReleaseCompilerID(RVEnvironment* environment, const char* text) QV_NOEXCEPT;
int RVUTF8CompilerID(RVEnvironment* environment, const unsigned char** text, int* length) QV_NOEXCEPT;
int RVUCS2CompilerID(RVEnvironment* environment, const unsigned short** text, int* length) QV_NOEXCEPT;
int RVUTF16CompilerID(RVEnvironment* environment, const unsigned short** text, int* length) QV_NOEXCEPT;
int RVUTF32CompilerID(RVEnvironment* environment, const unsigned int** text, int* length) QV_NOEXCEPT;
void RVReleaseUTF8CompilerID(RVEnvironment* environment, const unsigned char* text) QV_NOEXCEPT;
void RVReleaseUCS2CompilerID(RVEnvironment* environment, const unsigned short* text) QV_NOEXCEPT;
void RVReleaseUTF16CompilerID(RVEnvironment* environment, const unsigned short* text) QV_NOEXCEPT;
void RVReleaseUTF32CompilerID(RVEnvironment* environment, const unsigned int* text) QV_NOEXCEPT;

/* The identification this environment sends in the handshake; 0 for a null
 * argument or a text too long to keep. */
int RVSetEnvIDString(RVEnvironment* environment, const char* text) QV_NOEXCEPT;

/* The host's addresses and domain names, *count of them, given back with the
 * matching release. */
char** RVGetNetworkAddressList(RVEnvironment* environment, unsigned long* count) QV_NOEXCEPT;
char** RVGetDomainNameList(RVEnvironment* environment, unsigned long* count) QV_NOEXCEPT;
void RVReleaseNetworkAddressList(RVEnvironment* environment, char** list, unsigned long count) QV_NOEXCEPT;
void RVReleaseDomainNameList(RVEnvironment* environment, char** list, unsigned long count) QV_NOEXCEPT;

/* The protocols a link can be opened with; 0 on success, -1 for a null
 * argument, 8 for no memory. */
int RVGetAvailableLinkProtocolNames(RVEnvironment* environment, char*** names, int* count) QV_NOEXCEPT;
void RVReleaseLinkProtocolNames(RVEnvironment* environment, char** names, int count) QV_NOEXCEPT;

/* The environment's live links in increasing number, in a block given back
 * with RVReleaseLinksFromEnvironment (null and 0 when there are none); 1 on
 * success. Safe while other threads open and close links: a listed link may
 * be closed before the caller looks at it. */
int RVGetLinksFromEnvironment(RVEnvironment* environment, QVLink*** links, int* count) QV_NOEXCEPT;
void RVReleaseLinksFromEnvironment(RVEnvironment* environment, QVLink** links) QV_NOEXCEPT;

/* Asks the link's device: selector, with *size the room in buffer. */
int RVDeviceInformation(QVLink* link, unsigned long selector, void* buffer, long* size) QV_NOEXCEPT;
/* 1 with a new text naming the link's device, given back with
 * RVReleaseLowLevelDeviceName. */
int RVLowLevelDeviceName(QVLink* link, char** name) QV_NOEXCEPT;
void RVReleaseLowLevelDeviceName(QVLink* link, char* name) QV_NOEXCEPT;

/* ---- Logging ----------------------------------------------------------- *
 * A link's traffic in both directions as expression text in files. Every
 * call but the file-name pair answers 0, touching nothing, for a null link
 * or one still waiting for its connection; else 1 unless stated.
 */

/* Starts the link's log if it is not running and adds the file (appended
 * to; a path given twice is one file). 0 when the log cannot start or the
 * file cannot be opened. */
int RVLogStreamToFile(QVLink* link, const char* path) QV_NOEXCEPT;
/* No more text reaches that file. */
int RVStopLoggingStreamToFile(QVLink* link, const char* path) QV_NOEXCEPT;
/* Starts the log if it is not running and switches its output on; 0 when it
 * cannot start. */
int RVEnableLoggingStream(QVLink* link) QV_NOEXCEPT;
/* Silences a running log; it keeps reading, and its files stay open. */
int RVDisableLoggingStream(QVLink* link) QV_NOEXCEPT;
/* Stops the log, joining its thread, and closes its files. */
int RVStopLoggingStream(QVLink* link) QV_NOEXCEPT;
/* A new text: $TMPDIR (or /tmp), "qv", the device name with "/" and blanks
 * as "_", "-listener" or "-connector", ".log". Given back with
 * RVReleaseLogFileNameForLink. 0 for a null link or name, or when the
 * device has no name. */
int RVLogFileNameForLink(QVLink* link, char** name) QV_NOEXCEPT;
void RVReleaseLogFileNameForLink(QVLink* link, char* name) QV_NOEXCEPT;

/* ---- Link servers -------------------------------------------------------- *
 * A server listens on one TCP port and turns each pair of identified
 * "TCPIP" connections (data and message, one id) into a listening link.
 * Links are handed out one at a time by RVWaitForNewLinkFromLinkServer or
 * all at once to a callback on the server's delivery thread; they belong to
 * whoever receives them. Error codes: 0 success; 8 out of memory; 40 the
 * port is in use; 58 a null or wrong argument; -1 anything else.
 */
#ifdef __cplusplus
}
namespace Quorvane {
class RVLinkServer;
}
typedef Quorvane::RVLinkServer RVLinkServer;
extern "C" {
#else
typedef struct RVLinkServer RVLinkServer;
#endif

/* Receives each new link on the server's delivery thread, which holds the
 * server's list lock meanwhile: it may not call the server back. A callback
 * that throws has not taken the link: the server closes it. */
typedef void (*RVLinkServerCallback)(RVLinkServer* server, QVLink* link);

/* On the machine's preferred interface, a port the system picks. */
RVLinkServer* RVNewLinkServer(RVEnvironment* environment, void* context, int* error) QV_NOEXCEPT;
RVLinkServer* RVNewLinkServerWithPort(RVEnvironment* environment, unsigned short port, void* context,
                                      int* error) QV_NOEXCEPT;
/* An empty interface text listens on every IPv4 address. */
RVLinkServer* RVNewLinkServerWithPortAndInterface(RVEnvironment* environment, unsigned short port,
                                                  const char* interfaceText, void* context, int* error) QV_NOEXCEPT;
/* Stops both threads (a caller waiting for a link gets null and -1), then
 * closes the links nobody took. */
void RVShutdownLinkServer(RVLinkServer* server) QV_NOEXCEPT;
/* Links already waiting go to the new callback at once. */
void RVRegisterCallbackFunctionWithLinkServer(RVLinkServer* server, RVLinkServerCallback callback) QV_NOEXCEPT;
/* The oldest link nobody took, waiting for one. */
QVLink* RVWaitForNewLinkFromLinkServer(RVLinkServer* server, int* error) QV_NOEXCEPT;
/* The port listened on, 0 on failure. */
unsigned short RVPortFromLinkServer(RVLinkServer* server, int* error) QV_NOEXCEPT;
/* The listening address's host name, or its numeric text; given back with
 * RVReleaseInterfaceFromLinkServer. */
char* RVInterfaceFromLinkServer(RVLinkServer* server, int* error) QV_NOEXCEPT;
void RVReleaseInterfaceFromLinkServer(RVLinkServer* server, char* text) QV_NOEXCEPT;
/* The context given when the server was made. */
void* RVContextFromLinkServer(RVLinkServer* server, int* error) QV_NOEXCEPT;

/* ---- Link services ------------------------------------------------------- *
 * Listening links advertised as DNS-SD services of type "_<type>._tcp",
 * browsed for and resolved into link names. Callbacks run on the service
 * thread; they may not start or stop requests. Codes: 0 success; 8 out of
 * memory; 57 no DNS-SD service on this machine; 58 a null or wrong
 * argument; 59 bad host name; 60 bad domain; 61 bad service name; 62 bad
 * state; 64 name collision; 65 not connected; -1 anything else.
 */

/* A request's handle, valid until its stop call. */
typedef void* RVServiceRef;

/* event: 1 found, 2 gone, 3 error; 17 and 18 found and gone with more to
 * come. */
typedef void (*RVBrowseCallback)(RVEnvironment* environment, RVServiceRef reference, int event,
                                 const char* serviceName, void* context);
/* linkName is port@host unless the advertiser gave its own. */
typedef void (*RVResolveCallback)(RVEnvironment* environment, RVServiceRef reference, const char* serviceName,
                                  const char* linkName, const char* protocol, int options, void* context);
/* event: 1 registered (with the name registered), 2 being stopped, 3 refused
 * by the platform after the call returned (a name conflict). */
typedef void (*RVRegisterCallback)(RVEnvironment* environment, RVServiceRef reference, int event,
                                   const char* serviceName, void* context);

int RVBrowseForLinkServices(RVEnvironment* environment, RVBrowseCallback callback, const char* serviceType,
                            const char* domain, void* context, RVServiceRef* reference) QV_NOEXCEPT;
void RVStopBrowsingForLinkServices(RVEnvironment* environment, RVServiceRef reference) QV_NOEXCEPT;
int RVResolveLinkService(RVEnvironment* environment, RVResolveCallback callback, const char* serviceType,
                         const char* serviceName, void* context, RVServiceRef* reference) QV_NOEXCEPT;
void RVStopResolvingLinkService(RVEnvironment* environment, RVServiceRef reference) QV_NOEXCEPT;

/* The registering calls open a "TCPIP" listener, advertise it and return
 * it; the advertisement is withdrawn once a peer connects or the link
 * closes. Null, with *error set, on failure; no listener stays open. */
QVLink* RVRegisterLinkServiceWithPortAndHostname(RVEnvironment* environment, const char* serviceType,
                                                 const char* serviceName, unsigned short port, const char* hostname,
                                                 RVRegisterCallback callback, const char* domain, void* context,
                                                 RVServiceRef* reference, int* error) QV_NOEXCEPT;
QVLink* RVRegisterLinkServiceWithHostname(RVEnvironment* environment, const char* serviceType,
                                          const char* serviceName, const char* hostname, RVRegisterCallback callback,
                                          const char* domain, void* context, RVServiceRef* reference,
                                          int* error) QV_NOEXCEPT;
QVLink* RVRegisterLinkService(RVEnvironment* environment, const char* serviceType, const char* serviceName,
                              RVRegisterCallback callback, const char* domain, void* context,
                              RVServiceRef* reference, int* error) QV_NOEXCEPT;
/* A listener of the protocol; a null or empty interface text advertises none. */
QVLink* QVRegisterLinkServiceUsingLinkProtocol(RVEnvironment* environment, const char* serviceType,
                                               const char* serviceName, unsigned short port,
                                               const char* interfaceText, const char* protocol,
                                               RVRegisterCallback callback, const char* domain, void* context,
                                               RVServiceRef* reference, int* error) QV_NOEXCEPT;
/* Advertises a link server's port; opens nothing. */
void RVRegisterLinkServiceFromLinkServer(RVEnvironment* environment, const char* serviceType,
                                         const char* serviceName, RVLinkServer* server,
                                         RVRegisterCallback callback, const char* domain, void* context,
                                         RVServiceRef* reference, int* error) QV_NOEXCEPT;
/* Calls the registration's callback with event 2, then withdraws it. */
void RVStopRegisteringLinkService(RVEnvironment* environment, RVServiceRef reference) QV_NOEXCEPT;
/* The same, then forgets the link's registration. */
void RVStopRegisteringLinkServiceForLink(RVEnvironment* environment, QVLink* link,
                                         RVServiceRef reference) QV_NOEXCEPT;
/* "_<type>._tcp" of the request, owned by it; null when unknown. */
const char* RVServiceProtocolFromReference(RVEnvironment* environment, RVServiceRef reference) QV_NOEXCEPT;

#ifdef __cplusplus
}
#endif

QV_EXPORT_END

#endif /* QUORVANE_H */
