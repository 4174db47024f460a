// List gets over loopback links whose features decide how a list travels: an
// array token with a packed run, nested List functions with a packed run, or
// List functions of single numbers. Lists are written by the codec's array
// writer and read back with every list call, converted across types.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <functional>
#include <cstring>
#include <vector>

#include "api/qvarraymeter.h"
#include "api/qvfeatureset.h"
#include "quorvane.h"
#include "tests/api/qvtypedtest.h"

namespace {

const std::string kListHead("\x23\x47\x41\x7E\x44\x4C\x69\x73\x74\x0A", 10);

struct Form {
  const char* name;
  uint64_t features;
};
const Form kForms[] = {
    {"array token, packed run", QVFEATURE_ALL},
    {"List function, packed run", QVFEATURE_SHORT_LENGTHS | QVFEATURE_PACKED_RUNS},
    {"List function, single numbers", 0},
};

class ListsTest : public qvtest::TypedLinkTest {
 protected:
  // An array of List heads with the given dimensions and leaves of one type,
  // as one packet, flushed.
  static void PutArray(QVLink* link, const std::vector<int64_t>& dimensions, const void* leaves, unsigned type) {
    qvmeter meter;
    meter.own_dimensions.assign(dimensions.begin(), dimensions.end());
    meter.dimensions = meter.own_dimensions.data();
    meter.depth = static_cast<int64_t>(dimensions.size());
    meter.own_counters.assign(dimensions.size(), 0);
    meter.counters = meter.own_counters.data();
    int64_t leaves_count = 1;
    for (size_t level = 0; level < dimensions.size(); ++level) {
      meter.head_bytes.insert(meter.head_bytes.end(), kListHead.begin(), kListHead.end());
      meter.head_ends.push_back(static_cast<int64_t>(meter.head_bytes.size()));
      leaves_count *= dimensions[level];
    }
    ASSERT_EQ(QVPutArray_(link->writeState, link->deviceStack, link->queueStack.base, &meter), 0);
    if (leaves_count > 0) {
      ASSERT_EQ(QVPutBinaryNumberArrayData_(link->writeState, link->deviceStack, link->queueStack.base, &meter,
                                            leaves, type, leaves_count),
                0);
    }
    ASSERT_EQ(RVEndPacket(link), 1);
    ASSERT_EQ(RVFlush(link), 1);
  }
};

const std::vector<double> kReals = {0.5, -1.25, 3.0, 1e10, -0.0};
const std::vector<int> kInts = {1, -2, 300, 70000, INT_MIN};

TEST_F(ListsTest, EveryListCallReadsEveryFormConverted) {
  for (const Form& form : kForms) {
    SCOPED_TRACE(form.name);
    struct Check {
      const char* name;
      std::function<void(QVLink*)> check;
    };
    const std::vector<Check> checks = {
        {"reals as Real64List (int length)",
         [](QVLink* l) {
           double* data = nullptr;
           int n = -1;
           ASSERT_EQ(RVGetReal64List(l, &data, &n), 1) << RVError(l);
           ASSERT_EQ(n, 5);
           EXPECT_EQ(std::vector<double>(data, data + n), kReals);
           RVReleaseReal64List(l, data, n);
         }},
        {"reals as RealList (long length)",
         [](QVLink* l) {
           double* data = nullptr;
           long n = -1;
           ASSERT_EQ(RVGetRealList(l, &data, &n), 1) << RVError(l);
           ASSERT_EQ(n, 5);
           EXPECT_EQ(std::vector<double>(data, data + n), kReals);
           RVReleaseRealList(l, data, n);
         }},
        {"reals as floats",
         [](QVLink* l) {
           float* data = nullptr;
           int n = -1;
           ASSERT_EQ(RVGetReal32List(l, &data, &n), 1) << RVError(l);
           ASSERT_EQ(n, 5);
           for (int i = 0; i < n; ++i) EXPECT_EQ(data[i], static_cast<float>(kReals[i]));
           RVReleaseReal32List(l, data, n);
         }},
        {"reals as long doubles",
         [](QVLink* l) {
           long double* data = nullptr;
           int n = -1;
           ASSERT_EQ(RVGetReal128List(l, &data, &n), 1) << RVError(l);
           ASSERT_EQ(n, 5);
           for (int i = 0; i < n; ++i) EXPECT_EQ(data[i], static_cast<long double>(kReals[i]));
           RVReleaseReal128List(l, data, n);
         }},
        {"reals through BinaryNumberList with no length",
         [](QVLink* l) {
           void* data = nullptr;
           ASSERT_EQ(RVGetBinaryNumberList(l, &data, nullptr, 246), 1) << RVError(l);
           EXPECT_EQ(std::memcmp(data, kReals.data(), 5 * sizeof(double)), 0);
           QVDisownBinaryNumberList(l, data, 5, 246);
         }},
    };
    for (const Check& c : checks) {
      SCOPED_TRACE(c.name);
      QVLink* link = Loopback(form.features);
      ASSERT_NE(link, nullptr);
      PutArray(link, {5}, kReals.data(), 246);
      c.check(link);
      EXPECT_EQ(RVError(link), 0);
      Destroy(link);
    }
  }
}

TEST_F(ListsTest, IntegerListsNarrowOrAnswerOverflow) {
  for (const Form& form : kForms) {
    SCOPED_TRACE(form.name);
    {
      QVLink* link = Loopback(form.features);
      ASSERT_NE(link, nullptr);
      PutArray(link, {5}, kInts.data(), 228);
      long* wide = nullptr;
      int n = 0;
      ASSERT_EQ(RVGetInteger64List(link, &wide, &n), 1);
      ASSERT_EQ(n, 5);
      for (int i = 0; i < n; ++i) EXPECT_EQ(wide[i], kInts[i]);
      RVReleaseInteger64List(link, wide, n);
      Destroy(link);
    }
    {
      QVLink* link = Loopback(form.features);
      ASSERT_NE(link, nullptr);
      const std::vector<int> small = {1, -2, 127};
      PutArray(link, {3}, small.data(), 228);
      short* shorts = nullptr;
      int n = 0;
      ASSERT_EQ(RVGetInteger16List(link, &shorts, &n), 1);
      ASSERT_EQ(n, 3);
      EXPECT_EQ(std::vector<short>(shorts, shorts + n), (std::vector<short>{1, -2, 127}));
      RVReleaseInteger16List(link, shorts, n);
      Destroy(link);
    }
    {
      // 70000 does not fit 16 bits: 7, and the block read so far is still handed out.
      QVLink* link = Loopback(form.features);
      ASSERT_NE(link, nullptr);
      PutArray(link, {5}, kInts.data(), 228);
      short* shorts = nullptr;
      int n = -1;
      EXPECT_EQ(RVGetInteger16List(link, &shorts, &n), 0);
      EXPECT_EQ(RVError(link), 7);
      EXPECT_GE(n, 0);
      EXPECT_LE(n, 3);  // only the elements actually in the block
      RVReleaseInteger16List(link, shorts, n);
      Destroy(link);
    }
  }
}

TEST_F(ListsTest, EmptyListGivesNullAndZero) {
  for (const Form& form : kForms) {
    SCOPED_TRACE(form.name);
    QVLink* link = Loopback(form.features);
    ASSERT_NE(link, nullptr);
    PutArray(link, {0}, nullptr, 228);
    int* data = reinterpret_cast<int*>(&data);  // must be overwritten
    int n = -1;
    ASSERT_EQ(RVGetInteger32List(link, &data, &n), 1) << RVError(link);
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(n, 0);
    RVReleaseInteger32List(link, data, n);  // null: nothing
    // The empty list was consumed: the next packet's number reads.
    ASSERT_EQ(RVNewPacket(link), 1);
    ASSERT_EQ(RVPutInteger32(link, 9), 1);
    ASSERT_EQ(RVEndPacket(link), 1);
    ASSERT_EQ(RVFlush(link), 1);
    int nine = 0;
    EXPECT_EQ(RVGetInteger32(link, &nine), 1);
    EXPECT_EQ(nine, 9);
    Destroy(link);
  }
}

TEST_F(ListsTest, DepthOtherThanOneIsOutOfSequence) {
  for (const Form& form : kForms) {
    SCOPED_TRACE(form.name);
    QVLink* link = Loopback(form.features);
    ASSERT_NE(link, nullptr);
    const std::vector<int> four = {1, 2, 3, 4};
    PutArray(link, {2, 2}, four.data(), 228);
    int* data = nullptr;
    int n = 0;
    EXPECT_EQ(RVGetInteger32List(link, &data, &n), 0);
    EXPECT_EQ(RVError(link), 3);
    RVReleaseInteger32List(link, data, n);
    Destroy(link);
  }
  // A number is no list.
  QVLink* link = Loopback();
  ASSERT_NE(link, nullptr);
  ASSERT_EQ(RVPutInteger32(link, 1), 1);
  int* data = nullptr;
  int n = 0;
  EXPECT_EQ(RVGetInteger32List(link, &data, &n), 0);
  EXPECT_EQ(RVError(link), 3);
  Destroy(link);
}

// A list longer than the first block grows as its elements arrive and comes
// back whole.
TEST_F(ListsTest, LongListGrowsItsBlock) {
  std::vector<double> many(100000);
  for (size_t i = 0; i < many.size(); ++i) many[i] = static_cast<double>(i) * 0.25;
  for (const Form& form : kForms) {
    SCOPED_TRACE(form.name);
    QVLink* link = Loopback(form.features);
    ASSERT_NE(link, nullptr);
    PutArray(link, {static_cast<int64_t>(many.size())}, many.data(), 246);
    double* data = nullptr;
    long n = 0;
    ASSERT_EQ(RVGetRealList(link, &data, &n), 1) << RVError(link);
    ASSERT_EQ(n, static_cast<long>(many.size()));
    EXPECT_EQ(std::memcmp(data, many.data(), many.size() * sizeof(double)), 0);
    RVReleaseRealList(link, data, n);
    Destroy(link);
  }
}

// A peer that declares a list of 10^9 doubles and sends two must not make the
// reader ask for 8 GB: the largest request the environment's allocator sees
// stays small, and the read fails once the peer is gone.
TEST_F(ListsTest, HugeDeclaredLengthIsNotAllocatedUpFront) {
  RestartRecordingRequests();
  ASSERT_FALSE(HasFatalFailure());

  qvtest::ScriptedDevice device;
  QVLink* link = Scripted(device);
  ASSERT_NE(link, nullptr);
  const double one = 1.0;
  const std::string number = "\xF6" + std::string(reinterpret_cast<const char*>(&one), 8) + "\n";
  device.WriteBytes("F1000000000 " + kListHead + number + number);
  device.ClosePeer();
  qvtest::LargestRequest::Reset();
  double* data = nullptr;
  long n = 0;
  EXPECT_EQ(RVGetRealList(link, &data, &n), 0);
  EXPECT_NE(RVError(link), 0);
  EXPECT_LT(qvtest::LargestRequest::Get(), uint64_t{1} << 20);
  EXPECT_EQ(n, 2);  // the block holds what came
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(data[0], 1.0);
  EXPECT_EQ(data[1], 1.0);
  RVReleaseRealList(link, data, n);
  Destroy(link);
}

}  // namespace
