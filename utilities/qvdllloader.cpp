#include "utilities/qvdllloader.h"

#include <dlfcn.h>

#include "utilities/qvexception.h"

namespace Quorvane {

namespace {
constexpr char kSourceFile[] = "utilities/qvdllloader";

[[noreturn]] void ThrowLoaderError(const char* fallback, unsigned int line) {
  const char* text = dlerror();
  throw QVException(text != nullptr ? text : fallback, kSourceFile, line,
                    qvexceptiontype::cannotLoad, 0);
}
}  // namespace

QVDLL QVDLLLoader::loadLibrary(const QVString& path) const {
  dlerror();  // forget any earlier error text
  void* handle = dlopen(path.c_str(), RTLD_LAZY);
  if (handle == nullptr) ThrowLoaderError("Unable to load reference to library", __LINE__);
  return QVDLL(handle);
}

QVDLL QVDLLLoader::loadLibrary() const {
  dlerror();
  void* handle = dlopen(nullptr, RTLD_LAZY);
  if (handle == nullptr) ThrowLoaderError("Unable to load reference to this process", __LINE__);
  return QVDLL(handle);
}

void* QVDLL::loadFunction(const QVString& name) const {
  dlerror();
  void* symbol = dlsym(handle_, name.c_str());
  if (symbol == nullptr) {
    ThrowLoaderError("Unable to load the function reference", __LINE__);
  }
  return symbol;
}

}  // namespace Quorvane
