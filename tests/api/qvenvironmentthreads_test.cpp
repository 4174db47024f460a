// Environments started and ended on many threads at once: every first and
// last decision is taken once, under one lock, whatever the interleaving.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "api/qvenvironment.h"
#include "api/qvenvironmentlocks.h"
#include "quorvane.h"
#include "support/qvtest.h"
#include "tests/utilities/qvtestprocesses.h"

namespace {

constexpr int kThreads = 8;
constexpr int kRounds = 200;

// The process managers in use by live environments: never more than one.
class ManagersInUse {
 public:
  bool Enter(Quorvane::QVProcessManager* manager) {
    std::lock_guard<std::mutex> guard(lock_);
    ++users_[manager];
    return manager != nullptr && users_.size() == 1;
  }
  void Leave(Quorvane::QVProcessManager* manager) {
    std::lock_guard<std::mutex> guard(lock_);
    if (--users_[manager] == 0) users_.erase(manager);
  }

 private:
  std::mutex lock_;
  std::map<Quorvane::QVProcessManager*, int> users_;
};

}  // namespace

TEST(EnvironmentThreads, ManyThreadsStartAndEndEnvironments) {
  ManagersInUse managers;
  std::atomic<int> failures{0};
  std::atomic<int> shared{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < kRounds; ++round) {
        RVEnvironmentParameters* parameters = RVNewParameters(46, 25);
        // Half the environments load no device worlds.
        if ((round + t) % 2 == 0) RVSetDeviceParameter(parameters, "");
        RVEnvironment* environment = RVBegin(parameters);
        RVReleaseParameters(parameters);
        if (environment == nullptr) {
          ++failures;
          continue;
        }
        Quorvane::QVProcessManager* manager = qv_environment::getProcessManager();
        if (!managers.Enter(manager)) ++shared;
        char* argv[] = {const_cast<char*>("-linkname"), const_cast<char*>("x")};
        if (RVFilterArgv(environment, argv, argv + 2) != argv + 2) ++failures;
        managers.Leave(manager);
        RVEnd(environment);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(shared.load(), 0) << "live environments saw more than one process manager";
  {
    std::lock_guard<std::mutex> guard(numberofenvironmentsmutex());
    EXPECT_EQ(numberofenvironments, 0);
  }
  EXPECT_EQ(qv_environment::numberOfEnvironments, 0);
  EXPECT_EQ(qv_environment::getProcessManager(), nullptr);
  EXPECT_TRUE(qvtest::NoThreadNamed("QV-UnixThreads-"));
  EXPECT_EQ(Quorvane::QVObject::GetAllocator(), &Quorvane::qvallocator);
}
