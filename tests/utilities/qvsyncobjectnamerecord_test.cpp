#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/qvpattern.h"
#include "support/qvtest.h"
#include "utilities/qvexception.h"
#include "utilities/qvsyncobject.h"
#include "utilities/qvsyncobjectnamerecordfileformat.h"
#include "utilities/qvsyncobjectnamerecordmanager.h"

using namespace Quorvane;

namespace {

struct Entry {
  std::string name;
  int type;
  int pid;
  bool operator==(const Entry& other) const {
    return name == other.name && type == other.type && pid == other.pid;
  }
};
std::ostream& operator<<(std::ostream& os, const Entry& e) {
  return os << "{" << e.name << "," << e.type << "," << e.pid << "}";
}

std::vector<Entry> Entries(const QVSyncObjectNameRecordList& records) {
  std::vector<Entry> entries;
  for (const auto& r : records) entries.push_back({ToStdString(r.name), r.type, r.processID});
  return entries;
}

QVSmartPointer<QVData> Data(const std::string& text) {
  return QVSmartPointer<QVData>(new QVData(text.data(), text.size()));
}

std::string Text(const QVSmartPointer<QVData>& data) {
  if (!data || data->length() == 0) return "";
  return std::string(static_cast<const char*>(data->bytes()), data->length());
}

std::vector<Entry> Read(const std::string& text) {
  return Entries(QVSyncObjectNameRecordFileFormat().interpretFileContents(Data(text)));
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream all;
  all << in.rdbuf();
  return all.str();
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

const std::string kPid = std::to_string(getpid());

}  // namespace

TEST(RecordFileFormat, WritesAndReadsBack) {
  const int pid = getpid();
  QVSyncObjectNameRecordList records;
  records.emplace_back("lock-one", QVSyncTypeFileLockMutex, pid);
  records.emplace_back("ignored", QVSyncTypeUnknown, pid + 1);  // kind 0: left out, pid not looked at
  records.emplace_back("fifo-two", QVSyncTypeFifoCondition, pid);
  records.emplace_back("lock-one", QVSyncTypeFileLockMutex, pid);  // repeats are kept
  records.emplace_back(":with:colons:", QVSyncTypeFifoCondition, pid);  // written as they stand
  for (int type = 1; type <= 10; ++type) {
    records.emplace_back(ToQVString("k" + std::to_string(type)), static_cast<_qvsynctype>(type), pid);
  }
  const QVSyncObjectNameRecordFileFormat format;
  const std::string text = Text(format.makeFileContents(records));
  EXPECT_EQ(text.substr(0, text.find("k1:")),
            kPid + "\nlock-one:FM\nfifo-two:FC\nlock-one:FM\n:with:colons::FC\n");
  EXPECT_EQ(text.substr(text.find("k1:")),
            "k1:SM\nk2:SC\nk3:FM\nk4:FC\nk5:PC\nk6:PTM\nk7:PTC\nk8:WM\nk9:WCM\nk10:WC\n");

  std::vector<Entry> expected;
  for (const auto& r : records) {
    if (r.type != QVSyncTypeUnknown) expected.push_back({ToStdString(r.name), r.type, pid});
  }
  const QVSyncObjectNameRecordList back = format.interpretFileContents(Data(text));
  EXPECT_EQ(Entries(back), expected);
  for (const auto& r : back) EXPECT_TRUE(r.recordFile.empty());

  EXPECT_EQ(Text(format.makeFileContents({})), "");
  std::ostringstream printed;
  printed << format;
  EXPECT_EQ(printed.str(), "</QVSyncObjectNameRecordFileFormat>");
}

TEST(RecordFileFormat, RecordsOfTwoProcessesAreRefused) {
  QVSyncObjectNameRecordList records;
  records.emplace_back("a", QVSyncTypeFileLockMutex, 10);
  records.emplace_back("b", QVSyncTypeFifoCondition, 11);
  try {
    QVSyncObjectNameRecordFileFormat().makeFileContents(records);
    ADD_FAILURE() << "no exception";
  } catch (const QVException& e) {
    EXPECT_EQ(e.getType(), qvexceptiontype::badRecordFile);
    EXPECT_EQ(ToStdString(e.getWhat()), "Process ids do not match.");
    EXPECT_EQ(ToStdString(e.getFile()), "utilities/qvsyncobjectnamerecordfileformat");
  }
}

TEST(RecordFileFormat, ReadsWhatItFindsLineByLine) {
  struct Case {
    const char* label;
    std::string text;
    std::vector<Entry> expected;
  };
  const std::vector<Case> cases = {
      {"empty", "", {}},
      {"first line only", "42\n", {}},
      {"no final line feed", "42\nx:FM", {{"x", 3, 42}}},
      {"skips lines without colon and empty lines", "42\nnocolon\n\ny:FC\n", {{"y", 4, 42}}},
      // A name may hold colons; the code after the last one never does.
      {"colon in the name", "42\na:b:FM\n", {{"a:b", 3, 42}}},
      {"colons around the name", "42\n:a::FC\n", {{":a:", 4, 42}}},
      // What follows a known code is no code: such a line names nothing to
      // remove, as it never did.
      {"field after the code", "42\nx:FM:7\n", {{"x:FM", 0, 42}}},
      {"colon after the code", "42\nx:FM:\n", {{"x:FM", 0, 42}}},
      {"lower-case code", "42\nx:fm\n", {{"x", 0, 42}}},
      {"trailing blank", "42\nx:FM \n", {{"x", 0, 42}}},
      {"carriage returns", "42\r\nx:FM\r\n", {{"x", 0, 42}}},
      {"empty name", "42\n:FM\n", {{"", 3, 42}}},
      {"first line not a number", "abc\nx:SC\n", {{"x", 2, 0}}},
      {"blanks and sign", "  -12xyz\nx:SM\n", {{"x", 1, -12}}},
      {"out of range", "99999999999999999999\nx:SM\n", {{"x", 1, -1}}},
      {"zero byte ends the line", std::string("42\nx\0y:FM\nz:FC\n", 14), {{"z", 4, 42}}},
      {"longest line", "42\n" + std::string(508, 'n') + ":FM\n", {{std::string(508, 'n'), 3, 42}}},
      {"longest line at the end", "42\n" + std::string(508, 'n') + ":FM",
       {{std::string(508, 'n'), 3, 42}}},
  };
  for (const Case& c : cases) EXPECT_EQ(Read(c.text), c.expected) << c.label;
}

TEST(RecordFileFormat, OverlongLineThrows) {
  for (const std::string& text : {"42\n" + std::string(509, 'n') + ":FM\n",
                                  "42\n" + std::string(600, 'n'),
                                  "42\nok:FM\n" + std::string(512, ':')}) {
    try {
      Read(text);
      ADD_FAILURE() << "accepted a line of " << text.size() << " bytes";
    } catch (const QVException& e) {
      EXPECT_EQ(e.getType(), qvexceptiontype::wrapped);
      EXPECT_EQ(ToStdString(e.getWhat()), "Sync object name record exceeds buffer size");
    }
  }
}

TEST(RecordFileName, Test) {
  struct Case {
    const char* name;
    bool valid;
  };
  const Case cases[] = {
      {"qv123-abcdefghijkmnpqrstuv.rec", true}, {"qv-x.rec", true},  {"qv1-.rec", true},
      {"qvshm-seg.rec", false},                 {"qv12.rec", false}, {"qv12-x.rec.bak", false},
      {"qv1a-x.rec", false},                    {"xv12-x.rec", false}, {"qv12-x", false},
      {"q", false},                             {"", false},         {"qv12-x.REC", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(QVSyncObjectNameRecordManager::isValidRecordFileName(c.name), c.valid) << c.name;
  }
}

class RecordManager : public ::testing::Test {
 protected:
  qvtest::TempDir dir;
  QVSyncObjectNameRecordManager manager{ToQVString(dir.path())};

  std::string OwnFile() {
    return dir.file(ToStdString(manager.computeRecordFileName(getpid())));
  }
};

TEST_F(RecordManager, FileNameIsStableUntilReset) {
  const std::string name = ToStdString(manager.computeRecordFileName(4711));
  EXPECT_TRUE(qvtest::Pattern("qv4711-[2-9a-km-np-z]{20}\\.rec").Matches(name)) << name;
  EXPECT_EQ(ToStdString(manager.computeRecordFileName(4711)), name);
  EXPECT_NE(ToStdString(manager.computeRecordFileName(4712)).substr(7), name.substr(7));
  manager.reset();
  EXPECT_NE(ToStdString(manager.computeRecordFileName(4711)), name);
  std::ostringstream printed;
  printed << manager;
  EXPECT_EQ(printed.str().rfind("<QVSyncObjectNameRecordManager><recordFileDirectory>" +
                                    dir.path() + "</recordFileDirectory><mutexHandle>",
                                0),
            0u);
}

TEST_F(RecordManager, AddAndRemoveRewriteTheFile) {
  const std::string path = OwnFile();
  manager.addObjectToRecord("first", QVSyncTypeFileLockMutex);
  manager.addObjectToRecord("second", QVSyncTypeFifoCondition);
  manager.addObjectToRecord("first", QVSyncTypeFileLockMutex);
  EXPECT_EQ(ReadFile(path), kPid + "\nfirst:FM\nsecond:FC\nfirst:FM\n");
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666u);

  manager.removeObjectFromRecord("first", QVSyncTypeFifoCondition);  // other kind: stays
  EXPECT_EQ(ReadFile(path), kPid + "\nfirst:FM\nsecond:FC\nfirst:FM\n");
  // One line per removal: the other object of that name keeps its entry.
  manager.removeObjectFromRecord("first", QVSyncTypeFileLockMutex);
  EXPECT_EQ(ReadFile(path), kPid + "\nsecond:FC\nfirst:FM\n");
  manager.removeObjectFromRecord("first", QVSyncTypeFileLockMutex);
  EXPECT_EQ(ReadFile(path), kPid + "\nsecond:FC\n");
  manager.removeObjectFromRecord("second", QVSyncTypeFifoCondition);
  EXPECT_FALSE(Exists(path));  // the last entry takes the file with it
  EXPECT_NO_THROW(manager.removeObjectFromRecord("second", QVSyncTypeFifoCondition));
  EXPECT_NO_THROW(manager.removeProcessRecord(getpid()));
}

// Each entry rewrites the whole file from what it reads there: the entries of
// names holding colons must read back as entered, or the next entry drops
// them and the objects are never cleaned up after a crash.
TEST_F(RecordManager, NamesWithColonsKeepTheirEntries) {
  const std::string path = OwnFile();
  manager.addObjectToRecord("a:bwrlck", QVSyncTypeFileLockMutex);
  manager.addObjectToRecord("a:b:ffwrcon", QVSyncTypeFifoCondition);
  manager.addObjectToRecord("plain", QVSyncTypeFileLockMutex);
  EXPECT_EQ(ReadFile(path), kPid + "\na:bwrlck:FM\na:b:ffwrcon:FC\nplain:FM\n");
  manager.removeObjectFromRecord("a:bwrlck", QVSyncTypeFileLockMutex);
  EXPECT_EQ(ReadFile(path), kPid + "\na:b:ffwrcon:FC\nplain:FM\n");
  manager.removeObjectFromRecord("a", QVSyncTypeFifoCondition);  // a part of a name is no name
  manager.removeObjectFromRecord("plain", QVSyncTypeFileLockMutex);
  EXPECT_EQ(ReadFile(path), kPid + "\na:b:ffwrcon:FC\n");
  manager.removeObjectFromRecord("a:b:ffwrcon", QVSyncTypeFifoCondition);
  EXPECT_FALSE(Exists(path));
}

TEST_F(RecordManager, RecordWithAFileAlreadyGivenGoesThere) {
  QVSyncObjectNameRecord record("elsewhere", QVSyncTypeFileLockMutex, 77);
  record.recordFile = ToQVString(dir.file("qv77-chosen.rec"));
  manager.addObjectToRecord(record);
  EXPECT_EQ(ReadFile(dir.file("qv77-chosen.rec")), "77\nelsewhere:FM\n");
  manager.removeObjectFromRecord(record);
  EXPECT_FALSE(Exists(dir.file("qv77-chosen.rec")));
}

TEST_F(RecordManager, AddToAnUnreadableFileIsWrapped) {
  manager.addObjectToRecord("first", QVSyncTypeFileLockMutex);
  WriteFile(OwnFile(), kPid + "\n" + std::string(600, 'x') + "\n");
  try {
    manager.addObjectToRecord("second", QVSyncTypeFileLockMutex);
    ADD_FAILURE() << "no exception";
  } catch (const QVException& e) {
    EXPECT_EQ(e.getType(), qvexceptiontype::wrapped);
    EXPECT_EQ(ToStdString(e.getWhat()), "File handle or file manager exception.");
  }
}

TEST_F(RecordManager, ListingReadsValidFilesAndDeletesBrokenOnes) {
  manager.addObjectToRecord("mine", QVSyncTypeFileLockMutex);
  WriteFile(dir.file("qv99-other.rec"), "99\nfifo:FC\nlock:FM\n");
  WriteFile(dir.file("qv1-x.rec"), "");                                  // empty: deleted
  WriteFile(dir.file("qv2-x.rec"), "2\n" + std::string(700, 'y'));      // unreadable: deleted
  WriteFile(dir.file("qv3-x.rec"), "3\nno colon here\n");                // no records, kept
  WriteFile(dir.file("qvshm-seg.rec"), "");                              // not a record file
  WriteFile(dir.file("notes.txt"), "");

  const QVSyncObjectNameRecordList records = manager.getRecordList();
  std::vector<std::pair<Entry, std::string>> got;
  for (const auto& r : records) {
    got.push_back({{ToStdString(r.name), r.type, r.processID}, ToStdString(r.recordFile)});
  }
  std::sort(got.begin(), got.end(), [](const auto& a, const auto& b) {
    return a.first.name < b.first.name;
  });
  const std::vector<std::pair<Entry, std::string>> expected = {
      {{"fifo", 4, 99}, dir.file("qv99-other.rec")},
      {{"lock", 3, 99}, dir.file("qv99-other.rec")},
      {{"mine", 3, getpid()}, OwnFile()},
  };
  EXPECT_EQ(got, expected);
  EXPECT_FALSE(Exists(dir.file("qv1-x.rec")));
  EXPECT_FALSE(Exists(dir.file("qv2-x.rec")));
  EXPECT_TRUE(Exists(dir.file("qv3-x.rec")));
  EXPECT_TRUE(Exists(dir.file("qvshm-seg.rec")));
  EXPECT_TRUE(Exists(dir.file("notes.txt")));

  manager.removeProcessRecordFile(ToQVString(dir.file("qv99-other.rec")));
  EXPECT_FALSE(Exists(dir.file("qv99-other.rec")));
  EXPECT_NO_THROW(manager.removeProcessRecordFile(ToQVString(dir.file("qv99-other.rec"))));
}

// Anyone may put entries in the record directory: a FIFO with a record
// file's name must not block the listing (and with it the clean-up thread),
// and an oversized file must not be read whole. Listed in a child, so that a
// listing that blocks fails the test instead of hanging it.
TEST_F(RecordManager, ListingPassesOverFifosAndOversizedFiles) {
  manager.addObjectToRecord("mine", QVSyncTypeFileLockMutex);
  ASSERT_EQ(mkfifo(dir.file("qv5-fifo.rec").c_str(), 0666), 0);
  std::string big = "6\n";
  while (big.size() <= QVSyncObjectNameRecordManager::kMaximumRecordFileSize) {
    big += "name:FM\n";
  }
  WriteFile(dir.file("qv6-big.rec"), big);

  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const std::vector<Entry> listed = Entries(manager.getRecordList());
    const std::vector<Entry> expected = {{"mine", 3, getppid()}};
    _exit(listed == expected ? 0 : 1);
  }
  int status = -1;
  const bool ended = qvtest::WaitUntil([&] { return waitpid(child, &status, WNOHANG) == child; });
  if (!ended) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
  }
  ASSERT_TRUE(ended) << "the listing blocked";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(Exists(dir.file("qv6-big.rec")));

  WriteFile(OwnFile(), kPid + "\n" + big.substr(2));
  EXPECT_THROW(manager.addObjectToRecord("more", QVSyncTypeFileLockMutex), QVException);
}

TEST_F(RecordManager, MarkingWritesNothing) {
  manager.addObjectToRecord("kept", QVSyncTypeFileLockMutex);
  manager.markObjectAsRemovedFromRecord("kept", QVSyncTypeFileLockMutex);
  // No background thread serves this manager: the entry is still there.
  EXPECT_EQ(ReadFile(OwnFile()), kPid + "\nkept:FM\n");
}

TEST(DefaultRecordManager, FlushWritesMarkedRemovals) {
  QVSyncObjectNameRecordManager::initialize();  // a thread serves it even after an earlier stop
  QVSmartPointer<QVSyncObjectNameRecordManager> manager =
      QVSyncObjectNameRecordManager::defaultManager();
  ASSERT_TRUE(manager);
  EXPECT_EQ(manager->getRecordFileDirectory(), getThreadSyncDir());
  ASSERT_TRUE(initSyncObjectDir());
  const std::string path =
      ToStdString(getThreadSyncDir() + "/" + manager->computeRecordFileName(getpid()));
  manager->addObjectToRecord("going", QVSyncTypeFileLockMutex);
  manager->addObjectToRecord("staying", QVSyncTypeFifoCondition);
  manager->markObjectAsRemovedFromRecord("going", QVSyncTypeFileLockMutex);
  manager->flushRemovedObjectsFromSystemRecord();
  EXPECT_TRUE(qvtest::WaitUntil([&] { return ReadFile(path) == kPid + "\nstaying:FC\n"; }))
      << ReadFile(path);
  manager->markObjectAsRemovedFromRecord("staying", QVSyncTypeFifoCondition);
  manager->flushRemovedObjectsFromSystemRecord();
  EXPECT_TRUE(qvtest::WaitUntil([&] { return !Exists(path); }));

  // After a stop the next default manager is a new one that keeps the
  // process's file name, so that it finds what the first one entered.
  QVSyncObjectNameRecordManager::deinitialize();
  QVSmartPointer<QVSyncObjectNameRecordManager> next =
      QVSyncObjectNameRecordManager::defaultManager();
  ASSERT_TRUE(next);
  EXPECT_NE(next.get(), manager.get());
  EXPECT_EQ(next->computeRecordFileName(getpid()), manager->computeRecordFileName(getpid()));
  QVSyncObjectNameRecordManager::deinitialize();
}

TEST(DefaultRecordManager, PersistentFailureBacksOffAndGivesUp) {
  QVSyncObjectNameRecordManager::initialize();
  QVSmartPointer<QVSyncObjectNameRecordManager> manager =
      QVSyncObjectNameRecordManager::defaultManager();
  ASSERT_TRUE(manager);
  ASSERT_TRUE(initSyncObjectDir());
  const std::string path =
      ToStdString(getThreadSyncDir() + "/" + manager->computeRecordFileName(getpid()));
  // A record file that cannot be read as records makes every removal fail.
  WriteFile(path, kPid + "\n" + std::string(600, 'z') + "\n");

  // Every attempt reads the file once: count the reads as they end. The lock's
  // descriptor closes in between, so no two events in a row are alike (the
  // system merges those).
  const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, path.c_str(), IN_CLOSE_NOWRITE | IN_CLOSE_WRITE), 0);
  std::vector<std::chrono::steady_clock::time_point> reads;
  const auto collect = [&] {
    alignas(inotify_event) char buffer[4096];
    ssize_t n;
    while ((n = read(watch, buffer, sizeof buffer)) > 0) {
      for (char* at = buffer; at < buffer + n;) {
        auto* event = reinterpret_cast<inotify_event*>(at);
        if ((event->mask & IN_CLOSE_NOWRITE) != 0) reads.push_back(std::chrono::steady_clock::now());
        at += sizeof(inotify_event) + event->len;
      }
    }
    return reads.size();
  };

  manager->markObjectAsRemovedFromRecord("never", QVSyncTypeFileLockMutex);
  manager->flushRemovedObjectsFromSystemRecord();
  const size_t attempts = QVSyncObjectNameRecordManager::kMaximumRemovalAttempts;
  ASSERT_TRUE(qvtest::WaitUntil([&] { return collect() >= attempts; }));
  // Waits of 0.1, 0.2, 0.4 and 0.8 s lie between the attempts (the first
  // may be cut short by the flush): no spinning.
  EXPECT_GE(reads[attempts - 1] - reads[0], std::chrono::milliseconds(1000));

  // The removal has been given up: once the file is readable again, a new
  // flushed removal is written alone.
  WriteFile(path, kPid + "\nnever:FM\nalso:FM\n");
  manager->markObjectAsRemovedFromRecord("also", QVSyncTypeFileLockMutex);
  manager->flushRemovedObjectsFromSystemRecord();
  EXPECT_TRUE(qvtest::WaitUntil([&] { return collect() >= attempts + 1; }));
  close(watch);
  EXPECT_TRUE(qvtest::WaitUntil([&] { return ReadFile(path) == kPid + "\nnever:FM\n"; }))
      << ReadFile(path);
  QVSyncObjectNameRecordManager::deinitialize();
}
