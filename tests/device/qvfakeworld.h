// A world and device pair for the bridge: every operation records that it ran
// and throws whatever the test planned for it, so each selector's exception
// map can be driven through qvdevice_main. Without a plan they behave as a
// quiet device that has nothing to read and takes every write.
#pragma once

#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "device/qvcallbackhandlers.h"
#include "device/qvdevicebridge.h"

namespace qvtest {

// What the next call of one operation ("device.Read", "world.MakeDevice",
// "world.new" for the world's construction...) throws. One plan at a time.
struct FakePlan {
  std::string operation;
  std::function<void()> raise;
  int reached = 0;  // calls of the planned operation
};

struct FakeRecord {
  FakePlan plan;
  std::vector<std::string> calls;  // every operation, in order
  int notified = 0;                // notifyForClosedConnection calls
  int devicesAlive = 0;
  int worldsAlive = 0;
  int otherDevicesAlive = 0;
  long type = Quorvane::QVDEVICETYPE_TCPIP;
  std::string protocol = "Fake";
  std::string worldId = "fake-world-1";
  bool makeOtherClass = false;  // MakeDevice answers a device of another class
  bool noticeThrows = false;    // notifyForClosedConnection throws after it is counted
  std::vector<int> signals;     // the world asks for a handler of each
};

inline FakeRecord& Fake() {
  static FakeRecord record;
  return record;
}

inline void Touch(const std::string& operation) {
  FakeRecord& record = Fake();
  record.calls.push_back(operation);
  if (record.plan.operation == operation && record.plan.raise) {
    ++record.plan.reached;
    record.plan.raise();
  }
}

class FakeDeviceBase : public Quorvane::QVDevice {
 public:
  explicit FakeDeviceBase(std::string name) : name_(std::move(name)) { ++Fake().devicesAlive; }
  ~FakeDeviceBase() override { --Fake().devicesAlive; }

  bool ConnectReady() override { Touch("device.ConnectReady"); return connected_; }
  void Connect() override { Touch("device.Connect"); connected_ = true; }
  void Write(char*, unsigned long) override { Touch("device.Write"); }
  void WriteWindow(char** start, unsigned long* size) override {
    Touch("device.WriteWindow");
    *start = window_;
    *size = sizeof window_;
  }
  void Read(char** start, unsigned long* size) override {
    Touch("device.Read");
    *start = window_;
    *size = 0;
  }
  void ReadComplete(char*, unsigned long) override { Touch("device.ReadComplete"); }
  bool HasDataQ() override { Touch("device.HasDataQ"); return false; }
  void WriteMessage(unsigned long, unsigned long) override { Touch("device.WriteMessage"); }
  void ReadMessage(unsigned long* code, unsigned long* argument) override {
    Touch("device.ReadMessage");
    *code = 3;
    *argument = 4;
  }
  bool HasMessageQ() override { Touch("device.HasMessageQ"); return true; }
  void SetMessageHandler(Quorvane::QVDeviceMessageHandler handler, void* cookie) override {
    Touch("device.SetMessageHandler");
    handlers_.messageHandler = handler;
    handlers_.messageCookie = cookie;
  }
  void GetMessageHandler(Quorvane::QVDeviceMessageHandler* handler, void** cookie) override {
    Touch("device.GetMessageHandler");
    *handler = handlers_.messageHandler;
    *cookie = handlers_.messageCookie;
  }
  void SetYieldFunction(Quorvane::QVDeviceYieldFunction function, void* cookie) override {
    Touch("device.SetYieldFunction");
    handlers_.yieldFunction = function;
    handlers_.yieldCookie = cookie;
  }
  void GetYieldFunction(Quorvane::QVDeviceYieldFunction* function, void** cookie) override {
    Touch("device.GetYieldFunction");
    *function = handlers_.yieldFunction;
    *cookie = handlers_.yieldCookie;
  }
  long Type() override { Touch("device.Type"); return Fake().type; }
  Quorvane::QVString Name() override { Touch("device.Name"); return Quorvane::QVString(name_.c_str()); }
  long NameSize() override { Touch("device.NameSize"); return static_cast<long>(name_.size()); }
  int GetFD() override { Touch("device.GetFD"); return 7; }
  bool HasConnectionQ() override { Touch("device.HasConnectionQ"); return connected_; }
  long Mode() override { Touch("device.Mode"); return listening_ ? 1 : 0; }
  unsigned long Options() override { Touch("device.Options"); return 0x100; }
  unsigned long Modes() override { Touch("device.Modes"); return 6; }
  Quorvane::QVString ProtocolName() const override {
    Touch("device.ProtocolName");
    return Quorvane::QVString(Fake().protocol.c_str());
  }
  long StreamCapacity() override { Touch("device.StreamCapacity"); return 5120; }
  Quorvane::QVString Id() const override {
    Touch("device.Id");
    return Quorvane::QVString(Fake().worldId.c_str());
  }
  Quorvane::QVString GetCompileTime() const override { return Quorvane::QVString("fixed"); }
  void notifyForClosedConnection() override {
    ++Fake().notified;
    Touch("device.notifyForClosedConnection");
    if (Fake().noticeThrows) throw std::runtime_error("busy");
  }
  void PrintDevice(std::ostream& os) const override { os << "<FakeDevice>" << name_ << "</FakeDevice>"; }

  void setListening(bool listening) { listening_ = listening; }

 private:
  std::string name_;
  bool connected_ = false;
  bool listening_ = false;
  char window_[64] = {};
  Quorvane::QVCallbackHandlers handlers_;
};

class FakeDevice final : public FakeDeviceBase {
 public:
  using FakeDeviceBase::FakeDeviceBase;
};

// A device of a class the fake world's bridge does not know.
class OtherDevice final : public FakeDeviceBase {
 public:
  OtherDevice() : FakeDeviceBase("other") { ++Fake().otherDevicesAlive; }
  ~OtherDevice() override { --Fake().otherDevicesAlive; }
};

inline void FakeSignalHandler(int) {}

class FakeWorld : public Quorvane::QVDeviceWorld {
 public:
  FakeWorld() {
    Touch("world.new");
    ++Fake().worldsAlive;
  }
  ~FakeWorld() override { --Fake().worldsAlive; }

  Quorvane::QVDevice* MakeDevice(char* block) override {
    Touch("world.MakeDevice");
    return Make(Quorvane::QVDeviceParameters(block));
  }
  Quorvane::QVDevice* MakeDeviceWithParameters(Quorvane::QVDeviceParameters* parameters) override {
    Touch("world.MakeDeviceWithParameters");
    return Make(*parameters);
  }
  Quorvane::QVSignalHandlerList* GetSignalHandlers() override {
    Touch("world.GetSignalHandlers");
    auto* list = new Quorvane::QVSignalHandlerList();
    for (int number : Fake().signals) list->emplace_back(number, &FakeSignalHandler, false, false, true);
    return list;
  }
  void ReleaseSignalHandlers(Quorvane::QVSignalHandlerList* list) override {
    Touch("world.ReleaseSignalHandlers");
    delete list;
  }
  unsigned long Modes() override { Touch("world.Modes"); return 6; }
  Quorvane::QVString ProtocolName() const override {
    Touch("world.ProtocolName");
    return Quorvane::QVString(Fake().protocol.c_str());
  }
  long StreamCapacity() override { Touch("world.StreamCapacity"); return 5120; }
  Quorvane::QVString Id() const override {
    Touch("world.Id");
    return Quorvane::QVString(Fake().worldId.c_str());
  }
  Quorvane::QVString GetCompileTime() const override { return Quorvane::QVString("fixed"); }
  void PrintWorld(std::ostream& os) const override { os << "<FakeWorld/>"; }

 private:
  static Quorvane::QVDevice* Make(const Quorvane::QVDeviceParameters& parameters) {
    if (Fake().makeOtherClass) return new OtherDevice();
    auto* device = new FakeDevice(Quorvane::ToStdString(parameters.Name));
    device->setListening((parameters.Mode & 2) != 0);
    return device;
  }
};

inline long FakeMain(void* object, Quorvane::qvdeviceselector selector, void* a1, void* a2) {
  return qvdevice_main<FakeWorld, FakeDevice>(object, selector, a1, a2);
}

}  // namespace qvtest
