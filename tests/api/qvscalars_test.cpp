// Scalar gets and puts: the bytes each put writes, checked by hand and by the
// independent decoder, and every get of every put across widths; an overflow
// leaves the token to be read as its text.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "api/qvtokentypes.h"
#include "quorvane.h"
#include "tests/api/qvtokendecoder.h"
#include "tests/api/qvtypedtest.h"

namespace {

using qvtest::TypedLinkTest;

class ScalarsTest : public TypedLinkTest {};

std::string LittleEndian(const void* value, size_t size) {
  return std::string(static_cast<const char*>(value), size);
}

// Getters of every width that hand the value on as a double; the variable
// starts at 0 so a get that stores nothing shows it.
int GetInt8(QVLink* l, double* v) { unsigned char x = 0; const int ok = RVGetInteger8(l, &x); *v = x; return ok; }
int GetInt16(QVLink* l, double* v) { short x = 0; const int ok = RVGetInteger16(l, &x); *v = x; return ok; }
int GetInt32(QVLink* l, double* v) { int x = 0; const int ok = RVGetInteger32(l, &x); *v = x; return ok; }
int GetInt64(QVLink* l, double* v) {
  long x = 0;
  const int ok = RVGetInteger64(l, &x);
  *v = static_cast<double>(x);
  return ok;
}
int GetReal32(QVLink* l, double* v) { float x = 0; const int ok = RVGetReal32(l, &x); *v = x; return ok; }
int GetReal64(QVLink* l, double* v) { double x = 0; const int ok = RVGetReal64(l, &x); *v = x; return ok; }
int GetReal128(QVLink* l, double* v) {
  long double x = 0;
  const int ok = RVGetReal128(l, &x);
  *v = static_cast<double>(x);
  return ok;
}

// A double as the link prints it: every digit a double needs.
std::string Printed(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

// A number token sent as text (as to a peer without that binary type).
int PutNumberText(QVLink* link, int type, const std::string& digits) {
  return RVPutType(link, type) &&
         RVPut7BitCharacters(link, 0, digits.data(), static_cast<long>(digits.size()),
                             static_cast<long>(digits.size()));
}

TEST_F(ScalarsTest, PutsWriteTheWidenedBinaryForms) {
  struct Case {
    const char* name;
    std::function<int(QVLink*)> put;
    std::string expected;
  };
  const int seventy_thousand = 70000;
  const double tenth = 0.1;
  const long big = -5000000000L;
  const std::vector<Case> cases = {
      {"Integer8 keeps the low byte", [](QVLink* l) { return RVPutInteger8(l, 300); }, "\xA1\x2C\x0A"},
      {"ShortInteger widens to 228",
       [](QVLink* l) { return RVPutShortInteger(l, 70000); }, "\xE4" + LittleEndian(&seventy_thousand, 4) + "\n"},
      {"Integer16 widens to 228",
       [](QVLink* l) { return RVPutInteger16(l, 70000); }, "\xE4" + LittleEndian(&seventy_thousand, 4) + "\n"},
      {"Real32 writes a double",
       [](QVLink* l) { return RVPutReal32(l, 0.1); }, "\xF6" + LittleEndian(&tenth, 8) + "\n"},
      {"Float writes a double", [](QVLink* l) { return RVPutFloat(l, 0.1); }, "\xF6" + LittleEndian(&tenth, 8) + "\n"},
      {"Integer64", [](QVLink* l) { return RVPutInteger64(l, -5000000000L); }, "\xE6" + LittleEndian(&big, 8) + "\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    qvtest::ScriptedDevice device;
    QVLink* link = Scripted(device);
    ASSERT_NE(link, nullptr);
    EXPECT_EQ(c.put(link), 1);
    EXPECT_EQ(RVError(link), 0);
    ASSERT_EQ(RVEndPacket(link), 1);
    ASSERT_EQ(RVFlush(link), 1);
    ASSERT_TRUE(device.WaitCaptured(c.expected.size() + 1));
    EXPECT_EQ(Hex(device.Captured()), Hex(c.expected + "]"));
    // The independent decoder reads the same packet.
    const std::string bytes = device.Captured();
    qvtokendecoder::Decoder decoder(bytes);
    const auto decoded = decoder.NextPacket();
    ASSERT_TRUE(decoded.has_value()) << decoder.error();
    EXPECT_EQ(decoded->kind, qvtokendecoder::Kind::Binary);
    EXPECT_EQ(decoded->type, static_cast<unsigned char>(c.expected[0]));
    EXPECT_EQ(decoded->bytes, c.expected.substr(1, c.expected.size() - 2));
    Destroy(link);
  }
}

// Puts read back by gets of other widths over loopback, converted.
TEST_F(ScalarsTest, EveryGetReadsEveryPutItCanHold) {
  struct Case {
    const char* name;
    std::function<int(QVLink*)> put;
    std::function<int(QVLink*, double*)> get;
    double expected;
  };
  const std::vector<Case> cases = {
      {"int8 200 as int8", [](QVLink* l) { return RVPutInteger8(l, 200); }, GetInt8, 200},
      {"int8 200 as int16", [](QVLink* l) { return RVPutInteger8(l, 200); }, GetInt16, 200},
      {"int32 -40000 as int64", [](QVLink* l) { return RVPutInteger32(l, -40000); }, GetInt64, -40000},
      {"int64 2^40 as real64", [](QVLink* l) { return RVPutInteger64(l, 1L << 40); }, GetReal64, 1099511627776.0},
      {"int64 -7 through LongInteger as int32", [](QVLink* l) { return RVPutLongInteger(l, -7); }, GetInt32, -7},
      {"real64 2.5 as real32", [](QVLink* l) { return RVPutReal64(l, 2.5); }, GetReal32, 2.5},
      {"real64 0.1 as real128", [](QVLink* l) { return RVPutReal64(l, 0.1); }, GetReal128, 0.1},
      {"real128 0.5 as real64", [](QVLink* l) { return RVPutReal128(l, 0.5L); }, GetReal64, 0.5},
      {"real64 2.5 as int32 rounds to even", [](QVLink* l) { return RVPutReal64(l, 2.5); }, GetInt32, 2},
      {"real64 3.5 as int32 rounds to even", [](QVLink* l) { return RVPutReal64(l, 3.5); }, GetInt32, 4},
      {"int16 -3 as real64", [](QVLink* l) { return RVPutInteger16(l, -3); }, GetReal64, -3},
      {"integer text as int16", [](QVLink* l) { return PutNumberText(l, TOK_INTEGER, "-1234"); }, GetInt16, -1234},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QVLink* link = Loopback();
    ASSERT_NE(link, nullptr);
    ASSERT_EQ(c.put(link), 1);
    ASSERT_EQ(RVEndPacket(link), 1);
    ASSERT_EQ(RVFlush(link), 1);
    double got = -12345;
    EXPECT_EQ(c.get(link, &got), 1);
    EXPECT_EQ(RVError(link), 0);
    EXPECT_EQ(got, c.expected);
    Destroy(link);
  }
}

// A value the get's type cannot hold answers 7 and stores nothing; the token
// is given back whole, so once the code is cleared it reads as its text, and
// whatever followed it in the packet is still there.
TEST_F(ScalarsTest, AnOverflowLeavesTheTokenToBeReadAsItsText) {
  struct Case {
    const char* name;
    std::function<int(QVLink*)> put;
    std::function<int(QVLink*, double*)> get;
    std::string text;
  };
  const std::vector<Case> cases = {
      {"int32 70000 as int16", [](QVLink* l) { return RVPutInteger32(l, 70000); }, GetInt16, "70000"},
      {"int32 300 as int8", [](QVLink* l) { return RVPutInteger32(l, 300); }, GetInt8, "300"},
      {"int32 -1 as int8", [](QVLink* l) { return RVPutInteger32(l, -1); }, GetInt8,
       "-1"},
      {"int64 2^40 as int32", [](QVLink* l) { return RVPutInteger64(l, 1L << 40); }, GetInt32, "1099511627776"},
      {"real64 1e300 as real32", [](QVLink* l) { return RVPutReal64(l, 1e300); }, GetReal32, Printed(1e300)},
      {"real64 1e10 as int32", [](QVLink* l) { return RVPutReal64(l, 1e10); }, GetInt32, Printed(1e10)},
      {"integer text as int32",
       [](QVLink* l) { return PutNumberText(l, TOK_INTEGER, "123456789012345"); }, GetInt32, "123456789012345"},
      {"real text as real32", [](QVLink* l) { return PutNumberText(l, TOK_REAL, "2.5e300"); }, GetReal32,
       "2.5e300"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QVLink* link = Loopback();
    ASSERT_NE(link, nullptr);
    ASSERT_EQ(c.put(link), 1);
    ASSERT_EQ(RVPutInteger32(link, 5), 1);
    ASSERT_EQ(RVEndPacket(link), 1);
    ASSERT_EQ(RVFlush(link), 1);
    double got = -12345;
    EXPECT_EQ(c.get(link, &got), 0);
    EXPECT_EQ(RVError(link), 7);
    EXPECT_EQ(got, 0);  // the lambda's own zero: nothing was stored
    ASSERT_EQ(RVClearError(link), 1);
    const char* text = nullptr;
    ASSERT_EQ(RVGetString(link, &text), 1) << RVError(link);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::string(text), c.text);
    RVReleaseString(link, text);
    int next = 0;
    EXPECT_EQ(RVGetInteger32(link, &next), 1) << RVError(link);
    EXPECT_EQ(next, 5);
    Destroy(link);
  }
}

// Inside a packed run (here four 32-bit integers as they arrive from a peer)
// the overflowing element reads as its text and the run goes on after it.
TEST_F(ScalarsTest, AnOverflowInsideAPackedRunLeavesTheRestOfTheRun) {
  qvtest::ScriptedDevice device;
  QVLink* link = Scripted(device);
  ASSERT_NE(link, nullptr);
  std::string run("\x50\x44\xE4", 3);  // "P", four elements, each a 32-bit integer
  for (int leaf : {1, 70000, -3, 4}) run += LittleEndian(&leaf, sizeof leaf);
  device.WriteBytes(run + "\n]");
  short value = 0;
  EXPECT_EQ(RVGetInteger16(link, &value), 1) << RVError(link);
  EXPECT_EQ(value, 1);
  EXPECT_EQ(RVGetInteger16(link, &value), 0);
  EXPECT_EQ(RVError(link), 7);
  ASSERT_EQ(RVClearError(link), 1);
  char text[16] = {};
  long left = -1;
  long got = -1;
  ASSERT_EQ(RVGet7BitCharacters(link, &left, text, sizeof text, &got), 1) << RVError(link);
  EXPECT_EQ(std::string(text, static_cast<size_t>(got)), "70000");
  EXPECT_EQ(left, 0);
  for (short expected : {-3, 4}) {
    EXPECT_EQ(RVGetInteger16(link, &value), 1) << RVError(link);
    EXPECT_EQ(value, expected);
  }
  Destroy(link);
}

TEST_F(ScalarsTest, GetOfNoNumberIsOutOfSequenceAndRefusalsLeaveTheValue) {
  QVLink* link = Loopback();
  ASSERT_NE(link, nullptr);
  ASSERT_EQ(RVPutComposite(link, 0), 1);
  int value = 99;
  EXPECT_EQ(RVGetInteger32(link, &value), 0);
  EXPECT_EQ(RVError(link), 3);
  EXPECT_EQ(value, 99);
  // With 3 pending, a get refuses and leaves both the code and the value.
  EXPECT_EQ(RVGetInteger32(link, &value), 0);
  EXPECT_EQ(RVError(link), 3);
  EXPECT_EQ(value, 99);
  EXPECT_EQ(RVGetInteger32(nullptr, &value), 0);
  EXPECT_EQ(RVPutInteger32(nullptr, 1), 0);
  Destroy(link);
}

TEST_F(ScalarsTest, BinaryNumberPutOfNothingIsRefused) {
  QVLink* link = Loopback();
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(RVPutBinaryNumber(link, nullptr, 228), 0);
  EXPECT_EQ(RVError(link), 47);
  Destroy(link);
}

// Every public name, put and got back under its own width: older and sized
// names of one width behave alike.
TEST_F(ScalarsTest, EveryNameRoundTrips) {
  struct Case {
    const char* name;
    std::function<int(QVLink*)> put;
    std::function<int(QVLink*, long double*)> get;
    long double expected;
  };
  const std::vector<Case> cases = {
      {"Integer8 300 -> 44",
       [](QVLink* l) { return RVPutInteger8(l, 300); },
       [](QVLink* l, long double* o) { unsigned char v = 0; int ok = RVGetInteger8(l, &v); *o = v; return ok; }, 44},
      {"ShortInteger", [](QVLink* l) { return RVPutShortInteger(l, -300); },
       [](QVLink* l, long double* o) { short v = 0; int ok = RVGetShortInteger(l, &v); *o = v; return ok; }, -300},
      {"Integer16", [](QVLink* l) { return RVPutInteger16(l, 300); },
       [](QVLink* l, long double* o) { short v = 0; int ok = RVGetInteger16(l, &v); *o = v; return ok; }, 300},
      {"Integer", [](QVLink* l) { return RVPutInteger(l, -70000); },
       [](QVLink* l, long double* o) { int v = 0; int ok = RVGetInteger(l, &v); *o = v; return ok; }, -70000},
      {"Integer32", [](QVLink* l) { return RVPutInteger32(l, 70000); },
       [](QVLink* l, long double* o) { int v = 0; int ok = RVGetInteger32(l, &v); *o = v; return ok; }, 70000},
      {"LongInteger", [](QVLink* l) { return RVPutLongInteger(l, 1L << 50); },
       [](QVLink* l, long double* o) { long v = 0; int ok = RVGetLongInteger(l, &v); *o = static_cast<long double>(v); return ok; },
       static_cast<long double>(1L << 50)},
      {"Integer64", [](QVLink* l) { return RVPutInteger64(l, -(1L << 50)); },
       [](QVLink* l, long double* o) { long v = 0; int ok = RVGetInteger64(l, &v); *o = static_cast<long double>(v); return ok; },
       -static_cast<long double>(1L << 50)},
      {"Float", [](QVLink* l) { return RVPutFloat(l, 0.25); },
       [](QVLink* l, long double* o) { float v = 0; int ok = RVGetFloat(l, &v); *o = v; return ok; }, 0.25L},
      {"Real32", [](QVLink* l) { return RVPutReal32(l, -0.5); },
       [](QVLink* l, long double* o) { float v = 0; int ok = RVGetReal32(l, &v); *o = v; return ok; }, -0.5L},
      {"Double", [](QVLink* l) { return RVPutDouble(l, 0.1); },
       [](QVLink* l, long double* o) { double v = 0; int ok = RVGetDouble(l, &v); *o = v; return ok; }, static_cast<long double>(0.1)},
      {"Real64", [](QVLink* l) { return RVPutReal64(l, 1e-300); },
       [](QVLink* l, long double* o) { double v = 0; int ok = RVGetReal64(l, &v); *o = v; return ok; }, static_cast<long double>(1e-300)},
      {"Real", [](QVLink* l) { return RVPutReal(l, 3.0); },
       [](QVLink* l, long double* o) { double v = 0; int ok = RVGetReal(l, &v); *o = v; return ok; }, 3.0L},
      {"LongDouble", [](QVLink* l) { return RVPutLongDouble(l, 0.1L); },
       [](QVLink* l, long double* o) { return RVGetLongDouble(l, o); }, 0.1L},
      {"Real128", [](QVLink* l) { return RVPutReal128(l, -1e4000L); },
       [](QVLink* l, long double* o) { return RVGetReal128(l, o); }, -1e4000L},
      {"BinaryNumber 230", [](QVLink* l) { long v = 12345678901L; return RVPutBinaryNumber(l, &v, 230); },
       [](QVLink* l, long double* o) { long v = 0; int ok = RVGetBinaryNumber(l, &v, 230); *o = static_cast<long double>(v); return ok; },
       12345678901.0L},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QVLink* link = Loopback();
    ASSERT_NE(link, nullptr);
    ASSERT_EQ(c.put(link), 1);
    ASSERT_EQ(RVFlush(link), 1);
    long double got = 0;
    EXPECT_EQ(c.get(link, &got), 1) << RVError(link);
    EXPECT_EQ(got, c.expected);
    Destroy(link);
  }
}

}  // namespace

