// Installation: connect the link, then declare "Algorithm3" to the host as
// DefineExternal[pattern, arguments, 0] followed by the symbol End, with no
// end of packet between or after them, and flush.
#include "application/qvapplication.h"

namespace Quorvane {

int _definepattern(QVLink* link, const char* pattern, const char* arguments, int index) noexcept {
  // Each put runs whatever the last one answered; the link's error decides.
  RVPutFunction(link, "DefineExternal", 3);
  RVPutString(link, pattern);
  RVPutString(link, arguments);
  RVPutInteger(link, index);
  return RVError(link) == 0 ? 1 : 0;
}

int RVInstall(QVLink* link) noexcept {
  return RVConnect(link) != 0 && _definepattern(link, kAlgorithm3Pattern, kAlgorithm3Arguments, 0) != 0 &&
                 RVPutSymbol(link, "End") != 0 && RVFlush(link) != 0
             ? 1
             : 0;
}

}  // namespace Quorvane
