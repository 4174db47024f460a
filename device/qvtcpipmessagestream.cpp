#include "device/qvtcpipmessagestream.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace Quorvane {

uint32_t QVTCPIPMessageStream::Word(size_t at) const {
  uint32_t word = 0;
  std::memcpy(&word, bytes_ + at, sizeof word);
  return ntohl(word);
}

bool QVTCPIPMessageStream::LoneCloseQ() const { return have_ >= 4 && have_ < kRecordSize && Word(0) == kClosedCode; }

QVTCPIPMessageStream::Got QVTCPIPMessageStream::Take(int fd, bool loneCloseIsWhole, uint32_t* code,
                                                      uint32_t* argument) {
  // Never more than the current record: what follows stays in the socket.
  while (!ended_ && have_ < kRecordSize) {
    const ssize_t n = ::recv(fd, bytes_ + have_, kRecordSize - have_, MSG_DONTWAIT);
    if (n > 0) {
      have_ += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      break;
    } else {
      // The end of the stream, or a failure that ends it as surely.
      ended_ = true;
    }
  }
  const auto whole = [&](uint32_t second) {
    *code = Word(0);
    *argument = second;
    have_ = 0;
    return Got::message;
  };
  if (have_ == kRecordSize) return whole(Word(4));
  if (LoneCloseQ() && (ended_ || loneCloseIsWhole)) return whole(ended_ && have_ == 4 ? kClosedCode : 0);
  if (!ended_) return Got::nothing;
  if (have_ == 0) return Got::ended;
  if (have_ == 4) return whole(kClosedCode);
  const Got broken = have_ < 4 ? Got::brokenCode : Got::brokenArgument;
  have_ = 0;
  return broken;
}

}  // namespace Quorvane
