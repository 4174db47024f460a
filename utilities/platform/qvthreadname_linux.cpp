// Linux names a thread by its handle and keeps 15 bytes of the name: the
// naming call is looked up in this process at run time, as on systems that
// may lack it, and given the name's first 15 bytes.
#include <pthread.h>

#include "utilities/platform/qvthreadname.h"
#include "utilities/qvdllloader.h"
#include "utilities/qvexception.h"

namespace Quorvane::platform {

namespace {
using SetNameFunction = int (*)(pthread_t, const char*);

SetNameFunction LookUpSetName() {
  try {
    const QVDLL self = QVDLLLoader().loadLibrary();
    return reinterpret_cast<SetNameFunction>(self.loadFunction("pthread_setname_np"));
  } catch (const QVException&) {
    return nullptr;
  }
}
}  // namespace

void SetCurrentThreadName(const QVString& name) {
  static const SetNameFunction setName = LookUpSetName();
  if (setName == nullptr) return;
  const QVString kept = name.substr(0, kThreadNameLimit);
  setName(pthread_self(), kept.c_str());
}

}  // namespace Quorvane::platform
