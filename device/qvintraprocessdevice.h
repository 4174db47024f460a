// One end of an "IntraProcess" link: writes one stream of the shared core
// and reads the other. A waiting reader or connector sleeps on its own
// condition in short slices, so it notices when the other end's device has
// gone instead of waiting for ever.
#pragma once

#include <cstdint>
#include <ostream>

#include "device/qvdeviceworld.h"
#include "device/qvintraprocesscore.h"

namespace Quorvane {

class QVIntraProcessWorld;

class QVIntraProcessDevice : public QVDevice {
 public:
  static constexpr long kWaitSliceMicroseconds = 100000;

  // Made only by the world; failures are QVExceptions and leave nothing made.
  QVIntraProcessDevice(const QVDeviceParameters& parameters, QVSideOfConnection side, QVIntraProcessWorld* world);
  ~QVIntraProcessDevice() override;

  bool ConnectReady() override;
  void Connect() override;
  void Write(char* start, unsigned long count) override;
  void WriteWindow(char** start, unsigned long* size) override;
  void Read(char** start, unsigned long* size) override;
  void ReadComplete(char* start, unsigned long count) override;
  bool HasDataQ() override;
  void WriteMessage(unsigned long code, unsigned long argument) override;
  void ReadMessage(unsigned long* code, unsigned long* argument) override;
  bool HasMessageQ() override;
  void SetMessageHandler(QVDeviceMessageHandler handler, void* cookie) override;
  void GetMessageHandler(QVDeviceMessageHandler* handler, void** cookie) override;
  void SetYieldFunction(QVDeviceYieldFunction function, void* cookie) override;
  void GetYieldFunction(QVDeviceYieldFunction* function, void** cookie) override;
  long Type() override { return 6; }
  QVString Name() override { return core->getName(); }
  long NameSize() override { return static_cast<long>(core->getName().size()); }
  int GetFD() override { return core->getLocalReadCondition(side).GetRawObject(); }
  bool HasConnectionQ() override { return core->remoteSideHasConnectedQ(side); }
  long Mode() override { return side; }
  unsigned long Options() override { return 0; }
  unsigned long Modes() override;
  QVString ProtocolName() const override;
  long StreamCapacity() override;
  QVString Id() const override;
  QVString GetCompileTime() const override;
  void notifyForClosedConnection() override {}
  void PrintDevice(std::ostream& os) const override;

 private:
  const QVIntraProcessWorld& TheWorld() const;
  // Calls this side's yield function; a nonzero answer backs out with text.
  void YieldOrBackOut(const char* text);
  // The stream was found empty: the reader's condition is reset, and
  // signalled again when bytes came in meanwhile, so the descriptor GetFD
  // hands out stays readable while data waits.
  void ResetIfEmpty();

  QVIntraProcessWorld* world;
  QVDeviceParameters parameters;
  QVSideOfConnection side;
  uint64_t BytesRead = 0;
  uint64_t BytesWrote = 0;
  QVIntraProcessCore* core;
  QVIntraStream* writeStream;
  QVIntraStream* readStream;
};

}  // namespace Quorvane
