// The world bridge over a fake world and device: every selector's answer for
// every exception its operation can throw, the pointers each selector needs,
// the closed-connection notice, closing, and the text answers.
#include "device/qvdevicebridge.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <new>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "device/qvcallbackhandlers.h"
#include "qvfakeworld.h"

namespace {

using Quorvane::QVException;
using Quorvane::qvdeviceselector;
using Quorvane::qvexceptiontype;
using qvtest::Fake;
using qvtest::FakeMain;

// Every exception type the library throws.
constexpr int kAllTypes[] = {1,  3,  4,  5,  6,  7,  8,  9,  12, 13, 14, 15, 17, 18, 19, 20, 21, 22, 23, 24, 25,
                             26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 43, 44, 51, 54, 55, 59, 60, 61, 62, 67, 68,
                             69, 70};

// What the test throws: a library exception of a type, or something else.
struct Thrown {
  std::string name;
  std::function<void()> raise;
  int asType;  // the library type it stands for; 0 for none
};

std::vector<Thrown> AllThrown() {
  std::vector<Thrown> all;
  for (int type : kAllTypes) {
    all.push_back({"type " + std::to_string(type),
                   [type] { throw QVException("planned", "test", 1, static_cast<qvexceptiontype>(type), 0); },
                   type});
  }
  all.push_back({"std::bad_alloc", [] { throw std::bad_alloc(); }, 5});  // the allocator's "no memory"
  all.push_back({"std::runtime_error", [] { throw std::runtime_error("not ours"); }, 0});
  all.push_back({"int", [] { throw 42; }, 0});
  return all;
}

// The answer each selector gives for each exception type: a type missing from
// the map answers -1; "notify" marks the answers given after the device heard
// that its connection is gone.
struct Mapped {
  long code;
  bool notify;
};
using Map = std::map<int, Mapped>;

const Map kMake = {{5, {8, false}},   {6, {41, false}},  {54, {34, false}}, {69, {34, false}},
                   {55, {35, false}}, {59, {40, false}}, {61, {42, false}}, {62, {43, false}}};
const Map kNone = {};
const Map kNoMemory = {{5, {8, false}}};
const Map kConnect = {{9, {52, false}}, {51, {52, false}}, {35, {1, true}}};
const Map kTransfer = {{9, {52, false}}, {51, {52, false}}, {44, {11, true}}, {35, {1, true}}};
const Map kWindow = {{44, {11, true}}, {35, {1, true}}};
const Map kWriteWindow = {{9, {52, false}}, {51, {52, false}}, {44, {11, true}}, {35, {1, true}}};
const Map kHasMessage = {{5, {8, false}}, {44, {11, true}}, {35, {1, true}}};

struct SelectorCase {
  int selector;
  const char* operation;  // the operation that throws
  const Map* map;
};

const SelectorCase kSelectorCases[] = {
    {0, "world.new", &kNoMemory},
    {2, "world.MakeDevice", &kMake},
    {3, "world.MakeDeviceWithParameters", &kMake},
    {4, "world.GetSignalHandlers", &kNoMemory},
    {5, "world.ReleaseSignalHandlers", &kNone},
    {6, "world.ProtocolName", &kNone},
    {7, "world.Modes", &kNone},
    {8, "world.StreamCapacity", &kNone},
    {9, "world.Id", &kNone},
    {10, "device.ConnectReady", &kNone},
    {11, "device.Connect", &kConnect},
    {12, "device.Write", &kTransfer},
    {12, "device.WriteWindow", &kWriteWindow},
    {13, "device.WriteWindow", &kWriteWindow},
    {14, "device.HasDataQ", &kWindow},
    {15, "device.Read", &kTransfer},
    {16, "device.ReadComplete", &kWindow},
    {19, "device.SetYieldFunction", &kNone},
    {20, "device.GetYieldFunction", &kNone},
    {21, "device.SetMessageHandler", &kNone},
    {22, "device.GetMessageHandler", &kNone},
    {23, "device.WriteMessage", &kTransfer},
    {24, "device.HasMessageQ", &kHasMessage},
    {25, "device.ReadMessage", &kTransfer},
    {26, "device.Type", &kNone},
    {27, "device.Name", &kNone},
    {28, "device.NameSize", &kNone},
    {29, "device.GetFD", &kNone},
    {36, "device.Modes", &kNone},
    {37, "device.ProtocolName", &kNone},
    {38, "device.StreamCapacity", &kNone},
    {39, "device.Id", &kNone},
    {41, "device.Mode", &kNone},
    {42, "device.Options", &kNone},
};

qvdeviceselector Selector(int number) { return static_cast<qvdeviceselector>(number); }

std::string Block(const std::string& name) { return std::string("Fake\0" "4\0", 7) + name + std::string("\0\0\0" "0\0", 5); }

// A fresh world and device, with arguments every selector can take, and the
// bookkeeping undone at the end.
class BridgeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Fake() = qvtest::FakeRecord();
    ASSERT_EQ(FakeMain(&world_, Quorvane::QVDEVICE_WORLD_INIT, nullptr, nullptr), 0);
    device_ = new qvtest::FakeDevice("link-a");
    Fake().calls.clear();
  }
  void TearDown() override {
    Fake().plan = {};
    if (device_ != nullptr) FakeMain(device_, Quorvane::QVDEVICE_CLOSE, nullptr, nullptr);
    FakeMain(world_, Quorvane::QVDEVICE_WORLD_DEINIT, nullptr, nullptr);
    EXPECT_EQ(Fake().devicesAlive, 0);
    EXPECT_EQ(Fake().worldsAlive, 0);
  }

  // Calls selector with arguments it can use: a1 a zeroed aligned buffer
  // (or the list, for 5), a2 a capacity of 64 (or the block or parameters).
  long Call(int selector) {
    std::memset(buffer_, 0, sizeof buffer_);
    capacity_ = 64;
    void* a1 = buffer_;
    void* a2 = &capacity_;
    void* object = selector <= 9 ? world_ : static_cast<void*>(device_);
    if (selector == 0) object = &made_;
    if (selector == 2) a2 = block_.data();
    if (selector == 3) a2 = &parameters_;
    if (selector == 5) a1 = new Quorvane::QVSignalHandlerList();
    const long answer = FakeMain(object, Selector(selector), a1, a2);
    // What succeeded made something to put away.
    if (selector == 0 && answer == 0) FakeMain(made_, Quorvane::QVDEVICE_WORLD_DEINIT, nullptr, nullptr);
    if ((selector == 2 || selector == 3) && answer == 0) {
      FakeMain(*reinterpret_cast<void**>(buffer_), Quorvane::QVDEVICE_CLOSE, nullptr, nullptr);
    }
    if (selector == 4 && answer == 0) delete *reinterpret_cast<Quorvane::QVSignalHandlerList**>(buffer_);
    if (selector == 5 && answer != 0) delete static_cast<Quorvane::QVSignalHandlerList*>(a1);
    return answer;
  }

  void* world_ = nullptr;
  qvtest::FakeDevice* device_ = nullptr;
  void* made_ = nullptr;
  alignas(8) unsigned char buffer_[64] = {};
  long capacity_ = 64;
  std::string block_ = Block("made");
  Quorvane::QVDeviceParameters parameters_{Block("made").c_str()};
};

TEST_F(BridgeTest, EverySelectorAnswersEveryExceptionByItsMap) {
  for (const SelectorCase& c : kSelectorCases) {
    for (const Thrown& thrown : AllThrown()) {
      SCOPED_TRACE(std::string(c.operation) + " throws " + thrown.name);
      Fake().plan = {c.operation, thrown.raise, 0};
      Fake().notified = 0;
      long answer = 0;
      EXPECT_NO_THROW(answer = Call(c.selector));
      EXPECT_EQ(Fake().plan.reached, 1) << "the planned operation did not run";
      auto mapped = c.map->find(thrown.asType);
      const long expected = mapped == c.map->end() ? -1 : mapped->second.code;
      const bool notify = mapped != c.map->end() && mapped->second.notify;
      EXPECT_EQ(answer, expected);
      EXPECT_EQ(Fake().notified, notify ? 1 : 0);
    }
  }
}

TEST_F(BridgeTest, ClosedConnectionIsNotifiedBeforeTheAnswer) {
  // The notice comes first, once, even when the notice itself throws.
  for (bool noticeThrows : {false, true}) {
    SCOPED_TRACE(noticeThrows ? "notice throws" : "notice quiet");
    Fake().plan = {"device.Read", [] { throw QVException("closed", "test", 1, qvexceptiontype::connectionClosed, 0); },
                   0};
    Fake().noticeThrows = noticeThrows;
    Fake().calls.clear();
    char* start = nullptr;
    long size = 0;
    EXPECT_EQ(FakeMain(device_, Quorvane::QVDEVICE_READ, &start, &size), 11);
    EXPECT_EQ(Fake().calls, (std::vector<std::string>{"device.Read", "device.notifyForClosedConnection"}));
  }
  Fake().noticeThrows = false;
}

TEST_F(BridgeTest, NullPointersTheSelectorNeedsAnswerMinusOneBeforeAnyCall) {
  struct Needs {
    int selector;
    bool a1;
    bool a2;
  };
  const Needs needs[] = {{1, false, false}, {2, true, true},   {3, true, true},   {4, true, false},
                         {5, true, false},  {6, true, true},   {7, true, false},  {8, true, false},
                         {9, true, true},   {10, false, true}, {11, false, false}, {12, true, true},
                         {13, true, true},  {14, false, true}, {15, true, true},  {16, false, true},
                         {18, false, false}, {19, false, false}, {20, true, false}, {21, false, false},
                         {22, true, false}, {23, true, true},  {24, true, true},  {25, true, true},
                         {26, true, false}, {27, true, true},  {28, true, false}, {29, true, false},
                         {36, true, false}, {37, true, true},  {38, true, false}, {39, true, true},
                         {41, true, true},  {42, true, true}};
  alignas(8) unsigned char slot[64] = {};
  long value = 64;
  for (const Needs& n : needs) {
    SCOPED_TRACE("selector " + std::to_string(n.selector));
    Fake().calls.clear();
    EXPECT_EQ(FakeMain(nullptr, Selector(n.selector), slot, &value), -1);
    void* object = n.selector <= 9 ? world_ : static_cast<void*>(device_);
    if (n.a1) {
      EXPECT_EQ(FakeMain(object, Selector(n.selector), nullptr, &value), -1);
    }
    if (n.a2) {
      EXPECT_EQ(FakeMain(object, Selector(n.selector), slot, nullptr), -1);
    }
    EXPECT_TRUE(Fake().calls.empty());
  }
  EXPECT_EQ(FakeMain(nullptr, Quorvane::QVDEVICE_WORLD_INIT, nullptr, nullptr), -1);
  // Acknowledge needs nothing at all.
  EXPECT_EQ(FakeMain(nullptr, Quorvane::QVDEVICE_ACKNOWLEDGE, nullptr, nullptr), 0);
}

TEST_F(BridgeTest, SelectorsNoWorldServesAnswerMinusOne) {
  long value = 0;
  for (int selector : {30, 31, 32, 33, 34, 35, 40, 43, 44, 1000, -1}) {
    EXPECT_EQ(FakeMain(device_, Selector(selector), &value, &value), -1) << selector;
  }
  EXPECT_TRUE(Fake().calls.empty());
}

TEST_F(BridgeTest, CloseDestroysTheDeviceAlsoWhenTheNoticeThrows) {
  for (bool throws : {false, true}) {
    auto* device = new qvtest::FakeDevice("closing");
    Fake().notified = 0;
    Fake().noticeThrows = throws;
    const int alive = Fake().devicesAlive;
    EXPECT_EQ(FakeMain(device, Quorvane::QVDEVICE_CLOSE, nullptr, nullptr), 0);
    EXPECT_EQ(Fake().notified, 1);
    EXPECT_EQ(Fake().devicesAlive, alive - 1);
  }
  Fake().noticeThrows = false;
}

TEST_F(BridgeTest, ModeAndOptionsPreWriteZeroAndEight) {
  for (int selector : {41, 42}) {
    long first = 77;
    long second = 77;
    Fake().plan = {selector == 41 ? "device.Mode" : "device.Options",
                   [] { throw QVException("no", "test", 1, qvexceptiontype::internalError, 0); }, 0};
    EXPECT_EQ(FakeMain(device_, Selector(selector), &first, &second), -1);
    EXPECT_EQ(first, 0);
    EXPECT_EQ(second, 8);
  }
  Fake().plan = {};
  long mode = 0;
  long eight = 0;
  EXPECT_EQ(FakeMain(device_, Quorvane::QVDEVICE_MODE, &mode, &eight), 0);
  EXPECT_EQ(mode, 4);  // connecting
  device_->setListening(true);
  EXPECT_EQ(FakeMain(device_, Quorvane::QVDEVICE_MODE, &mode, &eight), 0);
  EXPECT_EQ(mode, 2);
  EXPECT_EQ(eight, 8);
  EXPECT_EQ(FakeMain(device_, Quorvane::QVDEVICE_OPTIONS, &mode, &eight), 0);
  EXPECT_EQ(mode, 0x100);
}

TEST_F(BridgeTest, TextAnswersFollowOneRule) {
  Fake().protocol = "Fakeproto";  // 9 bytes, like the world id and the name below
  Fake().worldId = "world-id9";
  delete device_;
  device_ = new qvtest::FakeDevice("link-nine");
  struct TextCase {
    int selector;
    bool world;
    bool storesLength;
  };
  for (const TextCase& t : {TextCase{6, true, true}, TextCase{9, true, false}, TextCase{27, false, false},
                            TextCase{37, false, false}, TextCase{39, false, false}}) {
    SCOPED_TRACE("selector " + std::to_string(t.selector));
    void* object = t.world ? world_ : device_;
    char buffer[32];
    // Fits: cleared over the capacity, no terminator written past the text.
    std::memset(buffer, 'x', sizeof buffer);
    long capacity = 12;
    ASSERT_EQ(FakeMain(object, Selector(t.selector), buffer, &capacity), 0);
    EXPECT_EQ(std::string(buffer, 12).substr(9), std::string(3, '\0'));
    EXPECT_EQ(buffer[12], 'x');
    EXPECT_EQ(capacity, t.storesLength ? 9 : 12);
    // Exactly the text's length: copied whole, nothing after it touched.
    std::memset(buffer, 'x', sizeof buffer);
    capacity = 9;
    ASSERT_EQ(FakeMain(object, Selector(t.selector), buffer, &capacity), 0);
    EXPECT_EQ(buffer[9], 'x');
    // Too long: 8 and the buffer as it was.
    std::memset(buffer, 'x', sizeof buffer);
    capacity = 8;
    EXPECT_EQ(FakeMain(object, Selector(t.selector), buffer, &capacity), 8);
    EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(sizeof buffer, 'x'));
    // The capacity is read as 32-bit unsigned: the high word does not count.
    capacity = (1L << 32) + 8;
    EXPECT_EQ(FakeMain(object, Selector(t.selector), buffer, &capacity), 8);
    capacity = (1L << 32) + 10;
    ASSERT_EQ(FakeMain(object, Selector(t.selector), buffer, &capacity), 0);
    EXPECT_EQ(buffer[10], 'x');
  }
}

TEST_F(BridgeTest, AnswersTravelThroughTheArguments) {
  long a = 0;
  long b = 0;
  EXPECT_EQ(FakeMain(device_, Quorvane::QVDEVICE_NAME_SIZE, &a, nullptr), 0);
  EXPECT_EQ(a, 7);  // "link-a" + 1
  EXPECT_EQ(FakeMain(device_, Quorvane::QVDEVICE_TYPE, &a, nullptr), 0);
  EXPECT_EQ(a, Quorvane::QVDEVICETYPE_TCPIP);
  int descriptor = -1;
  EXPECT_EQ(FakeMain(device_, Quorvane::QVDEVICE_FILE_DESCRIPTOR, &descriptor, nullptr), 0);
  EXPECT_EQ(descriptor, 7);
  EXPECT_EQ(FakeMain(device_, Quorvane::QVDEVICE_STREAM_CAPACITY, &a, &b), 0);
  EXPECT_EQ(a, 5120);
  EXPECT_EQ(b, 8);
  EXPECT_EQ(FakeMain(device_, Quorvane::QVDEVICE_STREAM_CAPACITY, &a, nullptr), 0);
  EXPECT_EQ(FakeMain(device_, Quorvane::QVDEVICE_HAS_MESSAGE, &a, &b), 0);
  EXPECT_EQ(a, 1);
  EXPECT_EQ(b, 1);
  EXPECT_EQ(FakeMain(device_, Quorvane::QVDEVICE_READ_MESSAGE, &a, &b), 0);
  EXPECT_EQ(a, 3);
  EXPECT_EQ(b, 4);
  EXPECT_EQ(FakeMain(device_, Quorvane::QVDEVICE_CONNECT_READY, nullptr, &a), 0);
  EXPECT_EQ(a, 0);
  EXPECT_EQ(FakeMain(device_, Quorvane::QVDEVICE_CONNECT, nullptr, nullptr), 0);
  EXPECT_EQ(FakeMain(device_, Quorvane::QVDEVICE_CONNECT_READY, nullptr, &a), 0);
  EXPECT_EQ(a, 1);
  auto handler = +[](void*, int, int) {};
  EXPECT_EQ(FakeMain(device_, Quorvane::QVDEVICE_SET_MESSAGE_HANDLER, reinterpret_cast<void*>(handler), &b), 0);
  Quorvane::QVDeviceMessageHandler got = nullptr;
  EXPECT_EQ(FakeMain(device_, Quorvane::QVDEVICE_GET_MESSAGE_HANDLER, &got, nullptr), 0);
  EXPECT_EQ(got, handler);
  char* window = nullptr;
  long size = 0;
  EXPECT_EQ(FakeMain(device_, Quorvane::QVDEVICE_WRITE_WINDOW, &window, &size), 0);
  EXPECT_EQ(size, 64);
  size = 5;
  EXPECT_EQ(FakeMain(device_, Quorvane::QVDEVICE_WRITE, &window, &size), 0);
  EXPECT_EQ(size, 64);  // the next window
  EXPECT_EQ(Fake().calls.back(), "device.WriteWindow");
}

TEST_F(BridgeTest, MakeAnswersOnlyTheWorldsOwnDeviceClass) {
  Fake().makeOtherClass = true;
  void* made = nullptr;
  std::string block = Block("x");
  EXPECT_EQ(FakeMain(world_, Quorvane::QVDEVICE_WORLD_MAKE, &made, block.data()), -1);
  EXPECT_EQ(made, nullptr);
  EXPECT_EQ(Fake().otherDevicesAlive, 0);  // not leaked
  Fake().makeOtherClass = false;
  ASSERT_EQ(FakeMain(world_, Quorvane::QVDEVICE_WORLD_MAKE, &made, block.data()), 0);
  long size = 0;
  EXPECT_EQ(FakeMain(made, Quorvane::QVDEVICE_NAME_SIZE, &size, nullptr), 0);
  EXPECT_EQ(size, 2);
  EXPECT_EQ(FakeMain(made, Quorvane::QVDEVICE_CLOSE, nullptr, nullptr), 0);
}

TEST(CallbackHandlers, PrintsCookiesAndWhetherFunctionsAreSet) {
  Quorvane::QVCallbackHandlers handlers;
  std::ostringstream empty;
  empty << handlers;
  EXPECT_EQ(empty.str(),
            "<QVCallbackHandlers><YieldCookie>0</YieldCookie><YieldFunction>0</YieldFunction><MessageCookie>0"
            "</MessageCookie><MessageHandler>0</MessageHandler></QVCallbackHandlers>");
  int cookie = 0;
  handlers.messageCookie = &cookie;
  handlers.messageHandler = +[](void*, int, int) {};
  std::ostringstream set;
  set << handlers;
  std::ostringstream address;
  address << static_cast<void*>(&cookie);
  EXPECT_NE(set.str().find("<MessageCookie>" + address.str() + "</MessageCookie><MessageHandler>1"),
            std::string::npos);
}

}  // namespace
