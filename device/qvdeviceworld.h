// The two classes an object-oriented device world is written as: the world,
// which makes devices and says what it offers, and the device, which moves a
// link's bytes. Both report failures by throwing QVException; the bridge in
// device/qvdevicebridge.h turns a pair of them into an interface function.
#pragma once

#include <ostream>

#include "device/qvdeviceinstance.h"
#include "device/qvdeviceparameters.h"
#include "utilities/qvobject.h"
#include "utilities/qvsignalhandlermanager.h"

namespace Quorvane {

class QVDevice;

class QVDeviceWorld : public QVObject {
 public:
  QVDeviceWorld() = default;
  QVDeviceWorld(const QVDeviceWorld&) = delete;
  QVDeviceWorld& operator=(const QVDeviceWorld&) = delete;
  ~QVDeviceWorld() override = default;

  // A new device from a parameter block text, or from unpacked parameters.
  virtual QVDevice* MakeDevice(char* block) = 0;
  virtual QVDevice* MakeDeviceWithParameters(QVDeviceParameters* parameters) = 0;
  // A new list of the handlers the world wants installed; freed by ReleaseSignalHandlers.
  virtual QVSignalHandlerList* GetSignalHandlers() = 0;
  virtual void ReleaseSignalHandlers(QVSignalHandlerList* list) = 0;
  virtual unsigned long Modes() = 0;  // bit set of the connection modes offered
  virtual QVString ProtocolName() const = 0;
  virtual long StreamCapacity() = 0;
  virtual QVString Id() const = 0;  // stable for one build
  virtual QVString GetCompileTime() const = 0;
  virtual void PrintWorld(std::ostream& os) const = 0;
};

class QVDevice : public QVObject {
 public:
  QVDevice() = default;
  QVDevice(const QVDevice&) = delete;
  QVDevice& operator=(const QVDevice&) = delete;
  ~QVDevice() override = default;

  virtual bool ConnectReady() = 0;
  virtual void Connect() = 0;
  // Commits count bytes written into the current window.
  virtual void Write(char* start, unsigned long count) = 0;
  virtual void WriteWindow(char** start, unsigned long* size) = 0;
  virtual void Read(char** start, unsigned long* size) = 0;
  // count bytes of the last read window were used.
  virtual void ReadComplete(char* start, unsigned long count) = 0;
  virtual bool HasDataQ() = 0;
  // HasDataQ for a caller about to block until data comes (a readiness wait):
  // a device that can look at its input cheaply may look for a moment first,
  // so that data about to come is met without a sleep.
  virtual bool HasDataSoonQ() { return HasDataQ(); }
  virtual void WriteMessage(unsigned long code, unsigned long argument) = 0;
  virtual void ReadMessage(unsigned long* code, unsigned long* argument) = 0;
  virtual bool HasMessageQ() = 0;
  virtual void SetMessageHandler(QVDeviceMessageHandler handler, void* cookie) = 0;
  virtual void GetMessageHandler(QVDeviceMessageHandler* handler, void** cookie) = 0;
  virtual void SetYieldFunction(QVDeviceYieldFunction function, void* cookie) = 0;
  virtual void GetYieldFunction(QVDeviceYieldFunction* function, void** cookie) = 0;
  virtual long Type() = 0;  // qvdevicetype
  virtual QVString Name() = 0;
  virtual long NameSize() = 0;  // length of the name
  virtual int GetFD() = 0;
  virtual bool HasConnectionQ() = 0;
  virtual long Mode() = 0;  // nonzero when the device listens
  virtual unsigned long Options() = 0;
  virtual unsigned long Modes() = 0;  // the modes of the device's world
  virtual QVString ProtocolName() const = 0;
  virtual long StreamCapacity() = 0;
  virtual QVString Id() const = 0;  // the identity of the device's world
  virtual QVString GetCompileTime() const = 0;
  // The connection is gone: release what is held for the peer.
  virtual void notifyForClosedConnection() = 0;
  virtual void PrintDevice(std::ostream& os) const = 0;
};

inline std::ostream& operator<<(std::ostream& os, const QVDeviceWorld& world) {
  world.PrintWorld(os);
  return os;
}

inline std::ostream& operator<<(std::ostream& os, const QVDevice& device) {
  device.PrintDevice(os);
  return os;
}

}  // namespace Quorvane
