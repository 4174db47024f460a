// Shared-memory record files on disk: their text both ways, the update rules
// as files before and after, which names are record files, the stale test,
// processes changing one record at once without a reader ever seeing a live
// segment as stale, a first record that is never seen half made, and a
// writer killed midway that never leaves a record empty or cut short.
#include "device/qvshmrecordmanager.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/qvtest.h"
#include "utilities/qvexception.h"
#include "utilities/qvfiletest.h"
#include "utilities/qvsyncobject.h"
#include "utilities/qvtestprocesses.h"
#include "utilities/qvunixthreadmodule.h"

using namespace Quorvane;
using qvfiletest::ModeOf;
using qvfiletest::ReadWithStream;
using qvfiletest::WriteWithStream;

namespace {

constexpr int kNoThrow = -1;

// The type thrown (and its code), or kNoThrow.
template <typename F>
std::pair<int, int> Thrown(F&& f) {
  try {
    f();
  } catch (const QVException& e) {
    return {static_cast<int>(e.getType()), e.getCode()};
  }
  return {kNoThrow, 0};
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// A process id that names no process: a child that has ended and been reaped.
int DeadPid() {
  const pid_t child = fork();
  if (child == 0) _exit(0);
  waitpid(child, nullptr, 0);
  return child;
}

}  // namespace

TEST(SHMRecordFormat, ReadsTheFirstLineAndRefusesWhatIsNoRecord) {
  struct Case {
    std::string text;
    std::optional<QVSHMRecord> expected;  // none: type 15
  };
  const Case cases[] = {
      {"1234:\n", QVSHMRecord{1234, 0}},
      {":77\n", QVSHMRecord{0, 77}},
      {"12:34", QVSHMRecord{12, 34}},
      {":\n", QVSHMRecord{0, 0}},
      {"5:6\n7:8\n", QVSHMRecord{5, 6}},
      {"1:2:3\n", QVSHMRecord{1, 2}},
      {"  -3 : 4x\n", QVSHMRecord{-3, 4}},
      {"+8:junk\n", QVSHMRecord{8, 0}},
      {std::string("9:1\0:5", 6), QVSHMRecord{9, 1}},
      {"2147483647:-2147483648\n", QVSHMRecord{2147483647, -2147483647 - 1}},
      {"abc", std::nullopt},
      {"", std::nullopt},
      {"12\n:34\n", std::nullopt},
      {std::string("\0:5\n", 4), std::nullopt},
      {"2147483648:\n", std::nullopt},
      {":99999999999999999999999\n", std::nullopt},
      {"4294967297:\n", std::nullopt},
  };
  const QVSHMRecordFileFormat format;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const auto data = QVData::initWithBytesAndLength(c.text.data(), c.text.size());
    QVSHMRecord got{-1, -1};
    const auto thrown = Thrown([&] { got = format.interpretFileContents(data); });
    if (c.expected) {
      EXPECT_EQ(thrown.first, kNoThrow);
      EXPECT_EQ(got, *c.expected);
    } else {
      EXPECT_EQ(thrown.first, static_cast<int>(qvexceptiontype::badRecordFile));
    }
  }
}

TEST(SHMRecordFormat, WritesEmptySlotsAsNoDigits) {
  const std::pair<QVSHMRecord, std::string> cases[] = {
      {{1234, 0}, "1234:\n"}, {{0, 5678}, ":5678\n"}, {{0, 0}, ":\n"},
      {{12, 34}, "12:34\n"},  {{-7, 1}, "-7:1\n"},
  };
  const QVSHMRecordFileFormat format;
  for (const auto& [record, text] : cases) {
    const auto data = format.makeFileContents("ignored", record);
    EXPECT_EQ(std::string(static_cast<const char*>(data->bytes()), data->length()), text);
    EXPECT_EQ(format.interpretFileContents(data), record);
  }
}

TEST(SHMRecordNames, RecordFileNamesAndTheSegmentsTheyName) {
  struct Case {
    const char* file;
    bool valid;
    const char* segment;
  };
  const Case cases[] = {
      {"qvshm-abc_shm.rec", true, "abc_shm"},
      {"qvshm-.rec", true, ""},
      {"qvshm-abc_shm.rec.bak", false, "abc_shm"},
      // Dots in a segment's name stay part of it: only the ending is the suffix.
      {"qvshm-a.b.rec", true, "a.b"},
      {"qvshm-a..b.rec", true, "a..b"},
      {"qvshm-name.rec.rec", true, "name.rec"},
      {"qvshm-a:b.c.rec", true, "a:b.c"},
      {"qvshm-.x.rec", true, ".x"},
      {"qvshm-rec", false, "rec"},
      {"qvshm.rec", false, "rec"},
      {"qvshm-", false, ""},
      {"qvshm-abc", false, "abc"},
      {"qvshmx-abc.rec", false, "-abc"},
      {"xqvshm-a.rec", false, "-a"},
      {"qv1234-ABCDEFGHIJ.rec", false, "-ABCDEFGHIJ"},  // a sync-object record file
      {"qvshm-abc.REC", false, "abc"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    EXPECT_EQ(QVSHMRecordManager::isValidRecordFileName(c.file), c.valid);
    EXPECT_EQ(QVSHMRecordManager::segmentNameFromFileName(c.file), c.segment);
  }
  EXPECT_EQ(QVSHMRecordManager::makeFileName("abcde_shm"), "qvshm-abcde_shm.rec");
  for (const char* segment : {"abcde_shm", "a.b", "a..b", "name.rec", ".rec", "a:b:c", "x\ny.", ""}) {
    SCOPED_TRACE(segment);
    EXPECT_TRUE(QVSHMRecordManager::isValidRecordFileName(QVSHMRecordManager::makeFileName(segment)));
    EXPECT_EQ(QVSHMRecordManager::segmentNameFromFileName(QVSHMRecordManager::makeFileName(segment)), segment);
  }
}

namespace {

// An object in memory shared with the children forked after it was made.
template <typename T>
class SharedWithChildren {
 public:
  SharedWithChildren() {
    memory_ = mmap(nullptr, sizeof(T), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory_ == MAP_FAILED) throw std::runtime_error("mmap");
    object_ = new (memory_) T{};
  }
  ~SharedWithChildren() { munmap(memory_, sizeof(T)); }
  SharedWithChildren(const SharedWithChildren&) = delete;
  SharedWithChildren& operator=(const SharedWithChildren&) = delete;
  T* operator->() const { return object_; }

 private:
  void* memory_ = nullptr;
  T* object_ = nullptr;
};

class SHMRecordFiles : public ::testing::Test {
 protected:
  std::string Path(const std::string& segment) { return dir.file("qvshm-" + segment + ".rec"); }

  // Forks a user of the record directory with a manager of its own. The
  // child counts itself in *finished (when given) and exits with what body
  // answers, or 1 when the manager throws.
  pid_t ForkUser(const std::function<int(QVSHMRecordManager&)>& body, std::atomic<int>* finished = nullptr) {
    const pid_t child = fork();
    if (child != 0) return child;
    int status = 1;
    try {
      QVSHMRecordManager own(ToQVString(dir.path()));
      status = body(own);
    } catch (const QVException&) {
    }
    if (finished != nullptr) ++*finished;
    _exit(status);
  }

  qvtest::TempDir dir;
  QVSHMRecordManager manager{ToQVString(dir.path())};
  qvfiletest::Umask022 umask;
};

}  // namespace

TEST_F(SHMRecordFiles, UpdateRulesAsFilesBeforeAndAfter) {
  enum class Op { make, add, remove };
  struct Case {
    const char* what;
    std::optional<std::string> before;  // none: no file
    Op op;
    int pid;
    std::optional<std::string> after;  // none: no file
  };
  const Case cases[] = {
      {"listener records a new segment", std::nullopt, Op::make, 1234, "1234:\n"},
      {"making an existing record adds", "1234:\n", Op::make, 77, "1234:77\n"},
      {"connector joins", "1234:\n", Op::add, 99, "1234:99\n"},
      {"adding again changes nothing", "1234:\n", Op::add, 1234, "1234:\n"},
      {"adding a member of a full record", "1234:99\n", Op::add, 99, "1234:99\n"},
      {"a third process takes the first slot", "1234:99\n", Op::add, 7, "7:99\n"},
      {"first slot free", ":99\n", Op::add, 5, "5:99\n"},
      {"first slot free, already in the second", ":99\n", Op::add, 99, ":99\n"},
      {"one process in both slots", "5:5\n", Op::add, 5, "5:\n"},
      {"adding to a missing record makes it", std::nullopt, Op::add, 42, "42:\n"},
      {"adding to an empty file", "", Op::add, 42, "42:\n"},
      {"first user leaves", "1234:99\n", Op::remove, 1234, ":99\n"},
      {"second user leaves", "1234:99\n", Op::remove, 99, "1234:\n"},
      {"last user leaves", ":99\n", Op::remove, 99, std::nullopt},
      {"one process in both slots leaves", "5:5\n", Op::remove, 5, std::nullopt},
      {"a stranger leaves", "1234:99\n", Op::remove, 7, "1234:99\n"},
      {"leaving a missing record", std::nullopt, Op::remove, 7, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = Path("rules");
    unlink(path.c_str());
    if (c.before) {
      WriteWithStream(path, *c.before);
      chmod(path.c_str(), 0600);
    }
    const auto thrown = Thrown([&] {
      switch (c.op) {
        case Op::make: manager.makeRecordOfSegmentNameUsedByProcess("rules", c.pid); break;
        case Op::add: manager.addProcessIDToSegmentRecord("rules", c.pid); break;
        case Op::remove: manager.removeProcessIDFromSegmentRecord("rules", c.pid); break;
      }
    });
    EXPECT_EQ(thrown.first, kNoThrow);
    ASSERT_EQ(Exists(path), c.after.has_value());
    if (!c.after) continue;
    EXPECT_EQ(ReadWithStream(path), *c.after);
    // Every add leaves the file open to every user; a remove leaves the mode.
    EXPECT_EQ(ModeOf(path), c.op == Op::remove ? 0600u : 0666u);
  }
}

TEST_F(SHMRecordFiles, RecordsThatAreNoRecordsAreRefusedAndKept) {
  for (const std::string& text : {std::string("abc\n"), std::string("\n:5\n")}) {
    SCOPED_TRACE(text);
    WriteWithStream(Path("junk"), text);
    for (int remove = 0; remove < 2; ++remove) {
      const auto thrown = Thrown([&] {
        if (remove) manager.removeProcessIDFromSegmentRecord("junk", 5);
        else manager.addProcessIDToSegmentRecord("junk", 5);
      });
      EXPECT_EQ(thrown.first, static_cast<int>(qvexceptiontype::wrapped));
      EXPECT_EQ(thrown.second, static_cast<int>(qvexceptiontype::badRecordFile));
      EXPECT_EQ(ReadWithStream(Path("junk")), text);
    }
    EXPECT_FALSE(manager.segmentStillActiveQ("junk")) << "a record that does not parse is stale";
  }
  // No id to record, and names that would leave the directory.
  EXPECT_EQ(Thrown([&] { manager.addProcessIDToSegmentRecord("x", 0); }).first,
            static_cast<int>(qvexceptiontype::badArgument));
  for (const QVString& name : {QVString("../escape"), QVString("a\0b", 3)}) {
    EXPECT_EQ(Thrown([&] { manager.makeRecordOfSegmentNameUsedByProcess(name, 5); }).first,
              static_cast<int>(qvexceptiontype::badArgument));
  }
  EXPECT_FALSE(Exists(dir.path() + "/../qvshm-escape.rec"));
}

TEST_F(SHMRecordFiles, StillActiveOnlyWhileARecordedProcessLives) {
  const int self = getpid();
  const int dead = DeadPid();
  const std::string selfText = std::to_string(self);
  const std::string deadText = std::to_string(dead);
  const std::pair<std::optional<std::string>, bool> cases[] = {
      {std::nullopt, false},
      {selfText + ":\n", true},
      {":" + selfText + "\n", true},
      {deadText + ":" + selfText + "\n", true},
      {deadText + ":\n", false},
      {deadText + ":" + deadText + "\n", false},
      {"-1:0\n", false},
      {"", false},
  };
  for (const auto& [text, active] : cases) {
    SCOPED_TRACE(text.value_or("(no file)"));
    unlink(Path("live").c_str());
    if (text) WriteWithStream(Path("live"), *text);
    EXPECT_EQ(manager.segmentStillActiveQ("live"), active);
    EXPECT_FALSE(text && text->empty() && Exists(Path("live"))) << "an empty file is no record";
    EXPECT_FALSE(!text && Exists(Path("live"))) << "asking made a file";
  }
}

// The shared directory may hold anything: a FIFO would block a reader for
// good, a link would send writes elsewhere. Neither is read or written, and
// nothing is made at the link's target.
TEST_F(SHMRecordFiles, PlantedFifoAndLinkAreRefused) {
  ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0666), 0);
  const std::string target = dir.file("target");
  ASSERT_EQ(symlink(target.c_str(), Path("link").c_str()), 0);
  for (const char* name : {"fifo", "link"}) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(manager.segmentStillActiveQ(name));
    EXPECT_EQ(Thrown([&] { manager.addProcessIDToSegmentRecord(name, 5); }).first,
              static_cast<int>(qvexceptiontype::wrapped));
  }
  EXPECT_FALSE(Exists(target));
}

TEST_F(SHMRecordFiles, ListsOnlyRecordFilesOfSegmentsAndPrints) {
  for (const char* file : {"qvshm-a.rec", "qvshm-b_shm.rec", "qv123-XYZ.rec", "qvshm-c.rec.bak",
                           "other.txt", "qvshm-d.e.rec"}) {
    WriteWithStream(dir.file(file), "1:\n");
  }
  QVStringList listed = manager.getRecordList();
  std::vector<std::string> names;
  for (const QVString& name : listed) names.push_back(ToStdString(name));
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"a", "b_shm", "d.e"}));

  manager.removeSegmentRecord("a");
  manager.removeSegmentRecord("never-was");
  EXPECT_FALSE(Exists(dir.file("qvshm-a.rec")));

  std::ostringstream out;
  out << manager;
  EXPECT_EQ(out.str(), "<QVSHMRecordManager><recordFileDirectory>" + dir.path() +
                           "</recordFileDirectory></QVSHMRecordManager>");
  std::ostringstream bare;
  bare << QVSHMRecordManager("");
  EXPECT_EQ(bare.str(), "<QVSHMRecordManager></QVSHMRecordManager>");
}

// Two processes join and leave one record many times while this one keeps
// asking whether the segment is still in use. Each user counts up once when
// its add has returned and once before its remove starts, so an odd count
// that did not move during a question means that user was in the record all
// along; "stale" then is a lost or half-written record.
TEST_F(SHMRecordFiles, ProcessesChangingOneRecordNeverLookStaleToAReader) {
  struct Shared {
    std::atomic<uint32_t> changes[2];
    std::atomic<int> finished;
  };
  SharedWithChildren<Shared> shared;
  constexpr int kRounds = 1000;

  std::vector<pid_t> users;
  for (int i = 0; i < 2; ++i) {
    const pid_t child = ForkUser(
        [&](QVSHMRecordManager& own) {
          int status = 0;
          for (int round = 0; round < kRounds; ++round) {
            own.addProcessIDToSegmentRecord("busy", getpid());
            shared->changes[i]++;
            for (int look = 0; look < 3; ++look) {
              if (!own.segmentStillActiveQ("busy")) status = 2;
            }
            shared->changes[i]++;
            own.removeProcessIDFromSegmentRecord("busy", getpid());
          }
          return status;
        },
        &shared->finished);
    ASSERT_GE(child, 0);
    users.push_back(child);
  }
  qvtest::ChildKiller first(users[0]), second(users[1]);

  int questions = 0, mustBeActive = 0, wronglyStale = 0;
  while (shared->finished.load() < 2) {
    uint32_t before[2];
    for (int i = 0; i < 2; ++i) before[i] = shared->changes[i].load();
    const bool active = manager.segmentStillActiveQ("busy");
    bool held = false;
    for (int i = 0; i < 2; ++i) {
      held |= before[i] % 2 == 1 && shared->changes[i].load() == before[i];
    }
    ++questions;
    if (held) ++mustBeActive;
    if (held && !active) ++wronglyStale;
  }
  for (pid_t child : users) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  first.release();
  second.release();
  EXPECT_EQ(wronglyStale, 0) << "of " << mustBeActive << " questions while a user was recorded";
  EXPECT_GT(mustBeActive, 0) << questions << " questions";
  EXPECT_FALSE(Exists(Path("busy"))) << "the last user to leave deletes the record";
}

// A segment watch that looks at a record while its first user is still making
// it must never find it empty and call the live segment stale. One child makes
// and removes the record over and over; the parent judges only questions
// asked while the file was there and no removal had begun.
TEST_F(SHMRecordFiles, ARecordBeingMadeNeverLooksStaleToAWatch) {
  // step % 4: 1 adding, 2 recorded, 3 removing, 0 gone; step / 4 the round.
  struct Shared {
    std::atomic<uint32_t> step;
    std::atomic<int> finished;
    std::atomic<int> judged;  // questions the parent could judge
  };
  SharedWithChildren<Shared> shared;
  constexpr int kRounds = 1000;
  const pid_t child = ForkUser(
      [&](QVSHMRecordManager& own) {
        for (int round = 0; round < kRounds; ++round) {
          shared->step++;
          const int judgedBefore = shared->judged.load();
          own.makeRecordOfSegmentNameUsedByProcess("fresh", getpid());
          shared->step++;
          // Held until the watch has judged a question of this round, for a
          // short while at most.
          const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(5);
          while (shared->judged.load() == judgedBefore && std::chrono::steady_clock::now() < until) sched_yield();
          shared->step++;
          own.removeProcessIDFromSegmentRecord("fresh", getpid());
          shared->step++;
        }
        return 0;
      },
      &shared->finished);
  ASSERT_GE(child, 0);
  qvtest::ChildKiller killer(child);
  const std::string path = Path("fresh");
  int judged = 0, wronglyStale = 0;
  while (shared->finished.load() == 0) {
    const uint32_t before = shared->step.load();
    const bool there = Exists(path);
    const bool active = manager.segmentStillActiveQ("fresh");
    const uint32_t after = shared->step.load();
    auto held = [](uint32_t step) { return step % 4 == 1 || step % 4 == 2; };
    const bool noRemovalBegun = before / 4 == after / 4 && held(before) && held(after);
    if (!there || !noRemovalBegun) continue;
    ++judged;
    shared->judged++;
    if (!active) ++wronglyStale;
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  killer.release();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(wronglyStale, 0) << "of " << judged << " questions while the record was being made or held";
  EXPECT_GT(judged, 0);
  EXPECT_FALSE(Exists(path));
}

// A first record is made whole: it is there with its user's id and mode 0666
// or not at all, and two processes making it at once both end up in it.
TEST_F(SHMRecordFiles, FirstRecordsAreMadeWholeAlsoByTwoProcessesAtOnce) {
  manager.makeRecordOfSegmentNameUsedByProcess("whole", 1234);
  EXPECT_EQ(ReadWithStream(Path("whole")), "1234:\n");
  EXPECT_EQ(ModeOf(Path("whole")), 0666u);
  constexpr int kRounds = 40;
  for (int round = 0; round < kRounds; ++round) {
    const std::string name = "both" + std::to_string(round);
    std::vector<pid_t> children;
    for (int i = 0; i < 2; ++i) {
      const pid_t child = ForkUser([&](QVSHMRecordManager& own) {
        own.addProcessIDToSegmentRecord(ToQVString(name), 100 + i);
        return 0;
      });
      ASSERT_GE(child, 0);
      children.push_back(child);
    }
    for (pid_t child : children) {
      int status = 0;
      ASSERT_EQ(waitpid(child, &status, 0), child);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    const std::string text = ReadWithStream(Path(name));
    EXPECT_TRUE(text == "100:101\n" || text == "101:100\n") << round << ": " << text;
  }
  // Nothing but the records is left in the directory.
  size_t entries = 0;
  for (const QVString& entry : QVFileManager().entryNamesForDirectoryAtPath(ToQVString(dir.path()))) {
    if (entry != "." && entry != "..") ++entries;
  }
  EXPECT_EQ(entries, static_cast<size_t>(kRounds) + 1);
}

namespace {

// The sync folder's leftovers of unfinished record writes.
std::vector<std::string> UnfinishedWritesIn(const std::string& folder) {
  std::vector<std::string> found;
  for (const QVString& entry : QVFileManager().entryNamesForDirectoryAtPath(ToQVString(folder))) {
    const std::string name = ToStdString(entry);
    if (name.rfind(".new-qvshm-", 0) == 0) found.push_back(name);
  }
  return found;
}

}  // namespace

// A writer killed at any moment of its updates leaves the record whole (one
// of the two it writes in turn), never empty or cut short; what it left
// beside the record is gone after the next sweep of the sync folder.
TEST(SHMRecordWrites, AWriterKilledMidwayLeavesAWholeRecord) {
  ASSERT_TRUE(initSyncObjectDir());
  const std::string folder = ToStdString(getThreadSyncDir());
  const std::string path = folder + "/qvshm-killed.rec";
  const int kKills = qvtest::kThreadSanitizer ? 50 : 200;  // each fork is slow there
  SharedWithChildren<std::atomic<long>> writes;
  std::mt19937 random(38);
  int broken = 0;
  std::string example;
  for (int kill = 0; kill < kKills; ++kill) {
    unlink(path.c_str());
    writes->store(0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      QVSHMRecordManager own;
      own.addProcessIDToSegmentRecord("killed", 2222);
      for (;;) {
        own.addProcessIDToSegmentRecord("killed", 1111);
        writes->fetch_add(1);
        own.removeProcessIDFromSegmentRecord("killed", 1111);
        writes->fetch_add(1);
      }
    }
    qvtest::ChildKiller killer(child);
    const long target = 1 + static_cast<long>(random() % 40);
    ASSERT_TRUE(qvtest::WaitUntil([&] { return writes->load() >= target; }));
    ::kill(child, SIGKILL);
    ASSERT_EQ(waitpid(child, nullptr, 0), child);
    killer.release();
    const std::string text = ReadWithStream(path);
    if (text != "2222:\n" && text != "2222:1111\n") {
      ++broken;
      example = "\"" + text + "\"";
    }
  }
  unlink(path.c_str());
  EXPECT_EQ(broken, 0) << "of " << kKills << " records whose writer was killed; e.g. " << example;

  ASSERT_TRUE(initThreadModule());
  std::vector<std::string> left;
  EXPECT_TRUE(qvtest::WaitUntil([&] {
    left = UnfinishedWritesIn(folder);
    return left.empty();
  })) << left.size() << " left, e.g. " << left.front();
  deinitThreadModule();
}
