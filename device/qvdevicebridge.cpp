// The parts of the world bridge that do not depend on the world's classes.
#include "device/qvdevicebridge.h"

#include <cstring>

namespace Quorvane::bridge {

long Answer(qvexceptiontype type, unsigned groups, QVDevice* device) noexcept {
  for (const Row& row : kRows) {
    if (row.type != type || (row.group & groups) == 0) continue;
    if (row.notify && device != nullptr) {
      try {
        device->notifyForClosedConnection();
      } catch (...) {
        // The connection is gone either way; the code below says so.
      }
    }
    return row.code;
  }
  return -1;
}

long CopyText(const QVString& text, void* buffer, void* capacity, bool storeLength) {
  const auto room = static_cast<uint32_t>(*static_cast<long*>(capacity));
  if (text.size() > room) return 8;
  std::memset(buffer, 0, room);
  std::memcpy(buffer, text.data(), text.size());
  if (storeLength) *static_cast<long*>(capacity) = static_cast<long>(text.size());
  return 0;
}

}  // namespace Quorvane::bridge
