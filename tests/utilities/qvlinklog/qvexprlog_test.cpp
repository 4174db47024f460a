// The expression log's files, preamble and 80-column lines, read back from
// real files; and a thread changing the files while another writes.
#include <gtest/gtest.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/qvpattern.h"
#include "tests/utilities/qvlinklog/qvexprlogtest.h"
#include "tests/utilities/qvlinklog/qvlogfiletest.h"
#include "utilities/qvexception.h"
#include "utilities/qvprocess.h"

using namespace Quorvane;
using qvfiletest::ReadWithStream;
using qvfiletest::WriteWithStream;
using qvlinklogtest::FixedPreamble;
using qvlinklogtest::FixedPreambleLog;
using qvlinklogtest::LogFile;
using qvlinklogtest::kStampPattern;

namespace {

constexpr qvlogdirection kWrite = QVLogWriteDirection;
constexpr qvlogdirection kRead = QVLogReadDirection;

// The precise clock: time() reads a coarse one that can lag the stamp's
// clock by a tick across a second's boundary.
time_t Now() {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return now.tv_sec;
}

std::string LocalStamp(time_t t) {
  struct tm local;
  localtime_r(&t, &local);
  char text[32];
  strftime(text, sizeof text, "%Y-%m-%d %I:%M:%S", &local);
  return text;
}

// The real preamble: the log time stamp (12-hour clock, checked against
// strftime in a zone with daylight saving), the pid and a five-letter word.
TEST(QVExprLog, PreambleIsStampPidAndDirection) {
  ASSERT_EQ(setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1), 0);
  tzset();
  const QVSmartPointer<QVExprLog> log = QVExprLog::init();
  const std::string pid = std::to_string(QVProcess::currentProcessId());
  for (const auto& [d, word] : {std::pair{kWrite, "write"}, std::pair{kRead, " read"}}) {
    const time_t before = Now();
    const std::string preamble = ToStdString(log->preambleByDirection(d));
    const time_t after = Now();
    ASSERT_EQ(preamble.size(), 34 + pid.size()) << preamble;
    EXPECT_TRUE(qvtest::Pattern(kStampPattern + std::string("<.*")).Matches(preamble)) << preamble;
    const std::string stamp = preamble.substr(0, 19);
    EXPECT_TRUE(stamp == LocalStamp(before) || stamp == LocalStamp(after)) << preamble;
    EXPECT_EQ(preamble.substr(24), "<" + pid + "," + word + ">: ");
  }
}

std::string Chars(size_t n, char c = 'x') { return std::string(n, c); }

struct ColumnCase {
  const char* name;
  std::function<void(FixedPreambleLog&, const std::string& path)> steps;
  std::string expected;  // the whole file after the steps
  uint64_t column;
};

// Line cuts with a 38-character preamble, as with a 4-digit pid.
TEST(QVExprLog, EightyColumnLines) {
  const std::string pw = FixedPreamble(kWrite, 38);
  const std::string pr = FixedPreamble(kRead, 38);
  const ColumnCase cases[] = {
      {"a long entry fills the line, then goes on without a break at the end",
       [](FixedPreambleLog& log, const std::string&) {
         log.writeContentsToStreams(kWrite, true, Chars(100));
       },
       "\n" + pw + Chars(42) + "\n" + Chars(58), 58},
      {"continuation text fills the line up to column 80",
       [](FixedPreambleLog& log, const std::string&) {
         log.writeContentsToStreams(kWrite, true, Chars(20));
         log.writeContentsToStreams(kWrite, false, Chars(30, 'y'));
       },
       "\n" + pw + Chars(20) + Chars(22, 'y') + "\n" + Chars(8, 'y'), 8},
      {"a line ending at column 80 breaks at once; the next entry adds no empty line",
       [](FixedPreambleLog& log, const std::string&) {
         log.writeContentsToStreams(kWrite, true, Chars(42));
         log.writeContentsToStreams(kRead, true, "z");
       },
       "\n" + pw + Chars(42) + "\n" + pr + "z", 39},
      {"every later piece is a whole line",
       [](FixedPreambleLog& log, const std::string&) {
         log.writeContentsToStreams(kWrite, true, Chars(42 + 160));
       },
       "\n" + pw + Chars(42) + "\n" + Chars(80) + "\n" + Chars(80) + "\n", 0},
      {"an empty text writes the preamble only",
       [](FixedPreambleLog& log, const std::string&) {
         log.writeContentsToStreams(kRead, true, "");
       },
       "\n" + pr, 38},
      {"an empty entry after text starts a new line",
       [](FixedPreambleLog& log, const std::string&) {
         log.writeContentsToStreams(kWrite, true, "a");
         log.writeContentsToStreams(kWrite, true, "");
       },
       "\n" + pw + "a\n" + pw, 38},
      {"output off writes nothing but keeps the column",
       [](FixedPreambleLog& log, const std::string&) {
         log.setEnabled(false);
         log.writeContentsToStreams(kWrite, true, Chars(10));
         log.setEnabled(true);
         log.writeContentsToStreams(kWrite, true, "b");
       },
       "\n\n" + pw + "b", 39},
      {"output switched within an entry counts from the next one, so none is cut or begun halfway",
       [](FixedPreambleLog& log, const std::string&) {
         log.writeContentsToStreams(kWrite, true, "a");
         log.setEnabled(false);
         log.writeContentsToStreams(kWrite, false, "b");
         log.writeContentsToStreams(kWrite, true, "c");
         log.setEnabled(true);
         log.writeContentsToStreams(kWrite, false, "d");
         log.writeContentsToStreams(kWrite, true, "e");
       },
       "\n" + pw + "ab\n" + pw + "e", 39},
      {"the first text to reach a file ends the partial line it held",
       [](FixedPreambleLog& log, const std::string& path) {
         WriteWithStream(path, "old");
         log.writeContentsToStreams(kWrite, true, "c");
         log.writeContentsToStreams(kWrite, false, "d");
       },
       "old\n" + pw + "cd", 40},
      {"the same path twice is one stream",
       [](FixedPreambleLog& log, const std::string& path) {
         log.logToFileWithName(ToQVString(path));
         log.writeContentsToStreams(kWrite, true, "e");
       },
       "\n" + pw + "e", 39},
  };
  for (const ColumnCase& c : cases) {
    SCOPED_TRACE(c.name);
    LogFile file(38);
    c.steps(file.log, file.path);
    EXPECT_EQ(file.text(), c.expected);
    EXPECT_EQ(file.log.getCurrentColumn(), c.column);
  }
}

// A file added later picks up mid-line after its one line break; a removed
// file gets nothing more; the column goes on without files.
TEST(QVExprLog, FilesComeAndGo) {
  qvtest::TempDir dir;
  const std::string first = dir.file("first.log");
  const std::string second = dir.file("second.log");
  WriteWithStream(first, "old");
  FixedPreambleLog log(5);
  EXPECT_FALSE(log.willLogToFile());
  log.logToFileWithName(ToQVString(first));
  log.logToFileWithName(ToQVString(first));
  EXPECT_TRUE(log.willLogToFile());
  log.writeContentsToStreams(kWrite, true, "f[");
  log.logToFileWithName(ToQVString(second));
  log.writeContentsToStreams(kWrite, false, "x]");
  log.closeLogFileWithName(ToQVString(first));
  log.closeLogFileWithName(ToQVString(dir.file("absent.log")));
  log.writeContentsToStreams(kRead, true, "y");
  EXPECT_EQ(ReadWithStream(first), "old\nW..: f[x]");
  EXPECT_EQ(ReadWithStream(second), "\nx]\nR..: y");
  log.closeFileHandles();
  EXPECT_FALSE(log.willLogToFile());
  log.writeContentsToStreams(kRead, true, "z");
  EXPECT_EQ(ReadWithStream(second), "\nx]\nR..: y");
  EXPECT_EQ(log.getCurrentColumn(), 6u);
}

// A file that cannot be opened is refused, not kept as a silent sink.
TEST(QVExprLog, UnopenableFileIsRefused) {
  qvtest::TempDir dir;
  FixedPreambleLog log(5);
  for (const std::string& path : {dir.file("missing/x.log"), dir.path() + "/"}) {
    EXPECT_THROW(log.logToFileWithName(ToQVString(path)), QVException) << path;
  }
  EXPECT_FALSE(log.willLogToFile());
}

TEST(QVExprLog, PrintsNameFilesAndColumn) {
  qvtest::TempDir dir;
  FixedPreambleLog log(5);
  log.setName("Pipes");
  log.logToFileWithName(ToQVString(dir.file("b.log")));
  log.logToFileWithName(ToQVString(dir.file("a.log")));
  log.writeContentsToStreams(kWrite, true, "x");
  log.logToFileWithName(ToQVString(dir.file("c.log")));
  std::ostringstream out;
  out << log;
  const std::string entry = "</first><second><qvstreamobject><firstWriteToStream>";
  EXPECT_EQ(out.str(), "<QVExprLog><theName>Pipes</theName><streamTable><first>" +
                           dir.file("a.log") + entry + "0</firstWriteToStream></qvstreamobject>" +
                           "</second><first>" + dir.file("b.log") + entry +
                           "0</firstWriteToStream></qvstreamobject></second><first>" +
                           dir.file("c.log") + entry +
                           "1</firstWriteToStream></qvstreamobject></second></streamTable>"
                           "<currentColumn>6</currentColumn><maxColumns>80</maxColumns>"
                           "</QVExprLog>");
}

// One thread adds and removes files while another writes entries: the file
// that stays gets every entry in order, and the others only whole ones.
TEST(QVExprLog, FilesChangeWhileEntriesAreWritten) {
  qvtest::TempDir dir;
  const QVSmartPointer<QVExprLog> log = QVExprLog::init();
  const std::string steady = dir.file("steady.log");
  log->logToFileWithName(ToQVString(steady));
  const std::vector<std::string> transient = {dir.file("t1.log"), dir.file("t2.log")};
  constexpr int kEntries = 3000;
  std::atomic<bool> writing{true};
  std::thread changer([&] {
    for (int round = 0; writing.load(); ++round) {
      const QVString path = ToQVString(transient[round % 2]);
      log->logToFileWithName(path);
      (void)log->willLogToFile();
      if (round % 3 == 0) log->closeLogFileWithName(path);
      if (round % 7 == 0) log->closeLogFileWithName(ToQVString(transient[(round + 1) % 2]));
    }
  });
  for (int i = 0; i < kEntries; ++i) {
    log->writeContentsToStreams(i % 2 == 0 ? kWrite : kRead, true, "entry-" + std::to_string(i));
  }
  writing.store(false);
  changer.join();
  log->closeFileHandles();

  const qvtest::Pattern line(kStampPattern + std::string("<[0-9]+,(write| read)>: entry-([0-9]+)"));
  auto entries = [&](const std::string& path) {
    std::vector<int> seen;
    std::istringstream in(ReadWithStream(path));
    std::string text;
    while (std::getline(in, text)) {
      if (text.empty()) continue;  // the break before a newly added file's first text
      qvtest::Pattern::Match m;
      if (!line.Matches(text, &m)) {
        ADD_FAILURE() << path << ": torn line '" << text << "'";
        break;
      }
      seen.push_back(std::stoi(m.groups[2]));
    }
    return seen;
  };
  std::vector<int> all(kEntries);
  for (int i = 0; i < kEntries; ++i) all[i] = i;
  EXPECT_EQ(entries(steady), all);
  for (const std::string& path : transient) {
    const std::vector<int> seen = entries(path);
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end())) << path;
  }
}

}  // namespace
