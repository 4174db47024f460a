// Turns a world class and a device class into one interface function:
// qvdevice_main<World, Device> switches over the selector, checks the
// pointers the selector needs, makes one call and stores the answer through
// a1/a2. Exceptions become link error codes through one table of rows, each
// operation naming the groups of rows it accepts; nothing leaves the function.
#pragma once

#include <cstdint>
#include <new>
#include <type_traits>

#include "device/qvdeviceworld.h"
#include "utilities/qvexception.h"

namespace Quorvane::bridge {

// Groups of exception rows; an operation accepts the rows of its groups.
enum Group : unsigned {
  kNoMemory = 1u << 0,  // 5 -> 8
  kMake = 1u << 1,      // the make map: 6, 54, 69, 55, 59, 61, 62
  kYield = 1u << 2,     // 9 and 51 -> 52: a yield function stopped the operation
  kClosed = 1u << 3,    // 44 -> 11, the device told first
  kDeadPeer = 1u << 4,  // 35 -> 1, the device told first
};

struct Row {
  qvexceptiontype type;
  long code;
  bool notify;  // notifyForClosedConnection runs before the code is answered
  unsigned group;
};

inline constexpr Row kRows[] = {
    {qvexceptiontype::outOfMemory, 8, false, kNoMemory},
    {qvexceptiontype::notFound, 41, false, kMake},
    {qvexceptiontype::unsupportedProtocol, 34, false, kMake},
    {qvexceptiontype::noUsableInterface, 34, false, kMake},
    {qvexceptiontype::unsupportedMode, 35, false, kMake},
    {qvexceptiontype::nameInUse, 40, false, kMake},
    {qvexceptiontype::badLinkName, 42, false, kMake},
    {qvexceptiontype::deviceSpecific, 43, false, kMake},
    {qvexceptiontype::backOut, 52, false, kYield},
    {qvexceptiontype::yieldAbort, 52, false, kYield},
    {qvexceptiontype::connectionClosed, 11, true, kClosed},
    {qvexceptiontype::deadPeer, 1, true, kDeadPeer},
};

// The groups each operation accepts.
inline constexpr unsigned kWorldMake = kNoMemory | kMake;
inline constexpr unsigned kConnect = kYield | kDeadPeer;
inline constexpr unsigned kWindow = kClosed | kDeadPeer;  // has data, read complete
// A write window may wait for room, and its yield function may stop the wait.
inline constexpr unsigned kWriteWindow = kYield | kClosed | kDeadPeer;
inline constexpr unsigned kTransfer = kYield | kClosed | kDeadPeer;  // write, read, messages
inline constexpr unsigned kHasMessage = kNoMemory | kClosed | kDeadPeer;

// The answer for an exception of this type: the row's code when a row of the
// accepted groups has the type, else -1. A row that says so tells the device
// first (device may be null); what that call throws is dropped.
long Answer(qvexceptiontype type, unsigned groups, QVDevice* device) noexcept;

// A text answer: when the capacity (read as 32-bit unsigned) holds the text,
// the buffer is cleared over the capacity and the text copied to its start
// without a terminator, answering 0; else 8 and the buffer is untouched. With
// storeLength the text's length goes to *capacity.
long CopyText(const QVString& text, void* buffer, void* capacity, bool storeLength);

// Runs body, which answers the selector's result; exceptions become answers.
template <typename Body>
long Guard(unsigned groups, QVDevice* device, Body&& body) noexcept {
  try {
    return body();
  } catch (const QVException& e) {
    return Answer(e.getType(), groups, device);
  } catch (const std::bad_alloc&) {
    return Answer(qvexceptiontype::outOfMemory, groups, device);
  } catch (...) {
    return -1;
  }
}

template <typename T>
T* As(void* pointer) {
  return static_cast<T*>(pointer);
}

// Which of a1 and a2 an operation needs besides the object.
enum Needs : unsigned { kA1 = 1, kA2 = 2, kBoth = 3 };

// One operation on a world or a device: -1 before anything is called when a
// pointer it needs is missing; else body on the object, answering 0 or what
// the groups' rows make of its exception. Only a device hears of a closed
// connection.
template <class Object, typename Body>
long On(void* object, void* a1, void* a2, unsigned needs, unsigned groups, Body&& body) noexcept {
  if (object == nullptr || ((needs & kA1) != 0 && a1 == nullptr) || ((needs & kA2) != 0 && a2 == nullptr)) {
    return -1;
  }
  Object& target = *As<Object>(object);
  QVDevice* told = nullptr;
  if constexpr (std::is_base_of_v<QVDevice, Object>) told = &target;
  return Guard(groups, told, [&] {
    body(target);
    return 0L;
  });
}

// A text answer of a world or a device (see CopyText).
template <class Object, typename Get>
long Text(void* object, void* a1, void* a2, bool storeLength, Get&& get) noexcept {
  if (object == nullptr || a1 == nullptr || a2 == nullptr) return -1;
  return Guard(0, nullptr, [&] { return CopyText(get(*As<Object>(object)), a1, a2, storeLength); });
}

template <class World, class Device>
long Made(QVDevice* made, void* a1) {
  // Only the pair's own device class may reach the link; another is not ours to hand out.
  auto* device = dynamic_cast<Device*>(made);
  if (device == nullptr) {
    delete made;
    throw QVException("The world made a device of another class", "device/qvdevicebridge", __LINE__,
                      qvexceptiontype::internalError, 0);
  }
  *As<void*>(a1) = device;
  return 0;
}

}  // namespace Quorvane::bridge

// ---- bridge functions: (object, a1, a2) -> the selector's result -------------

template <class World, class Device>
long qvdevice_world_init(void* object, void*, void*) noexcept {
  using namespace Quorvane::bridge;
  if (object == nullptr) return -1;
  return Guard(kNoMemory, nullptr, [&] {
    *As<void*>(object) = new World();
    return 0L;
  });
}

template <class World, class Device>
long qvdevice_world_make(void* object, void* a1, void* a2) noexcept {
  using namespace Quorvane::bridge;
  return On<World>(object, a1, a2, kBoth, kWorldMake,
                   [&](World& w) { Made<World, Device>(w.MakeDevice(As<char>(a2)), a1); });
}

template <class World, class Device>
long qvdevice_world_make_with_parameters(void* object, void* a1, void* a2) noexcept {
  using namespace Quorvane::bridge;
  return On<World>(object, a1, a2, kBoth, kWorldMake, [&](World& w) {
    Made<World, Device>(w.MakeDeviceWithParameters(As<Quorvane::QVDeviceParameters>(a2)), a1);
  });
}

template <class World, class Device>
long qvdevice_world_get_signal_handlers(void* object, void* a1, void* a2) noexcept {
  using namespace Quorvane::bridge;
  return On<World>(object, a1, a2, kA1, kNoMemory,
                   [&](World& w) { *As<Quorvane::QVSignalHandlerList*>(a1) = w.GetSignalHandlers(); });
}

template <class World, class Device>
long qvdevice_world_get_protocol_name(void* object, void* a1, void* a2) noexcept {
  return Quorvane::bridge::Text<World>(object, a1, a2, true, [](World& w) { return w.ProtocolName(); });
}

template <class World, class Device>
long qvdevice_world_get_id(void* object, void* a1, void* a2) noexcept {
  return Quorvane::bridge::Text<World>(object, a1, a2, false, [](World& w) { return w.Id(); });
}

template <class World, class Device>
long qvdevice_connect(void* object, void* a1, void* a2) noexcept {
  using namespace Quorvane::bridge;
  return On<Device>(object, a1, a2, 0, kConnect, [](Device& d) { d.Connect(); });
}

template <class World, class Device>
long qvdevice_write_window(void* object, void* a1, void* a2) noexcept {
  using namespace Quorvane::bridge;
  return On<Device>(object, a1, a2, kBoth, kWriteWindow, [&](Device& d) {
    unsigned long size = 0;
    d.WriteWindow(As<char*>(a1), &size);
    *As<long>(a2) = static_cast<long>(size);
  });
}

template <class World, class Device>
long qvdevice_write(void* object, void* a1, void* a2) noexcept {
  using namespace Quorvane::bridge;
  const long written = On<Device>(object, a1, a2, kBoth, kTransfer, [&](Device& d) {
    d.Write(*As<char*>(a1), static_cast<unsigned long>(*As<long>(a2)));
  });
  if (written != 0) return written;
  return qvdevice_write_window<World, Device>(object, a1, a2);
}

template <class World, class Device>
long qvdevice_has_data(void* object, void* a1, void* a2) noexcept {
  using namespace Quorvane::bridge;
  const bool soon = a1 != nullptr && *As<long>(a1) != 0;
  return On<Device>(object, a1, a2, kA2, kWindow,
                    [&](Device& d) { *As<long>(a2) = (soon ? d.HasDataSoonQ() : d.HasDataQ()) ? 1 : 0; });
}

template <class World, class Device>
long qvdevice_read(void* object, void* a1, void* a2) noexcept {
  using namespace Quorvane::bridge;
  return On<Device>(object, a1, a2, kBoth, kTransfer, [&](Device& d) {
    unsigned long size = 0;
    d.Read(As<char*>(a1), &size);
    *As<long>(a2) = static_cast<long>(size);
  });
}

template <class World, class Device>
long qvdevice_read_complete(void* object, void* a1, void* a2) noexcept {
  using namespace Quorvane::bridge;
  return On<Device>(object, a1, a2, kA2, kWindow,
                    [&](Device& d) { d.ReadComplete(As<char>(a1), static_cast<unsigned long>(*As<long>(a2))); });
}

template <class World, class Device>
long qvdevice_write_message(void* object, void* a1, void* a2) noexcept {
  using namespace Quorvane::bridge;
  return On<Device>(object, a1, a2, kBoth, kTransfer, [&](Device& d) {
    d.WriteMessage(static_cast<unsigned long>(*As<long>(a1)), static_cast<unsigned long>(*As<long>(a2)));
  });
}

template <class World, class Device>
long qvdevice_has_message(void* object, void* a1, void* a2) noexcept {
  using namespace Quorvane::bridge;
  return On<Device>(object, a1, a2, kBoth, kHasMessage, [&](Device& d) {
    const long waiting = d.HasMessageQ() ? 1 : 0;
    *As<long>(a1) = waiting;
    *As<long>(a2) = waiting;
  });
}

template <class World, class Device>
long qvdevice_read_message(void* object, void* a1, void* a2) noexcept {
  using namespace Quorvane::bridge;
  return On<Device>(object, a1, a2, kBoth, kTransfer,
                    [&](Device& d) { d.ReadMessage(As<unsigned long>(a1), As<unsigned long>(a2)); });
}

template <class World, class Device>
long qvdevice_get_name(void* object, void* a1, void* a2) noexcept {
  return Quorvane::bridge::Text<Device>(object, a1, a2, false, [](Device& d) { return d.Name(); });
}

template <class World, class Device>
long qvdevice_get_protocol_name(void* object, void* a1, void* a2) noexcept {
  return Quorvane::bridge::Text<Device>(object, a1, a2, false, [](Device& d) { return d.ProtocolName(); });
}

template <class World, class Device>
long qvdevice_get_world_id(void* object, void* a1, void* a2) noexcept {
  return Quorvane::bridge::Text<Device>(object, a1, a2, false, [](Device& d) { return d.Id(); });
}

// ---- the interface function ------------------------------------------------------

template <class World, class Device>
long qvdevice_main(void* object, Quorvane::qvdeviceselector selector, void* a1, void* a2) noexcept {
  using namespace Quorvane;
  using namespace Quorvane::bridge;
  if (selector == QVDEVICE_ACKNOWLEDGE) return 0;
  if (object == nullptr) return -1;
  switch (selector) {
    case QVDEVICE_WORLD_INIT: return qvdevice_world_init<World, Device>(object, a1, a2);
    case QVDEVICE_WORLD_DEINIT:
      delete As<World>(object);
      return 0;
    case QVDEVICE_WORLD_MAKE: return qvdevice_world_make<World, Device>(object, a1, a2);
    case QVDEVICE_WORLD_MAKE_WITH_PARAMETERS:
      return qvdevice_world_make_with_parameters<World, Device>(object, a1, a2);
    case QVDEVICE_WORLD_GET_SIGNAL_HANDLERS:
      return qvdevice_world_get_signal_handlers<World, Device>(object, a1, a2);
    case QVDEVICE_WORLD_RELEASE_SIGNAL_HANDLERS:
      return On<World>(object, a1, a2, kA1, 0,
                       [&](World& w) { w.ReleaseSignalHandlers(As<QVSignalHandlerList>(a1)); });
    case QVDEVICE_WORLD_PROTOCOL_NAME: return qvdevice_world_get_protocol_name<World, Device>(object, a1, a2);
    case QVDEVICE_WORLD_MODES:
      return On<World>(object, a1, a2, kA1, 0, [&](World& w) { *As<long>(a1) = static_cast<long>(w.Modes()); });
    case QVDEVICE_WORLD_STREAM_CAPACITY:
      return On<World>(object, a1, a2, kA1, 0, [&](World& w) {
        *As<long>(a1) = w.StreamCapacity();
        if (a2 != nullptr) *As<long>(a2) = 8;
      });
    case QVDEVICE_WORLD_ID: return qvdevice_world_get_id<World, Device>(object, a1, a2);
    case QVDEVICE_CONNECT_READY:
      return On<Device>(object, a1, a2, kA2, 0, [&](Device& d) { *As<long>(a2) = d.ConnectReady() ? 1 : 0; });
    case QVDEVICE_CONNECT: return qvdevice_connect<World, Device>(object, a1, a2);
    case QVDEVICE_WRITE: return qvdevice_write<World, Device>(object, a1, a2);
    case QVDEVICE_WRITE_WINDOW: return qvdevice_write_window<World, Device>(object, a1, a2);
    case QVDEVICE_HAS_DATA: return qvdevice_has_data<World, Device>(object, a1, a2);
    case QVDEVICE_READ: return qvdevice_read<World, Device>(object, a1, a2);
    case QVDEVICE_READ_COMPLETE: return qvdevice_read_complete<World, Device>(object, a1, a2);
    case QVDEVICE_CLOSE:
      // The device goes whatever the notice throws: the caller never uses it again.
      On<Device>(object, a1, a2, 0, 0, [](Device& d) { d.notifyForClosedConnection(); });
      delete As<Device>(object);
      return 0;
    case QVDEVICE_SET_YIELD_FUNCTION:
      return On<Device>(object, a1, a2, 0, 0,
                        [&](Device& d) { d.SetYieldFunction(reinterpret_cast<QVDeviceYieldFunction>(a1), a2); });
    case QVDEVICE_GET_YIELD_FUNCTION:
      return On<Device>(object, a1, a2, kA1, 0, [&](Device& d) {
        void* cookie = nullptr;
        d.GetYieldFunction(As<QVDeviceYieldFunction>(a1), &cookie);
      });
    case QVDEVICE_SET_MESSAGE_HANDLER:
      return On<Device>(object, a1, a2, 0, 0,
                        [&](Device& d) { d.SetMessageHandler(reinterpret_cast<QVDeviceMessageHandler>(a1), a2); });
    case QVDEVICE_GET_MESSAGE_HANDLER:
      return On<Device>(object, a1, a2, kA1, 0, [&](Device& d) {
        void* cookie = nullptr;
        d.GetMessageHandler(As<QVDeviceMessageHandler>(a1), &cookie);
      });
    case QVDEVICE_WRITE_MESSAGE: return qvdevice_write_message<World, Device>(object, a1, a2);
    case QVDEVICE_HAS_MESSAGE: return qvdevice_has_message<World, Device>(object, a1, a2);
    case QVDEVICE_READ_MESSAGE: return qvdevice_read_message<World, Device>(object, a1, a2);
    case QVDEVICE_TYPE: return On<Device>(object, a1, a2, kA1, 0, [&](Device& d) { *As<long>(a1) = d.Type(); });
    case QVDEVICE_NAME: return qvdevice_get_name<World, Device>(object, a1, a2);
    case QVDEVICE_NAME_SIZE:
      return On<Device>(object, a1, a2, kA1, 0, [&](Device& d) { *As<long>(a1) = d.NameSize() + 1; });
    case QVDEVICE_FILE_DESCRIPTOR:
      return On<Device>(object, a1, a2, kA1, 0, [&](Device& d) { *As<int>(a1) = d.GetFD(); });
    case QVDEVICE_MODES:
      return On<Device>(object, a1, a2, kA1, 0, [&](Device& d) { *As<long>(a1) = static_cast<long>(d.Modes()); });
    case QVDEVICE_PROTOCOL_NAME: return qvdevice_get_protocol_name<World, Device>(object, a1, a2);
    case QVDEVICE_STREAM_CAPACITY:
      return On<Device>(object, a1, a2, kA1, 0, [&](Device& d) {
        *As<long>(a1) = d.StreamCapacity();
        if (a2 != nullptr) *As<long>(a2) = 8;
      });
    case QVDEVICE_WORLD_IDENTITY: return qvdevice_get_world_id<World, Device>(object, a1, a2);
    case QVDEVICE_MODE:
    case QVDEVICE_OPTIONS:
      if (a1 == nullptr || a2 == nullptr) return -1;
      *As<long>(a1) = 0;
      *As<long>(a2) = 8;
      return On<Device>(object, a1, a2, kBoth, 0, [&](Device& d) {
        *As<long>(a1) = selector == QVDEVICE_OPTIONS ? static_cast<long>(d.Options()) : (d.Mode() != 0 ? 2 : 4);
      });
    default: return -1;
  }
}
