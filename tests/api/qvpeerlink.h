// A link to a second program: this process listens over "TCPIP" on
// 127.0.0.1 and a forked child connects to it, runs its part on its end of
// the link and exits with that part's answer. Both ends are opened and used
// through the public calls alone.
//
// The child is forked before this process starts its environment (whose
// device worlds start threads), and learns the link's name through a pipe.
// Every wait on either end gives up after kPeerDeadline.
#pragma once

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>

#include "quorvane.h"
#include "support/qvtest.h"

namespace qvpeer {

inline constexpr std::chrono::seconds kPeerDeadline{30};

// The yield function of both ends: a wait that has gone on too long stops.
inline std::chrono::steady_clock::time_point& GiveUpAt() {
  static std::chrono::steady_clock::time_point at;
  return at;
}
inline int UntilGiveUp(void*, QVYieldParams*) { return std::chrono::steady_clock::now() >= GiveUpAt() ? 1 : 0; }

// Opens and connects a link whose waits are bounded; null on failure.
inline QVLink* OpenBounded(RVEnvironment* environment, const std::string& command, bool activate) {
  GiveUpAt() = std::chrono::steady_clock::now() + kPeerDeadline;
  int error = 0;
  QVLink* link = RVOpenString(environment, command.c_str(), &error);
  if (link == nullptr) return nullptr;
  if (RVSetYieldFunction(link, &UntilGiveUp) == 0 || (activate && RVActivate(link) == 0)) {
    RVClose(link);
    return nullptr;
  }
  return link;
}

// What the child runs on its end of the link: 0 for success, else a code
// of its own (the child's exit status).
using PeerPart = std::function<int(QVLink*)>;

class PeerLink {
 public:
  // protocol: "TCPIP" (on 127.0.0.1) or "SharedMemory" (a fresh name).
  explicit PeerLink(const PeerPart& part, const std::string& protocol = "TCPIP") {
    int names[2];
    if (::pipe(names) != 0) return;
    child_ = ::fork();
    if (child_ == 0) {
      ::close(names[1]);
      _exit(RunPeer(names[0], part, protocol));
    }
    ::close(names[0]);
    if (child_ < 0) {
      ::close(names[1]);
      return;
    }
    environment_ = RVInitialize(nullptr);
    if (environment_ != nullptr) {
      const std::string name = protocol == "TCPIP" ? "@127.0.0.1" : "qvpeer" + std::to_string(::getpid());
      link_ = OpenBounded(environment_, "-linkprotocol " + protocol + " -linkmode listen -linkname " + name, false);
    }
    if (link_ != nullptr) {
      const std::string name = RVName(link_);
      if (::write(names[1], name.data(), name.size()) != static_cast<ssize_t>(name.size()) ||
          RVActivate(link_) == 0) {
        RVClose(link_);
        link_ = nullptr;
      }
    }
    ::close(names[1]);
  }

  ~PeerLink() {
    CloseLink();
    if (environment_ != nullptr) RVDeinitialize(environment_);
    if (child_ > 0) {
      ::kill(child_, SIGKILL);
      ::waitpid(child_, nullptr, 0);
    }
  }

  PeerLink(const PeerLink&) = delete;
  PeerLink& operator=(const PeerLink&) = delete;

  // This end, connected; null when the link could not be made.
  QVLink* link() const { return link_; }
  RVEnvironment* environment() const { return environment_; }

  void CloseLink() {
    if (link_ != nullptr) RVClose(link_);
    link_ = nullptr;
  }

  // The child's exit status once it has ended (-1 when it did not end in
  // time or was not started).
  int WaitForPeer() {
    if (child_ <= 0) return -1;
    int status = -1;
    if (!qvtest::WaitUntil([&] { return ::waitpid(child_, &status, WNOHANG) == child_; }, kPeerDeadline)) return -1;
    child_ = 0;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  static int RunPeer(int nameFd, const PeerPart& part, const std::string& protocol) {
    char name[256] = {};
    pollfd entry{nameFd, POLLIN, 0};
    const auto deadline = std::chrono::duration_cast<std::chrono::milliseconds>(kPeerDeadline);
    if (::poll(&entry, 1, static_cast<int>(deadline.count())) != 1 || ::read(nameFd, name, sizeof name - 1) <= 0) {
      return 120;
    }
    RVEnvironment* environment = RVInitialize(nullptr);
    if (environment == nullptr) return 121;
    int answer = 122;
    if (QVLink* link =
            OpenBounded(environment, "-linkprotocol " + protocol + " -linkmode connect -linkname " + name, true)) {
      answer = part(link);
      RVClose(link);
    }
    RVDeinitialize(environment);
    return answer;
  }

  pid_t child_ = -1;
  RVEnvironment* environment_ = nullptr;
  QVLink* link_ = nullptr;
};

}  // namespace qvpeer
