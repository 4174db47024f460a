// Opening links from argument vectors and strings against scripted device
// worlds that record the device parameter block each make receives.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "api/qvenvironment.h"
#include "api/qvlink.h"
#include "api/qvqueries.h"
#include "api/qvyield.h"
#include "device/qvdevicemanager.h"
#include "device/qvdeviceparameters.h"
#include "quorvane.h"
#include "tests/api/qvenvironmenttest.h"
#include "tests/support/qvscripteddevice.h"
#include "user/qvopen.h"

namespace {

// What each make received: the six fields, and the end points handed over.
struct MadeBlock {
  std::vector<std::string> fields;
  size_t endpoints = 0;
};

std::vector<MadeBlock> gBlocks;
long gNameSizeAnswer = 0;  // nonzero: the device name query fails with it

std::vector<std::string> SplitBlock(const char* block) {
  std::vector<std::string> fields;
  const char* p = block;
  for (int i = 0; i < 6; ++i) {
    fields.emplace_back(p);
    p += fields.back().size() + 1;
  }
  return fields;
}

// The scripted world with a recorder in front of it.
long RecordingWorld(void* object, Quorvane::qvdeviceselector selector, void* a1, void* a2) {
  if (selector == Quorvane::QVDEVICE_WORLD_MAKE && a2 != nullptr) {
    gBlocks.push_back({SplitBlock(static_cast<const char*>(a2)), 0});
  } else if (selector == Quorvane::QVDEVICE_WORLD_MAKE_WITH_PARAMETERS && a2 != nullptr) {
    const auto& p = *static_cast<const Quorvane::QVDeviceParameters*>(a2);
    gBlocks.push_back({{Quorvane::ToStdString(p.Protocol), std::to_string(p.Mode), Quorvane::ToStdString(p.Name),
                        Quorvane::ToStdString(p.Location), Quorvane::ToStdString(p.Authentication),
                        std::to_string(p.Options)},
                       p.ExtraPointers.size()});
  } else if (selector == Quorvane::QVDEVICE_NAME_SIZE && gNameSizeAnswer != 0) {
    return gNameSizeAnswer;
  }
  return qvtest::ScriptedWorldFunction()(object, selector, a1, a2);
}

std::vector<std::string> gAlerts;
int gInteract = 0;
std::vector<std::string> gAsked;  // what the argument request answers

int Alert(RVEnvironment*, const char* text) {
  gAlerts.emplace_back(text);
  return 1;
}
int RequestToInteract(RVEnvironment*, int) { return gInteract; }
long RequestArgv(RVEnvironment*, char** argv, long capacity, char* buffer, long size) {
  long used = 0;
  long words = 0;
  for (const std::string& word : gAsked) {
    if (words >= capacity || used + static_cast<long>(word.size()) + 1 > size) break;
    std::memcpy(buffer + used, word.c_str(), word.size() + 1);
    argv[words++] = buffer + used;
    used += static_cast<long>(word.size()) + 1;
  }
  return words;
}

class OpenTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gBlocks.clear();
    gAlerts.clear();
    gAsked.clear();
    gInteract = 0;
    gNameSizeAnswer = 0;
    environment_.reset(qvtest::BeginWithoutDevices());
    ASSERT_NE(environment_, nullptr);
    for (const char* protocol : {"SharedMemory", "P", "Pipes", "Refusing"}) {
      records_.push_back(qvtest::QueueScriptedWorld({protocol, std::string(protocol) == "Refusing" ? 23 : 0, 0}));
      environment_->deviceManager->registerWorldForTesting(RecordingWorld);
    }
    RVSetDialogFunction(environment_.get(), 1, reinterpret_cast<void*>(&Alert));
    RVSetDialogFunction(environment_.get(), 4, reinterpret_cast<void*>(&RequestArgv));
    RVSetDialogFunction(environment_.get(), 5, reinterpret_cast<void*>(&RequestToInteract));
  }

  QVLink* Open(std::vector<std::string> words, int* error) {
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    return RVOpenArgcArgv(environment_.get(), static_cast<int>(words.size()), argv.data(), error);
  }

  size_t LiveLinks() { return environment_->globals->links.size(); }

  qvtest::EnvironmentHandle environment_;
  std::vector<qvtest::ScriptedWorldRecord*> records_;
};

struct OpenCase {
  const char* title;
  std::vector<std::string> argv;
  int interact;
  int error;
  // The block the device manager got ("" fields ignored), or empty when none
  // was made.
  std::vector<std::string> block;
  const char* linkName;  // null: no link; "" : not checked
  int connectionMode;
};

TEST_F(OpenTest, RequestsTable) {
  const std::vector<OpenCase> cases = {
      {"nothing given, no interaction: ParentConnect through the worlds in order", {}, 0, 0,
       {"", "16", "", "", "", "0"}, "scripted", 1},
      {"a device with Loopback goes to the manager", {"-linkmode", "Loopback", "-linkdevice", "d"}, 0, 0,
       {"", "1", "", "", "", "0"}, "scripted", 0},
      {"a protocol keeps mode 0", {"-linkname", "n", "-linkprotocol", "P"}, 0, 0, {"P", "0", "n", "", "", "0"}, "n",
       0},
      {"Pipes with Launch goes to the manager", {"-linkprotocol", "Pipes", "-linkmode", "Launch", "-linkname", "cmd"},
       0, 0, {"Pipes", "8", "cmd", "", "", "0"}, "cmd", 0},
      {"connect sets connection mode 1", {"-linkprotocol", "P", "-linkconnect", "-linkname", "c", "-linkhost", "h"},
       0, 0, {"P", "4", "c", "h", "", "0"}, "c", 1},
      {"single quotes leave the device name", {"-linkprotocol", "P", "-linkname", "'quoted'"}, 0, 0,
       {"P", "0", "'quoted'", "", "", "0"}, "quoted", 0},
      {"-linkname alone launches the name", {"-linkname", "/nonexistent/quorvane-program"}, 0, 46, {}, nullptr, 0},
      {"interaction refused by QVDontInteract", {"-linkoptions", "256"}, 1, 33, {}, nullptr, 0},
      {"interaction with no answer", {}, 1, 33, {}, nullptr, 0},
      {"a block past 256 bytes", {"-linkprotocol", "P", "-linkname", std::string(250, 'n')}, 0, 42, {}, nullptr, 0},
  };
  for (const OpenCase& c : cases) {
    SCOPED_TRACE(c.title);
    gBlocks.clear();
    gInteract = c.interact;
    int error = -7;
    QVLink* link = Open(c.argv, &error);
    EXPECT_EQ(error, c.error);
    if (c.block.empty()) {
      EXPECT_TRUE(gBlocks.empty());
    } else {
      ASSERT_EQ(gBlocks.size(), 1u);
      EXPECT_EQ(gBlocks[0].fields, c.block);
    }
    if (c.linkName == nullptr) {
      EXPECT_EQ(link, nullptr);
      EXPECT_EQ(LiveLinks(), 0u);
      continue;
    }
    ASSERT_NE(link, nullptr);
    EXPECT_STREQ(RVLinkName(link), c.linkName);
    EXPECT_EQ(link->connectionMode, c.connectionMode);
    EXPECT_EQ(RVError(link), 10);
    RVClose(link);
  }
}

TEST_F(OpenTest, LoopbackModeOpensAnEstablishedLoopbackLink) {
  int error = -1;
  QVLink* first = Open({"-linkmode", "loopback"}, &error);
  ASSERT_NE(first, nullptr) << error;
  QVLink* link = Open({"-linkmode", "Loopback"}, &error);
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(error, 0);
  EXPECT_EQ(RVError(link), 0);
  EXPECT_EQ(RVIsLinkLoopback(link), 1);
  EXPECT_EQ(std::string(RVLinkName(link)), "Loopback" + std::to_string(RVNumber(link)));
  EXPECT_EQ(link->deviceStack->window_size, 2048);
  ASSERT_NE(link->writeState, nullptr);
  EXPECT_EQ(link->writeState->six_digit_escapes, 1);
  EXPECT_TRUE(gBlocks.empty());
  RVClose(first);
  RVClose(link);
}

TEST_F(OpenTest, AskedArgumentsAreOpened) {
  gInteract = 1;
  gAsked = {"-linkprotocol", "P", "-linkname", "asked"};
  int error = -1;
  QVLink* link = Open({}, &error);
  ASSERT_NE(link, nullptr);
  EXPECT_STREQ(RVLinkName(link), "asked");
  RVClose(link);
  gAsked = {"not-an-option"};
  EXPECT_EQ(Open({}, &error), nullptr);
  EXPECT_EQ(error, 33);
}

TEST_F(OpenTest, ListenAlertsTheCreatedNameUnlessToldNotTo) {
  gInteract = 1;  // the alert asks first
  int error = -1;
  QVLink* link = Open({"-linkprotocol", "P", "-linkmode", "Listen"}, &error);
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(gAlerts, (std::vector<std::string>{"Link created on: scripted\n"}));
  RVClose(link);
  gAlerts.clear();
  link = Open({"-linkprotocol", "P", "-linkmode", "Listen", "-linkoptions", "256"}, &error);
  ASSERT_NE(link, nullptr);
  EXPECT_TRUE(gAlerts.empty());
  RVClose(link);
  link = Open({"-linkprotocol", "P", "-linkmode", "Listen", "-linkname", "given"}, &error);
  ASSERT_NE(link, nullptr);
  EXPECT_TRUE(gAlerts.empty());
  RVClose(link);
}

TEST_F(OpenTest, OpenStringTakesTheFirst32Words) {
  std::string command;
  for (int i = 0; i < 30; ++i) command += "w" + std::to_string(i) + " ";
  command += "-linkprotocol P -linkname late";  // words 31 and 32 are in, the name is not
  int error = -1;
  QVLink* link = RVOpenString(environment_.get(), command.c_str(), &error);
  ASSERT_NE(link, nullptr) << error;
  ASSERT_EQ(gBlocks.size(), 1u);
  EXPECT_EQ(gBlocks[0].fields[0], "P");
  EXPECT_EQ(gBlocks[0].fields[2], "");
  RVClose(link);
  gBlocks.clear();
  link = RVOpenString(environment_.get(), "-linkprotocol P -linkname 'a b'", &error);
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(gBlocks[0].fields[2], "a b");
  RVClose(link);
  EXPECT_EQ(RVOpenString(nullptr, "-linkmode loopback", &error), nullptr);
  EXPECT_EQ(error, 32);
}

TEST_F(OpenTest, FailedOpenLeavesNoLinkAndClosesItsDeviceOnce) {
  gNameSizeAnswer = 7;
  int error = 0;
  EXPECT_EQ(Open({"-linkprotocol", "P", "-linkname", "n"}, &error), nullptr);
  EXPECT_EQ(error, 7);
  EXPECT_EQ(LiveLinks(), 0u);
  ASSERT_EQ(records_[1]->made.size(), 1u);
  EXPECT_EQ(records_[1]->made[0]->CloseCount(), 1);
}

TEST_F(OpenTest, MakeErrorsAndEndPoints) {
  int error = 0;
  EXPECT_EQ(Open({"-linkprotocol", "Refusing", "-linkname", "n"}, &error), nullptr);
  EXPECT_EQ(error, 23);
  EXPECT_EQ(LiveLinks(), 0u);
  gBlocks.clear();
  int data = 0;
  int message = 0;
  char protocol[] = "-linkprotocol";
  char p[] = "P";
  char* argv[] = {protocol, p, nullptr};
  QVLink* link = QVOpenLinkWithTCPIPEndpoints(environment_.get(), 2, argv, &data, &message, &error);
  ASSERT_NE(link, nullptr);
  ASSERT_EQ(gBlocks.size(), 1u);
  EXPECT_EQ(gBlocks[0].endpoints, 2u);
  RVClose(link);
  EXPECT_EQ(QVGenericOpen(nullptr, "P", 0, "", "", "", 0, nullptr, nullptr, &error), nullptr);
  EXPECT_EQ(error, 32);
  EXPECT_EQ(RVLoopbackOpen(nullptr, nullptr), nullptr);
}

TEST_F(OpenTest, DefaultYieldFunctionGoesToOpenedLinks) {
  auto yielder = [](void*, QVYieldParams*) { return 0; };
  environment_->defaultYieldFunction = yielder;
  int error = 0;
  QVLink* link = Open({"-linkprotocol", "P", "-linkname", "n"}, &error);
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(reinterpret_cast<void*>(link->deviceStack->device->getYielder()), reinterpret_cast<void*>(+yielder));
  RVClose(link);
}

}  // namespace
