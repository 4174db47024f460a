// Turns a world class and a device class into one interface function:
// qvdevice_main<World, Device> switches over the selector, checks the
// pointers the selector needs, makes one call and stores the answer through
// a1/a2. Exceptions become link error codes through one table of rows, each
// operation naming the groups of rows it accepts; nothing leaves the function.
#pragma once

#include <cstdint>
#include <new>

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
inline constexpr unsigned kWindow = kClosed | kDeadPeer;  // write window, has data, read complete
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
long qvdevice_world_make_answer(Quorvane::QVDevice* made, void* a1) {
  // Only the pair's own device class may reach the link; another is not ours to hand out.
  auto* device = dynamic_cast<Device*>(made);
  if (device == nullptr) {
    delete made;
    return -1;
  }
  *Quorvane::bridge::As<void*>(a1) = device;
  return 0;
}

template <class World, class Device>
long qvdevice_world_make(void* object, void* a1, void* a2) noexcept {
  using namespace Quorvane::bridge;
  if (object == nullptr || a1 == nullptr || a2 == nullptr) return -1;
  return Guard(kWorldMake, nullptr, [&] {
    return qvdevice_world_make_answer<World, Device>(As<World>(object)->MakeDevice(As<char>(a2)), a1);
  });
}

template <class World, class Device>
long qvdevice_world_make_with_parameters(void* object, void* a1, void* a2) noexcept {
  using namespace Quorvane::bridge;
  if (object == nullptr || a1 == nullptr || a2 == nullptr) return -1;
  return Guard(kWorldMake, nullptr, [&] {
    return qvdevice_world_make_answer<World, Device>(
        As<World>(object)->MakeDeviceWithParameters(As<Quorvane::QVDeviceParameters>(a2)), a1);
  });
}

template <class World, class Device>
long qvdevice_world_get_signal_handlers(void* object, void* a1, void*) noexcept {
  using namespace Quorvane::bridge;
  if (object == nullptr || a1 == nullptr) return -1;
  return Guard(kNoMemory, nullptr, [&] {
    *As<Quorvane::QVSignalHandlerList*>(a1) = As<World>(object)->GetSignalHandlers();
    return 0L;
  });
}

template <class World, class Device>
long qvdevice_world_get_protocol_name(void* object, void* a1, void* a2) noexcept {
  using namespace Quorvane::bridge;
  if (object == nullptr || a1 == nullptr || a2 == nullptr) return -1;
  return Guard(0, nullptr, [&] { return CopyText(As<World>(object)->ProtocolName(), a1, a2, true); });
}

template <class World, class Device>
long qvdevice_world_get_id(void* object, void* a1, void* a2) noexcept {
  using namespace Quorvane::bridge;
  if (object == nullptr || a1 == nullptr || a2 == nullptr) return -1;
  return Guard(0, nullptr, [&] { return CopyText(As<World>(object)->Id(), a1, a2, false); });
}

template <class World, class Device>
long qvdevice_connect(void* object, void*, void*) noexcept {
  using namespace Quorvane::bridge;
  if (object == nullptr) return -1;
  Device* device = As<Device>(object);
  return Guard(kConnect, device, [&] {
    device->Connect();
    return 0L;
  });
}

template <class World, class Device>
long qvdevice_write_window(void* object, void* a1, void* a2) noexcept {
  using namespace Quorvane::bridge;
  if (object == nullptr || a1 == nullptr || a2 == nullptr) return -1;
  Device* device = As<Device>(object);
  return Guard(kWindow, device, [&] {
    unsigned long size = 0;
    device->WriteWindow(As<char*>(a1), &size);
    *As<long>(a2) = static_cast<long>(size);
    return 0L;
  });
}

template <class World, class Device>
long qvdevice_write(void* object, void* a1, void* a2) noexcept {
  using namespace Quorvane::bridge;
  if (object == nullptr || a1 == nullptr || a2 == nullptr) return -1;
  Device* device = As<Device>(object);
  const long written = Guard(kTransfer, device, [&] {
    device->Write(*As<char*>(a1), static_cast<unsigned long>(*As<long>(a2)));
    return 0L;
  });
  if (written != 0) return written;
  return qvdevice_write_window<World, Device>(object, a1, a2);
}

template <class World, class Device>
long qvdevice_has_data(void* object, void*, void* a2) noexcept {
  using namespace Quorvane::bridge;
  if (object == nullptr || a2 == nullptr) return -1;
  Device* device = As<Device>(object);
  return Guard(kWindow, device, [&] {
    *As<long>(a2) = device->HasDataQ() ? 1 : 0;
    return 0L;
  });
}

template <class World, class Device>
long qvdevice_read(void* object, void* a1, void* a2) noexcept {
  using namespace Quorvane::bridge;
  if (object == nullptr || a1 == nullptr || a2 == nullptr) return -1;
  Device* device = As<Device>(object);
  return Guard(kTransfer, device, [&] {
    unsigned long size = 0;
    device->Read(As<char*>(a1), &size);
    *As<long>(a2) = static_cast<long>(size);
    return 0L;
  });
}

template <class World, class Device>
long qvdevice_read_complete(void* object, void* a1, void* a2) noexcept {
  using namespace Quorvane::bridge;
  if (object == nullptr || a2 == nullptr) return -1;
  Device* device = As<Device>(object);
  return Guard(kWindow, device, [&] {
    device->ReadComplete(As<char>(a1), static_cast<unsigned long>(*As<long>(a2)));
    return 0L;
  });
}

template <class World, class Device>
long qvdevice_write_message(void* object, void* a1, void* a2) noexcept {
  using namespace Quorvane::bridge;
  if (object == nullptr || a1 == nullptr || a2 == nullptr) return -1;
  Device* device = As<Device>(object);
  return Guard(kTransfer, device, [&] {
    device->WriteMessage(static_cast<unsigned long>(*As<long>(a1)), static_cast<unsigned long>(*As<long>(a2)));
    return 0L;
  });
}

template <class World, class Device>
long qvdevice_has_message(void* object, void* a1, void* a2) noexcept {
  using namespace Quorvane::bridge;
  if (object == nullptr || a1 == nullptr || a2 == nullptr) return -1;
  Device* device = As<Device>(object);
  return Guard(kHasMessage, device, [&] {
    const long waiting = device->HasMessageQ() ? 1 : 0;
    *As<long>(a1) = waiting;
    *As<long>(a2) = waiting;
    return 0L;
  });
}

template <class World, class Device>
long qvdevice_read_message(void* object, void* a1, void* a2) noexcept {
  using namespace Quorvane::bridge;
  if (object == nullptr || a1 == nullptr || a2 == nullptr) return -1;
  Device* device = As<Device>(object);
  return Guard(kTransfer, device, [&] {
    device->ReadMessage(As<unsigned long>(a1), As<unsigned long>(a2));
    return 0L;
  });
}

template <class World, class Device>
long qvdevice_get_name(void* object, void* a1, void* a2) noexcept {
  using namespace Quorvane::bridge;
  if (object == nullptr || a1 == nullptr || a2 == nullptr) return -1;
  return Guard(0, nullptr, [&] { return CopyText(As<Device>(object)->Name(), a1, a2, false); });
}

template <class World, class Device>
long qvdevice_get_protocol_name(void* object, void* a1, void* a2) noexcept {
  using namespace Quorvane::bridge;
  if (object == nullptr || a1 == nullptr || a2 == nullptr) return -1;
  return Guard(0, nullptr, [&] { return CopyText(As<Device>(object)->ProtocolName(), a1, a2, false); });
}

template <class World, class Device>
long qvdevice_get_world_id(void* object, void* a1, void* a2) noexcept {
  using namespace Quorvane::bridge;
  if (object == nullptr || a1 == nullptr || a2 == nullptr) return -1;
  return Guard(0, nullptr, [&] { return CopyText(As<Device>(object)->Id(), a1, a2, false); });
}

// ---- the interface function ------------------------------------------------------

template <class World, class Device>
long qvdevice_main(void* object, Quorvane::qvdeviceselector selector, void* a1, void* a2) noexcept {
  using namespace Quorvane;
  using namespace Quorvane::bridge;
  if (selector == QVDEVICE_ACKNOWLEDGE) return 0;
  if (object == nullptr) return -1;
  World* world = As<World>(object);
  Device* device = As<Device>(object);
  // Stores one value through a pointer that must be there.
  auto store = [](void* to, auto value) {
    if (to == nullptr) return -1L;
    *As<decltype(value)>(to) = value;
    return 0L;
  };
  switch (selector) {
    case QVDEVICE_WORLD_INIT: return qvdevice_world_init<World, Device>(object, a1, a2);
    case QVDEVICE_WORLD_DEINIT:
      delete world;
      return 0;
    case QVDEVICE_WORLD_MAKE: return qvdevice_world_make<World, Device>(object, a1, a2);
    case QVDEVICE_WORLD_MAKE_WITH_PARAMETERS:
      return qvdevice_world_make_with_parameters<World, Device>(object, a1, a2);
    case QVDEVICE_WORLD_GET_SIGNAL_HANDLERS:
      return qvdevice_world_get_signal_handlers<World, Device>(object, a1, a2);
    case QVDEVICE_WORLD_RELEASE_SIGNAL_HANDLERS:
      if (a1 == nullptr) return -1;
      return Guard(0, nullptr, [&] {
        world->ReleaseSignalHandlers(As<QVSignalHandlerList>(a1));
        return 0L;
      });
    case QVDEVICE_WORLD_PROTOCOL_NAME: return qvdevice_world_get_protocol_name<World, Device>(object, a1, a2);
    case QVDEVICE_WORLD_MODES:
      if (a1 == nullptr) return -1;
      return Guard(0, nullptr, [&] { return store(a1, static_cast<long>(world->Modes())); });
    case QVDEVICE_WORLD_STREAM_CAPACITY:
      if (a1 == nullptr) return -1;
      return Guard(0, nullptr, [&] {
        store(a1, world->StreamCapacity());
        if (a2 != nullptr) store(a2, 8L);
        return 0L;
      });
    case QVDEVICE_WORLD_ID: return qvdevice_world_get_id<World, Device>(object, a1, a2);
    case QVDEVICE_CONNECT_READY:
      if (a2 == nullptr) return -1;
      return Guard(0, nullptr, [&] { return store(a2, device->ConnectReady() ? 1L : 0L); });
    case QVDEVICE_CONNECT: return qvdevice_connect<World, Device>(object, a1, a2);
    case QVDEVICE_WRITE: return qvdevice_write<World, Device>(object, a1, a2);
    case QVDEVICE_WRITE_WINDOW: return qvdevice_write_window<World, Device>(object, a1, a2);
    case QVDEVICE_HAS_DATA: return qvdevice_has_data<World, Device>(object, a1, a2);
    case QVDEVICE_READ: return qvdevice_read<World, Device>(object, a1, a2);
    case QVDEVICE_READ_COMPLETE: return qvdevice_read_complete<World, Device>(object, a1, a2);
    case QVDEVICE_CLOSE:
      // The device goes whatever the notice throws: the caller never uses it again.
      Guard(0, nullptr, [&] {
        device->notifyForClosedConnection();
        return 0L;
      });
      delete device;
      return 0;
    case QVDEVICE_SET_YIELD_FUNCTION:
      return Guard(0, nullptr, [&] {
        device->SetYieldFunction(reinterpret_cast<QVDeviceYieldFunction>(a1), a2);
        return 0L;
      });
    case QVDEVICE_GET_YIELD_FUNCTION:
      if (a1 == nullptr) return -1;
      return Guard(0, nullptr, [&] {
        QVDeviceYieldFunction function = nullptr;
        void* cookie = nullptr;
        device->GetYieldFunction(&function, &cookie);
        return store(a1, function);
      });
    case QVDEVICE_SET_MESSAGE_HANDLER:
      return Guard(0, nullptr, [&] {
        device->SetMessageHandler(reinterpret_cast<QVDeviceMessageHandler>(a1), a2);
        return 0L;
      });
    case QVDEVICE_GET_MESSAGE_HANDLER:
      if (a1 == nullptr) return -1;
      return Guard(0, nullptr, [&] {
        QVDeviceMessageHandler handler = nullptr;
        void* cookie = nullptr;
        device->GetMessageHandler(&handler, &cookie);
        return store(a1, handler);
      });
    case QVDEVICE_WRITE_MESSAGE: return qvdevice_write_message<World, Device>(object, a1, a2);
    case QVDEVICE_HAS_MESSAGE: return qvdevice_has_message<World, Device>(object, a1, a2);
    case QVDEVICE_READ_MESSAGE: return qvdevice_read_message<World, Device>(object, a1, a2);
    case QVDEVICE_TYPE:
      if (a1 == nullptr) return -1;
      return Guard(0, nullptr, [&] { return store(a1, device->Type()); });
    case QVDEVICE_NAME: return qvdevice_get_name<World, Device>(object, a1, a2);
    case QVDEVICE_NAME_SIZE:
      if (a1 == nullptr) return -1;
      return Guard(0, nullptr, [&] { return store(a1, device->NameSize() + 1); });
    case QVDEVICE_FILE_DESCRIPTOR:
      if (a1 == nullptr) return -1;
      return Guard(0, nullptr, [&] { return store(a1, device->GetFD()); });
    case QVDEVICE_MODES:
      if (a1 == nullptr) return -1;
      return Guard(0, nullptr, [&] { return store(a1, static_cast<long>(device->Modes())); });
    case QVDEVICE_PROTOCOL_NAME: return qvdevice_get_protocol_name<World, Device>(object, a1, a2);
    case QVDEVICE_STREAM_CAPACITY:
      if (a1 == nullptr) return -1;
      return Guard(0, nullptr, [&] {
        store(a1, device->StreamCapacity());
        if (a2 != nullptr) store(a2, 8L);
        return 0L;
      });
    case QVDEVICE_WORLD_IDENTITY: return qvdevice_get_world_id<World, Device>(object, a1, a2);
    case QVDEVICE_MODE:
    case QVDEVICE_OPTIONS:
      if (a1 == nullptr || a2 == nullptr) return -1;
      store(a1, 0L);
      store(a2, 8L);
      return Guard(0, nullptr, [&] {
        if (selector == QVDEVICE_OPTIONS) return store(a1, static_cast<long>(device->Options()));
        return store(a1, device->Mode() != 0 ? 2L : 4L);
      });
    default: return -1;
  }
}
