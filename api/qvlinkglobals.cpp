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
                       qv_environment* environment) noexcept {
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

void RVDeinit(QVLink_globals* globals) noexcept {
  if (globals == nullptr) return;
  if (globals->queueKit != nullptr) qvqk__end(globals->queueKit);
  if (globals->queueMemory != nullptr) qvplatform::qvqueue_destroy_memstruct(globals->queueMemory);
  release_mempool(&globals->pool);
  delete globals;
}

qv_environment* RVEnclosingEnvironment(const QVLink_globals* globals) noexcept {
  return globals != nullptr ? globals->environment : nullptr;
}

int64_t QVLink_globals::takeLinkNumber() {
  const std::lock_guard<std::mutex> guard(linksLock);
  return ++linkCounter;
}

void QVLink_globals::giveLinkNumberBack(int64_t number) {
  const std::lock_guard<std::mutex> guard(linksLock);
  if (number == linkCounter) --linkCounter;
}

void QVLink_globals::addLink(int64_t number, QVLink* link) {
  const std::lock_guard<std::mutex> guard(linksLock);
  links[number] = link;
}

void QVLink_globals::removeLink(int64_t number, QVLink* link) {
  const std::lock_guard<std::mutex> guard(linksLock);
  const auto found = links.find(number);
  if (found != links.end() && (link == nullptr || found->second == link)) links.erase(found);
}

QVLink* QVLink_globals::findLink(int64_t number) const {
  const std::lock_guard<std::mutex> guard(linksLock);
  const auto found = links.find(number);
  return found != links.end() ? found->second : nullptr;
}

bool QVLink_globals::firstLink(int64_t* number, QVLink** link) const {
  const std::lock_guard<std::mutex> guard(linksLock);
  if (links.empty()) return false;
  *number = links.begin()->first;
  *link = links.begin()->second;
  return true;
}

QVLinkList getLinksInEnvironment(const qv_environment* environment) {
  QVLinkList links;
  if (environment == nullptr || environment->globals == nullptr) return links;
  const QVLink_globals& globals = *environment->globals;
  const std::lock_guard<std::mutex> guard(globals.linksLock);
  links.reserve(globals.links.size());
  for (const auto& entry : globals.links) links.push_back(entry.second);
  return links;
}

QVLinkCloser QVSetLinkCloser(QVLinkCloser closer) { return gLinkCloser.exchange(closer); }

void QVCloseAllLinks(QVLink_globals* globals) {
  if (globals == nullptr) return;
  int64_t number = 0;
  QVLink* link = nullptr;
  // The closer runs without the lock: it takes it to drop the link.
  while (globals->firstLink(&number, &link)) {
    if (QVLinkCloser closer = gLinkCloser.load()) closer(link);
    // The closer takes the link out of the map; should it not, the entry
    // goes here so that the loop always ends.
    globals->removeLink(number, link);
  }
}
