// The program served over a real link: its link and the host's are joined back
// to back by a pair of scripted devices. The program runs on a thread of its
// own from the link it would open to its exit status; the test plays the host
// with the public calls: it reads the definition, sends calls good and bad,
// resume and evaluate packets and out-of-band messages, and checks what comes
// back against a second implementation of the simulation.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include <sys/wait.h>

#include "api/qvqueries.h"
#include "application/qvapplication.h"
#include "quorvane.h"
#include "tests/api/qvtypedtest.h"
#include "tests/application/qvalgorithm3sample.h"
#include "tests/support/qvtest.h"

namespace {

using namespace Quorvane;
using qvtest::ScriptedDevice;
using namespace std::chrono_literals;

constexpr int kEvaluatePacket = 13;

using Call = qvtest::Algorithm3Call;
using qvtest::PutAlgorithm3Call;
using qvtest::PutAlgorithm3Series;

// What the Python implementation in algorithm3_oracle.py computed on the
// sample (Simulation(...).run(time)): every rule of both phases is taken on it.
struct OracleValue {
  int time;
  double value;
};
constexpr OracleValue kOracle[] = {{1, 0x1.100d2ccccccd1p+16}, {3, 0x1.e17de5e353f90p+15}, {5, 0x1.1de2ccac0831ep+16}};

bool SameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The reply to a call: a bare real or symbol, then the end of its packet.
struct Answer {
  int type = 0;  // 42 real, 35 symbol
  double real = 0;
  std::string symbol;
};

Answer ReadAnswer(QVLink* host) {
  Answer answer;
  answer.type = RVGetType(host);
  if (answer.type == 42) {
    EXPECT_EQ(RVGetRawType(host), 246) << "the answer is a 64-bit real";
    EXPECT_EQ(RVGetReal64(host, &answer.real), 1) << RVError(host);
  } else if (answer.type == 35) {
    const char* name = nullptr;
    EXPECT_EQ(RVGetSymbol(host, &name), 1) << RVError(host);
    if (name != nullptr) answer.symbol = name;
    RVReleaseSymbol(host, name);
  }
  // The end of the reply's packet is there: nothing is left to skip.
  EXPECT_EQ(RVNewPacket(host), 1) << RVError(host);
  // Nothing more is there: the link waits, or reports that the program has
  // already closed its end.
  const int ready = RVReady(host);
  EXPECT_TRUE(ready == 0 || (ready == 1 && RVError(host) == 11)) << ready << ", error " << RVError(host);
  return answer;
}

class ApplicationTest : public qvtest::TypedLinkTest {
 protected:
  void SetUp() override {
    TypedLinkTest::SetUp();
    RVDone = 0;
    RVAbort = 0;
    stdlink = nullptr;
    stdyielder = nullptr;
    stdhandler = RVDefaultHandler;  // as the main routine sets it
  }

  void TearDown() override {
    if (host_ != nullptr) Destroy(host_);  // a program still serving then ends
    if (program_.joinable()) program_.join();
    programEnvironment_.reset();
  }

  // Starts `run` on the program's link (over one device of a pair, not yet
  // connected) on a thread of its own, and connects the host's link. The
  // program has an environment of its own, as it would in its own process.
  void Launch(const std::function<int(QVLink*)>& run = QVServeLink) {
    programEnvironment_.reset(qvtest::BeginWithoutDevices());
    ASSERT_NE(programEnvironment_, nullptr);
    auto [host, program] = ScriptedDevice::MakePair({.name = "host"}, {.name = "program"});
    hostDevice_ = std::move(host);
    programDevice_ = std::move(program);
    host_ = QVInternalMake(environment_->globals, hostDevice_->TakeInstance(), nullptr);
    programLink_ = QVInternalMake(programEnvironment_->globals, programDevice_->TakeInstance(), nullptr);
    ASSERT_NE(host_, nullptr);
    ASSERT_NE(programLink_, nullptr);
    program_ = std::thread([this, run] {
      status_ = run(programLink_);
      finished_ = true;
    });
    ASSERT_EQ(RVActivate(host_), 1) << RVError(host_);
  }

  // DefineExternal[pattern, arguments, 0] then End, and nothing after them.
  void ReadDefinition() {
    int count = -1;
    ASSERT_EQ(RVTestHead(host_, "DefineExternal", &count), 1) << RVError(host_);
    EXPECT_EQ(count, 3);
    for (const char* expected : {kAlgorithm3Pattern, kAlgorithm3Arguments}) {
      const char* text = nullptr;
      ASSERT_EQ(RVGetString(host_, &text), 1) << RVError(host_);
      EXPECT_STREQ(text, expected);
      RVReleaseString(host_, text);
    }
    int index = -1;
    EXPECT_EQ(RVGetInteger(host_, &index), 1);
    EXPECT_EQ(index, 0);
    EXPECT_EQ(RVTestSymbol(host_, "End"), 1) << RVError(host_);
    EXPECT_EQ(RVReady(host_), 0) << "nothing follows the definition";
  }

  void ExpectGoodCall(int time) {
    Call call;
    call.sample.time = time;
    ASSERT_TRUE(PutAlgorithm3Call(host_, call)) << RVError(host_);
    const Answer answer = ReadAnswer(host_);
    ASSERT_EQ(answer.type, 42) << answer.symbol;
    EXPECT_TRUE(SameBits(answer.real, call.sample.Direct())) << answer.real;
    for (const OracleValue& o : kOracle) {
      if (o.time == time) {
        EXPECT_TRUE(SameBits(answer.real, o.value)) << std::hexfloat << answer.real;
      }
    }
  }

  // The program's exit status once it ended within the deadline.
  int Finished(std::chrono::milliseconds deadline) {
    EXPECT_TRUE(qvtest::WaitUntil([&] { return finished_.load(); }, deadline)) << "still serving";
    if (program_.joinable()) program_.join();
    return status_;
  }

  qvtest::EnvironmentHandle programEnvironment_;
  std::unique_ptr<ScriptedDevice> hostDevice_;
  std::unique_ptr<ScriptedDevice> programDevice_;
  QVLink* host_ = nullptr;
  QVLink* programLink_ = nullptr;
  std::thread program_;
  std::atomic<bool> finished_{false};
  int status_ = -1;
};

TEST_F(ApplicationTest, DefinesTheFunctionAndAnswersWithTheOraclesBits) {
  ASSERT_NO_FATAL_FAILURE(Launch());
  ASSERT_NO_FATAL_FAILURE(ReadDefinition());
  for (const OracleValue& o : kOracle) ExpectGoodCall(o.time);
  Destroy(host_);
  host_ = nullptr;
  EXPECT_EQ(Finished(1s), 1) << "the host closing the link is no terminate message";
}

// On the wire: the definition's tokens and the symbol End, flushed, and no
// end-of-packet byte between or after them.
TEST_F(ApplicationTest, TheDefinitionIsSentWithoutAnEndOfPacket) {
  ScriptedDevice expected;
  QVLink* writer = Scripted(expected);
  ASSERT_NE(writer, nullptr);
  ASSERT_TRUE(RVPutFunction(writer, "DefineExternal", 3) == 1 && RVPutString(writer, kAlgorithm3Pattern) == 1 &&
              RVPutString(writer, kAlgorithm3Arguments) == 1 && RVPutInteger(writer, 0) == 1 &&
              RVPutSymbol(writer, "End") == 1 && RVFlush(writer) == 1);
  ASSERT_TRUE(expected.WaitCaptured(1));
  const std::string tokens = expected.Captured();
  Destroy(writer);

  ScriptedDevice device;
  QVLink* program = Scripted(device);  // already connected: installing only writes
  ASSERT_NE(program, nullptr);
  program_ = std::thread([&] {
    status_ = QVServeLink(program);
    finished_ = true;
  });
  ASSERT_TRUE(device.WaitCaptured(tokens.size()));
  EXPECT_EQ(Hex(device.Captured()), Hex(tokens));
  device.ClosePeer();
  EXPECT_EQ(Finished(1s), 1) << "the host closing the link is no terminate message";
}

TEST_F(ApplicationTest, EachBadCallIsAnsweredFailedAndTheNextGoodCallStillWorks) {
  struct Case {
    const char* name;
    std::function<void(Call&)> spoil;
  } const cases[] = {
      {"index 1", [](Call& c) { c.index = 1; }},
      {"index -1", [](Call& c) { c.index = -1; }},
      {"9 arguments", [](Call& c) { c.listLength = 9; }},
      {"11 arguments", [](Call& c) { c.listLength = 11; }},
      {"a symbol in the third list", [](Call& c) { c.symbolInList = 2; }},
      {"a symbol in the last list", [](Call& c) { c.symbolInList = 4; }},
      {"a short list", [](Call& c) { c.sample.series[3].pop_back(); }},
      {"empty lists", [](Call& c) {
         for (auto& s : c.sample.series) s.clear();
       }},
      {"time 0", [](Call& c) { c.sample.time = 0; }},
      {"time 6", [](Call& c) { c.sample.time = 6; }},
      {"NaN turnover", [](Call& c) { c.sample.series[4][100] = std::numeric_limits<double>::quiet_NaN(); }},
  };
  ASSERT_NO_FATAL_FAILURE(Launch());
  ASSERT_NO_FATAL_FAILURE(ReadDefinition());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Call call;
    c.spoil(call);
    ASSERT_TRUE(PutAlgorithm3Call(host_, call)) << RVError(host_);
    const Answer answer = ReadAnswer(host_);
    EXPECT_EQ(answer.type, 35);
    EXPECT_EQ(answer.symbol, "$Failed");
    ASSERT_NO_FATAL_FAILURE(ExpectGoodCall(1));
  }
}

// A resume packet asks the program to become the host's front end: it refuses
// with a "notfe" message that hands the packet's content back, skips all up to
// and including the next suspend packet (a call among them is not served),
// and serves again.
TEST_F(ApplicationTest, ResumePacketIsRefusedAndServingGoesOn) {
  ASSERT_NO_FATAL_FAILURE(Launch());
  ASSERT_NO_FATAL_FAILURE(ReadDefinition());
  ASSERT_TRUE(RVPutFunction(host_, "ResumePacket", 1) == 1 && RVPutFunction(host_, "LinkObject", 3) == 1 &&
              RVPutString(host_, "parent") == 1 && RVPutInteger(host_, 7) == 1 && RVPutInteger(host_, 8) == 1 &&
              RVEndPacket(host_) == 1 && RVFlush(host_) == 1);

  ASSERT_EQ(RVNextPacket(host_), kEvaluatePacket) << RVError(host_);
  auto head = [&](const char* name, int count) {
    int read = -1;
    EXPECT_EQ(RVTestHead(host_, name, &read), 1) << name << ": " << RVError(host_);
    EXPECT_EQ(read, count) << name;
  };
  auto symbol = [&](const char* name) { EXPECT_EQ(RVTestSymbol(host_, name), 1) << name << ": " << RVError(host_); };
  head("Module", 2);
  head("List", 1);
  head("Set", 2);
  symbol("me");
  symbol("$ParentLink");
  head("CompoundExpression", 3);
  head("Set", 2);
  symbol("$ParentLink");
  head("LinkObject", 3);
  EXPECT_EQ(RVTestString(host_, "parent"), 1);
  for (int expected : {7, 8}) {
    int got = 0;
    EXPECT_EQ(RVGetInteger(host_, &got), 1);
    EXPECT_EQ(got, expected);
  }
  head("Message", 2);
  head("MessageName", 2);
  symbol("$ParentLink");
  EXPECT_EQ(RVTestString(host_, "notfe"), 1);
  symbol("me");
  symbol("me");
  EXPECT_EQ(RVNewPacket(host_), 1);

  Call skipped;
  ASSERT_TRUE(RVPutFunction(host_, "TextPacket", 1) == 1 && RVPutString(host_, "skipped") == 1 &&
              RVEndPacket(host_) == 1);
  ASSERT_TRUE(PutAlgorithm3Call(host_, skipped));
  ASSERT_TRUE(RVPutFunction(host_, "SuspendPacket", 0) == 1 && RVEndPacket(host_) == 1 && RVFlush(host_) == 1);
  // The first answer is the call after the suspend packet's.
  ASSERT_NO_FATAL_FAILURE(ExpectGoodCall(5));
}

TEST_F(ApplicationTest, AnEvaluatePacketEndsTheProgramWithStatus1) {
  ASSERT_NO_FATAL_FAILURE(Launch());
  ASSERT_NO_FATAL_FAILURE(ReadDefinition());
  ASSERT_TRUE(RVPutFunction(host_, "EvaluatePacket", 1) == 1 && RVPutSymbol(host_, "x") == 1 &&
              RVEndPacket(host_) == 1 && RVFlush(host_) == 1);
  EXPECT_EQ(Finished(5s), 1);
  EXPECT_EQ(programDevice_->CloseCount(), 1) << "the link is closed";
}

TEST_F(ApplicationTest, TerminateWhileIdleEndsTheProgramWithStatus0WithinASecond) {
  ASSERT_NO_FATAL_FAILURE(Launch());
  ASSERT_NO_FATAL_FAILURE(ReadDefinition());
  ExpectGoodCall(1);
  // The program waits for the next call now; the message reaches its handler.
  programDevice_->SendMessage(kTerminateMessage, 0);
  EXPECT_EQ(Finished(1s), 0);
}

// The message comes while the call's arguments are being read: the answer
// still comes, then the loop stops before its next wait.
TEST_F(ApplicationTest, TerminateWhileACallComputesStillAnswersItThenEndsWithStatus0) {
  ASSERT_NO_FATAL_FAILURE(Launch());
  ASSERT_NO_FATAL_FAILURE(ReadDefinition());
  Call call;
  ASSERT_TRUE(RVPutFunction(host_, "CallPacket", 2) == 1 && RVPutInteger(host_, 0) == 1 &&
              RVPutFunction(host_, "List", 10) == 1 && PutAlgorithm3Series(host_, call.sample.series[0], false) &&
              RVFlush(host_) == 1);
  ASSERT_TRUE(qvtest::WaitUntil([&] { return stdlink.load() == programLink_; })) << "the call is not being served";
  programDevice_->SendMessage(kTerminateMessage, 0);
  bool ok = true;
  for (int s = 1; s < 5; ++s) ok = ok && PutAlgorithm3Series(host_, call.sample.series[s], false);
  ok = ok && RVPutInteger(host_, call.sample.time) == 1;
  for (double r : call.sample.ratios) ok = ok && RVPutReal64(host_, r) == 1;
  ASSERT_TRUE(ok && RVEndPacket(host_) == 1 && RVFlush(host_) == 1) << RVError(host_);
  const Answer answer = ReadAnswer(host_);
  EXPECT_EQ(answer.type, 42);
  EXPECT_TRUE(SameBits(answer.real, kOracle[1].value)) << std::hexfloat << answer.real;
  EXPECT_EQ(Finished(1s), 0);
}

TEST_F(ApplicationTest, InterruptAndAbortOnlyStopTheNextEvaluation) {
  for (int message : {kInterruptMessage, kAbortMessage, 99}) {
    RVAbort = 0;
    RVDefaultHandler(nullptr, message, 5);
    EXPECT_EQ(RVAbort.load(), message == 99 ? 0 : 1) << message;
    EXPECT_EQ(RVDone.load(), 0) << message;
  }
  RVAbort = 1;
  QVLink* link = Loopback();
  EXPECT_EQ(RVEvaluate(link, "1+1"), 0);
  EXPECT_EQ(RVEvaluateString(link, "1+1"), 0);
  EXPECT_EQ(RVReady(link), 0) << "nothing was sent";
  Destroy(link);
}

// The program asks the host to evaluate text; while it waits for the return
// packet it serves a call the host makes meanwhile.
TEST_F(ApplicationTest, EvaluateStringServesCallsUntilTheReturnPacket) {
  ASSERT_NO_FATAL_FAILURE(Launch([](QVLink* link) {
    const int evaluated = RVConnect(link) == 1 && RVEvaluateString(link, "Print[1]") == 1 ? 1 : 0;
    const int more = RVPutSymbol(link, "Evaluated") == 1 && RVEndPacket(link) == 1 && RVFlush(link) == 1;
    RVClose(link);
    return evaluated == 1 && more ? 0 : 2;
  }));
  ASSERT_EQ(RVNextPacket(host_), kEvaluatePacket) << RVError(host_);
  int count = -1;
  EXPECT_EQ(RVTestHead(host_, "ToExpression", &count), 1);
  EXPECT_EQ(RVTestString(host_, "Print[1]"), 1);
  EXPECT_EQ(RVNewPacket(host_), 1);
  ExpectGoodCall(3);
  ASSERT_TRUE(RVPutFunction(host_, "ReturnPacket", 1) == 1 && RVPutSymbol(host_, "Null") == 1 &&
              RVEndPacket(host_) == 1 && RVFlush(host_) == 1);
  EXPECT_EQ(RVTestSymbol(host_, "Evaluated"), 1) << RVError(host_);
  EXPECT_EQ(Finished(5s), 0);
}

// far_argv holds 128 entries: a longer vector is refused before anything is
// copied or opened; a vector that fits runs the program (here over a
// loopback link, whose own definition then stops the loop).
TEST(ApplicationEntry, MoreThan128ArgumentsAreRefusedBeforeAnyLinkOpens) {
  std::vector<std::string> words(129, "x");
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  EXPECT_EQ(RVMainArgv(argv.data(), argv.data() + argv.size()), 1);
  EXPECT_EQ(far_argv[0], nullptr);
  EXPECT_EQ(stdenv, nullptr);

  std::string mode = "-linkmode";
  std::string loopback = "Loopback";
  char* fits[] = {mode.data(), loopback.data()};
  EXPECT_EQ(RVMainArgv(fits, fits + 2), 1);
  EXPECT_EQ(far_argv[0], fits[0]);
  EXPECT_EQ(far_argv[1], fits[1]);
  EXPECT_EQ(stdenv, nullptr) << "the environment is ended and cleared";
}

// The executable: a link that cannot be opened is one alert on standard error
// (no terminal, so no dialog) and status 1; a link that opens but never
// carries a call ends with status 1 too.
TEST(ApplicationProgram, ExitStatusAndTheAlertOfAFailedOpen) {
  struct Case {
    const char* arguments;
    const char* alert;  // in what the program writes, or null for none
  } const cases[] = {
      {"-linkprotocol Nowhere -linkmode Connect -linkname x", "Unavailable KOVR protocol specified."},
      {"-linkmode Loopback", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments);
    const std::string command = "env -u SSH_CLIENT '" QV_BINARY_DIR "/application/quorvane-algorithm3' " +
                                std::string(c.arguments) + " </dev/null 2>&1";
    FILE* program = popen(command.c_str(), "r");
    ASSERT_NE(program, nullptr);
    std::string output;
    char buffer[256];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, program)) > 0;) output.append(buffer, n);
    const int status = pclose(program);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 1);
    if (c.alert != nullptr) {
      EXPECT_NE(output.find(c.alert), std::string::npos) << output;
    } else {
      EXPECT_EQ(output, "");
    }
  }
}

}  // namespace
