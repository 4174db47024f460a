// A link's byte plumbing without a link, for the tests of the stream and the
// codec: the memory pool, a queue-stack environment, a device stack and a
// queue stack over a fresh input queue, set up as establishing a link leaves
// them (first write window taken, bytes-flushed count 1). Either loopback,
// with its 2048-byte window from the pool, or over a device instance (for
// example a scripted device).
#pragma once

#include <memory>

#include "api/qvmempool.h"
#include "datastructures/qvdevicestack.h"
#include "datastructures/qvqueuestack.h"

namespace qvtest {

// The dispatcher of a link's queue items: a copy becomes a fork of its queue,
// a release destroys the queue.
uint64_t LinkQueueDispatch(int operation, useritem_dkt* item, dup_stack* stack);

class LinkPlumbing {
 public:
  static constexpr int64_t kLoopbackWindow = 2048;

  // Null when memory runs out.
  static std::unique_ptr<LinkPlumbing> Loopback();
  // Connects the device and takes its first write window; null with the
  // device's code in *error when either fails.
  // chunk_size sizes the input queue's chunks (0: the queue's default), so a
  // test can make every read window that small.
  static std::unique_ptr<LinkPlumbing> OverDevice(
      Quorvane::QVSmartPointer<Quorvane::QVDeviceInstance> device, long* error = nullptr,
      uint64_t chunk_size = 0);
  ~LinkPlumbing();
  LinkPlumbing(const LinkPlumbing&) = delete;
  LinkPlumbing& operator=(const LinkPlumbing&) = delete;

  device_kebab* device() { return device_; }
  qv_queue_stack* queues() { return &queues_; }
  _queue* base() { return queues_.base; }
  mempool_qvt* pool() { return &pool_; }
  qvqk_environment* environment() { return environment_; }
  // A new empty queue over the link's memory, as an item with the link's
  // dispatcher (for pushing levels); its value is null when memory runs out.
  useritem_dkt NewQueueItem();

 private:
  LinkPlumbing() = default;
  bool Build();

  mempool_qvt pool_{};
  _queue_memstruct* memory_ = nullptr;
  qvqk_environment* environment_ = nullptr;
  qv_queue_stack queues_{};
  bool queues_built_ = false;
  uint64_t chunk_size_ = 0;
  device_kebab* device_ = nullptr;
  unsigned char* loopback_window_ = nullptr;
};

}  // namespace qvtest
