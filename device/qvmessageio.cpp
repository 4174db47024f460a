// Message records on a descriptor. A record goes out in one write, and one
// is accepted only when all eight bytes have come: a short read on a socket
// must not cut the stream into the wrong words.
//
// unix_readmsg runs both on a link's thread and in the signal dispatch, so
// the parts it keeps sit in a fixed table of stripes (no allocation), each
// taken with a try-lock: a caller that finds its stripe busy reads nothing
// and leaves the bytes in the descriptor for a later call, rather than wait
// for a holder it may have interrupted. The signal that brought those bytes
// will not come again, so the caller notes the miss on the stripe and the
// holder, letting go, raises SIGIO for another dispatch round.
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "device/qvmessagelayer.h"
#include "device/qvmessagepartials.h"
#include "device/qvmessagerecord.h"
#include "utilities/platform/qvreadiness.h"

namespace {

using Quorvane::QVMessageRecordReader;
namespace platform = Quorvane::platform;

constexpr int kStripes = 64;
constexpr int kSlotsPerStripe = 4;
constexpr int kInterruptionLimit = 10;

struct Slot {
  int fd = -1;  // -1: free
  QVMessageRecordReader reader;
};

struct Stripe {
  std::atomic<bool> busy{false};
  std::atomic<bool> missed{false};  // a reader found it busy and read nothing
  Slot slots[kSlotsPerStripe];
};

Stripe gStripes[kStripes];

// Asks for another dispatch round, when there is a dispatch to ask: a signal
// at its default action would end the process.
void AskForAnotherDispatch() noexcept {
  struct sigaction current {};
  if (sigaction(SIGIO, nullptr, &current) != 0) return;
  if ((current.sa_flags & SA_SIGINFO) == 0 && (current.sa_handler == SIG_DFL || current.sa_handler == SIG_IGN)) return;
  kill(getpid(), SIGIO);
}

class StripeHold {
 public:
  // With noteMiss, a busy stripe is marked so that its holder asks for
  // another dispatch when it lets go.
  explicit StripeHold(int fd, bool noteMiss = false) noexcept : stripe_(gStripes[fd % kStripes]) {
    held_ = !stripe_.busy.exchange(true);
    if (held_ || !noteMiss) return;
    stripe_.missed.store(true);
    // The holder may have let go before the mark: look once more, so that
    // either this caller reads or the holder sees the mark.
    held_ = !stripe_.busy.exchange(true);
  }
  ~StripeHold() {
    if (!held_) return;
    stripe_.busy.store(false);
    if (stripe_.missed.exchange(false)) AskForAnotherDispatch();
  }
  StripeHold(const StripeHold&) = delete;
  StripeHold& operator=(const StripeHold&) = delete;

  bool heldQ() const noexcept { return held_; }

  // The descriptor's slot; with claim, a free one when it has none. Null when
  // the stripe is full.
  Slot* slot(int fd, bool claim) noexcept {
    Slot* free = nullptr;
    for (Slot& candidate : stripe_.slots) {
      if (candidate.fd == fd) return &candidate;
      if (candidate.fd == -1 && free == nullptr) free = &candidate;
    }
    if (!claim || free == nullptr) return nullptr;
    free->fd = fd;
    free->reader.reset();
    return free;
  }

 private:
  Stripe& stripe_;
  bool held_ = false;
};

enum class Fill { kComplete, kWaiting, kDropped };

// Reads what is there, never waiting, until the record is complete.
Fill FillRecord(int fd, QVMessageRecordReader& reader) {
  int interrupted = 0;
  while (!reader.completeQ()) {
    platform::QVReadinessEntry entry{fd, platform::kReadinessReadable, 0};
    const int ready = platform::CheckReadiness(&entry, 1, 0);
    if (ready < 0 && errno == EINTR && ++interrupted < kInterruptionLimit) continue;
    if (ready < 0) return Fill::kWaiting;
    if (ready == 0) return Fill::kWaiting;
    if (entry.got == platform::kReadinessNotOpen) return Fill::kDropped;
    const ssize_t count = read(fd, reader.rest(), reader.restLength());
    if (count > 0) {
      reader.advance(static_cast<size_t>(count));
      continue;
    }
    if (count == 0) return Fill::kDropped;  // the peer closed inside a record
    if (errno == EINTR && ++interrupted < kInterruptionLimit) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return Fill::kWaiting;
    return Fill::kDropped;
  }
  return Fill::kComplete;
}

// Waits without limit until the descriptor takes more bytes.
bool WaitWritable(int fd) {
  for (;;) {
    platform::QVReadinessEntry entry{fd, platform::kReadinessWritable, 0};
    const int ready = platform::CheckReadiness(&entry, 1, -1);
    if (ready > 0) return entry.got != platform::kReadinessNotOpen;
    if (ready < 0 && errno != EINTR) return false;
  }
}

}  // namespace

namespace Quorvane {

void QVForgetPartialMessage(int fd) noexcept {
  if (fd < 0) return;
  for (;;) {
    StripeHold hold(fd);
    if (hold.heldQ()) {
      if (Slot* slot = hold.slot(fd, false)) slot->fd = -1;
      return;
    }
    sched_yield();
  }
}

}  // namespace Quorvane

int unix_writemsg(int fd, uint64_t code, uint64_t argument) noexcept {
  if (fd < 0) return 0;
  unsigned char record[Quorvane::kMessageRecordSize];
  Quorvane::QVEncodeMessageRecord(code, argument, record);
  size_t sent = 0;
  while (sent < sizeof record) {
    const ssize_t count = write(fd, record + sent, sizeof record - sent);
    if (count > 0) {
      sent += static_cast<size_t>(count);
      continue;
    }
    if (count < 0 && errno == EINTR) continue;
    // Half a record would turn every later word into the wrong one: once a
    // part is out, the rest follows.
    if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && sent > 0 && WaitWritable(fd)) continue;
    return 0;
  }
  return 1;
}

int unix_readmsg(int fd, uint64_t* code, uint64_t* argument) noexcept {
  if (code != nullptr) *code = 0;
  if (argument != nullptr) *argument = 0;
  if (fd < 0) return 0;
  StripeHold hold(fd, true);
  if (!hold.heldQ()) return 0;
  Slot* slot = hold.slot(fd, true);
  if (slot == nullptr) return 0;
  const Fill fill = FillRecord(fd, slot->reader);
  if (fill == Fill::kComplete) {
    uint64_t readCode = 0;
    uint64_t readArgument = 0;
    slot->reader.decode(&readCode, &readArgument);
    if (code != nullptr) *code = readCode;
    if (argument != nullptr) *argument = readArgument;
  }
  if (fill != Fill::kWaiting || slot->reader.have() == 0) {
    slot->reader.reset();
    slot->fd = -1;
  }
  return fill == Fill::kComplete ? 1 : 0;
}
