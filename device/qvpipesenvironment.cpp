// Process-wide state of the Pipes worlds and its signal handling.
//
// The handler runs in signal context, in the middle of any change on any
// thread. So it never walks the maps the threads change: each change
// publishes an immutable snapshot (the child tables, the distinct message
// handlers of launched devices) behind an atomic pointer, and a count of
// readers keeps an old snapshot alive while a handler may hold it. The
// threads change the tables with the signals the handler serves blocked, so
// a handler never interrupts a change on its own thread.
#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <map>
#include <mutex>
#include <new>
#include <vector>

#include "device/qvmessagelayer.h"
#include "device/qvpipes.h"
#include "device/qvpipesrecord.h"
#include "utilities/platform/qvsignals.h"
#include "utilities/qvchildreaper.h"
#include "utilities/qvsignalhandlermanager.h"
#include "utilities/qvsignalsblocked.h"

namespace Quorvane::pipes {

namespace {

struct HandlerEntry {
  qv_message_handler handler;
  void* cookie;
};

struct Snapshot {
  Snapshot* retiredNext;
  size_t tableCount;
  size_t handlerCount;
  _qvchild** tables() { return reinterpret_cast<_qvchild**>(this + 1); }
  HandlerEntry* handlers() { return reinterpret_cast<HandlerEntry*>(tables() + tableCount); }
};

// Made with the first environment, gone with the last.
struct Tables {
  // Each environment's launched devices, by environment number.
  std::map<uint64_t, std::vector<Record*>> pipe_device_table;
  // Each environment's child table, by environment number.
  std::map<uint64_t, _qvchild*> pipe_child_table;
  // The next environment number.
  uint64_t pipe_device_table_number = 0;
  long pipe_active_device_environments = 0;
};

// How long a change waits for the handlers that may hold an old snapshot.
constexpr std::chrono::milliseconds kDrainWait{50};

std::mutex pipe_device_table_mutex;
Tables* gTables = nullptr;  // under pipe_device_table_mutex
Snapshot* gRetired = nullptr;
std::atomic<Snapshot*> gCurrent{nullptr};
std::atomic<int> gReaders{0};

std::atomic<Record*> only_signaled_device{nullptr};
std::atomic<qv_message_handler> signaled_device_handler{nullptr};
std::atomic<void*> signaled_device_msgcookie{nullptr};
// The code of the last message that came as a signal, 0 for none; a signal
// carries no argument, so the message's argument is always 0.
std::atomic<uint64_t> signaled_device_message{0};
// The thread that made the signal-messaged device, the one that waits on it,
// by its system number (0 for none): a thread handle would be unsafe to use
// once that thread ended, the number is merely refused.
std::atomic<long> gSignaledOwner{0};

// pipe_device_table_mutex taken with the signals pipe_signal_handler serves blocked on
// this thread: a handler here could otherwise call into a change (a message
// handler closing a device) while this thread holds the mutex.
class TableLock {
 public:
  TableLock() noexcept : blocked_({SIGCHLD, SIGTERM, SIGINT, SIGABRT}), guard_(pipe_device_table_mutex) {}

 private:
  SignalsBlocked blocked_;
  std::lock_guard<std::mutex> guard_;
};

// Shows next to the handlers and keeps the old snapshot for DrainRetired.
// Under pipe_device_table_mutex.
void Replace(Snapshot* next) {
  Snapshot* old = gCurrent.exchange(next);
  if (old != nullptr) {
    old->retiredNext = gRetired;
    gRetired = old;
  }
}

// Builds and publishes the snapshot of the tables; frees what no handler
// can still hold. Under pipe_device_table_mutex.
void Publish() {
  std::vector<_qvchild*> tables;
  std::vector<HandlerEntry> handlers;
  if (gTables != nullptr) {
    for (auto& [number, table] : gTables->pipe_child_table) tables.push_back(table);
    for (auto& [number, list] : gTables->pipe_device_table) {
      for (Record* record : list) {
        if (record->handler == nullptr) continue;
        bool seen = false;
        for (const HandlerEntry& entry : handlers) seen = seen || entry.handler == record->handler;
        if (!seen) handlers.push_back(HandlerEntry{record->handler, record->handlerCookie});
      }
    }
  }
  Snapshot* next = nullptr;
  if (!tables.empty() || !handlers.empty()) {
    void* block = std::malloc(sizeof(Snapshot) + tables.size() * sizeof(_qvchild*) +
                              handlers.size() * sizeof(HandlerEntry));
    if (block == nullptr) throw std::bad_alloc();
    next = static_cast<Snapshot*>(block);
    next->retiredNext = nullptr;
    next->tableCount = tables.size();
    next->handlerCount = handlers.size();
    for (size_t i = 0; i < tables.size(); ++i) next->tables()[i] = tables[i];
    for (size_t i = 0; i < handlers.size(); ++i) next->handlers()[i] = handlers[i];
  }
  Replace(next);
}

// Waits until no handler can hold a snapshot retired so far, then frees them;
// so once a removal returns, no handler calls what it removed. A handler that
// does not finish (one that blocks, or the caller's own when a message
// handler makes the change) is waited for only a short while: the snapshots
// then stay retired, to be freed by a later change. Under TableLock.
void DrainRetired() {
  const auto deadline = std::chrono::steady_clock::now() + kDrainWait;
  while (gReaders.load() != 0) {
    if (std::chrono::steady_clock::now() >= deadline) return;
    sched_yield();
  }
  while (gRetired != nullptr) {
    Snapshot* going = gRetired;
    gRetired = going->retiredNext;
    std::free(going);
  }
}

// After a removal: what goes must never stay visible, so without memory for
// the smaller snapshot no snapshot is shown until the next change. Frees what
// no handler holds any more.
void PublishRemoval() {
  try {
    Publish();
  } catch (...) {
    Replace(nullptr);
  }
  DrainRetired();
}

class SnapshotReader {
 public:
  SnapshotReader() noexcept {
    gReaders.fetch_add(1);
    snapshot_ = gCurrent.load();
  }
  ~SnapshotReader() { gReaders.fetch_sub(1); }
  SnapshotReader(const SnapshotReader&) = delete;
  SnapshotReader& operator=(const SnapshotReader&) = delete;
  Snapshot* get() const { return snapshot_; }

 private:
  Snapshot* snapshot_;
};

// A process with no taker of signal messages keeps the signal's earlier
// meaning: the program's own handler runs through the manager, else the
// default action ends the process as it would have without the library.
void NobodyTakes(int number) {
  if (QVSignalHandlerManager::SafeManager::hasPreexistingOrExternalHandlerQ(number)) return;
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  sigaction(number, &fallback, nullptr);
  raise(number);  // blocked while the handler runs; the default acts on return
}

// A signal taken on another thread leaves the device's own thread asleep in
// its wait for input; SIGIO (the message layer's, harmless) cuts that wait
// short so the thread sees the message. An owner that has ended is left alone.
void WakeOwner() {
  const long owner = gSignaledOwner.load();
  if (owner == 0 || owner == platform::ThisThreadNumber()) return;
  struct sigaction current {};
  if (sigaction(SIGIO, nullptr, &current) != 0 || current.sa_handler == SIG_DFL || current.sa_handler == SIG_IGN) return;
  platform::SignalThreadOfThisProcess(owner, SIGIO);
}

void handle_message(int number, uint64_t code) {
  qv_message_handler handler = signaled_device_handler.load();
  if (handler != nullptr) {
    signaled_device_message.store(0);
    RVCallMessageHandler(handler, static_cast<QVLink*>(signaled_device_msgcookie.load()), static_cast<long>(code), 0);
    WakeOwner();
    return;
  }
  const bool slotTaken = only_signaled_device.load() != nullptr;
  if (slotTaken) {
    signaled_device_message.store(code);
    WakeOwner();
  }
  SnapshotReader reader;
  Snapshot* snapshot = reader.get();
  const size_t count = snapshot == nullptr ? 0 : snapshot->handlerCount;
  for (size_t i = 0; i < count; ++i) {
    const HandlerEntry& entry = snapshot->handlers()[i];
    RVCallMessageHandler(entry.handler, static_cast<QVLink*>(entry.cookie), static_cast<long>(code), 0);
  }
  if (!slotTaken && count == 0) NobodyTakes(number);
}

// Lets each environment's child table reap one finished child.
void watch_pids() {
  SnapshotReader reader;
  Snapshot* snapshot = reader.get();
  const size_t count = snapshot == nullptr ? 0 : snapshot->tableCount;
  for (size_t i = 0; i < count; ++i) qvchild_wait_for_pid(snapshot->tables()[i]);
}

}  // namespace

Environment* pipe_init(qv_allocator_fn allocator, qv_deallocator_fn deallocator) noexcept {
  auto* environment = static_cast<Environment*>(allocator(sizeof(Environment)));
  if (environment == nullptr) return nullptr;
  *environment = Environment{allocator, deallocator, qvchild_new(allocator, deallocator), 0};
  if (environment->children == nullptr) {
    deallocator(environment);
    return nullptr;
  }
  try {
    TableLock lock;
    if (gTables == nullptr) gTables = new Tables();
    environment->number = gTables->pipe_device_table_number++;
    gTables->pipe_device_table[environment->number];
    gTables->pipe_child_table[environment->number] = environment->children;
    ++gTables->pipe_active_device_environments;
    Publish();
    DrainRetired();
    return environment;
  } catch (...) {
    pipe_deinit(environment);
    return nullptr;
  }
}

void pipe_deinit(Environment* environment) noexcept {
  if (environment == nullptr) return;
  {
    TableLock lock;
    if (gTables != nullptr && gTables->pipe_child_table.erase(environment->number) != 0) {
      gTables->pipe_device_table.erase(environment->number);
      PublishRemoval();
      if (--gTables->pipe_active_device_environments == 0) {
        delete gTables;
        gTables = nullptr;
      }
    }
  }
  // No handler reaps for this table any more: what it launched and is still
  // running is reaped by the last keeper of children.
  qvchild_hand_over_unended(environment->children);
  QVChildReaper::settle(QVChildReaper::kEndingBound);
  qvchild_destroy(environment->children);
  environment->deallocator(environment);
}

bool AddLaunched(Record* record) noexcept {
  try {
    TableLock lock;
    if (gTables == nullptr) return false;
    auto list = gTables->pipe_device_table.find(record->environment->number);
    if (list == gTables->pipe_device_table.end()) return false;
    list->second.push_back(record);
    return true;
  } catch (...) {
    return false;
  }
}

void RemoveLaunched(Record* record) noexcept {
  TableLock lock;
  if (gTables == nullptr) return;
  auto list = gTables->pipe_device_table.find(record->environment->number);
  if (list == gTables->pipe_device_table.end()) return;
  std::erase(list->second, record);
  PublishRemoval();
}

void HandlersChanged() noexcept {
  TableLock lock;
  try {
    Publish();
  } catch (...) {
    return;  // the old snapshot stays in force
  }
  DrainRetired();
}

bool ClaimSignaledSlot(Record* record) noexcept {
  Record* empty = nullptr;
  if (!only_signaled_device.compare_exchange_strong(empty, record)) return false;
  gSignaledOwner.store(platform::ThisThreadNumber());
  return true;
}

bool IsSignaledDevice(const Record* record) noexcept {
  return record != nullptr && only_signaled_device.load() == record;
}

void ReleaseSignaledSlot(const Record* record) noexcept {
  if (!IsSignaledDevice(record)) return;
  signaled_device_handler.store(nullptr);
  signaled_device_msgcookie.store(nullptr);
  signaled_device_message.store(0);
  gSignaledOwner.store(0);
  only_signaled_device.store(nullptr);
}

void SetSignaledHandler(qv_message_handler handler, void* cookie) noexcept {
  // A handler never meets the cookie of another: the handler goes first.
  signaled_device_handler.store(nullptr);
  signaled_device_msgcookie.store(cookie);
  signaled_device_handler.store(handler);
}

void SignaledHandler(qv_message_handler* handler, void** cookie) noexcept {
  *handler = signaled_device_handler.load();
  if (cookie != nullptr) *cookie = signaled_device_msgcookie.load();
}

bool TakeSignaledMessage(uint64_t* code, uint64_t* argument, bool clear) noexcept {
  const uint64_t stored = clear ? signaled_device_message.exchange(0) : signaled_device_message.load();
  if (code != nullptr) *code = stored;
  if (argument != nullptr) *argument = 0;
  return stored != 0;
}

void ReapChildren(Environment* environment) noexcept {
  if (environment != nullptr) qvchild_wait_for_pid(environment->children);
}

}  // namespace Quorvane::pipes

void pipe_signal_handler(int number) noexcept {
  using namespace Quorvane::pipes;
  const int savedErrno = errno;
  switch (number) {
    case SIGINT: handle_message(number, 2); break;
    case SIGABRT: handle_message(number, 3); break;
    case SIGTERM: handle_message(number, 1); break;
    case SIGCHLD: watch_pids(); break;
    default: break;
  }
  errno = savedErrno;
}
