// The link log and the public logging calls over real links: an
// "IntraProcess" pair on two threads whose one end is logged into files
// under a private folder.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "api/qvlink.h"
#include "quorvane.h"
#include "api/qvenvironment.h"
#include "tests/support/qvscripteddevice.h"
#include "tests/support/qvtest.h"
#include "tests/utilities/qvtestprocesses.h"
#include "utilities/qvlinklog/qvlinklog.h"
#include "tests/utilities/qvlinklog/qvlinkpairtest.h"
#include "tests/utilities/qvlinklog/qvlogfiletest.h"

namespace {

using Quorvane::QVLinkLog;
using qvlinklogtest::Entries;
using qvlinklogtest::LinkPair;
using qvlinklogtest::LogsExactly;
using qvlinklogtest::ScopedVariable;
using qvlinklogtest::Show;
using qvlinklogtest::Slurp;
using qvlinklogtest::Unwrapped;

// Reads head[arguments...], all integers, from link and checks it.
void ExpectIntegerCall(QVLink* link, const char* head, const std::vector<int>& arguments) {
  const char* got = nullptr;
  int count = 0;
  ASSERT_EQ(RVGetFunction(link, &got, &count), 1) << RVError(link);
  EXPECT_STREQ(got, head);
  RVReleaseSymbol(link, got);
  ASSERT_EQ(count, static_cast<int>(arguments.size()));
  for (int expected : arguments) {
    int value = 0;
    ASSERT_EQ(RVGetInteger(link, &value), 1) << RVError(link);
    EXPECT_EQ(value, expected);
  }
}

// Puts head with count integer arguments of which only those given go now
// (fewer than count leave the expression half sent); a whole one ends its packet.
void PutIntegerCall(QVLink* link, const char* head, int count, const std::vector<int>& arguments) {
  RVPutFunction(link, head, count);
  for (int value : arguments) RVPutInteger(link, value);
  if (static_cast<int>(arguments.size()) == count) RVEndPacket(link);
}

TEST(LinkLogNames, AbbreviationKeepsBothEndsAndSaysHowMuchWasCut) {
  struct Case {
    const char* name;
    unsigned long limit;
    const char* expected;
  };
  const Case cases[] = {
      {"abcdefghij", 10, "abcdefghij"},
      {"abcdefghijk", 10, "abcde<<1>>ghijk"},
      {"abcdefghijklmnop", 10, "abcde<<6>>lmnop"},
      {"abc-LogThread", 15, "abc-LogThread"},
      {"abcdefghijklmnop-LogThread", 15, "abcdefg<<11>>gThread"},
      {"", 10, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Quorvane::ToStdString(QVLinkLog::abbreviateName(Quorvane::QVString(c.name), c.limit)), c.expected)
        << c.name;
  }
}

TEST_F(LinkPair, FileNameFollowsTmpdirAndTheSide) {
  const std::string device = RVName(listener_);  // an "IntraProcess" device is named as its link
  struct Case {
    const char* tmpdir;  // null: unset
    QVLink* link;
    std::string expected;
  };
  const Case cases[] = {
      {nullptr, listener_, "/tmp/qv" + device + "-listener.log"},
      {"", listener_, "/tmp/qv" + device + "-listener.log"},
      {"/var/x/", listener_, "/var/x/qv" + device + "-listener.log"},
      {"/var/x", connector_, "/var/x/qv" + device + "-connector.log"},
      {"a/b", connector_, "a/b/qv" + device + "-connector.log"},
  };
  for (const Case& c : cases) {
    ScopedVariable tmpdir("TMPDIR", c.tmpdir);
    char* name = nullptr;
    ASSERT_EQ(RVLogFileNameForLink(c.link, &name), 1);
    EXPECT_EQ(std::string(name), c.expected) << (c.tmpdir != nullptr ? c.tmpdir : "(unset)");
    RVReleaseLogFileNameForLink(c.link, name);
  }
  char* name = nullptr;
  EXPECT_EQ(RVLogFileNameForLink(nullptr, &name), 0);
  EXPECT_EQ(RVLogFileNameForLink(listener_, nullptr), 0);
}

// A device named by a command line, as a launching "Pipes" device is: its
// name makes one file in the folder, not folders of its own.
TEST(LinkLogNames, FileNameOfACommandLineDeviceNamesNoFolders) {
  RVEnvironment* environment = RVBegin(nullptr);
  ASSERT_NE(environment, nullptr);
  qvtest::ScriptedOptions options;
  options.name = "/opt/x/app -a\t-b";
  qvtest::ScriptedDevice device(options);
  QVLink* link = QVInternalMake(environment->globals, device.TakeInstance(), nullptr);
  ASSERT_NE(link, nullptr);
  {
    ScopedVariable tmpdir("TMPDIR", "/logs");
    char* name = nullptr;
    ASSERT_EQ(RVLogFileNameForLink(link, &name), 1);
    EXPECT_STREQ(name, "/logs/qv_opt_x_app_-a_-b-listener.log");
    RVReleaseLogFileNameForLink(link, name);
  }
  RVClose(link);
  RVEnd(environment);
}

// The same over each device that joins two threads of one process.
class LoggedDevice : public LinkPair, public ::testing::WithParamInterface<const char*> {
 protected:
  LoggedDevice() { protocol_ = GetParam(); }
};

INSTANTIATE_TEST_SUITE_P(Devices, LoggedDevice, ::testing::Values("IntraProcess", "TCPIP"));

// Into the file the library names for the link, each entry behind its dated preamble.
TEST_P(LoggedDevice, BothDirectionsAreLoggedAndTheLinkStillGetsEverything) {
  const qvlinklogtest::PrivateTmpdir tmpdir;
  const std::string file = qvlinklogtest::LogToItsOwnFile(listener_);
  ASSERT_EQ(file.rfind(tmpdir.path() + "/qv", 0), 0u) << file;
  ASSERT_TRUE(Log()->readyToLogQ());
  EXPECT_EQ(Call(2, 40), 42);
  EXPECT_EQ(Call(1, 1), 2);
  const std::vector<qvlinklogtest::Entry> wanted = {
      {"write", "Plus[2, 40]"}, {" read", "42"}, {"write", "Plus[1, 1]"}, {" read", "2"}};
  // The log thread writes behind the calls.
  EXPECT_TRUE(qvtest::WaitUntil([&] { return LogsExactly(Entries(file), wanted); })) << Show(Entries(file));
  ASSERT_EQ(RVStopLoggingStream(listener_), 1);
  const std::string text = Slurp(file);
  // Each expression once: nothing is logged twice.
  EXPECT_EQ(text.find("Plus[2, 40]"), text.rfind("Plus[2, 40]")) << text;
  // Logging stopped: later traffic reaches the link but not the file.
  EXPECT_EQ(Call(5, 5), 10);
  EXPECT_EQ(Slurp(file), text);
}

// A put the link refuses (its text is not UTF-8) is refused alike on the
// log's side; once the program has cleared the link's error, what it puts
// next is logged as before.
TEST_P(LoggedDevice, APutTheLinkRefusesDoesNotSilenceTheLog) {
  const std::string file = folder_.file("refused.log");
  ASSERT_EQ(RVLogStreamToFile(listener_, file.c_str()), 1);
  const unsigned char broken[] = {0xff, 0xfe, 'x'};
  EXPECT_EQ(RVPutUTF8String(listener_, broken, 3), 0);
  EXPECT_NE(RVError(listener_), 0);
  ASSERT_EQ(RVClearError(listener_), 1);
  EXPECT_EQ(Call(1, 2), 3);
  const std::vector<qvlinklogtest::Entry> wanted = {{"write", "Plus[1, 2]"}, {" read", "3"}};
  EXPECT_TRUE(qvtest::WaitUntil([&] { return LogsExactly(Entries(file), wanted); })) << Show(Entries(file));
}

// How often text occurs in the file.
size_t Occurrences(const std::string& path, const std::string& text) {
  const std::string all = Slurp(path);
  size_t count = 0;
  for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) ++count;
  return count;
}

// What the peer sent before the log starts, already in the link's own queue,
// is logged (once), and the link still gets it. The log thread reads it at
// once, so a file added after start-up would miss it now and then: the
// start is repeated to give that race its chances.
TEST_P(LoggedDevice, WhatTheLinkHoldsWhenTheLogStartsIsLoggedOnce) {
  constexpr int kStarts = 25;
  for (int round = 0; round < kStarts; ++round) {
    SCOPED_TRACE(round);
    for (int i = 1; i <= 2; ++i) {
      ASSERT_EQ(RVPutFunction(connector_, "Early", 1), 1);
      ASSERT_EQ(RVPutInteger(connector_, round * 10 + i), 1);
    }
    ASSERT_EQ(RVEndPacket(connector_), 1);
    ASSERT_EQ(RVFlush(connector_), 1);
    ASSERT_TRUE(qvtest::WaitUntil([&] { return RVReady(listener_) == 1; }));
    const std::string file = folder_.file("early" + std::to_string(round) + ".log");
    ASSERT_EQ(RVLogStreamToFile(listener_, file.c_str()), 1);
    for (int i = 1; i <= 2; ++i) ASSERT_NO_FATAL_FAILURE(ExpectIntegerCall(listener_, "Early", {round * 10 + i}));
    for (int i = 1; i <= 2; ++i) {
      const std::string entry = " read>: Early[" + std::to_string(round * 10 + i) + "]";
      ASSERT_TRUE(qvtest::WaitUntil([&] { return Occurrences(file, entry) != 0; })) << entry << " in\n"
                                                                                     << Slurp(file);
      EXPECT_EQ(Occurrences(file, entry), 1u) << Slurp(file);
    }
    ASSERT_EQ(RVStopLoggingStream(listener_), 1);
  }
}

// The link a yield function was last called for.
std::atomic<void*> yieldCalledFor{nullptr};
int RecordYield(void* link, QVYieldParams*) {
  yieldCalledFor.store(link);
  return 0;
}

// The log waits for the rest of an expression through a yield function of
// its own on the device it shares with the logged link; the program's own
// function is back in place afterwards, and is called for the program's link.
TEST_P(LoggedDevice, TheProgramsYieldFunctionStaysItsOwn) {
  ASSERT_EQ(RVSetYieldFunction(listener_, &RecordYield), 1);
  const std::string file = folder_.file("yield.log");
  ASSERT_EQ(RVLogStreamToFile(listener_, file.c_str()), 1);
  EXPECT_EQ(Call(2, 3), 5);
  ASSERT_TRUE(qvtest::WaitUntil([&] { return Slurp(file).find(" read>: 5") != std::string::npos; })) << Slurp(file);
  EXPECT_EQ(RVGetYieldFunction(listener_), &RecordYield);
  yieldCalledFor.store(nullptr);
  std::thread reader([&] { ExpectIntegerCall(listener_, "Late", {5}); });
  const bool waited = qvtest::WaitUntil([&] { return yieldCalledFor.load() != nullptr; });
  PutIntegerCall(connector_, "Late", 1, {5});
  RVFlush(connector_);
  reader.join();
  EXPECT_TRUE(waited);
  EXPECT_EQ(yieldCalledFor.load(), static_cast<void*>(listener_));
  EXPECT_EQ(RVGetYieldFunction(listener_), &RecordYield);
}

// An expression that arrives in two parts, in either direction, is logged
// once, whole, when its rest comes; meanwhile the log goes on with the other
// direction, and the logged link reads the expression unchanged.
TEST_P(LoggedDevice, AnExpressionArrivingInPartsIsLoggedOnceWhole) {
  const std::string file = folder_.file("parts.log");
  ASSERT_EQ(RVLogStreamToFile(listener_, file.c_str()), 1);
  PutIntegerCall(connector_, "Slow", 2, {1});
  ASSERT_EQ(RVFlush(connector_), 1);
  ASSERT_TRUE(qvtest::WaitUntil([&] { return RVReady(listener_) == 1; }));
  PutIntegerCall(listener_, "Ping", 1, {0});
  PutIntegerCall(listener_, "Part", 2, {2});
  ASSERT_EQ(RVFlush(listener_), 1);
  ASSERT_TRUE(qvtest::WaitUntil([&] { return Unwrapped(file).find("write>: Ping[0]") != std::string::npos; }))
      << Slurp(file);
  RVPutInteger(connector_, 10);
  RVEndPacket(connector_);
  ASSERT_EQ(RVFlush(connector_), 1);
  RVPutInteger(listener_, 20);
  RVEndPacket(listener_);
  ASSERT_EQ(RVFlush(listener_), 1);

  ASSERT_NO_FATAL_FAILURE(ExpectIntegerCall(listener_, "Slow", {1, 10}));
  for (const std::string entry : {" read>: Slow[1, 10]", "write>: Part[2, 20]"}) {
    ASSERT_TRUE(qvtest::WaitUntil([&] { return Occurrences(file, entry) != 0; })) << entry << " in\n" << Slurp(file);
    EXPECT_EQ(Occurrences(file, entry), 1u) << Slurp(file);
  }
  EXPECT_EQ(Occurrences(file, "Slow["), 1u) << Slurp(file);
  EXPECT_EQ(Occurrences(file, "Part["), 1u) << Slurp(file);
}

// Strings as the log writes them: a double quote or a backslash inside a
// string stands bare, a control character as its octal escape. The plain
// string put takes escaped text, in which a backslash and b is the escape of
// a backspace: the link (not the log) carries a backspace then.
TEST_P(LoggedDevice, StringsKeepBackslashesBareAndEscapeControlCharacters) {
  struct Case {
    const char* title;
    bool escapedPut;       // through the plain (escaped-text) put, else as UTF-8
    std::string put;       // what the program hands to the put
    std::string received;  // the characters that cross, as UTF-8
    std::string logged;    // the log's text of the string
  };
  const Case cases[] = {
      {"a backslash and b", false, "say \"a\\b\"", "say \"a\\b\"", "\"say \"a\\b\"\""},
      {"a backspace", false, "\b", "\b", "\"\\010\""},
      {"an escaped backslash and b", true, "say \"a\\\\b\"", "say \"a\\b\"", "\"say \"a\\b\"\""},
      {"the escape of a backspace", true, "say \"a\\b\"", "say \"a\b\"", "\"say \"a\\010\"\""},
  };
  const int n = static_cast<int>(std::size(cases));
  const std::string file = folder_.file("strings.log");
  ASSERT_EQ(RVLogStreamToFile(listener_, file.c_str()), 1);
  // The peer sends Say[...]; the logged side checks each string and answers
  // Said[...] with the same characters.
  std::thread peer([&] {
    RVPutFunction(connector_, "Say", n);
    for (const Case& c : cases) {
      if (c.escapedPut) {
        RVPutString(connector_, c.put.c_str());
      } else {
        RVPutUTF8String(connector_, reinterpret_cast<const unsigned char*>(c.put.data()),
                        static_cast<int>(c.put.size()));
      }
    }
    RVEndPacket(connector_);
    RVFlush(connector_);
  });
  const char* head = nullptr;
  int count = 0;
  ASSERT_EQ(RVGetFunction(listener_, &head, &count), 1) << RVError(listener_);
  RVReleaseSymbol(listener_, head);
  ASSERT_EQ(count, n);
  std::vector<std::string> received;
  for (const Case& c : cases) {
    const unsigned char* text = nullptr;
    int bytes = 0, characters = 0;
    ASSERT_EQ(RVGetUTF8String(listener_, &text, &bytes, &characters), 1) << c.title;
    received.emplace_back(reinterpret_cast<const char*>(text), static_cast<size_t>(bytes));
    RVReleaseUTF8String(listener_, text);
    EXPECT_EQ(received.back(), c.received) << c.title;
  }
  peer.join();
  RVPutFunction(listener_, "Said", n);
  for (const std::string& text : received) {
    RVPutUTF8String(listener_, reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
  }
  RVEndPacket(listener_);
  ASSERT_EQ(RVFlush(listener_), 1);

  std::string logged;
  for (const Case& c : cases) logged += (logged.empty() ? "" : ", ") + c.logged;
  for (const std::string& entry : {" read>: Say[" + logged + "]", "write>: Said[" + logged + "]"}) {
    EXPECT_TRUE(qvtest::WaitUntil([&] { return Unwrapped(file).find(entry) != std::string::npos; }))
        << entry << " in\n" << Slurp(file);
  }
}

// The peer closes once it has answered everything, or with input it never
// read (over a socket, a close with unread input is where a reset comes from).
class LoggedPeerClose : public LinkPair, public ::testing::WithParamInterface<std::tuple<const char*, bool>> {
 protected:
  LoggedPeerClose() { protocol_ = std::get<0>(GetParam()); }

  // The connector's device holds bytes it has not read.
  bool PeerHasInputWaiting() {
    if (protocol_ != "TCPIP") return true;  // the in-memory core holds them at once
    int descriptor = -1;
    long size = sizeof descriptor;
    if (RVDeviceInformation(connector_, kStreamDescriptor, &descriptor, &size) == 0) return false;
    pollfd entry{descriptor, POLLIN, 0};
    return ::poll(&entry, 1, 0) == 1 && (entry.revents & POLLIN) != 0;
  }

  static constexpr unsigned long kStreamDescriptor = 0x80000200UL;
};

INSTANTIATE_TEST_SUITE_P(Devices, LoggedPeerClose,
                         ::testing::Combine(::testing::Values("IntraProcess", "TCPIP"), ::testing::Bool()),
                         [](const auto& instance) {
                           return std::string(std::get<0>(instance.param)) +
                                  (std::get<1>(instance.param) ? "_InputLeftUnread" : "_AllRead");
                         });

// Either way the log's last line read says the link was closed, not that the
// peer died, and the log ends.
TEST_P(LoggedPeerClose, IsTheLastLineAndEndsTheLog) {
  const std::string file = folder_.file("closing.log");
  ASSERT_EQ(RVLogStreamToFile(listener_, file.c_str()), 1);
  EXPECT_EQ(Call(3, 4), 7);
  if (std::get<1>(GetParam())) {
    RVPutFunction(listener_, "Plus", 2);
    RVPutInteger(listener_, 1);
    RVPutInteger(listener_, 2);
    RVEndPacket(listener_);
    ASSERT_EQ(RVFlush(listener_), 1);
    ASSERT_TRUE(qvtest::WaitUntil([&] { return PeerHasInputWaiting(); }));
  }
  RVClose(connector_);
  connector_ = nullptr;
  ASSERT_TRUE(qvtest::WaitUntil([&] { return !Log()->readyToLogQ(); }));
  const std::string closed = " read>: The other side of " + std::string(RVName(listener_)) + " closed the link";
  ASSERT_TRUE(qvtest::WaitUntil([&] { return Unwrapped(file).find(closed) != std::string::npos; })) << Slurp(file);
  // Nothing read after it (the write direction has a reader of its own).
  const std::string text = Unwrapped(file);
  EXPECT_EQ(text.find(" read>: ", text.find(closed) + 1), std::string::npos) << Slurp(file);
  EXPECT_EQ(text.find("unexpectedly died"), std::string::npos) << Slurp(file);
}

// Stopping the log, and closing the logged link, each join the log thread
// and close the log's files.
TEST_F(LinkPair, StoppingOrClosingJoinsTheNamedThreadAndClosesTheFiles) {
  const std::string file = folder_.file("thread.log");
  ASSERT_EQ(qvlinklogtest::DescriptorsOn(file), 0);
  ASSERT_EQ(RVLogStreamToFile(listener_, file.c_str()), 1);
  const std::string kept = Quorvane::ToStdString(Log()->threadName());
  const std::string device = RVName(listener_);
  EXPECT_EQ(kept, QVLinkLog::abbreviateName(Quorvane::QVString((device + "-LogThread").c_str()), 15).c_str());
  const std::string shown = qvlinklogtest::ShownThreadName(kept);
  EXPECT_EQ(qvtest::ThreadsNamed(shown), 1) << shown;
  EXPECT_GE(qvlinklogtest::DescriptorsOn(file), 1);
  ASSERT_EQ(RVStopLoggingStream(listener_), 1);
  EXPECT_EQ(qvlinklogtest::DescriptorsOn(file), 0);
  EXPECT_TRUE(qvtest::NoThreadNamed(shown));
  // Started again after stopping: a new thread, stopped again by closing the link.
  ASSERT_EQ(RVLogStreamToFile(listener_, file.c_str()), 1);
  EXPECT_EQ(qvtest::ThreadsNamed(shown), 1);
  EXPECT_GE(qvlinklogtest::DescriptorsOn(file), 1);
  RVClose(listener_);
  listener_ = nullptr;
  EXPECT_EQ(qvlinklogtest::DescriptorsOn(file), 0);
  EXPECT_TRUE(qvtest::NoThreadNamed(shown));
}

// The log's own links are named after the logged link's device: the
// duplicate as the device, the control link with "-ControlLink" after it;
// the expression log goes by the device name cut to 10 characters (an
// "IntraProcess" device name has 11).
TEST_F(LinkPair, TheLogsLinksAndExpressionLogAreNamedAfterTheDevice) {
  ASSERT_EQ(RVLogStreamToFile(listener_, folder_.file("names.log").c_str()), 1);
  const std::string device = RVName(listener_);
  ASSERT_EQ(device.size(), 11u) << device;
  std::ostringstream printed;
  Log()->print(printed);
  const std::string text = printed.str();
  for (const std::string& part : {"<readLink>" + device + "</readLink>",
                                  "<controlLink>" + device + "-ControlLink</controlLink>",
                                  "<theName>" + device.substr(0, 5) + "<<1>>" + device.substr(6) + "</theName>"}) {
    EXPECT_NE(text.find(part), std::string::npos) << part << " in\n" << text;
  }
}

TEST_F(LinkPair, InterfaceEdgeCases) {
  const std::string file = folder_.file("edges.log");
  struct Step {
    const char* title;
    std::function<void()> run;
  };
  const Step steps[] = {
      {"disabling before any start changes nothing",
       [&] {
         EXPECT_EQ(RVDisableLoggingStream(listener_), 1);
         EXPECT_EQ(Log(), nullptr);
       }},
      {"stopping a link that never logged leaves its lock as it was",
       [&] {
         EXPECT_EQ(RVStopLoggingStream(listener_), 1);
         EXPECT_EQ(listener_->lockOn, 0);
         RVEnableLinkLock(listener_);
         EXPECT_EQ(RVStopLoggingStream(listener_), 1);
         EXPECT_EQ(listener_->lockOn, 1);
         RVDisableLinkLock(listener_);
       }},
      {"enabling starts the log",
       [&] {
         EXPECT_EQ(RVEnableLoggingStream(listener_), 1);
         ASSERT_NE(Log(), nullptr);
         EXPECT_TRUE(Log()->readyToLogQ());
         EXPECT_EQ(listener_->lockOn, 1);
       }},
      {"a file added while disabled stays empty until enabled",
       [&] {
         EXPECT_EQ(RVDisableLoggingStream(listener_), 1);
         EXPECT_EQ(RVLogStreamToFile(listener_, file.c_str()), 1);
         EXPECT_EQ(Call(1, 2), 3);
         // The log thread reads behind the link: once it has read what
         // crossed meanwhile, enabling cannot bring that into the file.
         Log()->logWhatHasArrived();
         EXPECT_EQ(Slurp(file), "");
         EXPECT_EQ(RVEnableLoggingStream(listener_), 1);
         EXPECT_EQ(Call(10, 20), 30);
         const std::vector<qvlinklogtest::Entry> wanted = {{"write", "Plus[10, 20]"}, {" read", "30"}};
         EXPECT_TRUE(qvtest::WaitUntil([&] { return LogsExactly(Entries(file), wanted); })) << Show(Entries(file));
       }},
      {"a path given twice is one entry",
       [&] {
         EXPECT_EQ(RVLogStreamToFile(listener_, file.c_str()), 1);
         EXPECT_EQ(Call(7, 8), 15);
         ASSERT_TRUE(qvtest::WaitUntil([&] { return Slurp(file).find(" read>: 15") != std::string::npos; }));
         const std::string text = Slurp(file);
         EXPECT_EQ(text.find("Plus[7, 8]"), text.rfind("Plus[7, 8]")) << text;
       }},
      {"a file that cannot be opened is refused",
       [&] {
         EXPECT_EQ(RVLogStreamToFile(listener_, folder_.file("missing/x.log").c_str()), 0);
         EXPECT_EQ(RVStopLoggingStreamToFile(listener_, file.c_str()), 1);
         EXPECT_FALSE(Log()->doLoggingQ());
       }},
      {"stopping switches off only the lock the log switched on",
       [&] {
         EXPECT_EQ(RVStopLoggingStream(listener_), 1);
         EXPECT_EQ(listener_->lockOn, 0);
         RVEnableLinkLock(listener_);
         EXPECT_EQ(RVEnableLoggingStream(listener_), 1);
         EXPECT_EQ(RVStopLoggingStream(listener_), 1);
         EXPECT_EQ(listener_->lockOn, 1);
       }},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.title);
    step.run();
  }
}

TEST(LinkLogInterface, EveryCallRefusesALinkStillWaitingForItsConnection) {
  RVEnvironment* environment = RVBegin(nullptr);
  ASSERT_NE(environment, nullptr);
  int error = -1;
  QVLink* link = RVOpenString(environment, "-linkcreate -linkprotocol IntraProcess", &error);
  ASSERT_NE(link, nullptr);
  ASSERT_EQ(RVError(link), 10);
  RVEnableLinkLock(link);
  qvtest::TempDir folder;
  const std::string file = folder.file("never.log");
  EXPECT_EQ(RVLogStreamToFile(link, file.c_str()), 0);
  EXPECT_EQ(RVStopLoggingStreamToFile(link, file.c_str()), 0);
  EXPECT_EQ(RVEnableLoggingStream(link), 0);
  EXPECT_EQ(RVDisableLoggingStream(link), 0);
  EXPECT_EQ(RVStopLoggingStream(link), 0);
  EXPECT_EQ(link->log.get(), nullptr);
  // The lock is free: another thread takes it.
  std::thread other([link] { QVLinkLockGuard guard(link); });
  other.join();
  EXPECT_EQ(RVLogStreamToFile(nullptr, file.c_str()), 0);
  RVClose(link);
  RVEnd(environment);
}

// How a log ends right after traffic: the log is stopped, the logged link is
// closed, the log's only file is taken away, or the peer closes.
enum class Ending { kStopLog, kCloseLink, kStopLastFile, kPeerCloses };

class LoggedEnding : public LinkPair, public ::testing::WithParamInterface<std::tuple<const char*, Ending>> {
 protected:
  LoggedEnding() { protocol_ = std::get<0>(GetParam()); }

  void SetUp() override {
    LinkPair::SetUp();
    file_ = folder_.file("ending.log");
    ASSERT_EQ(RVLogStreamToFile(listener_, file_.c_str()), 1);
  }

  // Ends the log as the case says; false when that does not return in time.
  bool End() {
    if (std::get<1>(GetParam()) == Ending::kPeerCloses) {
      RVClose(connector_);
      connector_ = nullptr;
      return qvtest::WaitUntil([&] { return !Log()->readyToLogQ(); }, std::chrono::seconds(5));
    }
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread ending([link = listener_, file = file_, how = std::get<1>(GetParam()), done] {
      switch (how) {
        case Ending::kStopLog: RVStopLoggingStream(link); break;
        case Ending::kCloseLink: RVClose(link); break;
        case Ending::kStopLastFile: RVStopLoggingStreamToFile(link, file.c_str()); break;
        case Ending::kPeerCloses: break;
      }
      done->store(true);
    });
    if (!qvtest::WaitUntil([&] { return done->load(); }, std::chrono::seconds(5))) {
      // Hung: the link is the hung thread's now.
      ending.detach();
      listener_ = nullptr;
      return false;
    }
    ending.join();
    if (std::get<1>(GetParam()) == Ending::kCloseLink) listener_ = nullptr;
    return true;
  }

  // Where the line of the peer's close stands in text; npos when it is not
  // there, as it must not be unless the peer closed.
  size_t PeerCloseLine(const std::string& text) {
    const size_t at = text.find("The other side of ");
    EXPECT_EQ(at != std::string::npos, std::get<1>(GetParam()) == Ending::kPeerCloses) << text;
    return at;
  }

  std::string file_;
};

std::string EndingCaseName(const ::testing::TestParamInfo<LoggedEnding::ParamType>& instance) {
  static const char* const kEndings[] = {"StopLog", "CloseLink", "StopLastFile", "PeerCloses"};
  return std::string(std::get<0>(instance.param)) + "_" + kEndings[static_cast<int>(std::get<1>(instance.param))];
}

INSTANTIATE_TEST_SUITE_P(Devices, LoggedEnding,
                         ::testing::Combine(::testing::Values("IntraProcess", "TCPIP"),
                                            ::testing::Values(Ending::kStopLog, Ending::kCloseLink,
                                                              Ending::kStopLastFile, Ending::kPeerCloses)),
                         EndingCaseName);

// Where each of the entries stands in text, in the order given; npos for an
// entry missing or found twice.
std::vector<size_t> PlacesOfEntriesSeenOnce(const std::string& text, const std::vector<std::string>& entries) {
  std::vector<size_t> places;
  for (const std::string& entry : entries) {
    const size_t at = text.find(entry);
    places.push_back(at != std::string::npos && text.rfind(entry) == at ? at : std::string::npos);
  }
  return places;
}

// Everything that crossed the link before the end is in the file: what the
// logged side put just before (flushed by the put itself onto the log's pair)
// and what it received from the peer, each once and in order in its direction,
// and before the line of the peer's close.
TEST_P(LoggedEnding, EverythingThatCrossedIsLoggedOnceInOrder) {
  constexpr int kCount = 40;
  std::thread peer([&] {
    for (int i = 1; i <= kCount; ++i) {
      PutIntegerCall(connector_, "Sent", 1, {i});
      RVFlush(connector_);
    }
  });
  for (int i = 1; i <= kCount; ++i) ASSERT_NO_FATAL_FAILURE(ExpectIntegerCall(listener_, "Sent", {i}));
  peer.join();
  for (int i = 1; i <= kCount; ++i) PutIntegerCall(listener_, "Put", 1, {i});
  ASSERT_EQ(RVFlush(listener_), 1);
  ASSERT_TRUE(End());

  const std::string text = Unwrapped(file_);
  for (const auto& [direction, head] : {std::pair{" read>: ", "Sent"}, std::pair{"write>: ", "Put"}}) {
    std::vector<std::string> entries;
    for (int i = 1; i <= kCount; ++i) entries.push_back(direction + std::string(head) + "[" + std::to_string(i) + "]");
    const std::vector<size_t> places = PlacesOfEntriesSeenOnce(text, entries);
    EXPECT_EQ(std::count(places.begin(), places.end(), std::string::npos), 0) << head << " in\n" << Slurp(file_);
    EXPECT_TRUE(std::is_sorted(places.begin(), places.end())) << head << " in\n" << Slurp(file_);
    const size_t closed = PeerCloseLine(text);
    if (closed != std::string::npos) {
      EXPECT_LT(places.back(), closed) << Slurp(file_);
    }
  }
}

// Half an expression from either side when the log ends: the end does not
// wait for the rest, and the tokens that came stand in the log, the peer's
// close line right after them. Taking the last file away leaves the log
// running: the half is not logged then, as if it were whole.
TEST_P(LoggedEnding, HalfAnExpressionDoesNotHoldUpTheEndAndWhatCameOfItIsLogged) {
  PutIntegerCall(connector_, "Whole", 1, {1});
  PutIntegerCall(connector_, "Half", 2, {1});
  ASSERT_EQ(RVFlush(connector_), 1);
  ASSERT_NO_FATAL_FAILURE(ExpectIntegerCall(listener_, "Whole", {1}));
  PutIntegerCall(listener_, "Mine", 1, {2});
  PutIntegerCall(listener_, "Part", 2, {3});
  ASSERT_EQ(RVFlush(listener_), 1);
  const std::string name = RVName(listener_);
  ASSERT_TRUE(End());

  std::vector<qvlinklogtest::Entry> wanted = {{" read", "Whole[1]"}, {"write", "Mine[2]"}};
  const Ending ending = std::get<1>(GetParam());
  if (ending != Ending::kStopLastFile) {
    wanted.push_back({" read", "Half[1, "});
    wanted.push_back({"write", "Part[3, "});
  }
  if (ending == Ending::kPeerCloses) wanted.push_back({" read", "The other side of " + name + " closed the link"});
  EXPECT_TRUE(LogsExactly(Entries(file_), wanted)) << Show(Entries(file_));
}

}  // namespace
