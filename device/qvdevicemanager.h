// The registry of device worlds by protocol name, and the making of a link's
// device in the world the link names or, failing that, in order of preference.
#pragma once

#include <functional>
#include <map>
#include <vector>

#include "device/qvdeviceworldinstance.h"

namespace Quorvane {

class QVDeviceManager : public QVObject {
 public:
  using NameList = std::vector<QVString, QVStdAllocator<QVString>>;

  static QVSmartPointer<QVDeviceManager> init();
  QVDeviceManager() = default;
  QVDeviceManager(const QVDeviceManager&) = delete;
  QVDeviceManager& operator=(const QVDeviceManager&) = delete;
  ~QVDeviceManager() override = default;

  // Registers the library's worlds; none is built in yet.
  void loadDevices();
  // Registers one world (selector 0, then 6 for its name), for tests; a name
  // already present keeps its first world and the newcomer is ended at once.
  // Throws when the world refuses to start.
  void registerWorldForTesting(QVDeviceInterfaceFunction function);
  // Throws "Unable to load signal handlers." when a world answers an error.
  void loadSignalHandlers(QVSignalHandlerManager& manager);
  // Deinitialises and removes every world.
  void unloadDevices();

  // A registered protocol goes to its world alone. Otherwise the worlds of
  // preferredDeviceLoadOrder are asked in turn while they answer 34 or 35; the
  // last such answer is the result, 34 when no world could be asked. The
  // error number (0 with a device) also goes to *error.
  QVDeviceResult createDevice(const char* block, long* error);
  QVDeviceResult createDevice(const QVDeviceParameters& parameters, long* error);

  NameList getDeviceList() const;
  NameList availableDevices() const { return getDeviceList(); }
  static NameList preferredDeviceLoadOrder();

 private:
  using Registry = std::map<QVString, QVSmartPointer<QVDeviceWorldInstance>, std::less<>,
                            QVStdAllocator<std::pair<const QVString, QVSmartPointer<QVDeviceWorldInstance>>>>;
  using Maker = std::function<QVDeviceResult(QVDeviceWorldInstance&)>;

  void addWorld(QVDeviceInterfaceFunction function);
  QVDeviceResult choose(const QVString& protocol, const Maker& make, long* error);

  Registry registry_;
};

}  // namespace Quorvane
