// The TCP world's state: this machine's host text and address, worked out on
// first use, and the host lookups of the device.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "device/qvsockcalls.h"
#include "device/qvtcprecord.h"
#include "utilities/platform/qvinterfaceaddress.h"

namespace Quorvane::tcp {

namespace {

constexpr size_t kFirstLookupBuffer = 1024;
constexpr size_t kLargestLookupBuffer = 1 << 16;

// The text cut to the field, always terminated.
void CopyCut(char* field, long size, const char* text) {
  const size_t length = std::strlen(text);
  const size_t copied = length < static_cast<size_t>(size) ? length : static_cast<size_t>(size) - 1;
  std::memcpy(field, text, copied);
  field[copied] = '\0';
}

// Calls lookup with a buffer that grows while the resolver asks for more.
template <typename Lookup>
struct hostent* Resolve(std::vector<char>* buffer, struct hostent* entry, Lookup lookup) {
  for (size_t size = kFirstLookupBuffer; size <= kLargestLookupBuffer; size *= 2) {
    buffer->assign(size, 0);
    struct hostent* result = nullptr;
    int herror = 0;
    const int failed = lookup(entry, buffer->data(), size, &result, &herror);
    if (failed == ERANGE) continue;
    return failed == 0 ? result : nullptr;
  }
  return nullptr;
}

// The dotted address of this machine's main interface, for a host whose name
// resolves to nothing better than the loopback names; false when there is
// none.
bool socket_desparately_find_ip(char* text, size_t size) { return platform::MainInterfaceAddress(text, size); }

}  // namespace

bool LookUpName(const char* name, uint64_t* address, char* official, long officialSize) noexcept {
  try {
    std::vector<char> buffer;
    struct hostent entry {};
    struct hostent* found = Resolve(&buffer, &entry, [&](struct hostent* e, char* b, size_t n, struct hostent** r, int* h) {
      return gethostbyname_r(name, e, b, n, r, h);
    });
    if (found == nullptr) return false;
    if (official != nullptr && found->h_name != nullptr && static_cast<long>(std::strlen(found->h_name)) < officialSize) {
      std::strcpy(official, found->h_name);
    }
    *address = 0;
    if (found->h_addrtype != AF_INET || found->h_length != 4 || found->h_addr_list[0] == nullptr) return true;
    uint32_t network = 0;
    std::memcpy(&network, found->h_addr_list[0], 4);
    *address = ntohl(network);
    return true;
  } catch (...) {
    return false;
  }
}

bool LookUpAddress(uint64_t address, char* name, long nameSize, uint64_t compared, bool* matched) noexcept {
  *matched = false;
  name[0] = '\0';
  try {
    const uint32_t network = htonl(static_cast<uint32_t>(address));
    std::vector<char> buffer;
    struct hostent entry {};
    struct hostent* found = Resolve(&buffer, &entry, [&](struct hostent* e, char* b, size_t n, struct hostent** r, int* h) {
      return gethostbyaddr_r(&network, sizeof network, AF_INET, e, b, n, r, h);
    });
    if (found == nullptr) return false;
    if (found->h_name != nullptr) CopyCut(name, nameSize, found->h_name);
    if (found->h_addrtype == AF_INET && found->h_length == 4) {
      for (char** at = found->h_addr_list; *at != nullptr; ++at) {
        uint32_t one = 0;
        std::memcpy(&one, *at, 4);
        if (ntohl(one) == compared) *matched = true;
      }
    }
    return true;
  } catch (...) {
    return false;
  }
}

socket_globals* socket_init(qv_allocator_fn allocator, qv_deallocator_fn deallocator) noexcept {
  auto* globals = static_cast<socket_globals*>(allocator(sizeof(socket_globals)));
  if (globals == nullptr) return nullptr;
  std::memset(globals, 0, sizeof(socket_globals));
  globals->allocator = allocator;
  globals->deallocator = deallocator;
  return globals;
}

void socket_deinit(socket_globals* globals) noexcept {
  if (globals != nullptr) globals->deallocator(globals);
}

void lazy_init(socket_globals* globals) noexcept {
  if (globals->initialised != 0) return;
  char host[kHostTextSize + 1] = {};
  qvsock__gethostname(host, kHostTextSize);
  CopyCut(globals->host, kHostTextSize, host);
  globals->address = 0;
  char official[kHostTextSize] = {};
  uint64_t address = 0;
  if (!LookUpName(globals->host, &address, official, kHostTextSize)) {
    globals->initialised = 1;
    return;
  }
  if (official[0] != '\0') std::strcpy(globals->host, official);
  if (std::strstr(globals->host, "localhost.localdomain") != nullptr) {
    char text[16] = {};
    if (socket_desparately_find_ip(text, sizeof text)) CopyCut(globals->host, kHostTextSize, text);
  }
  globals->address = address;
  globals->initialised = 1;
}

}  // namespace Quorvane::tcp
