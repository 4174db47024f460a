#include "device/qvshmspin.h"

#include <thread>

namespace Quorvane {

bool QVSHMSpin::Worthwhile() {
  static const bool several = std::thread::hardware_concurrency() > 1;
  return several;
}

}  // namespace Quorvane
