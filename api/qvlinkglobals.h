// The link-side part of an environment: the allocator pair of every
// link-side allocation, the link numbers and the map of live links, the byte
// queues' memory and the queue-stack kit.
//
// Links themselves are made and destroyed by the link code; this part only
// holds them by number. The environment's end closes the links it still holds
// through the closer the link code installs (QVSetLinkCloser).
//
// Links of one environment are made and closed on any thread, so the map and
// the counter are guarded by linksLock; the member calls below take it. The
// lock is never held while a link is closed, as closing takes it again.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

#include "api/qvmempool.h"
#include "datastructures/qvqueue.h"
#include "datastructures/qvqueuestack.h"
#include "quorvane.h"  // RVInit, RVDeinit, RVEnclosingEnvironment
#include "utilities/qvobject.h"

class QVLink;
class qv_environment;

class QVLink_globals : public Quorvane::QVObject {
 public:
  using LinkMap = std::map<int64_t, QVLink*, std::less<int64_t>,
                           Quorvane::QVStdAllocator<std::pair<const int64_t, QVLink*>>>;

  QVLink_globals() = default;
  ~QVLink_globals() override = default;
  QVLink_globals(const QVLink_globals&) = delete;
  QVLink_globals& operator=(const QVLink_globals&) = delete;

  // A fresh link number (numbers start at 1).
  int64_t takeLinkNumber();
  // Gives number back when it is the last one handed out, so that a make
  // that failed leaves the numbering as it was.
  void giveLinkNumberBack(int64_t number);
  // Enters link under number; throws std::bad_alloc when it cannot.
  void addLink(int64_t number, QVLink* link);
  // Drops the entry of number when it is link (a null link: whatever it is).
  void removeLink(int64_t number, QVLink* link);
  // The link of number, or null.
  QVLink* findLink(int64_t number) const;
  // The link with the lowest number and that number, or false when none.
  bool firstLink(int64_t* number, QVLink** link) const;

  qv_environment* environment = nullptr;
  mutable std::mutex linksLock;
  int64_t linkCounter = 0;  // the last link number given out; under linksLock
  LinkMap links;            // under linksLock
  _queue_memstruct* queueMemory = nullptr;
  qvqk_environment* queueKit = nullptr;
  mempool_qvt pool{};
};

// RVInit makes the globals of an environment and RVDeinit ends their queue
// kit and memory and frees them; RVDeinit expects the link map empty (RVEnd
// closes the links first). Both, and RVEnclosingEnvironment, are public
// calls (quorvane.h).

// Allocation through the globals' pool: the pair handed to the queue-stack kit.
void* pool_alloc(void* globals, uint64_t size);
void pool_dealloc(void* globals, void* block);

using QVLinkList = std::vector<QVLink*, Quorvane::QVStdAllocator<QVLink*>>;
// Every link of the environment in increasing number; empty without globals.
// Throws std::bad_alloc when the list cannot be made.
QVLinkList getLinksInEnvironment(const qv_environment* environment);

// Destroys one link as closing it does, taking it out of its globals' map.
using QVLinkCloser = void (*)(QVLink* link);
// Installed once by the link code; the previous closer is answered.
QVLinkCloser QVSetLinkCloser(QVLinkCloser closer);
// Closes every link in the map, lowest number first, until it is empty. A
// link the closer leaves in the map (or every link, while no closer is
// installed) is only dropped from the map.
void QVCloseAllLinks(QVLink_globals* globals);
