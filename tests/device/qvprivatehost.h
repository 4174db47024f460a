// A child on a host the test makes: a network of its own (only loopback up,
// and a point-to-point interface when asked), its own host name and its own
// hosts file, so that name lookups answer what the test says whatever this
// machine's name and /etc/hosts hold. The child's test failures are reported
// in the test that started it.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include "support/qvtest.h"
#include "tests/device/qvtcptest.h"

namespace qvtest {

struct PrivateHost {
  std::string name;   // the host name
  std::string hosts;  // the hosts file
  // When not empty: the IPv4 address of an up point-to-point interface.
  std::string interfaceAddress;
};

namespace privatehost {

constexpr int kRefused = 77;
constexpr size_t kReportLimit = 16384;

inline std::string Failed(const char* step) { return std::string(step) + ": " + std::strerror(errno); }

inline std::string Bind(const std::string& file, const char* target) {
  if (mount(file.c_str(), target, nullptr, MS_BIND, nullptr) != 0) return Failed(("bind " + file).c_str());
  return "";
}

// An interface that stays while the descriptor is open: up, with the address.
inline std::string AddInterface(const std::string& address) {
  const int tun = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
  if (tun < 0) return Failed("open /dev/net/tun");
  struct ifreq request {};
  std::strcpy(request.ifr_name, "qv0");
  request.ifr_flags = IFF_TUN | IFF_NO_PI;
  if (ioctl(tun, TUNSETIFF, &request) != 0) return Failed("TUNSETIFF");
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return Failed("socket");
  sockaddr_in in{};
  in.sin_family = AF_INET;
  inet_pton(AF_INET, address.c_str(), &in.sin_addr);
  std::memcpy(&request.ifr_addr, &in, sizeof in);
  std::string failed;
  if (ioctl(fd, SIOCSIFADDR, &request) != 0) failed = Failed("SIOCSIFADDR");
  if (failed.empty() && ioctl(fd, SIOCGIFFLAGS, &request) != 0) failed = Failed("SIOCGIFFLAGS");
  request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
  if (failed.empty() && ioctl(fd, SIOCSIFFLAGS, &request) != 0) failed = Failed("SIOCSIFFLAGS");
  close(fd);
  return failed;
}

// In the child: the namespaces and files; empty, or the step refused.
inline std::string Enter(const PrivateHost& host, const TempDir& dir) {
  constexpr int kSpaces = CLONE_NEWNET | CLONE_NEWUTS | CLONE_NEWNS;
  if (!EnterNamespaces(kSpaces, "network, UTS and mount namespaces") || !LoopbackUp()) return PrivateNetworkRefusal();
  if (sethostname(host.name.data(), host.name.size()) != 0) return Failed("sethostname");
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return Failed("private mounts");
  std::string failed = Bind(dir.file("hosts"), "/etc/hosts");
  // Only the file answers: no resolver or name service of this machine.
  if (failed.empty() && access("/etc/nsswitch.conf", F_OK) == 0) failed = Bind(dir.file("nsswitch.conf"), "/etc/nsswitch.conf");
  if (failed.empty() && !host.interfaceAddress.empty()) failed = AddInterface(host.interfaceAddress);
  return failed;
}

inline void Report(int fd, const std::string& text) {
  const std::string cut = text.substr(0, kReportLimit);
  for (size_t at = 0; at < cut.size();) {
    const ssize_t n = write(fd, cut.data() + at, cut.size() - at);
    if (n <= 0) return;
    at += static_cast<size_t>(n);
  }
}

// What the child wrote, until its end of the pipe closes or a second passes.
inline std::string Collect(int fd) {
  std::string text;
  for (int round = 0; round < 1000; ++round) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 1000) != 1) break;
    char buffer[4096];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  return text;
}

}  // namespace privatehost

// Runs body in a child on the host and reports its failures (and a child
// that does not end within the limit) here. Answers empty, or why the kernel
// refused the host (the caller skips with it).
inline std::string RunOnPrivateHost(const PrivateHost& host, const std::function<void()>& body,
                                    std::chrono::seconds within = std::chrono::seconds(60)) {
  TempDir dir;
  std::ofstream(dir.file("hosts")) << host.hosts;
  std::ofstream(dir.file("nsswitch.conf")) << "hosts: files\n";
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return privatehost::Failed("pipe");
  const pid_t child = fork();
  if (child < 0) return privatehost::Failed("fork");
  if (child == 0) {
    close(report[0]);
    const std::string refused = privatehost::Enter(host, dir);
    if (!refused.empty()) {
      privatehost::Report(report[1], refused);
      _exit(privatehost::kRefused);
    }
    testing::TestPartResultArray results;
    {
      testing::ScopedFakeTestPartResultReporter reporter(testing::ScopedFakeTestPartResultReporter::INTERCEPT_ALL_THREADS,
                                                         &results);
      body();
    }
    std::string text;
    bool failed = false;
    bool skipped = false;
    for (int i = 0; i < results.size(); ++i) {
      const testing::TestPartResult& r = results.GetTestPartResult(i);
      failed = failed || r.failed();
      skipped = skipped || r.skipped();
      text += std::string(r.file_name() != nullptr ? r.file_name() : "?") + ":" + std::to_string(r.line_number()) +
              ": " + r.message() + "\n";
    }
    privatehost::Report(report[1], text);
    _exit(failed ? 1 : (skipped ? privatehost::kRefused : 0));
  }
  close(report[1]);
  int status = 0;
  const bool ended = WaitUntil([&] { return waitpid(child, &status, WNOHANG) == child; }, within);
  if (!ended) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
  }
  const std::string text = privatehost::Collect(report[0]);
  close(report[0]);
  if (!ended) {
    ADD_FAILURE() << "the child on its own host did not end within " << within.count() << " s\n" << text;
    return "";
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == privatehost::kRefused) return text.empty() ? "refused" : text;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status << "\n" << text;
  return "";
}

// A host whose name, qvhost, maps to 127.0.1.1 of its loopback: a listener
// named <port>@qvhost is reached by that name.
inline PrivateHost NamedLoopbackHost() { return {"qvhost", "127.0.0.1 localhost\n127.0.1.1 qvhost\n", ""}; }

}  // namespace qvtest

// Runs the body (a lambda) on the host, skipping the test when the kernel
// refuses it.
#define QV_ON_PRIVATE_HOST(host, ...)                                              \
  do {                                                                             \
    const std::string refused = qvtest::RunOnPrivateHost((host), __VA_ARGS__);     \
    if (!refused.empty()) GTEST_SKIP() << "no host of the test's own: " << refused; \
  } while (0)
