// The device instance: every operation is one selector call of the device's
// world function, an instance without a device calls nothing, public codes map
// to selectors, and the last reference closes the device exactly once.
#include "device/qvdeviceinstance.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "qvfakeworld.h"
#include "support/qvscripteddevice.h"
#include "support/qvtest.h"

namespace {

using Quorvane::QVDeviceInstance;
using Quorvane::QVSmartPointer;
using qvtest::ScriptedDevice;
using Instance = QVSmartPointer<QVDeviceInstance>;

int YieldNever(void*, QVYieldParams*) { return 0; }
void IgnoreMessage(void*, int, int) {}

// --- one operation, one selector ---------------------------------------------

struct OperationCase {
  const char* name;
  std::function<void(ScriptedDevice&, QVDeviceInstance&)> prepare;  // not logged
  std::function<long(ScriptedDevice&, QVDeviceInstance&)> run;       // answers the error
  std::vector<int> selectors;
};

std::vector<OperationCase> OperationCases() {
  auto none = [](ScriptedDevice&, QVDeviceInstance&) {};
  auto pending = [](ScriptedDevice& peer, QVDeviceInstance&) { peer.WriteBytes("abc"); };
  return {
      {"connectReady", none,
       [](ScriptedDevice&, QVDeviceInstance& d) { long e = 9; d.connectReady(&e); return e; }, {10}},
      {"connect", none, [](ScriptedDevice&, QVDeviceInstance& d) { long e = 9; d.connect(&e); return e; },
       {11}},
      {"writeWindow", none,
       [](ScriptedDevice&, QVDeviceInstance& d) { long e = 9; d.writeWindow(&e); return e; }, {13}},
      {"write", none,
       [](ScriptedDevice&, QVDeviceInstance& d) {
         long e = 9;
         auto window = d.writeWindow();  // a window to commit: 13, then the write's 12
         d.write(window, &e);
         return e;
       },
       {13, 12}},
      {"read", pending, [](ScriptedDevice&, QVDeviceInstance& d) { long e = 9; d.read(&e); return e; },
       {15}},
      {"hasData", none, [](ScriptedDevice&, QVDeviceInstance& d) { long e = 9; d.hasData(&e); return e; },
       {14}},
      {"readComplete", pending,
       [](ScriptedDevice&, QVDeviceInstance& d) {
         long e = 9;
         auto window = d.read();  // a window to complete: 15, then the completion's 16
         d.readComplete(window, &e);
         return e;
       },
       {15, 16}},
      {"setYielder", none,
       [](ScriptedDevice&, QVDeviceInstance& d) { long e = 9; d.setYielder(YieldNever, &d, &e); return e; },
       {19}},
      {"getYielder", none,
       [](ScriptedDevice&, QVDeviceInstance& d) { long e = 9; d.getYielder(&e); return e; }, {20}},
      {"setHandler", none,
       [](ScriptedDevice&, QVDeviceInstance& d) {
         long e = 9;
         d.setHandler(IgnoreMessage, &d, &e);
         return e;
       },
       {21}},
      {"getHandler", none,
       [](ScriptedDevice&, QVDeviceInstance& d) { long e = 9; d.getHandler(&e); return e; }, {22}},
      {"writeMessage", none,
       [](ScriptedDevice&, QVDeviceInstance& d) { long e = 9; d.writeMessage(3, 4, &e); return e; },
       {23}},
      {"hasMessage", none,
       [](ScriptedDevice&, QVDeviceInstance& d) { long e = 9; d.hasMessage(&e); return e; }, {24}},
      {"readMessage", [](ScriptedDevice& peer, QVDeviceInstance&) { peer.SendMessage(1, 0); },
       [](ScriptedDevice&, QVDeviceInstance& d) { long e = 9; d.readMessage(&e); return e; }, {25}},
      {"nameLength", none,
       [](ScriptedDevice&, QVDeviceInstance& d) { long e = 9; d.nameLength(&e); return e; }, {28}},
      {"name", none, [](ScriptedDevice&, QVDeviceInstance& d) { long e = 9; d.name(&e); return e; },
       {28, 27}},
      {"device type", none,
       [](ScriptedDevice&, QVDeviceInstance& d) {
         long type = 0;
         return d.callWithSelector(0x80000000UL, &type, sizeof type);
       },
       {26}},
      {"descriptor", none,
       [](ScriptedDevice&, QVDeviceInstance& d) {
         int fd = -1;
         return d.callWithSelector(0x80000500UL, &fd, sizeof fd);
       },
       {29}},
  };
}

TEST(DeviceInstance, EachOperationIsExactlyItsSelectorCalls) {
  for (const OperationCase& c : OperationCases()) {
    SCOPED_TRACE(c.name);
    ScriptedDevice peer;
    Instance device = peer.TakeInstance();
    ASSERT_TRUE(device);
    c.prepare(peer, *device);
    peer.ClearLog();
    EXPECT_EQ(c.run(peer, *device), 0);
    EXPECT_EQ(peer.SelectorLog(), c.selectors);
  }
}

TEST(DeviceInstance, AnswersComeBackThroughTheSelectors) {
  ScriptedDevice peer({.name = "worker-7", .windowSize = 5, .readSize = 4096});
  Instance device = peer.TakeInstance();
  long error = 9;

  EXPECT_FALSE(device->connectReady(&error));
  device->connect(&error);
  EXPECT_EQ(error, 0);
  EXPECT_TRUE(device->connectReady(&error));

  EXPECT_EQ(device->nameLength(), 9);
  EXPECT_EQ(Quorvane::ToStdString(device->name(&error)), "worker-7");
  EXPECT_EQ(error, 0);

  auto window = device->writeWindow(&error);
  ASSERT_NE(window.first, nullptr);
  ASSERT_EQ(window.second, 5);
  std::memcpy(window.first, "hello", 5);
  window = device->write(window.first, 5, &error);
  EXPECT_EQ(error, 0);
  EXPECT_EQ(window.second, 5);
  ASSERT_TRUE(peer.WaitCaptured(5));
  EXPECT_EQ(peer.Captured(), "hello");

  device->setYielder(YieldNever, &peer);
  EXPECT_EQ(device->getYielder(), &YieldNever);
  device->setHandler(IgnoreMessage, &peer);
  EXPECT_EQ(device->getHandler(), &IgnoreMessage);

  device->writeMessage(3, 77, &error);
  EXPECT_EQ(peer.CapturedMessages(), (std::vector<std::pair<long, long>>{{3, 77}}));
  EXPECT_FALSE(device->hasMessage());
  device->readMessage(&error);
  EXPECT_EQ(error, 18);
  peer.SendMessage(2, 5);
  EXPECT_TRUE(device->hasMessage());
  EXPECT_EQ(device->readMessage(&error), (std::pair<long, long>{2, 5}));
  EXPECT_EQ(error, 0);
}

TEST(DeviceInstance, DeviceErrorsReachTheErrorOutParameter) {
  ScriptedDevice peer;
  Instance device = peer.TakeInstance();
  long error = 0;
  peer.FailNext(qvtest::ScriptedOp::Connect, 41);
  device->connect(&error);
  EXPECT_EQ(error, 41);
  peer.FailNext(qvtest::ScriptedOp::WriteWindow, 1);
  EXPECT_EQ(device->writeWindow(&error), (QVDeviceInstance::Window{nullptr, 0}));
  EXPECT_EQ(error, 1);
  peer.FailNext(qvtest::ScriptedOp::Read, 25);
  EXPECT_EQ(device->read(&error), (QVDeviceInstance::Window{nullptr, 0}));
  EXPECT_EQ(error, 25);
}

// --- an instance that cannot call -------------------------------------------

std::atomic<int> gCountedCalls{0};
long CountingFunction(void*, Quorvane::qvdeviceselector, void*, void*) {
  ++gCountedCalls;
  return 0;
}

TEST(DeviceInstance, WithoutDeviceOrFunctionEveryOperationAnswersMinusOneAndCallsNothing) {
  int dummy = 0;
  std::vector<Instance> instances = {
      QVDeviceInstance::init(),
      QVDeviceInstance::initWithDeviceObjectAndFunction(nullptr, &CountingFunction),
      QVDeviceInstance::initWithDeviceObjectAndFunction(&dummy, nullptr),
  };
  gCountedCalls = 0;
  for (Instance& d : instances) {
    auto check = [](long error) { EXPECT_EQ(error, -1); };
    long e = 0;
    EXPECT_FALSE(d->connectReady(&e)); check(e);
    e = 0; d->connect(&e); check(e);
    e = 0; EXPECT_EQ(d->writeWindow(&e), (QVDeviceInstance::Window{nullptr, 0})); check(e);
    char byte = 0;
    e = 0; EXPECT_EQ(d->write(&byte, 1, &e), (QVDeviceInstance::Window{nullptr, 0})); check(e);
    e = 0; EXPECT_EQ(d->read(&e), (QVDeviceInstance::Window{nullptr, 0})); check(e);
    e = 0; EXPECT_FALSE(d->hasData(&e)); check(e);
    e = 0; d->readComplete(&byte, 1, &e); check(e);
    e = 0; d->setYielder(YieldNever, nullptr, &e); check(e);
    e = 0; EXPECT_EQ(d->getYielder(&e), nullptr); check(e);
    e = 0; d->setHandler(IgnoreMessage, nullptr, &e); check(e);
    e = 0; EXPECT_EQ(d->getHandler(&e), nullptr); check(e);
    e = 0; d->writeMessage(1, 1, &e); check(e);
    e = 0; EXPECT_FALSE(d->hasMessage(&e)); check(e);
    e = 0; d->readMessage(&e); check(e);
    e = 0; EXPECT_EQ(d->nameLength(&e), 0); check(e);
    e = 0; EXPECT_TRUE(d->name(&e).empty()); check(e);
    long type = 0;
    EXPECT_EQ(d->callWithSelector(0x80000000UL, &type, sizeof type), -1);
  }
  instances.clear();  // destroying them calls nothing either
  EXPECT_EQ(gCountedCalls, 0);
}

TEST(DeviceInstance, WriteOfAnEmptyWindowIsRefusedWithoutACall) {
  ScriptedDevice peer;
  Instance device = peer.TakeInstance();
  auto window = device->writeWindow();
  peer.ClearLog();
  for (QVDeviceInstance::Window bad : {QVDeviceInstance::Window{nullptr, 4}, {window.first, 0}}) {
    long error = 0;
    EXPECT_EQ(device->write(bad, &error), (QVDeviceInstance::Window{nullptr, 0}));
    EXPECT_EQ(error, -1);
  }
  EXPECT_TRUE(peer.SelectorLog().empty());
}

// --- public device-information codes ------------------------------------------

TEST(DeviceInstance, DeviceTypeCodeAnswersThePublicType) {
  ScriptedDevice peer;
  Instance device = peer.TakeInstance();
  long type = 0;
  EXPECT_EQ(device->callWithSelector(0x80000000UL, &type, sizeof type), 0);
  EXPECT_EQ(type, 1);  // raw type 7
}

TEST(DeviceInstance, NameAndDescriptorCodes) {
  ScriptedDevice peer({.name = "nine-char"});
  Instance device = peer.TakeInstance();
  long size = 0;
  EXPECT_EQ(device->callWithSelector(0x80000002UL, &size, sizeof size), 0);
  EXPECT_EQ(size, 10);
  char name[10];
  std::memset(name, 'x', sizeof name);
  EXPECT_EQ(device->callWithSelector(0x80000001UL, name, sizeof name), 0);
  EXPECT_EQ(std::string(name, 10), std::string("nine-char\0", 10));

  // A text longer than the buffer leaves the buffer alone.
  char small[4] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(device->callWithSelector(0x80000001UL, small, sizeof small), 8);
  EXPECT_EQ(std::string(small, 4), "abcd");

  int seen = -2;
  for (unsigned long code : {0x80000100UL, 0x80000200UL, 0x80000500UL, 0x80000E00UL, 0x80000F00UL}) {
    int fd = -1;
    EXPECT_EQ(device->callWithSelector(code, &fd, sizeof fd), 0) << std::hex << code;
    EXPECT_GE(fd, 0);
    if (seen != -2) {
      EXPECT_EQ(fd, seen);
    }
    seen = fd;
  }
}

TEST(DeviceInstance, FixedSizeAnswersNeverOverrunASmallBuffer) {
  ScriptedDevice peer;
  Instance device = peer.TakeInstance();
  peer.ClearLog();
  unsigned char buffer[8];
  std::memset(buffer, 0xAB, sizeof buffer);
  EXPECT_EQ(device->callWithSelector(0x80000000UL, buffer, 4), 8);
  EXPECT_EQ(device->callWithSelector(0x80000002UL, buffer, 7), 8);
  EXPECT_EQ(device->callWithSelector(0x80000100UL, buffer, 3), 8);
  EXPECT_EQ(device->callWithSelector(0x80000000UL, nullptr, 8), -1);
  for (unsigned char b : buffer) EXPECT_EQ(b, 0xAB);
  EXPECT_TRUE(peer.SelectorLog().empty());
}

long UnknownTypeFunction(void*, Quorvane::qvdeviceselector selector, void* a1, void* a2) {
  if (selector == Quorvane::QVDEVICE_TYPE) {
    *static_cast<long*>(a1) = 3;
    *static_cast<long*>(a2) = 99;  // a length the caller must not see
    return 0;
  }
  return 0;
}

TEST(DeviceInstance, RawTypeWithoutPublicNumberAnswersMinusOne) {
  int dummy = 0;
  Instance device = QVDeviceInstance::initWithDeviceObjectAndFunction(&dummy, &UnknownTypeFunction);
  long type = 0;
  EXPECT_EQ(device->callWithSelector(0x80000000UL, &type, sizeof type), -1);
}

// Every public code and the selector it reaches; -1 marks a code not found.
struct CodeCase {
  unsigned long code;
  int selector;
};

const CodeCase kCodeCases[] = {
    {0, 13},           {1, 12},           {2, 14},           {3, 15},           {4, 16},
    {5, 17},           {6, -1},           {10, -1},          {15, -1},          {16, 0},
    {17, 1},           {18, 2},           {19, 10},          {20, 11},          {21, 18},
    {22, 19},          {23, 20},          {24, 23},          {25, 24},          {26, 25},
    {27, 21},          {28, 22},          {29, 4},           {30, 5},           {31, 6},
    {32, 7},           {33, 8},           {34, 9},           {35, -1},          {36, -1},
    {0x7FFFFFFF, -1},  {0x80000000, 26},  {0x80000001, 27},  {0x80000002, 28},  {0x80000003, -1},
    {0x80000004, -1},  {0x80000005, 9},   {0x80000006, 41},  {0x80000007, 42},  {0x80000008, -1},
    {0x800000FF, -1},  {0x80000100, 29},  {0x80000101, 30},  {0x80000102, -1},  {0x80000200, 29},
    {0x80000201, 34},  {0x80000202, 35},  {0x80000203, -1},  {0x80000500, 29},  {0x80000E00, 29},
    {0x80000F00, 29},  {0x80000919, -1},  {0x8000091A, 32},  {0x8000091B, 33},  {0x8000091C, 31},
    {0x8000091D, -1},  {0xC0000000, -1},  {0xC0000001, 40},  {0xC0000002, 36},  {0xC0000003, 37},
    {0xC0000004, 38},  {0xC0000005, 39},  {0xC0000006, -1},  {0xFFFFFFFF, -1},  {0x180000000, -1},
    {0x100000000, -1},
};

TEST(DeviceInstance, PublicCodesMapToTheirSelectors) {
  for (const CodeCase& c : kCodeCases) {
    const uint64_t answer = QVDeviceInstance::getSelector(c.code);
    if (c.selector < 0) {
      EXPECT_EQ(answer, 0u) << std::hex << c.code;
    } else {
      EXPECT_EQ(answer, (uint64_t{1} << 32) | static_cast<uint64_t>(c.selector)) << std::hex << c.code;
    }
  }
}

// A device function that records its calls and answers as the test says.
struct Recorded {
  int calls = 0;
  int selector = -1;
  void* a1 = nullptr;
  long a2Seen = 0;    // the length the device was handed
  bool a2Null = false;
  long answer = 0;
  long typeAnswer = 0;  // raw type stored for selector 26
};
Recorded gRecorded;

long RecordingFunction(void*, Quorvane::qvdeviceselector selector, void* a1, void* a2) {
  ++gRecorded.calls;
  gRecorded.selector = selector;
  gRecorded.a1 = a1;
  gRecorded.a2Null = a2 == nullptr;
  if (a2 != nullptr) {
    gRecorded.a2Seen = *static_cast<long*>(a2);
    *static_cast<long*>(a2) = 12345;  // must stay with the instance's copy
  }
  if (selector == Quorvane::QVDEVICE_TYPE && gRecorded.answer == 0) *static_cast<long*>(a1) = gRecorded.typeAnswer;
  return gRecorded.answer;
}

TEST(DeviceInstance, CallWithSelectorReachesTheDeviceOnlyForDeviceSelectors) {
  int object = 0;
  Instance device = QVDeviceInstance::initWithDeviceObjectAndFunction(&object, &RecordingFunction);
  for (const CodeCase& c : kCodeCases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.code);
    gRecorded = Recorded();
    gRecorded.typeAnswer = Quorvane::QVDEVICETYPE_TCPIP;
    alignas(8) unsigned char buffer[64] = {};
    const long answer = device->callWithSelector(c.code, buffer, sizeof buffer);
    // Not found, a world selector or close: the device is never called.
    if (c.selector < 0 || c.selector <= 9 || c.selector == 18) {
      EXPECT_EQ(answer, -1);
      EXPECT_EQ(gRecorded.calls, 0);
      continue;
    }
    EXPECT_EQ(answer, 0);
    EXPECT_EQ(gRecorded.calls, 1);
    EXPECT_EQ(gRecorded.selector, c.selector);
    // The length goes by value; a cookie is never the address of that copy.
    if (c.selector == 19 || c.selector == 21) {
      EXPECT_TRUE(gRecorded.a2Null);
    } else {
      EXPECT_EQ(gRecorded.a2Seen, 64);
    }
  }
  // An error of the device comes back unchanged.
  gRecorded = Recorded();
  gRecorded.answer = 52;
  long word = 0;
  EXPECT_EQ(device->callWithSelector(3, &word, sizeof word), 52);
}

TEST(DeviceInstance, DeviceTypeBecomesThePublicType) {
  int object = 0;
  Instance device = QVDeviceInstance::initWithDeviceObjectAndFunction(&object, &RecordingFunction);
  const std::pair<long, long> types[] = {{2, 14}, {4, 12}, {6, 15}, {7, 1}, {9, 2},
                                         {0, -1}, {1, -1}, {3, -1}, {5, -1}, {8, -1}, {12, -1}, {-4, -1}};
  for (auto [raw, expected] : types) {
    gRecorded = Recorded();
    gRecorded.typeAnswer = raw;
    long word = 77;
    const long answer = device->callWithSelector(0x80000000UL, &word, sizeof word);
    if (expected < 0) {
      EXPECT_EQ(answer, -1) << raw;
      EXPECT_EQ(word, 77) << raw;
    } else {
      EXPECT_EQ(answer, 0) << raw;
      EXPECT_EQ(word, expected) << raw;
    }
  }
}

TEST(DeviceInstance, OperationsReadTheWorldsAnswersThroughTheBridge) {
  qvtest::Fake() = qvtest::FakeRecord();
  qvtest::Fake().protocol = "FakeProtocol";
  void* world = nullptr;
  ASSERT_EQ(qvtest::FakeMain(&world, Quorvane::QVDEVICE_WORLD_INIT, nullptr, nullptr), 0);
  {
    Instance device =
        QVDeviceInstance::initWithDeviceObjectAndFunction(new qvtest::FakeDevice("bridged"), &qvtest::FakeMain);
    long error = 9;
    EXPECT_EQ(device->type(&error), Quorvane::QVDEVICETYPE_TCPIP);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(device->getFileDescriptor(&error), 7);
    EXPECT_EQ(device->modes(&error), 6);
    EXPECT_EQ(device->streamCapacity(&error), 5120);
    EXPECT_EQ(Quorvane::ToStdString(device->protocolName(&error)), "FakeProtocol");
    EXPECT_EQ(Quorvane::ToStdString(device->id(&error)), "fake-world-1");
    EXPECT_EQ(Quorvane::ToStdString(device->name(&error)), "bridged");
    EXPECT_EQ(error, 0);
    qvtest::Fake().calls.clear();
    error = 9;
    device->acknowledge(&error);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(device->readyCondition(&error), nullptr);
    EXPECT_EQ(error, 30);
    error = 9;
    device->setNotifyWindow(&error, &error);
    EXPECT_EQ(error, 30);
    error = 9;
    device->releaseNotifyWindow(&error);
    EXPECT_EQ(error, 30);
    EXPECT_TRUE(qvtest::Fake().calls.empty());
    // A failing device answers the empty values.
    qvtest::Fake().plan = {"device.GetFD", [] {
                             throw Quorvane::QVException("x", "t", 1, Quorvane::qvexceptiontype::internalError, 0);
                           }, 0};
    EXPECT_EQ(device->getFileDescriptor(&error), -1);
    EXPECT_EQ(error, -1);
    qvtest::Fake().plan = {};
  }
  EXPECT_EQ(qvtest::Fake().devicesAlive, 0);
  EXPECT_EQ(qvtest::Fake().notified, 1);
  qvtest::FakeMain(world, Quorvane::QVDEVICE_WORLD_DEINIT, nullptr, nullptr);
  Instance empty = QVDeviceInstance::init();
  long error = 0;
  EXPECT_EQ(empty->type(&error), 0);
  EXPECT_EQ(error, -1);
  EXPECT_EQ(empty->getFileDescriptor(&error), -1);
  EXPECT_TRUE(empty->protocolName(&error).empty());
  EXPECT_EQ(error, -1);
}

TEST(DeviceInstance, PrintsTheDeviceAndFunctionPointersWithoutCallingTheDevice) {
  qvtest::Fake() = qvtest::FakeRecord();
  auto* device = new qvtest::FakeDevice("printed");
  struct PrintCase {
    Instance instance;
    void* device;
    void* function;
  };
  PrintCase cases[] = {
      {QVDeviceInstance::init(), nullptr, nullptr},
      {QVDeviceInstance::initWithDeviceObjectAndFunction(device, &qvtest::FakeMain), device,
       reinterpret_cast<void*>(&qvtest::FakeMain)},
  };
  for (PrintCase& c : cases) {
    std::ostringstream expected;
    expected << "<QVDeviceInstance><theDevice>" << c.device << "</theDevice><interfaceFunction>" << c.function
             << "</interfaceFunction></QVDeviceInstance>";
    std::ostringstream printed;
    c.instance->print(printed);
    EXPECT_EQ(printed.str(), expected.str());
    std::ostringstream streamed;
    streamed << *c.instance;
    EXPECT_EQ(streamed.str(), expected.str());
  }
  EXPECT_TRUE(qvtest::Fake().calls.empty());
}

// --- closing ------------------------------------------------------------------

TEST(DeviceInstance, LastReferenceClosesTheDeviceOnce) {
  ScriptedDevice peer;
  {
    Instance device = peer.TakeInstance();
    Instance copy = device;
    Instance another;
    another = copy;
    device = Instance();
    copy = another;
    EXPECT_EQ(peer.CloseCount(), 0);
  }
  EXPECT_EQ(peer.CloseCount(), 1);
  EXPECT_EQ(peer.SelectorLog(), std::vector<int>{18});
  EXPECT_EQ(peer.Device(), nullptr);
}

TEST(DeviceInstance, ClosingTheDeviceEndsThePeersStream) {
  ScriptedDevice peer;
  { Instance device = peer.TakeInstance(); }
  // The capture thread stops at the end of the stream; a later write by the
  // test then fails, which shows the device's end is really closed.
  EXPECT_TRUE(qvtest::WaitUntil([&] {
    try {
      peer.WriteBytes("x");
      return false;
    } catch (const std::runtime_error&) {
      return true;
    }
  }));
}

TEST(DeviceInstance, HandlesDroppedAcrossThreadsCloseTheDeviceOnce) {
  std::mt19937 rng(12345);
  for (int round = 0; round < 40; ++round) {
    ScriptedDevice peer;
    std::vector<Instance> handles(6, peer.TakeInstance());
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (Instance& handle : handles) {
      int copies = static_cast<int>(rng() % 5);
      threads.emplace_back([&go, mine = std::move(handle), copies]() mutable {
        while (!go.load()) std::this_thread::yield();
        std::vector<Instance> extra(static_cast<size_t>(copies), mine);
        long error = 0;
        mine->hasData(&error);
        mine = Instance();
        extra.clear();
      });
    }
    handles.clear();
    go = true;
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(peer.CloseCount(), 1) << "round " << round;
  }
}

}  // namespace
