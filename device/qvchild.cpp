// The child table: launched children and how they ended.
#include "device/qvchild.h"

#include <signal.h>
#include <sys/wait.h>

#include <cerrno>
#include <new>
#include <vector>

#include "utilities/qvchildreaper.h"
#include "utilities/qvsignalsblocked.h"

namespace {

using ChildMap = std::map<pid_t, _qvchildstatus*>;

// Keeps this thread's SIGCHLD handler out of the table while it changes, and
// waits out a reap running on another thread. A reap that came while the
// table was held is made on leaving it: its SIGCHLD will not come again.
class TableHeld {
 public:
  explicit TableHeld(_qvchild* table) noexcept : blocked_({SIGCHLD}), table_(table) {
    while (table_->busy.test_and_set(std::memory_order_acquire)) {
    }
  }
  ~TableHeld() {
    table_->busy.clear();
    if (table_->reapWanted.load()) qvchild_wait_for_pid(table_);
  }
  TableHeld(const TableHeld&) = delete;
  TableHeld& operator=(const TableHeld&) = delete;

 private:
  Quorvane::SignalsBlocked blocked_;  // given back after the reap above
  _qvchild* table_;
};

bool Final(const _qvchildstatus& status) { return status.kind == 1 || status.kind == 2; }

void Classify(_qvchildstatus* status, int raw) {
  status->rawStatus = raw;
  if (WIFCONTINUED(raw)) {
    status->kind = 0;
    status->value = 0;
  } else if (WIFSTOPPED(raw)) {
    status->kind = 3;
    status->value = WSTOPSIG(raw);
  } else if (WIFSIGNALED(raw)) {
    status->kind = 2;
    status->value = WTERMSIG(raw);
  } else {
    status->kind = 1;
    status->value = WEXITSTATUS(raw);
  }
}

// A child may have stopped, gone on and ended since the last reap: each
// report is taken in turn, the last one stands; an ended child is final.
void ReapAll(_qvchild* table) {
  const int savedErrno = errno;
  for (auto& [pid, status] : *table->children) {
    if (Final(*status)) continue;
    int raw = 0;
    while (waitpid(pid, &raw, WNOHANG | WUNTRACED | WCONTINUED) == pid) {
      Classify(status, raw);
      if (Final(*status)) break;
    }
  }
  errno = savedErrno;
}

void Reset(_qvchild* table, qv_allocator_fn allocator, qv_deallocator_fn deallocator) {
  table->allocator = allocator;
  table->deallocator = deallocator;
  table->children = nullptr;
  table->busy.clear();
  table->reapWanted.store(false);
}

const _qvchildstatus* Find(_qvchild* table, pid_t pid) {
  if (table == nullptr || table->children == nullptr) return nullptr;
  auto found = table->children->find(pid);
  return found == table->children->end() ? nullptr : found->second;
}

}  // namespace

_qvchild* qvchild_new(qv_allocator_fn allocator, qv_deallocator_fn deallocator) noexcept {
  if (allocator == nullptr || deallocator == nullptr) return nullptr;
  void* block = allocator(sizeof(_qvchild));
  if (block == nullptr) return nullptr;
  _qvchild* table = new (block) _qvchild;
  if (qvchild_initialize(table, allocator, deallocator) == nullptr) {
    table->~_qvchild();
    deallocator(block);
    return nullptr;
  }
  table->isStatic = 0;
  return table;
}

_qvchild* qvchild_initialize(_qvchild* table, qv_allocator_fn allocator, qv_deallocator_fn deallocator) noexcept {
  if (table == nullptr || allocator == nullptr || deallocator == nullptr) return nullptr;
  Reset(table, allocator, deallocator);
  table->isStatic = 1;
  table->children = new (std::nothrow) ChildMap();
  return table->children == nullptr ? nullptr : table;
}

void qvchild_destroy(_qvchild* table) noexcept {
  if (table == nullptr) return;
  if (table->children != nullptr) {
    for (auto& [pid, status] : *table->children) table->deallocator(status);
    delete table->children;
    table->children = nullptr;
  }
  if (table->isStatic == 0) {
    qv_deallocator_fn deallocator = table->deallocator;
    table->~_qvchild();
    deallocator(table);
  }
}

int qvchild_insert_pid(_qvchild* table, pid_t pid) noexcept {
  if (table == nullptr || table->children == nullptr) return kQVChildFailure;
  TableHeld held(table);
  if (table->children->count(pid) != 0) return kQVChildSuccess;
  auto* status = static_cast<_qvchildstatus*>(table->allocator(sizeof(_qvchildstatus)));
  if (status == nullptr) return kQVChildFailure;
  *status = _qvchildstatus{0, 0, 0};
  try {
    table->children->emplace(pid, status);
  } catch (...) {
    table->deallocator(status);
    return kQVChildFailure;
  }
  return kQVChildSuccess;
}

int qvchild_delete_pid(_qvchild* table, pid_t pid) noexcept {
  if (table == nullptr || table->children == nullptr) return kQVChildFailure;
  TableHeld held(table);
  auto found = table->children->find(pid);
  if (found != table->children->end()) {
    table->deallocator(found->second);
    table->children->erase(found);
  }
  return kQVChildSuccess;
}

int qvchild_remove_dead_pids(_qvchild* table) noexcept {
  if (table == nullptr || table->children == nullptr) return kQVChildFailure;
  TableHeld held(table);
  for (auto it = table->children->begin(); it != table->children->end();) {
    if (Final(*it->second)) {
      table->deallocator(it->second);
      it = table->children->erase(it);
    } else {
      ++it;
    }
  }
  return kQVChildSuccess;
}

int qvchild_wait_for_pid(_qvchild* table) noexcept {
  if (table == nullptr || table->children == nullptr) return kQVChildFailure;
  // The note goes first: a holder that lets go after this sees it; one that
  // let go before leaves the table free here. A reap asked for while this
  // one ran is made by the next round.
  table->reapWanted.store(true);
  while (table->reapWanted.load()) {
    if (table->busy.test_and_set()) return kQVChildSuccess;
    table->reapWanted.store(false);
    ReapAll(table);
    table->busy.clear();
  }
  return kQVChildSuccess;
}

int qvchild_hand_over_unended(_qvchild* table) noexcept {
  if (table == nullptr || table->children == nullptr) return kQVChildFailure;
  qvchild_wait_for_pid(table);
  std::vector<pid_t> unended;
  {
    TableHeld held(table);
    try {
      for (const auto& [pid, status] : *table->children) {
        if (!Final(*status)) unended.push_back(pid);
      }
    } catch (...) {
      return kQVChildFailure;
    }
  }
  for (const pid_t pid : unended) Quorvane::QVChildReaper::handOver(pid);
  return kQVChildSuccess;
}

int32_t qvchild_get_pid_status(_qvchild* table, pid_t pid) noexcept {
  const _qvchildstatus* status = Find(table, pid);
  return status == nullptr ? -1 : status->kind;
}

int32_t qvchild_get_stop_value(_qvchild* table, pid_t pid) noexcept {
  const _qvchildstatus* status = Find(table, pid);
  return status == nullptr ? -1 : status->value;
}
