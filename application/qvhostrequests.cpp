// What the program asks of the host: the refusal to become its front end,
// and evaluations of text.
#include "application/qvapplication.h"

namespace Quorvane {

int refuse_to_be_a_frontend(QVLink* link) noexcept {
  // EvaluatePacket[Module[{me = $ParentLink},
  //   $ParentLink = <the resume packet's content>; Message[$ParentLink::notfe, me]; me]]
  RVPutFunction(link, "EvaluatePacket", 1);
  RVPutFunction(link, "Module", 2);
  RVPutFunction(link, "List", 1);
  RVPutFunction(link, "Set", 2);
  RVPutSymbol(link, "me");
  RVPutSymbol(link, "$ParentLink");
  RVPutFunction(link, "CompoundExpression", 3);
  RVPutFunction(link, "Set", 2);
  RVPutSymbol(link, "$ParentLink");
  RVTransferExpression(link, link);
  RVPutFunction(link, "Message", 2);
  RVPutFunction(link, "MessageName", 2);
  RVPutSymbol(link, "$ParentLink");
  RVPutString(link, "notfe");
  RVPutSymbol(link, "me");
  RVPutSymbol(link, "me");
  RVEndPacket(link);

  int packet = RVNextPacket(link);
  while (packet != 0 && packet != RV_SUSPEND_PACKET) {
    RVNewPacket(link);
    packet = RVNextPacket(link);
  }
  RVNewPacket(link);
  return RVError(link) == 0 ? 1 : 0;
}

int RVEvaluate(QVLink* link, const char* text) noexcept {
  if (RVAbort.load() != 0) return 0;
  return RVPutFunction(link, "EvaluatePacket", 1) != 0 && RVPutFunction(link, "ToExpression", 1) != 0 &&
                 RVPutString(link, text) != 0 && RVEndPacket(link) != 0
             ? 1
             : 0;
}

int RVEvaluateString(QVLink* link, const char* text) noexcept {
  if (RVAbort.load() != 0) return 0;
  if (RVEvaluate(link, text) != 0) {
    int packet = RVAnswer(link);
    while (packet != 0 && packet != RV_RETURN_PACKET) {
      RVNewPacket(link);
      packet = RVAnswer(link);
    }
    RVNewPacket(link);
  }
  return RVError(link) == 0 ? 1 : 0;
}

}  // namespace Quorvane
