// Linux refuses a shared-memory name that holds a slash after the leading one,
// so "/tmp/name" would name no object at all. Keep the leading slash and turn
// every later one into a dot: "/tmp/name" becomes "/tmp.name".
#include "utilities/platform/qvsharedmemoryname.h"

namespace Quorvane::platform {

QVString PosixSharedMemoryName(const QVString& ipcName) {
  QVString result = ipcName;
  for (size_t i = 1; i < result.size(); ++i) {
    if (result[i] == '/') result[i] = '.';
  }
  if (result.empty() || result[0] != '/') result.insert(result.begin(), '/');
  return result;
}

}  // namespace Quorvane::platform
