#include "device/qvtcpipname.h"

namespace Quorvane {

QVNameAndPorts QVNameAndPorts::Parse(const QVString& name, const QVString& linkHost) {
  QVNameAndPorts nap;
  const size_t comma = name.find(',');
  const size_t firstAt = name.find('@');
  const size_t lastAt = name.rfind('@');
  const bool hasComma = comma != QVString::npos;
  const bool hasAt = firstAt != QVString::npos;
  if (!hasComma && !hasAt) {
    nap.DataPort = name;
  } else if (!hasComma) {
    nap.DataPort = name.substr(0, firstAt);
    nap.Hostname = name.substr(firstAt + 1);
  } else if (!hasAt) {
    nap.DataPort = name.substr(0, comma);
    nap.MesgPort = name.substr(comma + 1);
  } else {
    nap.DataPort = name.substr(0, firstAt);
    // An "@" that only follows the comma names no host for the data port.
    if (firstAt < comma) nap.Hostname = name.substr(firstAt + 1, comma - firstAt - 1);
    if (lastAt != firstAt && lastAt > comma) {
      nap.MesgPort = name.substr(comma + 1, lastAt - comma - 1);
    } else {
      nap.MesgPort = name.substr(comma + 1);
    }
  }
  if (!linkHost.empty()) nap.Hostname = linkHost;
  return nap;
}

std::ostream& operator<<(std::ostream& os, const QVNameAndPorts& nap) {
  return os << "<QVNameAndPorts><Hostname>" << nap.Hostname << "</Hostname><DataPort>" << nap.DataPort
            << "</DataPort><MesgPort>" << nap.MesgPort << "</MesgPort></QVNameAndPorts>";
}

QVString QVTCPIPLinkName(const QVString& dataPort, const QVString& mesgPort, const QVString& host) {
  QVString name = dataPort + "@" + host;
  if (!mesgPort.empty()) name += "," + mesgPort + "@" + host;
  return name;
}

}  // namespace Quorvane
