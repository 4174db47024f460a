// The whole names of the live named threads, by the system's thread id. Each
// thread keeps its own entry in thread-local storage, linked into one list
// while the thread lives: naming a thread allocates nothing for a name that
// fits the entry, and the entry leaves the list when the thread ends.
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "utilities/platform/qvthreadname.h"

namespace Quorvane::platform {

namespace {

class Entry {
 public:
  constexpr Entry() = default;
  ~Entry();
  Entry(const Entry&) = delete;
  Entry& operator=(const Entry&) = delete;

  void Keep(std::string_view prefix, std::string_view name) noexcept;
  std::string_view Name() const { return {heap_ != nullptr ? heap_ : inline_, size_}; }
  pid_t Tid() const { return tid_; }
  const Entry* Next() const { return next_; }

  // After a fork: the forking thread is the child's only one, and its id changed.
  void BecomeOnlyEntryOfChild();

 private:
  void Link();
  void Unlink();

  Entry* next_ = nullptr;
  Entry* previous_ = nullptr;
  bool linked_ = false;
  pid_t tid_ = 0;
  size_t size_ = 0;
  char* heap_ = nullptr;  // a name longer than inline_, through the library's hooks
  char inline_[64] = {};
};

// Guards the list and every entry's name. Naming never allocates under it.
constinit std::mutex gLock;
constinit Entry* gFirst = nullptr;

thread_local Entry tEntry;
// Set while tEntry is in the list; a plain word, read without touching tEntry
// (after a fork, or once it is destroyed).
thread_local constinit Entry* tLinked = nullptr;
// Set once tEntry is destroyed: a naming later in the thread's end keeps nothing.
thread_local constinit bool tEnded = false;

void Entry::Link() {
  next_ = gFirst;
  previous_ = nullptr;
  if (gFirst != nullptr) gFirst->previous_ = this;
  gFirst = this;
  linked_ = true;
  tLinked = this;
}

void Entry::Unlink() {
  if (!linked_) return;
  if (previous_ != nullptr) previous_->next_ = next_;
  else gFirst = next_;
  if (next_ != nullptr) next_->previous_ = previous_;
  linked_ = false;
  tLinked = nullptr;
}

Entry::~Entry() {
  tEnded = true;
  {
    std::lock_guard<std::mutex> hold(gLock);
    Unlink();
  }
  Quorvane::detail::FreeWithHeader(heap_);
}

void Entry::Keep(std::string_view prefix, std::string_view name) noexcept {
  size_t size = prefix.size() + name.size();
  char* heap = nullptr;
  if (size > sizeof inline_) {
    try {
      heap = static_cast<char*>(Quorvane::detail::AllocateWithHeader(size));
    } catch (...) {
      size = sizeof inline_;  // the whole name needs memory there is none of: keep its start
    }
  }
  char* old;
  {
    std::lock_guard<std::mutex> hold(gLock);
    old = heap_;
    heap_ = heap;
    char* to = heap != nullptr ? heap : inline_;
    const size_t fromPrefix = std::min(prefix.size(), size);
    std::memcpy(to, prefix.data(), fromPrefix);
    std::memcpy(to + fromPrefix, name.data(), size - fromPrefix);
    size_ = size;
    tid_ = gettid();
    if (!linked_) Link();
  }
  Quorvane::detail::FreeWithHeader(old);
}

void Entry::BecomeOnlyEntryOfChild() {
  // The other threads' entries are gone with their threads; their long names
  // stay unfreed in the child, which cannot tell whose memory they were.
  gFirst = nullptr;
  linked_ = false;
  tid_ = gettid();
  Link();
}

void LockForFork() { gLock.lock(); }
void UnlockInParent() { gLock.unlock(); }
void UnlockInChild() {
  if (tLinked != nullptr) tLinked->BecomeOnlyEntryOfChild();
  else gFirst = nullptr;
  gLock.unlock();
}

}  // namespace

void KeepFullThreadName(std::string_view prefix, std::string_view name) noexcept {
  // A fork must not copy the list half changed, nor leave the child entries of
  // threads it does not have.
  static const bool forkHandled = pthread_atfork(&LockForFork, &UnlockInParent, &UnlockInChild) == 0;
  (void)forkHandled;
  if (tEnded) return;
  tEntry.Keep(prefix, name);
}

QVString CurrentThreadFullName() {
  if (tLinked == nullptr) return {};
  std::lock_guard<std::mutex> hold(gLock);
  const std::string_view name = tLinked->Name();
  return QVString(name.data(), name.size());
}

ThreadFullNames LiveThreadFullNames() {
  ThreadFullNames names;
  std::lock_guard<std::mutex> hold(gLock);
  for (const Entry* entry = gFirst; entry != nullptr; entry = entry->Next()) {
    const std::string_view name = entry->Name();
    names.push_back({entry->Tid(), QVString(name.data(), name.size())});
  }
  return names;
}

}  // namespace Quorvane::platform
