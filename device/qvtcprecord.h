// Records of the TCP device shared by its parts: the world state, one record
// per link end, and the instance the link holds.
#pragma once

#include <cstdint>

#include "api/qvyield.h"
#include "device/qvpipesframing.h"
#include "device/qvpipesrecord.h"
#include "device/qvstreamspin.h"

namespace Quorvane::tcp {

inline constexpr long kHostTextSize = 101;
inline constexpr long kNameSize = 200;
inline constexpr long kParseBufferSize = 133;
// Windows are smaller than the Pipes device's: half of 1944 goes to the writer.
inline constexpr long kWindowCapacity = 1944;
inline constexpr long kWindowData = kWindowCapacity / 2;
inline constexpr long kWindowBuffer = 1946;

struct Globals {
  char host[kHostTextSize];
  uint64_t address;  // host byte order; 0 when none was found
  qv_allocator_fn allocator;
  qv_deallocator_fn deallocator;
  int64_t initialised;
};

struct World {
  Globals* globals;
  qv_allocator_fn allocator;
  qv_deallocator_fn deallocator;
};

struct Record {
  int dataFd;
  int msgFd;
  char name[kNameSize];
  int32_t connecting;
  int32_t state;  // 0 not connected, 1 connected, -1 attempt under way or failed
  uint16_t localPort;
  uint16_t peerPort;
  uint64_t peerAddress;
  char peerHost[kHostTextSize];
  qv_yield_function yielder;
  void* yieldCookie;
  qv_message_handler handler;
  void* handlerCookie;
  Globals* globals;
  int32_t acceptAnyHost;
  int32_t listening;
  // The listening socket while an accepted connection is being set up, so
  // that an attempt stopped by the yield function can wait again; else -1.
  int listenFd;
  bool forceYield;
  void* userData;
};

using pipes::Role;
using pipes::Scanner;
using pipes::WindowNode;

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
  bool endOfStream;  // the connection ended with nothing left to read
  int32_t state;     // pipes::State
  QVStreamSpin readSpin;
};

// Link error numbers of the device.
inline constexpr long kConnectionLost = 1;
inline constexpr long kNoMemory = 8;
inline constexpr long kRefused = 9;
inline constexpr long kPeerClosedLink = 11;
inline constexpr long kUnacknowledged = 15;
inline constexpr long kMessageWriteFailed = 17;
inline constexpr long kNoMessage = 18;
inline constexpr long kYieldStopped = 25;
inline constexpr long kUnreadData = 26;
inline constexpr long kBadWorldArguments = 32;
inline constexpr long kProtocolUnavailable = 34;
inline constexpr long kModeUnavailable = 35;
inline constexpr long kNameInUse = 40;
inline constexpr long kNameMalformed = 42;
inline constexpr long kUnreachable = 43;

// Outcomes of the record's connect step.
inline constexpr long kStepConnected = 1;
inline constexpr long kStepFailed = 0;
inline constexpr long kStepStopped = -2;
inline constexpr long kStepUnreachable = -4;
inline constexpr long kStepRefused = -5;

// A yield-data record reset with a value and a sleep value, freed at scope end.
class YieldData {
 public:
  YieldData(int64_t value, long sleep) {
    QVNewYieldData(&record_);
    QVResetYieldData(&record_, value);
    QVSetSleepYP(&record_, sleep);
  }
  ~YieldData() { QVFreeYieldData(&record_); }
  YieldData(const YieldData&) = delete;
  YieldData& operator=(const YieldData&) = delete;
  QVYieldParams* get() { return &record_; }

 private:
  QVYieldParams record_{};
};

// World state.
Globals* InitGlobals(qv_allocator_fn allocator, qv_deallocator_fn deallocator) noexcept;
// Works out the host text and address once.
void LazyInit(Globals* globals) noexcept;
// Host lookups by the reentrant resolver calls. The first IPv4 address of a
// name (host byte order), false when it has none.
bool LookUpName(const char* name, uint64_t* address, char* official, long officialSize) noexcept;
// The peer's name, cut to the field, and whether one of the name's addresses
// is the given one; false when the reverse lookup fails.
bool LookUpAddress(uint64_t address, char* name, long nameSize, uint64_t compared, bool* matched) noexcept;

// Records.
Record* MakeRecord(World* world, const char* protocol, unsigned long mode, const char* name, const char* location,
                   unsigned long options, long* error) noexcept;
void DestroyRecord(Record* record) noexcept;
// One of the kStep outcomes.
long ConnectRecord(Record* record) noexcept;
// After a yield stop: the half-made connections go, a listening record gets
// its listening socket back, and the next connect starts afresh (state 0).
void Restart(Record* record) noexcept;
// The connection stands (or failed for good): the kept listening socket goes.
void Settle(Record* record) noexcept;
// Closes the data and message connections and takes them out of the
// message registry.
void DropConnections(Record* record) noexcept;

// Descriptor transfer with the record's yield function: as unix_read and
// unix_write, -2 without a connection or an attempt under way (read) or
// before it (write).
long RecordRead(Record* record, void* buffer, long length) noexcept;
long RecordWrite(Record* record, const void* bytes, long length) noexcept;
long RecordWritePieces(Record* record, iovec* pieces, int count) noexcept;

// Messages.
long WriteMessage(Record* record, uint64_t code, uint64_t argument) noexcept;
// -2 without a connection; 0 none; 1 one was read.
int ReadMessageOf(Record* record, uint64_t* code, uint64_t* argument) noexcept;
void SetMessageHandler(Record* record, qv_message_handler handler, void* cookie) noexcept;
bool Unconnected(const Record* record) noexcept;

// The stream.
long Connect(Instance* instance) noexcept;
long ConnectReady(Instance* instance, long* ready) noexcept;
long WriteWindow(Instance* instance, char** start, long* size) noexcept;
void SetPlaced(Instance* instance, const char* start, long count) noexcept;
long Read(Instance* instance, char** start, long* size) noexcept;
long ReadComplete(Instance* instance) noexcept;
void Close(Instance* instance) noexcept;

}  // namespace Quorvane::tcp
