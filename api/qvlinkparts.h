// Helpers the link files share: link storage from the globals' pool, the
// allocator triple of a link's read state, and the dispatcher of its queues.
#pragma once

#include "api/qvlink.h"

// Storage for one link from the globals' pool, built; null without memory.
QVLink* QVAllocLink(QVLink_globals* globals) noexcept;
// Destroys and frees a link made by QVAllocLink; null ignored.
void QVDeallocLink(QVLink* link) noexcept;
// The read state's temporary buffers come from the globals' pool.
rs_memory_stack QVLinkMemory(QVLink_globals* globals) noexcept;
// A link's queue items: a copy forks the queue, a release destroys it.
uint64_t q_thing_dispatch(int operation, useritem_dkt* item, dup_stack* stack);
// A new name record with the next link number, or null; the counter moves
// only when the record is made.
qvlink_name_record* QVNewNameRecord(QVLink_globals* globals) noexcept;
// Takes the link out of the map, gives its number back when it was the last
// one taken, and frees the record.
void QVDropNameRecord(QVLink* link, bool giveNumberBack) noexcept;
// Keeps of a negotiated feature set only the binary types and encodings this
// side has, and gives it this side's conversion machinery.
void QVMaskFeatures(qv_environment* environment, feature_set* features) noexcept;
