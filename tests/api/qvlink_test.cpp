// Links: making, numbering, names, duplicates and destruction, establishment
// on loopback and over a scripted device, the error state, yield records and
// messages. A counting allocator under the environment shows every block
// goes back, whichever holder is the last.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "api/qvenvironment.h"
#include "api/qvlink.h"
#include "api/qvlinkglobals.h"
#include "api/qvqueries.h"
#include "api/qvstream.h"
#include "api/qvyield.h"
#include "quorvane.h"
#include "tests/api/qvenvironmenttest.h"
#include "tests/support/qvscripteddevice.h"

namespace {

using Counting = qvtest::CountingAllocator;
using qvtest::EnvironmentHandle;

RVEnvironment* Begin(bool threadSafe = false) {
  RVEnvironmentParameters* parameters = RVNewParameters(46, 25);
  if (parameters == nullptr) return nullptr;
  RVSetDeviceParameter(parameters, "");
  RVSetAllocParameter(parameters, Counting::Allocate, Counting::Deallocate);
  if (threadSafe) RVSetThreadSafeLinksParameter(parameters);
  RVEnvironment* environment = RVBegin(parameters);
  RVReleaseParameters(parameters);
  return environment;
}

void Destroy(QVLink* link) {
  long first = -1;
  long second = -1;
  QVDestroy(link, &first, &second);
  EXPECT_EQ(first, 0);
  EXPECT_EQ(second, 0);
}

class LinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    environment_.reset(Begin());
    ASSERT_NE(environment_, nullptr);
  }
  void TearDown() override { Counting::failAfter = -1; }

  QVLink_globals* globals() { return environment_->globals; }

  // Lets 0, 1, 2... allocations succeed until attempt makes a second link
  // (numbered 2). Each failure must leave the balance and the link map as
  // they were, and pass failed() its code.
  template <typename Attempt, typename Failed>
  void FailEachAllocationInTurn(Attempt attempt, Failed failed) {
    bool made = false;
    for (long allowed = 0; allowed < 200 && !made; ++allowed) {
      SCOPED_TRACE(allowed);
      const long before = Counting::outstanding;
      Counting::failAfter = allowed;
      long code = 0;
      QVLink* link = attempt(&code);
      Counting::failAfter = -1;
      made = link != nullptr;
      if (made) {
        EXPECT_EQ(RVNumber(link), 2);
        Destroy(link);
        continue;
      }
      failed(code);
      EXPECT_EQ(Counting::outstanding, before);
      EXPECT_EQ(globals()->links.size(), 1u);
    }
    EXPECT_TRUE(made);
  }

  // Made, marked loopback and established from this side's own features, as
  // the loopback opener leaves a link.
  QVLink* Loopback() {
    long code = -1;
    QVLink* link = QVInternalMake(globals(), {}, &code);
    EXPECT_EQ(code, 0);
    if (link == nullptr) return nullptr;
    QVMakeLoopback(link);
    feature_set features = OwnFeatures();
    EXPECT_EQ(RVEstablish(link, &features), 1);
    return link;
  }

  feature_set OwnFeatures() {
    feature_set features = environment_->ownFeatures;
    std::strcpy(features.numerics_id, "UniqueID");
    return features;
  }

  EnvironmentHandle environment_;
};

TEST_F(LinkTest, MadeLinkWaitsForItsConnection) {
  long code = -1;
  QVLink* link = QVInternalMake(globals(), {}, &code);
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(RVError(link), 10);
  EXPECT_EQ(RVValid(link), 1);
  EXPECT_EQ(RVNumber(link), 1);
  EXPECT_EQ(RVFromLinkID(environment_.get(), 1), link);
  EXPECT_EQ(link->sixDigitUnicode, 1);
  Destroy(link);
  EXPECT_EQ(RVFromLinkID(environment_.get(), 1), nullptr);
  EXPECT_EQ(RVFromLinkID(nullptr, 1), nullptr);
  EXPECT_EQ(QVInternalMake(nullptr, {}, &code), nullptr);
  EXPECT_EQ(code, 32);
}

// Every allocation of a make fails in turn: the make answers null, nothing
// stays allocated, and the number it took is given back.
TEST_F(LinkTest, FailedMakeUndoesEverythingAndGivesItsNumberBack) {
  QVLink* first = Loopback();
  ASSERT_NE(first, nullptr);
  FailEachAllocationInTurn([&](long* code) { return QVInternalMake(globals(), {}, code); },
                           [&](long code) {
                             EXPECT_EQ(code, 8);
                             EXPECT_EQ(globals()->linkCounter, 1);
                           });
  Destroy(first);
}

TEST_F(LinkTest, LoopbackLinkHasTheLoopbackWindowAndSixDigitEscapes) {
  QVLink* link = Loopback();
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(RVError(link), 0);
  EXPECT_EQ(RVIsLinkLoopback(link), 1);
  EXPECT_EQ(link->deviceStack->window_size, 2048);
  EXPECT_EQ(link->deviceStack->room, 2048);
  EXPECT_EQ(link->deviceStack->bytes_flushed, 1u);
  ASSERT_NE(link->writeState, nullptr);
  EXPECT_EQ(link->writeState->six_digit_escapes, 1);
  // Established: a second establishment changes nothing.
  unsigned char* window = link->deviceStack->window_start;
  EXPECT_EQ(RVEstablish(link, nullptr), 1);
  EXPECT_EQ(link->deviceStack->window_start, window);
  EXPECT_EQ(RVIsLinkLoopback(nullptr), 0);
  Destroy(link);
}

TEST_F(LinkTest, UnknownPeerNumericsFailTheLinkAndGiveTheWindowBack) {
  long code = 0;
  QVLink* link = QVInternalMake(globals(), {}, &code);
  ASSERT_NE(link, nullptr);
  QVMakeLoopback(link);
  feature_set features = OwnFeatures();
  std::strcpy(features.numerics_id, "NoSuchNumerics");
  EXPECT_EQ(RVEstablish(link, &features), 0);
  EXPECT_EQ(RVError(link), 1);
  EXPECT_EQ(link->deviceStack->window_start, nullptr);
  EXPECT_EQ(RVEstablish(link, &features), 0);  // error 1 stays
  Destroy(link);
}

TEST_F(LinkTest, LoopbackNumbersCountUpPerEnvironment) {
  QVLink* a = Loopback();
  QVLink* b = Loopback();
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->deviceStack->loopback_number, a->deviceStack->loopback_number + 1);
  Destroy(a);
  Destroy(b);
}

TEST_F(LinkTest, DuplicateSharesPlumbingAndTheLastHolderFreesIt) {
  const long baseline = Counting::outstanding;
  QVLink* link = Loopback();
  ASSERT_NE(link, nullptr);
  long code = -1;
  QVLink* duplicate = RVDuplicateLink(link, "twin", &code);
  ASSERT_NE(duplicate, nullptr);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(duplicate->deviceStack, link->deviceStack);
  EXPECT_EQ(duplicate->writeState, link->writeState);
  EXPECT_EQ(link->deviceStack->references, 2u);
  EXPECT_EQ(ws__refcnt(link->writeState), 2u);
  EXPECT_EQ(RVNumber(duplicate), 2);
  EXPECT_STREQ(RVName(duplicate), "twin");
  EXPECT_EQ(RVError(duplicate), 0);

  Destroy(duplicate);
  EXPECT_EQ(link->deviceStack->references, 1u);
  EXPECT_EQ(ws__refcnt(link->writeState), 1u);
  EXPECT_EQ(RVPutMessage(link, 2), 1);  // the source still works
  EXPECT_EQ(RVFlush(link), 1);

  duplicate = RVDuplicateLink(link, nullptr, &code);
  ASSERT_NE(duplicate, nullptr);
  EXPECT_EQ(RVNumber(duplicate), 3);
  Destroy(link);  // the duplicate is now the last holder
  EXPECT_EQ(duplicate->deviceStack->references, 1u);
  EXPECT_EQ(RVFlush(duplicate), 1);
  Destroy(duplicate);
  EXPECT_EQ(Counting::outstanding, baseline);
}

TEST_F(LinkTest, DuplicateRefusesALinkWithAnError) {
  long code = 0;
  EXPECT_EQ(RVDuplicateLink(nullptr, "x", &code), nullptr);
  EXPECT_EQ(code, 999);
  QVLink* made = QVInternalMake(globals(), {}, &code);
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(RVDuplicateLink(made, "x", &code), nullptr);
  EXPECT_EQ(code, 10);
  QVLink* link = Loopback();
  ASSERT_NE(link, nullptr);
  RVSetError(link, 3);
  EXPECT_EQ(RVDuplicateLink(link, "x", &code), nullptr);
  EXPECT_EQ(code, 3);
  EXPECT_EQ(globals()->links.size(), 2u);
  Destroy(made);
  Destroy(link);
}

// Every allocation of a duplicate fails in turn: null, nothing kept, the
// source untouched.
TEST_F(LinkTest, FailedDuplicateUndoesEverything) {
  QVLink* link = Loopback();
  ASSERT_NE(link, nullptr);
  FailEachAllocationInTurn([&](long* code) { return RVDuplicateLink(link, "twin", code); },
                           [&](long code) {
                             EXPECT_NE(code, 0);
                             EXPECT_EQ(link->deviceStack->references, 1u);
                             EXPECT_EQ(ws__refcnt(link->writeState), 1u);
                           });
  Destroy(link);
}

TEST_F(LinkTest, DestroyCallsTheUserFunctionOnce) {
  static int calls;
  static QVLink* seen;
  calls = 0;
  QVLink* link = Loopback();
  ASSERT_NE(link, nullptr);
  int data = 7;
  RVSetUserData(link, &data, [](QVLink* l) {
    ++calls;
    seen = l;
  });
  qvlink_user_function function = nullptr;
  EXPECT_EQ(RVUserData(link, &function), &data);
  EXPECT_NE(function, nullptr);
  RVSetUserBlock(link, &calls);
  EXPECT_EQ(RVUserBlock(link), &calls);
  EXPECT_EQ(RVUserData(link, &function), &data);  // the block leaves the record alone
  Destroy(link);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(seen, link);
  Destroy(nullptr);
}

TEST_F(LinkTest, NamesInEveryEncoding) {
  QVLink* link = Loopback();
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(RVName(link), nullptr);
  const char* name = RVSetName(link, "abc");
  ASSERT_NE(name, nullptr);
  EXPECT_STREQ(RVLinkName(link), "abc");
  int length = -1;
  EXPECT_EQ(reinterpret_cast<const char*>(RVUTF8LinkName(link, &length)), name);
  EXPECT_EQ(length, 3);
  const unsigned short* utf16 = RVUTF16LinkName(link, &length);
  ASSERT_NE(utf16, nullptr);
  EXPECT_EQ(length, 3);
  EXPECT_EQ((std::u16string(reinterpret_cast<const char16_t*>(utf16), 3)), u"abc");
  RVReleaseUTF16LinkName(link, utf16);
  const unsigned int* utf32 = RVUTF32LinkName(link, &length);
  ASSERT_NE(utf32, nullptr);
  EXPECT_EQ(length, 3);
  EXPECT_EQ((std::u32string(reinterpret_cast<const char32_t*>(utf32), 3)), U"abc");
  RVReleaseUTF32LinkName(link, utf32);
  const unsigned short* ucs2 = RVUCS2LinkName(link, &length);
  EXPECT_EQ(length, 3);
  RVReleaseUCS2LinkName(link, ucs2);

  RVSetName(link, "caf\xc3\xa9");
  EXPECT_EQ(RVUTF16LinkName(link, &length), nullptr);
  EXPECT_EQ(length, 0);
  EXPECT_EQ(RVSetName(link, nullptr), nullptr);
  EXPECT_EQ(RVName(link), nullptr);
  EXPECT_EQ(RVUTF32LinkName(link, &length), nullptr);
  EXPECT_EQ(RVSetName(nullptr, "x"), nullptr);
  Destroy(link);
}

TEST_F(LinkTest, PeerEnvironmentIdIsKeptToWhatABufferOf256Holds) {
  QVLink* link = Loopback();
  ASSERT_NE(link, nullptr);
  char buffer[kEnvironmentIdBuffer + 1];
  std::memset(buffer, 'z', sizeof buffer);
  EXPECT_EQ(QVGetLinkedEnvIDString0(link, buffer), -1);  // empty
  const char* copy = nullptr;
  EXPECT_EQ(RVGetLinkedEnvIDString(link, &copy), 1);
  EXPECT_EQ(copy, nullptr);

  const std::string longId(1000, 'e');
  QVSetLinkedEnvID(link, longId.c_str(), longId.size());
  EXPECT_EQ(QVGetLinkedEnvIDString0(link, buffer), 0);
  EXPECT_EQ(std::strlen(buffer), kPeerEnvIdLimit);
  EXPECT_EQ(buffer[kEnvironmentIdBuffer], 'z');
  EXPECT_EQ(RVGetLinkedEnvIDString(link, &copy), 1);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(std::string(copy), longId.substr(0, kPeerEnvIdLimit));
  RVReleaseEnvIDString(link, copy);
  EXPECT_EQ(RVGetLinkedEnvIDString(link, nullptr), 0);
  EXPECT_EQ(QVGetLinkedEnvIDString0(nullptr, buffer), -1);
  Destroy(link);
}

TEST_F(LinkTest, LinkLockIsRecursiveAndSharedWithDuplicates) {
  QVLink* link = Loopback();
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(link->lockOn, 0);
  RVEnableLinkLock(link);
  EXPECT_EQ(link->lockOn, 1);
  {
    QVLinkLockGuard outer(link);
    EXPECT_EQ(RVError(link), 0);  // takes the lock again
  }
  QVLink* duplicate = RVDuplicateLink(link, nullptr, nullptr);
  ASSERT_NE(duplicate, nullptr);
  EXPECT_EQ(duplicate->lock.get(), link->lock.get());
  RVDisableLinkLock(link);
  EXPECT_EQ(link->lockOn, 0);
  EXPECT_FALSE(link->lock);
  Destroy(duplicate);
  Destroy(link);
}

// A call holds the lock by its mutex alone: switched off meanwhile, the
// mutex stays alive until that call lets it go (a sanitizer build reports a
// use after free otherwise), and a lock switched on again is a new one.
TEST_F(LinkTest, LockSwitchedOffWhileHeldIsStillReleasedByItsHolder) {
  QVLink* link = Loopback();
  ASSERT_NE(link, nullptr);
  RVEnableLinkLock(link);
  Quorvane::QVMutexHandle* first = link->lock.get();
  {
    QVLinkLockGuard held(link);
    RVDisableLinkLock(link);
    EXPECT_EQ(link->lockOn, 0);
    EXPECT_FALSE(link->lock);
    EXPECT_TRUE(first->LockedQ());
  }
  EXPECT_FALSE(first->LockedQ());
  RVEnableLinkLock(link);
  ASSERT_TRUE(link->lock);
  EXPECT_EQ(RVPutInteger32(link, 5), 1);
  EXPECT_EQ(RVFlush(link), 1);
  int value = 0;
  EXPECT_EQ(RVGetInteger32(link, &value), 1);
  EXPECT_EQ(value, 5);
  Destroy(link);
}

TEST(LinkThreadSafeTest, EveryLinkOfAThreadSafeEnvironmentHasALock) {
  EnvironmentHandle environment(Begin(true));
  ASSERT_NE(environment, nullptr);
  QVLink* link = QVInternalMake(environment->globals, {}, nullptr);
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(link->lockOn, 1);
  QVMakeLoopback(link);
  feature_set features = environment->ownFeatures;
  std::strcpy(features.numerics_id, "UniqueID");
  ASSERT_EQ(RVEstablish(link, &features), 1);
  RVDisableLinkLock(link);
  QVLink* duplicate = RVDuplicateLink(link, nullptr, nullptr);
  ASSERT_NE(duplicate, nullptr);
  EXPECT_EQ(duplicate->lockOn, 1);
  EXPECT_TRUE(duplicate->lock);
  Destroy(duplicate);
  Destroy(link);
}

TEST(LinkEndTest, EndingTheEnvironmentClosesItsLinks) {
  RVEnd(Begin());  // what the first environment leaves for the process
  const long baseline = Counting::outstanding;
  RVEnvironment* environment = Begin();
  ASSERT_NE(environment, nullptr);
  for (int i = 0; i < 3; ++i) {
    QVLink* link = QVInternalMake(environment->globals, {}, nullptr);
    ASSERT_NE(link, nullptr);
    if (i == 1) {
      QVMakeLoopback(link);
      feature_set features = environment->ownFeatures;
      std::strcpy(features.numerics_id, "UniqueID");
      ASSERT_EQ(RVEstablish(link, &features), 1);
      RVDuplicateLink(link, "twin", nullptr);
    }
  }
  RVEnd(environment);
  EXPECT_EQ(Counting::outstanding, baseline);
}

// Two links over devices joined back to back run the whole handshake with
// each other; each learns the other's environment id.
TEST_F(LinkTest, TwoLinksHandshakeOverJoinedDevices) {
  auto [left, right] = qvtest::ScriptedDevice::MakePair();
  EnvironmentHandle other(Begin());
  ASSERT_NE(other, nullptr);
  ASSERT_EQ(RVSetEnvIDString(environment_.get(), "left side"), 1);
  ASSERT_EQ(RVSetEnvIDString(other.get(), "right side"), 1);
  QVLink* a = QVInternalMake(globals(), left->TakeInstance(), nullptr);
  QVLink* b = QVInternalMake(other->globals, right->TakeInstance(), nullptr);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  int answerB = -1;
  std::thread side([&] { answerB = RVConnect(b); });
  EXPECT_EQ(RVConnect(a), 1);
  side.join();
  EXPECT_EQ(answerB, 1);
  EXPECT_EQ(RVError(a), 0);
  EXPECT_EQ(RVError(b), 0);
  EXPECT_EQ(std::string(a->peerEnvironmentId.c_str()), "right side");
  EXPECT_EQ(std::string(b->peerEnvironmentId.c_str()), "left side");
  EXPECT_EQ(a->writeState->features.features, uint64_t{QVFEATURE_ALL});
  EXPECT_EQ(a->writeState->six_digit_escapes, 1);
  EXPECT_EQ(a->deviceStack->bytes_flushed, 1u);
  char text[256];
  EXPECT_EQ(RVFeatureString(a, text, sizeof text), 0);
  EXPECT_EQ(RVFeatureString(nullptr, text, sizeof text), -1);
  Destroy(a);
  Destroy(b);
}

TEST_F(LinkTest, APeerThatVanishesFailsTheLinkWithoutHanging) {
  for (const std::string& sent : {std::string(), std::string("Quor vane"), std::string("Quor vane 6\n")}) {
    SCOPED_TRACE(sent);
    qvtest::ScriptedDevice device;
    QVLink* link = QVInternalMake(globals(), device.TakeInstance(), nullptr);
    ASSERT_NE(link, nullptr);
    device.WriteBytes(sent);
    device.ClosePeer();
    EXPECT_EQ(RVConnect(link), 0);
    EXPECT_EQ(RVError(link), 1);
    EXPECT_EQ(link->writeState, nullptr);
    EXPECT_EQ(RVClearError(link), 0);  // 1 is never cleared
    Destroy(link);
  }
}

TEST_F(LinkTest, EstablishStringTakesAnotherLinksFeatureText) {
  QVLink* loopback = Loopback();
  ASSERT_NE(loopback, nullptr);
  char text[256];
  ASSERT_EQ(RVFeatureString(loopback, text, sizeof text), 0);
  qvtest::ScriptedDevice device;
  QVLink* link = QVInternalMake(globals(), device.TakeInstance(), nullptr);
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(RVFeatureString(link, text, sizeof text), -1);  // not established: no features yet
  ASSERT_EQ(RVEstablishString(link, text), 1) << text;
  EXPECT_EQ(RVError(link), 0);
  EXPECT_EQ(link->writeState->features.features, loopback->writeState->features.features);
  EXPECT_EQ(link->writeState->string_optimization, 0);
  EXPECT_EQ(std::memcmp(link->writeState->features.binary_types, loopback->writeState->features.binary_types,
                        sizeof link->writeState->features.binary_types),
            0);
  EXPECT_EQ(device.CapturedCount(), 0u);  // no exchange ran
  Destroy(link);
  Destroy(loopback);
}

// --- error state

TEST_F(LinkTest, ErrorCodesStayAndClearAsTheirRolesSay) {
  EXPECT_EQ(RVError(nullptr), 1);
  EXPECT_EQ(RVSetError(nullptr, 3), 0);
  EXPECT_EQ(RVClearError(nullptr), 0);
  QVLink* link = Loopback();
  ASSERT_NE(link, nullptr);
  struct Case {
    uint32_t code;
    int clear;         // RVClearError's answer
    uint32_t after;    // the code after clearing
    int readGoesOn;    // read_auto_correct
    int writeGoesOn;   // write_auto_correct
  };
  const Case cases[] = {
      {0, 1, 0, 1, 0},  {1, 0, 1, 0, 0},  {9, 0, 9, 0, 0},
      {11, 1, 0, 1, 0}, {3, 1, 0, 0, 0},  {999, 1, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    link->error = c.code;
    EXPECT_EQ(read_auto_correct(link), c.readGoesOn);
    EXPECT_EQ(write_auto_correct(link), c.writeGoesOn);
    EXPECT_EQ(RVSetError(link, 42), c.code == 0 ? 1 : 0);
    EXPECT_EQ(RVError(link), c.code == 0 ? 42u : c.code);
    link->error = c.code;
    EXPECT_EQ(RVClearError(link), c.clear);
    EXPECT_EQ(RVError(link), c.after);
  }
  link->error = 0;
  Destroy(link);
}

TEST_F(LinkTest, FlushWithAPendingCodeWritesNothing) {
  QVLink* link = Loopback();
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(RVFlush(nullptr), 0);
  link->error = 3;
  EXPECT_EQ(RVFlush(link), 0);
  EXPECT_EQ(RVError(link), 3);
  link->error = 0;
  EXPECT_EQ(RVFlush(link), 1);
  Destroy(link);
}

// --- over a scripted device

class ScriptedLinkTest : public LinkTest {
 protected:
  QVLink* Make() {
    long code = -1;
    QVLink* link = QVInternalMake(globals(), device_.TakeInstance(), &code);
    EXPECT_EQ(code, 0);
    return link;
  }
  qvtest::ScriptedDevice device_;
};

TEST_F(ScriptedLinkTest, ConnectFailingWith41KeepsTheLinkWaiting) {
  QVLink* link = Make();
  ASSERT_NE(link, nullptr);
  feature_set features = OwnFeatures();
  device_.FailNext(qvtest::ScriptedOp::Connect, 41);
  EXPECT_EQ(RVEstablish(link, &features), 0);
  EXPECT_EQ(RVError(link), 10);
  EXPECT_FALSE(device_.Connected());
  EXPECT_EQ(RVEstablish(link, &features), 1);  // the next call connects again
  EXPECT_TRUE(device_.Connected());
  EXPECT_EQ(RVError(link), 0);
  EXPECT_EQ(link->deviceStack->bytes_flushed, 1u);
  Destroy(link);
  EXPECT_EQ(device_.CloseCount(), 1);
}

TEST_F(ScriptedLinkTest, ConnectFailingOtherwiseEndsTheLink) {
  struct Case {
    long code;
    uint32_t after;
  };
  for (const Case c : {Case{25, 10}, Case{41, 10}, Case{7, 1}}) {
    SCOPED_TRACE(c.code);
    qvtest::ScriptedDevice device;
    QVLink* link = QVInternalMake(globals(), device.TakeInstance(), nullptr);
    ASSERT_NE(link, nullptr);
    device.FailNext(qvtest::ScriptedOp::Connect, c.code);
    EXPECT_EQ(RVConnect(link), 0);
    EXPECT_EQ(RVError(link), c.after);
    Destroy(link);
  }
}

TEST_F(ScriptedLinkTest, ClearErrorOfAWaitingLinkConnects) {
  QVLink* link = Make();
  ASSERT_NE(link, nullptr);
  device_.FailNext(qvtest::ScriptedOp::Connect, 41);
  EXPECT_EQ(RVClearError(link), 0);
  EXPECT_EQ(RVError(link), 10);
  EXPECT_TRUE(device_.Connected() == false);
  Destroy(link);
}

TEST_F(ScriptedLinkTest, MessagesGoThroughTheDevice) {
  QVLink* link = Make();
  ASSERT_NE(link, nullptr);
  feature_set features = OwnFeatures();
  ASSERT_EQ(RVEstablish(link, &features), 1);
  EXPECT_EQ(RVPutMessageWithArg(link, 3, 44), 1);
  EXPECT_EQ(RVPutMessage(link, 1), 1);
  EXPECT_EQ(RVPutMessageWithArg(link, 2, -1), 0);
  EXPECT_EQ(RVPutMessage(link, -4), 0);
  EXPECT_EQ(device_.CapturedMessages(), (std::vector<std::pair<long, long>>{{3, 44}, {1, 0}}));

  int code = -7;
  int argument = -7;
  EXPECT_EQ(RVMessageReady(link), 0);
  EXPECT_EQ(RVGetMessage(link, &code, &argument), 0);  // 18: none waits
  EXPECT_EQ(code, -7);
  device_.SendMessage(2, 9);
  EXPECT_EQ(RVMessageReady(link), 1);
  EXPECT_EQ(RVGetMessage(link, &code, &argument), 1);
  EXPECT_EQ(code, 2);
  EXPECT_EQ(argument, 9);

  static std::atomic<int> handled{0};
  auto handler = [](void*, int c, int) { handled = c; };
  EXPECT_EQ(RVSetMessageHandler(link, handler), 1);
  EXPECT_EQ(RVMessageHandler(link), handler);
  device_.SendMessage(6, 0);
  EXPECT_EQ(handled.load(), 6);

  auto yielder = [](void*, QVYieldParams*) { return 0; };
  EXPECT_EQ(RVSetYieldFunction(link, yielder), 1);
  EXPECT_EQ(RVYieldFunction(link), yielder);
  Destroy(link);
}

// --- yield records and loopback messages

TEST(YieldRecordTest, Pins) {
  QVYieldParams record{};
  QVNewYieldData(&record);
  EXPECT_EQ(record.made, 1);
  EXPECT_EQ(QVSetSleepYP(&record, 1000), 1000);
  EXPECT_EQ(RVSleepYP(&record), 600);
  EXPECT_EQ(QVSetSleepYP(&record, -1), -1);  // compared unsigned
  EXPECT_EQ(RVSleepYP(&record), 600);
  int64_t value = 5;
  long size = 4;
  EXPECT_EQ(QVSetYieldParameter(&record, 1, &value, &size), 0);
  EXPECT_EQ(size, 8);
  EXPECT_EQ(QVSetYieldParameter(&record, 1, &value, &size), 1);
  EXPECT_EQ(RVSleepYP(&record), 5);
  EXPECT_EQ(QVSetYieldParameter(&record, 3, &value, &size), 0);
  QVResetYieldData(&record, 77);
  EXPECT_EQ(RVSleepYP(&record), 0);
  size = 8;
  EXPECT_EQ(QVYieldParameter(&record, 3, &value, &size), 1);
  EXPECT_EQ(value, 77);
  size = 2;
  EXPECT_EQ(QVYieldParameter(&record, 2, &value, &size), 0);
  EXPECT_EQ(size, 8);
  size = 2;
  EXPECT_EQ(QVYieldParameter(&record, 9, &value, &size), 0);
  EXPECT_EQ(size, 2);

  static long countSeen;
  auto function = [](void*, QVYieldParams* r) {
    countSeen = RVCountYP(r);
    return 0x10001;
  };
  EXPECT_EQ(RVCallYieldFunction(function, nullptr, &record), 1);
  EXPECT_EQ(countSeen, 1);  // counted before the call
  EXPECT_EQ(RVCountYP(nullptr), 0);
  EXPECT_EQ(QVSetCountYP(nullptr, 4), 4);
}

TEST_F(LinkTest, LoopbackKeepsOnePendingMessage) {
  QVLink* link = Loopback();
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(RVSetYieldFunction(link, [](void*, QVYieldParams*) { return 0; }), 0);
  EXPECT_EQ(RVYieldFunction(link), nullptr);
  EXPECT_EQ(RVSetMessageHandler(link, [](void*, int, int) {}), 0);
  EXPECT_EQ(RVMessageReady(link), 0);
  EXPECT_EQ(RVPutMessage(link, 2), 1);
  EXPECT_EQ(RVMessageReady(link), 1);
  int code = -1;
  int argument = -1;
  EXPECT_EQ(RVGetMessage(link, &code, &argument), 1);
  EXPECT_EQ(code, 2);
  EXPECT_EQ(argument, 0);
  EXPECT_EQ(RVGetMessage(link, &code, &argument), 0);

  // Code 5 carries the output position; a newer message replaces an older one.
  const char bytes[] = "0123456789";
  long error = 0;
  ASSERT_EQ(qvs__putn(link->deviceStack, link->queueStack.base, bytes, 10, &error), 10);
  EXPECT_EQ(RVPutMessageWithArg(link, 7, 3), 1);
  EXPECT_EQ(RVPutMessageWithArg(link, 5, 123), 1);
  EXPECT_EQ(RVGetMessage(link, &code, &argument), 1);
  EXPECT_EQ(code, 5);
  EXPECT_EQ(argument, static_cast<int>(qvs__size(link->deviceStack)));
  EXPECT_GT(argument, 1);
  EXPECT_EQ(RVPutMessageWithArg(link, 2, -5), 0);
  EXPECT_EQ(RVMessageReady(link), 0);
  EXPECT_EQ(RVPutMessage(nullptr, 2), 0);
  Destroy(link);
}

TEST(DefaultYieldTest, StoredPerEnvironment) {
  EnvironmentHandle environment(Begin());
  ASSERT_NE(environment, nullptr);
  auto yielder = [](void*, QVYieldParams*) { return 0; };
  EXPECT_EQ(RVDefaultYieldFunction(environment.get()), nullptr);
  EXPECT_EQ(RVSetDefaultYieldFunction(environment.get(), yielder), 1);
  EXPECT_EQ(RVDefaultYieldFunction(environment.get()), yielder);
  EXPECT_EQ(RVSetDefaultYieldFunction(nullptr, yielder), 1);
  EXPECT_EQ(RVDefaultYieldFunction(nullptr), nullptr);
}

}  // namespace
