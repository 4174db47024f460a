// Making, establishing, duplicating and destroying links.
#include "api/qvlink.h"

#include "api/qvenvironment.h"
#include "api/qvhandshake.h"
#include "api/qvlinkparts.h"
#include "api/qvplatformservices.h"
#include "api/qvstream.h"
#include "api/qvsymbolreplacement.h"
#include "api/qvyield.h"

namespace {

constexpr int64_t kLoopbackWindow = 2048;

void CloseLink(QVLink* link) {
  long first = 0;
  long second = 0;
  QVDestroy(link, &first, &second);
}

void SetCode(long* out, long code) {
  if (out != nullptr) *out = code;
}

// The base queue and the queue stack over it; 0 or the code.
long BuildQueues(QVLink* link) {
  int error = 0;
  _queue* base = qvqueue_new(link->globals->queueMemory, nullptr, 0, nullptr, &error);
  if (base == nullptr) return error != 0 ? error : 8;
  const useritem_dkt bottom{base, nullptr, q_thing_dispatch};
  const long code = qvqk__construct(link->globals->queueKit, &link->queueStack, &bottom);
  if (code != 0) qvqueue_destroy(base);
  return code;
}

void DestroyQueues(QVLink* link) {
  useritem_dkt bottom{};
  qvqk__deconstruct(&link->queueStack, &bottom);
  if (bottom.value != nullptr) qvqueue_destroy(static_cast<_queue*>(bottom.value));
}

// Drops one holder of the device stack; the last frees it and, for a loopback
// link, its window.
void ReleaseDeviceStack(QVLink* link) {
  device_kebab* stack = link->deviceStack;
  link->deviceStack = nullptr;
  if (stack == nullptr || --stack->references != 0) return;
  if (!stack->device && stack->window_start != nullptr)
    GeneralDealloc(&link->globals->pool, stack->window_start, nullptr);
  delete stack;
}

void ReleaseWriteState(QVLink* link) {
  write_state* state = link->writeState;
  if (state == nullptr) return;
  link->writeState = nullptr;
  if (ws__dec_refcnt(state) == 0) {
    ws__deconstruct(state);
    GeneralDealloc(&link->globals->pool, state, nullptr);
  }
  rs_memory_stack memory = QVLinkMemory(link->globals);
  rs__deconstruct(&link->readState, &memory);
}

// The write window: a fresh 2048 bytes from the pool for loopback, else the
// device connects and lends its first window. 0 or the code.
long OpenWindow(QVLink* link) {
  device_kebab* stack = link->deviceStack;
  if (stack->loopback != 0) {
    if (stack->window_start == nullptr) {
      auto* window = static_cast<unsigned char*>(GeneralAlloc(&link->globals->pool, kLoopbackWindow, nullptr));
      if (window == nullptr) return 1;
      stack->window_start = window;
    }
    stack->cursor = stack->window_start;
    stack->window_size = stack->room = kLoopbackWindow;
    return 0;
  }
  if (!stack->device) return 1;
  long code = 0;
  stack->device->connect(&code);
  if (code != 0) return code;
  const Quorvane::QVDeviceInstance::Window window = stack->device->writeWindow(&code);
  if (code != 0) return code;
  if (window.first == nullptr) return 1;
  qvs__use_device_window(stack, reinterpret_cast<unsigned char*>(window.first), window.second);
  return 0;
}

void TakeBackLoopbackWindow(QVLink* link) {
  device_kebab* stack = link->deviceStack;
  if (stack->loopback == 0 || stack->device || stack->window_start == nullptr) return;
  GeneralDealloc(&link->globals->pool, stack->window_start, nullptr);
  stack->window_start = stack->cursor = nullptr;
  stack->window_size = stack->room = 0;
}

// The link's states from the negotiated features; 0 or the code.
long BuildStates(QVLink* link, qv_environment* environment, const feature_set& features) {
  int code = 0;
  const _qvnumeric_env_descriptor* remote = nullptr;
  {
    std::lock_guard<std::mutex> numerics(environment->numericsLock);
    remote = QVPeerNumericEnvDescription(environment->numericMap, features.numerics_id, &code);
  }
  if (remote == nullptr) return code != 0 ? code : 56;
  QVLink_globals* globals = link->globals;
  auto* state = static_cast<write_state*>(GeneralAlloc(&globals->pool, sizeof(write_state), nullptr));
  if (state == nullptr) return 8;
  Quorvane::QVStringDictionary* symbols = link->symbolDictionaryInUse != 0 ? link->symbolDictionary.get() : nullptr;
  Quorvane::QVStringDictionary* strings = link->stringDictionaryInUse != 0 ? link->stringDictionary.get() : nullptr;
  // The states' constructors answer 1 when built.
  if (ws__construct(state, &features, environment->ownDescriptor, remote, features.string_optimization, symbols,
                    strings) != 1) {
    GeneralDealloc(&globals->pool, state, nullptr);
    return 8;
  }
  state->six_digit_escapes = link->deviceStack->loopback != 0 ? 1 : link->sixDigitUnicode;
  // The text converter chooses escaped ASCII by its own copy of the flag.
  state->converter.six_digit = state->six_digit_escapes;
  const rs_memory_stack memory = QVLinkMemory(globals);
  if (rs__construct(&link->readState, state->features.dispatch, state->features.text_environment,
                    state->features.text_factory, &memory, environment->ownDescriptor, remote,
                    features.string_optimization, symbols, strings) != 1) {
    ws__deconstruct(state);
    GeneralDealloc(&globals->pool, state, nullptr);
    return 8;
  }
  link->writeState = state;
  link->deviceStack->bytes_flushed = 1;
  return 0;
}

}  // namespace

void QVMaskFeatures(qv_environment* environment, feature_set* features) noexcept {
  const feature_set& own = environment->ownFeatures;
  features->binary_types[0] &= own.binary_types[0];
  features->binary_types[1] &= own.binary_types[1];
  features->encodings.mask &= own.encodings.mask;
  features->dispatch = own.dispatch;
  features->text_environment = own.text_environment;
  features->text_factory = own.text_factory;
}

qv_environment* QVLink::environment() const { return globals != nullptr ? globals->environment : nullptr; }

QVLink::~QVLink() = default;

QVLink* QVInternalMake(QVLink_globals* globals, Quorvane::QVSmartPointer<Quorvane::QVDeviceInstance> device,
                       long* error) noexcept {
  if (globals == nullptr) {
    SetCode(error, 32);
    return nullptr;
  }
  QVSetLinkCloser(CloseLink);
  QVLink* link = QVAllocLink(globals);
  if (link == nullptr) {
    SetCode(error, 8);
    return nullptr;
  }
  link->error = 10;
  try {
    link->deviceStack = new device_kebab();
  } catch (...) {
    link->deviceStack = nullptr;
  }
  if (link->deviceStack == nullptr) {
    QVDeallocLink(link);
    SetCode(error, 8);
    return nullptr;
  }
  link->deviceStack->references = 1;
  link->deviceStack->device = device;
  link->nameRecord = QVNewNameRecord(globals);
  long code = link->nameRecord == nullptr ? 8 : BuildQueues(link);
  bool queuesBuilt = code == 0;
  qv_environment* environment = globals->environment;
  if (code == 0) {
    link->valid = 1;
    RVSetYieldFunction(link, nullptr);
    try {
      globals->addLink(link->nameRecord->number, link);
    } catch (...) {
      code = 8;
    }
  }
  if (code == 0) {
    link->symbolReplacements = QVNewSymbolVariantEnv(environment);
    if (link->symbolReplacements == nullptr) code = 8;
  }
  if (code == 0 && environment != nullptr && environment->threadSafeLinks != 0) {
    link->lock = qvplatform::CreateUnnamedHandlePointer(Quorvane::QVInProcessMutex, true);
    if (!link->lock) code = 8;
    link->lockOn = 1;
  }
  if (code == 0) {
    if (environment != nullptr) link->markPool = environment->memoryPool;
    SetCode(error, 0);
    return link;
  }
  if (link->symbolReplacements != nullptr) QVDestroySymbolVariantEnv(link->symbolReplacements);
  if (queuesBuilt) DestroyQueues(link);
  QVDropNameRecord(link, true);
  ReleaseDeviceStack(link);
  QVDeallocLink(link);
  SetCode(error, code);
  return nullptr;
}

int RVEstablish(QVLink* link, feature_set* given) noexcept {
  if (link == nullptr) return 0;
  qv_environment* environment = link->environment();
  QVLinkLockGuard guard(link);
  if (link->error != 10) return link->error == 0 ? 1 : 0;
  long code = link->deviceStack == nullptr || environment == nullptr ? 1 : OpenWindow(link);
  feature_set features{};
  if (code == 0) {
    if (given != nullptr) {
      features = *given;
    } else {
      code = feature_greeting(environment, link, link->deviceStack, &link->queueStack, &features);
      if (code == 0) QVMaskFeatures(environment, &features);
    }
  }
  if (code == 0) {
    code = BuildStates(link, environment, features);
    if (code != 0) TakeBackLoopbackWindow(link);
  }
  if (code == 0) {
    link->error = 0;
    // Read under the lock; the stop takes the lock again to clear it.
    void* const registration = link->serviceRegistration;
    guard.unlock();
    if (registration != nullptr) RVStopRegisteringLinkServiceForLink(environment, link, registration);
    return 1;
  }
  if (code != 41 && code != 25) link->error = 1;
  return 0;
}

int RVConnect(QVLink* link) noexcept { return RVEstablish(link, nullptr); }

int RVActivate(QVLink* link) noexcept { return RVEstablish(link, nullptr); }

QVLink* RVDuplicateLink(QVLink* source, const char* name, long* error) noexcept {
  if (source == nullptr) {
    SetCode(error, 999);
    return nullptr;
  }
  if (const long pending = RVError(source); pending != 0) {
    SetCode(error, pending);
    return nullptr;
  }
  QVLink_globals* globals = source->globals;
  QVLink* link = QVAllocLink(globals);
  if (link == nullptr) {
    SetCode(error, 8);
    return nullptr;
  }
  long code = 0;
  bool queuesCopied = false;
  bool readCopied = false;
  {
    QVLinkLockGuard guard(source);
    link->deviceStack = source->deviceStack;
    ++link->deviceStack->references;
    link->nameRecord = QVNewNameRecord(globals);
    if (link->nameRecord == nullptr) code = 8;
    if (code == 0) {
      code = qvqk__copy_construct(&link->queueStack, &source->queueStack);
      queuesCopied = code == 0;
    }
    if (code == 0) {
      link->writeState = source->writeState;
      ws__inc_refcnt(link->writeState);
      const rs_memory_stack memory = QVLinkMemory(globals);
      readCopied = rs__copy_construct(&link->readState, &source->readState, &memory) == 1;
      if (!readCopied) code = 8;
    }
  }
  if (code == 0) {
    link->valid = 1;
    if (name != nullptr && RVSetName(link, name) == nullptr) code = 8;
  }
  if (code == 0) {
    try {
      globals->addLink(link->nameRecord->number, link);
    } catch (...) {
      code = 8;
    }
  }
  if (code == 0) {
    link->symbolReplacements = QVDuplicateSymbolVariantEnv(source->symbolReplacements);
    if (link->symbolReplacements == nullptr) code = 8;
  }
  if (code == 0) {
    qv_environment* environment = link->environment();
    if (source->lockOn != 0) {
      link->lock = source->lock;
    } else if (environment != nullptr && environment->threadSafeLinks != 0) {
      // A thread-safe environment never hands out a link without a lock.
      link->lock = qvplatform::CreateUnnamedHandlePointer(Quorvane::QVInProcessMutex, true);
      if (!link->lock) code = 8;
    }
    link->lockOn = link->lock ? 1 : 0;
  }
  if (code == 0) {
    if (source->symbolDictionaryInUse != 0) {
      link->symbolDictionary = source->symbolDictionary;
      link->symbolDictionaryInUse = 1;
    }
    if (source->stringDictionaryInUse != 0) {
      link->stringDictionary = source->stringDictionary;
      link->stringDictionaryInUse = 1;
    }
    link->sixDigitUnicode = source->sixDigitUnicode;
    link->markPool = source->markPool;
    SetCode(error, 0);
    return link;
  }
  if (link->symbolReplacements != nullptr) QVDestroySymbolVariantEnv(link->symbolReplacements);
  if (readCopied) {
    rs_memory_stack memory = QVLinkMemory(globals);
    rs__deconstruct(&link->readState, &memory);
  }
  if (link->writeState != nullptr) ws__dec_refcnt(link->writeState);
  link->writeState = nullptr;
  if (queuesCopied) DestroyQueues(link);
  if (link->nameRecord != nullptr) {
    RVSetName(link, nullptr);
    QVDropNameRecord(link, true);
  }
  ReleaseDeviceStack(link);
  QVDeallocLink(link);
  SetCode(error, code);
  return nullptr;
}

void QVDestroy(QVLink* link, long* first, long* second) noexcept {
  SetCode(first, 0);
  SetCode(second, 0);
  if (link == nullptr) return;
  RVStopLoggingStream(link);
  {
    QVLinkLockGuard guard(link);
    if (link->error == 0) RVFlush(link);
    if (link->nameRecord != nullptr && link->nameRecord->user_function != nullptr)
      link->nameRecord->user_function(link);
    RVSetName(link, nullptr);
    QVDropNameRecord(link, false);
    ReleaseWriteState(link);
    DestroyQueues(link);
    ReleaseDeviceStack(link);
    if (link->symbolReplacements != nullptr) QVDestroySymbolVariantEnv(link->symbolReplacements);
    link->symbolReplacements = nullptr;
  }
  if (link->serviceRegistration != nullptr)
    RVStopRegisteringLinkServiceForLink(link->environment(), link, link->serviceRegistration);
  link->error = 999;
  link->valid = 0;
  QVDeallocLink(link);
}

int QVMakeMarkPool(QVLink* link) noexcept {
  if (link == nullptr) return 0;
  qv_environment* environment = link->environment();
  QVLinkLockGuard guard(link);
  if (environment != nullptr) link->markPool = environment->memoryPool;
  return 1;
}

void QVMakeLoopback(QVLink* link) noexcept {
  if (link == nullptr || link->deviceStack == nullptr) return;
  QVLinkLockGuard guard(link);
  link->deviceStack->loopback = 1;
  link->symbolDictionaryInUse = 0;
  link->stringDictionaryInUse = 0;
  qv_environment* environment = link->environment();
  if (environment == nullptr) return;
  std::lock_guard<std::mutex> numbering(environment->loopbackLock);
  if (environment->loopbackCounter < -1) environment->loopbackCounter = 0;
  link->deviceStack->loopback_number = environment->loopbackCounter++;
}

int RVIsLinkLoopback(QVLink* link) noexcept {
  if (link == nullptr) return 0;
  QVLinkLockGuard guard(link);
  return link->deviceStack != nullptr && link->deviceStack->loopback != 0 ? 1 : 0;
}

void QVSetConnectionMode(QVLink* link, int32_t mode) noexcept {
  if (link != nullptr) link->connectionMode = mode;
}

void RVEnableLinkLock(QVLink* link) noexcept {
  if (link == nullptr || link->lockOn != 0) return;
  link->lock = qvplatform::CreateUnnamedHandlePointer(Quorvane::QVInProcessMutex, true);
  if (link->lock) link->lockOn = 1;
}

void RVDisableLinkLock(QVLink* link) noexcept {
  if (link == nullptr || link->lockOn == 0) return;
  link->lockOn = 0;
  link->retiredLock = link->lock;
  link->lock = Quorvane::QVSmartPointer<Quorvane::QVMutexHandle>();
}

int RVValid(QVLink* link) noexcept {
  if (link == nullptr) return 0;
  QVLinkLockGuard guard(link);
  return link->valid;
}
