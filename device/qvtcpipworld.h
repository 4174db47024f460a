// The "TCPIP" world: makes TCPIP devices and owns what they share in the
// process: the list of live devices, the signal handler, the one
// "TCPIP-SignalHandler" thread that hands out-of-band messages to the links,
// and per world the "TCPIP-IPInterfaceThread" that keeps the list of network
// interfaces fresh.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <ostream>
#include <vector>

#include "device/qvdeviceworld.h"
#include "network/qvinterface.h"
#include "utilities/qvthreadprimitives.h"
#include "utilities/qvversion.h"

namespace Quorvane {

class QVTCPIPDevice;

class QVTCPIPWorld : public QVDeviceWorld {
 public:
  QVTCPIPWorld();
  ~QVTCPIPWorld() override;

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

  // The preferred interface's name, the container and its lock; each starts
  // the interface thread first.
  QVString GetInterface();
  QVInterfaceContainer* GetInterfaceContainer();
  std::mutex& GetInterfaceThreadMutex();
  void StartInterfaceThread();

  static constexpr unsigned long kModes = 6;
  static constexpr char kProtocolName[] = "TCPIP";
  static const QVVersion version;

  // Device bookkeeping: every live device is listed, in creation order.
  static void AddDevice(QVTCPIPDevice* device);
  static void RemoveDevice(QVTCPIPDevice* device);
  // The handler the environment installs for SIGIO, SIGURG, SIGSEGV, SIGBUS, SIGHUP.
  static void SignalHandler(int number);
  // For tests: whether the process's signal thread runs.
  static bool SignalThreadRunningQ();
  // The number of the last wake-up signal (SIGIO or SIGURG) the signal thread
  // has not yet taken; 0 for none.
  static std::atomic<int>* getSigNumber();

 private:
  void InterfaceWatch();

  bool stopInterface = false;  // guarded by interfaceLock
  std::mutex startLock;  // guards the start; never held with interfaceLock
  std::atomic<bool> interfaceStarted{false};
  std::unique_ptr<QVInterfaceContainer> container;
  std::mutex interfaceLock;
  std::condition_variable interfaceWake;
  std::unique_ptr<QVThread> interfaceThread;
};

long QVTCPIPInterface(void* object, qvdeviceselector selector, void* a1, void* a2) noexcept;

}  // namespace Quorvane
