// The device manager over scripted worlds: a named protocol goes to its world
// alone, no protocol walks the order of preference while worlds answer 34 or
// 35, and the parameter block unpacks into device parameters.
#include "device/qvdevicemanager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "device/qvintraprocesshooks.h"
#include "support/qvscripteddevice.h"

namespace {

using Quorvane::QVDeviceManager;
using Quorvane::QVDeviceParameters;
using Quorvane::ToStdString;
using qvtest::ScriptedWorldRecord;

std::string Block(const std::string& protocol, const std::string& mode, const std::string& name,
                  const std::string& options = "0") {
  std::string block;
  for (const std::string& field : {protocol, mode, name, std::string(), std::string(), options}) {
    block += field;
    block += '\0';
  }
  return block;
}

// A manager with one scripted world per entry, registered under that name.
struct Worlds {
  explicit Worlds(const std::map<std::string, long>& answers) {
    for (const auto& [protocol, answer] : answers) {
      records[protocol] = qvtest::QueueScriptedWorld({protocol, answer});
      manager.registerWorldForTesting(qvtest::ScriptedWorldFunction());
    }
  }
  ~Worlds() { manager.unloadDevices(); }
  int Makes(const std::string& protocol) { return records.at(protocol)->makeCalls; }

  QVDeviceManager manager;
  std::map<std::string, ScriptedWorldRecord*> records;
};

TEST(DeviceManager, LibraryRegistersNoWorldAndAnythingAsksAnswers34) {
  auto manager = QVDeviceManager::init();
  manager->loadDevices();
  EXPECT_TRUE(manager->availableDevices().empty());
  for (const std::string& block : {Block("TCPIP", "4", "8000"), Block("", "2", "x")}) {
    long error = 0;
    auto result = manager->createDevice(block.c_str(), &error);
    EXPECT_TRUE(result.isErr());
    EXPECT_EQ(result.error(), 34);
    EXPECT_EQ(error, 34);
  }
}

struct ChoiceCase {
  const char* title;
  std::map<std::string, long> answers;  // world -> its make answer
  std::string protocol;
  long expected;                        // 0: a device
  std::vector<std::string> asked;       // worlds asked, in order
};

TEST(DeviceManager, ChoosesTheWorldAsTheOrderOfPreferenceSays) {
  const ChoiceCase cases[] = {
      {"no protocol falls through 35 and 34", {{"SharedMemory", 35}, {"Pipes", 34}, {"TCPIP", 0}, {"TCP", 0}},
       "", 0, {"SharedMemory", "Pipes", "TCPIP"}},
      {"another error stops the walk", {{"SharedMemory", 40}, {"Pipes", 0}}, "", 40, {"SharedMemory"}},
      {"all refuse: the last refusal", {{"SharedMemory", 34}, {"Pipes", 35}, {"IntraProcess", 34}}, "", 34,
       {"SharedMemory", "Pipes", "IntraProcess"}},
      {"a named world alone, whatever it answers", {{"SharedMemory", 0}, {"TCPIP", 35}}, "TCPIP", 35,
       {"TCPIP"}},
      {"a named world that serves", {{"SharedMemory", 0}, {"TCP", 0}}, "TCP", 0, {"TCP"}},
      {"an unregistered name walks the order", {{"Pipes", 34}, {"TCP", 0}}, "Nowhere", 0, {"Pipes", "TCP"}},
      {"worlds outside the order are not tried", {{"Scripted", 0}}, "", 34, {}},
  };
  for (bool fromBlock : {true, false}) {
    for (const ChoiceCase& c : cases) {
      SCOPED_TRACE(c.title);
      SCOPED_TRACE(fromBlock ? "block" : "parameters");
      Worlds worlds(c.answers);
      long error = -7;
      const std::string block = Block(c.protocol, "4", "link-a");
      auto result = fromBlock ? worlds.manager.createDevice(block.c_str(), &error)
                              : worlds.manager.createDevice(QVDeviceParameters(block.c_str()), &error);
      EXPECT_EQ(error, c.expected);
      EXPECT_EQ(result.isOk(), c.expected == 0);
      // Each world is asked at most once and the walk stops at the first answer
      // other than 34 or 35, so the set of worlds asked also pins the order.
      std::vector<std::string> asked;
      for (const auto& [name, record] : worlds.records) {
        if (record->makeCalls > 0) asked.push_back(name);
      }
      std::vector<std::string> expectedAsked = c.asked;
      std::sort(expectedAsked.begin(), expectedAsked.end());
      std::sort(asked.begin(), asked.end());
      EXPECT_EQ(asked, expectedAsked);
      for (const auto& [name, record] : worlds.records) {
        EXPECT_LE(record->makeCalls, 1) << name;
        for (const std::string& seen : record->blocksSeen) EXPECT_EQ(seen, c.protocol);
      }
    }
  }
}

TEST(DeviceManager, MadeDeviceCarriesTheLinkNameAndClosesWithItsLastReference) {
  Worlds worlds({{"Pipes", 0}});
  long error = -7;
  const std::string block = Block("Pipes", "2", "quote-feed");
  auto result = worlds.manager.createDevice(block.c_str(), &error);
  ASSERT_TRUE(result.isOk());
  EXPECT_EQ(error, 0);
  ScriptedWorldRecord* record = worlds.records.at("Pipes");
  ASSERT_EQ(record->made.size(), 1u);
  {
    auto device = result.unwrap();
    EXPECT_EQ(ToStdString(device->name()), "quote-feed");
    long type = 0;
    EXPECT_EQ(device->callWithSelector(0x80000000UL, &type, sizeof type), 0);
    EXPECT_EQ(type, 1);
    result = Quorvane::make_err(1L);  // drop the result's reference
  }
  EXPECT_EQ(record->made[0]->CloseCount(), 1);
}

TEST(DeviceManager, UnwrapOfAnErrorThrows) {
  Quorvane::QVDeviceResult result = Quorvane::make_err(34L);
  EXPECT_THROW(result.unwrap(), Quorvane::QVException);
}

TEST(DeviceManager, RegistryKeepsTheFirstWorldOfANameAndUnloadsEachOnce) {
  auto manager = QVDeviceManager::init();
  ScriptedWorldRecord* first = qvtest::QueueScriptedWorld({"TCPIP", 0});
  manager->registerWorldForTesting(qvtest::ScriptedWorldFunction());
  ScriptedWorldRecord* second = qvtest::QueueScriptedWorld({"TCPIP", 35});
  manager->registerWorldForTesting(qvtest::ScriptedWorldFunction());
  ScriptedWorldRecord* other = qvtest::QueueScriptedWorld({"Pipes", 0});
  manager->registerWorldForTesting(qvtest::ScriptedWorldFunction());

  EXPECT_EQ(second->deinitCalls, 1);  // not kept, so ended at once
  auto names = manager->getDeviceList();
  ASSERT_EQ(names.size(), 2u);
  EXPECT_EQ(ToStdString(names[0]), "Pipes");  // name order
  EXPECT_EQ(ToStdString(names[1]), "TCPIP");

  long error = 0;
  const std::string block = Block("TCPIP", "4", "x");
  EXPECT_TRUE(manager->createDevice(block.c_str(), &error).isOk());
  EXPECT_EQ(first->makeCalls, 1);
  EXPECT_EQ(second->makeCalls, 0);

  manager->unloadDevices();
  manager->unloadDevices();
  EXPECT_TRUE(manager->getDeviceList().empty());
  EXPECT_EQ(first->deinitCalls, 1);
  EXPECT_EQ(other->deinitCalls, 1);
  EXPECT_EQ(second->deinitCalls, 1);
}

TEST(DeviceManager, SignalHandlersOfEveryWorldOrAnError) {
  Quorvane::QVSignalHandlerManager signals;
  {
    Worlds quiet({{"Pipes", 0}, {"TCP", 0}});
    EXPECT_NO_THROW(quiet.manager.loadSignalHandlers(signals));
  }
  qvtest::QueueScriptedWorld({"Pipes", 0, 4});
  QVDeviceManager manager;
  manager.registerWorldForTesting(qvtest::ScriptedWorldFunction());
  try {
    manager.loadSignalHandlers(signals);
    ADD_FAILURE() << "a world's error must stop the loading";
  } catch (const Quorvane::QVException& e) {
    EXPECT_EQ(ToStdString(e.getWhat()), "Unable to load signal handlers.");
  }
  manager.unloadDevices();
}

TEST(DeviceManager, WorldThatRefusesToStartIsNotRegistered) {
  QVDeviceManager manager;
  // Nothing queued: the scripted world's init refuses.
  EXPECT_THROW(manager.registerWorldForTesting(qvtest::ScriptedWorldFunction()), Quorvane::QVException);
  EXPECT_THROW(Quorvane::QVDeviceWorldInstance(nullptr).worldInit(), Quorvane::QVException);
  EXPECT_TRUE(manager.getDeviceList().empty());
}

TEST(DeviceManager, ProtocolNameOf512BytesOrMoreIsError7) {
  for (size_t length : {511u, 512u, 600u}) {
    qvtest::QueueScriptedWorld({std::string(length, 'p'), 0});
    auto world = Quorvane::QVDeviceWorldInstance::initWithFunction(qvtest::ScriptedWorldFunction());
    long error = -7;
    Quorvane::QVString name = world->protocolName(&error);
    if (length < 512) {
      EXPECT_EQ(error, 0);
      EXPECT_EQ(name.size(), length);
    } else {
      EXPECT_NE(error, 0);
      EXPECT_TRUE(name.empty());
    }
    world->worldDeinit();
  }
}

// --- device parameters ----------------------------------------------------------

TEST(DeviceParameters, UnpacksTheSixFields) {
  const std::string block = std::string("TCPIP\0" "4\0" "8000\0" "\0" "\0" "0\0", 16);
  QVDeviceParameters p(block.c_str());
  EXPECT_EQ(ToStdString(p.Protocol), "TCPIP");
  EXPECT_EQ(p.Mode, 4u);
  EXPECT_EQ(ToStdString(p.Name), "8000");
  EXPECT_TRUE(p.Location.empty());
  EXPECT_TRUE(p.Authentication.empty());
  EXPECT_EQ(p.Options, 0u);
  EXPECT_TRUE(p.ExtraPointers.empty());

  const std::string full = std::string("SharedMemory\0" "16\0" "link\0" "host\0" "key\0" "1048832\0", 39);
  QVDeviceParameters q(full.c_str());
  EXPECT_EQ(ToStdString(q.Location), "host");
  EXPECT_EQ(ToStdString(q.Authentication), "key");
  EXPECT_EQ(q.Mode, 16u);
  EXPECT_EQ(q.Options, 1048832u);
}

TEST(DeviceParameters, NumbersThatAreNotDecimalReadAsZero) {
  for (const char* mode : {"", "-4", "4x", " 4", "99999999999999999999999"}) {
    const std::string block = Block("", mode, "n", mode);
    QVDeviceParameters p(block.c_str());
    EXPECT_EQ(p.Mode, 0u) << mode;
    EXPECT_EQ(p.Options, 0u) << mode;
    EXPECT_EQ(ToStdString(p.Name), "n");
  }
  const std::string max = Block("", "18446744073709551615", "n");
  EXPECT_EQ(QVDeviceParameters(max.c_str()).Mode, 18446744073709551615UL);
}

TEST(DeviceParameters, NeverReadsPastTheBlockBound) {
  // A block with no NUL in its 256 bytes: everything is the protocol field,
  // cut at the bound; nothing beyond the allocation is touched.
  char* block = static_cast<char*>(std::malloc(Quorvane::kQVDeviceParameterBlockLimit));
  std::memset(block, 'A', Quorvane::kQVDeviceParameterBlockLimit);
  QVDeviceParameters p(block);
  EXPECT_EQ(p.Protocol.size(), Quorvane::kQVDeviceParameterBlockLimit);
  EXPECT_TRUE(p.Name.empty());
  // Fields up to the last byte: the options field ends exactly at the bound.
  std::memset(block, 0, Quorvane::kQVDeviceParameterBlockLimit);
  std::memcpy(block, "P\0" "1\0" "N\0" "\0" "\0", 8);
  std::memset(block + 8, '7', Quorvane::kQVDeviceParameterBlockLimit - 9);
  QVDeviceParameters q(block);
  EXPECT_EQ(q.Mode, 1u);
  EXPECT_EQ(q.Options, 0u);  // far too many digits for a number
  std::free(block);
}

TEST(DeviceParameters, CopiesCarryTheExtraPointers) {
  int dataEnd = 0;
  int messageEnd = 0;
  QVDeviceParameters p(Block("TCPIP", "2", "srv").c_str());
  p.ExtraPointers = {&dataEnd, &messageEnd};
  QVDeviceParameters copy(p);
  QVDeviceParameters assigned;
  assigned = p;
  for (const QVDeviceParameters* q : {&copy, &assigned}) {
    ASSERT_EQ(q->ExtraPointers.size(), 2u);
    EXPECT_EQ(q->ExtraPointers[0], &dataEnd);
    EXPECT_EQ(q->ExtraPointers[1], &messageEnd);
    EXPECT_EQ(ToStdString(q->Name), "srv");
    EXPECT_EQ(q->Mode, 2u);
  }
}

TEST(IntraProcessHooks, AnswerTrue) {
  EXPECT_TRUE(Quorvane::QVInitializeIntraProcessDevice());
  EXPECT_TRUE(Quorvane::QVDeinitializeIntraProcessDevice());
}

}  // namespace
