// Device worlds by protocol name; making a link's device.
#include "device/qvdevicemanager.h"

#include "device/qvpipes.h"
#include "device/qvtcp.h"

#include "device/qvintraprocessworld.h"
#include "device/qvtcpipworld.h"
#include "device/qvshmworld.h"

namespace Quorvane {

namespace {

constexpr long kMalformedName = 42;
constexpr long kUnavailableProtocol = 34;
constexpr long kModeUnavailable = 35;

// 34 and 35 say "not this world": the next one may serve the link.
bool TryNextWorld(long error) { return error == kUnavailableProtocol || error == kModeUnavailable; }

// Each world's issue fills in its function when the world is built; until
// then an open that needs it finds no world and answers 34.
constexpr QVDeviceWorldRow kLibraryWorlds[] = {
    {"TCPIP", &QVTCPIPInterface},
    {"SharedMemory", &QVSharedMemoryInterface},
    {"IntraProcess", &QVIntraProcessInterface},
    {"Pipes", pipe_main},
    {"TCP", socket_main},
};

}  // namespace

std::span<const QVDeviceWorldRow> QVLibraryDeviceWorlds() { return kLibraryWorlds; }

QVSmartPointer<QVDeviceManager> QVDeviceManager::init() {
  return QVSmartPointer<QVDeviceManager>(new QVDeviceManager());
}

void QVDeviceManager::loadDevices() { loadDevices(QVLibraryDeviceWorlds()); }

void QVDeviceManager::loadDevices(std::span<const QVDeviceWorldRow> worlds) {
  for (const QVDeviceWorldRow& row : worlds) {
    if (row.function != nullptr) addWorld(row.function);
  }
}

void QVDeviceManager::registerWorldForTesting(QVDeviceInterfaceFunction function) {
  addWorld(function);
}

void QVDeviceManager::addWorld(QVDeviceInterfaceFunction function) {
  QVSmartPointer<QVDeviceWorldInstance> world = QVDeviceWorldInstance::initWithFunction(function);
  long error = 0;
  QVString name = world->protocolName(&error);
  // A world without a readable name, or whose name is taken, could never be
  // chosen: it is not kept, and ended now, or nothing ever would end it.
  if (error != 0 || name.empty() || !registry_.emplace(std::move(name), world).second) world->worldDeinit();
}

void QVDeviceManager::loadSignalHandlers(QVSignalHandlerManager& manager) {
  for (auto& [name, world] : registry_) {
    long error = 0;
    world->loadSignalHandlers(manager, &error);
    if (error != 0) {
      throw QVException("Unable to load signal handlers.", "device/qvdevicemanager", __LINE__,
                        qvexceptiontype::internalError, 0);
    }
  }
}

void QVDeviceManager::unloadDevices() {
  for (auto it = registry_.begin(); it != registry_.end();) {
    it->second->worldDeinit();
    it = registry_.erase(it);
  }
}

QVDeviceResult QVDeviceManager::choose(const QVString& protocol, const Maker& make, long* error) {
  auto finish = [error](QVDeviceResult result) {
    if (error != nullptr) *error = result.isOk() ? 0 : result.error();
    return result;
  };
  if (!protocol.empty()) {
    auto named = registry_.find(protocol);
    if (named != registry_.end()) return finish(make(*named->second));
  }
  // Nothing to try answers 34, like a protocol that every world refused.
  long last = kUnavailableProtocol;
  for (const QVString& name : preferredDeviceLoadOrder()) {
    auto world = registry_.find(name);
    if (world == registry_.end()) continue;
    QVDeviceResult result = make(*world->second);
    if (result.isOk() || !TryNextWorld(result.error())) return finish(result);
    last = result.error();
  }
  return finish(make_err(last));
}

QVDeviceResult QVDeviceManager::createDevice(const char* block, long* error) {
  if (!QVDeviceParameters::WellFormedBlock(block)) {
    if (error != nullptr) *error = kMalformedName;
    return make_err(kMalformedName);
  }
  QVDeviceParameters parameters(block);
  return choose(
      parameters.Protocol,
      [block](QVDeviceWorldInstance& world) { return world.makeDevice(block); }, error);
}

QVDeviceResult QVDeviceManager::createDevice(const QVDeviceParameters& parameters, long* error) {
  return choose(
      parameters.Protocol,
      [&parameters](QVDeviceWorldInstance& world) { return world.makeDevice(parameters); }, error);
}

QVDeviceManager::NameList QVDeviceManager::getDeviceList() const {
  NameList names;
  for (const auto& entry : registry_) names.push_back(entry.first);
  return names;
}

QVDeviceManager::NameList QVDeviceManager::preferredDeviceLoadOrder() {
  return NameList{"SharedMemory", "Pipes", "TCPIP", "IntraProcess", "TCP"};
}

}  // namespace Quorvane

namespace Quorvane {

void QVDeviceManager::print(std::ostream& os) const {
  os << "<QVDeviceManager><theDevices>";
  for (const auto& [name, world] : registry_) {
    os << "<entry><first>" << name << "</first><second>" << *world << "</second></entry>";
  }
  os << "</theDevices></QVDeviceManager>";
}

std::ostream& operator<<(std::ostream& os, const QVDeviceManager& manager) {
  manager.print(os);
  return os;
}

}  // namespace Quorvane
