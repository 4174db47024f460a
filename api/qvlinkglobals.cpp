// The link-side globals of an environment.
#include "api/qvlinkglobals.h"

#include <atomic>

#include "api/qvenvironment.h"
#include "api/qvplatformservices.h"

namespace {

std::atomic<QVLinkCloser> gLinkCloser{nullptr};

}  // namespace

void* pool_alloc(void* globals, uint64_t size) {
  if (globals == nullptr) return nullptr;
  return GeneralAlloc(&static_cast<QVLink_globals*>(globals)->pool, size, nullptr);
}

void pool_dealloc(void* globals, void* block) {
  if (globals == nullptr) return;
  GeneralDealloc(&static_cast<QVLink_globals*>(globals)->pool, block, nullptr);
}

QVLink_globals* RVInit(qvmempool_allocate_fn allocate, qvmempool_deallocate_fn deallocate,
                       qv_environment* environment) {
  if (allocate == nullptr || deallocate == nullptr) return nullptr;
  QVLink_globals* globals = nullptr;
  try {
    globals = new QVLink_globals();
  } catch (...) {
    return nullptr;
  }
  init_mempool(&globals->pool, allocate, deallocate);
  globals->queueMemory = qvplatform::qvqueue_new_memstruct(allocate, deallocate);
  if (globals->queueMemory == nullptr) {
    RVDeinit(globals);
    return nullptr;
  }
  const qvqk_allocator kit{pool_alloc, pool_dealloc, globals};
  globals->queueKit = qvqk__begin(&kit);
  if (globals->queueKit == nullptr) {
    RVDeinit(globals);
    return nullptr;
  }
  globals->environment = environment;
  return globals;
}

void RVDeinit(QVLink_globals* globals) {
  if (globals == nullptr) return;
  if (globals->queueKit != nullptr) qvqk__end(globals->queueKit);
  if (globals->queueMemory != nullptr) qvplatform::qvqueue_destroy_memstruct(globals->queueMemory);
  release_mempool(&globals->pool);
  delete globals;
}

qv_environment* RVEnclosingEnvironment(const QVLink_globals* globals) {
  return globals != nullptr ? globals->environment : nullptr;
}

QVLinkList getLinksInEnvironment(const qv_environment* environment) {
  QVLinkList links;
  if (environment == nullptr || environment->globals == nullptr) return links;
  links.reserve(environment->globals->links.size());
  for (const auto& entry : environment->globals->links) links.push_back(entry.second);
  return links;
}

QVLinkCloser QVSetLinkCloser(QVLinkCloser closer) { return gLinkCloser.exchange(closer); }

void QVCloseAllLinks(QVLink_globals* globals) {
  if (globals == nullptr) return;
  while (!globals->links.empty()) {
    const auto first = globals->links.begin();
    const int64_t number = first->first;
    if (QVLinkCloser closer = gLinkCloser.load()) closer(first->second);
    // The closer takes the link out of the map; should it not, the entry
    // goes here so that the loop always ends.
    globals->links.erase(number);
  }
}
