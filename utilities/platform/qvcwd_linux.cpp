#include "utilities/platform/qvcwd_linux.h"

#include <unistd.h>

#include <cerrno>

namespace Quorvane::platform {

bool CurrentDirectory(QVString* out, int* err) {
  QVString buffer(1024, '\0');
  while (getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno != ERANGE && errno != ENOMEM) {
      *err = errno;
      return false;
    }
    buffer.assign(buffer.size() == 1024 ? 2048 : buffer.size() + 1024, '\0');
  }
  buffer.resize(buffer.find('\0'));
  *out = std::move(buffer);
  return true;
}

}  // namespace Quorvane::platform
