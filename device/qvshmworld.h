// The "SharedMemory" world: makes the devices of links whose two ends share
// one memory segment on this machine, keeps the table of live devices, and
// runs the process's two watches (segments left by dead processes, peers that
// died while connected) for as long as any world of the process lives.
#pragma once

#include <sys/resource.h>

#include <cstdint>
#include <optional>
#include <ostream>

#include "device/qvdeviceworld.h"
#include "device/qvshmrecordmanager.h"

namespace Quorvane {

class QVSharedMemoryWorld : public QVDeviceWorld {
 public:
  QVSharedMemoryWorld();
  ~QVSharedMemoryWorld() override;

  QVDevice* MakeDevice(char* block) override;
  QVDevice* MakeDeviceWithParameters(QVDeviceParameters* parameters) override;
  QVSignalHandlerList* GetSignalHandlers() override;
  void ReleaseSignalHandlers(QVSignalHandlerList* list) override;
  unsigned long Modes() override { return kModes; }
  QVString ProtocolName() const override { return kProtocolName; }
  long StreamCapacity() override { return kStreamCapacity; }
  QVString Id() const override { return BuildId(); }
  QVString GetCompileTime() const override { return BuildTime(); }
  void PrintWorld(std::ostream& os) const override;

  // Raises the soft limit of open files as a new world does (best effort).
  static void resetOpenFileLimit();
  // The soft limit a world asks for, given the process's soft and hard
  // limits; nothing when they are to be left alone.
  static std::optional<rlim_t> RaisedOpenFileLimit(rlim_t soft, rlim_t hard);

  // The texts of Id and GetCompileTime, for devices too.
  static QVString BuildId();
  static QVString BuildTime();

  uint64_t getWorldNumber() const { return worldNumber; }
  QVSHMRecordManager& getRecordManager() { return recordManager; }

  static constexpr unsigned long kModes = 6;  // Listen and Connect
  static constexpr char kProtocolName[] = "SharedMemory";
  static constexpr long kStreamCapacity = 100000;
  static constexpr rlim_t kWantedOpenFiles = 4000;

 private:
  uint64_t worldNumber;
  QVSHMRecordManager recordManager;
};

// The world's interface function, for the device manager.
long QVSharedMemoryInterface(void* object, qvdeviceselector selector, void* a1, void* a2) noexcept;

// The world's handler of SIGHUP, SIGSEGV and SIGBUS (others pass through):
// every device is marked dead and its segment unmapped and removed. After a
// fault the default action is restored and the signal raised again, so the
// process still ends as the fault demands.
void QVSharedMemorySignalHandler(int signal);

}  // namespace Quorvane
