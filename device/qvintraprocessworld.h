// The "IntraProcess" world: links whose two ends live in this process,
// joined through a shared core found by link name. The listening end draws
// the name; the connecting end is given it.
#pragma once

#include <ostream>

#include "device/qvdeviceworld.h"

namespace Quorvane {

class QVIntraProcessWorld : public QVDeviceWorld {
 public:
  QVIntraProcessWorld();
  ~QVIntraProcessWorld() override;

  QVDevice* MakeDevice(char* block) override;
  QVDevice* MakeDeviceWithParameters(QVDeviceParameters* parameters) override;
  QVSignalHandlerList* GetSignalHandlers() override;
  void ReleaseSignalHandlers(QVSignalHandlerList* list) override;
  unsigned long Modes() override { return kModes; }
  QVString ProtocolName() const override { return kProtocolName; }
  long StreamCapacity() override { return 0; }
  QVString Id() const override;
  QVString GetCompileTime() const override;
  void PrintWorld(std::ostream& os) const override;

  static constexpr unsigned long kModes = 6;  // Listen and Connect
  static constexpr char kProtocolName[] = "IntraProcess";
};

// The world's interface function, for the device manager.
long QVIntraProcessInterface(void* object, qvdeviceselector selector, void* a1, void* a2) noexcept;

}  // namespace Quorvane
