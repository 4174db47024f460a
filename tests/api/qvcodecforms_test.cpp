// Tokens read in a form other than the one they came in: the older number and
// string tokens, binary numbers read as text, a number that does not fit read
// again as a string, and a text atom read as an escaped-ASCII body. Each form
// is read through a scripted device in pieces of 1, 3 and 4096 bytes.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "api/qvtokentypes.h"
#include "qvcodectest.h"

namespace {

using qvcodec::Bytes;
using qvcodec::ForEveryPiece;
using qvcodec::Features;
using qvcodec::Hex;
using qvcodec::QueueWriter;
using qvcodec::StreamReader;
template <typename T>
Bytes Raw(T value) {
  return Bytes(reinterpret_cast<const char*>(&value), sizeof value);
}

Bytes RawBytes(StreamReader& r, long* error) {
  int64_t n = 0;
  *error = QVBytesToGet_(r.state(), r.stack(), r.queues(), &n);
  if (*error != 0) return "";
  Bytes out(static_cast<size_t>(n), '\0');
  int64_t got = 0;
  *error = QVGetRawData_(r.state(), r.stack(), r.queues(), out.data(), n, &got);
  out.resize(static_cast<size_t>(got));
  return out;
}

TEST(CodecForms, OlderNumberTokensReadAsCurrentOnes) {
  ForEveryPiece(Bytes("I2 12\nR4 1.25\nI2 -7\n"), [](StreamReader& r) {
    long e = -1;
    EXPECT_EQ(r.Next(&e), 43u);
    EXPECT_EQ(r.Number<int32_t>(228, &e), 12);
    EXPECT_EQ(r.Number<double>(246, &e), 1.25);
    EXPECT_EQ(r.Next(&e), 43u);
    EXPECT_EQ(r.Text(ENCODING_BYTES, &e), "-7");
    EXPECT_EQ(e, 0);
  });
  // A long older integer takes the long header form.
  const Bytes digits(70, '9');
  ForEveryPiece(Bytes("I70 ") + digits + "\n", [&](StreamReader& r) {
    long e = -1;
    EXPECT_EQ(r.Next(&e), 43u);
    EXPECT_EQ(r.Text(ENCODING_BYTES, &e), digits);
    EXPECT_EQ(e, 0);
  });
}

TEST(CodecForms, OlderStringTokensReadAsStringsAndSymbols) {
  // The legacy form is what a writer whose peer takes only legacy strings sends.
  QueueWriter w(Features(QVFEATURE_ALL, qvcodec::kOwnTypes, ENCODING_OLDSTRING));
  ASSERT_EQ(w.Text(34, "caf\\351 ok", ENCODING_ASCII), 0);
  ASSERT_EQ(w.Text(35, "Plus", ENCODING_ASCII), 0);
  const Bytes legacy = w.Take();
  ASSERT_EQ(legacy[0], 'S');
  ForEveryPiece(legacy, [](StreamReader& r) {
    long e = -1;
    EXPECT_EQ(r.Next(&e), 34u);
    EXPECT_EQ(r.Text(ENCODING_ASCII, &e), "caf\\351 ok");
    EXPECT_EQ(r.Next(&e), 35u);
    EXPECT_EQ(r.Text(ENCODING_BYTES, &e), "Plus");
    EXPECT_EQ(e, 0);
    EXPECT_EQ(r.state()->owed, 0);
  });
}

TEST(CodecForms, BinaryNumbersReadAsText) {
  ForEveryPiece(Hex({0xF6}) + Raw(1.5) + "\n" + Hex({0xE4}) + Raw(int32_t{-20}) + "\n", [](StreamReader& r) {
    long e = -1;
    EXPECT_EQ(r.Next(&e), 42u);
    EXPECT_EQ(r.Text(ENCODING_ASCII, &e), "1.5");
    EXPECT_EQ(r.Next(&e), 43u);
    EXPECT_EQ(RawBytes(r, &e), "-20");
    EXPECT_EQ(e, 0);
  });
  // Each element of a packed run, then what follows the run.
  Bytes run = Hex({0x50, 0x43, 0xE4});
  for (int32_t v : {10, 20, 30}) run += Raw(v);
  ForEveryPiece(run + "\n" + Hex({0xA1, 5, 0x0A}), [](StreamReader& r) {
    long e = -1;
    for (const char* text : {"10", "20", "30"}) {
      EXPECT_EQ(r.Next(&e), 43u);
      EXPECT_EQ(r.Text(ENCODING_UTF8, &e), text);
    }
    EXPECT_EQ(r.Number<uint8_t>(161, &e), 5);
    EXPECT_EQ(e, 0);
  });
}

TEST(CodecForms, ANumberThatDoesNotFitReadsAgainAsAString) {
  ForEveryPiece(Hex({0x2B, 0x4C, 0x42, 0x7E, 0x49}) + "123456789\n", [](StreamReader& r) {
    long e = -1;
    r.Number<int16_t>(226, &e);
    EXPECT_EQ(e, 7);
    EXPECT_EQ(r.Text(ENCODING_BYTES, &e), "123456789");
    EXPECT_EQ(e, 0);
    EXPECT_EQ(r.state()->owed, 0);
  });
  ForEveryPiece(Hex({0xE4}) + Raw(int32_t{65536}) + "\n", [](StreamReader& r) {
    long e = -1;
    r.Number<int16_t>(226, &e);
    EXPECT_EQ(e, 7);
    EXPECT_EQ(r.Number<int64_t>(230, &e), 65536);  // the same token, read in a type it fits
    EXPECT_EQ(e, 0);
  });
  Bytes run = Hex({0x50, 0x43, 0xE4});
  for (int32_t v : {1, 70000, 3}) run += Raw(v);
  ForEveryPiece(run + "\n", [](StreamReader& r) {
    long e = -1;
    EXPECT_EQ(r.Number<int16_t>(226, &e), 1);
    r.Number<int16_t>(226, &e);
    EXPECT_EQ(e, 7);
    EXPECT_EQ(r.Text(ENCODING_BYTES, &e), "70000");
    EXPECT_EQ(r.Number<int16_t>(226, &e), 3);
    EXPECT_EQ(e, 0);
  });
}

TEST(CodecForms, ATextAtomReadAsAnEscapedAsciiBody) {
  QueueWriter w(Features(QVFEATURE_ALL, qvcodec::kOwnTypes, ENCODING_BYTES));
  ASSERT_EQ(w.Text(34, "caf\xE9", ENCODING_BYTES), 0);
  ForEveryPiece(w.Take(), [](StreamReader& r) {
    long e = -1;
    EXPECT_EQ(r.Next(&e), 34u);
    EXPECT_EQ(RawBytes(r, &e), "caf\\351");
    EXPECT_EQ(e, 0);
  });
}

// A copy of the queue stack and read state (what a mark holds) taken while a
// re-framing queue is pushed reads the same as the original.
TEST(CodecForms, CopiesTakenInsideAPushedFormReadTheSame) {
  StreamReader r(Bytes("I5 12345\n"), 2);
  long e = -1;
  EXPECT_EQ(r.Next(&e), 43u);
  qv_queue_stack copy{};
  ASSERT_EQ(qvqk__copy_construct(&copy, r.queues()), 0);
  read_state saved;
  ASSERT_EQ(rs__copy_construct(&saved, r.state(), nullptr), 1);
  EXPECT_EQ(r.Text(ENCODING_BYTES, &e), "12345");
  // Back to the copy: the same characters again.
  ASSERT_EQ(qvqk__assign(r.queues(), &copy), 0);
  rs__assign(r.state(), &saved, nullptr);
  const rs_memory_stack memory = r.memory().Stack();
  r.state()->memory = memory;
  EXPECT_EQ(r.Number<int32_t>(228, &e), 12345);
  EXPECT_EQ(e, 0);
  rs__deconstruct(&saved, nullptr);
  qvqk__deconstruct(&copy, nullptr);
}

}  // namespace
