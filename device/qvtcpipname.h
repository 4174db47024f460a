// A "TCPIP" link name: the data port, "@", the host, ",", the message port,
// "@", the host; any part may be missing. Parsed into its three fields and
// rebuilt from the ports a device actually uses.
#pragma once

#include <ostream>

#include "utilities/qvobject.h"

namespace Quorvane {

class QVNameAndPorts : public QVObject {
 public:
  QVNameAndPorts() = default;
  QVNameAndPorts(const QVNameAndPorts&) = default;
  QVNameAndPorts& operator=(const QVNameAndPorts&) = default;
  ~QVNameAndPorts() override = default;

  // Splits name at the first ",", the first "@" and the last "@"; a
  // non-empty linkHost replaces the host the name gives.
  static QVNameAndPorts Parse(const QVString& name, const QVString& linkHost);

  QVString Hostname;
  QVString DataPort;
  QVString MesgPort;
};

std::ostream& operator<<(std::ostream& os, const QVNameAndPorts& nap);

// The name a device is known by: data port "@" host, then "," message port
// "@" host when there is a message port.
QVString QVTCPIPLinkName(const QVString& dataPort, const QVString& mesgPort, const QVString& host);

}  // namespace Quorvane
