#include "utilities/qvprocess.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "utilities/platform/qvprocessend.h"
#include "utilities/qvchildreaper.h"
#include "utilities/qvexception.h"
#include "utilities/qvfilemanager.h"
#include "utilities/qvsignalhandlermanager.h"
#include "utilities/qvthreads.h"
#include "utilities/qvtimes.h"

namespace Quorvane {

namespace {

constexpr char kSourceFile[] = "utilities/qvprocess";

[[noreturn]] void Fail(const char* message, unsigned int line, qvexceptiontype type, int code) {
  throw QVException(message, kSourceFile, line, type, code);
}

// Puts back the SIGPIPE disposition launch replaced, on every way out: a
// failed launch must not leave the host program's disposition changed.
class SigpipeKeeper {
 public:
  SigpipeKeeper() : previous_(QVSignalHandlerManager::ignoreSignal(SIGPIPE)) {}
  ~SigpipeKeeper() {
    try {
      QVSignalHandlerManager::installHandlerInSystem(previous_);
    } catch (const QVException&) {
    }
  }
  SigpipeKeeper(const SigpipeKeeper&) = delete;
  SigpipeKeeper& operator=(const SigpipeKeeper&) = delete;

 private:
  QVSignalHandlerManager manager_;
  QVSignalHandler previous_;
};

// Status of a child that is already gone, or 0 while it runs; throws when
// waitpid fails (no status exists then: the launch failed all the same).
bool ChildGone(pid_t child, int* status) {
  pid_t result;
  do {
    result = waitpid(child, status, WNOHANG);
  } while (result < 0 && errno == EINTR);
  if (result == child) return true;
  if (result < 0) {
    *status = 0;
    return true;
  }
  return false;
}

void DrainPipe(int fd) {
  char buffer[64];
  while (read(fd, buffer, sizeof buffer) > 0) {
  }
}

}  // namespace

int QVProcess::launch(QVString command) {
  const QVString shellCommand = QVString("exec ") + command;
  SigpipeKeeper sigpipe;

  const pid_t child = fork();
  if (child < 0) Fail("fork error", __LINE__, qvexceptiontype::systemCallFailed, errno);
  if (child == 0) {
    QVFileManager().closeFileReferences();
    execl("/bin/sh", "sh", "-c", shellCommand.c_str(), static_cast<char*>(nullptr));
    _exit(1);
  }

  // While SIGCHLD is blocked in this thread, no child-signal handler here
  // can reap the new child before it has been looked at.
  sigset_t original;
  int rc = pthread_sigmask(SIG_SETMASK, nullptr, &original);
  if (rc != 0) Fail("Pthread_sigmask error", __LINE__, qvexceptiontype::systemCallFailed, rc);
  sigset_t withChild = original;
  sigaddset(&withChild, SIGCHLD);
  rc = pthread_sigmask(SIG_SETMASK, &withChild, nullptr);
  if (rc != 0) {
    Fail("Pthread_sigmask error while setting the new signal mask that has SIGCHLD.", __LINE__,
         qvexceptiontype::systemCallFailed, rc);
  }

  int status = 0;
  bool gone = ChildGone(child, &status);
  if (!gone) {
    QVMicroSleep(1);
    gone = ChildGone(child, &status);
    if (!gone) QVMicroSleep(1);
  }
  rc = pthread_sigmask(SIG_SETMASK, &original, nullptr);
  if (gone) {
    if ((status & 0x7f) != 0) {
      Fail("Child process did not launch correctly", __LINE__, qvexceptiontype::wrapped, 0);
    }
    Fail("Unable to find executable program.", __LINE__, qvexceptiontype::noExecutable, 0);
  }
  if (rc != 0) {
    Fail("Pthread_sigmask error while restoring original thread signal mask.", __LINE__,
         qvexceptiontype::systemCallFailed, rc);
  }
  return child;
}

int QVProcess::currentProcessId() { return static_cast<int>(getpid()); }

bool QVProcess::processIsAliveQ(int id) {
  if (id < 1) return false;
  if (kill(id, 0) != 0 && errno != EPERM) return false;
  // A process that has ended keeps its id until its parent reaps it, but it
  // runs no more: a peer that waits for it would wait for ever.
  return !platform::ProcessEndedUnreapedQ(id);
}

bool QVProcess::tryWait(int id) {
  if (id < 1) return true;
  if (kill(id, 0) != 0 && errno != EPERM) return true;
  int status = 0;
  pid_t result;
  do {
    result = waitpid(id, &status, WNOHANG);
  } while (result < 0 && errno == EINTR);
  if (result == id) return (status & 0x7f) != 0x7f;
  return result < 0 && errno == ECHILD;
}

QVProcessManager::QVProcessManager()
    : processTable(new std::set<int>, CreateUnnamedMutexHandle(QVInProcessMutex)) {
  processTableLock = QVThreadsFactory().CreateUnnamedHandle(QVInProcessMutex, false);
  int ends[2];
  if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
    const int err = errno;
    delete processTableLock;
    Fail("Pipe error.", __LINE__, qvexceptiontype::systemCallFailed, err);
  }
  wakeReadFd = ends[0];
  wakeWriteFd.store(ends[1]);
}

QVProcessManager::~QVProcessManager() {
  try {
    if (!stopProcessWatchThread.load()) StopWatchThread();
  } catch (...) {
    // Nothing may leave a destructor; the thread object below joins anyway.
  }
  // Never stopped (a manager that goes without the last environment's end):
  // its children are reaped all the same, without waiting for them here.
  HandOverTrackedProcesses(std::chrono::milliseconds(0));
  delete processWatchThread;
  const int writeEnd = wakeWriteFd.exchange(-1);
  if (writeEnd >= 0) close(writeEnd);
  if (wakeReadFd >= 0) close(wakeReadFd);
  delete processTableLock;
}

void QVProcessManager::trackProcess(int id) {
  QVMutex guard(processTableLock);
  processTable->insert(id);
  // Decided under the lock, so two first children start one watch thread.
  if (!processWatchThreadRunning.load()) {
    launchProcessWatchThread();
  } else {
    // The child may have ended already, its signal spent on a pass that did
    // not know it yet: without a pass now it would wait for the next sweep.
    signalUpdateAllTheStatus();
  }
}

void QVProcessManager::launchProcessWatchThread() {
  processWatchThreadRunning.store(true);
  try {
    processWatchThread = caught([this] { Thread1(); });
  } catch (...) {
    processWatchThreadRunning.store(false);
    throw;
  }
}

void QVProcessManager::signalUpdateAllTheStatus() noexcept {
  const int savedErrno = errno;
  const int writeEnd = wakeWriteFd.load();
  // A full pipe already holds a wake-up; the write end never blocks.
  if (processWatchThreadRunning.load() && writeEnd >= 0) (void)!write(writeEnd, "c", 1);
  errno = savedErrno;
}

void QVProcessManager::StopWatchThread() {
  QVThread* thread = nullptr;
  {
    QVMutex guard(processTableLock);
    if (!processWatchThreadRunning.load()) return;
    thread = processWatchThread;
    processWatchThread = nullptr;
  }
  stopProcessWatchThread.store(true);
  const int writeEnd = wakeWriteFd.load();
  if (writeEnd >= 0) (void)!write(writeEnd, "s", 1);
  if (thread != nullptr) thread->Join();
  delete thread;
  processWatchThreadRunning.store(false);
}

void QVProcessManager::stopTrackingAllProcesses() {
  StopWatchThread();
  // Stays set: a watch thread started later on this manager ends at once.
  stopProcessWatchThread.store(true);
  // The links are closed by now, so the children are ending: each is reaped
  // here or, once the bound has passed, by the last keeper of children.
  HandOverTrackedProcesses(QVChildReaper::kEndingBound);
}

void QVProcessManager::HandOverTrackedProcesses(std::chrono::milliseconds bound) noexcept {
  std::set<int> left;
  try {
    internalUpdateAllTheStatus();
    QVMutex guard(processTableLock);
    left.swap(*processTable);
  } catch (...) {
  }
  for (int id : left) QVChildReaper::handOver(id);
  QVChildReaper::settle(bound);
}

void QVProcessManager::internalUpdateAllTheStatus() {
  QVMutex guard(processTableLock);
  for (auto it = processTable->begin(); it != processTable->end();) {
    if (QVProcess::tryWait(*it)) {
      it = processTable->erase(it);
    } else {
      ++it;
    }
  }
}

void* QVProcessManager::Thread1() {
  QVThreadsFactory::SetThisThreadName("ProcessManager-WatchThread");
  try {
    while (!stopProcessWatchThread.load()) {
      internalUpdateAllTheStatus();
      pollfd entry{wakeReadFd, POLLIN, 0};
      const int ready = poll(&entry, 1, kWatchIntervalSeconds * 1000);
      if (ready > 0) DrainPipe(wakeReadFd);
    }
  } catch (const QVException&) {
    // Ends quietly; the running flag stays set, so no second thread starts.
  }
  return nullptr;
}

void QVProcessManager::print(std::ostream& os) const {
  QVMutex guard(processTableLock);
  os << "<QVProcessManager><processTable><table>";
  for (int id : *processTable) os << "<entry><processId>" << id << "</processId></entry>";
  os << "</table></processTable><processTableLock>" << static_cast<const void*>(processTableLock)
     << "</processTableLock><processTableWatchThreadCondition>" << wakeReadFd
     << "</processTableWatchThreadCondition><processWatchThread>"
     << static_cast<const void*>(processWatchThread) << "</processWatchThread><processWatchThreadRunning>"
     << (processWatchThreadRunning.load() ? 1 : 0)
     << "</processWatchThreadRunning><stopProcessWatchThread>"
     << (stopProcessWatchThread.load() ? 1 : 0) << "</stopProcessWatchThread></QVProcessManager>";
}

std::ostream& operator<<(std::ostream& os, const QVProcessManager& manager) {
  manager.print(os);
  return os;
}

}  // namespace Quorvane
