// The TCP world's interface function: one selector, one answer.
#include <cstring>

#include "device/qvdeviceparameters.h"
#include "device/qvproceduralanswers.h"
#include "device/qvtcp.h"
#include "device/qvtcprecord.h"
#include "utilities/qvsignalhandlermanager.h"

namespace Quorvane::tcp {

namespace {

using procedural::Word;

long InitWorld(void* object, void* a1, void* a2) {
  auto allocator = reinterpret_cast<qv_allocator_fn>(a1);
  auto deallocator = reinterpret_cast<qv_deallocator_fn>(a2);
  if (allocator == nullptr || deallocator == nullptr) return kBadWorldArguments;
  auto* world = static_cast<World*>(allocator(sizeof(World)));
  if (world == nullptr) return kNoMemory;
  *world = World{socket_init(allocator, deallocator), allocator, deallocator};
  if (world->globals == nullptr) {
    deallocator(world);
    return kBadWorldArguments;
  }
  *static_cast<void**>(object) = world;
  return 0;
}

long DeinitWorld(World* world) {
  socket_deinit(world->globals);
  world->deallocator(world);
  return 0;
}

long MakeInstance(World* world, void** made, const char* block) {
  if (world->globals == nullptr) return kBadWorldArguments;
  if (!QVDeviceParameters::WellFormedBlock(block)) return kNameMalformed;
  unsigned long mode = 0;
  long error = 0;
  socket_device* record = nullptr;
  try {
    QVDeviceParameters parameters(block);
    mode = parameters.Mode;
    record = socket_make(world, parameters.Protocol.c_str(), parameters.Mode, parameters.Name.c_str(),
                        parameters.Location.c_str(), parameters.Options, &error);
  } catch (...) {
    return kNoMemory;
  }
  if (record == nullptr) return error;
  auto* instance = static_cast<Instance*>(world->allocator(sizeof(Instance)));
  if (instance == nullptr) {
    socket_destroy(record);
    return kNoMemory;
  }
  std::memset(static_cast<void*>(instance), 0, sizeof(Instance));
  instance->record = record;
  instance->world = world;
  for (int i = 0; i < 3; ++i) {
    instance->nodes[i].next = &instance->nodes[(i + 1) % 3];
    instance->nodes[i].buffer = static_cast<char*>(world->allocator(kWindowBuffer));
    if (instance->nodes[i].buffer == nullptr) {
      Close(instance);
      return kNoMemory;
    }
    std::memset(instance->nodes[i].buffer, 0, kWindowBuffer);
  }
  instance->own = pipes::RoleOfMode(mode);
  instance->peer = pipes::RoleOfMode(0);
  instance->current = instance->oldestUnacknowledged = &instance->nodes[0];
  instance->firstWindow = true;
  instance->state = pipes::kNew;
  instance->scanner.peerUpper = instance->peer.upper;
  instance->scanner.ownLower = instance->own.lower;
  *made = instance;
  return 0;
}

long WorldSelector(World* world, qvdeviceselector selector, void* a1, void* a2) {
  switch (selector) {
    case QVDEVICE_WORLD_DEINIT: return DeinitWorld(world);
    case QVDEVICE_WORLD_MAKE:
      if (a1 == nullptr || a2 == nullptr) return -1;
      return MakeInstance(world, static_cast<void**>(a1), static_cast<const char*>(a2));
    case QVDEVICE_WORLD_GET_SIGNAL_HANDLERS: return socket_get_signal_handlers(static_cast<QVSignalHandlerList**>(a1));
    case QVDEVICE_WORLD_RELEASE_SIGNAL_HANDLERS:
      socket_release_signal_handlers(static_cast<QVSignalHandlerList*>(a1));
      return 0;
    case QVDEVICE_WORLD_PROTOCOL_NAME: return socket_world_protocol(world->globals, static_cast<char*>(a1), Word(a2));
    case QVDEVICE_WORLD_MODES: return socket_world_modes(Word(a1));
    case QVDEVICE_WORLD_STREAM_CAPACITY: return socket_world_streamcapacity(world->globals, Word(a1), Word(a2));
    case QVDEVICE_WORLD_ID: return socket_world_id(world->globals, static_cast<char*>(a1), Word(a2));
    default: return -1;
  }
}

long DeviceSelector(Instance* instance, qvdeviceselector selector, void* a1, void* a2) {
  socket_device* record = instance->record;
  switch (selector) {
    case QVDEVICE_CONNECT_READY:
    case QVDEVICE_HAS_DATA:
      if (a2 == nullptr) return -1;
      return ConnectReady(instance, Word(a2));
    case QVDEVICE_CONNECT: return Connect(instance);
    case QVDEVICE_WRITE:
      if (a1 == nullptr || a2 == nullptr) return -1;
      SetPlaced(instance, *static_cast<char**>(a1), *Word(a2));
      return WriteWindow(instance, static_cast<char**>(a1), Word(a2));
    case QVDEVICE_WRITE_WINDOW:
      if (a1 == nullptr || a2 == nullptr) return -1;
      return WriteWindow(instance, static_cast<char**>(a1), Word(a2));
    case QVDEVICE_READ:
      if (a1 == nullptr || a2 == nullptr) return -1;
      return Read(instance, static_cast<char**>(a1), Word(a2));
    case QVDEVICE_READ_COMPLETE: return ReadComplete(instance);
    case QVDEVICE_ACKNOWLEDGE: return instance->current == instance->oldestUnacknowledged ? 0 : kUnacknowledged;
    case QVDEVICE_CLOSE: Close(instance); return 0;
    case QVDEVICE_SET_YIELD_FUNCTION:
      return socket_setyieldfunction(record, reinterpret_cast<qv_yield_function>(a1), a2);
    case QVDEVICE_GET_YIELD_FUNCTION:
      return socket_getyieldfunction(record, static_cast<qv_yield_function*>(a1), static_cast<void**>(a2));
    case QVDEVICE_SET_MESSAGE_HANDLER:
      socket_setmsghandler(record, reinterpret_cast<qv_message_handler>(a1), a2);
      return 0;
    case QVDEVICE_GET_MESSAGE_HANDLER:
      return socket_getmsghandler(record, static_cast<qv_message_handler*>(a1), static_cast<void**>(a2));
    case QVDEVICE_WRITE_MESSAGE:
      if (a1 == nullptr || a2 == nullptr) return -1;
      return socket_writemsg(record, static_cast<uint64_t>(*Word(a1)), static_cast<uint64_t>(*Word(a2)));
    case QVDEVICE_HAS_MESSAGE:
      if (a1 == nullptr && a2 == nullptr) return -1;
      return socket_hasmsg(record, Word(a2 != nullptr ? a2 : a1));
    case QVDEVICE_READ_MESSAGE: {
      if (a1 == nullptr || a2 == nullptr) return -1;
      uint64_t code = 0;
      uint64_t argument = 0;
      const int read = socket_readmsg(record, &code, &argument);
      *Word(a1) = static_cast<long>(code);
      *Word(a2) = static_cast<long>(argument);
      return read == -2 ? kConnectionLost : (read == 1 ? 0 : kNoMessage);
    }
    case QVDEVICE_TYPE:
    case QVDEVICE_NAME:
    case QVDEVICE_NAME_SIZE:
    case QVDEVICE_FILE_DESCRIPTOR:
    case QVDEVICE_SPECIFIC_34:
    case QVDEVICE_SPECIFIC_35:
    case QVDEVICE_MODE:
    case QVDEVICE_OPTIONS: return socket_devinfo(record, selector, a1, a2);
    case QVDEVICE_MODES:
    case QVDEVICE_PROTOCOL_NAME:
    case QVDEVICE_STREAM_CAPACITY:
    case QVDEVICE_WORLD_IDENTITY:
    case QVDEVICE_SPECIFIC_40: return socket_worldinfo(record->globals, selector, a1, a2);
    default: return -1;
  }
}

}  // namespace

}  // namespace Quorvane::tcp

long socket_main(void* object, Quorvane::qvdeviceselector selector, void* a1, void* a2) noexcept {
  using namespace Quorvane;
  using namespace Quorvane::tcp;
  if (object == nullptr) return -1;
  try {
    if (selector == QVDEVICE_WORLD_INIT) return InitWorld(object, a1, a2);
    if (selector == QVDEVICE_WORLD_MAKE_WITH_PARAMETERS) return -1;
    if (selector < QVDEVICE_CONNECT_READY) return WorldSelector(static_cast<World*>(object), selector, a1, a2);
    return DeviceSelector(static_cast<Instance*>(object), selector, a1, a2);
  } catch (...) {
    return -1;
  }
}
