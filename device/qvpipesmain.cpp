// The Pipes world's interface function: one selector, one answer.
#include <cstring>

#include "device/qvdeviceparameters.h"
#include "device/qvproceduralanswers.h"
#include "device/qvpipes.h"
#include "device/qvpipesrecord.h"
#include "utilities/qvsignalhandlermanager.h"

namespace Quorvane::pipes {

namespace {

constexpr long kLaunchMode = 8;
constexpr long kParentConnectMode = 16;

using procedural::Word;

long InitWorld(void* object, void* a1, void* a2) {
  auto allocator = reinterpret_cast<qv_allocator_fn>(a1);
  auto deallocator = reinterpret_cast<qv_deallocator_fn>(a2);
  if (allocator == nullptr || deallocator == nullptr) return kBadWorldArguments;
  auto* world = static_cast<World*>(allocator(sizeof(World)));
  if (world == nullptr) return kNoMemory;
  *world = World{pipe_init(allocator, deallocator), allocator, deallocator};
  if (world->environment == nullptr) {
    deallocator(world);
    return kBadWorldArguments;
  }
  *static_cast<void**>(object) = world;
  return 0;
}

long DeinitWorld(World* world) {
  pipe_deinit(world->environment);
  world->deallocator(world);
  return 0;
}

long MakeInstance(World* world, void** made, const char* block) {
  if (world->environment == nullptr) return kBadWorldArguments;
  if (!QVDeviceParameters::WellFormedBlock(block)) return kNameMissing;
  unsigned long mode = 0;
  long error = 0;
  Record* record = nullptr;
  try {
    QVDeviceParameters parameters(block);
    mode = parameters.Mode;
    record = pipe_make(world, parameters.Protocol.c_str(), parameters.Mode, parameters.Name.c_str(),
                       parameters.Options, &error);
  } catch (...) {
    return kNoMemory;
  }
  if (record == nullptr) return error;
  auto* instance = static_cast<Instance*>(world->allocator(sizeof(Instance)));
  if (instance == nullptr) {
    pipe_destroy(record);
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
  // The role follows the mode the record was made in.
  const unsigned long effective = record->launched != 0 ? kLaunchMode : (mode == 0 ? kParentConnectMode : mode);
  instance->own = RoleOfMode(effective);
  instance->peer = RoleOfMode(0);
  instance->mode = effective;
  instance->current = instance->oldestUnacknowledged = &instance->nodes[0];
  instance->firstWindow = true;
  instance->state = kNew;
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
    case QVDEVICE_WORLD_GET_SIGNAL_HANDLERS: return pipe_get_signal_handlers(static_cast<QVSignalHandlerList**>(a1));
    case QVDEVICE_WORLD_RELEASE_SIGNAL_HANDLERS:
      pipe_release_signal_handlers(static_cast<QVSignalHandlerList*>(a1));
      return 0;
    case QVDEVICE_WORLD_PROTOCOL_NAME: return pipe_world_protocol(static_cast<char*>(a1), Word(a2));
    case QVDEVICE_WORLD_MODES: return pipe_world_modes(Word(a1));
    case QVDEVICE_WORLD_STREAM_CAPACITY: return pipe_world_streamcapacity(Word(a1), Word(a2));
    case QVDEVICE_WORLD_ID: return pipe_world_id(static_cast<char*>(a1), Word(a2));
    default: return -1;
  }
}

long DeviceSelector(Instance* instance, qvdeviceselector selector, void* a1, void* a2) {
  switch (selector) {
    case QVDEVICE_CONNECT_READY:
      if (a2 == nullptr) return -1;
      return ConnectReady(instance, Word(a2));
    case QVDEVICE_HAS_DATA:
      if (a2 == nullptr) return -1;
      return pipe_hasdata(instance, Word(a2));
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
      return pipe_setyieldfunction(instance, reinterpret_cast<qv_yield_function>(a1), a2);
    case QVDEVICE_GET_YIELD_FUNCTION:
      return pipe_getyieldfunction(instance, static_cast<qv_yield_function*>(a1), static_cast<void**>(a2));
    case QVDEVICE_SET_MESSAGE_HANDLER:
      return pipe_setmsghandler(instance, reinterpret_cast<qv_message_handler>(a1), a2);
    case QVDEVICE_GET_MESSAGE_HANDLER:
      return pipe_getmsghandler(instance, static_cast<qv_message_handler*>(a1), static_cast<void**>(a2));
    case QVDEVICE_WRITE_MESSAGE:
      if (a1 == nullptr || a2 == nullptr) return -1;
      return pipe_writemsg(instance, static_cast<uint64_t>(*Word(a1)), static_cast<uint64_t>(*Word(a2)));
    case QVDEVICE_HAS_MESSAGE: {
      if (a1 == nullptr && a2 == nullptr) return -1;
      long waiting = 0;
      const long answer = pipe_hasmsg(instance, &waiting);
      *Word(a2 != nullptr ? a2 : a1) = waiting;
      return answer;
    }
    case QVDEVICE_READ_MESSAGE: {
      if (a1 == nullptr || a2 == nullptr) return -1;
      uint64_t code = 0;
      uint64_t argument = 0;
      const long answer = pipe_readmsg(instance, &code, &argument);
      *Word(a1) = static_cast<long>(code);
      *Word(a2) = static_cast<long>(argument);
      return answer;
    }
    case QVDEVICE_TYPE:
    case QVDEVICE_NAME:
    case QVDEVICE_NAME_SIZE:
    case QVDEVICE_FILE_DESCRIPTOR:
    case QVDEVICE_SPECIFIC_30:
    case QVDEVICE_MODE:
    case QVDEVICE_OPTIONS: return pipe_devinfo(instance, selector, a1, a2);
    case QVDEVICE_MODES:
    case QVDEVICE_PROTOCOL_NAME:
    case QVDEVICE_STREAM_CAPACITY:
    case QVDEVICE_WORLD_IDENTITY:
    case QVDEVICE_SPECIFIC_40: return pipe_worldinfo(selector, a1, a2);
    default: return -1;
  }
}

}  // namespace

}  // namespace Quorvane::pipes

long pipe_main(void* object, Quorvane::qvdeviceselector selector, void* a1, void* a2) noexcept {
  using namespace Quorvane;
  using namespace Quorvane::pipes;
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
