// Records of the Pipes device shared by its parts: the environment of one
// world, one record per link end, and the instance the link holds.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "api/qvyield.h"
#include "device/qvchild.h"
#include "device/qvpipesframing.h"
#include "device/qvstreamspin.h"

namespace Quorvane::pipes {

struct Environment {
  qv_allocator_fn allocator;
  qv_deallocator_fn deallocator;
  _qvchild* children;
  uint64_t number;
};

struct World {
  Environment* environment;
  qv_allocator_fn allocator;
  qv_deallocator_fn deallocator;
};

struct Record {
  int readFd, writeFd, msgReadFd, msgWriteFd;
  char* name;
  pid_t parentPid;  // set on the parent-connect side, else 0
  pid_t childPid;   // set on the launching side, else 0
  qv_yield_function yielder;
  void* yieldCookie;
  qv_message_handler handler;
  void* handlerCookie;
  int32_t syncState;  // 0 not yet, -1 "Y" sent and the peer's awaited, 1 done
  void* userData;
  int32_t launched;
  Environment* environment;
  bool forceYield;
  bool noShell;
  int8_t writesToPipe;  // 0 not yet known, 1 the write descriptor is a pipe, -1 it is not
};

struct WindowNode {
  char* buffer;
  WindowNode* next;
  int64_t placed;      // bytes the writer put in
  int64_t sentBefore;  // bytes of the stream sent before this window
};

enum State : int32_t { kNew = 0, kConnected = 1, kPeerClosed = 2, kFailed = 4 };

struct Instance {
  Record* record;
  World* world;
  Scanner scanner;
  Role own;
  Role peer;
  WindowNode nodes[3];
  WindowNode* current;
  WindowNode* oldestUnacknowledged;
  bool firstWindow;
  bool endOfFileSeen;
  int32_t state;
  unsigned long mode;
  QVStreamSpin readSpin;
  // Where a connect stopped by the yield function goes on.
  bool wordSaid;
  RoleWordReader peerWord;
};

// Link error numbers of the device.
inline constexpr long kConnectionLost = 1;
inline constexpr long kNoMemory = 8;
inline constexpr long kPeerClosedLink = 11;
inline constexpr long kUnacknowledged = 15;
inline constexpr long kMessageWriteFailed = 17;
inline constexpr long kNoMessage = 18;
inline constexpr long kChildDidNotStart = 19;
inline constexpr long kYieldStopped = 25;
inline constexpr long kUnreadData = 26;
inline constexpr long kBadWorldArguments = 32;
inline constexpr long kProtocolUnavailable = 34;
inline constexpr long kModeUnavailable = 35;
inline constexpr long kNameMissing = 42;
inline constexpr long kNotFound = 46;
inline constexpr long kNotExecutable = 50;

// Environment life (process-wide tables, signal snapshots).
Environment* pipe_init(qv_allocator_fn allocator, qv_deallocator_fn deallocator) noexcept;
void pipe_deinit(Environment* environment) noexcept;
// Enters a launched record in its environment's list: false when it cannot.
bool AddLaunched(Record* record) noexcept;
void RemoveLaunched(Record* record) noexcept;
// Publishes the handlers of launched devices again after one changed.
void HandlersChanged() noexcept;
// The slot of the device that takes its messages as signals.
bool ClaimSignaledSlot(Record* record) noexcept;
bool IsSignaledDevice(const Record* record) noexcept;
void ReleaseSignaledSlot(const Record* record) noexcept;
void SetSignaledHandler(qv_message_handler handler, void* cookie) noexcept;
void SignaledHandler(qv_message_handler* handler, void** cookie) noexcept;
// The message stored by a signal: false when none.
bool TakeSignaledMessage(uint64_t* code, uint64_t* argument, bool clear) noexcept;
// Reaps the environment's finished children now (thread context).
void ReapChildren(Environment* environment) noexcept;

// Records.
Record* pipe_make(World* world, const char* protocol, unsigned long mode, const char* name, unsigned long options,
                  long* error) noexcept;
void pipe_destroy(Record* record) noexcept;
// The launch itself: pipes, fork and exec, and the child's first moments.
long Launch(Record* record, const Descriptors& descriptors, const char* commandLine) noexcept;

// Writes that a reader's death cannot turn into a fatal SIGPIPE.
long GuardedWrite(Record* record, const void* bytes, long length, QVYieldParams* yieldData) noexcept;
long GuardedWritePieces(Record* record, iovec* pieces, int count, QVYieldParams* yieldData) noexcept;
int GuardedWriteMessage(int fd, uint64_t code, uint64_t argument) noexcept;

// The stream.
long Connect(Instance* instance) noexcept;
long ConnectReady(Instance* instance, long* ready) noexcept;
long WriteWindow(Instance* instance, char** start, long* size) noexcept;
long Read(Instance* instance, char** start, long* size) noexcept;
long ReadComplete(Instance* instance) noexcept;
// The count the writer placed in the window it was handed.
void SetPlaced(Instance* instance, const char* start, long count) noexcept;
void Close(Instance* instance) noexcept;

}  // namespace Quorvane::pipes
