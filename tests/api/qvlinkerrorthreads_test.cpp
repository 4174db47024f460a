// A thread-safe link's error code is looked at by many calls before they do
// their work; another thread's puts store the code meanwhile. Each look must
// happen under the link lock: built with -DQV_SANITIZE=thread, a look outside
// it is reported as a race. In every build the puts must all arrive.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>

#include "api/qvlink.h"
#include "quorvane.h"
#include "tests/api/qvtypedtest.h"

namespace {

constexpr int kRounds = 400;

struct Reader {
  const char* name;
  std::function<void(QVLink*)> call;  // a call that looks at the pending code first
  long codeAfter;                     // the link's code once both threads are done
};

const unsigned char kText[] = "x";

const Reader kReaders[] = {
    {"Flush", [](QVLink* l) { RVFlush(l); }, 0},
    {"SetError", [](QVLink* l) { RVSetError(l, 0); }, 0},
    {"EstablishAnEstablishedLink", [](QVLink* l) { RVEstablish(l, nullptr); }, 0},
    {"Mark", [](QVLink* l) { RVDestroyMark(l, RVCreateMark(l)); }, 0},
    {"Duplicate",
     [](QVLink* l) {
       long error = 0;
       long second = 0;
       if (QVLink* copy = RVDuplicateLink(l, nullptr, &error)) QVDestroy(copy, &error, &second);
     },
     0},
    // Refused text stores its own code; the puts then stop.
    {"TextOfNegativeLength", [](QVLink* l) { RVPutUTF8String(l, kText, -1); }, 47},
};

class LinkErrorThreadsTest : public qvtest::TypedLinkTest, public testing::WithParamInterface<Reader> {};

TEST_P(LinkErrorThreadsTest, CallReadsThePendingCodeUnderTheLinkLockWhileAnotherThreadPuts) {
  const Reader& reader = GetParam();
  RestartEnvironment([](RVEnvironmentParameters* p) { RVSetThreadSafeLinksParameter(p); });
  ASSERT_FALSE(HasFatalFailure());
  QVLink* link = Loopback();
  ASSERT_NE(link, nullptr);
  ASSERT_NE(link->lockOn, 0);
  std::thread writer([link] {
    for (int i = 0; i < kRounds; ++i) RVPutInteger32(link, i);
  });
  std::thread looker([link, &reader] {
    for (int i = 0; i < kRounds; ++i) reader.call(link);
  });
  writer.join();
  looker.join();
  EXPECT_EQ(RVError(link), reader.codeAfter);
  if (reader.codeAfter == 0) {
    ASSERT_EQ(RVFlush(link), 1);
    int got = 0;
    int value = -1;
    while (got < kRounds && RVGetInteger32(link, &value) == 1 && value == got) ++got;
    EXPECT_EQ(got, kRounds) << "a put was lost or reordered";
  }
  Destroy(link);
}

INSTANTIATE_TEST_SUITE_P(Calls, LinkErrorThreadsTest, testing::ValuesIn(kReaders),
                         [](const testing::TestParamInfo<Reader>& row) { return std::string(row.param.name); });

}  // namespace
