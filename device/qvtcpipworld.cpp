#include "device/qvtcpipworld.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

#include "device/qvdevicebridge.h"
#include "device/qvtcpipdevice.h"
#include "network/qvplatforminterface.h"
#include "utilities/qvexception.h"

namespace Quorvane {

const QVVersion QVTCPIPWorld::version(3, 0, 0);

namespace {

constexpr char kSource[] = "device/qvtcpip";

// What every TCPIP world and device of the process shares. It is never
// destroyed, so the signal handler and a thread ending late never reach a
// destroyed object; the signal thread reads only this, never a world.
struct Shared {
  std::mutex devicelistmh;  // guards devicelist, dispatching, numberofworlds and signalthread
  // Every live device, in creation order.
  std::vector<QVTCPIPDevice*> devicelist;
  // The devices a dispatch pass is using, in its order. The pass works
  // without the lock, so a device's destructor waits until its entry is
  // cleared (when the pass is done with it); on the signal thread itself (a
  // handler closing a link) it clears the entry instead.
  std::vector<QVTCPIPDevice*> dispatching;
  std::condition_variable dispatched;
  long numberofworlds = 0;
  // The "TCPIP-SignalHandler" thread; a world made after the last one ended
  // starts it again.
  std::unique_ptr<QVThread> signalthread;
  // Each thread has its own stop flag: one ending late never reads a newer one's.
  std::shared_ptr<std::atomic<bool>> stop;
  // The last wake-up signal not yet taken by the signal thread; 0 for none.
  std::atomic<int> signumber{0};
  // What wakes the signal thread: a pipe, since the handler wakes it and a
  // write is safe in signal context.
  struct WakePipe {
    int readEnd = -1;
    std::atomic<int> writeEnd{-1};
  } signalc;
  // The process these belong to: a child made by fork inherits the pipe,
  // which its parent's thread also reads, and a thread that it does not have.
  pid_t owner = 0;
  // The devices again, for the signal handler, which may take no lock: a
  // chain of blocks of slots that only grows, so the handler can walk it
  // while a device is added or leaves.
  struct SlotBlock {
    static constexpr size_t kSlots = 1024;
    std::array<std::atomic<QVTCPIPDevice*>, kSlots> slots{};
    std::atomic<SlotBlock*> next{nullptr};
  };
  SlotBlock slots;
  // Signal handlers walking the slots now: a device leaving waits for them.
  std::atomic<int> slotWalkers{0};
};

// Messages taken from one device in one pass, so that a busy link does not
// hold back the others; what is left gets another pass at once.
constexpr int kMessagesPerPass = 64;

thread_local bool onSignalThread = false;

Shared& State() {
  static Shared* shared = new Shared();
  return *shared;
}

void Wake() noexcept {
  const int fd = State().signalc.writeEnd.load();
  if (fd < 0) return;
  const char byte = 1;
  // A full pipe already holds a wake-up.
  [[maybe_unused]] ssize_t written = ::write(fd, &byte, 1);
}

void OpenWakePipe() {
  Shared& shared = State();
  if (shared.owner == ::getpid()) return;
  if (shared.owner != 0) {
    // Inherited from the parent: its thread does not run here and its pipe is shared.
    [[maybe_unused]] QVThread* notOurs = shared.signalthread.release();
    shared.numberofworlds = 0;
    const int inheritedWrite = shared.signalc.writeEnd.exchange(-1);
    ::close(inheritedWrite);
    ::close(shared.signalc.readEnd);
    shared.signalc.readEnd = -1;
  }
  int fds[2];
  if (::pipe(fds) != 0) {
    throw QVException("Unable to allocate signal thread condition.", kSource, __LINE__,
                      qvexceptiontype::outOfMemory, errno);
  }
  for (int fd : fds) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  shared.signalc.readEnd = fds[0];
  shared.signalc.writeEnd.store(fds[1]);
  shared.owner = ::getpid();
}

void DrainWakePipe() {
  char bytes[64];
  while (::read(State().signalc.readEnd, bytes, sizeof bytes) > 0) {
  }
}

// Whether the pass still holds the device at place: its handler may have destroyed it.
bool StillDispatching(size_t place, const QVTCPIPDevice* device) {
  Shared& shared = State();
  std::lock_guard<std::mutex> hold(shared.devicelistmh);
  return place < shared.dispatching.size() && shared.dispatching[place] == device;
}

void DoneDispatching(size_t place) {
  Shared& shared = State();
  {
    std::lock_guard<std::mutex> hold(shared.devicelistmh);
    if (place < shared.dispatching.size()) shared.dispatching[place] = nullptr;
  }
  shared.dispatched.notify_all();
}

// Hands on every message of the device that has wholly arrived; answers true
// when some are left for another pass.
bool DispatchDevice(size_t place, QVTCPIPDevice* device) {
  for (int taken = 0; taken < kMessagesPerPass; ++taken) {
    if (device->ClosedQ() || !device->ConnectedQ()) return false;
    unsigned long code = 0;
    unsigned long argument = 0;
    switch (device->ReadMessageWithoutWaiting(&code, &argument)) {
      case QVTCPIPDevice::Incoming::none:
        return false;
      case QVTCPIPDevice::Incoming::closed:
        device->PeerClosed(true);
        return false;
      case QVTCPIPDevice::Incoming::ended:
        device->PeerClosed(false);
        return false;
      case QVTCPIPDevice::Incoming::message:
        break;
    }
    device->Deliver(code, argument);
    if (!StillDispatching(place, device)) return false;
  }
  return true;
}

// One pass over the devices connected now: the set is made afresh each time,
// so a device that closed or a reused descriptor never lingers in it. No
// lock is held while messages are read and handlers run.
void DispatchPass() {
  Shared& shared = State();
  std::vector<pollfd> ready;
  {
    std::lock_guard<std::mutex> hold(shared.devicelistmh);
    shared.dispatching.clear();
    for (QVTCPIPDevice* device : shared.devicelist) {
      if (!device->ConnectedQ()) continue;
      shared.dispatching.push_back(device);
      ready.push_back(pollfd{device->MessageDescriptor(), POLLIN, 0});
    }
  }
  bool more = false;
  if (!ready.empty() && ::poll(ready.data(), ready.size(), 0) > 0) {
    {
      // The devices with nothing to read are free to go at once.
      std::lock_guard<std::mutex> hold(shared.devicelistmh);
      for (size_t place = 0; place < ready.size(); ++place) {
        if (ready[place].revents == 0) shared.dispatching[place] = nullptr;
      }
    }
    shared.dispatched.notify_all();
    for (size_t place = 0; place < ready.size(); ++place) {
      if (ready[place].revents == 0) continue;
      QVTCPIPDevice* device = nullptr;
      {
        std::lock_guard<std::mutex> hold(shared.devicelistmh);
        device = shared.dispatching[place];
      }
      if (device != nullptr && DispatchDevice(place, device)) more = true;
      DoneDispatching(place);
    }
  }
  {
    std::lock_guard<std::mutex> hold(shared.devicelistmh);
    shared.dispatching.clear();
  }
  shared.dispatched.notify_all();
  if (more) shared.signumber.store(SIGIO);
}

void SignalThreadBody(const std::shared_ptr<std::atomic<bool>>& stop) {
  QVThread::SetName("TCPIP-SignalHandler");
  onSignalThread = true;
  Shared& shared = State();
  while (!stop->load()) {
    const int number = shared.signumber.exchange(0);
    if (number == SIGIO || number == SIGURG) {
      try {
        DispatchPass();
      } catch (const QVException&) {
      } catch (const std::bad_alloc&) {
      }
    }
    pollfd wait{shared.signalc.readEnd, POLLIN, 0};
    // A signal that came during the pass left a byte in the pipe.
    if (shared.signumber.load() == 0) ::poll(&wait, 1, -1);
    DrainWakePipe();
  }
}

// An empty slot for a device, a new block at the chain's end when every slot
// is taken. Called with the shared lock held.
std::atomic<QVTCPIPDevice*>& FreeSlot(Shared::SlotBlock& first) {
  Shared::SlotBlock* block = &first;
  for (;;) {
    for (auto& slot : block->slots) {
      if (slot.load() == nullptr) return slot;
    }
    Shared::SlotBlock* next = block->next.load();
    if (next == nullptr) {
      // Never freed: a handler may be walking the chain at any time.
      next = new Shared::SlotBlock();
      block->next.store(next);
    }
    block = next;
  }
}

template <typename Visit>
void ForEachSlot(Shared::SlotBlock& first, Visit&& visit) {
  for (Shared::SlotBlock* block = &first; block != nullptr; block = block->next.load()) {
    for (auto& slot : block->slots) {
      if (visit(slot)) return;
    }
  }
}

}  // namespace

void QVTCPIPWorld::AddDevice(QVTCPIPDevice* device) {
  Shared& shared = State();
  std::lock_guard<std::mutex> hold(shared.devicelistmh);
  std::atomic<QVTCPIPDevice*>& slot = FreeSlot(shared.slots);
  shared.devicelist.push_back(device);
  slot.store(device);
}

void QVTCPIPWorld::RemoveDevice(QVTCPIPDevice* device) {
  Shared& shared = State();
  {
    std::unique_lock<std::mutex> hold(shared.devicelistmh);
    std::erase(shared.devicelist, device);
    if (onSignalThread) {
      // Its own handler (or another's) closes it: the pass must not touch it again.
      std::replace(shared.dispatching.begin(), shared.dispatching.end(), device, static_cast<QVTCPIPDevice*>(nullptr));
    } else {
      shared.dispatched.wait(hold, [&] {
        return std::find(shared.dispatching.begin(), shared.dispatching.end(), device) == shared.dispatching.end();
      });
    }
    ForEachSlot(shared.slots, [device](std::atomic<QVTCPIPDevice*>& slot) {
      QVTCPIPDevice* mine = device;
      return slot.compare_exchange_strong(mine, nullptr);
    });
  }
  // A handler that read the slot before it was cleared may still be closing
  // the device; it takes no lock and ends in a moment.
  while (shared.slotWalkers.load() != 0) std::this_thread::yield();
}

bool QVTCPIPWorld::SignalThreadRunningQ() {
  Shared& shared = State();
  std::lock_guard<std::mutex> hold(shared.devicelistmh);
  return shared.signalthread != nullptr;
}

std::atomic<int>* QVTCPIPWorld::getSigNumber() { return &State().signumber; }

void QVTCPIPWorld::SignalHandler(int number) {
  Shared& shared = State();
  if (number == SIGHUP || number == SIGBUS || number == SIGSEGV) {
    const int saved = errno;
    shared.slotWalkers.fetch_add(1);
    ForEachSlot(shared.slots, [](std::atomic<QVTCPIPDevice*>& slot) {
      QVTCPIPDevice* device = slot.load();
      if (device != nullptr) device->CloseEndPoints();
      return false;
    });
    shared.slotWalkers.fetch_sub(1);
    errno = saved;
    if (number == SIGHUP) return;
    // Returning would run the faulting instruction again, for ever: let the
    // signal end the process as it would without us.
    struct sigaction standard {};
    standard.sa_handler = SIG_DFL;
    sigemptyset(&standard.sa_mask);
    sigaction(number, &standard, nullptr);
    raise(number);
    return;
  }
  if (number == SIGIO || number == SIGURG) {
    const int saved = errno;
    shared.signumber.store(number);
    Wake();
    errno = saved;
  }
}

QVTCPIPWorld::QVTCPIPWorld() {
  Shared& shared = State();
  std::lock_guard<std::mutex> hold(shared.devicelistmh);
  OpenWakePipe();
  if (shared.signalthread == nullptr) {
    auto stop = std::make_shared<std::atomic<bool>>(false);
    shared.signalthread.reset(caught([stop] { SignalThreadBody(stop); }));
    shared.stop = stop;
  }
  ++shared.numberofworlds;
}

QVTCPIPWorld::~QVTCPIPWorld() {
  {
    std::lock_guard<std::mutex> hold(interfaceLock);
    stopInterface = true;
  }
  interfaceWake.notify_all();
  if (interfaceThread) {
    try {
      interfaceThread->Join();
    } catch (const QVException&) {
    }
  }
  Shared& shared = State();
  std::unique_ptr<QVThread> ending;
  {
    std::lock_guard<std::mutex> hold(shared.devicelistmh);
    if (--shared.numberofworlds <= 0 && shared.signalthread) {
      shared.numberofworlds = 0;
      // The next world made starts a new thread.
      shared.stop->store(true);
      ending = std::move(shared.signalthread);
    }
  }
  if (ending) {
    Wake();
    try {
      ending->Join();
    } catch (const QVException&) {
    }
    shared.signumber.store(0);
  }
}

QVDevice* QVTCPIPWorld::MakeDevice(char* block) {
  auto device = std::make_unique<QVTCPIPDevice>(block, this);
  AddDevice(device.get());
  return device.release();
}

QVDevice* QVTCPIPWorld::MakeDeviceWithParameters(QVDeviceParameters* parameters) {
  auto device = std::make_unique<QVTCPIPDevice>(parameters, this);
  AddDevice(device.get());
  return device.release();
}

QVSignalHandlerList* QVTCPIPWorld::GetSignalHandlers() {
  auto list = std::make_unique<QVSignalHandlerList>();
  for (int number : {SIGIO, SIGURG, SIGSEGV, SIGBUS, SIGHUP}) {
    list->emplace_back(number, &QVTCPIPWorld::SignalHandler, false, false, true);
  }
  return list.release();
}

void QVTCPIPWorld::ReleaseSignalHandlers(QVSignalHandlerList* list) { delete list; }

QVString QVTCPIPWorld::Id() const {
  return QVString(kProtocolName) + " Device: version(3.0.0) built(" + GetCompileTime() + ")";
}

QVString QVTCPIPWorld::GetCompileTime() const { return QVString(__DATE__ ":" __TIME__); }

void QVTCPIPWorld::PrintWorld(std::ostream& os) const {
  os << "<QVTCPIPWorld><Id>" << Id() << "</Id><InitializedInterfaceThread>" << (interfaceStarted.load() ? 1 : 0)
     << "</InitializedInterfaceThread></QVTCPIPWorld>";
}

void QVTCPIPWorld::StartInterfaceThread() {
  std::lock_guard<std::mutex> hold(startLock);
  if (interfaceStarted.load()) return;
  container.reset(QVInterfaceContainerFactory::MakeContainer());
  if (!container) {
    throw QVException("Unable to allocate interface thread threading object.", kSource, __LINE__,
                      qvexceptiontype::outOfMemory, 0);
  }
  interfaceThread.reset(caught([this] { InterfaceWatch(); }));
  interfaceStarted.store(true);
}

void QVTCPIPWorld::InterfaceWatch() {
  QVThread::SetName("TCPIP-IPInterfaceThread");
  std::unique_lock<std::mutex> hold(interfaceLock);
  while (!stopInterface) {
    try {
      if (container->InterfacesChangedQ()) container->ReloadInterfaces();
    } catch (const QVException&) {
    }
    interfaceWake.wait_for(hold, std::chrono::seconds(20), [this] { return stopInterface; });
  }
}

QVString QVTCPIPWorld::GetInterface() {
  StartInterfaceThread();
  std::lock_guard<std::mutex> hold(interfaceLock);
  return container->GetPreferredInterface();
}

QVInterfaceContainer* QVTCPIPWorld::GetInterfaceContainer() {
  StartInterfaceThread();
  return container.get();
}

std::mutex& QVTCPIPWorld::GetInterfaceThreadMutex() {
  StartInterfaceThread();
  return interfaceLock;
}

long QVTCPIPInterface(void* object, qvdeviceselector selector, void* a1, void* a2) noexcept {
  return qvdevice_main<QVTCPIPWorld, QVTCPIPDevice>(object, selector, a1, a2);
}

}  // namespace Quorvane
