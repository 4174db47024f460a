// The message layer's descriptor calls: the eight-byte record over a pipe and
// a socket pair (checked against the words decoded independently), the
// yield rules of the waiting read and write, and the readiness wait.
#include <arpa/inet.h>
#include <signal.h>
#include <fcntl.h>
#include <poll.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "device/qvmessagelayer.h"
#include "device/qvsockcalls.h"
#include "device/qvmessagetest.h"
#include "support/qvtest.h"
#include "utilities/platform/qvsignaldriven.h"

namespace {

using qvtest::DescriptorPair;

struct Transport {
  const char* name;
  DescriptorPair (*make)();
};

const Transport kTransports[] = {{"pipe", &qvtest::MakePipe}, {"socket pair", &qvtest::MakeSocketPair}};

struct RecordCase {
  uint64_t code;
  uint64_t argument;
  uint32_t wireCode;  // what travels: the low 32 bits
  uint32_t wireArgument;
};

const RecordCase kRecords[] = {
    {0, 0, 0, 0},
    {1, 2, 1, 2},
    {0x01020304, 0xa0b0c0d0, 0x01020304, 0xa0b0c0d0},
    {4294967295u, 4294967295u, 4294967295u, 4294967295u},
    {0x1ffffffffull, 0x100000007ull, 0xffffffffu, 7},
};

std::vector<unsigned char> Wire(uint32_t code, uint32_t argument) {
  const uint32_t words[2] = {htonl(code), htonl(argument)};
  std::vector<unsigned char> bytes(8);
  std::memcpy(bytes.data(), words, 8);
  return bytes;
}

void WriteAll(int fd, const unsigned char* bytes, size_t length) {
  ASSERT_EQ(write(fd, bytes, length), static_cast<ssize_t>(length));
}

TEST(MessageRecord, GoesOutAsBigEndianCodeThenArgument) {
  for (const Transport& transport : kTransports) {
    for (const RecordCase& c : kRecords) {
      SCOPED_TRACE(std::string(transport.name) + " code " + std::to_string(c.code));
      DescriptorPair pair = transport.make();
      ASSERT_EQ(unix_writemsg(pair.write, c.code, c.argument), 1);
      unsigned char got[16] = {};
      // One read takes the whole record: it went out in one piece.
      ASSERT_EQ(read(pair.read, got, sizeof got), 8);
      EXPECT_EQ(std::vector<unsigned char>(got, got + 8), Wire(c.wireCode, c.wireArgument));
    }
  }
}

TEST(MessageRecord, ArrivesWholeWhereverTheBytesAreCut) {
  for (const Transport& transport : kTransports) {
    for (const RecordCase& c : kRecords) {
      const std::vector<unsigned char> wire = Wire(c.wireCode, c.wireArgument);
      for (size_t cut = 0; cut < 8; ++cut) {
        SCOPED_TRACE(std::string(transport.name) + " code " + std::to_string(c.code) + " cut at " + std::to_string(cut));
        DescriptorPair pair = transport.make();
        uint64_t code = 99;
        uint64_t argument = 99;
        if (cut > 0) {
          WriteAll(pair.write, wire.data(), cut);
          EXPECT_EQ(unix_readmsg(pair.read, &code, &argument), 0);
          EXPECT_EQ(code, 0u);
          EXPECT_EQ(argument, 0u);
        }
        WriteAll(pair.write, wire.data() + cut, 8 - cut);
        ASSERT_EQ(unix_readmsg(pair.read, &code, &argument), 1);
        EXPECT_EQ(code, c.wireCode);
        EXPECT_EQ(argument, c.wireArgument);
        EXPECT_EQ(unix_readmsg(pair.read, &code, &argument), 0) << "nothing more";
      }
    }
  }
}

TEST(MessageRecord, RoundTripsAndKeepsRecordsApart) {
  for (const Transport& transport : kTransports) {
    SCOPED_TRACE(transport.name);
    DescriptorPair pair = transport.make();
    for (const RecordCase& c : kRecords) ASSERT_EQ(unix_writemsg(pair.write, c.code, c.argument), 1);
    for (const RecordCase& c : kRecords) {
      uint64_t code = 0;
      uint64_t argument = 0;
      ASSERT_EQ(unix_readmsg(pair.read, &code, &argument), 1);
      EXPECT_EQ(code, c.wireCode);
      EXPECT_EQ(argument, c.wireArgument);
    }
  }
}

TEST(MessageRecord, PeerClosingInsideARecordGivesNothing) {
  for (const Transport& transport : kTransports) {
    SCOPED_TRACE(transport.name);
    DescriptorPair pair = transport.make();
    const std::vector<unsigned char> wire = Wire(7, 8);
    WriteAll(pair.write, wire.data(), 4);
    close(pair.write);
    pair.write = -1;
    uint64_t code = 5;
    uint64_t argument = 5;
    EXPECT_EQ(unix_readmsg(pair.read, &code, &argument), 0);
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(argument, 0u);
    EXPECT_EQ(unix_readmsg(pair.read, &code, &argument), 0);
  }
}

// A part kept for a descriptor must not prefix the stream of the next
// descriptor that gets the same number.
TEST(MessageRecord, ADescriptorNumberUsedAgainStartsClean) {
  const std::vector<unsigned char> wire = Wire(0x11111111, 0x22222222);
  for (bool stopFirst : {true, false}) {
    SCOPED_TRACE(stopFirst ? "disarmed before closing" : "ended by the peer");
    DescriptorPair first = qvtest::MakePipe();
    const int number = first.read;
    WriteAll(first.write, wire.data(), 5);
    uint64_t code = 0;
    uint64_t argument = 0;
    ASSERT_EQ(unix_readmsg(number, &code, &argument), 0);
    if (stopFirst) {
      EXPECT_EQ(unix_arrange_to_stop_msgs(number), 1);
    } else {
      close(first.write);
      first.write = -1;
      ASSERT_EQ(unix_readmsg(number, &code, &argument), 0);
    }
    DescriptorPair second = qvtest::MakePipe();
    ASSERT_TRUE(second.moveReadTo(number));
    first.read = -1;  // the number now belongs to the second pipe
    ASSERT_EQ(unix_writemsg(second.write, 3, 4), 1);
    ASSERT_EQ(unix_readmsg(number, &code, &argument), 1);
    EXPECT_EQ(code, 3u);
    EXPECT_EQ(argument, 4u);
  }
}

TEST(MessageRecord, NegativeDescriptorsAreRefused) {
  uint64_t code = 1;
  uint64_t argument = 1;
  EXPECT_EQ(unix_readmsg(-1, &code, &argument), 0);
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(argument, 0u);
  EXPECT_EQ(unix_writemsg(-1, 1, 2), 0);
}

// A yield function that asks to stop from its stopAt-th call on.
struct Yielder {
  int calls = 0;
  int stopAt = 1;
  static int Call(void* cookie, QVYieldParams*) {
    Yielder* self = static_cast<Yielder*>(cookie);
    return ++self->calls >= self->stopAt ? 1 : 0;
  }
};

QVYieldParams FreshYieldData() {
  QVYieldParams data{};
  QVNewYieldData(&data);
  QVResetYieldData(&data, 3);
  return data;
}

TEST(WaitingRead, AnswersByTheYieldRules) {
  struct Case {
    const char* what;
    const char* sent;   // written before the read; null for nothing
    bool closeWriter;
    long length;
    int stopAt;         // 0: no yield function
    long expected;
    int yieldCalls;
  };
  const Case cases[] = {
      {"nothing there, stopped at once", nullptr, false, 8, 1, 0, 1},
      {"nothing there, stopped at the third call", nullptr, false, 8, 3, 0, 3},
      {"a part of what was asked", "abcd", false, 10, 1, 4, 0},
      {"no more than asked", "abcdefgh", false, 3, 1, 3, 0},
      {"end of file", nullptr, true, 8, 1, -2, 0},
      {"end of file without a yield function", nullptr, true, 8, 0, -2, 0},
      {"a part of what was asked, without a yield function", "abcd", false, 10, 0, 4, 0},
      {"length 0", "abcd", false, 0, 1, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    DescriptorPair pair = qvtest::MakePipe();
    if (c.sent != nullptr) WriteAll(pair.write, reinterpret_cast<const unsigned char*>(c.sent), std::strlen(c.sent));
    if (c.closeWriter) {
      close(pair.write);
      pair.write = -1;
    }
    Yielder yielder;
    yielder.stopAt = c.stopAt;
    QVYieldParams data = FreshYieldData();
    char buffer[16] = {};
    const long got = unix_read(pair.read, buffer, c.length, c.stopAt == 0 ? nullptr : &Yielder::Call, &yielder, 0, &data);
    EXPECT_EQ(got, c.expected);
    EXPECT_EQ(yielder.calls, c.yieldCalls);
    EXPECT_EQ(RVCountYP(&data), c.yieldCalls) << "the record reaches the yield function";
    if (got > 0) {
      EXPECT_EQ(std::string(buffer, static_cast<size_t>(got)), std::string(c.sent, static_cast<size_t>(got)));
    }
  }
}

std::atomic<int> gInterruptions{0};
void CountInterruption(int) { gInterruptions.fetch_add(1); }

// Without a yield function a read waits until data or the end comes, through
// any number of signals (installed without restart, so each ends the wait
// the system call was in); a descriptor set non-blocking waits as well.
TEST(WaitingRead, WithoutAYieldFunctionWaitsThroughSignalsForData) {
  const qv_plain_signal_function previous = watchsignal(SIGUSR2, &CountInterruption);
  for (const bool nonBlocking : {false, true}) {
    SCOPED_TRACE(nonBlocking ? "non-blocking descriptor" : "blocking descriptor");
    DescriptorPair pair = qvtest::MakePipe();
    if (nonBlocking) fcntl(pair.read, F_SETFL, fcntl(pair.read, F_GETFL) | O_NONBLOCK);
    gInterruptions = 0;
    std::atomic<bool> started{false};
    std::atomic<bool> ended{false};
    long got = -9;
    char buffer[8] = {};
    std::thread reader([&] {
      started = true;
      got = unix_read(pair.read, buffer, sizeof buffer, nullptr, nullptr, 0, nullptr);
      ended = true;
    });
    const pthread_t target = reader.native_handle();
    ASSERT_TRUE(qvtest::WaitUntil([&] { return started.load(); }));
    EXPECT_TRUE(qvtest::WaitUntil([&] {
      if (!ended) pthread_kill(target, SIGUSR2);
      return gInterruptions.load() >= 5 || ended;
    }));
    EXPECT_FALSE(ended) << "the read ended before any data came";
    WriteAll(pair.write, reinterpret_cast<const unsigned char*>("late"), 4);
    reader.join();
    EXPECT_EQ(got, 4);
    EXPECT_EQ(std::string(buffer, 4), "late");
  }
  watchsignal(SIGUSR2, previous);
}

TEST(WaitingReadAndWrite, ABadDescriptorFailsRatherThanWaits) {
  DescriptorPair gone = qvtest::MakePipe();
  const int closed = gone.read;
  close(gone.read);
  gone.read = -1;
  char buffer[4] = {};
  for (int fd : {-1, closed}) {
    SCOPED_TRACE(fd);
    Yielder yielder;
    yielder.stopAt = 1 << 30;
    EXPECT_EQ(unix_read(fd, buffer, 4, &Yielder::Call, &yielder, 0, nullptr), -1);
    EXPECT_EQ(unix_write(fd, buffer, 4, &Yielder::Call, &yielder, 0, nullptr), -1);
    EXPECT_EQ(unix_read(fd, buffer, 0, &Yielder::Call, &yielder, 0, nullptr), 0) << "length 0 touches nothing";
    EXPECT_EQ(yielder.calls, 0);
  }
}

using WaitingWriteCall = long (*)(int, const void*, long, qv_yield_function, void*, int, QVYieldParams*);
struct WriteCall {
  const char* name;
  WaitingWriteCall call;
};
const WriteCall kSocketWrites[] = {{"unix_write", &unix_write}, {"unix_send", &unix_send}};
const WriteCall kPipeWrites[] = {{"unix_write", &unix_write}, {"unix_write_pipe", &unix_write_pipe}};

// A reader on a thread of its own that takes everything until the end.
std::thread DrainInto(int fd, std::vector<char>* received) {
  return std::thread([fd, received] {
    char block[8192];
    ssize_t count;
    while ((count = read(fd, block, sizeof block)) > 0) received->insert(received->end(), block, block + count);
  });
}

// A write of four bytes on a thread of its own with SIGPIPE blocked: its
// answer, and whether it raised SIGPIPE (taken back before the thread ends).
struct HeldWrite {
  long answer = 0;
  bool raised = false;
};
HeldWrite WriteWithSigpipeHeld(WaitingWriteCall call, int fd) {
  HeldWrite written;
  std::thread([&] {
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &only, nullptr);
    written.answer = call(fd, "gone", 4, nullptr, nullptr, 0, nullptr);
    sigset_t now;
    written.raised = sigpending(&now) == 0 && sigismember(&now, SIGPIPE) == 1;
    const struct timespec zero {0, 0};
    if (written.raised) sigtimedwait(&only, nullptr, &zero);
  }).join();
  return written;
}

// Fills the pipe so that no byte more can be written without a reader.
void FillPipe(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  char block[4096] = {};
  while (write(fd, block, sizeof block) > 0) {
  }
  char one = 0;
  while (write(fd, &one, 1) > 0) {
  }
  fcntl(fd, F_SETFL, flags);
}

TEST(WaitingWrite, StoppedBeforeAnyByteGivesZeroAfterAPartMinusOne) {
  for (const WriteCall& write : kPipeWrites) {
    SCOPED_TRACE(write.name);
    {
      SCOPED_TRACE("full pipe");
      DescriptorPair pair = qvtest::MakePipe();
      FillPipe(pair.write);
      Yielder yielder;
      QVYieldParams data = FreshYieldData();
      EXPECT_EQ(write.call(pair.write, "x", 1, &Yielder::Call, &yielder, 0, &data), 0);
      EXPECT_EQ(yielder.calls, 1);
    }
    {
      SCOPED_TRACE("room for a part only");
      DescriptorPair pair = qvtest::MakePipe();
      // Non-blocking, so that the write takes the part that fits and then waits.
      fcntl(pair.write, F_SETFL, fcntl(pair.write, F_GETFL) | O_NONBLOCK);
      const std::vector<char> big(1 << 20, 'y');
      Yielder yielder;
      yielder.stopAt = 2;
      QVYieldParams data = FreshYieldData();
      EXPECT_EQ(write.call(pair.write, big.data(), static_cast<long>(big.size()), &Yielder::Call, &yielder, 0, &data),
                -1);
      EXPECT_EQ(yielder.calls, 2);
      char first = 0;
      EXPECT_EQ(read(pair.read, &first, 1), 1) << "a part went out";
    }
  }
}

// Without a yield function a write into a pipe waits for room as long as it
// takes, also on a descriptor set non-blocking, and a reader that has gone
// fails it.
TEST(WaitingWrite, IntoAPipeWithoutAYieldFunctionWaitsForRoom) {
  for (const WriteCall& write : kPipeWrites) {
    for (const bool nonBlocking : {false, true}) {
      SCOPED_TRACE(std::string(write.name) + (nonBlocking ? ", non-blocking" : ", blocking"));
      DescriptorPair pair = qvtest::MakePipe();
      if (nonBlocking) fcntl(pair.write, F_SETFL, fcntl(pair.write, F_GETFL) | O_NONBLOCK);
      FillPipe(pair.write);
      std::vector<char> sent(300000);
      for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<char>(i * 13);
      std::vector<char> received;
      std::thread reader = DrainInto(pair.read, &received);
      EXPECT_EQ(write.call(pair.write, sent.data(), static_cast<long>(sent.size()), nullptr, nullptr, 0, nullptr),
                static_cast<long>(sent.size()));
      close(pair.write);
      pair.write = -1;
      reader.join();
      ASSERT_GE(received.size(), sent.size());
      EXPECT_TRUE(std::equal(sent.begin(), sent.end(), received.end() - static_cast<long>(sent.size())))
          << "the bytes came after what filled the pipe, in order";
    }
    DescriptorPair gone = qvtest::MakePipe();
    close(gone.read);
    gone.read = -1;
    EXPECT_EQ(WriteWithSigpipeHeld(write.call, gone.write).answer, -1) << "the reader has gone";
  }
}

TEST(WaitingWrite, WritesEveryByteWhileTheReaderDrains) {
  struct Case {
    const char* what;
    DescriptorPair (*make)();
    WaitingWriteCall call;
  };
  const Case cases[] = {{"pipe", &qvtest::MakePipe, &unix_write},
                        {"pipe, unix_write_pipe", &qvtest::MakePipe, &unix_write_pipe},
                        {"socket pair", &qvtest::MakeSocketPair, &unix_write},
                        {"socket pair, unix_send", &qvtest::MakeSocketPair, &unix_send}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    DescriptorPair pair = c.make();
    std::vector<char> sent(300000);
    for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<char>(i * 7);
    std::vector<char> received;
    std::thread reader = DrainInto(pair.read, &received);
    Yielder yielder;
    yielder.stopAt = 1 << 30;
    EXPECT_EQ(c.call(pair.write, sent.data(), static_cast<long>(sent.size()), &Yielder::Call, &yielder, 0, nullptr),
              static_cast<long>(sent.size()));
    EXPECT_EQ(c.call(pair.write, sent.data(), 0, nullptr, nullptr, 0, nullptr), 0);
    shutdown(pair.write, SHUT_WR);
    close(pair.write);
    pair.write = -1;
    reader.join();
    EXPECT_EQ(received, sent);
  }
}

// Many pieces, empty ones among them, on a descriptor set non-blocking so
// that the writes take what fits and stop inside a piece, with and without a
// yield function: every byte goes, in order, exactly once.
TEST(WaitingWrite, PiecesGoWholeAndInOrderWhereverAWriteStops) {
  struct Case {
    const char* what;
    DescriptorPair (*make)();
    QVWriteTarget target;
  };
  const Case cases[] = {{"pipe", &qvtest::MakePipe, QVWriteTarget::kPipe},
                        {"pipe, any descriptor", &qvtest::MakePipe, QVWriteTarget::kAny},
                        {"socket pair", &qvtest::MakeSocketPair, QVWriteTarget::kSocket}};
  std::vector<char> sent(400000);
  for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<char>(i * 11 + i / 251);
  for (const Case& c : cases) {
    for (const bool yields : {false, true}) {
      SCOPED_TRACE(std::string(c.what) + (yields ? ", yielding" : ""));
      DescriptorPair pair = c.make();
      fcntl(pair.write, F_SETFL, fcntl(pair.write, F_GETFL) | O_NONBLOCK);
      // Pieces of 0 to 5000 bytes over the whole payload.
      std::vector<iovec> pieces;
      for (size_t at = 0, k = 0; at < sent.size(); ++k) {
        const size_t length = std::min(sent.size() - at, (k * 2654435761u) % 5001);
        pieces.push_back(iovec{sent.data() + at, length});
        at += length;
      }
      std::vector<char> received;
      std::thread reader = DrainInto(pair.read, &received);
      Yielder yielder;
      yielder.stopAt = 1 << 30;
      QVYieldParams data = FreshYieldData();
      EXPECT_EQ(unix_write_pieces(c.target, pair.write, pieces.data(), static_cast<int>(pieces.size()),
                                  yields ? &Yielder::Call : nullptr, &yielder, 0, &data),
                static_cast<long>(sent.size()));
      shutdown(pair.write, SHUT_WR);
      close(pair.write);
      pair.write = -1;
      reader.join();
      EXPECT_EQ(received, sent);
    }
  }
  // No pieces, or only empty ones: nothing to write, and no call is made.
  DescriptorPair closed = qvtest::MakePipe();
  iovec empty{sent.data(), 0};
  EXPECT_EQ(unix_write_pieces(QVWriteTarget::kPipe, -1, &empty, 1, nullptr, nullptr, 0, nullptr), 0);
  EXPECT_EQ(unix_write_pieces(QVWriteTarget::kPipe, closed.write, nullptr, 0, nullptr, nullptr, 0, nullptr), 0);
  EXPECT_EQ(unix_write_pieces(QVWriteTarget::kPipe, closed.write, nullptr, 1, nullptr, nullptr, 0, nullptr), -1);
}

// Urgent data waiting on the writer's own socket fails the write, room or
// not; once it is taken, the same write goes.
TEST(WaitingWrite, UrgentDataWaitingFailsTheWrite) {
  for (const WriteCall& write : kSocketWrites) {
    SCOPED_TRACE(write.name);
    DescriptorPair tcp = qvtest::MakeTcpPair();
    const char mark = 'U';
    ASSERT_EQ(send(tcp.read, &mark, 1, MSG_OOB), 1);
    pollfd urgent{tcp.write, POLLPRI, 0};
    ASSERT_EQ(poll(&urgent, 1, 5000), 1) << "the urgent byte arrived";
    for (qv_yield_function yielder : {static_cast<qv_yield_function>(nullptr), &Yielder::Call}) {
      SCOPED_TRACE(yielder == nullptr ? "no yield function" : "a yield function");
      Yielder counting;
      counting.stopAt = 1 << 30;
      EXPECT_EQ(write.call(tcp.write, "data", 4, yielder, &counting, 0, nullptr), -1);
      EXPECT_EQ(counting.calls, 0);
    }
    char taken = 0;
    ASSERT_EQ(recv(tcp.write, &taken, 1, MSG_OOB), 1);
    EXPECT_EQ(taken, 'U');
    EXPECT_EQ(write.call(tcp.write, "data", 4, nullptr, nullptr, 0, nullptr), 4);
    char got[4] = {};
    pollfd readable{tcp.read, POLLIN, 0};
    ASSERT_EQ(poll(&readable, 1, 5000), 1);
    ASSERT_EQ(read(tcp.read, got, sizeof got), 4) << "nothing of the failed writes went";
    EXPECT_EQ(std::string(got, 4), "data");
  }
}

// A send to a socket whose peer has gone fails without raising SIGPIPE (held
// blocked here, so a raised one would stay pending); a plain write raises it.
TEST(WaitingWrite, SendToAGonePeerFailsWithoutSigpipe) {
  struct Case {
    const char* what;
    WaitingWriteCall call;
    bool raises;
  };
  const Case cases[] = {{"unix_send", &unix_send, false}, {"unix_write", &unix_write, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    DescriptorPair pair = qvtest::MakeSocketPair();
    close(pair.read);
    pair.read = -1;
    const HeldWrite written = WriteWithSigpipeHeld(c.call, pair.write);
    EXPECT_EQ(written.answer, -1);
    EXPECT_EQ(written.raised, c.raises);
  }
}

TEST(ReadinessWait, AnswersOneZeroOrMinusOne) {
  DescriptorPair ready = qvtest::MakePipe();
  WriteAll(ready.write, reinterpret_cast<const unsigned char*>("z"), 1);
  DescriptorPair empty = qvtest::MakePipe();
  DescriptorPair full = qvtest::MakePipe();
  FillPipe(full.write);
  DescriptorPair gone = qvtest::MakePipe();
  const int closed = gone.read;
  close(gone.read);
  gone.read = -1;
  struct Case {
    const char* what;
    int r, w, e;
    int expected;
  };
  const Case cases[] = {
      {"all negative", -1, -1, -1, -1},
      {"readable", ready.read, -1, -1, 1},
      {"writable", -1, ready.write, -1, 1},
      {"nothing within the time-out", empty.read, full.write, empty.read, 0},
      {"one ready among idle ones", empty.read, ready.write, empty.read, 1},
      {"a closed descriptor", closed, -1, -1, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(unix_select(c.r, c.w, c.e, 1000), c.expected);
  }
}

TEST(ReadinessWait, SeesDescriptorsAboveTheSelectCeiling) {
  if (!qvtest::AllowDescriptorsUpTo(1200)) GTEST_SKIP() << "the open-file limit stays below 1200";
  DescriptorPair pair = qvtest::MakePipe();
  ASSERT_TRUE(pair.moveReadTo(1100));
  EXPECT_EQ(unix_select(pair.read, -1, -1, 0), 0);
  EXPECT_EQ(qvsock__select(pair.read, -1, -1, 0), 0);
  WriteAll(pair.write, reinterpret_cast<const unsigned char*>("z"), 1);
  EXPECT_EQ(unix_select(pair.read, -1, -1, 0), 1);
  EXPECT_EQ(qvsock__select(pair.read, pair.write, -1, 0), 2) << "counted as select counts";
}

void FirstHandler(int) {}
void SecondHandler(int) {}

TEST(MessageSignals, WatchingAndArming) {
  EXPECT_EQ(watchsignal(SIGUSR1, &FirstHandler), SIG_DFL);
  EXPECT_EQ(watchsignal(SIGUSR1, &SecondHandler), &FirstHandler);
  EXPECT_EQ(watchsignal(SIGUSR1, SIG_DFL), &SecondHandler);
  EXPECT_EQ(watchsignal(SIGKILL, &FirstHandler), WatchSignalRefused());

  DescriptorPair pair = qvtest::MakePipe();
  EXPECT_EQ(unix_arrange_to_get_msgs(-1, -1), 0);
  EXPECT_EQ(unix_arrange_to_get_msgs(-1, pair.read), 1) << "B when A is negative";
  EXPECT_TRUE(Quorvane::platform::SignalDrivenInputQ(pair.read));
  EXPECT_FALSE(Quorvane::platform::SignalDrivenInputQ(pair.write));
  EXPECT_EQ(unix_arrange_to_stop_msgs(pair.read), 1);
  EXPECT_FALSE(Quorvane::platform::SignalDrivenInputQ(pair.read));
  EXPECT_EQ(unix_arrange_to_get_msgs(pair.write, pair.read), 1) << "A first";
  EXPECT_TRUE(Quorvane::platform::SignalDrivenInputQ(pair.write));
  EXPECT_FALSE(Quorvane::platform::SignalDrivenInputQ(pair.read));
  EXPECT_EQ(unix_arrange_to_stop_msgs(-1), 0);
}

TEST(SocketCalls, ByteOrderAndOptions) {
  EXPECT_EQ(qvsock__htons(0x0102), htons(0x0102));
  EXPECT_EQ(qvsock__ntohs(htons(0xbeef)), 0xbeef);
  EXPECT_EQ(qvsock__htonl(0x1ffffffffUL), static_cast<unsigned long>(htonl(0xffffffffu)));
  EXPECT_EQ(qvsock__ntohl(htonl(0x01020304u)), 0x01020304UL);
  const int fd = qvsock__socket();
  ASSERT_GE(fd, 0);
  EXPECT_EQ(qvsock___reuseaddr(fd), 0);
  EXPECT_EQ(qvsock___keepalive(fd), 0);
  EXPECT_NE(qvsock___closeonexec(fd), -1);
  EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
  EXPECT_EQ(qvsock__closesocket(fd), 0);
  EXPECT_EQ(qvsock___reuseaddr(fd), EBADF);
  qvsock__setlasterror(EPIPE);
  EXPECT_EQ(qvsock__getlasterror(), EPIPE);
}

}  // namespace
