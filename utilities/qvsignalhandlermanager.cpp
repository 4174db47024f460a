#include "utilities/qvsignalhandlermanager.h"

#include <errno.h>

#include <atomic>
#include <cstring>
#include <map>
#include <vector>

#include "utilities/platform/qvsignals.h"
#include "utilities/qvexception.h"
#include "utilities/qvthreads.h"

namespace Quorvane {

namespace {

constexpr char kSourceFile[] = "utilities/qvsignalhandlermanager";

using HandlerMap = std::map<uintptr_t, QVSignalHandler>;
using HandlerTables = std::map<int, HandlerMap>;  // signal index (number - 1) -> registrations

// Everything below except the dispatch tables is guarded by HandlerTableLock().
HandlerTables* handlerTables = nullptr;
uint64_t numberOfManagers = 0;
bool currentlyHandlingSignals = false;

// Read and written without the lock (also by other threads), hence atomic;
// constant-initialised, so usable before the program's entry runs.
std::atomic<uint64_t> signalDispositionBits{QVSignalHandlerDispositionSet::kAll};

// What the dispatching handler reads in signal context: an immutable copy of
// one signal's callable registrations, published whole with one atomic store.
// A table is freed only when no dispatch is under way, so a handler that
// loaded it can always finish walking it.
struct DispatchEntry {
  struct sigaction action;
  bool preexistingOrExternal;
};
struct DispatchTable {
  std::vector<DispatchEntry> entries;
};
std::atomic<const DispatchTable*> dispatchTables[maxSignalHandlerNumber];
std::atomic<int> activeDispatches{0};
std::vector<const DispatchTable*>* retiredTables = nullptr;

// The disposition that stood before the dispatching handler replaced it,
// SIG_DFL and SIG_IGN included, so it can be put back exactly.
struct OriginalDisposition {
  bool saved = false;
  struct sigaction action;
};
OriginalDisposition originals[maxSignalHandlerNumber];
// Whether that disposition was SIG_IGN, for the dispatcher to read in signal
// context without the table lock.
std::atomic<bool> ignoredBefore[maxSignalHandlerNumber];

QVMutexHandle* HandlerTableLock() {
  // Made once, never freed: signal tables outlive every manager.
  static QVMutexHandle* const lock = QVThreadsFactory().CreateUnnamedHandle(QVInProcessMutex, true);
  return lock;
}

bool InRange(int number) { return number >= 1 && number <= maxSignalHandlerNumber; }

uintptr_t DispatcherAddress() { return reinterpret_cast<uintptr_t>(&actualSignalHandler); }

[[noreturn]] void ThrowSigactionError(int err, unsigned int line) {
  throw QVException("installHandlerInSystem caught an error from sigaction.", kSourceFile, line,
                    qvexceptiontype::systemCallFailed, err);
}

void ReclaimRetiredTables() {
  if (retiredTables == nullptr || activeDispatches.load() != 0) return;
  for (const DispatchTable* table : *retiredTables) delete table;
  retiredTables->clear();
}

// Rebuilds what the dispatcher sees for one signal; called under the lock
// after every change of that signal's registrations.
void Publish(int index) {
  DispatchTable* table = nullptr;
  if (handlerTables != nullptr) {
    auto found = handlerTables->find(index);
    if (found != handlerTables->end()) {
      for (const auto& [address, record] : found->second) {
        if (!record.validQ() || address < 2 || address == DispatcherAddress()) continue;
        if (table == nullptr) table = new DispatchTable;
        table->entries.push_back({record.getOSStruct(), record.preExistsQ() || record.externalQ()});
      }
    }
  }
  const DispatchTable* old = dispatchTables[index].exchange(table);
  if (old != nullptr) {
    if (retiredTables == nullptr) retiredTables = new std::vector<const DispatchTable*>;
    retiredTables->push_back(old);
  }
  ReclaimRetiredTables();
}

HandlerMap* FindMap(int number) {
  if (handlerTables == nullptr || !InRange(number)) return nullptr;
  auto found = handlerTables->find(number - 1);
  return found == handlerTables->end() ? nullptr : &found->second;
}

HandlerMap& MakeMap(int number) {
  if (handlerTables == nullptr) handlerTables = new HandlerTables;
  return (*handlerTables)[number - 1];
}

// Installs the dispatching handler and remembers what it replaced the first
// time, so that stopping puts exactly that back.
QVSignalHandler InstallDispatcher(int number) {
  QVSignalHandler replaced =
      QVSignalHandlerManager::installHandlerInSystem(QVSignalHandlerManager::theQVHandler(number));
  OriginalDisposition& original = originals[number - 1];
  if (!original.saved && replaced.getHandlerFunction() != DispatcherAddress()) {
    original.action = replaced.getOSStruct();
    original.saved = true;
    ignoredBefore[number - 1].store((original.action.sa_flags & SA_SIGINFO) == 0 &&
                                    original.action.sa_handler == SIG_IGN);
  }
  return replaced;
}

// Puts back the remembered disposition, if the dispatcher replaced one; a
// default that would end the process where the program expects nothing is
// left ignored instead.
void RestoreOriginal(int number) {
  OriginalDisposition& original = originals[number - 1];
  if (!original.saved) return;
  original.saved = false;
  ignoredBefore[number - 1].store(false);
  struct sigaction action = original.action;
  if ((action.sa_flags & SA_SIGINFO) == 0 && action.sa_handler == SIG_DFL &&
      platform::IgnoreRatherThanDefaultQ(number)) {
    action.sa_handler = SIG_IGN;
  }
  QVSignalHandlerManager::installHandlerInSystem(QVSignalHandler(number, action, true, true, true));
}

// Counts the dispatch in progress for as long as it walks a table.
class DispatchReader {
 public:
  explicit DispatchReader(int number) {
    activeDispatches.fetch_add(1);
    if (InRange(number)) table_ = dispatchTables[number - 1].load();
  }
  ~DispatchReader() { activeDispatches.fetch_sub(1); }
  DispatchReader(const DispatchReader&) = delete;
  DispatchReader& operator=(const DispatchReader&) = delete;
  const DispatchTable* table() const { return table_; }

 private:
  const DispatchTable* table_ = nullptr;
};

void CallEntry(const DispatchEntry& entry, int number, siginfo_t* info, void* context) {
  if ((entry.action.sa_flags & SA_SIGINFO) != 0) {
    entry.action.sa_sigaction(number, info, context);
  } else {
    entry.action.sa_handler(number);
  }
}

}  // namespace

// ---- QVSignalHandler ----

QVSignalHandler::QVSignalHandler() { std::memset(&osHandlerInfo, 0, sizeof osHandlerInfo); }

QVSignalHandler::QVSignalHandler(const QVSignalHandler& other)
    : QVObject(),
      number(other.number),
      osHandlerInfo(other.osHandlerInfo),
      previouslyExists(other.previouslyExists),
      external(other.external),
      valid(other.valid) {}

QVSignalHandler::QVSignalHandler(int signalNumber, const struct sigaction& info,
                                 bool previouslyExistsFlag, bool externalFlag, bool validFlag)
    : number(signalNumber),
      osHandlerInfo(info),
      previouslyExists(previouslyExistsFlag),
      external(externalFlag),
      valid(validFlag) {}

QVSignalHandler::QVSignalHandler(int signalNumber, QVPlainSignalFunction function,
                                 bool previouslyExistsFlag, bool externalFlag, bool validFlag)
    : QVSignalHandler() {
  number = signalNumber;
  osHandlerInfo.sa_handler = function;
  sigemptyset(&osHandlerInfo.sa_mask);
  previouslyExists = previouslyExistsFlag;
  external = externalFlag;
  valid = validFlag;
}

QVSignalHandler::QVSignalHandler(int signalNumber, QVSiginfoSignalFunction function,
                                 bool previouslyExistsFlag, bool externalFlag, bool validFlag)
    : QVSignalHandler() {
  number = signalNumber;
  osHandlerInfo.sa_sigaction = function;
  osHandlerInfo.sa_flags = SA_SIGINFO;
  sigemptyset(&osHandlerInfo.sa_mask);
  previouslyExists = previouslyExistsFlag;
  external = externalFlag;
  valid = validFlag;
}

QVSignalHandler& QVSignalHandler::operator=(const QVSignalHandler& other) {
  number = other.number;
  osHandlerInfo = other.osHandlerInfo;
  previouslyExists = other.previouslyExists;
  external = other.external;
  valid = other.valid;
  return *this;
}

uintptr_t QVSignalHandler::getHandlerFunction() const {
  if (siginfoHandlerQ()) return reinterpret_cast<uintptr_t>(osHandlerInfo.sa_sigaction);
  return reinterpret_cast<uintptr_t>(osHandlerInfo.sa_handler);
}

void QVSignalHandler::operator()(siginfo_t* info, void* context) const {
  // SIG_DFL and SIG_IGN are dispositions, not functions.
  if (getHandlerFunction() < 2) return;
  if (siginfoHandlerQ()) {
    osHandlerInfo.sa_sigaction(number, info, context);
  } else {
    osHandlerInfo.sa_handler(number);
  }
}

bool QVSignalHandler::operator==(const QVSignalHandler& other) const {
  if (this == &other) return true;
  return number == other.number && getHandlerFunction() == other.getHandlerFunction() &&
         valid == other.valid;
}

void QVSignalHandler::print(std::ostream& os) const {
  os << "<QVSignalHandler><number>" << number << "</number><osHandlerInfo>";
  if (siginfoHandlerQ()) {
    os << "<sigaction>" << (osHandlerInfo.sa_sigaction != nullptr ? 1 : 0) << "</sigaction>";
  } else {
    os << "<handler>" << (osHandlerInfo.sa_handler != nullptr ? 1 : 0) << "</handler>";
  }
  os << "<flags>" << osHandlerInfo.sa_flags << "</flags></osHandlerInfo><previouslyExists>"
     << (previouslyExists ? 1 : 0) << "</previouslyExists><external>" << (external ? 1 : 0)
     << "</external><valid>" << (valid ? 1 : 0) << "</valid></QVSignalHandler>";
}

std::ostream& operator<<(std::ostream& os, const QVSignalHandler& handler) {
  handler.print(os);
  return os;
}

// ---- QVSignalHandlerDispositionSet ----

void QVSignalHandlerDispositionSet::handleSignal(int number) {
  if (InRange(number)) bits |= uint64_t{1} << (number - 1);
}

void QVSignalHandlerDispositionSet::doNotHandleSignal(int number) {
  if (InRange(number)) bits &= ~(uint64_t{1} << (number - 1));
}

bool QVSignalHandlerDispositionSet::getSignalDisposition(int number) const {
  return InRange(number) && ((bits >> (number - 1)) & 1) != 0;
}

void QVSignalHandlerDispositionSet::print(std::ostream& os) const {
  os << "<QVSignalHandlerDispositionSet>";
  for (int number = maxSignalHandlerNumber; number >= 1; --number) {
    os << (getSignalDisposition(number) ? '1' : '0');
  }
  os << "</QVSignalHandlerDispositionSet>";
}

std::ostream& operator<<(std::ostream& os, const QVSignalHandlerDispositionSet& set) {
  set.print(os);
  return os;
}

// ---- QVSignalHandlerManager ----

QVSignalHandlerManager::QVSignalHandlerManager() {
  QVMutex guard(HandlerTableLock());
  if (handlerTables == nullptr) {
    handlerTables = new HandlerTables;
    signalDispositionBits.store(QVSignalHandlerDispositionSet::kAll);
  }
  ++numberOfManagers;
}

QVSignalHandlerManager::~QVSignalHandlerManager() {
  QVMutex guard(HandlerTableLock());
  --numberOfManagers;
  if (numberOfManagers != 0 || !currentlyHandlingSignals) return;
  try {
    restorePreviouslyExistingHandlers();
  } catch (const QVException&) {
    // Nothing may leave a destructor; the tables go all the same.
  }
  currentlyHandlingSignals = false;
  delete handlerTables;
  handlerTables = nullptr;
  for (int index = 0; index < maxSignalHandlerNumber; ++index) Publish(index);
  signalDispositionBits.store(QVSignalHandlerDispositionSet::kAll);
}

void QVSignalHandlerManager::setHandler(const QVSignalHandler& handler) {
  const int number = handler.getSignalNumber();
  if (platform::SignalReservedBySystemQ(number)) ThrowSigactionError(EINVAL, __LINE__);
  if (!canHandleSignalFromDisposition(number)) return;
  QVMutex guard(HandlerTableLock());
  MakeMap(number).emplace(handler.getHandlerFunction(), handler);
  Publish(number - 1);
  // Goes through handleSignal so that the handler replaced here is kept too.
  if (currentlyHandlingSignals) handleSignal(number);
}

void QVSignalHandlerManager::setHandlers(const QVSignalHandlerList& handlers) {
  for (const QVSignalHandler& handler : handlers) setHandler(handler);
}

void QVSignalHandlerManager::setHandlerFromOSStruct(int number, const struct sigaction& info,
                                                    bool previouslyExists) {
  setHandler(QVSignalHandler(number, info, previouslyExists, false, true));
}

void QVSignalHandlerManager::setHandlerFromFunction(int number, QVPlainSignalFunction function,
                                                    bool previouslyExists) {
  setHandler(QVSignalHandler(number, function, previouslyExists, false, true));
}

void QVSignalHandlerManager::setHandlerFromFunction(int number, QVSiginfoSignalFunction function,
                                                    bool previouslyExists) {
  setHandler(QVSignalHandler(number, function, previouslyExists, false, true));
}

void QVSignalHandlerManager::clearHandler(const QVSignalHandler& handler) {
  const int number = handler.getSignalNumber();
  if (!canHandleSignalFromDisposition(number)) return;
  QVMutex guard(HandlerTableLock());
  HandlerMap* map = FindMap(number);
  if (map == nullptr) return;
  auto found = map->find(handler.getHandlerFunction());
  if (found == map->end()) return;
  if (handler.preExistsQ() && map->size() == 1) {
    installHandlerInSystem(handler);
    originals[number - 1].saved = false;
  }
  map->erase(found);
  Publish(number - 1);
  // With nothing left to dispatch to, the dispatcher would swallow the
  // signal: put back what it replaced.
  if (map->empty()) RestoreOriginal(number);
}

void QVSignalHandlerManager::clearHandlers(const QVSignalHandlerList& handlers) {
  for (const QVSignalHandler& handler : handlers) clearHandler(handler);
}

void QVSignalHandlerManager::clearHandlerWithFunction(int number, QVPlainSignalFunction function) {
  clearHandler(QVSignalHandler(number, function, false, false, true));
}

void QVSignalHandlerManager::clearHandlerWithFunction(int number,
                                                      QVSiginfoSignalFunction function) {
  clearHandler(QVSignalHandler(number, function, false, false, true));
}

void QVSignalHandlerManager::handleSignal(int number) {
  if (!InRange(number)) return;
  QVMutex guard(HandlerTableLock());
  HandlerMap& map = MakeMap(number);
  if (!canHandleSignalFromDisposition(number)) return;
  const QVSignalHandler replaced = InstallDispatcher(number);
  const uintptr_t address = replaced.getHandlerFunction();
  if (address >= 2 && address != DispatcherAddress() && map.find(address) == map.end()) {
    map.emplace(address, replaced);
    Publish(number - 1);
  }
}

void QVSignalHandlerManager::stopHandlingSignal(int number) {
  if (!canHandleSignalFromDisposition(number)) return;
  QVMutex guard(HandlerTableLock());
  HandlerMap* map = FindMap(number);
  if (map == nullptr) return;
  for (const auto& entry : *map) {
    if (entry.second.preExistsQ()) {
      installHandlerInSystem(entry.second);
      originals[number - 1].saved = false;
      return;
    }
  }
  // No earlier handler: the disposition that stood before (SIG_DFL or
  // SIG_IGN) comes back, not a blanket SIG_IGN.
  RestoreOriginal(number);
}

void QVSignalHandlerManager::startHandlingSignals() {
  QVMutex guard(HandlerTableLock());
  if (currentlyHandlingSignals) return;
  for (int index = 0; index < maxSignalHandlerNumber; ++index) {
    HandlerMap* map = FindMap(index + 1);
    if (map != nullptr && !map->empty()) handleSignal(index + 1);
  }
  currentlyHandlingSignals = true;
}

void QVSignalHandlerManager::stopHandlingSignals() {
  QVMutex guard(HandlerTableLock());
  if (!currentlyHandlingSignals) return;
  for (int number = 1; number <= maxSignalHandlerNumber; ++number) stopHandlingSignal(number);
  currentlyHandlingSignals = false;
}

void QVSignalHandlerManager::restorePreviouslyExistingHandlers() {
  QVMutex guard(HandlerTableLock());
  for (int number = 1; number <= maxSignalHandlerNumber; ++number) {
    bool installed = false;
    if (HandlerMap* map = FindMap(number)) {
      for (const auto& entry : *map) {
        if (entry.second.preExistsQ() && entry.second.validQ()) {
          installHandlerInSystem(entry.second);
          installed = true;
        }
      }
    }
    if (installed) {
      originals[number - 1].saved = false;
    } else {
      RestoreOriginal(number);
    }
  }
}

QVSignalHandler QVSignalHandlerManager::installHandlerInSystem(const QVSignalHandler& handler) {
  const int number = handler.getSignalNumber();
  if (platform::SignalReservedBySystemQ(number)) ThrowSigactionError(EINVAL, __LINE__);
  struct sigaction replaced;
  std::memset(&replaced, 0, sizeof replaced);
  if (sigaction(number, &handler.getOSStruct(), &replaced) != 0) {
    ThrowSigactionError(errno, __LINE__);
  }
  return QVSignalHandler(number, replaced, true, true, true);
}

QVSignalHandler QVSignalHandlerManager::theQVHandler(int number) {
  return QVSignalHandler(number, &actualSignalHandler, false, false, true);
}

QVSignalHandler QVSignalHandlerManager::ignoreHandler(int number) {
  return QVSignalHandler(number, SIG_IGN, false, false, true);
}

QVSignalHandler QVSignalHandlerManager::defaultHandler(int number) {
  return QVSignalHandler(number, SIG_DFL, false, false, true);
}

QVSignalHandler QVSignalHandlerManager::ignoreSignal(int number) {
  return installHandlerInSystem(ignoreHandler(number));
}

void QVSignalHandlerManager::setSignalDisposition(int number, bool handle) {
  if (!InRange(number)) return;
  const uint64_t bit = uint64_t{1} << (number - 1);
  if (handle) {
    signalDispositionBits.fetch_or(bit);
  } else {
    signalDispositionBits.fetch_and(~bit);
  }
}

void QVSignalHandlerManager::setSignalDispositions(const QVSignalHandlerDispositionSet& set) {
  signalDispositionBits.store(set.getBits());
}

bool QVSignalHandlerManager::getSignalDisposition(int number) {
  return InRange(number) && ((signalDispositionBits.load() >> (number - 1)) & 1) != 0;
}

bool QVSignalHandlerManager::canHandleSignalFromDisposition(int number) {
  return getSignalDisposition(number);
}

QVSignalHandlerDispositionSet QVSignalHandlerManager::getSignalDispositions() {
  QVSignalHandlerDispositionSet set;
  set.setBits(signalDispositionBits.load());
  return set;
}

void QVSignalHandlerManager::SafeManager::callHandlers(int number, siginfo_t* info,
                                                       void* context) {
  DispatchReader reader(number);
  if (reader.table() == nullptr) return;
  for (const DispatchEntry& entry : reader.table()->entries) CallEntry(entry, number, info, context);
}

void QVSignalHandlerManager::SafeManager::callOnlyPreexistingOrExternalHandlers(
    int number, siginfo_t* info, void* context) {
  DispatchReader reader(number);
  if (reader.table() == nullptr) return;
  for (const DispatchEntry& entry : reader.table()->entries) {
    if (entry.preexistingOrExternal) CallEntry(entry, number, info, context);
  }
}

bool QVSignalHandlerManager::SafeManager::hasPreexistingOrExternalHandlerQ(int number) {
  DispatchReader reader(number);
  if (reader.table() == nullptr) return false;
  for (const DispatchEntry& entry : reader.table()->entries) {
    if (entry.preexistingOrExternal) return true;
  }
  return false;
}

void QVSignalHandlerManager::print(std::ostream& os) const {
  QVMutex guard(HandlerTableLock());
  os << "<QVSignalHandlerManager><numberOfManagers>" << numberOfManagers
     << "</numberOfManagers><currentlyHandlingSignals>" << (currentlyHandlingSignals ? 1 : 0)
     << "</currentlyHandlingSignals>";
  for (int number = 1; number <= maxSignalHandlerNumber; ++number) {
    const HandlerMap* map = FindMap(number);
    if (map == nullptr || map->empty()) continue;
    os << "<table>";
    for (const auto& [address, record] : *map) {
      os << "<entry><first>" << address << "</first><second>" << record << "</second></entry>";
    }
    os << "</table>";
  }
  os << "</QVSignalHandlerManager>";
}

std::ostream& operator<<(std::ostream& os, const QVSignalHandlerManager& manager) {
  manager.print(os);
  return os;
}

// Runs in signal context: only reads a published table, calls the
// registrations and, for a fault, lets the default end the process. It
// allocates nothing, takes no lock, throws nothing and leaves errno as it
// found it; it stays installed, so it is not put back.
//
// After the registrations ran, a hang-up ends the process by its default
// action, unless the program had it ignored (started under a hang-up guard, say):
// then the process goes on and learns of the closed links through them.
// Returning from SIGSEGV or SIGBUS would run the fault again, for ever.
void actualSignalHandler(int number, siginfo_t* info, void* context) {
  const int savedErrno = errno;
  using Safe = QVSignalHandlerManager::SafeManager;
  // For these three a handler the process had before stands in for ours.
  const bool ownedBefore = (number == SIGHUP || number == SIGBUS || number == SIGSEGV) &&
                           Safe::hasPreexistingOrExternalHandlerQ(number);
  if (ownedBefore) {
    Safe::callOnlyPreexistingOrExternalHandlers(number, info, context);
  } else {
    Safe::callHandlers(number, info, context);
    const bool hangUpIgnored = number == SIGHUP && ignoredBefore[number - 1].load();
    if (number == SIGBUS || number == SIGSEGV || (number == SIGHUP && !hangUpIgnored)) {
      struct sigaction fallback;
      std::memset(&fallback, 0, sizeof fallback);
      fallback.sa_handler = SIG_DFL;
      sigemptyset(&fallback.sa_mask);
      sigaction(number, &fallback, nullptr);
      // Blocked while this handler runs; delivered with the default action
      // as soon as it returns.
      raise(number);
    }
  }
  errno = savedErrno;
}

}  // namespace Quorvane
