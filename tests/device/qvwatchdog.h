// A deadline for a call that must not hang: a test whose call never ends
// fails, saying what still waits, instead of hanging until the case's
// time-out.
#pragma once

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "support/qvtest.h"

namespace qvtest {

// Ends the process, saying why, unless disarmed (destroyed) in time: a wait
// that never ends must fail the test, not hang it to the case's time-out.
class Watchdog {
 public:
  Watchdog(std::chrono::seconds within, std::string what) : what_(std::move(what)) {
    thread_ = std::thread([this, within] {
      std::unique_lock<std::mutex> hold(mutex_);
      if (done_.wait_for(hold, within, [this] { return disarmed_; })) return;
      std::fprintf(stderr, "FAILED: %s still waits after %lld s\n", what_.c_str(),
                   static_cast<long long>(within.count()));
      std::fflush(stderr);
      qvtest::RemoveTree(qvtest::PrivateRoot());
      _exit(3);
    });
  }
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> hold(mutex_);
      disarmed_ = true;
    }
    done_.notify_one();
    thread_.join();
  }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

 private:
  std::string what_;
  std::mutex mutex_;
  std::condition_variable done_;
  bool disarmed_ = false;
  std::thread thread_;
};

}  // namespace qvtest
