// Link storage, name records and the queue dispatcher shared by the link files.
#include "api/qvlinkparts.h"

#include <new>

namespace {

void* MemoryAllocate(void* globals, uint64_t size) {
  return general_push(&static_cast<QVLink_globals*>(globals)->pool, size);
}

void MemoryRelease(void* globals, void* block) {
  general_pop(&static_cast<QVLink_globals*>(globals)->pool, block);
}

}  // namespace

QVLink* QVAllocLink(QVLink_globals* globals) noexcept {
  void* block = GeneralAlloc(&globals->pool, sizeof(QVLink), nullptr);
  if (block == nullptr) return nullptr;
  auto* link = new (block) QVLink();
  link->globals = globals;
  return link;
}

void QVDeallocLink(QVLink* link) noexcept {
  if (link == nullptr) return;
  QVLink_globals* globals = link->globals;
  link->~QVLink();
  GeneralDealloc(&globals->pool, link, nullptr);
}

rs_memory_stack QVLinkMemory(QVLink_globals* globals) noexcept {
  return rs_memory_stack{MemoryAllocate, MemoryRelease, globals};
}

uint64_t q_thing_dispatch(int operation, useritem_dkt* item, dup_stack* stack) {
  const uint64_t answer = qvqk__dispatch(operation, item, stack);
  if (answer != 0) return answer;
  auto* queue = static_cast<_queue*>(item->value);
  if (queue == nullptr) return 0;
  if (operation == DK_COPY) {
    int error = 0;
    item->value = qvqueue_newfork(queue, qvqueue_userdata(queue), &error);
    if (item->value == nullptr) return error != 0 ? static_cast<uint64_t>(error) : 8;
  } else if (operation == DK_RELEASE) {
    qvqueue_destroy(queue);
    item->value = nullptr;
  }
  return 0;
}

qvlink_name_record* QVNewNameRecord(QVLink_globals* globals) noexcept {
  auto* record = static_cast<qvlink_name_record*>(GeneralAlloc(&globals->pool, sizeof(qvlink_name_record), nullptr));
  if (record == nullptr) return nullptr;
  *record = qvlink_name_record{globals->takeLinkNumber(), nullptr, nullptr, nullptr};
  return record;
}

void QVDropNameRecord(QVLink* link, bool giveNumberBack) noexcept {
  qvlink_name_record* record = link->nameRecord;
  if (record == nullptr) return;
  QVLink_globals* globals = link->globals;
  globals->removeLink(record->number, link);
  if (giveNumberBack) globals->giveLinkNumberBack(record->number);
  GeneralDealloc(&globals->pool, record, nullptr);
  link->nameRecord = nullptr;
}
