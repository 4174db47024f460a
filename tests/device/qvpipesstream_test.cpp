// The Pipes stream between two devices of this process, each on pipes the
// test made and named by number: the connect exchange, windows and their
// acknowledgements, escaping, close, messages and a reader that went away.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "device/qvpipesframing.h"
#include "support/qvtest.h"
#include "tests/device/qvpipestest.h"

namespace {

using namespace Quorvane;
using qvtest::Call;
using qvtest::RawPipe;


struct Window {
  char* start = nullptr;
  long size = 0;
};

class PipesPair : public ::testing::Test {
 protected:
  void SetUp() override {
    // a reads what b writes and the other way round, data and messages alike.
    a_ = Make(toA_.r(), toB_.w(), msgToA_.r(), msgToB_.w());
    b_ = Make(toB_.r(), toA_.w(), msgToB_.r(), msgToA_.w());
    toA_.Release(0), toA_.Release(1), toB_.Release(0), toB_.Release(1);
    msgToA_.Release(0), msgToA_.Release(1), msgToB_.Release(0), msgToB_.Release(1);
    ASSERT_NE(a_, nullptr);
    ASSERT_NE(b_, nullptr);
  }
  void TearDown() override {
    if (a_ != nullptr) Call(a_, QVDEVICE_CLOSE);
    if (b_ != nullptr) Call(b_, QVDEVICE_CLOSE);
  }
  void* Make(int in, int out, int msgIn, int msgOut) {
    long error = 0;
    void* device = world_.OnDescriptors(in, out, msgIn, msgOut, &error);
    EXPECT_EQ(error, 0);
    return device;
  }
  void ConnectBoth() {
    long answerB = -9;
    std::thread other([&] { answerB = Call(b_, QVDEVICE_CONNECT); });
    EXPECT_EQ(Call(a_, QVDEVICE_CONNECT), 0);
    other.join();
    EXPECT_EQ(answerB, 0);
  }
  static Window WriteWindow(void* device, long* answer = nullptr) {
    Window w;
    long got = Call(device, QVDEVICE_WRITE_WINDOW, &w.start, &w.size);
    if (answer != nullptr) *answer = got;
    else EXPECT_EQ(got, 0);
    return w;
  }
  // Places text in the window and commits it; answers the next window.
  static Window Put(void* device, Window w, const std::string& text, long* answer = nullptr) {
    std::memcpy(w.start, text.data(), text.size());
    Window next{w.start, static_cast<long>(text.size())};
    long got = Call(device, QVDEVICE_WRITE, &next.start, &next.size);
    if (answer != nullptr) *answer = got;
    else EXPECT_EQ(got, 0);
    return next;
  }
  // Reads until count data bytes came; control-only reads add nothing.
  static std::string ReadBytes(void* device, size_t count) {
    std::string got;
    while (got.size() < count) {
      Window w;
      if (Call(device, QVDEVICE_READ, &w.start, &w.size) != 0) break;
      got.append(w.start == nullptr ? "" : std::string(w.start, static_cast<size_t>(w.size)));
    }
    return got;
  }

  qvtest::PipesWorld world_;
  RawPipe toA_, toB_, msgToA_, msgToB_;
  void* a_ = nullptr;
  void* b_ = nullptr;
};

TEST_F(PipesPair, BackslashesCrossOneBytePerSegment) {
  ConnectBoth();
  const std::string payload(1022, '\\');
  Window w = WriteWindow(a_);
  ASSERT_EQ(w.size, 1022);
  Put(a_, w, payload);  // the commit sends the window
  Window segment;
  ASSERT_EQ(Call(b_, QVDEVICE_READ, &segment.start, &segment.size), 0);
  ASSERT_EQ(segment.size, 1);
  EXPECT_EQ(*segment.start, '\\');
  long size = 0;
  // Segments remain: the link core is told there is more to read.
  EXPECT_EQ(Call(b_, QVDEVICE_READ_COMPLETE, segment.start, &size), 26);
  EXPECT_EQ(ReadBytes(b_, payload.size() - 1), payload.substr(1));
}

TEST_F(PipesPair, AtMostTwoWindowsAwaitAcknowledgement) {
  ConnectBoth();
  Window w = WriteWindow(a_);
  w = Put(a_, w, "one");
  EXPECT_EQ(Call(a_, QVDEVICE_ACKNOWLEDGE), 15);
  w = Put(a_, w, "two");
  ASSERT_NE(w.start, nullptr);
  // The third window waits until an acknowledgement came back.
  long answer = -9;
  Window blocked = Put(a_, w, "three", &answer);
  EXPECT_EQ(answer, 0);
  EXPECT_EQ(blocked.start, nullptr);
  EXPECT_EQ(blocked.size, 0);
  EXPECT_EQ(ReadBytes(b_, 6), "onetwo");  // b acknowledges each window as it ends
  Window ack;
  ASSERT_EQ(Call(a_, QVDEVICE_READ, &ack.start, &ack.size), 0);
  EXPECT_EQ(ack.start, nullptr);
  EXPECT_EQ(ack.size, 0);
  // The third window's bytes go with the next window call.
  Window next = WriteWindow(a_);
  ASSERT_NE(next.start, nullptr);
  EXPECT_EQ(ReadBytes(b_, 5), "three");
}

TEST_F(PipesPair, UnreadInputHoldsTheWriterBack) {
  ConnectBoth();
  Window w = WriteWindow(b_);
  Put(b_, w, "a\\b");  // three segments: "a", one backslash, "b"
  Window head;
  ASSERT_EQ(Call(a_, QVDEVICE_READ, &head.start, &head.size), 0);
  ASSERT_EQ(std::string(head.start, static_cast<size_t>(head.size)), "a");
  Window aw = WriteWindow(a_);  // the first window is handed out without sending
  ASSERT_NE(aw.start, nullptr);
  long answer = -9;
  Window blocked = Put(a_, aw, "x", &answer);
  EXPECT_EQ(answer, 0);
  EXPECT_EQ(blocked.start, nullptr);
  EXPECT_EQ(ReadBytes(a_, 2), "\\b");
  // Once the input is read, the held window goes.
  Window next = WriteWindow(a_);
  EXPECT_NE(next.start, nullptr);
  EXPECT_EQ(ReadBytes(b_, 1), "x");
}

TEST_F(PipesPair, CloseMarkEndsTheStream) {
  ConnectBoth();
  Window w = WriteWindow(a_);
  Put(a_, w, "last");
  Call(a_, QVDEVICE_CLOSE);
  a_ = nullptr;
  EXPECT_EQ(ReadBytes(b_, 4), "last");
  Window end;
  long answer = Call(b_, QVDEVICE_READ, &end.start, &end.size);
  if (answer == 0) answer = Call(b_, QVDEVICE_READ, &end.start, &end.size);
  EXPECT_EQ(answer, 11);
  long size = 0;
  EXPECT_EQ(Call(b_, QVDEVICE_READ_COMPLETE, nullptr, &size), 11);
  Window none;
  EXPECT_EQ(Call(b_, QVDEVICE_WRITE_WINDOW, &none.start, &none.size), 11);
}

TEST_F(PipesPair, RecordsTravelOnTheMessagePipes) {
  ConnectBoth();
  long code = 4, argument = 77;
  EXPECT_EQ(Call(a_, QVDEVICE_WRITE_MESSAGE, &code, &argument), 0);
  ASSERT_TRUE(qvtest::WaitUntil([&] {
    long waiting = 0, alsoWaiting = 0;
    return Call(b_, QVDEVICE_HAS_MESSAGE, &alsoWaiting, &waiting) == 0 && waiting == 1;
  }));
  long gotCode = 0, gotArgument = 0;
  EXPECT_EQ(Call(b_, QVDEVICE_READ_MESSAGE, &gotCode, &gotArgument), 0);
  EXPECT_EQ(gotCode, 4);
  EXPECT_EQ(gotArgument, 77);
  EXPECT_EQ(Call(b_, QVDEVICE_READ_MESSAGE, &gotCode, &gotArgument), 18);
}

TEST_F(PipesPair, AWindowToAReaderThatWentAwayFailsWithoutEndingTheProcess) {
  ConnectBoth();
  Call(b_, QVDEVICE_CLOSE);
  b_ = nullptr;
  // Even with SIGPIPE at its default, the write only fails.
  struct sigaction previous {};
  struct sigaction fatal {};
  fatal.sa_handler = SIG_DFL;
  sigaction(SIGPIPE, &fatal, &previous);
  Window w = WriteWindow(a_);
  long answer = -9;
  Put(a_, w, "lost", &answer);
  EXPECT_EQ(answer, 1);
  EXPECT_EQ(Call(a_, QVDEVICE_CONNECT), 1);  // failed: connect answers 1 from now on
  sigset_t pending;
  sigpending(&pending);
  EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
  sigaction(SIGPIPE, &previous, nullptr);
}

// A device on raw pipes the test plays the peer on, with a yield function
// that stops every wait at once.
int gYieldCalls = 0;
int StopAtOnce(void*, QVYieldParams*) {
  ++gYieldCalls;
  return 1;
}

class PipesYieldStop : public ::testing::Test {
 protected:
  void SetUp() override {
    // A second write end of the device's output, to fill it with.
    filler_ = dup(pipes_.fromDevice.w());
    ASSERT_GE(filler_, 0);
    long error = 0;
    device_ = pipes_.Attach(world_, &error);
    ASSERT_EQ(error, 0);
    ASSERT_EQ(Call(device_, QVDEVICE_SET_YIELD_FUNCTION, reinterpret_cast<void*>(&StopAtOnce), nullptr), 0);
    gYieldCalls = 0;
  }
  void TearDown() override {
    if (device_ != nullptr) Call(device_, QVDEVICE_CLOSE);
    if (filler_ >= 0) close(filler_);
  }
  void Say(const std::string& text) {
    ASSERT_EQ(write(pipes_.toDevice.w(), text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  // What the device wrote, up to count bytes, each waited for at most 5 s.
  std::string Heard(size_t count) {
    std::string got;
    while (got.size() < count) {
      pollfd entry{pipes_.fromDevice.r(), POLLIN, 0};
      if (poll(&entry, 1, 5000) != 1) break;
      char byte = 0;
      if (read(pipes_.fromDevice.r(), &byte, 1) != 1) break;
      got += byte;
    }
    return got;
  }
  bool NothingMoreHeard() {
    pollfd entry{pipes_.fromDevice.r(), POLLIN, 0};
    return poll(&entry, 1, 0) == 0;
  }

  qvtest::PipesWorld world_;
  qvtest::PeerPipes pipes_;
  int filler_ = -1;
  void* device_ = nullptr;
};

TEST_F(PipesYieldStop, ConnectGoesOnWhereItStopped) {
  // Nothing from the peer yet: the wait for its "Y" is stopped.
  EXPECT_EQ(Call(device_, QVDEVICE_CONNECT), 25);
  EXPECT_GT(gYieldCalls, 0);
  Say("noiseYi");
  // Stopped again in the middle of the peer's word.
  EXPECT_EQ(Call(device_, QVDEVICE_CONNECT), 25);
  Say("n ");
  EXPECT_EQ(Call(device_, QVDEVICE_CONNECT), 0);
  // "Y" and the word went once, whatever the number of tries.
  EXPECT_EQ(Heard(5), "Yang ");
  EXPECT_TRUE(NothingMoreHeard());
  // The peer's word was taken whole: its window ends with its letter.
  Say("ab\\C");
  Window segment;
  ASSERT_EQ(Call(device_, QVDEVICE_READ, &segment.start, &segment.size), 0);
  EXPECT_EQ(std::string(segment.start, static_cast<size_t>(segment.size)), "ab");
  EXPECT_EQ(Heard(2), "\\c");
}

TEST_F(PipesYieldStop, AWindowThatCannotGoStaysCurrent) {
  Say("Yin ");
  ASSERT_EQ(Call(device_, QVDEVICE_CONNECT), 0);
  ASSERT_EQ(Heard(5), "Yang ");
  // The output made as small as the system allows, and filled.
  ASSERT_GE(fcntl(filler_, F_SETPIPE_SZ, 4096), 0);
  ASSERT_EQ(write(filler_, "f", 1), 1);
  Window w;
  ASSERT_EQ(Call(device_, QVDEVICE_WRITE_WINDOW, &w.start, &w.size), 0);
  ASSERT_NE(w.start, nullptr);
  std::memcpy(w.start, "abc", 3);
  w.size = 3;
  EXPECT_EQ(Call(device_, QVDEVICE_WRITE, &w.start, &w.size), 25);
  EXPECT_GT(gYieldCalls, 0);
  // Room again: the same window goes with the next call, once.
  EXPECT_EQ(Heard(1), "f");
  Window next;
  ASSERT_EQ(Call(device_, QVDEVICE_WRITE_WINDOW, &next.start, &next.size), 0);
  EXPECT_NE(next.start, nullptr);
  EXPECT_EQ(Heard(5), "abc\\P");
  EXPECT_TRUE(NothingMoreHeard());
  EXPECT_EQ(Call(device_, QVDEVICE_ACKNOWLEDGE), 15);
  EXPECT_EQ(Call(device_, QVDEVICE_CONNECT), 0);
}

// Windows that end in one input (an empty one among them) are each
// acknowledged as soon as the input is read, before any of their data is
// handed on; nothing else goes back.
TEST_F(PipesYieldStop, EveryWindowEndingInOneInputIsAcknowledgedAtOnce) {
  Say("Yin ");
  ASSERT_EQ(Call(device_, QVDEVICE_CONNECT), 0);
  ASSERT_EQ(Heard(5), "Yang ");
  Say("a\\Cb\\C\\Cc");
  Window segment;
  ASSERT_EQ(Call(device_, QVDEVICE_READ, &segment.start, &segment.size), 0);
  EXPECT_EQ(std::string(segment.start, static_cast<size_t>(segment.size)), "a");
  EXPECT_EQ(Heard(6), "\\c\\c\\c");
  EXPECT_TRUE(NothingMoreHeard());
  std::string rest;
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(Call(device_, QVDEVICE_READ, &segment.start, &segment.size), 0);
    rest.append(segment.start, static_cast<size_t>(segment.size));
  }
  EXPECT_EQ(rest, "bc");
  EXPECT_TRUE(NothingMoreHeard()) << "the window still open is not acknowledged";
}

// The bytes a window of data goes out as: each backslash doubled, then a
// backslash and the sender's letter. Written here from the framing rules,
// apart from the device's code.
std::string OnTheWire(const std::string& data, char letter) {
  std::string wire;
  for (char c : data) {
    wire += c;
    if (c == '\\') wire += c;
  }
  return wire + '\\' + letter;
}

// n bytes of a pattern with a backslash at every offset in at.
std::string WithBackslashesAt(size_t n, std::initializer_list<size_t> at) {
  std::string data(n, '\0');
  for (size_t i = 0; i < n; ++i) data[i] = static_cast<char>('a' + i % 26);
  for (size_t i : at) data[i] = '\\';
  return data;
}

// n bytes with count backslashes spread over them.
std::string SpreadBackslashes(size_t n, size_t count) {
  std::string data = WithBackslashesAt(n, {});
  for (size_t k = 0; k < count; ++k) data[k * n / count] = '\\';
  return data;
}

std::string Pattern(size_t n) {
  std::string data(n, '\0');
  for (size_t i = 0; i < n; ++i) data[i] = static_cast<char>((i * 7 + 3) % 256);
  return data;
}

// Windows whose bytes go straight from the window buffer and windows with
// too many backslashes for that, which are encoded into a copy first: either
// way, what reaches the pipe is exactly the encoding of the data.
TEST_F(PipesYieldStop, EveryWindowGoesOutAsItsEncodingWhereverItsBackslashesAre) {
  Say("Yin ");
  ASSERT_EQ(Call(device_, QVDEVICE_CONNECT), 0);
  ASSERT_EQ(Heard(5), "Yang ");
  struct Case {
    const char* what;
    std::string data;
  };
  const Case cases[] = {
      {"empty", ""},
      {"no backslash", "plain"},
      {"one backslash alone", "\\"},
      {"backslash first", "\\x"},
      {"backslash last", "x\\"},
      {"backslash first and last", "\\x\\"},
      {"backslashes in a row", "a\\\\\\b"},
      {"a whole window, no backslash", std::string(1022, 'w')},
      {"a whole window, backslash first", WithBackslashesAt(1022, {0})},
      {"a whole window, backslash last", WithBackslashesAt(1022, {1021})},
      {"a whole window, backslashes at both ends", WithBackslashesAt(1022, {0, 1, 1020, 1021})},
      {"61 backslashes", SpreadBackslashes(1022, 61)},
      {"62 backslashes", SpreadBackslashes(1022, 62)},
      {"63 backslashes", SpreadBackslashes(1022, 63)},
      {"all backslashes", std::string(1022, '\\')},
      {"every byte value", Pattern(1022)},
  };
  Window w;
  ASSERT_EQ(Call(device_, QVDEVICE_WRITE_WINDOW, &w.start, &w.size), 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_NE(w.start, nullptr);
    ASSERT_GE(w.size, static_cast<long>(c.data.size()));
    std::memcpy(w.start, c.data.data(), c.data.size());
    w.size = static_cast<long>(c.data.size());
    ASSERT_EQ(Call(device_, QVDEVICE_WRITE, &w.start, &w.size), 0);
    const std::string expected = OnTheWire(c.data, 'P');
    ASSERT_EQ(Heard(expected.size()), expected);
    ASSERT_TRUE(NothingMoreHeard());
    // Acknowledged and the acknowledgement taken, so that a window is free.
    Say("\\p");
    Window none;
    ASSERT_EQ(Call(device_, QVDEVICE_READ, &none.start, &none.size), 0);
    EXPECT_EQ(none.start, nullptr);
    ASSERT_EQ(Call(device_, QVDEVICE_ACKNOWLEDGE), 0);
  }
}

// The peer's windows, each data backslash and each end mark among them,
// arrive cut into reads of every size from one byte to a whole read buffer:
// the data comes whole and in order, and each window is acknowledged once,
// as soon as the read that holds its end mark is taken, and no sooner.
class ReadSizes : public PipesYieldStop, public ::testing::WithParamInterface<size_t> {};

TEST_P(ReadSizes, WindowsCutAnywhereComeWholeAndAreEachAcknowledgedOnce) {
  Say("Yin ");
  ASSERT_EQ(Call(device_, QVDEVICE_CONNECT), 0);
  ASSERT_EQ(Heard(5), "Yang ");
  const std::vector<std::string> windows = {
      "\\", "a\\", "\\b", "\\\\", std::string(1022, 'x'), WithBackslashesAt(1022, {1021}),
      WithBackslashesAt(1022, {0}), "", "plain", std::string(1022, '\\'), Pattern(1022), Pattern(300)};
  std::string stream;
  std::string data;
  std::vector<size_t> ends;  // offset of each window's end letter in the stream
  for (size_t i = 0; i < windows.size(); ++i) {
    stream += OnTheWire(windows[i], 'C');
    ends.push_back(stream.size() - 1);
    data += windows[i];
    // Between windows: an acknowledgement of nothing sent and an unknown
    // escape, neither of them data.
    if (i == 2) stream += "\\p";
    if (i == 5) stream += "\\Z";
  }
  const size_t cut = GetParam();
  std::string got;
  size_t acknowledged = 0;
  for (size_t at = 0; at < stream.size(); at += cut) {
    const std::string read = stream.substr(at, cut);
    Say(read);
    // The first read takes all that was said; the calls after it hand out
    // what it holds until nothing is left unread.
    long unread = 0;
    do {
      Window segment;
      ASSERT_EQ(Call(device_, QVDEVICE_READ, &segment.start, &segment.size), 0) << "at " << at;
      if (segment.start != nullptr) {
        ASSERT_GT(segment.size, 0);
        got.append(segment.start, static_cast<size_t>(segment.size));
      }
      long size = 0;
      unread = Call(device_, QVDEVICE_READ_COMPLETE, segment.start, &size);
    } while (unread == 26);
    ASSERT_EQ(unread, 0);
    const size_t ended = static_cast<size_t>(
        std::count_if(ends.begin(), ends.end(), [&](size_t end) { return end < at + read.size(); }));
    if (ended > acknowledged) {
      std::string expected;
      for (size_t i = acknowledged; i < ended; ++i) expected += "\\c";
      ASSERT_EQ(Heard(expected.size()), expected) << "at " << at;
      acknowledged = ended;
    }
    ASSERT_TRUE(NothingMoreHeard()) << "at " << at;
  }
  EXPECT_EQ(acknowledged, windows.size());
  EXPECT_EQ(got, data);
}

INSTANTIATE_TEST_SUITE_P(Pipes, ReadSizes, ::testing::Values(1, 2, 3, 7, 1021, 1022, 1023, 4096, 65536));

// A peer on raw pipes: what it sends before and as its role word.
class RoleWords : public ::testing::TestWithParam<std::pair<std::string, long>> {};

TEST_P(RoleWords, PeerWordDecidesTheConnect) {
  qvtest::PipesWorld world;
  qvtest::PeerPipes pipes;
  qvtest::RawPipe& toDevice = pipes.toDevice;
  qvtest::RawPipe& fromDevice = pipes.fromDevice;
  long error = 0;
  void* device = pipes.Attach(world, &error);
  ASSERT_EQ(error, 0);
  const std::string said = GetParam().first;
  ASSERT_EQ(write(toDevice.w(), said.data(), said.size()), static_cast<ssize_t>(said.size()));
  EXPECT_EQ(Call(device, QVDEVICE_CONNECT), GetParam().second) << said.substr(0, 40);
  char heard[16] = {};
  ASSERT_EQ(read(fromDevice.r(), heard, 5), 5);
  EXPECT_EQ(std::string(heard, 5), "Yang ");
  Call(device, QVDEVICE_CLOSE);
}

INSTANTIATE_TEST_SUITE_P(
    Pipes, RoleWords,
    ::testing::Values(std::make_pair(std::string("noise\\CYin "), 0L), std::make_pair(std::string("Yang "), 0L),
                      std::make_pair(std::string("YNeuter "), 0L), std::make_pair(std::string("Y "), 0L),
                      std::make_pair(std::string("Yin,extra,words "), 0L), std::make_pair(std::string("YYang "), 1L),
                      std::make_pair(std::string("Y") + std::string(300, 'w') + " ", 1L),
                      std::make_pair(std::string("Y") + std::string(256, 'i') + " ", 1L)));

// Only a launch moves descriptors, through a table of 1024 numbers; a
// program connecting to its parent takes the numbers it was given.
TEST(PipesProtocolText, ParentConnectTakesNumbersBeyondTheLaunchTable) {
  struct rlimit limit {};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  if (limit.rlim_cur < 1600) {
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 1600);
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  qvtest::PipesWorld world;
  qvtest::PeerPipes pipes;
  int high[4];
  const int ends[4] = {pipes.toDevice.r(), pipes.fromDevice.w(), pipes.msgIn.r(), pipes.msgOut.w()};
  for (int i = 0; i < 4; ++i) {
    high[i] = fcntl(ends[i], F_DUPFD_CLOEXEC, 1500 + i);
    if (high[i] < 0) GTEST_SKIP() << "no descriptor above 1500 in this process";
  }
  long error = 0;
  void* device = world.OnDescriptors(high[0], high[1], high[2], high[3], &error);
  ASSERT_NE(device, nullptr) << error;
  const std::string said = "Yin ";
  ASSERT_EQ(write(pipes.toDevice.w(), said.data(), said.size()), static_cast<ssize_t>(said.size()));
  EXPECT_EQ(Call(device, QVDEVICE_CONNECT), 0);
  char heard[5] = {};
  ASSERT_EQ(read(pipes.fromDevice.r(), heard, 5), 5);
  EXPECT_EQ(std::string(heard, 5), "Yang ");
  // The device owns the four numbers it was given, and closes them.
  Call(device, QVDEVICE_CLOSE);
  for (int fd : high) EXPECT_LT(fcntl(fd, F_GETFD), 0) << fd;
  // A launch is refused such numbers before it starts anything.
  EXPECT_EQ(world.Make("Pipes:0,1,3,1500", 8, "/bin/sh -c 'exec cat'", 0, &error), nullptr);
  EXPECT_EQ(error, 34);
  EXPECT_TRUE(qvtest::ChildrenOfThisProcess().empty());
}

TEST(PipesProtocolText, DescriptorNumbers) {
  struct Case {
    const char* text;
    bool ours;
    long in, out, msgIn, msgOut;
  } cases[] = {
      {"", true, 0, 1, -1, -1},
      {"Pipes", true, 0, 1, -1, -1},
      {"PIPES:3,4", true, 3, 4, -1, -1},
      {"pipes: 5 , 6,\t7,8", true, 5, 6, 7, 8},
      {"Pipes:3,x", true, 0, 1, -1, -1},
      {"Pipes:3,4,5,6,7", true, 3, 4, 5, 6},
      {"Pipes:99999999999999999999999999", true, 0, 1, -1, -1},
      {"TCP", false, 0, 1, -1, -1},
      {"Pipe", false, 0, 1, -1, -1},
  };
  for (const Case& c : cases) {
    pipes::Descriptors d;
    EXPECT_EQ(pipes::ParseProtocol(c.text, &d), c.ours) << c.text;
    EXPECT_EQ(d.fdIn, c.in) << c.text;
    EXPECT_EQ(d.fdOut, c.out) << c.text;
    EXPECT_EQ(d.fdMsgIn, c.msgIn) << c.text;
    EXPECT_EQ(d.fdMsgOut, c.msgOut) << c.text;
  }
}

}  // namespace
