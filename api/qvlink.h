// A link: one end of a connection that carries expressions. It holds the
// codec's read state and (shared with its duplicates) write state, the device
// stack (also shared), its own queue stack, a name record from the pool, the
// error code, what the handshake learnt of the peer, the dictionaries in use,
// the log handle and the optional per-link recursive lock.
//
// Links are made by QVInternalMake (or duplicated) and end in QVDestroy; their
// storage comes from the environment's link pool. Established on first use or
// by RVEstablish.
#pragma once

#include <cstdint>
#include <mutex>

#include "api/qvfeatureset.h"
#include "api/qvlinkglobals.h"
#include "api/qvreadstate.h"
#include "api/qvwritestate.h"
#include "datastructures/qvdevicestack.h"
#include "datastructures/qvqueuestack.h"
#include "device/qvdeviceinstance.h"
#include "quorvane.h"  // the public link calls
#include "text/qvstringdictionary.h"
#include "utilities/qvlinklog/qvlinklog.h"
#include "utilities/qvmemorypool.h"
#include "utilities/qvobject.h"
#include "utilities/qvsmartpointer.h"
#include "utilities/qvthreadprimitives.h"

struct _qvsymbol_variant_env;
class qv_environment;

// The peer's environment id is kept to this many characters, so a buffer of
// kEnvironmentIdBuffer bytes always holds it with its NUL.
inline constexpr size_t kPeerEnvIdLimit = 255;

// The link's number, name and user data, one pool block per link.
struct qvlink_name_record {
  int64_t number;
  char* name;  // pool text, or null
  void* user_data;
  void (*user_function)(QVLink* link);  // called when the link is destroyed
};

class QVLink : public Quorvane::QVObject {
 public:
  QVLink() = default;
  // Releases the handles in the order: lock (the retired one first), log,
  // string dictionary, symbol dictionary, mark pool, peer id.
  ~QVLink() override;
  QVLink(const QVLink&) = delete;
  QVLink& operator=(const QVLink&) = delete;

  read_state readState{};
  write_state* writeState = nullptr;
  device_kebab* deviceStack = nullptr;
  qv_queue_stack queueStack{};
  qvlink_name_record* nameRecord = nullptr;
  QVLink_globals* globals = nullptr;
  uint32_t error = 0;
  Quorvane::QVString peerEnvironmentId;  // at most kPeerEnvIdLimit characters
  int32_t valid = 0;
  Quorvane::QVSmartPointer<Quorvane::QVMemoryPool> markPool;
  _qvsymbol_variant_env* symbolReplacements = nullptr;
  Quorvane::QVSmartPointer<Quorvane::QVStringDictionary> symbolDictionary;
  uint8_t symbolDictionaryInUse = 0;
  Quorvane::QVSmartPointer<Quorvane::QVStringDictionary> stringDictionary;
  uint8_t stringDictionaryInUse = 0;
  uint8_t sixDigitUnicode = 1;
  Quorvane::QVSmartPointer<Quorvane::QVLinkLog> log;
  Quorvane::QVSmartPointer<Quorvane::QVMutexHandle> lock;
  // The lock last switched off, kept until the next switch-off or the link's
  // end: a call that took it just before still unlocks a live mutex.
  Quorvane::QVSmartPointer<Quorvane::QVMutexHandle> retiredLock;
  uint8_t lockOn = 0;
  void* serviceRegistration = nullptr;
  int32_t connectionMode = 0;
  void* userBlock = nullptr;  // RVSetUserBlock's pointer, apart from the name record

  // The environment this link belongs to, or null.
  qv_environment* environment() const;
};

// Holds the link lock for a scope when the link has it on; nothing otherwise.
// Off, it costs one test; on and uncontended, the in-process recursive mutex
// is taken without a system call. The guard keeps a plain pointer to the
// mutex: the handle that owns it lives in the link (or in retiredLock once
// switched off) for as long as a call may hold it.
class QVLinkLockGuard {
 public:
  // Holds nothing until lock().
  QVLinkLockGuard() noexcept = default;
  explicit QVLinkLockGuard(QVLink* link) noexcept { lock(link); }
  ~QVLinkLockGuard() { unlock(); }
  QVLinkLockGuard(const QVLinkLockGuard&) = delete;
  QVLinkLockGuard& operator=(const QVLinkLockGuard&) = delete;
  // Takes the link's lock when it is on and this guard holds none.
  void lock(QVLink* link) noexcept {
    if (held_ != nullptr || link == nullptr || link->lockOn == 0) return;
    Quorvane::QVMutexHandle* mutex = link->lock.get();
    if (mutex != nullptr && mutex->Lock()) held_ = mutex;
  }
  // Releases early; the destructor then does nothing.
  void unlock() noexcept {
    if (held_ == nullptr) return;
    held_->Unlock();
    held_ = nullptr;
  }

 private:
  Quorvane::QVMutexHandle* held_ = nullptr;
};

// A new link holding error 10, or null with the code in *error (32: no
// environment, 8: memory, or a queue code).
QVLink* QVInternalMake(QVLink_globals* globals, Quorvane::QVSmartPointer<Quorvane::QVDeviceInstance> device,
                       long* error) noexcept;
// RVEstablish, RVDuplicateLink, the names, numbers, user data and lock
// switches are public calls (quorvane.h).
void QVDestroy(QVLink* link, long* first, long* second) noexcept;
int QVMakeMarkPool(QVLink* link) noexcept;
void QVMakeLoopback(QVLink* link) noexcept;
void QVSetConnectionMode(QVLink* link, int32_t mode) noexcept;
using qvlink_user_function = RVUserFunction;
int QVGetLinkedEnvIDString0(QVLink* link, char* buffer) noexcept;
// Stores the peer's id as the handshake read it, cut to kPeerEnvIdLimit.
void QVSetLinkedEnvID(QVLink* link, const char* text, size_t length) noexcept;

// Error state.
int read_auto_correct(QVLink* link) noexcept;
int write_auto_correct(QVLink* link) noexcept;
