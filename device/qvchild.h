// The table of children a Pipes environment launched and how each one ended,
// fed by non-blocking waits. The SIGCHLD handler reaps through it in signal
// context, so the table guards its map with a flag the handler only tries:
// a reap that finds a thread changing the table leaves a note instead, and
// that thread reaps when its change is done.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <map>

#include "api/qvyield.h"

struct _qvchildstatus {
  int32_t rawStatus;
  int32_t kind;   // 0 running or not yet known, 1 exited, 2 killed, 3 stopped
  int32_t value;  // exit code, killing signal or stop signal
};

struct _qvchild {
  qv_allocator_fn allocator;
  qv_deallocator_fn deallocator;
  std::map<pid_t, _qvchildstatus*>* children;
  int32_t isStatic;
  std::atomic_flag busy;
  std::atomic<bool> reapWanted;  // a reap found the table busy
};

// Result convention of the changing routines.
inline constexpr int kQVChildFailure = 1;
inline constexpr int kQVChildSuccess = 2;

_qvchild* qvchild_new(qv_allocator_fn allocator, qv_deallocator_fn deallocator) noexcept;
_qvchild* qvchild_initialize(_qvchild* table, qv_allocator_fn allocator, qv_deallocator_fn deallocator) noexcept;
void qvchild_destroy(_qvchild* table) noexcept;
int qvchild_insert_pid(_qvchild* table, pid_t pid) noexcept;
int qvchild_delete_pid(_qvchild* table, pid_t pid) noexcept;
// Drops the children that ended (kinds 1 and 2); running and stopped ones stay.
int qvchild_remove_dead_pids(_qvchild* table) noexcept;
// Collects every status change waiting for the table's children, so signals
// that merged leave no zombie; an ended child's record is final. Safe in
// signal context.
int qvchild_wait_for_pid(_qvchild* table) noexcept;
// Gives every child of the table that has not ended to the last keeper of
// children (utilities/qvchildreaper.h), which reaps it when it ends; for a
// table whose SIGCHLD handling is about to go. The records stay.
int qvchild_hand_over_unended(_qvchild* table) noexcept;
int32_t qvchild_get_pid_status(_qvchild* table, pid_t pid) noexcept;
int32_t qvchild_get_stop_value(_qvchild* table, pid_t pid) noexcept;
