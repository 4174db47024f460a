// Making a TCP record: the protocol text, the mode, the name and location,
// and the socket each side starts with.
#include <netinet/in.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "device/qvfileutils.h"
#include "device/qvmessagelayer.h"
#include "device/qvsockcalls.h"
#include "device/qvtcp.h"
#include "device/qvtcprecord.h"

namespace Quorvane::tcp {

namespace {

constexpr unsigned long kListen = 2;
constexpr unsigned long kConnect = 4;
constexpr unsigned long kLocallyVisible = 1;
constexpr unsigned long kForceYield = 0x200;

bool AllDigits(const char* text) {
  for (; *text != '\0'; ++text) {
    if (*text < '0' || *text > '9') return false;
  }
  return true;
}

long MakeConnecting(socket_device* record, const char* name, const char* location) {
  char buffer[kParseBufferSize];
  char* port = nullptr;
  char* host = nullptr;
  char* rest = nullptr;
  if (qvu_parse_name(name, location, buffer, sizeof buffer, &port, &host, &rest, "@") != 0) return kNameMalformed;
  int error = 0;
  record->dataFd = new_device(0, &record->localPort, &error);
  if (record->dataFd < 0) return -1;
  record->peerPort = static_cast<uint16_t>(std::strtol(port, nullptr, 10));
  std::snprintf(record->peerHost, kHostTextSize, "%s", *host != '\0' ? host : record->globals->host);
  std::snprintf(record->name, kNameSize, "%u@%s", static_cast<unsigned>(record->peerPort), record->peerHost);
  record->listening = 0;
  return 0;
}

long MakeListening(socket_device* record, const char* name, unsigned long options) {
  record->acceptAnyHost = (options & 3) == kLocallyVisible ? 0 : 1;
  const bool named = *name != '\0';
  if (named && !AllDigits(name)) return kNameMalformed;
  // Digits beyond a port number are no port.
  if (named && (std::strlen(name) > 5 || std::strtol(name, nullptr, 10) > 65535)) return kNameMalformed;
  int error = 0;
  record->dataFd = new_device(static_cast<uint16_t>(std::strtol(name, nullptr, 10)), &record->localPort, &error);
  if (record->dataFd < 0) {
    if (error == EADDRINUSE) return kNameInUse;
    if (error == -1) return -1;
    return named ? kNameMalformed : error;
  }
  record->peerPort = 0;
  record->peerAddress = 0;
  record->peerHost[0] = '\0';
  record->listening = 1;
  std::snprintf(record->name, kNameSize, "%u@%s", static_cast<unsigned>(record->localPort), record->globals->host);
  if (qvsock__listen(record->dataFd, 1) != 0) return -1;
  return 0;
}

}  // namespace

int new_device(uint16_t port, uint16_t* localPort, int* error) noexcept {
  const int fd = qvsock__socket();
  if (fd < 0) {
    *error = errno;
    return -1;
  }
  struct sockaddr_in address {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(port);
  socklen_t length = sizeof address;
  if (qvsock___reuseaddr(fd) != 0 || qvsock___closeonexec(fd) < 0) {
    *error = -1;
  } else if (qvsock__bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    *error = errno;
  } else if (qvsock__getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    *error = -1;
  } else {
    *localPort = ntohs(address.sin_port);
    return fd;
  }
  qvsock__closesocket(fd);
  return -1;
}

socket_device* socket_make(World* world, const char* protocol, unsigned long mode, const char* name,
                           const char* location, unsigned long options, long* error) noexcept {
  if (protocol != nullptr && *protocol != '\0' && (std::strlen(protocol) != 3 || strcasecmp(protocol, "TCP") != 0)) {
    *error = kProtocolUnavailable;
    return nullptr;
  }
  if (mode == 0) mode = name != nullptr && *name != '\0' ? kConnect : kListen;
  if ((mode & (kListen | kConnect)) == 0) {
    *error = kModeUnavailable;
    return nullptr;
  }
  if (world->globals == nullptr) {
    *error = kBadWorldArguments;
    return nullptr;
  }
  lazy_init(world->globals);
  auto* record = static_cast<socket_device*>(world->allocator(sizeof(socket_device)));
  if (record == nullptr) {
    *error = kNoMemory;
    return nullptr;
  }
  std::memset(record, 0, sizeof(socket_device));
  record->dataFd = record->msgFd = record->listenFd = -1;
  record->globals = world->globals;
  record->forceYield = (options & kForceYield) != 0;
  const char* text = name != nullptr ? name : "";
  *error = (mode & kListen) != 0 ? MakeListening(record, text, options)
                                 : MakeConnecting(record, text, location != nullptr ? location : "");
  if (*error != 0) {
    socket_destroy(record);
    return nullptr;
  }
  return record;
}

void DropConnections(socket_device* record) noexcept {
  unix_rmvmsghandler(record);
  for (int* fd : {&record->dataFd, &record->msgFd}) {
    if (*fd < 0) continue;
    unix_arrange_to_stop_msgs(*fd);
    qvsock__closesocket(*fd);
    *fd = -1;
  }
}

void socket_destroy(socket_device* record) noexcept {
  socket_rmvmsghandler(record);
  DropConnections(record);
  Settle(record);
  record->globals->deallocator(record);
}

}  // namespace Quorvane::tcp

int qvu_parse_name(const char* name, const char* location, char* buffer, size_t size, char** port, char** host,
                   char** rest, const char* separators) noexcept {
  if (name == nullptr) name = "";
  if (buffer == nullptr || size == 0 || separators == nullptr || separators[0] == '\0') return -1;
  const bool located = location != nullptr && *location != '\0';
  const size_t nameLength = std::strlen(name);
  const size_t locationLength = located ? std::strlen(location) : 0;
  // The joined text and its terminator must fit: nothing is cut silently.
  if (nameLength + (located ? 1 + locationLength : 0) + 1 > size) return -1;
  std::memcpy(buffer, name, nameLength);
  size_t at = nameLength;
  if (located) {
    buffer[at++] = separators[0];
    std::memcpy(buffer + at, location, locationLength);
    at += locationLength;
  }
  buffer[at] = '\0';
  *port = buffer;
  char* first = std::strchr(buffer, separators[0]);
  if (first != nullptr) {
    *first = '\0';
    *host = first + 1;
  } else {
    *host = buffer + at;
  }
  char* cut = separators[1] != '\0' ? std::strchr(*host, separators[1]) : nullptr;
  if (cut != nullptr) {
    *cut = '\0';
    *rest = cut + 1;
  } else {
    *rest = *host + std::strlen(*host);
  }
  return 0;
}
