// Records of the TCP device shared by its parts: the world state, one record
// per link end, and the instance the link holds.
#pragma once

#include <cstdint>

#include "api/qvyield.h"
#include "device/qvdeviceinstance.h"
#include "device/qvpipesframing.h"
#include "device/qvpipesrecord.h"
#include "device/qvstreamspin.h"
#include "utilities/qvsignalhandlermanager.h"

namespace Quorvane::tcp {

inline constexpr long kHostTextSize = 101;
inline constexpr long kNameSize = 200;
inline constexpr long kParseBufferSize = 133;
// Windows are smaller than the Pipes device's: half of 1944 goes to the writer.
inline constexpr long kWindowCapacity = 1944;
inline constexpr long kWindowData = kWindowCapacity / 2;
inline constexpr long kWindowBuffer = 1946;

struct socket_globals {
  char host[kHostTextSize];
  uint64_t address;  // host byte order; 0 when none was found
  qv_allocator_fn allocator;
  qv_deallocator_fn deallocator;
  int64_t initialised;
};

struct World {
  socket_globals* globals;
  qv_allocator_fn allocator;
  qv_deallocator_fn deallocator;
};

struct socket_device {
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
  socket_globals* globals;
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
  socket_device* record;
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
socket_globals* socket_init(qv_allocator_fn allocator, qv_deallocator_fn deallocator) noexcept;
void socket_deinit(socket_globals* globals) noexcept;
// Works out the host text and address once.
void lazy_init(socket_globals* globals) noexcept;
// Host lookups by the reentrant resolver calls. The first IPv4 address of a
// name (host byte order), false when it has none.
bool LookUpName(const char* name, uint64_t* address, char* official, long officialSize) noexcept;
// The peer's name, cut to the field, and whether one of the name's addresses
// is the given one; false when the reverse lookup fails.
bool LookUpAddress(uint64_t address, char* name, long nameSize, uint64_t compared, bool* matched) noexcept;

// Records.
socket_device* socket_make(World* world, const char* protocol, unsigned long mode, const char* name,
                           const char* location, unsigned long options, long* error) noexcept;
void socket_destroy(socket_device* record) noexcept;
// An IPv4 stream socket with SO_REUSEADDR and close-on-exec, bound to any
// address at the port (0: the system's choice), its port read back into
// *localPort; -1, with errno or -1 in *error, when a step fails.
int new_device(uint16_t port, uint16_t* localPort, int* error) noexcept;
// One of the kStep outcomes.
long socket_connect(socket_device* record) noexcept;
// After a yield stop: the half-made connections go, a listening record gets
// its listening socket back, and the next connect starts afresh (state 0).
void Restart(socket_device* record) noexcept;
// The connection stands (or failed for good): the kept listening socket goes.
void Settle(socket_device* record) noexcept;
// Closes the data and message connections and takes them out of the
// message registry.
void DropConnections(socket_device* record) noexcept;

// Descriptor transfer with the record's yield function: as unix_read and
// unix_write, -2 without a connection or an attempt under way (read) or
// before it (write).
long socket_read(socket_device* record, void* buffer, long length) noexcept;
long socket_write(socket_device* record, const void* bytes, long length) noexcept;
long RecordWritePieces(socket_device* record, iovec* pieces, int count) noexcept;

// Messages: 0, 1 without a connection or an attempt under way, 17 when the
// message cannot go.
long socket_writemsg(socket_device* record, uint64_t code, uint64_t argument) noexcept;
// -2 without a connection; 0 none; 1 one was read.
int socket_readmsg(socket_device* record, uint64_t* code, uint64_t* argument) noexcept;
// Whether a message waits (1, 0, or -1 when the wait failed, -2 without a
// connection) in *waiting; 1 when the wait failed or there is no connection.
long socket_hasmsg(socket_device* record, long* waiting) noexcept;
// The handler and its cookie; a connected device is entered in the message
// registry (taken out for a null handler).
void socket_setmsghandler(socket_device* record, qv_message_handler handler, void* cookie) noexcept;
long socket_getmsghandler(socket_device* record, qv_message_handler* handler, void** cookie) noexcept;
// Takes the device out of the message registry and clears its handler.
void socket_rmvmsghandler(socket_device* record) noexcept;
long socket_setyieldfunction(socket_device* record, qv_yield_function function, void* cookie) noexcept;
long socket_getyieldfunction(socket_device* record, qv_yield_function* function, void** cookie) noexcept;
bool Unconnected(const socket_device* record) noexcept;

// The world's answers about itself (selectors 4 to 9; those that need the
// world state fail without it), about a device (26 to 35, 41, 42) and about
// a device's world (36 to 40): buffer and length as the selector's a1 and a2.
long socket_get_signal_handlers(QVSignalHandlerList** list) noexcept;
void socket_release_signal_handlers(QVSignalHandlerList* list) noexcept;
long socket_world_protocol(const socket_globals* globals, char* buffer, long* length) noexcept;
long socket_world_modes(long* modes) noexcept;
long socket_world_streamcapacity(const socket_globals* globals, long* capacity, long* width) noexcept;
long socket_world_id(const socket_globals* globals, char* buffer, long* length) noexcept;
long socket_devinfo(socket_device* record, qvdeviceselector selector, void* buffer, void* length) noexcept;
long socket_worldinfo(socket_globals* globals, qvdeviceselector selector, void* buffer, void* length) noexcept;

// The stream.
long Connect(Instance* instance) noexcept;
long ConnectReady(Instance* instance, long* ready) noexcept;
long WriteWindow(Instance* instance, char** start, long* size) noexcept;
void SetPlaced(Instance* instance, const char* start, long count) noexcept;
long Read(Instance* instance, char** start, long* size) noexcept;
long ReadComplete(Instance* instance) noexcept;
void Close(Instance* instance) noexcept;

}  // namespace Quorvane::tcp
