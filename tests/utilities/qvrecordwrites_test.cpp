// A process's record of named objects: written so that no reader ever finds
// it empty or cut short, even when its writer is killed midway; what such a
// writer leaves is swept; and the thread that writes removals finishes its
// work and stops when the thread module stops and at exit, so nothing writes
// into the sync folder after a program's own clean-up.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "quorvane.h"
#include "support/qvtest.h"
#include "tests/utilities/qvtestprocesses.h"
#include "utilities/qvplatformthreads.h"
#include "utilities/qvsyncobject.h"
#include "utilities/qvsyncobjectnamerecordmanager.h"
#include "utilities/qvunixthreadmodule.h"

using namespace Quorvane;

namespace {

const char kBackgroundThread[] = "QV-SyncObject-B";  // names keep 15 bytes
constexpr int kHelperSkipped = 77;

// An environment a child leaves open on purpose: still reachable at exit.
RVEnvironment* gLeftOpen = nullptr;

std::string SyncPath(const std::string& name) { return ToStdString(getThreadSyncDir()) + "/" + name; }

std::vector<std::string> EntriesIn(const std::string& folder) {
  std::vector<std::string> found;
  if (DIR* dir = opendir(folder.c_str())) {
    while (dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") found.push_back(name);
    }
    closedir(dir);
  }
  return found;
}

// The sync folder's entries that belong to process pid: its record files and
// what its unfinished writes of them left.
std::vector<std::string> EntriesOf(pid_t pid) {
  const std::string record = "qv" + std::to_string(pid) + "-";
  std::vector<std::string> found;
  for (const std::string& name : EntriesIn(ToStdString(getThreadSyncDir()))) {
    if (name.rfind(record, 0) == 0 || name.find("-" + record) != std::string::npos) found.push_back(name);
  }
  return found;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// A whole record of process pid as the writer below makes them: its id, then
// one to four entries, every line ended.
bool WholeRecordQ(const std::string& text, pid_t pid) {
  const std::string head = std::to_string(pid) + "\n";
  if (text.rfind(head, 0) != 0) return false;
  // Each line "entry-<digits>:FM".
  int entries = 0;
  for (size_t at = head.size(); at < text.size(); ++entries) {
    const size_t end = text.find('\n', at);
    if (end == std::string::npos) return false;
    const std::string line = text.substr(at, end - at);
    constexpr std::string_view kStart = "entry-", kEnd = ":FM";
    if (line.size() <= kStart.size() + kEnd.size() || line.rfind(kStart, 0) != 0 ||
        line.compare(line.size() - kEnd.size(), kEnd.size(), kEnd) != 0) {
      return false;
    }
    const std::string digits = line.substr(kStart.size(), line.size() - kStart.size() - kEnd.size());
    if (digits.find_first_not_of("0123456789") != std::string::npos) return false;
    at = end + 1;
  }
  return entries >= 1 && entries <= 4;
}

// A counter that a forked child and its parent both see.
class SharedCount {
 public:
  SharedCount() {
    void* memory = mmap(nullptr, sizeof(std::atomic<long>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) throw std::runtime_error("mmap failed");
    count_ = new (memory) std::atomic<long>(0);
  }
  ~SharedCount() { munmap(count_, sizeof(std::atomic<long>)); }
  SharedCount(const SharedCount&) = delete;
  SharedCount& operator=(const SharedCount&) = delete;
  std::atomic<long>& operator*() { return *count_; }

 private:
  std::atomic<long>* count_;
};

// In the child: whether the record thread serves this process (it does not
// in a child of a process that had one already, as when every case of this
// program runs in one process).
bool BackgroundThreadRunsQ() {
  return qvtest::WaitUntil([] { return qvtest::ThreadsNamed(kBackgroundThread) == 1; }, std::chrono::seconds(5));
}

// Makes and destroys count named locks: their removals from the record are
// queued, and none is asked to be written yet.
void MakeAndDropLocks(const std::string& stem, int count) {
  std::vector<std::unique_ptr<QVFileLockingMutexHandle>> handles;
  for (int i = 0; i < count; ++i) {
    handles.push_back(std::make_unique<QVFileLockingMutexHandle>(ToQVString(stem + std::to_string(i))));
  }
  handles.clear();
}

}  // namespace

// A writer killed at any moment of its rewrites leaves its record whole (or
// none), and once it is gone the sweep leaves nothing of it at all.
TEST(RecordFileWrites, AWriterKilledMidwayLeavesAWholeRecordOrNone) {
  ASSERT_TRUE(initSyncObjectDir());
  const int kKills = qvtest::kThreadSanitizer ? 50 : 200;  // each fork is slow there
  SharedCount writes;
  std::mt19937 random(38);
  std::vector<pid_t> writers;
  int broken = 0;
  std::string example;
  for (int kill = 0; kill < kKills; ++kill) {
    *writes = 0;
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      QVSyncObjectNameRecordManager manager;  // no thread: every call writes at once
      for (long i = 0;; ++i) {
        manager.addObjectToRecord(ToQVString("entry-" + std::to_string(i)), QVSyncTypeFileLockMutex);
        if (i >= 3) {
          manager.removeObjectFromRecord(ToQVString("entry-" + std::to_string(i - 3)), QVSyncTypeFileLockMutex);
        }
        ++*writes;
      }
    }
    qvtest::ChildKiller killer(child);
    const long target = 1 + static_cast<long>(random() % 40);
    ASSERT_TRUE(qvtest::WaitUntil([&] { return (*writes).load() >= target; }));
    ::kill(child, SIGKILL);
    ASSERT_EQ(waitpid(child, nullptr, 0), child);
    killer.release();
    writers.push_back(child);
    for (const std::string& name : EntriesOf(child)) {
      if (name.rfind("qv", 0) != 0) continue;  // an unfinished write, not a record
      const std::string text = ReadFile(SyncPath(name));
      if (!WholeRecordQ(text, child)) {
        ++broken;
        example = name + ": \"" + text + "\"";
      }
    }
  }
  EXPECT_EQ(broken, 0) << "of " << kKills << " records whose writer was killed; e.g. " << example;

  ASSERT_TRUE(initThreadModule());
  std::vector<std::string> left;
  EXPECT_TRUE(qvtest::WaitUntil([&] {
    left.clear();
    for (const pid_t writer : writers) {
      for (const std::string& name : EntriesOf(writer)) left.push_back(name);
    }
    return left.empty();
  })) << left.size() << " left, e.g. " << left.front();
  deinitThreadModule();
}

// A crash between writing the new text and putting it in place: the old
// record stands as it was, and the sweep removes the new text's file once its
// writer is gone (never one whose writer lives).
TEST(RecordFileWrites, ACrashBeforeTheRenameLeavesTheOldRecordAndTheSweepTheRest) {
  ASSERT_TRUE(initSyncObjectDir());
  QVSyncObjectNameRecordManager manager;
  manager.addObjectToRecord("kept", QVSyncTypeFileLockMutex);
  const std::string name = ToStdString(manager.computeRecordFileName(getpid()));
  const std::string record = SyncPath(name);
  const std::string before = ReadFile(record);
  ASSERT_EQ(before, std::to_string(getpid()) + "\nkept:FM\n");

  pid_t dead = fork();
  if (dead == 0) _exit(0);
  ASSERT_EQ(waitpid(dead, nullptr, 0), dead);
  // What a writer that died (and one that still writes) leaves beside a record.
  const std::string abandoned = SyncPath(".new-" + name + "." + std::to_string(dead) + ".0.0");
  const std::string inProgress = SyncPath(".new-" + name + "." + std::to_string(getpid()) + ".7.0");
  std::ofstream(abandoned) << getpid() << "\nkept:FM\nhalf";
  std::ofstream(inProgress) << getpid() << "\n";
  EXPECT_EQ(manager.getRecordList().size(), 1u) << "the listing took a new text for a record";

  ASSERT_TRUE(initThreadModule());
  EXPECT_TRUE(qvtest::WaitUntil([&] { return !Exists(abandoned); }));
  deinitThreadModule();
  EXPECT_EQ(ReadFile(record), before);
  EXPECT_TRUE(Exists(inProgress));
  unlink(inProgress.c_str());
  manager.removeObjectFromRecord("kept", QVSyncTypeFileLockMutex);
  EXPECT_FALSE(Exists(record));
}

// Ending the last environment stops the record thread only once it has
// written every removal queued before; afterwards no thread serves the
// record, and a removal is written by whoever makes it.
TEST(RecordThread, EndingTheLastEnvironmentWritesWhatWasQueuedAndStartsNoThread) {
  RVEnvironment* environment = RVInitialize(nullptr);
  ASSERT_NE(environment, nullptr);
  ASSERT_TRUE(qvtest::WaitUntil([] { return qvtest::ThreadsNamed(kBackgroundThread) == 1; }));
  const std::vector<std::string> own = [] {
    QVFileLockingMutexHandle probe("probe");
    return EntriesOf(getpid());
  }();
  ASSERT_EQ(own.size(), 1u);
  const std::string record = SyncPath(own[0]);
  auto outliving = std::make_unique<QVFileLockingMutexHandle>("outliving");
  MakeAndDropLocks("queued-", 20);
  ASSERT_NE(ReadFile(record).find("queued-"), std::string::npos);

  RVDeinitialize(environment);
  EXPECT_EQ(qvtest::ThreadsNamed(kBackgroundThread), 0) << "the record thread outlived the environment";
  EXPECT_EQ(ReadFile(record), std::to_string(getpid()) + "\noutliving:FM\n") << "queued removals were dropped";

  outliving.reset();
  EXPECT_FALSE(Exists(record)) << "a removal after the end waits for a thread that is not there";
  EXPECT_EQ(qvtest::ThreadsNamed(kBackgroundThread), 0);
}

// A program that ends with its record thread running, with or without an
// environment left open: exit writes what the thread still had queued (so
// the record ends with the program's objects) and stops it.
TEST(RecordThread, ExitWritesWhatWasQueued) {
  for (const bool environmentLeftOpen : {false, true}) {
    SharedCount pid;
    const int status = qvtest::RunInChildThroughExit([&] {
      // What an environment left open holds is not freed at exit, by design:
      // a leak checker in this child would report it.
      if (environmentLeftOpen) qvtest::DisableLeakChecks();
      if (environmentLeftOpen && (gLeftOpen = RVInitialize(nullptr)) == nullptr) return 2;
      auto first = std::make_unique<QVFileLockingMutexHandle>("first");
      if (!BackgroundThreadRunsQ()) return kHelperSkipped;
      *pid = getpid();
      first.reset();
      MakeAndDropLocks("queued-", 20);
      return 0;  // through exit(), the environment (if any) still open
    });
    if (WIFEXITED(status) && WEXITSTATUS(status) == kHelperSkipped) {
      GTEST_SKIP() << "this process had a record thread before the child forked";
    }
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << "; environment left open: "
                                                              << environmentLeftOpen;
    const std::vector<std::string> left = EntriesOf(static_cast<pid_t>((*pid).load()));
    EXPECT_TRUE(left.empty()) << "environment left open: " << environmentLeftOpen << "; left " << left[0] << ": "
                              << ReadFile(SyncPath(left[0]));
  }
}

// A test program's own end: its record thread is busy writing removals when
// the private root goes; nothing may make the root again or keep it.
TEST(RecordThread, NothingIsWrittenAfterATestProgramsCleanUp) {
  qvtest::TempDir dir;
  const int runs = qvtest::kThreadSanitizer ? 5 : 20;
  for (int run = 0; run < runs; ++run) {
    const std::string root = dir.file("run" + std::to_string(run));
    const int status = qvtest::RunInChildThroughExit([&] {
      if (mkdir(root.c_str(), 0700) != 0) return 2;
      setenv("QUORVANE_TMPDIR", root.c_str(), 1);
      if (!initSyncObjectDir()) return 3;
      auto first = std::make_unique<QVFileLockingMutexHandle>("first");
      if (!BackgroundThreadRunsQ()) return kHelperSkipped;
      first.reset();
      MakeAndDropLocks("queued-", 100);
      QVSyncObjectNameRecordManager::defaultManager()->flushRemovedObjectsFromSystemRecord();
      qvtest::EndTestProcess(root);
      return 0;
    });
    if (WIFEXITED(status) && WEXITSTATUS(status) == kHelperSkipped) {
      GTEST_SKIP() << "this process had a record thread before the child forked";
    }
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_FALSE(Exists(root)) << "run " << run << " left: " << EntriesIn(root).size() << " entries";
  }
}
