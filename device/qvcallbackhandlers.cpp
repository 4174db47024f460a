// The callback record's printer: cookies as addresses, functions only as set or not.
#include "device/qvcallbackhandlers.h"

namespace Quorvane {

void QVCallbackHandlers::print(std::ostream& os) const {
  os << "<QVCallbackHandlers><YieldCookie>" << yieldCookie << "</YieldCookie><YieldFunction>"
     << (yieldFunction != nullptr ? 1 : 0) << "</YieldFunction><MessageCookie>" << messageCookie
     << "</MessageCookie><MessageHandler>" << (messageHandler != nullptr ? 1 : 0)
     << "</MessageHandler></QVCallbackHandlers>";
}

std::ostream& operator<<(std::ostream& os, const QVCallbackHandlers& handlers) {
  handlers.print(os);
  return os;
}

}  // namespace Quorvane
