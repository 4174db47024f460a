// Dispatcher fuzz target. The input is a token stream that a loopback link
// holds as if the host had sent it; the program serves it as its answer loop
// would: call packets through the dispatcher and the "algorithm3" argument
// reader, resume packets through the refusal of the front-end role. What it
// writes comes back on the same link and is read as more input. A loopback
// link never waits, so the loop asks whether input is there instead of
// waiting for it. Nothing may crash or read outside what a get handed out.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "api/qvenvironment.h"
#include "api/qvlink.h"
#include "api/qvqueries.h"
#include "api/qvstream.h"
#include "application/qvapplication.h"
#include "quorvane.h"
#include "qvfuzzenvironment.h"

namespace {

using qvfuzz::Environment;

QVLink* LoopbackHolding(const uint8_t* data, size_t size) {
  QVLink* link = qvfuzz::EstablishedLink({}, true);
  long error = 0;
  // The bytes go the way the link's own writes go.
  if (qvs__putn(link->deviceStack, link->queueStack.base, data, static_cast<int64_t>(size), &error) !=
          static_cast<int64_t>(size) ||
      qvs__flush_(link->deviceStack, link->queueStack.base) != 0) {
    std::abort();
  }
  return link;
}

// Each round serves one packet; the answers fed back can keep a stream going
// for a while, never for ever.
constexpr int kRounds = 64;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace Quorvane;
  QVLink* link = LoopbackHolding(data, size);
  for (int round = 0; round < kRounds; ++round) {
    if (RVError(link) != 0 || RVReady(link) != 1) break;
    const int packet = RVNextPacket(link);
    if (packet == RV_CALL_PACKET) {
      RVAbort = 0;
      RVDoCallPacket(link);
    } else if (packet != RV_RESUME_PACKET || refuse_to_be_a_frontend(link) == 0) {
      break;
    }
  }
  stdlink = nullptr;
  RVClose(link);
  return 0;
}
