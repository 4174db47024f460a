// The reads a stream device makes before it blocks: they take what the
// descriptor holds, never wait for it beyond the short spin (also once the
// ways of meeting the peer have stopped after missing), answer an end of
// file as such, and read a descriptor that cannot be read without waiting by
// looking at it only.
#include <fcntl.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "device/qvstreamspin.h"
#include "support/qvtest.h"
#include "tests/device/qvpipestest.h"

namespace {

using Quorvane::kNothingReadYet;
using Quorvane::QVStreamSpin;
using Quorvane::ReadSoon;
constexpr int kPeerUnknown = Quorvane::QVSpinChoice::kPeerUnknown;

TEST(StreamSpin, ReadsWhatIsThereAndWaitsForNothing) {
  qvtest::RawPipe pipe;
  QVStreamSpin spin;
  char got[8] = {};
  ASSERT_EQ(write(pipe.w(), "abc", 3), 3);
  EXPECT_EQ(ReadSoon(&spin, pipe.r(), got, sizeof got, kPeerUnknown), 3);
  EXPECT_EQ(std::string(got, 3), "abc");
  // Enough misses for both ways to stop, and some after.
  for (int i = 0; i < 2 * QVStreamSpin::kMissesTolerated; ++i) {
    EXPECT_EQ(ReadSoon(&spin, pipe.r(), got, sizeof got, kPeerUnknown), kNothingReadYet) << i;
  }
  // Whatever it answers then, no byte is lost.
  ASSERT_EQ(write(pipe.w(), "de", 2), 2);
  std::string later;
  const long soon = ReadSoon(&spin, pipe.r(), got, sizeof got, kPeerUnknown);
  if (soon > 0) later.assign(got, static_cast<size_t>(soon));
  else EXPECT_EQ(soon, kNothingReadYet);
  if (later.size() < 2) {
    const ssize_t rest = read(pipe.r(), got, sizeof got);
    ASSERT_GT(rest, 0);
    later.append(got, static_cast<size_t>(rest));
  }
  EXPECT_EQ(later, "de");
  QVStreamSpin fresh;
  close(pipe.Release(1));
  EXPECT_EQ(ReadSoon(&fresh, pipe.r(), got, sizeof got, kPeerUnknown), -2);
}

// A descriptor no read without waiting can be made on (here a directory):
// the spin only looks, and the caller's own read reports what there is.
TEST(StreamSpin, LooksOnlyWhereItCannotReadWithoutWaiting) {
  const int directory = open(qvtest::PrivateRoot().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(directory, 0);
  QVStreamSpin spin;
  char got[8];
  EXPECT_EQ(ReadSoon(&spin, directory, got, sizeof got, kPeerUnknown), kNothingReadYet);
  EXPECT_TRUE(spin.looksOnly);
  close(directory);
}

}  // namespace
