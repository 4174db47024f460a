// The process-wide registry of devices with message handlers, and its
// dispatch from SIGIO and SIGURG.
//
// The dispatch runs in signal context, possibly in the middle of a change on
// the same thread or concurrently on another one. So the registry is an
// immutable snapshot behind an atomic pointer: a change builds a new array
// and publishes it; the handler only loads the pointer, with a count of
// readers that keeps an old snapshot alive until no dispatch can hold it.
// Old snapshots are freed by the changing thread, with the two signals
// blocked there. The handler allocates nothing, takes no lock and throws
// nothing; it keeps errno as it found it.
//
// A change that takes an entry out (or replaces it) returns only once no
// dispatch that may still hold the old entry is running, so the caller may
// then close the descriptors and free the device. Dispatches run one at a
// time and count their rounds: the change waits for the end of the round in
// progress when it published, never for a later one.
#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <mutex>

#include "device/qvmessagelayer.h"
#include "utilities/platform/qvreadiness.h"
#include "utilities/qvsignalsblocked.h"

namespace {

namespace platform = Quorvane::platform;

constexpr int kSelectAttempts = 10;
// Messages taken from one device per round. Signals of one kind merge while
// one is pending, so a dispatch drains what came; a device with more waiting
// gets another round after the others had their turn.
constexpr int kMessagesPerRound = 64;

struct Entry {
  void* device;
  qv_message_reader reader;
  qv_message_handler handler;
  void* cookie;
  int messageFd;
  int dataFd;
};

// Newest entry first. Made with malloc, entries following the header.
struct Snapshot {
  Snapshot* retiredNext;
  size_t count;
  Entry* entries() { return reinterpret_cast<Entry*>(this + 1); }
  const Entry* entries() const { return reinterpret_cast<const Entry*>(this + 1); }
};
static_assert(alignof(Entry) <= alignof(Snapshot));

// The devices with message handlers, as the dispatch sees them now.
std::atomic<Snapshot*> devswithhandlers{nullptr};
std::atomic<int> gReaders{0};
std::atomic<bool> gDispatching{false};
// Odd while a dispatch round runs; the thread that runs it.
std::atomic<uint64_t> gDispatchRound{0};
std::atomic<pthread_t> gDispatcher{};

// Changes: one at a time, never from signal context.
std::mutex& ChangeLock() {
  static std::mutex lock;
  return lock;
}
Snapshot* gRetired = nullptr;  // under ChangeLock

Snapshot* MakeSnapshot(size_t count) {
  void* block = std::malloc(sizeof(Snapshot) + count * sizeof(Entry));
  if (block == nullptr) return nullptr;
  Snapshot* made = static_cast<Snapshot*>(block);
  made->retiredNext = nullptr;
  made->count = count;
  return made;
}

// Publishes next (may be null for an empty registry) and frees what no
// dispatch can still hold. Under ChangeLock.
void Publish(Snapshot* next) {
  Snapshot* old = devswithhandlers.exchange(next);
  if (old != nullptr) {
    old->retiredNext = gRetired;
    gRetired = old;
  }
  // A dispatch counts itself before it loads the pointer: with no reader
  // counted now, none can hold a snapshot retired before this moment.
  if (gReaders.load() != 0) return;
  while (gRetired != nullptr) {
    Snapshot* going = gRetired;
    gRetired = going->retiredNext;
    std::free(going);
  }
}

long IndexOf(const Snapshot* snapshot, const void* device) {
  if (snapshot == nullptr) return -1;
  const Entry* entries = snapshot->entries();
  for (size_t i = 0; i < snapshot->count; ++i) {
    if (entries[i].device == device) return static_cast<long>(i);
  }
  return -1;
}

// Called after publishing: returns once the dispatch round that was running
// then (and may have loaded the old snapshot) has ended. A round that runs
// further down this thread's own stack (a handler that changes the registry)
// is not waited for; that round checks its entries again itself.
void WaitForTheRoundInProgress() noexcept {
  const uint64_t round = gDispatchRound.load();
  if (round % 2 == 0) return;
  if (pthread_equal(gDispatcher.load(), pthread_self()) != 0) return;
  while (gDispatchRound.load() == round) sched_yield();
}

// The registry with the device's entry replaced, put first, or taken out.
enum class Change { kSet, kRemove };

// 1 when done, 0 when refused; *replaced tells whether an old entry went.
int Apply(Change change, const Entry& entry, bool* replaced) {
  std::lock_guard<std::mutex> guard(ChangeLock());
  Snapshot* current = devswithhandlers.load();
  const long found = IndexOf(current, entry.device);
  const size_t count = current == nullptr ? 0 : current->count;
  if (change == Change::kRemove && found < 0) return 0;
  if (change == Change::kRemove && count == 1) {
    Publish(nullptr);
    *replaced = true;
    return 1;
  }
  const size_t nextCount = change == Change::kRemove ? count - 1 : (found < 0 ? count + 1 : count);
  Snapshot* next = MakeSnapshot(nextCount);
  if (next == nullptr) return 0;
  Entry* to = next->entries();
  size_t at = 0;
  if (change == Change::kSet && found < 0) to[at++] = entry;
  for (size_t i = 0; i < count; ++i) {
    const Entry& old = current->entries()[i];
    if (static_cast<long>(i) != found) {
      to[at++] = old;
    } else if (change == Change::kSet) {
      to[at++] = entry;  // overwritten in place, keeping its turn
    }
  }
  Publish(next);
  *replaced = found >= 0;
  return 1;
}

int ChangeRegistry(Change change, const Entry& entry) noexcept {
  try {
    // SIGIO and SIGURG kept from this thread while the change is made.
    Quorvane::SignalsBlocked blocked({SIGIO, SIGURG});
    bool replaced = false;
    const int done = Apply(change, entry, &replaced);
    if (replaced) WaitForTheRoundInProgress();
    return done;
  } catch (...) {
    return 0;
  }
}

// Whether the entry a round took from its snapshot is still registered as it
// was: a handler on this thread may have changed the registry meanwhile. The
// round's reader count keeps every snapshot it loads alive.
bool StillRegistered(const Snapshot* seen, const Entry& entry) {
  const Snapshot* now = devswithhandlers.load();
  if (now == seen) return true;
  const long found = IndexOf(now, entry.device);
  if (found < 0) return false;
  const Entry& current = now->entries()[found];
  return current.reader == entry.reader && current.messageFd == entry.messageFd && current.dataFd == entry.dataFd;
}

std::atomic<bool> gDispatchAgain{false};

void Deliver(const Snapshot* seen, const Entry& entry) {
  if (entry.reader == nullptr) return;
  for (int taken = 0; taken < kMessagesPerRound; ++taken) {
    if (!StillRegistered(seen, entry)) return;
    uint64_t code = 0;
    uint64_t argument = 0;
    if (entry.reader(entry.device, &code, &argument) == 0) return;
    if (entry.handler != nullptr) {
      RVCallMessageHandler(entry.handler, static_cast<QVLink*>(entry.cookie), static_cast<long>(code),
                           static_cast<long>(argument));
    }
  }
  gDispatchAgain.store(true);
}

// One batch of entries: a pure poll, then the entries found ready in order.
// A poll that keeps failing leaves every entry of the batch to be asked,
// which a reader that never waits answers harmlessly.
void DispatchBatch(const Snapshot* seen, const Entry* entries, size_t count) {
  platform::QVReadinessEntry watch[platform::kReadinessBatch];
  for (size_t i = 0; i < count; ++i) {
    const bool hasMessageFd = entries[i].messageFd >= 0;
    watch[i].fd = hasMessageFd ? entries[i].messageFd : entries[i].dataFd;
    watch[i].want = hasMessageFd ? platform::kReadinessReadable : platform::kReadinessExceptional;
    watch[i].got = 0;
  }
  int found = -1;
  for (int attempt = 0; attempt < kSelectAttempts && found < 0; ++attempt) {
    found = platform::CheckReadiness(watch, count, 0);
    if (found < 0 && errno != EINTR) break;
  }
  if (found == 0) return;
  for (size_t i = 0; i < count; ++i) {
    if (watch[i].fd < 0) continue;
    const bool ready = found < 0 || (watch[i].got & watch[i].want) != 0;
    if (ready) Deliver(seen, entries[i]);
  }
}

// Under gDispatching.
void DispatchOnce() {
  gDispatchRound.fetch_add(1);  // odd before the snapshot is loaded
  gReaders.fetch_add(1);
  Snapshot* snapshot = devswithhandlers.load();
  if (snapshot != nullptr) {
    const Entry* entries = snapshot->entries();
    for (size_t start = 0; start < snapshot->count; start += platform::kReadinessBatch) {
      const size_t left = snapshot->count - start;
      DispatchBatch(snapshot, entries + start, left < platform::kReadinessBatch ? left : platform::kReadinessBatch);
    }
  }
  gReaders.fetch_sub(1);
  gDispatchRound.fetch_add(1);
}

}  // namespace

void unix_signal_handler(int) noexcept {
  const int savedErrno = errno;
  // One dispatch at a time: a signal that finds one running (on another
  // thread, or the one it interrupted) asks it for another round instead.
  gDispatchAgain.store(true);
  while (gDispatchAgain.load() && !gDispatching.exchange(true)) {
    gDispatcher.store(pthread_self());
    while (gDispatchAgain.exchange(false)) DispatchOnce();
    gDispatching.store(false);
  }
  errno = savedErrno;
}

int unix_setmsghandler(void* device, qv_message_reader reader, qv_message_handler handler, void* cookie,
                       int messageFd, int dataFd) noexcept {
  const Entry entry{device, reader, handler, cookie, messageFd, dataFd};
  if (handler == nullptr) {
    ChangeRegistry(Change::kRemove, entry);
    return 1;
  }
  return ChangeRegistry(Change::kSet, entry);
}

int unix_getmsghandler(void* device, qv_message_handler* handler, void** cookie) noexcept {
  gReaders.fetch_add(1);
  Snapshot* snapshot = devswithhandlers.load();
  const long found = IndexOf(snapshot, device);
  if (found >= 0) {
    const Entry& entry = snapshot->entries()[found];
    if (handler != nullptr) *handler = entry.handler;
    if (cookie != nullptr) *cookie = entry.cookie;
  }
  gReaders.fetch_sub(1);
  return found >= 0 ? 1 : 0;
}

int unix_rmvmsghandler(void* device) noexcept {
  return ChangeRegistry(Change::kRemove, Entry{device, nullptr, nullptr, nullptr, -1, -1});
}
