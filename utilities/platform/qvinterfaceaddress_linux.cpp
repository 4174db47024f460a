// The interface list by SIOCGIFCONF. Linux records have a fixed size (no
// sa_len), so they are walked in sizeof(struct ifreq) steps.
#include "utilities/platform/qvinterfaceaddress.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace Quorvane::platform {

namespace {

constexpr size_t kFirstBuffer = 3200;
constexpr size_t kGrowth = 320;
constexpr int kMaxAsks = 64;

class Socket {
 public:
  Socket() : fd_(socket(AF_INET, SOCK_DGRAM, 0)) {}
  ~Socket() {
    if (fd_ >= 0) close(fd_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

// The list, asked again with a bigger buffer until two answers agree.
bool ListInterfaces(int fd, std::vector<char>* list, size_t* used) {
  size_t size = kFirstBuffer;
  long last = -1;
  for (int ask = 0; ask < kMaxAsks; ++ask, size += kGrowth) {
    list->assign(size, 0);
    struct ifconf conf {};
    conf.ifc_len = static_cast<int>(size);
    conf.ifc_buf = list->data();
    long length = 0;
    if (ioctl(fd, SIOCGIFCONF, &conf) < 0) {
      if (errno != EINVAL || last != -1) return false;
    } else {
      length = conf.ifc_len;
    }
    if (length == last) {
      *used = static_cast<size_t>(length);
      return true;
    }
    last = length;
  }
  return false;
}

}  // namespace

bool MainInterfaceAddress(char* text, size_t size) noexcept {
  try {
    Socket socket;
    if (socket.fd() < 0) return false;
    std::vector<char> list;
    size_t used = 0;
    if (!ListInterfaces(socket.fd(), &list, &used)) return false;
    int up = 0;
    bool loopbackUp = false;
    for (size_t at = 0; at + sizeof(struct ifreq) <= used; at += sizeof(struct ifreq)) {
      struct ifreq entry;
      std::memcpy(&entry, list.data() + at, sizeof entry);
      if (entry.ifr_addr.sa_family != AF_INET) continue;
      struct sockaddr_in address;
      std::memcpy(&address, &entry.ifr_addr, sizeof address);
      char* colon = std::strchr(entry.ifr_name, ':');
      if (colon != nullptr) *colon = '\0';
      struct ifreq flags {};
      std::memcpy(flags.ifr_name, entry.ifr_name, sizeof flags.ifr_name);
      if (ioctl(socket.fd(), SIOCGIFFLAGS, &flags) < 0 || (flags.ifr_flags & IFF_UP) == 0) continue;
      ++up;
      // Linux has no fixed name for the main interface: the first up one
      // that is not loopback serves, as the network layer chooses.
      if ((flags.ifr_flags & IFF_LOOPBACK) != 0 || std::strstr(entry.ifr_name, "lo") == entry.ifr_name) {
        loopbackUp = true;
        continue;
      }
      return inet_ntop(AF_INET, &address.sin_addr, text, static_cast<socklen_t>(size < 16 ? size : 16)) != nullptr;
    }
    if (up == 1 && loopbackUp && size > std::strlen("127.0.0.1")) {
      std::strcpy(text, "127.0.0.1");
      return true;
    }
    return false;
  } catch (...) {
    return false;
  }
}

}  // namespace Quorvane::platform
