// Linux names a thread by its handle and keeps 15 bytes of the name: the
// naming call is looked up in this process at run time, as on systems that
// may lack it, and given the name's first 15 bytes.
#include <pthread.h>

#include <algorithm>
#include <cstring>

#include "utilities/platform/qvthreadname.h"
#include "utilities/qvdllloader.h"
#include "utilities/qvexception.h"

namespace Quorvane::platform {

namespace {
using SetNameFunction = int (*)(pthread_t, const char*);

// A missing function gives null; running out of memory throws, so that the
// look-up is made again by the next naming.
SetNameFunction LookUpSetName() {
  try {
    const QVDLL self = QVDLLLoader().loadLibrary();
    return reinterpret_cast<SetNameFunction>(self.loadFunction("pthread_setname_np"));
  } catch (const QVException&) {
    return nullptr;
  }
}

// The first kThreadNameLimit bytes of prefix + name, built without allocating.
void SetSystemName(std::string_view prefix, std::string_view name) {
  static const SetNameFunction setName = LookUpSetName();
  if (setName == nullptr) return;
  char kept[kThreadNameLimit + 1];
  const size_t fromPrefix = std::min(prefix.size(), kThreadNameLimit);
  const size_t fromName = std::min(name.size(), kThreadNameLimit - fromPrefix);
  std::memcpy(kept, prefix.data(), fromPrefix);
  std::memcpy(kept + fromPrefix, name.data(), fromName);
  kept[fromPrefix + fromName] = '\0';
  setName(pthread_self(), kept);
}
}  // namespace

void SetCurrentThreadName(std::string_view prefix, std::string_view name) noexcept {
  try {
    SetSystemName(prefix, name);
  } catch (...) {
    // No memory to look the call up: the system shows no name this time.
  }
  KeepFullThreadName(prefix, name);
}

}  // namespace Quorvane::platform
