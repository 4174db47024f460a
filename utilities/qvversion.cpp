#include "utilities/qvversion.h"

namespace Quorvane {

std::ostream& operator<<(std::ostream& os, const QVVersion& version) {
  return os << version.major << "." << version.minor << "." << version.revision;
}

}  // namespace Quorvane
