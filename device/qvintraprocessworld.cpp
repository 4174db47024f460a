#include "device/qvintraprocessworld.h"

#include <atomic>
#include <memory>

#include "device/qvdevicebridge.h"
#include "device/qvintraprocessdevice.h"
#include "utilities/qvexception.h"

namespace Quorvane {

namespace {

constexpr unsigned long kListen = 2;
constexpr unsigned long kConnect = 4;

std::atomic<long> numberOfWorlds{0};  // only printed

}  // namespace

QVIntraProcessWorld::QVIntraProcessWorld() { ++numberOfWorlds; }

QVIntraProcessWorld::~QVIntraProcessWorld() { --numberOfWorlds; }

QVDevice* QVIntraProcessWorld::MakeDevice(char* block) {
  QVDeviceParameters parameters(block);
  return MakeDeviceWithParameters(&parameters);
}

QVDevice* QVIntraProcessWorld::MakeDeviceWithParameters(QVDeviceParameters* given) {
  if (given == nullptr) {
    throw QVException("Parameters cannot be NULL.", "device/qvintraprocess", __LINE__, qvexceptiontype::badArgument,
                      0);
  }
  QVDeviceParameters parameters(*given);
  if (parameters.Protocol.empty()) parameters.Protocol = kProtocolName;
  if (parameters.Protocol != kProtocolName) {
    throw QVException("Device does not supported named protocol.", "device/qvintraprocess", __LINE__,
                      qvexceptiontype::unsupportedProtocol, 0);
  }
  if (parameters.Mode == 0) parameters.Mode = parameters.Name.empty() ? kConnect : kListen;
  // Listen wins; any other mode with the Connect bit connects.
  QVSideOfConnection side;
  if ((parameters.Mode & kListen) != 0) {
    side = QVIntraServerSide;
  } else if ((parameters.Mode & kConnect) != 0) {
    side = QVIntraClientSide;
  } else {
    throw QVException("This device supports only Listen and Connect modes.", "device/qvintraprocess", __LINE__,
                      qvexceptiontype::unsupportedMode, 0);
  }
  return new QVIntraProcessDevice(parameters, side, this);
}

QVSignalHandlerList* QVIntraProcessWorld::GetSignalHandlers() { return new QVSignalHandlerList(); }

void QVIntraProcessWorld::ReleaseSignalHandlers(QVSignalHandlerList* list) { delete list; }

QVString QVIntraProcessWorld::Id() const {
  return QVString(kProtocolName) + " Device: version(1.0.0) built(" + GetCompileTime() + ")";
}

QVString QVIntraProcessWorld::GetCompileTime() const { return QVString(__DATE__ ":" __TIME__); }

void QVIntraProcessWorld::PrintWorld(std::ostream& os) const {
  os << "<QVIntraProcessWorld><Id>" << Id() << "</Id><NumberOfWorlds>" << numberOfWorlds.load()
     << "</NumberOfWorlds><Core>";
  for (const QVString& name : QVIntraProcessTableNames()) os << "<entry>" << name << "</entry>";
  os << "</Core></QVIntraProcessWorld>";
}

long QVIntraProcessInterface(void* object, qvdeviceselector selector, void* a1, void* a2) noexcept {
  return qvdevice_main<QVIntraProcessWorld, QVIntraProcessDevice>(object, selector, a1, a2);
}

}  // namespace Quorvane
