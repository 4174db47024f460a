// A program launched by a host over a device, through the public calls only:
// the host's environment and its link to the program, connected. Everything
// here is set-up, done before a benchmark's timed loop.
#pragma once

#include <chrono>
#include <string>

#include "quorvane.h"

namespace qvbench {

// The devices a host can launch a program over.
enum class Device { kSharedMemory, kPipes, kTCP, kTCPIP };

inline const char* ProtocolOf(Device device) {
  switch (device) {
    case Device::kSharedMemory:
      return "SharedMemory";
    case Device::kPipes:
      return "Pipes";
    case Device::kTCP:
      return "TCP";
    case Device::kTCPIP:
      return "TCPIP";
  }
  return "";
}

namespace launchdetail {

// A launch or a connection that does not come within this time gives up.
inline std::chrono::steady_clock::time_point& GiveUpAt() {
  static std::chrono::steady_clock::time_point at;
  return at;
}

inline int UntilGiveUp(void*, QVYieldParams*) { return std::chrono::steady_clock::now() >= GiveUpAt() ? 1 : 0; }

}  // namespace launchdetail

class LaunchedProgram {
 public:
  // command: the program's path and its own words, as -linkname takes it.
  LaunchedProgram(Device device, const std::string& command) {
    environment_ = RVInitialize(nullptr);
    if (environment_ == nullptr) {
      failure_ = "no environment";
      return;
    }
    char* words[] = {const_cast<char*>("-linkprotocol"), const_cast<char*>(ProtocolOf(device)),
                     const_cast<char*>("-linkmode"),     const_cast<char*>("launch"),
                     const_cast<char*>("-linkname"),     const_cast<char*>(command.c_str())};
    int error = 0;
    link_ = RVOpenArgcArgv(environment_, 6, words, &error);
    if (link_ == nullptr) {
      failure_ = std::string("launch: ") + RVErrorString(environment_, error);
      return;
    }
    launchdetail::GiveUpAt() = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    RVSetYieldFunction(link_, &launchdetail::UntilGiveUp);
    const bool connected = RVConnect(link_) == 1;
    // The measured waits run without a yield function, as a plain host's do.
    RVSetYieldFunction(link_, nullptr);
    if (!connected) Fail("connect");
  }
  ~LaunchedProgram() {
    // The program ends with the link.
    if (link_ != nullptr) RVClose(link_);
    if (environment_ != nullptr) RVDeinitialize(environment_);
  }
  LaunchedProgram(const LaunchedProgram&) = delete;
  LaunchedProgram& operator=(const LaunchedProgram&) = delete;

  // Null when the program could not be launched and reached; failure() says why.
  QVLink* link() const { return link_; }
  const std::string& failure() const { return failure_; }

  // Closes the link with what went wrong on it.
  void Fail(const char* step) {
    failure_ = std::string(step) + ": " + RVErrorMessage(link_);
    RVClose(link_);
    link_ = nullptr;
  }

 private:
  RVEnvironment* environment_ = nullptr;
  QVLink* link_ = nullptr;
  std::string failure_;
};

}  // namespace qvbench
