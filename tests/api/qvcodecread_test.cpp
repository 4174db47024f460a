// The read side of the token codec, fed through a scripted device in device
// reads of 1, 2, 3, 7 and 4096 bytes: every case must read the same whatever
// the pieces.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string_view>

#include "api/qvtokentypes.h"
#include "qvcodectest.h"
#include "support/qvtest.h"

namespace {

using qvcodec::Bytes;
using qvcodec::ForEveryPiece;
using qvcodec::Hex;
using qvcodec::StreamReader;

const Bytes kSymbolF = Hex({0x23, 0x44, 0x41, 0x7E, 0x41, 0x66, 0x0A});

TEST(CodecRead, AFunctionPacketInBothLengthForms) {
  for (const Bytes& head : {Hex({0x46, 0x41}), Bytes("F1 ")}) {
    ForEveryPiece(head + kSymbolF + Hex({0xE4, 5, 0, 0, 0, 0x0A, 0x5D}), [](StreamReader& r) {
      long e = -1;
      EXPECT_EQ(r.Next(&e), 70u);
      EXPECT_EQ(r.ArgCount(&e), 1);
      EXPECT_EQ(r.state()->owed, 2);
      EXPECT_EQ(r.Next(&e), 35u);
      EXPECT_EQ(r.Text(ENCODING_BYTES, &e), "f");
      EXPECT_EQ(e, 0);
      EXPECT_EQ(r.state()->owed, 1);
      EXPECT_EQ(r.Number<int32_t>(228, &e), 5);
      EXPECT_EQ(e, 0);
      EXPECT_EQ(r.state()->owed, 0);
      // Past "]" the source has ended: that is "ready", the next read reports it.
      EXPECT_EQ(QVReady_(r.state(), r.stack(), r.queues()), 11);
    });
  }
}

TEST(CodecRead, TerminatorsAndTypeBytes) {
  struct Case {
    Bytes bytes;
    long error;
  };
  const Case cases[] = {
      {Hex({0xA1, 0x2C, 0x0A}), 0},
      {Hex({0xA1, 0x2C, 0x0D}), 0},
      {Hex({0xA1, 0x2C, 0x2C}), 0},
      {Hex({0xA1, 0x2C, 0x3B}), 2},
  };
  for (const Case& c : cases) {
    ForEveryPiece(c.bytes, [&](StreamReader& r) {
      long e = -1;
      const uint8_t value = r.Number<uint8_t>(161, &e);
      EXPECT_EQ(e, c.error);
      if (c.error == 0) {
        EXPECT_EQ(value, 44);
      }
    });
  }
  ForEveryPiece(Hex({0x00}), [](StreamReader& r) {
    long e = 0;
    EXPECT_EQ(r.Next(&e), 0u);
    EXPECT_EQ(e, 999);
  });
}

TEST(CodecRead, FilteredTypes) {
  struct Case {
    int raw;
    uint64_t filtered;
    long error;
  };
  const Case cases[] = {{34, 34, 0},  {35, 35, 0},  {42, 42, 0},  {43, 43, 0},   {65, 70, 0},  {70, 70, 0},
                        {79, 35, 0},  {81, 34, 0},  {83, 34, 0},  {89, 35, 0},   {46, 46, 0},  {48, 48, 0},
                        {63, 63, 0},  {161, 43, 0}, {228, 43, 0}, {244, 42, 0},  {248, 42, 0}, {196, 43, 0},
                        {0, 0, 999},  {33, 0, 2},   {64, 0, 2},   {68, 0, 2},    {127, 0, 2}};
  for (const Case& c : cases) {
    long error = -1;
    EXPECT_EQ(filter_tok(static_cast<uint64_t>(c.raw), &error), c.filtered) << c.raw;
    EXPECT_EQ(error, c.error) << c.raw;
  }
}

TEST(CodecRead, BetweenPacketsBackslashNewlineAndEndAreSkipped) {
  ForEveryPiece(Bytes("\\\n]\\]\n") + Hex({0xA1, 7, 0x0A}) + "]\n" + Hex({0xA1, 8, 0x0A}), [](StreamReader& r) {
    long e = -1;
    EXPECT_EQ(r.Number<uint8_t>(161, &e), 7);
    EXPECT_EQ(r.Number<uint8_t>(161, &e), 8);
    EXPECT_EQ(e, 0);
  });
  // A backslash between the tokens of an expression is skipped too.
  ForEveryPiece(Hex({0x46, 0x41, 0x5C}) + kSymbolF + Hex({0x5C, 0xA1, 3, 0x0A}), [](StreamReader& r) {
    EXPECT_EQ(r.Next(), 70u);
    EXPECT_EQ(r.ArgCount(), 1);
    EXPECT_EQ(r.Next(), 35u);
    long e = -1;
    EXPECT_EQ(r.Text(ENCODING_BYTES, &e), "f");
    EXPECT_EQ(r.Number<uint8_t>(161, &e), 3);
    EXPECT_EQ(e, 0);
  });
}

TEST(CodecRead, EndOfPacketWhileArgumentsAreOwed) {
  for (const Bytes& end : {Bytes("]"), Bytes("\n")}) {
    ForEveryPiece(Hex({0x46, 0x42}) + kSymbolF + Hex({0xA1, 1, 0x0A}) + end + Hex({0xA1, 9, 0x0A}),
                  [](StreamReader& r) {
                    long e = -1;
                    EXPECT_EQ(r.Next(&e), 70u);
                    EXPECT_EQ(r.ArgCount(&e), 2);
                    EXPECT_EQ(r.Next(&e), 35u);
                    EXPECT_EQ(r.Text(ENCODING_BYTES, &e), "f");
                    EXPECT_EQ(r.Number<uint8_t>(161, &e), 1);
                    EXPECT_EQ(r.Next(&e), 0u);
                    EXPECT_EQ(e, 24);
                    EXPECT_EQ(r.state()->owed, 0);
                    EXPECT_EQ(r.state()->converter.token, 0u);
                    // The next packet reads normally.
                    EXPECT_EQ(r.Number<uint8_t>(161, &e), 9);
                    EXPECT_EQ(e, 0);
                  });
  }
}

TEST(CodecRead, PackedRunReadsAsTokensWithOneTerminator) {
  Bytes bytes = Hex({0x50, 0x43, 0xE4});
  for (int32_t v : {10, -20, 30}) bytes.append(reinterpret_cast<const char*>(&v), 4);
  bytes += "\n";
  ForEveryPiece(bytes + Hex({0xA1, 4, 0x0A}), [](StreamReader& r) {
    long e = -1;
    for (int32_t expected : {10, -20, 30}) {
      EXPECT_EQ(r.NextRaw(&e), 228u);
      EXPECT_EQ(r.Number<int32_t>(228, &e), expected);
      EXPECT_EQ(e, 0);
    }
    EXPECT_EQ(r.Number<uint8_t>(161, &e), 4);
    EXPECT_EQ(e, 0);
  });
  // A run of no element would misframe the stream.
  StreamReader empty(Hex({0x50, 0x40, 0xE4, 0x0A}));
  long e = 0;
  empty.Next(&e);
  EXPECT_EQ(e, 2);
}

TEST(CodecRead, NumberTextIntoBinaryNumbers) {
  const Bytes twelve = Hex({0x2B, 0x45, 0x42, 0x7E, 0x42}) + "12\n";
  ForEveryPiece(twelve, [](StreamReader& r) {
    long e = -1;
    EXPECT_EQ(r.Number<int32_t>(228, &e), 12);
    EXPECT_EQ(e, 0);
  });
  const Bytes huge = Hex({0x2B, 0x4C, 0x42, 0x7E, 0x49}) + "123456789\n";
  ForEveryPiece(huge, [](StreamReader& r) {
    long e = -1;
    r.Number<int16_t>(226, &e);
    EXPECT_EQ(e, 7);
    EXPECT_EQ(r.memory().held, 0);
  });
  const Bytes real = Hex({0x2A, 0x47, 0x41, 0x7E, 0x44}) + "2.25\n";
  ForEveryPiece(real, [](StreamReader& r) {
    long e = -1;
    EXPECT_EQ(r.Number<double>(246, &e), 2.25);
    EXPECT_EQ(e, 0);
  });
}

TEST(CodecRead, BinaryNumbersOfOtherTypesAreConverted) {
  ForEveryPiece(Hex({0xE4, 0x2C, 1, 0, 0, 0x0A, 0xF6, 0, 0, 0, 0, 0, 0, 0xF8, 0x3F, 0x0A}), [](StreamReader& r) {
    long e = -1;
    EXPECT_EQ(r.Number<double>(246, &e), 300.0);
    EXPECT_EQ(r.Number<int32_t>(228, &e), 2);  // 1.5 to nearest, halves to even
    EXPECT_EQ(e, 0);
  });
  StreamReader r(Hex({0xE4, 0x00, 0x00, 0x01, 0x00, 0x0A}));
  long e = 0;
  r.Number<int16_t>(226, &e);
  EXPECT_EQ(e, 7);
}

TEST(CodecRead, ADeclaredLengthAllocatesNothingBeforeTheBytesCome) {
  for (const Bytes& bytes : {Bytes("+1000000000000000 B~") + Bytes(" 123"), Bytes("\"1000000000000000 B~ abc"),
                             Bytes("*999999999999999999 D~999999999999999 1")}) {
    StreamReader r(bytes, 3);
    long e = 0;
    if (bytes[0] == '"') {
      r.Next(&e);
      r.Text(ENCODING_BYTES, &e);
    } else {
      r.Number<int32_t>(228, &e);
    }
    EXPECT_NE(e, 0);
    EXPECT_LT(r.memory().peak, 4096) << bytes;
    EXPECT_EQ(r.memory().held, 0) << bytes;
  }
  // A length of more than 18 digits is refused.
  StreamReader too_long("\"1234567890123456789 B~");
  long e = 0;
  too_long.Next(&e);
  int64_t n = 0;
  EXPECT_EQ(QVRawBytesToGet_(too_long.state(), too_long.stack(), too_long.queues(), &n), 2);
}

TEST(CodecRead, OwedCountsFollowTheExpression) {
  // f[g[1], 2] with a packed pair inside g: owed grows and settles token by token.
  Bytes bytes = Hex({0x46, 0x42}) + kSymbolF + Hex({0x46, 0x41}) + kSymbolF + Hex({0xA1, 1, 0x0A, 0xA1, 2, 0x0A}) + "]";
  ForEveryPiece(bytes, [](StreamReader& r) {
    std::vector<int64_t> owed;
    long e = 0;
    while (e == 0) {
      const uint64_t type = r.NextRaw(&e);
      if (e != 0 || type == 0) break;
      int64_t n = 0;
      QVExpressionsToGet_(r.state(), r.stack(), r.queues(), &n);
      owed.push_back(n);
    }
    EXPECT_EQ(owed, (std::vector<int64_t>{3, 2, 3, 2, 1, 0}));
  });
  // Owed counts that would overflow are refused.
  StreamReader r(Bytes("F999999999999999999 F999999999999999999 F999999999999999999 "
                       "F999999999999999999 F999999999999999999 F999999999999999999 "
                       "F999999999999999999 F999999999999999999 F999999999999999999 "
                       "F999999999999999999 "));
  long e = 0;
  for (int i = 0; i < 10 && e == 0; ++i) {
    r.Next(&e);
    if (e == 0) r.ArgCount(&e);
  }
  EXPECT_EQ(e, 2);
}

TEST(CodecRead, SkippingExpressionsAndPackets) {
  // Packet 1: f[f[1], "ab"]; packet 2: 5.
  const Bytes packet1 = Hex({0x46, 0x42}) + kSymbolF + Hex({0x46, 0x41}) + kSymbolF + Hex({0xA1, 1, 0x0A}) +
                        Hex({0x22, 0x45, 0x42, 0x7E, 0x42}) + "ab\n]";
  const Bytes packet2 = Hex({0xA1, 5, 0x0A}) + "]";
  ForEveryPiece(packet1 + packet2, [](StreamReader& r) {
    long e = -1;
    EXPECT_EQ(r.Next(&e), 70u);
    EXPECT_EQ(r.ArgCount(&e), 2);
    EXPECT_EQ(r.Next(&e), 35u);  // the head
    EXPECT_EQ(QVNewExpression_(r.state(), r.stack(), r.queues(), 1), 0);  // skips f[1]
    EXPECT_EQ(r.Next(&e), 34u);
    EXPECT_EQ(r.Text(ENCODING_BYTES, &e), "ab");
    EXPECT_EQ(r.Number<uint8_t>(161, &e), 5);
  });
  ForEveryPiece(packet1 + packet2, [](StreamReader& r) {
    long e = -1;
    EXPECT_EQ(r.Next(&e), 70u);
    EXPECT_EQ(QVNewPacket_(r.state(), r.stack(), r.queues()), 0);
    EXPECT_EQ(r.state()->owed, 0);
    EXPECT_EQ(r.Number<uint8_t>(161, &e), 5);
  });
  ForEveryPiece(packet1 + packet2, [](StreamReader& r) {
    long e = -1;
    EXPECT_EQ(r.Next(&e), 70u);
    EXPECT_EQ(r.ArgCount(&e), 2);
    EXPECT_EQ(QVTakeLast_(r.state(), r.stack(), r.queues(), 1), 0);  // leaves the last argument
    EXPECT_EQ(r.Next(&e), 34u);
    EXPECT_EQ(r.Text(ENCODING_BYTES, &e), "ab");
  });
  // With nothing owed, whole expressions are skipped.
  ForEveryPiece(packet1 + packet2, [](StreamReader& r) {
    long e = -1;
    EXPECT_EQ(QVNewExpression_(r.state(), r.stack(), r.queues(), 1), 0);
    EXPECT_EQ(r.Number<uint8_t>(161, &e), 5);
  });
}

TEST(CodecRead, Readiness) {
  // Data waiting: ready. A packet end between packets is taken and the test goes on.
  StreamReader ready(Bytes("]\n") + Hex({0xA1, 5, 0x0A}));
  EXPECT_TRUE(qvtest::WaitUntil([&] { return QVReady_(ready.state(), ready.stack(), ready.queues()) == 0; }));
  long e = -1;
  EXPECT_EQ(ready.Number<uint8_t>(161, &e), 5);
  // "]" while an expression is owed: 24.
  StreamReader early(Hex({0x46, 0x42}) + kSymbolF + "]");
  early.Next(&e);
  early.ArgCount(&e);
  early.Next(&e);
  early.Text(ENCODING_BYTES, &e);
  EXPECT_TRUE(qvtest::WaitUntil([&] {
    return QVReady_(early.state(), early.stack(), early.queues()) == 24;
  }));
  EXPECT_EQ(early.state()->owed, 0);
}

TEST(CodecRead, NothingThereYetIsNotReady) {
  // A loopback link with nothing written: no byte, no error.
  auto plumbing = qvtest::LinkPlumbing::Loopback();
  ASSERT_NE(plumbing, nullptr);
  read_state state;
  rs__construct(&state, qvne__dispatch, qvcodec::TextEnvironment(), cs__factory, nullptr, nullptr, nullptr, 0,
                nullptr, nullptr);
  EXPECT_EQ(QVReady_(&state, plumbing->device(), plumbing->queues()), 16);
  rs__deconstruct(&state, nullptr);
}

TEST(CodecRead, CallsOnTheWrongToken) {
  StreamReader r(Hex({0x22, 0x45, 0x42, 0x7E, 0x42}) + "ab\n" + Hex({0x46, 0x40}) + kSymbolF);
  long e = -1;
  EXPECT_EQ(r.Next(&e), 34u);
  int64_t count = 0;
  EXPECT_EQ(QVGetRawArgCount_(r.state(), r.stack(), r.queues(), &count), 3);
  EXPECT_EQ(r.Next(&e), 70u);
  EXPECT_EQ(QVGetRawData_(r.state(), r.stack(), r.queues(), nullptr, 1, &count), 3);
  EXPECT_EQ(r.Text(ENCODING_BYTES, &e), "");
  EXPECT_EQ(e, 3);
}

TEST(CodecRead, ViewedDataInPlaceOrCopied) {
  const Bytes text(5000, 'q');
  for (long piece : {7L, 4096L}) {
    StreamReader r(Bytes("\"5000 ") + text + "\n" + Hex({0x22, 0x43}) + "xyz\n", piece);
    long e = -1;
    EXPECT_EQ(r.Next(&e), 34u);
    const unsigned char* data = nullptr;
    int64_t length = 0;
    ASSERT_EQ(QVViewData_(r.state(), r.stack(), r.queues(), &data, &length), 0);
    EXPECT_EQ(Bytes(reinterpret_cast<const char*>(data), static_cast<size_t>(length)), text);
    EXPECT_EQ(r.state()->view, 1);  // too long for one window
    QVCloseView_(r.state());
    EXPECT_EQ(r.memory().held, 0);
    EXPECT_EQ(r.Next(&e), 34u);
    ASSERT_EQ(QVViewData_(r.state(), r.stack(), r.queues(), &data, &length), 0);
    EXPECT_EQ(Bytes(reinterpret_cast<const char*>(data), static_cast<size_t>(length)), "xyz");
    QVCloseView_(r.state());
  }
}

TEST(CodecRead, LoopbackWriteThenRead) {
  auto plumbing = qvtest::LinkPlumbing::Loopback();
  ASSERT_NE(plumbing, nullptr);
  write_state writer;
  const feature_set features = qvcodec::Features(QVFEATURE_ALL);
  ASSERT_EQ(ws__construct(&writer, &features, qvcodec::Descriptor("greatdane"), qvcodec::Descriptor("greatdane"), 0,
                          nullptr, nullptr),
            1);
  device_kebab* stack = plumbing->device();
  _queue* base = plumbing->base();
  ASSERT_EQ(QVPutComposite_(&writer, stack, base, 2), 0);
  ASSERT_EQ(QVPutType_(&writer, stack, base, 35), 0);
  const std::string_view plus = "Plus";
  ASSERT_EQ(QVPutCharacters_(&writer, stack, base, 0, plus.data(), plus.data() + plus.size(), 4, ENCODING_ASCII),
            0);
  const double x = -0.125;
  const int64_t n = 1LL << 40;
  ASSERT_EQ(QVPutBinaryNumber_(&writer, stack, base, &x, 246), 0);
  ASSERT_EQ(QVPutBinaryNumber_(&writer, stack, base, &n, 230), 0);
  ASSERT_EQ(QVEndPacket_(&writer, stack, base), 0);

  read_state reader;
  rs__construct(&reader, qvne__dispatch, qvcodec::TextEnvironment(), cs__factory, nullptr, nullptr, nullptr, 0,
                nullptr, nullptr);
  uint64_t type = 0;
  int64_t count = 0;
  ASSERT_EQ(QVGetNextType_(&reader, stack, plumbing->queues(), &type), 0);
  EXPECT_EQ(type, 70u);
  ASSERT_EQ(QVGetArgCount_(&reader, stack, plumbing->queues(), &count), 0);
  EXPECT_EQ(count, 2);
  ASSERT_EQ(QVGetNextType_(&reader, stack, plumbing->queues(), &type), 0);
  char head[16] = {};
  uint8_t state_byte = 0;
  ASSERT_EQ(QVGetCharacters_(&reader, stack, plumbing->queues(), &count, head, head + sizeof head, &state_byte,
                             ENCODING_ASCII),
            0);
  EXPECT_STREQ(head, "Plus");
  double y = 0;
  int64_t m = 0;
  ASSERT_EQ(QVGetBinaryNumber_(&reader, stack, plumbing->queues(), &y, 246), 0);
  ASSERT_EQ(QVGetBinaryNumber_(&reader, stack, plumbing->queues(), &m, 230), 0);
  EXPECT_EQ(y, x);
  EXPECT_EQ(m, n);
  EXPECT_EQ(QVReady_(&reader, stack, plumbing->queues()), 16);  // the "]" is taken; nothing more
  rs__deconstruct(&reader, nullptr);
  ws__deconstruct(&writer);
}

}  // namespace
