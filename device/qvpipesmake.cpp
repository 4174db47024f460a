// Making a Pipes record: the protocol text, the mode, and the parent-connect
// side's adoption of its inherited descriptors.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "device/qvmessagelayer.h"
#include "device/qvpipesrecord.h"

namespace Quorvane::pipes {

namespace {

constexpr unsigned long kLaunch = 8;
constexpr unsigned long kParentConnect = 16;
// A launched child gets its ends moved to numbers below this; a program
// connecting to its parent takes numbers up to the largest the waits watch.
constexpr long kLaunchDescriptorLimit = 1024;
constexpr long kDescriptorLimit = 65536;

char* CopyText(qv_allocator_fn allocator, const char* text) {
  const size_t size = std::strlen(text) + 1;
  char* copy = static_cast<char*>(allocator(size));
  if (copy != nullptr) std::memcpy(copy, text, size);
  return copy;
}

Record* NewRecord(Environment* environment) {
  auto* record = static_cast<Record*>(environment->allocator(sizeof(Record)));
  if (record == nullptr) return nullptr;
  std::memset(record, 0, sizeof(Record));
  record->readFd = record->writeFd = record->msgReadFd = record->msgWriteFd = -1;
  record->environment = environment;
  return record;
}

// Standard input or output handed to the link: the link keeps a duplicate,
// the stream itself is pointed at /dev/null so stray prints cannot corrupt it.
int TakeOver(int fd, const char* mode, FILE* stream) {
  const int kept = dup(fd);
  if (kept < 0) return -1;
  if (std::freopen("/dev/null", mode, stream) == nullptr) {
    close(kept);
    return -1;
  }
  return kept;
}

long ConnectToParent(Record* record, Descriptors d, const char* name) {
  // Refused before the record owns anything: the caller's descriptors, and
  // its standard input and output, stay as they were.
  if (d.fdMsgIn == -1 && !ClaimSignaledSlot(record)) return kProtocolUnavailable;
  if (!d.given) {
    if (d.fdIn == 0) d.fdIn = TakeOver(0, "r", stdin);
    if (d.fdOut == 1) d.fdOut = TakeOver(1, "w", stdout);
  }
  // Owned from here, so a failure below closes them.
  record->readFd = static_cast<int>(d.fdIn);
  record->writeFd = static_cast<int>(d.fdOut);
  record->msgReadFd = static_cast<int>(d.fdMsgIn);
  record->msgWriteFd = static_cast<int>(d.fdMsgOut);
  if (record->readFd < 0 || record->writeFd < 0) return kConnectionLost;
  record->name = CopyText(record->environment->allocator, name != nullptr && *name != '\0' ? name : "ParentLink");
  if (record->name == nullptr) return kNoMemory;
  record->parentPid = getppid();
  watchsignal(SIGPIPE, SIG_IGN);
  if (record->msgReadFd >= 0) {
    // Interrupts from the terminal reach the parent; this side hears of them
    // as messages. A program's own handler stays.
    qv_plain_signal_function previous = watchsignal(SIGINT, SIG_IGN);
    if (previous != SIG_DFL && previous != SIG_IGN && previous != WatchSignalRefused()) watchsignal(SIGINT, previous);
    unix_arrange_to_get_msgs(record->msgReadFd, -1);
  }
  return 0;
}

bool Fits(const Descriptors& d, long limit) {
  for (long fd : {d.fdIn, d.fdOut, d.fdMsgIn, d.fdMsgOut}) {
    if (fd < -1 || fd >= limit) return false;
  }
  return true;
}

}  // namespace

Record* pipe_make(World* world, const char* protocol, unsigned long mode, const char* name, unsigned long options,
                  long* error) noexcept {
  *error = 0;
  Environment* environment = world == nullptr ? nullptr : world->environment;
  if (environment == nullptr) {
    *error = kBadWorldArguments;
    return nullptr;
  }
  Descriptors d;
  if (!ParseProtocol(protocol, &d)) {
    *error = kProtocolUnavailable;
    return nullptr;
  }
  const bool hasName = name != nullptr && *name != '\0';
  bool launch = false;
  if ((mode & kLaunch) != 0) launch = true;
  else if ((mode & kParentConnect) != 0) launch = false;
  else if (mode == 0) launch = hasName;
  else {
    *error = kModeUnavailable;
    return nullptr;
  }
  // Descriptor numbers beyond what the child's move can place are refused
  // before anything is made.
  if (!Fits(d, launch ? kLaunchDescriptorLimit : kDescriptorLimit)) {
    *error = kProtocolUnavailable;
    return nullptr;
  }
  if (launch && !hasName) {
    *error = kNameMissing;
    return nullptr;
  }
  Record* record = NewRecord(environment);
  if (record == nullptr) {
    *error = kNoMemory;
    return nullptr;
  }
  record->forceYield = (options & 0x200) != 0;
  record->noShell = launch && (options & 3) == 3;
  *error = launch ? Launch(record, d, name) : ConnectToParent(record, d, name);
  if (*error != 0) {
    pipe_destroy(record);
    return nullptr;
  }
  return record;
}

void pipe_destroy(Record* record) noexcept {
  if (record == nullptr) return;
  if (IsSignaledDevice(record)) {
    ReleaseSignaledSlot(record);
  }
  if (record->launched != 0) RemoveLaunched(record);
  unix_rmvmsghandler(record);
  // Disarmed before either end closes: closing one end signals the other.
  if (record->msgReadFd >= 0) unix_arrange_to_stop_msgs(record->msgReadFd);
  for (int fd : {record->readFd, record->writeFd, record->msgReadFd, record->msgWriteFd}) {
    if (fd >= 0) close(fd);
  }
  qv_deallocator_fn deallocator = record->environment->deallocator;
  if (record->name != nullptr) deallocator(record->name);
  deallocator(record);
}

}  // namespace Quorvane::pipes
