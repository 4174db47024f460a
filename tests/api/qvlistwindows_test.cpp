// Lists and arrays as a host puts them (List functions of single numbers)
// arrive in read windows of every size, so the window ends before, inside and
// after each token at every offset. The gets take the numbers lying whole in
// a window at once and the rest one by one; either way every value, the
// length, the reader's place after the list and the expressions owed are the
// same, a leaf of another type converts where it stands, and a token cut off
// wrong fails with what was read before it handed out.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "api/qvlink.h"
#include "api/qvtokentypes.h"
#include "quorvane.h"
#include "tests/api/qvtypedtest.h"

namespace {

using qvtest::ScriptedDevice;
using qvtest::ScriptedOptions;

constexpr int kLength = 250;
constexpr int kAfter = 7;  // the argument after the list

double Value(int i) { return i * 1.25 - 100 + 1.0 / (i + 3); }

class ListWindowsTest : public qvtest::TypedLinkTest, public testing::WithParamInterface<long> {
 protected:
  // The bytes put writes on a link of this side, packet ended.
  std::string Bytes(const std::function<void(QVLink*)>& put) {
    ScriptedDevice device;
    QVLink* link = Scripted(device);
    EXPECT_NE(link, nullptr);
    if (link == nullptr) return {};
    put(link);
    EXPECT_EQ(RVEndPacket(link), 1);
    EXPECT_EQ(RVFlush(link), 1);
    RVClose(link);
    device.ClosePeer();  // once all the link wrote is captured
    return device.Captured();
  }

  // f[List[values...], 7]; the element at `other` (if any) goes as an integer.
  std::string Call(int other = -1) {
    return Bytes([&](QVLink* link) {
      ASSERT_EQ(RVPutFunction(link, "f", 2), 1);
      ASSERT_EQ(RVPutFunction(link, "List", kLength), 1);
      for (int i = 0; i < kLength; ++i) {
        ASSERT_EQ(i == other ? RVPutInteger(link, i) : RVPutReal64(link, Value(i)), 1);
      }
      ASSERT_EQ(RVPutInteger(link, kAfter), 1);
    });
  }

  // A link reading bytes in windows of the test's size.
  QVLink* Reading(ScriptedDevice& device, const std::string& bytes) {
    QVLink* link = Scripted(device);
    if (link != nullptr) device.WriteBytes(bytes);
    return link;
  }

  // f's head, then (after the caller's get of the list) the 7 and the end.
  static void ExpectHead(QVLink* link) {
    const char* head = nullptr;
    int count = 0;
    ASSERT_EQ(RVGetFunction(link, &head, &count), 1) << RVError(link);
    RVReleaseSymbol(link, head);
    ASSERT_EQ(count, 2);
  }
  static void ExpectRest(QVLink* link) {
    int after = 0;
    ASSERT_EQ(RVGetInteger(link, &after), 1) << RVError(link);
    EXPECT_EQ(after, kAfter);
    int owed = -1;
    ASSERT_EQ(RVExpressionsToGet(link, &owed), 1);
    EXPECT_EQ(owed, 0);
    EXPECT_EQ(RVNewPacket(link), 1) << RVError(link);
    EXPECT_EQ(RVError(link), 0);
  }
};

// Every list call, and one with a leaf of another type in the middle of it.
TEST_P(ListWindowsTest, ListGetsReadEveryValueWhereverTheWindowEnds) {
  for (int other : {-1, 0, 123, kLength - 1}) {
    SCOPED_TRACE("integer leaf at " + std::to_string(other));
    ScriptedDevice device(ScriptedOptions{.readSize = GetParam()});
    QVLink* link = Reading(device, Call(other) + Call(other) + Call(other));
    ASSERT_NE(link, nullptr);
    const auto expected = [other](int i) { return i == other ? static_cast<double>(i) : Value(i); };
    {
      ExpectHead(link);
      double* data = nullptr;
      int n = -1;
      ASSERT_EQ(RVGetReal64List(link, &data, &n), 1) << RVError(link);
      ASSERT_EQ(n, kLength);
      for (int i = 0; i < n; ++i) ASSERT_EQ(data[i], expected(i)) << "element " << i;
      RVReleaseReal64List(link, data, n);
      ExpectRest(link);
    }
    {
      ExpectHead(link);
      double* data = nullptr;
      long n = -1;
      ASSERT_EQ(RVGetRealList(link, &data, &n), 1) << RVError(link);
      ASSERT_EQ(n, kLength);
      for (int i = 0; i < n; ++i) ASSERT_EQ(data[i], expected(i)) << "element " << i;
      RVReleaseRealList(link, data, n);
      ExpectRest(link);
    }
    {
      SCOPED_TRACE("as floats: every leaf converts");
      ExpectHead(link);
      float* data = nullptr;
      int n = -1;
      ASSERT_EQ(RVGetReal32List(link, &data, &n), 1) << RVError(link);
      ASSERT_EQ(n, kLength);
      for (int i = 0; i < n; ++i) ASSERT_EQ(data[i], static_cast<float>(expected(i))) << "element " << i;
      RVReleaseReal32List(link, data, n);
      ExpectRest(link);
    }
    RVClose(link);
  }
}

// Rows of a matrix end inside runs: each leaf that ends a row starts the next.
// Read whole, and stepwise in pieces that end anywhere in a row.
TEST_P(ListWindowsTest, ArraysStartEachSubArrayWhereverTheWindowEnds) {
  constexpr int kRows = 5;
  constexpr int kColumns = 37;
  const auto put = [&](QVLink* link) {
    ASSERT_EQ(RVPutFunction(link, "List", kRows), 1);
    for (int r = 0; r < kRows; ++r) {
      ASSERT_EQ(RVPutFunction(link, "List", kColumns), 1);
      for (int c = 0; c < kColumns; ++c) ASSERT_EQ(RVPutReal64(link, Value(r * kColumns + c)), 1);
    }
  };
  const std::string array = Bytes(put);
  ScriptedDevice device(ScriptedOptions{.readSize = GetParam()});
  QVLink* link = Reading(device, array + array);
  ASSERT_NE(link, nullptr);
  {
    SCOPED_TRACE("whole");
    double* data = nullptr;
    int* dimensions = nullptr;
    char** heads = nullptr;
    int depth = 0;
    ASSERT_EQ(RVGetReal64Array(link, &data, &dimensions, &heads, &depth), 1) << RVError(link);
    ASSERT_EQ(depth, 2);
    EXPECT_EQ(dimensions[0], kRows);
    EXPECT_EQ(dimensions[1], kColumns);
    for (int i = 0; i < kRows * kColumns; ++i) ASSERT_EQ(data[i], Value(i)) << "leaf " << i;
    RVReleaseReal64Array(link, data, dimensions, heads, depth);
    EXPECT_EQ(RVNewPacket(link), 1) << RVError(link);
  }
  {
    SCOPED_TRACE("stepwise, 23 leaves at a time");
    qvmeter* meter = nullptr;
    long depth = 0;
    int leaf = 0;
    ASSERT_EQ(RVGetArrayTypeWithDepthAndLeafType(link, nullptr, &meter, &depth, &leaf), 1) << RVError(link);
    ASSERT_EQ(depth, 2);
    std::vector<double> got(kRows * kColumns + 1, -1);
    long done = 0;
    while (done < kRows * kColumns) {
      long count = 23;
      ASSERT_EQ(RVGetBinaryNumberArrayDataWithHeads(link, nullptr, meter, got.data() + done, &count, BINARY_REAL64),
                1)
          << RVError(link);
      ASSERT_GT(count, 0);
      done += count;
    }
    EXPECT_EQ(done, kRows * kColumns);
    long none = 5;
    EXPECT_EQ(RVGetBinaryNumberArrayDataWithHeads(link, nullptr, meter, got.data() + done, &none, BINARY_REAL64), 1);
    EXPECT_EQ(none, 0);
    RVReleaseGetArrayState(link, nullptr, meter);
    for (int i = 0; i < kRows * kColumns; ++i) ASSERT_EQ(got[i], Value(i)) << "leaf " << i;
    EXPECT_EQ(got.back(), -1);
    EXPECT_EQ(RVNewPacket(link), 1) << RVError(link);
  }
  RVClose(link);
}

// A token whose data does not end where its size says fails the get with 2,
// wherever the window ends; the block handed out holds the leaves before it.
TEST_P(ListWindowsTest, ATokenCutOffWrongFailsWithTheLeavesBeforeIt) {
  for (int bad : {0, 1, 100, kLength - 1}) {
    SCOPED_TRACE("bad terminator after leaf " + std::to_string(bad));
    std::string bytes = Call();
    // The bad leaf's terminator: the n-th real token's last byte.
    const char real[] = {static_cast<char>(BINARY_REAL64)};
    size_t at = 0;
    for (int i = 0; i <= bad; ++i) {
      double v = Value(i);
      at = bytes.find(std::string(real, 1) + std::string(reinterpret_cast<char*>(&v), 8), at);
      ASSERT_NE(at, std::string::npos);
      at += 9;
    }
    bytes[at] = ';';
    ScriptedDevice device(ScriptedOptions{.readSize = GetParam()});
    QVLink* link = Reading(device, bytes);
    ASSERT_NE(link, nullptr);
    ExpectHead(link);
    double* data = nullptr;
    int n = -1;
    EXPECT_EQ(RVGetReal64List(link, &data, &n), 0);
    EXPECT_EQ(RVError(link), 2);
    EXPECT_EQ(n, bad);
    ASSERT_NE(data, nullptr);
    for (int i = 0; i < bad; ++i) ASSERT_EQ(data[i], Value(i)) << "element " << i;
    RVReleaseReal64List(link, data, n);
    RVClose(link);
  }
}

// Windows that end at every offset of a 10-byte real token (sizes prime to
// it, and 1), and one that holds everything.
INSTANTIATE_TEST_SUITE_P(ReadWindows, ListWindowsTest, testing::Values(1, 3, 7, 9, 11, 13, 4096),
                         [](const testing::TestParamInfo<long>& row) { return "of" + std::to_string(row.param); });

}  // namespace
