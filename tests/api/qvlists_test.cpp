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

// A list get and its release as one step: the values widened for comparison.
template <class T, class Length>
std::function<int(QVLink*, std::vector<long double>*)> Typed(int (*get)(QVLink*, T**, Length*),
                                                             void (*release)(QVLink*, T*, Length)) {
  return [get, release](QVLink* l, std::vector<long double>* values) {
    T* data = nullptr;
    Length n = -1;
    const int ok = get(l, &data, &n);
    if (ok == 1) values->assign(data, data + n);
    release(l, data, n);
    return ok;
  };
}

using Counting = qvtest::CountingAllocator;

// Every list get with its own release, over a list of three integers: the
// values come converted to the call's type, and the release gives the block
// back to the environment's allocator.
TEST_F(ListsTest, EveryReleaseGivesItsListBack) {
  RestartEnvironment(
      [](RVEnvironmentParameters* p) { RVSetAllocParameter(p, Counting::Allocate, Counting::Deallocate); });
  ASSERT_FALSE(HasFatalFailure());
  // Reads the list, hands back its values widened, releases it.
  struct Pair {
    const char* name;
    std::function<int(QVLink*, std::vector<long double>*)> get_and_release;
  };
  const std::vector<Pair> pairs = {
      {"BinaryNumberList",
       [](QVLink* l, std::vector<long double>* values) {
         void* data = nullptr;
         long n = -1;
         const int ok = RVGetBinaryNumberList(l, &data, &n, 230);
         if (ok == 1) values->assign(static_cast<long*>(data), static_cast<long*>(data) + n);
         RVReleaseBinaryNumberList(l, data, n);
         return ok;
       }},
      {"IntegerList", Typed(RVGetIntegerList, RVReleaseIntegerList)},
      {"RealList", Typed(RVGetRealList, RVReleaseRealList)},
      {"Integer8List", Typed(RVGetInteger8List, RVReleaseInteger8List)},
      {"Integer16List", Typed(RVGetInteger16List, RVReleaseInteger16List)},
      {"Integer32List", Typed(RVGetInteger32List, RVReleaseInteger32List)},
      {"Integer64List", Typed(RVGetInteger64List, RVReleaseInteger64List)},
      {"Real32List", Typed(RVGetReal32List, RVReleaseReal32List)},
      {"Real64List", Typed(RVGetReal64List, RVReleaseReal64List)},
      {"Real128List", Typed(RVGetReal128List, RVReleaseReal128List)},
      {"BinaryNumberList disowned",
       [](QVLink* l, std::vector<long double>* values) {
         void* data = nullptr;
         long n = -1;
         const int ok = RVGetBinaryNumberList(l, &data, &n, 161);
         if (ok == 1) values->assign(static_cast<unsigned char*>(data), static_cast<unsigned char*>(data) + n);
         QVDisownBinaryNumberList(l, data, n, 161);
         return ok;
       }},
  };
  const std::vector<int> three = {1, 2, 127};
  for (const Form& form : kForms) {
    SCOPED_TRACE(form.name);
    for (const Pair& pair : pairs) {
      SCOPED_TRACE(pair.name);
      QVLink* link = Loopback(form.features);
      ASSERT_NE(link, nullptr);
      PutArray(link, {3}, three.data(), 228);
      const long before = Counting::outstanding;
      std::vector<long double> values;
      EXPECT_EQ(pair.get_and_release(link, &values), 1) << RVError(link);
      EXPECT_EQ(values, (std::vector<long double>{1, 2, 127}));
      EXPECT_EQ(Counting::outstanding, before);
      Destroy(link);
    }
  }
}

// A declared length whose block size cannot be held answers 2 before a
// block is taken, and so does a length an int cannot report in the int
// forms; no length is reported and nothing is handed out.
TEST_F(ListsTest, LengthsThatCannotBeHeldAnswerTwo) {
  const double one = 1.0;
  const std::string number = "\xF6" + std::string(reinterpret_cast<const char*>(&one), 8) + "\n";
  struct Case {
    const char* name;
    const char* declared;
    std::function<int(QVLink*, void**, long*)> get;
  };
  const std::vector<Case> cases = {
      {"2^62 ints: the byte size wraps", "4611686018427387904",
       [](QVLink* l, void** d, long* n) { return RVGetIntegerList(l, reinterpret_cast<int**>(d), n); }},
      {"2^61 doubles: the byte size wraps", "2305843009213693952",
       [](QVLink* l, void** d, long* n) { return RVGetRealList(l, reinterpret_cast<double**>(d), n); }},
      {"2^60 long doubles by type: the byte size wraps", "1152921504606846976",
       [](QVLink* l, void** d, long* n) { return RVGetBinaryNumberList(l, d, n, 248); }},
      {"2^32 + 1 elements in an int form", "4294967297",
       [](QVLink* l, void** d, long* n) {
         int length = -1;
         const int ok = RVGetReal64List(l, reinterpret_cast<double**>(d), &length);
         *n = length;
         return ok;
       }},
      {"2^31 elements in an int form", "2147483648",
       [](QVLink* l, void** d, long* n) {
         int length = -1;
         const int ok = RVGetInteger8List(l, reinterpret_cast<unsigned char**>(d), &length);
         *n = length;
         return ok;
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    qvtest::ScriptedDevice device;
    QVLink* link = Scripted(device);
    ASSERT_NE(link, nullptr);
    device.WriteBytes(std::string("F") + c.declared + " " + kListHead + number);
    device.ClosePeer();
    void* data = nullptr;
    long n = -1;
    EXPECT_EQ(c.get(link, &data, &n), 0);
    EXPECT_EQ(RVError(link), 2);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(data, nullptr);
    Destroy(link);
  }
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

// Elements 12 bytes wide (a type only the numerics size) do not divide the
// first block: the block still grows, and every element comes back. The
// peer sends them as single numbers of that type.
TEST_F(ListsTest, ElementsWhoseWidthDoesNotDivideTheBlockStillGrowIt) {
  constexpr unsigned kTwelveBytes = 218;
  constexpr size_t kCount = 7000;  // past the 5461 that fit the first block
  std::vector<unsigned char> elements(kCount * 12);
  for (size_t i = 0; i < elements.size(); ++i) elements[i] = static_cast<unsigned char>(i * 7 + i / 12);
  std::string bytes = "F" + std::to_string(kCount) + " " + kListHead;
  for (size_t i = 0; i < kCount; ++i) {
    bytes += static_cast<char>(kTwelveBytes);
    bytes.append(reinterpret_cast<const char*>(elements.data()) + i * 12, 12);
    bytes += '\n';
  }
  qvtest::ScriptedDevice device;
  QVLink* link = Scripted(device);
  ASSERT_NE(link, nullptr);
  device.WriteBytes(bytes + "]");
  void* data = nullptr;
  long n = 0;
  ASSERT_EQ(RVGetBinaryNumberList(link, &data, &n, kTwelveBytes), 1) << RVError(link);
  ASSERT_EQ(n, static_cast<long>(kCount));
  EXPECT_EQ(std::memcmp(data, elements.data(), elements.size()), 0);
  RVReleaseBinaryNumberList(link, data, n);
  Destroy(link);
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
