// The device manager over scripted worlds: a named protocol goes to its world
// alone, no protocol walks the order of preference while worlds answer 34 or
// 35, and the parameter block unpacks into device parameters.
#include "device/qvdevicemanager.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "device/qvintraprocesshooks.h"
#include "qvfakeworld.h"
#include "support/qvscripteddevice.h"
#include "user/qvopen.h"

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

TEST(DeviceManager, LibraryRegistersTheBuiltWorldsAndAnUnbuiltOneAnswers34) {
  auto manager = QVDeviceManager::init();
  manager->loadDevices();
  std::set<std::string> built;
  for (const auto& name : manager->availableDevices()) built.insert(Quorvane::ToStdString(name));
  for (const Quorvane::QVDeviceWorldRow& row : Quorvane::QVLibraryDeviceWorlds()) {
    EXPECT_EQ(built.count(row.protocol), row.function != nullptr ? 1u : 0u) << row.protocol;
    if (row.function != nullptr) continue;
    long error = 0;
    auto result = manager->createDevice(Block(row.protocol, "4", "8000").c_str(), &error);
    EXPECT_TRUE(result.isErr()) << row.protocol;
    EXPECT_EQ(error, 34) << row.protocol;
  }
  manager->unloadDevices();
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

TEST(DeviceManager, WorldGetsItsHandlerListBackAlsoWhenInstallingFails) {
  struct HandlerCase {
    std::vector<int> signals;
    bool installs;
  };
  for (const HandlerCase& c : {HandlerCase{{SIGUSR2}, true}, HandlerCase{{32}, false}}) {
    qvtest::Fake() = qvtest::FakeRecord();
    qvtest::Fake().signals = c.signals;
    QVDeviceManager manager;
    manager.registerWorldForTesting(&qvtest::FakeMain);
    Quorvane::QVSignalHandlerManager signals;
    if (c.installs) {
      EXPECT_NO_THROW(manager.loadSignalHandlers(signals));
      signals.clearHandlerWithFunction(SIGUSR2, &qvtest::FakeSignalHandler);
    } else {
      EXPECT_THROW(manager.loadSignalHandlers(signals), Quorvane::QVException);  // the system refuses signal 32
    }
    const auto& calls = qvtest::Fake().calls;
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "world.ReleaseSignalHandlers"), 1);
    manager.unloadDevices();
    EXPECT_EQ(qvtest::Fake().worldsAlive, 0);
  }
}

TEST(DeviceManager, WorldThatRefusesToStartIsNotRegistered) {
  QVDeviceManager manager;
  // Nothing queued: the scripted world's init refuses.
  EXPECT_THROW(manager.registerWorldForTesting(qvtest::ScriptedWorldFunction()), Quorvane::QVException);
  try {
    Quorvane::QVDeviceWorldInstance world(nullptr);
    ADD_FAILURE() << "a world without a function cannot be made";
  } catch (const Quorvane::QVException& e) {
    EXPECT_EQ(ToStdString(e.getWhat()), "worldInit method has a NULL interface function");
  }
  EXPECT_TRUE(manager.getDeviceList().empty());
}

TEST(DeviceManager, ProtocolNameOf512BytesOrMoreIsError7) {
  struct NameCase {
    size_t length;
    long error;
  };
  // 512 still fits the buffer (no terminator is copied); longer ones make the
  // world answer that the buffer is too small. Both are a name too long.
  const NameCase cases[] = {{1, 0}, {511, 0}, {512, 7}, {513, 7}, {600, 7}, {4096, 7}};
  for (const NameCase& c : cases) {
    SCOPED_TRACE(c.length);
    qvtest::QueueScriptedWorld({std::string(c.length, 'p'), 0});
    auto world = Quorvane::QVDeviceWorldInstance::initWithFunction(qvtest::ScriptedWorldFunction());
    long error = -7;
    Quorvane::QVString name = world->protocolName(&error);
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(name.size(), c.error == 0 ? c.length : 0u);
    world->worldDeinit();
  }
}

// Such a world could never be chosen by name nor in the order of preference:
// it is ended at once, not listed, and the worlds after it still load.
TEST(DeviceManager, WorldWithoutAUsableNameIsEndedAndNotListed) {
  struct NameCase {
    const char* title;
    std::string protocol;
    bool nameThrows;
  };
  const NameCase cases[] = {
      {"name too long", std::string(600, 'n'), false},
      {"name of 512 bytes", std::string(512, 'n'), false},
      {"empty name", "", false},
      {"name cannot be read", "Fake", true},
  };
  for (const NameCase& c : cases) {
    SCOPED_TRACE(c.title);
    qvtest::Fake() = qvtest::FakeRecord();
    qvtest::Fake().protocol = c.protocol;
    if (c.nameThrows) qvtest::Fake().plan = {"world.ProtocolName", [] { throw std::runtime_error("no name"); }, 0};
    QVDeviceManager manager;
    EXPECT_NO_THROW(manager.registerWorldForTesting(&qvtest::FakeMain));
    EXPECT_EQ(qvtest::Fake().worldsAlive, 0) << "the world must be ended";
    EXPECT_TRUE(manager.getDeviceList().empty());
    ScriptedWorldRecord* next = qvtest::QueueScriptedWorld({"Pipes", 0});
    manager.registerWorldForTesting(qvtest::ScriptedWorldFunction());
    ASSERT_EQ(manager.getDeviceList().size(), 1u);
    EXPECT_EQ(ToStdString(manager.getDeviceList()[0]), "Pipes");
    manager.unloadDevices();
    EXPECT_EQ(next->deinitCalls, 1);
  }
}

// Each answer comes from its own selector; a failing or ended world answers
// the empty value with the selector's error.
TEST(DeviceWorldInstance, ModesCapacityAndIdAnswerTheWorldOrTheEmptyValue) {
  struct Expected {
    long value;
    long error;
  };
  struct AnswerCase {
    const char* title;
    std::string throwingOperation;
    std::string worldId;
    bool ended;
    Expected modes, capacity;
    std::string id;
    long idError;
  };
  const std::string longest(2048, 'i');
  const AnswerCase cases[] = {
      {"every answer", "", "fake-world-1", false, {6, 0}, {5120, 0}, "fake-world-1", 0},
      {"modes fails", "world.Modes", "fake-world-1", false, {0, -1}, {5120, 0}, "fake-world-1", 0},
      {"capacity fails", "world.StreamCapacity", "fake-world-1", false, {6, 0}, {0, -1}, "fake-world-1", 0},
      {"id fails", "world.Id", "fake-world-1", false, {6, 0}, {5120, 0}, "", -1},
      {"id filling the whole buffer", "", longest, false, {6, 0}, {5120, 0}, longest, 0},
      {"id too long for the buffer", "", longest + "i", false, {6, 0}, {5120, 0}, "", 8},
      {"ended world", "", "fake-world-1", true, {0, -1}, {0, -1}, "", -1},
  };
  for (const AnswerCase& c : cases) {
    SCOPED_TRACE(c.title);
    qvtest::Fake() = qvtest::FakeRecord();
    qvtest::Fake().worldId = c.worldId;
    Quorvane::QVDeviceWorldInstance world(&qvtest::FakeMain);
    if (c.ended) world.worldDeinit();
    qvtest::Fake().calls.clear();
    if (!c.throwingOperation.empty()) {
      qvtest::Fake().plan = {c.throwingOperation, [] { throw std::runtime_error("refused"); }, 0};
    }
    long error = 99;
    EXPECT_EQ(world.modes(&error), c.modes.value);
    EXPECT_EQ(error, c.modes.error);
    error = 99;
    EXPECT_EQ(world.streamCapacity(&error), c.capacity.value);
    EXPECT_EQ(error, c.capacity.error);
    error = 99;
    EXPECT_EQ(ToStdString(world.id(&error)), c.id);
    EXPECT_EQ(error, c.idError);
    const std::vector<std::string> asked = {"world.Modes", "world.StreamCapacity", "world.Id"};
    EXPECT_EQ(qvtest::Fake().calls, c.ended ? std::vector<std::string>{} : asked);
    world.worldDeinit();
    EXPECT_EQ(qvtest::Fake().worldsAlive, 0);
  }
}

TEST(DeviceWorldInstance, PrintsTheWorldAndFunctionPointers) {
  qvtest::Fake() = qvtest::FakeRecord();
  Quorvane::QVDeviceWorldInstance world(&qvtest::FakeMain);
  std::ostringstream expected;
  expected << "<QVDeviceWorldInstance><theWorld>" << world.world() << "</theWorld><interfaceFunction>"
           << reinterpret_cast<void*>(&qvtest::FakeMain) << "</interfaceFunction></QVDeviceWorldInstance>";
  std::ostringstream printed;
  printed << world;
  EXPECT_NE(world.world(), nullptr);
  EXPECT_EQ(printed.str(), expected.str());
  world.worldDeinit();
}

TEST(DeviceManager, LibraryTableKeepsTheLoadOrder) {
  std::vector<std::string> names;
  for (const Quorvane::QVDeviceWorldRow& row : Quorvane::QVLibraryDeviceWorlds()) names.emplace_back(row.protocol);
  EXPECT_EQ(names, (std::vector<std::string>{"TCPIP", "SharedMemory", "IntraProcess", "Pipes", "TCP"}));
}

TEST(DeviceManager, LoadsWorldRowsInOrderAndListsThemByName) {
  const std::vector<std::string> loadOrder = {"TCPIP", "SharedMemory", "IntraProcess", "Pipes", "TCP"};
  std::vector<ScriptedWorldRecord*> records;
  std::vector<Quorvane::QVDeviceWorldRow> rows;
  for (const std::string& name : loadOrder) {
    records.push_back(qvtest::QueueScriptedWorld({name, 0}));
    rows.push_back({name.c_str(), qvtest::ScriptedWorldFunction()});
    if (rows.size() == 2) rows.push_back({"Unbuilt", nullptr});  // skipped, not a failure
  }
  QVDeviceManager manager;
  manager.loadDevices(rows);
  std::vector<std::string> listed;
  for (const auto& name : manager.getDeviceList()) listed.push_back(ToStdString(name));
  EXPECT_EQ(listed, (std::vector<std::string>{"IntraProcess", "Pipes", "SharedMemory", "TCP", "TCPIP"}));
  std::ostringstream printed;
  printed << manager;
  EXPECT_EQ(printed.str().rfind("<QVDeviceManager><theDevices><entry><first>IntraProcess</first><second>"
                                "<QVDeviceWorldInstance><theWorld>", 0),
            0u);
  manager.unloadDevices();
  for (ScriptedWorldRecord* record : records) {
    EXPECT_EQ(record->initCalls, 1);
    EXPECT_EQ(record->deinitCalls, 1);
  }
}

TEST(DeviceManager, WorldThatRefusesToStartStopsTheLoading) {
  ScriptedWorldRecord* first = qvtest::QueueScriptedWorld({"SharedMemory", 0});
  // Nothing more is queued: the second world's init refuses.
  const Quorvane::QVDeviceWorldRow rows[] = {{"SharedMemory", qvtest::ScriptedWorldFunction()},
                                             {"Pipes", qvtest::ScriptedWorldFunction()},
                                             {"TCP", qvtest::ScriptedWorldFunction()}};
  QVDeviceManager manager;
  try {
    manager.loadDevices(rows);
    ADD_FAILURE() << "a refusing world must stop the loading";
  } catch (const Quorvane::QVException& e) {
    EXPECT_EQ(ToStdString(e.getWhat()), "Unable to initialize world");
  }
  ASSERT_EQ(manager.getDeviceList().size(), 1u);  // the first stays, for the caller to unload
  manager.unloadDevices();
  EXPECT_EQ(first->deinitCalls, 1);
}

TEST(DeviceManager, MalformedBlockIsRefusedWith42WithoutAskingAWorld) {
  Worlds worlds({{"SharedMemory", 0}, {"Pipes", 0}});
  const size_t limit = Quorvane::kQVDeviceParameterBlockLimit;
  const std::string full = Block("Pipes", "2", "n");
  const std::string head = std::string("Pipes\0" "2\0", 8);
  const std::string tail = std::string("\0\0\0" "0\0", 5);
  struct BlockCase {
    const char* title;
    std::string bytes;  // padded to the bound with non-NUL bytes
    bool accepted;
  };
  const BlockCase cases[] = {
      {"no NUL at all", "", false},
      {"five fields, the sixth unended", full.substr(0, full.size() - 2), false},
      {"the sixth field's NUL one past the bound", (head + std::string(limit - 8 - 4, 'n') + tail).substr(0, limit),
       false},
      {"six fields", full, true},
      {"six fields ending on the last byte", head + std::string(limit - 8 - 5, 'n') + tail, true},
  };
  for (const BlockCase& c : cases) {
    SCOPED_TRACE(c.title);
    ASSERT_LE(c.bytes.size(), limit);
    // An allocation of exactly the bound, so a read past it is caught by the sanitizer.
    std::vector<char> block(limit, 'Z');
    std::copy(c.bytes.begin(), c.bytes.end(), block.begin());
    const int before = worlds.Makes("Pipes") + worlds.Makes("SharedMemory");
    long error = -7;
    auto result = worlds.manager.createDevice(block.data(), &error);
    EXPECT_EQ(Quorvane::QVDeviceParameters::WellFormedBlock(block.data()), c.accepted);
    if (c.accepted) {
      EXPECT_TRUE(result.isOk());
      EXPECT_EQ(error, 0);
    } else {
      EXPECT_EQ(error, 42);
      EXPECT_EQ(result.error(), 42);
      EXPECT_EQ(worlds.Makes("Pipes") + worlds.Makes("SharedMemory"), before);
    }
  }
  long error = 0;
  EXPECT_EQ(worlds.manager.createDevice(static_cast<const char*>(nullptr), &error).error(), 42);
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

TEST(DeviceParameters, EveryFieldSurvivesTheLinkCoresWriter) {
  struct Fields {
    const char* protocol;
    uint64_t mode;
    std::string name;
    const char* location;
    const char* authentication;
    uint64_t options;
  };
  const Fields cases[] = {
      {"TCPIP", 4, "8000", "", "", 0},
      {"SharedMemory", 16, "quote feed", "host.example", "key", 1048832},
      {"", 0, "", "", "", 0},
      {"TCP", UINT64_MAX, "n", "l", "a", UINT64_MAX},
      {"Pipes", 2, std::string(200, 'x'), "loc", "auth", 260},  // near the writer's bound
  };
  for (const Fields& f : cases) {
    SCOPED_TRACE(f.protocol);
    char block[kDeviceBlockLimit];
    ASSERT_NE(QVBuildDeviceBlock(block, f.protocol, f.mode, f.name.c_str(), f.location, f.authentication, f.options),
              0u);
    ASSERT_TRUE(QVDeviceParameters::WellFormedBlock(block));
    QVDeviceParameters p(block);
    EXPECT_EQ(ToStdString(p.Protocol), f.protocol);
    EXPECT_EQ(p.Mode, f.mode);
    EXPECT_EQ(ToStdString(p.Name), f.name);
    EXPECT_EQ(ToStdString(p.Location), f.location);
    EXPECT_EQ(ToStdString(p.Authentication), f.authentication);
    EXPECT_EQ(p.Options, f.options);
    std::ostringstream printed;
    printed << p;
    EXPECT_EQ(printed.str(), "<QVDeviceParameters><Protocol>" + std::string(f.protocol) + "</Protocol><Name>" +
                                 f.name + "</Name><Location>" + f.location + "</Location><Authentication>" +
                                 f.authentication + "</Authentication><Mode>" + std::to_string(f.mode) +
                                 "</Mode><Options>" + std::to_string(f.options) + "</Options></QVDeviceParameters>");
  }
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
