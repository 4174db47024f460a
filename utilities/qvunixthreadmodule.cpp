#include "utilities/qvunixthreadmodule.h"

#include <semaphore.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>

#include "utilities/qvexception.h"
#include "utilities/qvplatformthreads.h"
#include "utilities/qvprocess.h"
#include "utilities/qvsharedfileusage.h"
#include "utilities/qvsyncobject.h"
#include "utilities/qvsyncobjectnamerecordmanager.h"
#include "utilities/qvthreads.h"

namespace Quorvane {

namespace {

// Constant-initialised, so they need no start-up step and no tear-down.
std::mutex internalLock;  // start and stop of the clean-up thread
// Never destroyed: a process may exit while the clean-up thread still waits
// on them, and destroying a condition that has a waiter never returns.
// They are first used once the program runs, never from another file's
// static constructor.
std::mutex& recordManagerThreadLock = *new std::mutex;  // pairs with the condition below
std::condition_variable& recordManagerCondition = *new std::condition_variable;  // wakes the clean-up thread early
std::atomic<bool> recordManagerThreadShouldStop{false};
bool startedRecordManagerThread = false;    // under internalLock
QVThread* recordManagerWatchThread = nullptr;  // under internalLock
// The process that started the clean-up thread (0: none). Read at exit
// without internalLock, which a forked child may have inherited locked.
std::atomic<pid_t> recordManagerThreadOwner{0};

// Names come from record files in a shared directory: only a plain entry of
// the sync directory may be removed, never a path that leads elsewhere.
bool PlainEntryNameQ(const QVString& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == QVString::npos;
}

// A record file may only lead to the removal of objects its own owner owns,
// so one user cannot have another's objects removed by writing a record; and
// only of objects that no one uses, so a newer object made under the same
// name, or one the dead process only opened, stays.
void RemoveObjectFromSystem(const QVSyncObjectNameRecord& record, uid_t owner) {
  if (!PlainEntryNameQ(record.name)) return;
  switch (record.type) {
    case QVSyncTypeSemaphoreMutex:
    case QVSyncTypeSemaphoreCondition:
      sem_unlink(makeIPCName(record.name).c_str());
      break;
    case QVSyncTypeFileLockMutex:
      // The dead process may have shared the lock with one that lives.
      sharedfile::RemoveIfUnused(makeFileLockingIPCName(record.name), sharedfile::Kind::regular, owner);
      break;
    case QVSyncTypeFifoCondition:
      sharedfile::RemoveIfUnused(makeFIFOIPCName(record.name), sharedfile::Kind::fifo, owner);
      break;
    default:
      break;
  }
}

// One sweep: removes the objects of every dead process's records and deletes
// their record files whole. Records of live processes, this one's included,
// are not touched: a removal queued through the manager would edit this
// process's own file and drop its entry for an object of the same name.
void SweepDeadProcessRecords(QVSyncObjectNameRecordManager& manager) {
  const QVSyncObjectNameRecordList records = manager.getRecordList();
  std::set<QVString> deadFiles;
  for (const QVSyncObjectNameRecord& record : records) {
    if (QVProcess::processIsAliveQ(record.processID)) continue;
    struct stat recordFile;
    if (lstat(record.recordFile.c_str(), &recordFile) == 0) {
      RemoveObjectFromSystem(record, recordFile.st_uid);
    }
    deadFiles.insert(record.recordFile);
  }
  for (const QVString& path : deadFiles) manager.removeProcessRecordFile(path);
  manager.removeAbandonedWrites();
}

// A program that ends without ending its environments: its threads must not
// go on sweeping and writing records while the process is torn down.
void StopThreadModuleAtExit() {
  if (recordManagerThreadOwner.load() != getpid()) return;
  deinitThreadModule();
}

}  // namespace

void QVUnixThreadModuleGlobals::startRecordManagerThread() {
  std::lock_guard<std::mutex> guard(internalLock);
  if (startedRecordManagerThread) return;
  recordManagerThreadShouldStop.store(false);
  recordManagerWatchThread =
      QVThreadsFactory().CreateThread(&recordManagerWatchThreadFunction, nullptr);
  startedRecordManagerThread = true;
  recordManagerThreadOwner.store(getpid());
  static bool registered = false;  // under internalLock; a forked child inherits the hook
  if (!registered) {
    registered = true;
    atexit(&StopThreadModuleAtExit);
  }
}

void QVUnixThreadModuleGlobals::stopRecordManagerThread() {
  std::lock_guard<std::mutex> guard(internalLock);
  if (!startedRecordManagerThread) return;
  recordManagerThreadShouldStop.store(true);
  {
    // Under the lock the thread tests the flag in just before it waits, so
    // the wake-up cannot fall between its test and its wait.
    std::lock_guard<std::mutex> wake(recordManagerThreadLock);
    recordManagerCondition.notify_all();
  }
  std::unique_ptr<QVThread> thread(recordManagerWatchThread);
  recordManagerWatchThread = nullptr;
  startedRecordManagerThread = false;
  recordManagerThreadOwner.store(0);
  thread->Join();
}

bool QVUnixThreadModuleGlobals::timeToStopRecordManagerThread() {
  return recordManagerThreadShouldStop.load();
}

void QVUnixThreadModuleGlobals::waitForRecordManagerCondition(unsigned long microseconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::microseconds(microseconds);
  std::unique_lock<std::mutex> lock(recordManagerThreadLock);
  if (recordManagerThreadShouldStop.load()) return;
  recordManagerCondition.wait_until(lock, deadline);
}

void QVUnixThreadModuleGlobals::deinitialize() { recordManagerThreadShouldStop.store(false); }

bool initThreadModule() {
  const bool ok = initSyncObjectDir();
  if (ok) {
    QVSyncObjectNameRecordManager::initialize();
    QVUnixThreadModuleGlobals::startRecordManagerThread();
  }
  return ok;
}

void deinitThreadModule() {
  QVUnixThreadModuleGlobals::stopRecordManagerThread();
  QVSyncObjectNameRecordManager::deinitialize();
  QVUnixThreadModuleGlobals::deinitialize();
}

void* recordManagerWatchThreadFunction(void*) {
  QVThreadsFactory::SetThisThreadName("UnixThreads-RecordManagerThread");
  QVSmartPointer<QVSyncObjectNameRecordManager> manager =
      QVSyncObjectNameRecordManager::defaultManager();
  if (!manager) return nullptr;
  if (QVUnixThreadModuleGlobals::timeToStopRecordManagerThread()) return nullptr;
  try {
    for (;;) {
      SweepDeadProcessRecords(*manager);
      QVUnixThreadModuleGlobals::waitForRecordManagerCondition(
          static_cast<unsigned long>(QVUnixThreadModuleGlobals::kSweepIntervalSeconds) * 1000000UL);
      if (QVUnixThreadModuleGlobals::timeToStopRecordManagerThread()) break;
    }
  } catch (const QVException&) {
    // Ends the thread until the module is started again.
  }
  return nullptr;
}

}  // namespace Quorvane
