// Array gets over loopback links whose features decide how an array travels:
// an array token with a packed run, nested functions with a packed run, or
// nested functions of single numbers. Arrays are written by the codec's array
// writer; hostile ones arrive as raw bytes through a scripted device.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "api/qvarraymeter.h"
#include "api/qvfeatureset.h"
#include "api/qvsymbolreplacement.h"
#include "quorvane.h"
#include "tests/api/qvcodectest.h"
#include "tests/api/qvtypedtest.h"

namespace {

struct Form {
  const char* name;
  uint64_t features;
};
const Form kForms[] = {
    {"array token, packed run", QVFEATURE_ALL},
    {"nested functions, packed run", QVFEATURE_SHORT_LENGTHS | QVFEATURE_PACKED_RUNS},
    {"nested functions, single numbers", 0},
};

// A symbol token as this side writes a short name.
std::string SymbolBytes(const std::string& name) {
  return std::string{'#', static_cast<char>(0x40 | (name.size() + 3)), 'A', '~',
                     static_cast<char>(0x40 | name.size())} +
         name + "\n";
}

// What a whole-array get handed out, copied before it was released.
struct Whole {
  int ok = 0;
  long error = 0;
  std::vector<long double> data;
  bool data_null = true;
  std::vector<long> dimensions;
  std::vector<std::string> heads;
  long depth = -1;
};

// Reads with one whole-array get and gives everything back with its release.
template <class T, class Count>
Whole ReadWhole(QVLink* link, int (*get)(QVLink*, T**, Count**, char***, Count*),
                void (*release)(QVLink*, T*, Count*, char**, Count)) {
  Whole w;
  T* data = nullptr;
  Count* dimensions = nullptr;
  char** heads = nullptr;
  Count depth = -1;
  w.ok = get(link, &data, &dimensions, &heads, &depth);
  w.error = RVError(link);
  w.depth = depth;
  w.data_null = data == nullptr;
  if (w.ok == 0) {
    // A failure hands out nothing.
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(dimensions, nullptr);
    EXPECT_EQ(heads, nullptr);
    EXPECT_EQ(depth, 0);
    return w;
  }
  long count = 1;
  for (Count level = 0; level < depth; ++level) {
    w.dimensions.push_back(dimensions[level]);
    w.heads.emplace_back(heads[level]);
    count *= dimensions[level];
  }
  if (data != nullptr) w.data.assign(data, data + count);
  release(link, data, dimensions, heads, depth);
  return w;
}

struct Reader {
  const char* name;
  std::function<Whole(QVLink*)> read;
  int integer_bits;  // 0 for the real types
};

const std::vector<Reader>& EveryWholeGet() {
  static const std::vector<Reader> readers = {
      {"RVGetShortIntegerArray",
       [](QVLink* l) { return ReadWhole(l, RVGetShortIntegerArray, RVReleaseShortIntegerArray); }, 16},
      {"RVGetIntegerArray", [](QVLink* l) { return ReadWhole(l, RVGetIntegerArray, RVReleaseIntegerArray); }, 32},
      {"RVGetLongIntegerArray",
       [](QVLink* l) { return ReadWhole(l, RVGetLongIntegerArray, RVReleaseLongIntegerArray); }, 64},
      {"RVGetFloatArray", [](QVLink* l) { return ReadWhole(l, RVGetFloatArray, RVReleaseFloatArray); }, 0},
      {"RVGetDoubleArray", [](QVLink* l) { return ReadWhole(l, RVGetDoubleArray, RVReleaseDoubleArray); }, 0},
      {"RVGetRealArray", [](QVLink* l) { return ReadWhole(l, RVGetRealArray, RVReleaseRealArray); }, 0},
      {"RVGetLongDoubleArray", [](QVLink* l) { return ReadWhole(l, RVGetLongDoubleArray, RVReleaseLongDoubleArray); },
       0},
      {"RVGetByteArray", [](QVLink* l) { return ReadWhole(l, RVGetByteArray, RVReleaseByteArray); }, 8},
      {"RVGetInteger8Array", [](QVLink* l) { return ReadWhole(l, RVGetInteger8Array, RVReleaseInteger8Array); }, 8},
      {"RVGetInteger16Array", [](QVLink* l) { return ReadWhole(l, RVGetInteger16Array, RVReleaseInteger16Array); }, 16},
      {"RVGetInteger32Array", [](QVLink* l) { return ReadWhole(l, RVGetInteger32Array, RVReleaseInteger32Array); }, 32},
      {"RVGetInteger64Array", [](QVLink* l) { return ReadWhole(l, RVGetInteger64Array, RVReleaseInteger64Array); }, 64},
      {"RVGetReal32Array", [](QVLink* l) { return ReadWhole(l, RVGetReal32Array, RVReleaseReal32Array); }, 0},
      {"RVGetReal64Array", [](QVLink* l) { return ReadWhole(l, RVGetReal64Array, RVReleaseReal64Array); }, 0},
      {"RVGetReal128Array", [](QVLink* l) { return ReadWhole(l, RVGetReal128Array, RVReleaseReal128Array); }, 0},
      {"RVGetBinaryNumberArray 228",
       [](QVLink* l) {
         return ReadWhole<int, long>(
             l,
             [](QVLink* k, int** d, long** m, char*** h, long* n) {
               void* v = nullptr;
               const int ok = RVGetBinaryNumberArray(k, &v, m, h, n, 228);
               *d = static_cast<int*>(v);
               return ok;
             },
             [](QVLink* k, int* d, long* m, char** h, long n) { QVDisownBinaryNumberArray(k, d, m, h, n); });
       },
       32},
  };
  return readers;
}

class ArrayGetsTest : public qvtest::TypedLinkTest {
 protected:
  // An array with the given heads (one per level) and dimensions, its leaves
  // of one type, as one packet, flushed.
  static void PutArray(QVLink* link, const std::vector<int64_t>& dimensions, const std::vector<std::string>& heads,
                       const void* leaves, unsigned type) {
    qvmeter meter;
    qvcodec::ListHeads(&meter, dimensions);
    meter.head_bytes.clear();
    meter.head_ends.clear();
    for (const std::string& head : heads) {
      const std::string bytes = SymbolBytes(head);
      meter.head_bytes.insert(meter.head_bytes.end(), bytes.begin(), bytes.end());
      meter.head_ends.push_back(static_cast<int64_t>(meter.head_bytes.size()));
    }
    ASSERT_EQ(QVPutArray_(link->writeState, link->deviceStack, link->queueStack.base, &meter), 0);
    if (meter.leaves_left > 0) {
      ASSERT_EQ(QVPutBinaryNumberArrayData_(link->writeState, link->deviceStack, link->queueStack.base, &meter, leaves,
                                            type, meter.leaves_left),
                0);
    }
    ASSERT_EQ(RVEndPacket(link), 1);
    ASSERT_EQ(RVFlush(link), 1);
  }
  static void PutListArray(QVLink* link, const std::vector<int64_t>& dimensions, const void* leaves, unsigned type) {
    PutArray(link, dimensions, std::vector<std::string>(dimensions.size(), "List"), leaves, type);
  }

  // check(link, item) on a fresh link of every form, for every item (each
  // with a name).
  template <class Items, class Check>
  void ForEveryForm(const Items& items, Check&& check) {
    for (const Form& form : kForms) {
      SCOPED_TRACE(form.name);
      for (const auto& item : items) {
        SCOPED_TRACE(item.name);
        QVLink* link = Loopback(form.features);
        ASSERT_NE(link, nullptr);
        check(link, item);
        Destroy(link);
      }
    }
  }
  template <class Check>
  void ForEveryFormAndGet(Check&& check) {
    ForEveryForm(EveryWholeGet(), check);
  }

  // A number after the array: the array was consumed exactly.
  static void ExpectNextNumber(QVLink* link) {
    ASSERT_EQ(RVNewPacket(link), 1);
    ASSERT_EQ(RVPutInteger32(link, 9), 1);
    ASSERT_EQ(RVEndPacket(link), 1);
    ASSERT_EQ(RVFlush(link), 1);
    int nine = 0;
    EXPECT_EQ(RVGetInteger32(link, &nine), 1) << RVError(link);
    EXPECT_EQ(nine, 9);
  }
};

// Values every element type holds (bytes are unsigned).
const std::vector<int32_t> kSix = {0, 2, 3, 4, 100, 127};

TEST_F(ArrayGetsTest, EveryWholeGetReadsEveryForm) {
  const std::vector<long double> expected(kSix.begin(), kSix.end());
  ForEveryFormAndGet([&](QVLink* link, const Reader& reader) {
    PutListArray(link, {2, 3}, kSix.data(), 228);
    const Whole w = reader.read(link);
    ASSERT_EQ(w.ok, 1) << w.error;
    EXPECT_EQ(w.depth, 2);
    EXPECT_EQ(w.dimensions, (std::vector<long>{2, 3}));
    EXPECT_EQ(w.heads, (std::vector<std::string>{"List", "List"}));
    EXPECT_EQ(w.data, expected);
    ExpectNextNumber(link);
  });
}

// Reals converted to every real type; a number an integer type cannot hold
// fails after the data block was taken, and nothing is handed out.
TEST_F(ArrayGetsTest, ConvertedOrRefusedAfterTheBlockWasTaken) {
  const std::vector<double> reals = {0.5, -1.25, 3.0, 1e10};
  const std::vector<int32_t> wide = {1, -2, 70000};
  ForEveryFormAndGet([&](QVLink* link, const Reader& reader) {
    if (reader.integer_bits == 0) {
      PutListArray(link, {4}, reals.data(), 246);
      const Whole w = reader.read(link);
      ASSERT_EQ(w.ok, 1) << w.error;
      EXPECT_EQ(w.data, (std::vector<long double>{0.5, -1.25, 3.0, 1e10}));
      return;
    }
    PutListArray(link, {3}, wide.data(), 228);
    const Whole w = reader.read(link);
    if (reader.integer_bits >= 32) {
      EXPECT_EQ(w.data, std::vector<long double>(wide.begin(), wide.end()));
    } else {
      EXPECT_EQ(w.ok, 0);
      EXPECT_EQ(w.error, 7);
    }
  });
}

// Dimensions and heads come in level order, whatever the depth; deep arrays
// read as shallow ones do.
TEST_F(ArrayGetsTest, HeadsAndDimensionsInLevelOrder) {
  struct Case {
    const char* name;
    std::vector<int64_t> dimensions;
    std::vector<std::string> heads;
  };
  std::vector<int64_t> deep(20, 1);
  deep.front() = 2;
  deep.back() = 3;
  std::vector<std::string> deep_heads(20, "List");
  deep_heads[7] = "g";
  const std::vector<Case> cases = {
      {"depth 2", {2, 3}, {"List", "List"}},
      {"depth 3", {1, 2, 3}, {"List", "List", "List"}},
      {"depth 3, three heads", {3, 1, 2}, {"f", "g", "h"}},
      {"depth 20", deep, deep_heads},
  };
  ForEveryForm(cases, [](QVLink* link, const Case& c) {
    PutArray(link, c.dimensions, c.heads, kSix.data(), 228);
    const Whole w = ReadWhole(link, RVGetInteger32Array, RVReleaseInteger32Array);
    ASSERT_EQ(w.ok, 1) << w.error;
    EXPECT_EQ(w.depth, static_cast<long>(c.dimensions.size()));
    EXPECT_EQ(w.dimensions, std::vector<long>(c.dimensions.begin(), c.dimensions.end()));
    EXPECT_EQ(w.heads, c.heads);
    EXPECT_EQ(w.data, std::vector<long double>(kSix.begin(), kSix.end()));
    ExpectNextNumber(link);
  });
}

// Head names pass the link's symbol replacement, as every name read does.
TEST_F(ArrayGetsTest, HeadsAreReplacedOnTheGetSide) {
  for (const Form& form : kForms) {
    SCOPED_TRACE(form.name);
    QVLink* link = Loopback(form.features);
    ASSERT_NE(link, nullptr);
    ASSERT_GE(QVSymbolVariantAddReplacement(link->symbolReplacements, "Longer", 6, "B", 1), 0);
    PutArray(link, {2, 3}, {"B`m", "r"}, kSix.data(), 228);
    const Whole w = ReadWhole(link, RVGetInteger64Array, RVReleaseInteger64Array);
    ASSERT_EQ(w.ok, 1) << w.error;
    EXPECT_EQ(w.heads, (std::vector<std::string>{"Longer`m", "r"}));
    Destroy(link);
  }
}

TEST_F(ArrayGetsTest, ZeroDimensionGivesNullDataWithDimensionsAndHeads) {
  for (const Form& form : kForms) {
    SCOPED_TRACE(form.name);
    for (const std::vector<int64_t>& dimensions : {std::vector<int64_t>{3, 0}, std::vector<int64_t>{0, 2}}) {
      QVLink* link = Loopback(form.features);
      ASSERT_NE(link, nullptr);
      PutListArray(link, dimensions, nullptr, 228);
      const Whole w = ReadWhole(link, RVGetDoubleArray, RVReleaseDoubleArray);
      ASSERT_EQ(w.ok, 1) << w.error;
      EXPECT_TRUE(w.data_null);
      // Levels below a zero dimension may not travel in the nested form.
      ASSERT_GE(w.dimensions.size(), 1u);
      EXPECT_EQ(w.dimensions[0], dimensions[0]);
      EXPECT_EQ(w.heads[0], "List");
      ExpectNextNumber(link);
      Destroy(link);
    }
  }
}

// Type 0 takes the leaf type: the data come in the type they travelled in.
TEST_F(ArrayGetsTest, TypeZeroTakesTheLeafType) {
  const std::vector<double> reals = {0.5, -1.25, 3.0, 1e300};
  const std::vector<int16_t> shorts = {1, -300, 32767};
  struct Case {
    const char* name;
    const void* leaves;
    unsigned type;
    int64_t n;
    size_t width;
  };
  const std::vector<Case> cases = {
      {"reals", reals.data(), 246, 4, sizeof(double)},
      {"16-bit integers", shorts.data(), 226, 3, sizeof(int16_t)},
  };
  ForEveryForm(cases, [](QVLink* link, const Case& c) {
    PutListArray(link, {c.n}, c.leaves, c.type);
    void* data = nullptr;
    long* dimensions = nullptr;
    long depth = 0;
    int leaf = 0;
    ASSERT_EQ(RVGetBinaryNumberArrayWithLeafType(link, &data, &dimensions, nullptr, &depth, 0, &leaf), 1)
        << RVError(link);
    EXPECT_EQ(leaf, static_cast<int>(c.type));
    EXPECT_EQ(depth, 1);
    EXPECT_EQ(dimensions[0], c.n);
    EXPECT_EQ(std::memcmp(data, c.leaves, static_cast<size_t>(c.n) * c.width), 0);
    QVDisownBinaryNumberArray(link, data, dimensions, nullptr, depth);
  });
}

// Leaves that are not machine numbers: type 0 refuses them with 3, a typed
// get fails on the first one; either way nothing is handed out.
TEST_F(ArrayGetsTest, NonNumberLeafFailsAndHandsOutNothing) {
  const std::vector<std::function<int(QVLink*)>> gets = {
      [](QVLink* l) {
        void* data = &data;
        long* dimensions = reinterpret_cast<long*>(&data);
        char** heads = reinterpret_cast<char**>(&data);
        long depth = 5;
        int leaf = 0;
        const int ok = RVGetBinaryNumberArrayWithLeafType(l, &data, &dimensions, &heads, &depth, 0, &leaf);
        EXPECT_EQ(data, nullptr);
        EXPECT_EQ(dimensions, nullptr);
        EXPECT_EQ(heads, nullptr);
        EXPECT_EQ(depth, 0);
        return ok;
      },
      [](QVLink* l) { return ReadWhole(l, RVGetIntegerArray, RVReleaseIntegerArray).ok; },
      [](QVLink* l) { return ReadWhole(l, RVGetReal64Array, RVReleaseReal64Array).ok; },
  };
  for (const auto& get : gets) {
    QVLink* link = Loopback();
    ASSERT_NE(link, nullptr);
    ASSERT_EQ(RVPutFunction(link, "f", 2), 1);
    ASSERT_EQ(RVPutFunction(link, "List", 2), 1);
    ASSERT_EQ(RVPutSymbol(link, "a"), 1);
    ASSERT_EQ(RVPutSymbol(link, "b"), 1);
    ASSERT_EQ(RVPutFunction(link, "List", 2), 1);
    ASSERT_EQ(RVPutSymbol(link, "c"), 1);
    ASSERT_EQ(RVPutSymbol(link, "d"), 1);
    ASSERT_EQ(RVEndPacket(link), 1);
    ASSERT_EQ(RVFlush(link), 1);
    EXPECT_EQ(get(link), 0);
    EXPECT_EQ(RVError(link), 3);
    Destroy(link);
  }
}

// Arrays put as functions and numbers one by one read like the codec's.
TEST_F(ArrayGetsTest, ArrayPutAsFunctionsAndNumbers) {
  QVLink* link = Loopback();
  ASSERT_NE(link, nullptr);
  ASSERT_EQ(RVPutFunction(link, "m", 2), 1);
  for (int row = 0; row < 2; ++row) {
    ASSERT_EQ(RVPutFunction(link, "r", 3), 1);
    for (int column = 0; column < 3; ++column) ASSERT_EQ(RVPutInteger32(link, kSix[row * 3 + column]), 1);
  }
  ASSERT_EQ(RVEndPacket(link), 1);
  ASSERT_EQ(RVFlush(link), 1);
  const Whole w = ReadWhole(link, RVGetLongIntegerArray, RVReleaseLongIntegerArray);
  ASSERT_EQ(w.ok, 1) << w.error;
  EXPECT_EQ(w.heads, (std::vector<std::string>{"m", "r"}));
  EXPECT_EQ(w.dimensions, (std::vector<long>{2, 3}));
  EXPECT_EQ(w.data, std::vector<long double>(kSix.begin(), kSix.end()));
  Destroy(link);
}

TEST_F(ArrayGetsTest, ShortIntegerArrayWithoutDepthAnswersZeroAndReadsNothing) {
  QVLink* link = Loopback();
  ASSERT_NE(link, nullptr);
  PutListArray(link, {2, 3}, kSix.data(), 228);
  short* data = nullptr;
  long* dimensions = nullptr;
  EXPECT_EQ(RVGetShortIntegerArray(link, &data, &dimensions, nullptr, nullptr), 0);
  EXPECT_EQ(RVError(link), 0);
  // The array is still there.
  const Whole w = ReadWhole(link, RVGetShortIntegerArray, RVReleaseShortIntegerArray);
  EXPECT_EQ(w.ok, 1);
  EXPECT_EQ(w.dimensions, (std::vector<long>{2, 3}));
  Destroy(link);
}

TEST_F(ArrayGetsTest, ReleasesOfNothingDoNothing) {
  QVLink* link = Loopback();
  ASSERT_NE(link, nullptr);
  RVReleaseInteger32Array(link, nullptr, nullptr, nullptr, 0);
  RVReleaseIntegerArray(link, nullptr, nullptr, nullptr, 3);
  RVReleaseInteger32Array(nullptr, nullptr, nullptr, nullptr, 0);
  RVReleaseGetArrayState(link, nullptr, nullptr);
  RVReleaseGetArrayState(nullptr, nullptr, nullptr);
  EXPECT_EQ(RVError(link), 0);
  Destroy(link);
}

// Stepwise: the heads go to a second link as one function per level, the
// elements come in pieces of the caller's choosing.
TEST_F(ArrayGetsTest, StepwiseReadingWithAHeadsLink) {
  for (const Form& form : kForms) {
    SCOPED_TRACE(form.name);
    QVLink* link = Loopback(form.features);
    QVLink* heads = Loopback();
    ASSERT_NE(link, nullptr);
    ASSERT_NE(heads, nullptr);
    PutArray(link, {2, 3}, {"m", "r"}, kSix.data(), 228);
    qvmeter* state = nullptr;
    long depth = 0;
    int leaf = 0;
    ASSERT_EQ(RVGetArrayTypeWithDepthAndLeafType(link, heads, &state, &depth, &leaf), 1) << RVError(link);
    ASSERT_NE(state, nullptr);
    EXPECT_EQ(depth, 2);
    EXPECT_EQ(leaf, 228);
    for (const auto& [head, dimension] : {std::pair<std::string, int>{"m", 2}, {"r", 3}}) {
      const char* name = nullptr;
      int count = -1;
      ASSERT_EQ(RVGetFunction(heads, &name, &count), 1) << RVError(heads);
      EXPECT_EQ(name, head);
      EXPECT_EQ(count, dimension);
      RVReleaseSymbol(heads, name);
    }
    int first[4] = {};
    ASSERT_EQ(RVGetInteger32ArrayData(link, state, first, 4), 1) << RVError(link);
    EXPECT_EQ(std::vector<int>(first, first + 4), std::vector<int>(kSix.begin(), kSix.begin() + 4));
    double rest[5] = {};
    long count = 5;  // more than are left
    ASSERT_EQ(RVGetBinaryNumberArrayDataWithHeads(link, heads, state, rest, &count, 246), 1) << RVError(link);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(rest[0], 100.0);
    EXPECT_EQ(rest[1], 127.0);
    // The same state reads the next array, its heads dropped.
    const std::vector<double> reals = {0.5, -1.25, 3.0};
    PutListArray(link, {3}, reals.data(), 246);
    EXPECT_EQ(RVGetArrayType(link, state), 42) << RVError(link);  // the public type of reals
    EXPECT_EQ(RVGetArrayDimensions(link, state), 1) << RVError(link);
    float singles[3] = {};
    ASSERT_EQ(RVGetFloatArrayData(link, state, singles, 3), 1) << RVError(link);
    EXPECT_EQ(std::vector<float>(singles, singles + 3), (std::vector<float>{0.5f, -1.25f, 3.0f}));
    RVReleaseGetArrayState(link, heads, state);
    ExpectNextNumber(link);
    Destroy(heads);
    Destroy(link);
  }
}

TEST_F(ArrayGetsTest, StepwiseFailureLeavesNoState) {
  QVLink* link = Loopback();
  ASSERT_NE(link, nullptr);
  ASSERT_EQ(RVPutInteger32(link, 5), 1);
  ASSERT_EQ(RVEndPacket(link), 1);
  ASSERT_EQ(RVFlush(link), 1);
  qvmeter* state = reinterpret_cast<qvmeter*>(&state);
  EXPECT_EQ(RVGetArrayTypeWithDepthAndLeafType(link, nullptr, &state, nullptr, nullptr), 0);
  EXPECT_EQ(RVError(link), 3);
  EXPECT_EQ(state, nullptr);
  Destroy(link);
}

// Calls the discipline refuses (a null link, a pending error) hand out
// nothing either: outputs the caller left holding anything come back null
// and 0, and the array stays unread.
TEST_F(ArrayGetsTest, RefusedCallsHandOutNothing) {
  int anything = 0;
  auto* junk = reinterpret_cast<void*>(&anything);
  struct Call {
    const char* name;
    std::function<int(QVLink*)> get;  // answers the call's result; the outputs are checked inside
  };
  const std::vector<Call> calls = {
      {"64-bit dimensions, with leaf type",
       [&](QVLink* l) {
         void* data = junk;
         long* dimensions = static_cast<long*>(junk);
         char** heads = static_cast<char**>(junk);
         long depth = 77;
         int leaf = 77;
         const int ok = RVGetBinaryNumberArrayWithLeafType(l, &data, &dimensions, &heads, &depth, 228, &leaf);
         EXPECT_EQ(data, nullptr);
         EXPECT_EQ(dimensions, nullptr);
         EXPECT_EQ(heads, nullptr);
         EXPECT_EQ(depth, 0);
         EXPECT_EQ(leaf, 0);
         return ok;
       }},
      {"64-bit dimensions",
       [&](QVLink* l) {
         double* data = static_cast<double*>(junk);
         long* dimensions = static_cast<long*>(junk);
         char** heads = static_cast<char**>(junk);
         long depth = 77;
         const int ok = RVGetDoubleArray(l, &data, &dimensions, &heads, &depth);
         EXPECT_EQ(data, nullptr);
         EXPECT_EQ(dimensions, nullptr);
         EXPECT_EQ(heads, nullptr);
         EXPECT_EQ(depth, 0);
         return ok;
       }},
      {"32-bit dimensions",
       [&](QVLink* l) {
         int* data = static_cast<int*>(junk);
         int* dimensions = static_cast<int*>(junk);
         char** heads = static_cast<char**>(junk);
         int depth = 77;
         const int ok = RVGetInteger32Array(l, &data, &dimensions, &heads, &depth);
         EXPECT_EQ(data, nullptr);
         EXPECT_EQ(dimensions, nullptr);
         EXPECT_EQ(heads, nullptr);
         EXPECT_EQ(depth, 0);
         return ok;
       }},
      {"stepwise",
       [&](QVLink* l) {
         qvmeter* state = static_cast<qvmeter*>(junk);
         const int ok = RVGetArrayTypeWithDepthAndLeafType(l, nullptr, &state, nullptr, nullptr);
         EXPECT_EQ(state, nullptr);
         return ok;
       }},
  };
  for (const Call& call : calls) {
    SCOPED_TRACE(call.name);
    QVLink* link = Loopback();
    ASSERT_NE(link, nullptr);
    PutListArray(link, {2, 3}, kSix.data(), 228);
    ExpectRefusedOnNullLinkAndPendingError(call.get, link);
    const Whole w = ReadWhole(link, RVGetIntegerArray, RVReleaseIntegerArray);
    EXPECT_EQ(w.ok, 1);
    EXPECT_EQ(w.dimensions, (std::vector<long>{2, 3}));
    Destroy(link);
  }
}

using Counting = qvtest::CountingAllocator;

// Memory running out at each allocation of a whole-array get in turn: every
// failure hands out nothing, and once the link is gone nothing is left held.
TEST_F(ArrayGetsTest, EachAllocationFailingInTurnLeavesNothingHeld) {
  RestartEnvironment(
      [](RVEnvironmentParameters* p) { RVSetAllocParameter(p, Counting::Allocate, Counting::Deallocate); });
  ASSERT_FALSE(HasFatalFailure());
  std::vector<int32_t> leaves(5000);
  for (size_t i = 0; i < leaves.size(); ++i) leaves[i] = static_cast<int32_t>(i);
  for (const Form& form : kForms) {
    SCOPED_TRACE(form.name);
    bool read = false;
    for (long allowed = 0; allowed < 400 && !read; ++allowed) {
      SCOPED_TRACE(allowed);
      const long before = Counting::outstanding;
      QVLink* link = Loopback(form.features);
      ASSERT_NE(link, nullptr);
      PutArray(link, {2, 50, 50}, {"f", "g", "h"}, leaves.data(), 228);
      Counting::failAfter = allowed;
      const Whole w = ReadWhole(link, RVGetInteger32Array, RVReleaseInteger32Array);
      Counting::failAfter = -1;
      read = w.ok == 1;
      if (read) {
        EXPECT_EQ(w.heads, (std::vector<std::string>{"f", "g", "h"}));
        EXPECT_EQ(w.data, std::vector<long double>(leaves.begin(), leaves.end()));
      } else {
        EXPECT_NE(w.error, 0);
      }
      Destroy(link);
      EXPECT_EQ(Counting::outstanding, before);
    }
    EXPECT_TRUE(read);
  }
}

// Hostile peers: dimensions whose sizes cannot be held answer 2 before any
// element is read, and huge declared arrays never make the reader ask the
// environment's allocator for more than the bytes that came justify.
TEST_F(ArrayGetsTest, HostileDimensionsAllocateLittle) {
  RestartRecordingRequests();
  ASSERT_FALSE(HasFatalFailure());
  const double one = 1.0;
  const std::string number = "\xF6" + std::string(reinterpret_cast<const char*>(&one), 8) + "\n";
  const std::string list = SymbolBytes("List");
  struct Case {
    const char* name;
    std::string bytes;
    std::function<Whole(QVLink*)> read;
    long code;  // 0: any failure
  };
  const std::vector<Case> cases = {
      {"10^12 doubles declared, two sent", "F1000000 " + list + "F1000000 " + list + number + number,
       [](QVLink* l) { return ReadWhole(l, RVGetDoubleArray, RVReleaseDoubleArray); }, 0},
      {"10^12 doubles declared, two sent, 32-bit dimensions", "F1000000 " + list + "F1000000 " + list + number + number,
       [](QVLink* l) { return ReadWhole(l, RVGetReal64Array, RVReleaseReal64Array); }, 0},
      {"2^61 doubles: the data size wraps", "F2147483648 " + list + "F1073741824 " + list + number,
       [](QVLink* l) { return ReadWhole(l, RVGetDoubleArray, RVReleaseDoubleArray); }, 2},
      {"a dimension beyond an int, 32-bit dimensions", "F2147483648 " + list + number,
       [](QVLink* l) { return ReadWhole(l, RVGetInteger16Array, RVReleaseInteger16Array); }, 2},
      {"2^62 shorts declared, one sent", "F2147483648 " + list + "F2147483648 " + list + number,
       [](QVLink* l) { return ReadWhole(l, RVGetShortIntegerArray, RVReleaseShortIntegerArray); }, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    qvtest::ScriptedDevice device;
    QVLink* link = Scripted(device);
    ASSERT_NE(link, nullptr);
    device.WriteBytes(c.bytes);
    device.ClosePeer();
    qvtest::LargestRequest::Reset();
    const Whole w = c.read(link);
    EXPECT_EQ(w.ok, 0);
    if (c.code != 0) {
      EXPECT_EQ(w.error, c.code);
    } else {
      EXPECT_NE(w.error, 0);
    }
    EXPECT_LT(qvtest::LargestRequest::Get(), uint64_t{1} << 20);
    Destroy(link);
  }
}

}  // namespace
