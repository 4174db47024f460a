// One registered device world: the world object and its interface function.
// Every operation on the world is one selector call.
#pragma once

#include <ostream>

#include "device/qvdeviceinstance.h"
#include "device/qvdeviceparameters.h"
#include "device/qvresult.h"
#include "utilities/qvsignalhandlermanager.h"
#include "utilities/qvsmartpointer.h"

namespace Quorvane {

using QVDeviceResult = QVResult<QVSmartPointer<QVDeviceInstance>, long>;

class QVDeviceWorldInstance : public QVObject {
 public:
  // Both make the world (selector 0); they throw "Unable to initialize world"
  // when it refuses, and worldInit's exception without a function.
  static QVSmartPointer<QVDeviceWorldInstance> initWithFunction(QVDeviceInterfaceFunction function);
  explicit QVDeviceWorldInstance(QVDeviceInterfaceFunction function);
  QVDeviceWorldInstance(const QVDeviceWorldInstance&) = delete;
  QVDeviceWorldInstance& operator=(const QVDeviceWorldInstance&) = delete;
  // Leaves the world alone: the manager deinitialises worlds explicitly.
  ~QVDeviceWorldInstance() override = default;

  long worldInit();    // selector 0; throws without a function
  void worldDeinit();  // selector 1, once, when the world was made

  QVDeviceResult makeDevice(const char* block);                   // selector 2
  QVDeviceResult makeDevice(const QVDeviceParameters& parameters);  // selector 3

  // Selectors 4 and 5: hands the world's list to the manager; the last result goes to *error.
  void loadSignalHandlers(QVSignalHandlerManager& manager, long* error);
  // Selector 6: a name of 512 bytes or more gives error 7 and an empty name.
  QVString protocolName(long* error);
  long modes(long* error);           // selector 7; 0 on error
  long streamCapacity(long* error);  // selector 8; 0 on error
  QVString id(long* error);          // selector 9; empty on error

  void print(std::ostream& os) const;

  void* world() const { return world_; }
  QVDeviceInterfaceFunction function() const { return function_; }

 private:
  QVDeviceResult finishMake(long result, void* device);

  long call(qvdeviceselector selector, void* a1, void* a2, long* error);

  void* world_ = nullptr;
  QVDeviceInterfaceFunction function_ = nullptr;
};

std::ostream& operator<<(std::ostream& os, const QVDeviceWorldInstance& world);

}  // namespace Quorvane
