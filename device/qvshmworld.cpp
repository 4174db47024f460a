#include "device/qvshmworld.h"

#include <signal.h>

#include <memory>

#include "device/qvmessagelayer.h"
#include "device/qvshmdevice.h"
#include "device/qvshmworldstate.h"

namespace Quorvane {

QVSharedMemoryWorld::QVSharedMemoryWorld() : worldNumber(shmworld::TakeWorldNumber()) {
  resetOpenFileLimit();
  shmworld::WorldArrives(worldNumber);
}

QVSharedMemoryWorld::~QVSharedMemoryWorld() { shmworld::WorldLeaves(worldNumber); }

std::optional<rlim_t> QVSharedMemoryWorld::RaisedOpenFileLimit(rlim_t soft, rlim_t hard) {
  if (soft == hard || soft >= kWantedOpenFiles) return std::nullopt;
  return kWantedOpenFiles;
}

void QVSharedMemoryWorld::resetOpenFileLimit() {
  rlimit limits{};
  if (getrlimit(RLIMIT_NOFILE, &limits) != 0) return;
  const std::optional<rlim_t> soft = RaisedOpenFileLimit(limits.rlim_cur, limits.rlim_max);
  if (!soft) return;
  limits.rlim_cur = *soft;
  // A hard limit below the wish refuses this; the limit then stays as it was.
  (void)setrlimit(RLIMIT_NOFILE, &limits);
}

QVDevice* QVSharedMemoryWorld::MakeDevice(char* block) {
  QVDeviceParameters parameters(block);
  return MakeDeviceWithParameters(&parameters);
}

QVDevice* QVSharedMemoryWorld::MakeDeviceWithParameters(QVDeviceParameters* parameters) {
  auto device = std::make_unique<QVSharedMemoryDevice>(parameters, this);
  {
    std::lock_guard<std::mutex> hold(shmworld::worldTableLock());
    shmworld::worldTable()[worldNumber].try_emplace(device->getDeviceNumber(), device.get());
  }
  return device.release();
}

QVSignalHandlerList* QVSharedMemoryWorld::GetSignalHandlers() {
  auto list = std::make_unique<QVSignalHandlerList>();
  // Signal-driven input of the message layer, then this world's own handler.
  for (int number : {SIGIO, SIGURG}) list->emplace_back(number, &unix_signal_handler, false, false, true);
  for (int number : {SIGCHLD, SIGSEGV, SIGBUS, SIGHUP, SIGPIPE}) {
    list->emplace_back(number, &QVSharedMemorySignalHandler, false, false, true);
  }
  return list.release();
}

void QVSharedMemoryWorld::ReleaseSignalHandlers(QVSignalHandlerList* list) { delete list; }

QVString QVSharedMemoryWorld::BuildId() { return QVString("QVSharedMemoryWorld " __DATE__ " " __TIME__); }

QVString QVSharedMemoryWorld::BuildTime() { return QVString(__DATE__ ":" __TIME__); }

void QVSharedMemoryWorld::PrintWorld(std::ostream& os) const {
  os << "<QVSharedMemoryWorld><Id>" << Id() << "</Id><currentlyActiveWorlds>" << shmworld::ActiveWorlds()
     << "</currentlyActiveWorlds><nextWorldNumber>" << shmworld::NextWorldNumber()
     << "</nextWorldNumber><worldNumber>" << worldNumber << "</worldNumber><nextDeviceNumber>"
     << shmworld::NextDeviceNumber() << "</nextDeviceNumber></QVSharedMemoryWorld>";
}

void QVSharedMemorySignalHandler(int signal) {
  if (signal != SIGHUP && signal != SIGSEGV && signal != SIGBUS) return;
  const bool fault = signal != SIGHUP;
  // No lock: this runs in signal context, perhaps on a thread that holds it.
  for (auto& [world, devices] : shmworld::worldTable()) {
    for (auto& [number, device] : devices) {
      if (device != nullptr) device->ReleaseInSignal(!fault);
    }
  }
  if (!fault) return;
  // Returning would run the faulting instruction again, for ever: let the
  // signal end the process as it would without us.
  struct sigaction standard {};
  standard.sa_handler = SIG_DFL;
  sigemptyset(&standard.sa_mask);
  sigaction(signal, &standard, nullptr);
  raise(signal);
}

}  // namespace Quorvane
