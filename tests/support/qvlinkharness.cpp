// Setting up and taking down a link's byte plumbing for tests.
#include "qvlinkharness.h"

#include "api/qvcodecqueues.h"

namespace qvtest {

namespace {

void* PoolAllocate(void* pool, uint64_t size) {
  return GeneralAlloc(static_cast<mempool_qvt*>(pool), size, nullptr);
}

void PoolDeallocate(void* pool, void* block) {
  GeneralDealloc(static_cast<mempool_qvt*>(pool), block, nullptr);
}

}  // namespace

uint64_t LinkQueueDispatch(int operation, useritem_dkt* item, dup_stack* stack) {
  return qvcodec_queue_dispatch(operation, item, stack);
}

bool LinkPlumbing::Build() {
  init_mempool(&pool_, internal_quorvane_allocator, internal_quorvane_deallocator);
  memory_ = qvqueue_new_memstruct(pool_.allocate, pool_.deallocate);
  const qvqk_allocator allocator = {PoolAllocate, PoolDeallocate, &pool_};
  environment_ = qvqk__begin(&allocator);
  if (memory_ == nullptr || environment_ == nullptr) return false;
  useritem_dkt bottom = NewQueueItem();
  if (bottom.value == nullptr) return false;
  if (qvqk__construct(environment_, &queues_, &bottom) != 0) {
    freeItem(&bottom);
    return false;
  }
  queues_built_ = true;
  device_ = new device_kebab();
  device_->references = 1;
  return true;
}

useritem_dkt LinkPlumbing::NewQueueItem() {
  _queue* queue = qvqueue_new(memory_, nullptr, chunk_size_, nullptr, nullptr);
  return useritem_dkt{queue, nullptr, LinkQueueDispatch};
}

std::unique_ptr<LinkPlumbing> LinkPlumbing::Loopback() {
  std::unique_ptr<LinkPlumbing> link(new LinkPlumbing());
  if (!link->Build()) return nullptr;
  link->loopback_window_ = static_cast<unsigned char*>(GeneralAlloc(&link->pool_, kLoopbackWindow, nullptr));
  if (link->loopback_window_ == nullptr) return nullptr;
  device_kebab* d = link->device_;
  d->loopback = 1;
  d->window_start = d->cursor = link->loopback_window_;
  d->window_size = d->room = kLoopbackWindow;
  d->bytes_flushed = 1;
  return link;
}

std::unique_ptr<LinkPlumbing> LinkPlumbing::OverDevice(
    Quorvane::QVSmartPointer<Quorvane::QVDeviceInstance> device, long* error, uint64_t chunk_size) {
  std::unique_ptr<LinkPlumbing> link(new LinkPlumbing());
  link->chunk_size_ = chunk_size;
  if (!link->Build()) return nullptr;
  device_kebab* d = link->device_;
  d->device = device;
  long code = 0;
  device->connect(&code);
  Quorvane::QVDeviceInstance::Window window{nullptr, 0};
  if (code == 0) window = device->writeWindow(&code);
  if (code != 0 || window.first == nullptr) {
    if (error != nullptr) *error = code != 0 ? code : 1;
    return nullptr;
  }
  d->window_start = d->cursor = reinterpret_cast<unsigned char*>(window.first);
  d->window_size = d->room = window.second;
  d->bytes_flushed = 1;
  return link;
}

LinkPlumbing::~LinkPlumbing() {
  if (queues_built_) {
    useritem_dkt bottom{};
    qvqk__deconstruct(&queues_, &bottom);
    freeItem(&bottom);
  }
  delete device_;
  GeneralDealloc(&pool_, loopback_window_, nullptr);
  qvqk__end(environment_);
  qvqueue_destroy_memstruct(memory_);
}

}  // namespace qvtest
