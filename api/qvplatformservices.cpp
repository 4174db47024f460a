#include "api/qvplatformservices.h"

#include <memory>

namespace qvplatform {

using Quorvane::QVCondition;
using Quorvane::QVMutexHandle;
using Quorvane::QVSmartPointer;
using Quorvane::QVThreadsFactory;

_queue* qvqueue_new(_queue_memstruct* ms, const _callback* callbacks, void* cookie, uint64_t flags,
                    long* status) noexcept {
  if (ms == nullptr) {
    if (status != nullptr) *status = kQueueStatusNoMemstruct;
    return nullptr;
  }
  int error = QVQUEUE_ERR_NOMEM;
  _queue* queue = ::qvqueue_new(ms, callbacks, flags, cookie, &error);
  if (status != nullptr) *status = queue != nullptr ? kQueueStatusOk : error;
  return queue;
}

int qvqueue_construct(_queue_memstruct* ms, _queue* queue, const _callback* callbacks, void* cookie,
                      uint64_t flags) noexcept {
  return ::qvqueue_construct(ms, queue, callbacks, flags, cookie);
}

int64_t qvqueue_getn(_queue* queue, void* buffer, int64_t n) noexcept {
  const int64_t count = ::qvqueue_getn(queue, buffer, n);
  return count == -1 ? 0 : count;
}

QVMutexHandle* CreateUnnamedHandle(Quorvane::_qvmutex kind, bool recursive) noexcept {
  try {
    return QVThreadsFactory().CreateUnnamedHandle(kind, recursive);
  } catch (...) {
    return nullptr;
  }
}

QVSmartPointer<QVMutexHandle> CreateUnnamedHandlePointer(Quorvane::_qvmutex kind,
                                                         bool recursive) noexcept {
  // Both handles stay owned here until the smart pointer has taken them.
  std::unique_ptr<QVMutexHandle> handle(CreateUnnamedHandle(kind, recursive));
  std::unique_ptr<QVMutexHandle> share_lock(CreateUnnamedHandle(Quorvane::QVInProcessMutex, false));
  if (handle == nullptr || share_lock == nullptr) return {};
  try {
    QVSmartPointer<QVMutexHandle> pointer(handle.get(), share_lock.get());
    handle.release();
    share_lock.release();
    return pointer;
  } catch (...) {
    return {};
  }
}

QVCondition* CreateUnnamedCondition(Quorvane::_qvcondition kind) noexcept {
  try {
    return QVThreadsFactory().CreateUnnamedCondition(kind);
  } catch (...) {
    return nullptr;
  }
}

bool initThreadModule() noexcept {
  try {
    return Quorvane::initThreadModule();
  } catch (...) {
    return false;
  }
}

}  // namespace qvplatform
