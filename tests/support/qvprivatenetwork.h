// A network of the process's own: a network namespace with only loopback up,
// so that sockets bound to the any-address reach nothing outside and nothing
// outside reaches them.
#pragma once

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>

namespace qvtest {

// Why this process has no network of its own; empty when it has one.
inline std::string& PrivateNetworkRefusal() {
  static std::string reason;
  return reason;
}

inline bool Refused(const char* step) {
  PrivateNetworkRefusal() = std::string(step) + ": " + std::strerror(errno);
  return false;
}

// Maps this process's user and group to root of a user namespace it has just
// entered.
inline void MapToRoot(uid_t uid, gid_t gid) {
  std::ofstream("/proc/self/setgroups") << "deny";
  std::ofstream("/proc/self/uid_map") << "0 " << uid << " 1";
  std::ofstream("/proc/self/gid_map") << "0 " << gid << " 1";
}

// Brings the loopback interface of the current network namespace up.
inline bool LoopbackUp() {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return Refused("socket");
  struct ifreq request {};
  std::strcpy(request.ifr_name, "lo");
  bool up = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
  request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
  up = up && ioctl(fd, SIOCSIFFLAGS, &request) == 0;
  if (!up) Refused("bringing lo up");
  close(fd);
  return up;
}

// Enters namespaces of this process's own (CLONE_NEW* kinds, named in what)
// before any thread exists: directly where the process may (root, also in a
// chroot, which refuses it a user namespace), else inside a user namespace
// whose root it becomes. False, the reason in PrivateNetworkRefusal, when the
// kernel refuses both.
inline bool EnterNamespaces(int kinds, const std::string& what) {
  if (unshare(kinds) == 0) return true;
  const std::string direct = std::strerror(errno);
  const uid_t uid = getuid();
  const gid_t gid = getgid();
  if (unshare(CLONE_NEWUSER | kinds) != 0) {
    PrivateNetworkRefusal() = "unshare(" + what + "): " + direct + "; inside a user namespace: " + std::strerror(errno);
    return false;
  }
  MapToRoot(uid, gid);
  return true;
}

// Enters a network namespace of this process's own with loopback up, before
// any thread exists; false (the reason in PrivateNetworkRefusal) when the
// kernel refuses it.
inline bool EnterPrivateNetwork() { return EnterNamespaces(CLONE_NEWNET, "network namespace") && LoopbackUp(); }

}  // namespace qvtest
