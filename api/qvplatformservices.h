// The platform services as the link core relies on them. Most are used as the
// platform layer has them (the using-declarations below name every one the
// link core may call); this is the one place where the link core's contract
// differs from the platform layer's, each difference one thin adapter:
//  - qvqueue_new and qvqueue_construct take (callbacks, cookie, flags): the
//    cookie is the queue's user word and flags its chunk size (0: 4096); the
//    maker's status is a long and is also set for a missing memory structure.
//  - qvqueue_getn answers the count read, 0 when nothing could be read.
//  - Locks, conditions and the thread module answer null or false where the
//    platform layer throws.
// Link-core code calls these as qvplatform::name.
#pragma once

#include <cstdint>

#include "datastructures/qvqueue.h"
#include "utilities/qvclibmemory.h"
#include "utilities/qvcondition.h"
#include "utilities/qvexception.h"
#include "utilities/qvfilemanager.h"
#include "utilities/qvlist.h"
#include "utilities/qvmemorypool.h"
#include "utilities/qvobject.h"
#include "utilities/qvprocess.h"
#include "utilities/qvsignalhandlermanager.h"
#include "utilities/qvsmartpointer.h"
#include "utilities/qvthreads.h"
#include "utilities/qvunixthreadmodule.h"

namespace qvplatform {

// Status words of qvqueue_new.
inline constexpr long kQueueStatusOk = QVQUEUE_ERR_NONE;
inline constexpr long kQueueStatusNoMemory = QVQUEUE_ERR_NOMEM;         // link error 8
inline constexpr long kQueueStatusNoMemstruct = QVQUEUE_ERR_NOQUEUE;    // link error 32: no queue memory

// A new empty queue over ms, or null with the status set (status may be null).
_queue* qvqueue_new(_queue_memstruct* ms, const _callback* callbacks, void* cookie, uint64_t flags,
                    long* status) noexcept;
// A queue in caller memory: -3 on success, -2 when ms or queue is null or the
// shared block cannot be had.
int qvqueue_construct(_queue_memstruct* ms, _queue* queue, const _callback* callbacks, void* cookie,
                      uint64_t flags) noexcept;
// Up to n bytes into buffer; the count read (0 when none could be had), -2 for
// a null queue or buffer.
int64_t qvqueue_getn(_queue* queue, void* buffer, int64_t n) noexcept;

using ::qvqueue_amount_between_marks;
using ::qvqueue_amount_left_in_queue;
using ::qvqueue_borrow_some;
using ::qvqueue_compare_marks;
using ::qvqueue_construct_and_savemark;
using ::qvqueue_destroy;
using ::qvqueue_destroy_memstruct;
using ::qvqueue_discardmark;
using ::qvqueue_get_byte_from_offset;
using ::qvqueue_get_memstruct;
using ::qvqueue_getc;
using ::qvqueue_isempty;
using ::qvqueue_new_memstruct;
using ::qvqueue_newfork;
using ::qvqueue_outstanding_marks;
using ::qvqueue_peekc;
using ::qvqueue_putc;
using ::qvqueue_putend;
using ::qvqueue_putn;
using ::qvqueue_putstart;
using ::qvqueue_putstop;
using ::qvqueue_putv;
using ::qvqueue_return_rest;
using ::qvqueue_savemark;
using ::qvqueue_savemark_from_offset;
using ::qvqueue_seek;
using ::qvqueue_seek_to_offset;
using ::qvqueue_seektoend;
using ::qvqueue_tell;
using ::qvqueue_transfer;
using ::qvqueue_ungetc;
using ::qvqueue_userdata;

using ::qvlinklist_destroy;
using ::qvlinklist_iterate;
using ::qvlinklist_iterate_reset;
using ::qvlinklist_length;

using ::qvstd_clib_allocator;
using ::qvstd_clib_deallocator;

// QVThreadsFactory's makers with null (or an empty handle) instead of an
// exception when the lock or condition cannot be made.
Quorvane::QVMutexHandle* CreateUnnamedHandle(Quorvane::_qvmutex kind, bool recursive) noexcept;
Quorvane::QVSmartPointer<Quorvane::QVMutexHandle> CreateUnnamedHandlePointer(Quorvane::_qvmutex kind,
                                                                             bool recursive) noexcept;
Quorvane::QVCondition* CreateUnnamedCondition(Quorvane::_qvcondition kind) noexcept;

// The thread module's start: false (never an exception) when the sync folder
// cannot be made or the record thread cannot be started.
bool initThreadModule() noexcept;
using Quorvane::deinitThreadModule;

}  // namespace qvplatform
