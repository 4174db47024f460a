// The record's connect step: accept or connect the data connection, and the
// side-channel words that set up the message connection.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "device/qvmessagelayer.h"
#include "device/qvtcp.h"
#include "device/qvsockcalls.h"
#include "device/qvtcprecord.h"

namespace Quorvane::tcp {

namespace {

constexpr const char* kNeedWord = "need_msg_port";
constexpr const char* kPortWord = "msg_port=";
constexpr long kPortWordLength = 9;
// The longest legal word, "msg_port=" with five digits, has 14 characters.
constexpr long kWordLimit = 16;
constexpr int64_t kAcceptYieldValue = 2;
constexpr long kAcceptYieldSleep = 18;
constexpr long kQuietAcceptWait = 300000;
// A client that never opens its message connection does not hold the
// listener: it goes on without one, as the client does when that fails.
constexpr auto kMessageAcceptLimit = std::chrono::seconds(2);
constexpr long kMessageAcceptSlice = 10000;

// A descriptor closed at scope end unless released.
class Owned {
 public:
  explicit Owned(int fd) : fd_(fd) {}
  ~Owned() {
    if (fd_ >= 0) qvsock__closesocket(fd_);
  }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  int get() const { return fd_; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

void Tune(int fd) {
  qvsock___keepalive(fd);
  qvsock___closeonexec(fd);
  // Small windows and acknowledgements must not wait for more bytes.
  const int on = 1;
  qvsock__setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// 1 written, 0 stopped by the yield function before any byte went, -1
// failed.
int WriteText(socket_device* record, const char* text) {
  const long length = static_cast<long>(std::strlen(text));
  const long sent = socket_write(record, text, length);
  return sent == length ? 1 : (sent == 0 ? 0 : -1);
}

// One word ended by a comma or "Y": 1 read, 0 stopped by the yield function,
// -1 failed (also for a word longer than the limit).
int ReadWord(socket_device* record, char* word, long* length, char* ended) {
  *length = 0;
  for (;;) {
    char byte = 0;
    const long got = socket_read(record, &byte, 1);
    if (got == 0) return 0;
    if (got != 1) return -1;
    if (byte == ',' || byte == 'Y') {
      *ended = byte;
      word[*length] = '\0';
      return 1;
    }
    if (*length == kWordLimit) return -1;
    word[(*length)++] = byte;
  }
}

long ReadPort(const char* word) {
  const long port = std::strtol(word + kPortWordLength, nullptr, 10);
  return port > 0 && port <= 65535 ? port : 0;
}

bool ParseDotted(const char* text, uint64_t* address) {
  uint64_t result = 0;
  uint64_t part = 0;
  for (const char* at = text;; ++at) {
    if (*at >= '0' && *at <= '9') {
      part = part * 10 + static_cast<uint64_t>(*at - '0');
      if (part > 255) return false;
    } else if (*at == '.' || *at == '\0') {
      result = (result << 8) + part;
      part = 0;
      if (*at == '\0') break;
    } else {
      return false;
    }
  }
  result &= 0xFFFFFFFFu;
  *address = result;
  return result != 0;
}

int ConnectTo(int fd, uint64_t address, uint16_t port) {
  struct sockaddr_in peer {};
  peer.sin_family = AF_INET;
  peer.sin_addr.s_addr = htonl(static_cast<uint32_t>(address));
  peer.sin_port = htons(port);
  return qvsock__connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer);
}

// A failure after the data connection stood: it is closed (with a kept
// listening socket), the record stays failed.
long ClientFails(socket_device* record) {
  if (record->dataFd >= 0) qvsock__closesocket(record->dataFd);
  record->dataFd = -1;
  Settle(record);
  return kStepFailed;
}

long Stopped(socket_device* record) {
  Restart(record);
  return kStepStopped;
}

// The outcome of a side-channel write that did not go whole.
long WriteFails(socket_device* record, int written) { return written == 0 ? Stopped(record) : ClientFails(record); }

void Established(socket_device* record) {
  unix_arrange_to_get_msgs(record->msgFd, record->dataFd);
  if (record->msgFd >= 0) qvsock___closeonexec(record->msgFd);
  record->state = 1;
}

long ConnectClient(socket_device* record) {
  if (record->state == 1) return kStepConnected;
  if (record->state == -1) return kStepFailed;
  record->state = -1;
  if (record->dataFd < 0) {
    // A fresh socket after a stopped attempt.
    record->dataFd = qvsock__socket();
    if (record->dataFd < 0) return kStepFailed;
    qvsock___closeonexec(record->dataFd);
  }
  uint64_t address = 0;
  if (!LookUpName(record->peerHost, &address, nullptr, 0) || address == 0) {
    if (!ParseDotted(record->peerHost, &address)) {
      ClientFails(record);
      return kStepUnreachable;
    }
  }
  record->peerAddress = address;
  if (ConnectTo(record->dataFd, address, record->peerPort) != 0) {
    ClientFails(record);
    return kStepRefused;
  }
  Tune(record->dataFd);
  for (const char* text : {kNeedWord, "Y"}) {
    const int written = WriteText(record, text);
    if (written != 1) return WriteFails(record, written);
  }
  char word[kWordLimit + 1];
  long length = 0;
  char ended = 0;
  long port = 0;
  bool first = true;
  do {
    const int got = ReadWord(record, word, &length, &ended);
    if (got == 0) return Stopped(record);
    if (got < 0) return ClientFails(record);
    if (first && length < kPortWordLength) return ClientFails(record);
    first = false;
    if (std::strncmp(word, kPortWord, kPortWordLength) == 0) port = ReadPort(word);
  } while (ended == ',');
  if (port != 0) {
    Owned message(qvsock__socket());
    if (message.get() >= 0 && ConnectTo(message.get(), address, static_cast<uint16_t>(port)) == 0) {
      Tune(message.get());
      record->msgFd = message.release();
    }
  }
  Established(record);
  return kStepConnected;
}

// Waits for a connection on fd: 1 ready, 0 stopped by the yield function,
// -1 failed or, with a limit, timed out.
int AwaitConnection(socket_device* record, int fd, bool limited) {
  const auto deadline = std::chrono::steady_clock::now() + kMessageAcceptLimit;
  for (;;) {
    const long wait = limited ? kMessageAcceptSlice : (record->yielder != nullptr ? 0 : kQuietAcceptWait);
    const int ready = unix_select(fd, -1, -1, wait);
    if (ready > 0) return 1;
    if (ready < 0 && errno != EINTR) return -1;
    if (limited && std::chrono::steady_clock::now() >= deadline) return -1;
    if (record->yielder != nullptr) {
      YieldData yield(kAcceptYieldValue, kAcceptYieldSleep);
      if (RVCallYieldFunction(record->yielder, static_cast<QVLink*>(record->yieldCookie), yield.get()) != 0) return 0;
    }
  }
}

// The socket of a message connection: bound to any address at a port the
// system picks, which becomes the device's local port; -1 when it cannot be
// made.
int fresh_socket(socket_device* record) {
  int error = 0;
  return new_device(0, &record->localPort, &error);
}

// The message connection the client asked for; -1 when it does not come, -2
// when the offer could not be written, -3 when the yield function stopped.
int AcceptMessageConnection(socket_device* record) {
  Owned listener(fresh_socket(record));
  if (listener.get() < 0 || qvsock__listen(listener.get(), 1) != 0) {
    // No port to offer: the client goes on without a message connection.
    const int written = WriteText(record, "Y");
    return written == 1 ? -1 : (written == 0 ? -3 : -2);
  }
  char words[32];
  std::snprintf(words, sizeof words, "%s%uY", kPortWord, static_cast<unsigned>(record->localPort));
  const int written = WriteText(record, words);
  if (written != 1) return written == 0 ? -3 : -2;
  const int waited = AwaitConnection(record, listener.get(), true);
  if (waited != 1) return waited == 0 ? -3 : -1;
  const int accepted = qvsock__accept(listener.get(), nullptr, nullptr);
  if (accepted >= 0) Tune(accepted);
  return accepted;
}

long ConnectServer(socket_device* record) {
  if (record->state == -1) return kStepFailed;
  if (record->state == 1) return kStepConnected;
  const int listener = record->dataFd;
  if (listener < 0) return kStepFailed;
  for (;;) {
    const int waited = AwaitConnection(record, listener, false);
    if (waited == 0) return kStepStopped;  // the listener stays for the next attempt
    record->state = -1;
    struct sockaddr_in peer {};
    socklen_t length = sizeof peer;
    const int accepted = waited < 0 ? -1 : qvsock__accept(listener, reinterpret_cast<sockaddr*>(&peer), &length);
    if (accepted < 0) {
      qvsock__closesocket(listener);
      record->dataFd = -1;
      return kStepFailed;
    }
    Owned connection(accepted);
    const uint64_t address = ntohl(peer.sin_addr.s_addr);
    char host[kHostTextSize];
    bool local = false;
    const bool known = LookUpAddress(address, host, kHostTextSize, record->globals->address, &local);
    if (record->acceptAnyHost == 0 && !(known && local)) {
      // Not from this machine's address (or of no known name): keep waiting.
      record->state = 0;
      continue;
    }
    std::snprintf(record->peerHost, kHostTextSize, "%s", known ? host : "");
    record->peerPort = ntohs(peer.sin_port);
    record->peerAddress = address;
    Tune(connection.get());
    // The listening device serves one connection; its socket is kept until
    // that connection stands, for an attempt stopped on the way.
    record->listenFd = listener;
    record->dataFd = connection.release();
    break;
  }
  char word[kWordLimit + 1];
  long length = 0;
  char ended = 0;
  bool asked = false;
  do {
    const int got = ReadWord(record, word, &length, &ended);
    if (got == 0) return Stopped(record);
    if (got < 0) return ClientFails(record);
    if (std::strcmp(word, kNeedWord) == 0) asked = true;
  } while (ended == ',');
  if (asked) {
    const int message = AcceptMessageConnection(record);
    if (message == -3) return Stopped(record);
    if (message == -2) return ClientFails(record);
    record->msgFd = message;
  } else if (const int written = WriteText(record, "Y"); written != 1) {
    return WriteFails(record, written);
  }
  Established(record);
  return kStepConnected;
}

}  // namespace

void Restart(socket_device* record) noexcept {
  DropConnections(record);
  if (record->listenFd >= 0) record->dataFd = record->listenFd;
  record->listenFd = -1;
  record->state = 0;
}

void Settle(socket_device* record) noexcept {
  if (record->listenFd >= 0) qvsock__closesocket(record->listenFd);
  record->listenFd = -1;
}

long socket_connect(socket_device* record) noexcept {
  record->connecting = 1;
  const long outcome = record->listening != 0 ? ConnectServer(record) : ConnectClient(record);
  record->connecting = 0;
  // Messages that come before a real handler is set are read and dropped; a
  // handler set before the connect is kept, or its messages would be lost.
  if (record->handler == nullptr) {
    record->handler = &socket_stubhandler;
    record->handlerCookie = nullptr;
  }
  if (record->state == 1) socket_setmsghandler(record, record->handler, record->handlerCookie);
  return outcome;
}

}  // namespace Quorvane::tcp
