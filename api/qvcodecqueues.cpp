#include "api/qvcodecqueues.h"

namespace {
constexpr long kNoMemory = 8;
}

uint64_t qvcodec_queue_dispatch(int operation, useritem_dkt* item, dup_stack* stack) {
  qvqk__dispatch(operation, item, stack);
  auto* queue = static_cast<_queue*>(item->value);
  if (queue == nullptr) return 0;
  if (operation == DK_COPY) {
    int error = 0;
    item->value = qvqueue_newfork(queue, qvqueue_userdata(queue), &error);
    return item->value != nullptr ? 0 : kNoMemory;
  }
  if (operation == DK_RELEASE) {
    qvqueue_destroy(queue);
    item->value = nullptr;
  }
  return 0;
}

_queue* qvcodec_new_queue(qv_queue_stack* queues) {
  const _queue* base = queues->base;
  if (base == nullptr) return nullptr;
  int error = 0;
  return qvqueue_new_with_allocators(base->allocate, base->deallocate, nullptr, 0, nullptr, &error);
}

long qvcodec_push_queue(qv_queue_stack* queues, _queue* queue) {
  useritem_dkt* spare = dk__push_preflight(&queues->stack);
  if (spare == nullptr) {
    qvqueue_destroy(queue);
    return kNoMemory;
  }
  if (hasValue(spare)) freeItem(spare);
  *spare = useritem_dkt{queue, nullptr, qvcodec_queue_dispatch};
  if (qvqk__push(queues) != 0) {
    freeItem(spare);
    return kNoMemory;
  }
  return 0;
}

long qvcodec_push_bytes(qv_queue_stack* queues, const void* bytes, int64_t n) {
  _queue* queue = qvcodec_new_queue(queues);
  if (queue == nullptr) return kNoMemory;
  if (n > 0 && qvqueue_putn(queue, bytes, n) != n) {
    qvqueue_destroy(queue);
    return kNoMemory;
  }
  return qvcodec_push_queue(queues, queue);
}
