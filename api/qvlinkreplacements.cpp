// The public calls that edit a link's symbol replacements: each holds the
// link lock (when the link has one) around one operation of the link's table.
// A table in map mode takes its own lock as well; when that cannot be taken
// the operation has changed nothing (clearing an index then answers 0).
#include "api/qvlink.h"
#include "api/qvsymbolreplacement.h"

long RVSetSymbolReplacement(QVLink* link, const char* from, int fromLength, const char* to,
                            int toLength) noexcept {
  if (link == nullptr) return -1;
  QVLinkLockGuard guard(link);
  return QVSymbolVariantAddReplacement(link->symbolReplacements, from, fromLength, to, toLength);
}

int RVClearSymbolReplacement(QVLink* link, long index) noexcept {
  if (link == nullptr) return 0;
  QVLinkLockGuard guard(link);
  try {
    return QVSymbolVariantRemoveReplacement(link->symbolReplacements, index) != 0 ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

void RVClearAllSymbolReplacements(QVLink* link) noexcept {
  if (link == nullptr) return;
  QVLinkLockGuard guard(link);
  try {
    QVClearSymbolVariantEnv(link->symbolReplacements);
  } catch (...) {
  }
}
