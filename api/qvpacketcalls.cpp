// Reading the head of the next packet and naming its kind by the
// environment's packet table. Built from public calls only, so each step
// keeps its own discipline; the arguments are left for the caller.
#include <cstdint>

#include "api/qvenvironment.h"
#include "api/qvlink.h"
#include "api/qvmessages.h"
#include "quorvane.h"

int RVNextPacket(QVLink* link) QV_NOEXCEPT {
  if (link == nullptr) return 0;
  qv_environment* environment = link->environment();
  if (environment == nullptr) return 0;
  int owed = 0;
  if (RVExpressionsToGet(link, &owed) == 0) return 0;
  if (owed != 0) {
    RVSetError(link, RV_ERR_UNREAD_DATA);
    return 0;
  }
  const char* head = nullptr;
  if (RVGetFunction(link, &head, nullptr) == 0) return 0;
  const int64_t code = environment->packetHeads != nullptr ? name2code(environment->packetHeads, head) : 0;
  RVReleaseSymbol(link, head);
  if (code != 0) return static_cast<int>(code);
  RVSetError(link, RV_ERR_UNKNOWN_PACKET);
  return 0;
}
