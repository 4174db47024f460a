// Links of one environment made, duplicated, looked up and closed on many
// threads while another lists them: the environment's table of links and its
// numbering stay whole, whatever the interleaving (run under ThreadSanitizer
// as well).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "quorvane.h"
#include "tests/api/qvenvironmenttest.h"

namespace {

constexpr int kThreads = 8;
constexpr int kRounds = 150;

struct ThreadResult {
  std::vector<int64_t> numbers;  // every number the thread's links carried
  int failures = 0;
};

// One round: a loopback link and a duplicate of it, each found by its own
// number while it lives, then both closed.
void MakeAndCloseLinks(RVEnvironment* environment, ThreadResult* result) {
  int error = -1;
  QVLink* link = RVLoopbackOpen(environment, &error);
  if (link == nullptr || error != 0) {
    ++result->failures;
    return;
  }
  long duplicateError = -1;
  QVLink* twin = RVDuplicateLink(link, "twin", &duplicateError);
  if (twin == nullptr || duplicateError != 0) ++result->failures;
  for (QVLink* made : {link, twin}) {
    if (made == nullptr) continue;
    const int64_t number = RVToLinkID(made);
    result->numbers.push_back(number);
    if (number <= 0 || RVFromLinkID(environment, number) != made) ++result->failures;
  }
  if (twin != nullptr) RVClose(twin);
  RVClose(link);
}

}  // namespace

TEST(LinkTableThreads, LinksMadeAndClosedOnEightThreadsWhileANinthListsThem) {
  qvtest::EnvironmentHandle environment(qvtest::BeginWithoutDevices());
  ASSERT_NE(environment, nullptr);

  std::atomic<bool> done{false};
  std::atomic<int> listFailures{0};
  std::atomic<int> listings{0};
  std::thread lister([&] {
    // Until the makers are done, and at least once after they started.
    while (!done.load() || listings.load() == 0) {
      QVLink** links = nullptr;
      int count = -1;
      if (RVGetLinksFromEnvironment(environment.get(), &links, &count) != 1 || count < 0 ||
          count > 2 * kThreads || (count == 0) != (links == nullptr)) {
        ++listFailures;
      }
      RVReleaseLinksFromEnvironment(environment.get(), links);
      ++listings;
    }
  });

  std::vector<ThreadResult> results(kThreads);
  std::vector<std::thread> makers;
  for (int t = 0; t < kThreads; ++t) {
    makers.emplace_back([&, t] {
      for (int round = 0; round < kRounds; ++round) MakeAndCloseLinks(environment.get(), &results[t]);
    });
  }
  for (std::thread& maker : makers) maker.join();
  done = true;
  lister.join();

  EXPECT_EQ(listFailures.load(), 0);
  std::vector<int64_t> all;
  for (const ThreadResult& result : results) {
    EXPECT_EQ(result.failures, 0);
    all.insert(all.end(), result.numbers.begin(), result.numbers.end());
  }
  // No number was handed out twice, and none was skipped.
  std::sort(all.begin(), all.end());
  ASSERT_EQ(all.size(), static_cast<size_t>(2 * kThreads * kRounds));
  EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end());
  EXPECT_EQ(all.front(), 1);
  EXPECT_EQ(all.back(), static_cast<int64_t>(all.size()));

  QVLink** links = nullptr;
  int count = -1;
  ASSERT_EQ(RVGetLinksFromEnvironment(environment.get(), &links, &count), 1);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(links, nullptr);
  for (const int64_t number : {all.front(), all.back()}) EXPECT_EQ(RVFromLinkID(environment.get(), number), nullptr);
}

TEST(LinkTableThreads, EndingTheEnvironmentClosesLinksLeftOpenOnOtherThreads) {
  RVEnvironment* environment = qvtest::BeginWithoutDevices();
  ASSERT_NE(environment, nullptr);
  std::vector<std::thread> makers;
  std::atomic<int> opened{0};
  for (int t = 0; t < kThreads; ++t) {
    makers.emplace_back([&] {
      int error = -1;
      // Left open: the environment's end closes them.
      for (int i = 0; i < 4; ++i) {
        if (RVLoopbackOpen(environment, &error) != nullptr) ++opened;
      }
    });
  }
  for (std::thread& maker : makers) maker.join();
  QVLink** links = nullptr;
  int count = -1;
  ASSERT_EQ(RVGetLinksFromEnvironment(environment, &links, &count), 1);
  EXPECT_EQ(count, opened.load());
  EXPECT_EQ(count, 4 * kThreads);
  for (int i = 1; i < count; ++i) EXPECT_LT(RVToLinkID(links[i - 1]), RVToLinkID(links[i]));
  RVReleaseLinksFromEnvironment(environment, links);
  RVEnd(environment);  // sanitizer builds report what this leaves behind
}
