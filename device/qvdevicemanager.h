// The registry of device worlds by protocol name, and the making of a link's
// device in the world the link names or, failing that, in order of preference.
#pragma once

#include <functional>
#include <map>
#include <ostream>
#include <span>
#include <vector>

#include "device/qvdeviceworldinstance.h"

namespace Quorvane {

// One world the manager can load: its protocol name, for the reader, and its
// interface function; a row whose world is not built yet has no function.
struct QVDeviceWorldRow {
  const char* protocol;
  QVDeviceInterfaceFunction function;
};

// The library's worlds in load order.
std::span<const QVDeviceWorldRow> QVLibraryDeviceWorlds();

class QVDeviceManager : public QVObject {
 public:
  using NameList = std::vector<QVString, QVStdAllocator<QVString>>;

  static QVSmartPointer<QVDeviceManager> init();
  QVDeviceManager() = default;
  QVDeviceManager(const QVDeviceManager&) = delete;
  QVDeviceManager& operator=(const QVDeviceManager&) = delete;
  ~QVDeviceManager() override = default;

  // Registers the library's worlds (QVLibraryDeviceWorlds).
  void loadDevices();
  // Registers the worlds of the rows that have a function, in row order:
  // selector 0 makes each, selector 6 names it. A name already present keeps
  // its first world and the newcomer is ended at once. A world that refuses
  // to start stops the loading with "Unable to initialize world"; the worlds
  // loaded before it stay registered.
  void loadDevices(std::span<const QVDeviceWorldRow> worlds);
  // One world, as loadDevices registers it.
  void registerWorldForTesting(QVDeviceInterfaceFunction function);
  // Throws "Unable to load signal handlers." when a world answers an error.
  void loadSignalHandlers(QVSignalHandlerManager& manager);
  // Deinitialises and removes every world.
  void unloadDevices();

  // A registered protocol goes to its world alone. Otherwise the worlds of
  // preferredDeviceLoadOrder are asked in turn while they answer 34 or 35; the
  // last such answer is the result, 34 when no world could be asked. A block
  // that is not six NUL-ended fields within kQVDeviceParameterBlockLimit
  // bytes answers 42 and reaches no world. The error number (0 with a
  // device) also goes to *error.
  QVDeviceResult createDevice(const char* block, long* error);
  QVDeviceResult createDevice(const QVDeviceParameters& parameters, long* error);

  NameList getDeviceList() const;
  NameList availableDevices() const { return getDeviceList(); }
  static NameList preferredDeviceLoadOrder();

  void print(std::ostream& os) const;

 private:
  using Registry = std::map<QVString, QVSmartPointer<QVDeviceWorldInstance>, std::less<>,
                            QVStdAllocator<std::pair<const QVString, QVSmartPointer<QVDeviceWorldInstance>>>>;
  using Maker = std::function<QVDeviceResult(QVDeviceWorldInstance&)>;

  void addWorld(QVDeviceInterfaceFunction function);
  QVDeviceResult choose(const QVString& protocol, const Maker& make, long* error);

  Registry registry_;
};

std::ostream& operator<<(std::ostream& os, const QVDeviceManager& manager);

}  // namespace Quorvane
