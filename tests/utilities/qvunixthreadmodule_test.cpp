#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/qvtest.h"
#include "tests/utilities/qvtestprocesses.h"
#include "utilities/qvcondition.h"
#include "utilities/qvdescriptorconditions.h"
#include "utilities/qvplatformthreads.h"
#include "utilities/qvsyncobject.h"
#include "utilities/qvsyncobjectnamerecordmanager.h"
#include "utilities/qvunixthreadmodule.h"

using namespace Quorvane;
using qvtest::ThreadsNamed;

namespace {

const char kCleanUpThread[] = "QV-UnixThreads-";  // names keep 15 bytes
const char kBackgroundThread[] = "QV-SyncObject-B";

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::string SyncPath(const std::string& name) { return ToStdString(getThreadSyncDir()) + "/" + name; }

std::vector<std::string> RecordFilesOf(int pid) {
  std::vector<std::string> found;
  const std::string prefix = "qv" + std::to_string(pid) + "-";
  DIR* dir = opendir(ToStdString(getThreadSyncDir()).c_str());
  if (dir == nullptr) return found;
  while (dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.rfind(prefix, 0) == 0) found.push_back(name);
  }
  closedir(dir);
  return found;
}

std::string Unique(const char* stem) {
  static int counter = 0;
  return std::string(stem) + "-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
}

// A process id that surely belongs to no process now.
int DeadPid() {
  const pid_t child = fork();
  if (child == 0) _exit(0);
  int status = 0;
  waitpid(child, &status, 0);
  return child;
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

}  // namespace

TEST(ThreadModule, CleansUpAfterAKilledProcessAndLeavesLiveOnesAlone) {
  ASSERT_TRUE(initSyncObjectDir());
  const std::string parentLock = Unique("parentlock");
  QVFileLockingMutexHandle mine(ToQVString(parentLock));  // recorded in our own file
  ASSERT_EQ(RecordFilesOf(getpid()).size(), 1u);
  const std::string ownRecord = SyncPath(RecordFilesOf(getpid())[0]);

  const std::string childLock = Unique("childlock");
  const std::string childFifo = Unique("childfifo");
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(ready[0]);
    QVFileLockingMutexHandle lock(ToQVString(childLock));
    QVFifoCondition fifo(ToQVString(childFifo), QVCREATE);
    (void)!write(ready[1], "r", 1);
    for (;;) pause();  // until killed
  }
  qvtest::ChildKiller killer(child);
  close(ready[1]);
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  close(ready[0]);
  ASSERT_TRUE(Exists(SyncPath(childLock)));
  ASSERT_TRUE(Exists(SyncPath(childFifo)));
  ASSERT_EQ(RecordFilesOf(child).size(), 1u);
  const std::string childRecord = SyncPath(RecordFilesOf(child)[0]);

  kill(child, SIGKILL);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  killer.release();

  ASSERT_TRUE(initThreadModule());
  EXPECT_TRUE(qvtest::WaitUntil([&] {
    return !Exists(SyncPath(childLock)) && !Exists(SyncPath(childFifo)) && !Exists(childRecord);
  }));
  EXPECT_TRUE(Exists(SyncPath(parentLock)));
  EXPECT_TRUE(Exists(ownRecord));
  std::ifstream own(ownRecord);
  std::string firstLine;
  std::getline(own, firstLine);
  EXPECT_EQ(firstLine, std::to_string(getpid()));
  deinitThreadModule();
}

TEST(ThreadModule, SweepsRecordFilesOfDeadProcesses) {
  ASSERT_TRUE(initSyncObjectDir());
  struct Case {
    std::string firstLine;
    std::string lockName;
    std::string fifoName;
  };
  const std::vector<Case> cases = {
      {std::to_string(DeadPid()), Unique("lock"), Unique("fifo")},
      {"0", Unique("lock"), Unique("fifo")},
      {"not a number", Unique("lock"), Unique("fifo")},
  };
  qvtest::TempDir outside;
  const std::string precious = outside.file("precious");
  WriteFile(precious, "keep");
  std::vector<std::string> recordFiles;
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    WriteFile(SyncPath(c.lockName), "FillerBytes\n");
    ASSERT_EQ(mkfifo(SyncPath(c.fifoName).c_str(), 0666), 0);
    const std::string record = SyncPath("qv" + std::to_string(900000 + i) + "-case.rec");
    // Reserved kinds and unknown codes remove nothing but do not keep the
    // file; a name that leads out of the sync directory is never removed.
    WriteFile(record, c.firstLine + "\n" + c.lockName + ":FM\n" + c.fifoName + ":FC\nx:WC\ny:??\n" +
                          "../../" + precious.substr(1) + ":FM\n");
    recordFiles.push_back(record);
  }
  // Entries that cannot be read as records: nothing to do for this file.
  const std::string unreadable = SyncPath("qv900009-empty.rec");
  WriteFile(unreadable, std::to_string(DeadPid()) + "\nno colon\n");

  ASSERT_TRUE(initThreadModule());
  for (size_t i = 0; i < cases.size(); ++i) {
    EXPECT_TRUE(qvtest::WaitUntil([&] {
      return !Exists(recordFiles[i]) && !Exists(SyncPath(cases[i].lockName)) &&
             !Exists(SyncPath(cases[i].fifoName));
    })) << cases[i].firstLine;
  }
  EXPECT_TRUE(Exists(precious));
  EXPECT_TRUE(Exists(unreadable));
  deinitThreadModule();
}

TEST(ThreadModule, ARecordLeadsOnlyToObjectsOfItsOwnOwner) {
  if (geteuid() != 0) GTEST_SKIP() << "needs to give files away";
  ASSERT_TRUE(initSyncObjectDir());
  const std::string lockName = Unique("foreignlock");
  const std::string fifoName = Unique("foreignfifo");
  WriteFile(SyncPath(lockName), "FillerBytes\n");
  ASSERT_EQ(mkfifo(SyncPath(fifoName).c_str(), 0666), 0);
  ASSERT_EQ(chown(SyncPath(lockName).c_str(), 12345, 12345), 0);
  ASSERT_EQ(chown(SyncPath(fifoName).c_str(), 12345, 12345), 0);
  const std::string record = SyncPath("qv900100-forged.rec");  // ours, naming theirs
  WriteFile(record, "0\n" + lockName + ":FM\n" + fifoName + ":FC\n");

  ASSERT_TRUE(initThreadModule());
  EXPECT_TRUE(qvtest::WaitUntil([&] { return !Exists(record); }));
  EXPECT_TRUE(Exists(SyncPath(lockName)));
  EXPECT_TRUE(Exists(SyncPath(fifoName)));
  deinitThreadModule();
}

// Named objects are shared between processes, so a dead process's record may
// name an object this live process has in its own record; that entry stays.
TEST(ThreadModule, SweepLeavesThisProcesssOwnRecordAlone) {
  ASSERT_TRUE(initSyncObjectDir());
  QVSmartPointer<QVSyncObjectNameRecordManager> manager =
      QVSyncObjectNameRecordManager::defaultManager();
  ASSERT_TRUE(manager);
  const std::string shared = Unique("shared");
  const std::string probe = Unique("probe");
  manager->addObjectToRecord(ToQVString(shared), QVSyncTypeFileLockMutex);
  manager->addObjectToRecord(ToQVString(probe), QVSyncTypeFileLockMutex);
  const std::string ownRecord = SyncPath(ToStdString(manager->computeRecordFileName(getpid())));
  ASSERT_TRUE(Exists(ownRecord));
  const std::string dead = std::to_string(DeadPid());
  const std::string deadRecord = SyncPath("qv" + dead + "-gone.rec");
  WriteFile(deadRecord, dead + "\n" + shared + ":FM\n");

  ASSERT_TRUE(initThreadModule());
  ASSERT_TRUE(qvtest::WaitUntil([&] { return !Exists(deadRecord); }));
  // Removals are written in the order queued: once the probe's is written,
  // any the sweep queued has been written too.
  manager->markObjectAsRemovedFromRecord(ToQVString(probe), QVSyncTypeFileLockMutex);
  manager->flushRemovedObjectsFromSystemRecord();
  // The file is rewritten in place: only a whole one counts.
  std::string text;
  EXPECT_TRUE(qvtest::WaitUntil([&] {
    std::ifstream in(ownRecord);
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return text.rfind(std::to_string(getpid()) + "\n", 0) == 0 && text.back() == '\n' &&
           text.find(probe) == std::string::npos;
  })) << text;
  EXPECT_NE(text.find(shared + ":FM"), std::string::npos) << text;
  deinitThreadModule();
  manager->removeObjectFromRecord(ToQVString(shared), QVSyncTypeFileLockMutex);
}

TEST(ThreadModule, StartsOnceStopsBothThreadsAndStartsAgain) {
  for (int round = 0; round < 2; ++round) {
    ASSERT_TRUE(initThreadModule());
    ASSERT_TRUE(initThreadModule());  // a second environment: no second thread
    EXPECT_TRUE(qvtest::WaitUntil([] {
      return ThreadsNamed(kCleanUpThread) == 1 && ThreadsNamed(kBackgroundThread) == 1;
    })) << "round " << round;
    // The clean-up thread waits an hour between sweeps; stopping ends the wait.
    deinitThreadModule();
    EXPECT_TRUE(qvtest::NoThreadNamed(kCleanUpThread));
    EXPECT_TRUE(qvtest::NoThreadNamed(kBackgroundThread));
  }
}

TEST(ThreadModule, UnusableSyncDirectoryStartsNothing) {
  qvtest::TempDir dir;
  WriteFile(dir.file("plain"), "");
  const std::string saved = getenv("QUORVANE_TMPDIR") != nullptr ? getenv("QUORVANE_TMPDIR") : "";
  setenv("QUORVANE_TMPDIR", dir.file("plain").c_str(), 1);  // a file, not a folder
  EXPECT_FALSE(initThreadModule());
  EXPECT_TRUE(qvtest::NoThreadNamed(kCleanUpThread));
  deinitThreadModule();
  setenv("QUORVANE_TMPDIR", saved.c_str(), 1);
}

// Whether this process's clean-up thread is blocked (state S in /proc).
bool CleanUpThreadSleeps() {
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) return false;
  bool sleeping = false;
  while (dirent* entry = readdir(tasks)) {
    const std::string task = std::string("/proc/self/task/") + entry->d_name;
    std::ifstream comm(task + "/comm");
    std::string name;
    std::getline(comm, name);
    if (name.rfind("QV-UnixThreads", 0) != 0) continue;
    std::ifstream stat(task + "/stat");
    const std::string line((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t close = line.rfind(')');
    sleeping = close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'S';
  }
  closedir(tasks);
  return sleeping;
}

// A program that ends without stopping the module still exits: the clean-up
// thread may be waiting while the process's static objects are torn down.
TEST(ThreadModule, AProcessExitsWithTheCleanUpThreadRunning) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (!Quorvane::initThreadModule()) std::exit(3);
    // Exit only once the clean-up thread is asleep in its wait.
    const bool waiting = qvtest::WaitUntil([] { return CleanUpThreadSleeps(); }, std::chrono::seconds(10));
    std::exit(waiting ? 0 : 4);
  }
  int status = -1;
  const bool ended = qvtest::WaitUntil([&] { return waitpid(child, &status, WNOHANG) == child; },
                                       std::chrono::seconds(20));
  if (!ended) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
  }
  ASSERT_TRUE(ended) << "the process hung in exit";
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A dead process's record names objects by name only. Of those, the sweep
// removes what no one uses; an object a live process uses under that name
// (made afresh after the dead one's went, or only opened by the dead one)
// stays, and is the same object afterwards.
TEST(ThreadModule, ADeadProcesssRecordRemovesNoObjectThatIsInUse) {
  ASSERT_TRUE(initSyncObjectDir());
  const std::string usedFifo = Unique("usedfifo");
  const std::string openedFifo = Unique("openedfifo");
  const std::string unusedFifo = Unique("unusedfifo");
  const std::string usedLock = Unique("usedlock");
  QVFifoCondition made(ToQVString(usedFifo), QVCREATE);
  QVFifoCondition maker(ToQVString(openedFifo), QVCREATE);
  QVFifoCondition opened(ToQVString(openedFifo), QVOPEN);
  QVFileLockingMutexHandle lock(ToQVString(usedLock));
  ASSERT_EQ(mkfifo(SyncPath(unusedFifo).c_str(), 0666), 0);
  struct stat before[3];
  ASSERT_EQ(lstat(SyncPath(usedFifo).c_str(), &before[0]), 0);
  ASSERT_EQ(lstat(SyncPath(openedFifo).c_str(), &before[1]), 0);
  ASSERT_EQ(lstat(SyncPath(usedLock).c_str(), &before[2]), 0);
  const std::string dead = std::to_string(DeadPid());
  const std::string deadRecord = SyncPath("qv" + dead + "-gone.rec");
  WriteFile(deadRecord, dead + "\n" + usedFifo + ":FC\n" + openedFifo + ":FC\n" + unusedFifo + ":FC\n" + usedLock +
                            ":FM\n");

  ASSERT_TRUE(initThreadModule());
  EXPECT_TRUE(qvtest::WaitUntil([&] { return !Exists(deadRecord) && !Exists(SyncPath(unusedFifo)); }));
  deinitThreadModule();
  const std::string kept[3] = {usedFifo, openedFifo, usedLock};
  for (int i = 0; i < 3; ++i) {
    struct stat after;
    ASSERT_EQ(lstat(SyncPath(kept[i]).c_str(), &after), 0) << kept[i] << " was removed while in use";
    EXPECT_EQ(after.st_ino, before[i].st_ino) << kept[i];
  }
  QVFifoCondition byName(ToQVString(usedFifo), QVOPEN);
  byName.Signal();
  EXPECT_TRUE(made.Wait(0)) << "the name no longer reaches the FIFO in use";
}
