// The handshake's exchange: greeting and level, this side's lines, the
// peer's lines.
#include "api/qvhandshake.h"

#include <algorithm>
#include <cstring>

#include "api/qvenvironment.h"
#include "api/qvhandshakeinternal.h"
#include "api/qvlink.h"
#include "api/qvstream.h"
#include "datastructures/qvqueuestack.h"

namespace {

constexpr char kGreeting[] = "Quor vane";
constexpr size_t kGreetingLength = sizeof kGreeting - 1;
constexpr char kOlderGreeting[] = "Quorvane";

enum class Peer { kCurrent, kOlder };
enum class LineEnd { kLine, kTooLong, kEndOfInput };

class Exchange {
 public:
  Exchange(qv_environment& environment, QVLink* link, device_kebab* stack, qv_queue_stack* queues,
           feature_set* features)
      : environment_(environment), link_(link), stack_(stack), queues_(queues), features_(features) {}

  int Run();

 private:
  bool Write(const void* bytes, size_t count) {
    long error = 0;
    const auto n = static_cast<int64_t>(count);
    if (qvs__putn(stack_, queues_->base, bytes, n, &error) != n || error != 0) return false;
    return qvs__flush_(stack_, queues_->base) == 0;
  }
  // The next byte, or -1 at end of input (any read error).
  int Read() {
    long error = 0;
    return qvqk_getc_inline(stack_, queues_, &error);
  }
  bool ReadExactly(char* out, size_t count) {
    for (size_t i = 0; i < count; ++i) {
      const int c = Read();
      if (c < 0) return false;
      out[i] = static_cast<char>(c);
    }
    return true;
  }
  // One line into line_; a line that reaches the limit is not read further.
  LineEnd ReadLine() {
    size_t length = 0;
    line_[0] = '\0';
    for (;;) {
      const int c = Read();
      if (c < 0) return LineEnd::kEndOfInput;
      if (c == '\n' || c == '\r') return LineEnd::kLine;
      if (length == static_cast<size_t>(kHandshakeLineLimit)) return LineEnd::kTooLong;
      line_[length++] = static_cast<char>(c);
      line_[length] = '\0';
    }
  }
  bool Greet(Peer* peer, uint64_t* peerLevel);
  int WriteLines(uint64_t level);
  int ReadLines(Peer peer, uint64_t level);

  qv_environment& environment_;
  QVLink* link_;
  device_kebab* stack_;
  qv_queue_stack* queues_;
  feature_set* features_;
  char line_[kHandshakeLineLimit + 1] = {};
};

bool Exchange::Greet(Peer* peer, uint64_t* peerLevel) {
  char greeting[kGreetingLength];
  if (!Write(kGreeting, kGreetingLength) || !ReadExactly(greeting, kGreetingLength)) return false;
  if (std::memcmp(greeting, kGreeting, kGreetingLength) == 0) {
    *peer = Peer::kCurrent;
  } else if (std::memcmp(greeting, kOlderGreeting, kGreetingLength - 1) == 0 &&
             (greeting[kGreetingLength - 1] == '\t' || greeting[kGreetingLength - 1] == ' ')) {
    *peer = Peer::kOlder;
  } else {
    return false;
  }
  const uint64_t own = std::min(environment_.ownFeatures.level, kHandshakeLevel);
  const char level[2] = {' ', static_cast<char>('0' + own)};
  if (!Write(level, sizeof level)) return false;
  if (*peer == Peer::kOlder) {
    *peerLevel = 0;
    return Read() >= 0;
  }
  char digits[2];
  if (!ReadExactly(digits, sizeof digits)) return false;
  *peerLevel = static_cast<uint64_t>((digits[0] & 15) * 10 + (digits[1] & 15));
  return true;
}

int Exchange::WriteLines(uint64_t level) {
  for (uint64_t l = 2; l <= level; ++l) {
    if ((l == 3 || l == 4) && environment_.formatArguments == nullptr) return kHandshakeNoOptionTable;
    char line[qvhandshake::kLineBuffer];
    const long length = qvhandshake::BuildLevelLine(environment_, l, line);
    if (length < 0 || !Write(line, static_cast<size_t>(length))) return kHandshakeFailed;
  }
  return 0;
}

int Exchange::ReadLines(Peer peer, uint64_t level) {
  if (peer == Peer::kCurrent) {
    if (level < 2) return 0;
    const int first = Read();
    if (first < 0) return kHandshakeFailed;
    // A peer that goes on with anything else offers no lines.
    if (first != '\n' && first != '\r') return 0;
    // The level-2 line is not interpreted, but a peer that vanishes within it
    // or sends more than a line has not handshaken.
    if (ReadLine() != LineEnd::kLine) return kHandshakeFailed;
    features_->features = QVFEATURE_ALL;
    if (level == 2) return 0;
  }
  // An older peer sends the lines of levels 3 to 6 whatever its level.
  const uint64_t last = peer == Peer::kOlder ? kHandshakeLevel : level;
  features_->encodings = set_qvbst{0, 0};
  for (uint64_t l = 3; l <= last; ++l) {
    if (ReadLine() != LineEnd::kLine) return kHandshakeFailed;
    int decoded = 1;
    switch (l) {
      case 3:
        decoded = decode_version3_info(&environment_, line_, features_);
        break;
      case 4:
        decoded = decode_version4_info(link_, line_, features_);
        break;
      case 5:
        decoded = decode_version5_info(&environment_, link_, line_, features_);
        break;
      default:
        decoded = decode_version6_info(link_, line_, features_);
        break;
    }
    if (decoded == 0) return kHandshakeFailed;
  }
  return 0;
}

int Exchange::Run() {
  Peer peer = Peer::kCurrent;
  uint64_t peerLevel = 0;
  if (!Greet(&peer, &peerLevel)) return kHandshakeFailed;
  const uint64_t level = std::min({environment_.ownFeatures.level, kHandshakeLevel, peerLevel});
  features_->level = level;
  features_->level_again = level;
  if (const int code = WriteLines(level); code != 0) return code;
  if (level < kHandshakeLevel && link_ != nullptr) link_->sixDigitUnicode = 0;
  qvhandshake::ResetPeerFeatures(features_);
  return ReadLines(peer, level);
}

}  // namespace

int feature_greeting(qv_environment* environment, QVLink* link, device_kebab* stack, qv_queue_stack* queues,
                     feature_set* features) {
  if (environment == nullptr || queues == nullptr || features == nullptr) return kHandshakeFailed;
  try {
    return Exchange(*environment, link, stack, queues, features).Run();
  } catch (...) {
    return kHandshakeFailed;
  }
}
