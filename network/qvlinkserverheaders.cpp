#include "network/qvlinkserverheaders.h"

#include <cstring>

namespace Quorvane {

std::optional<QVIdentity> QVMatchIdentificationLine(const char* line) {
  if (line == nullptr || std::memchr(line, '\0', kIdentificationLineSize) != nullptr) return std::nullopt;
  if (std::memcmp(line, "id", 2) != 0 || std::memcmp(line + 40, "connection", 10) != 0) return std::nullopt;
  QVConnectionKind kind;
  if (std::memcmp(line + 51, "data", 4) == 0) {
    kind = QVConnectionKind::data;
  } else if (std::memcmp(line + 51, "mesg", 4) == 0) {
    kind = QVConnectionKind::mesg;
  } else {
    return std::nullopt;
  }
  return QVIdentity{QVString(line + 3, kIdentificationIdSize), kind};
}

}  // namespace Quorvane
