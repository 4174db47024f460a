// Run-time loading of a shared library, or of the running program itself, and
// lookup of its symbols. Loaded libraries stay loaded for the process's life.
#pragma once

#include <ostream>

#include "utilities/qvobject.h"

namespace Quorvane {

class QVDLL : public QVObject {
 public:
  QVDLL() = default;
  explicit QVDLL(void* handle) : handle_(handle) {}
  QVDLL(const QVDLL& other) = default;
  // Copies share the handle.
  QVDLL& operator=(const QVDLL& other) = default;
  ~QVDLL() override = default;

  // The address of the named symbol; type 13 when it is missing.
  void* loadFunction(const QVString& name) const;

 private:
  void* handle_ = nullptr;
};

class QVDLLLoader : public QVObject {
 public:
  // The library at path, lazily bound; type 13 when it cannot be loaded.
  QVDLL loadLibrary(const QVString& path) const;
  // The running program itself.
  QVDLL loadLibrary() const;
};

}  // namespace Quorvane
