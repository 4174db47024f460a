// The write side of the token codec: exact bytes on the wire for each form,
// numbers sent in the peer's own formats, and every refusal of a call out of
// its place.
#include <gtest/gtest.h>

#include <vector>

#include "api/qvstream.h"
#include "qvcodectest.h"

namespace {

using qvcodec::Bytes;
using qvcodec::Features;
using qvcodec::Hex;
using qvcodec::QueueWriter;

TEST(CodecWrite, ExactBytesWithEveryFeatureAndOwnTypes) {
  struct Case {
    const char* what;
    long (*write)(QueueWriter&);
    Bytes bytes;
  };
  const Case cases[] = {
      {"function f of int32 5, end of packet",
       [](QueueWriter& w) {
         long e = w.Function("f", 1);
         if (e == 0) e = w.Number(int32_t{5}, 228);
         return e != 0 ? e : w.End();
       },
       Hex({0x46, 0x41, 0x23, 0x44, 0x41, 0x7E, 0x41, 0x66, 0x0A, 0xE4, 0x05, 0, 0, 0, 0x0A, 0x5D})},
      {"function List of nothing", [](QueueWriter& w) { return w.Function("List", 0); },
       Hex({0x46, 0x40, 0x23, 0x47, 0x41, 0x7E, 0x44, 0x4C, 0x69, 0x73, 0x74, 0x0A})},
      {"string from escaped ASCII", [](QueueWriter& w) { return w.Text(34, "hi", ENCODING_ASCII); },
       Hex({0x22, 0x45, 0x41, 0x7E, 0x42, 0x68, 0x69, 0x0A})},
      {"string from bytes", [](QueueWriter& w) { return w.Text(34, "hi", ENCODING_BYTES); },
       Hex({0x22, 0x45, 0x42, 0x7E, 0x42, 0x68, 0x69, 0x0A})},
      {"8-bit integer", [](QueueWriter& w) { return w.Number(uint8_t{44}, 161); }, Hex({0xA1, 0x2C, 0x0A})},
      {"64-bit real", [](QueueWriter& w) { return w.Number(1.5, 246); },
       Hex({0xF6, 0, 0, 0, 0, 0, 0, 0xF8, 0x3F, 0x0A})},
      {"composite count 63", [](QueueWriter& w) { return QVPutComposite_(w.state(), nullptr, w.queue(), 63); },
       Hex({0x46, 0x7F})},
      {"composite count 64", [](QueueWriter& w) { return QVPutComposite_(w.state(), nullptr, w.queue(), 64); },
       Bytes("F64 ")},
  };
  for (const Case& c : cases) {
    QueueWriter w(Features(QVFEATURE_ALL));
    ASSERT_TRUE(w.ok());
    EXPECT_EQ(c.write(w), 0) << c.what;
    EXPECT_EQ(w.Take(), c.bytes) << c.what;
  }
}

TEST(CodecWrite, WithoutShortLengthsTheCodecsOwnLengthsAreLong) {
  QueueWriter w(Features(0));
  ASSERT_EQ(w.Function("List", 1), 0);
  ASSERT_EQ(w.Number(int32_t{5}, 228), 0);
  ASSERT_EQ(w.Type(34), 0);
  ASSERT_EQ(QVPutRawSize_(w.state(), nullptr, w.queue(), 3), 0);
  ASSERT_EQ(QVPutRawData_(w.state(), nullptr, w.queue(), "abc", 3), 0);
  // Text atoms keep the converter's short form whatever the word says.
  EXPECT_EQ(w.Take(), Bytes("F1 ") + Hex({0x23, 0x47, 0x41, 0x7E, 0x44}) + "List\n" +
                          Hex({0xE4, 5, 0, 0, 0, 0x0A}) + "\"3 abc\n");
}

TEST(CodecWrite, NumbersGoInThePeersFormats) {
  struct Case {
    const char* peer;
    std::initializer_list<unsigned> as_they_stand;
    long (*write)(QueueWriter&);
    Bytes bytes;
  };
  const std::initializer_list<unsigned> mastiff_set = {162, 164, 180, 182};
  const Case cases[] = {
      {"mastiff", mastiff_set, [](QueueWriter& w) { return w.Number(int32_t{5}, 228); },
       Hex({0xA4, 0, 0, 0, 5, 0x0A})},
      {"mastiff", mastiff_set, [](QueueWriter& w) { return w.Number(1.5, 246); },
       Hex({0xB6, 0x3F, 0xF8, 0, 0, 0, 0, 0, 0, 0x0A})},
      {"mastiff", mastiff_set, [](QueueWriter& w) { return w.Number(1.5L, 248); },
       Hex({0x2A, 0x46, 0x42, 0x7E, 0x43, 0x31, 0x2E, 0x35, 0x0A})},
      {"mastiff", mastiff_set, [](QueueWriter& w) { return w.Number(int64_t{5}, 230); },
       Hex({0xC5, 0, 0, 0, 0, 0, 0, 0, 5, 0x0A})},
      {"mastiff", mastiff_set, [](QueueWriter& w) { return w.Number(int16_t{-2}, 226); },
       Hex({0xA2, 0xFF, 0xFE, 0x0A})},
      {"zembu", {}, [](QueueWriter& w) { return w.Number(int64_t{5}, 230); },
       Hex({0xC4, 5, 0, 0, 0, 0, 0, 0, 0, 0x0A})},
      {"zembu", {}, [](QueueWriter& w) { return w.Number(1.5L, 248); },
       Hex({0xF6, 0, 0, 0, 0, 0, 0, 0xF8, 0x3F, 0x0A})},
      // A long double beyond the peer's doubles cannot be converted: text.
      {"zembu", {}, [](QueueWriter& w) { return w.Number(1e4000L, 248); },
       Hex({0x2A, 0x4A, 0x42, 0x7E, 0x47}) + "1e+4000\n"},
  };
  for (const Case& c : cases) {
    QueueWriter w(Features(QVFEATURE_ALL, c.as_they_stand), c.peer);
    ASSERT_TRUE(w.ok());
    EXPECT_EQ(c.write(w), 0) << c.peer;
    EXPECT_EQ(w.Take(), c.bytes) << c.peer;
  }
}

TEST(CodecWrite, ADeclaredNumberTextTokenTakesTheNumberAsText) {
  QueueWriter w(Features(QVFEATURE_ALL));
  ASSERT_EQ(w.Type(43), 0);
  ASSERT_EQ(w.Number(int32_t{-7}, 228), 0);
  EXPECT_EQ(ws__last_error(w.state()), 0);
  EXPECT_EQ(w.Take(), Hex({0x2B, 0x45, 0x42, 0x7E, 0x42}) + "-7\n");
  ASSERT_EQ(w.Type(42), 0);
  EXPECT_EQ(w.Number(int32_t{7}, 228), 5);  // an integer does not fit a declared real
}

TEST(CodecWrite, TypeRulesInsideAToken) {
  QueueWriter w(Features(QVFEATURE_ALL));
  ASSERT_EQ(w.Type(35), 0);
  EXPECT_EQ(w.Type(34), 0);  // text may be put into any text-bodied token
  EXPECT_EQ(w.state()->converter.token, 35u);
  EXPECT_EQ(w.Type(79), 0);  // a symbol may become dictionary-coded
  EXPECT_EQ(w.state()->converter.token, 79u);
  EXPECT_EQ(w.Type(70), 5);
  EXPECT_EQ(ws__last_error(w.state()), 5);
}

TEST(CodecWrite, RefusalsOutOfPlace) {
  struct Case {
    const char* what;
    long (*calls)(QueueWriter&);
    long error;
  };
  const Case cases[] = {
      {"data before any type", [](QueueWriter& w) { return QVPutRawData_(w.state(), nullptr, w.queue(), "x", 1); }, 5},
      {"size of a function",
       [](QueueWriter& w) {
         w.Type(70);
         return QVPutRawSize_(w.state(), nullptr, w.queue(), 1);
       },
       5},
      {"argument count of a string",
       [](QueueWriter& w) {
         w.Type(34);
         return QVPutArgCount_(w.state(), nullptr, w.queue(), 1);
       },
       5},
      {"characters between tokens",
       [](QueueWriter& w) {
         const char a[] = "a";
         return QVPutCharacters_(w.state(), nullptr, w.queue(), 0, a, a + 1, 1, 4);
       },
       5},
      {"a new type while data is owed",
       [](QueueWriter& w) {
         w.Type(34);
         QVPutRawSize_(w.state(), nullptr, w.queue(), 2);
         return w.Type(35);
       },
       5},
      {"more data than declared",
       [](QueueWriter& w) {
         w.Type(34);
         QVPutRawSize_(w.state(), nullptr, w.queue(), 2);
         return QVPutRawData_(w.state(), nullptr, w.queue(), "abc", 3);
       },
       6},
      {"end of packet after a bare type",
       [](QueueWriter& w) {
         w.Type(34);
         return w.End();
       },
       21},
      {"end of packet while data is owed",
       [](QueueWriter& w) {
         w.Type(34);
         QVPutRawSize_(w.state(), nullptr, w.queue(), 1);
         return w.End();
       },
       21},
      {"bytes to put between tokens",
       [](QueueWriter& w) {
         int64_t count = -1;
         return QVBytesToPut_(w.state(), nullptr, w.queue(), &count);
       },
       5},
  };
  for (const Case& c : cases) {
    QueueWriter w(Features(QVFEATURE_ALL));
    EXPECT_EQ(c.calls(w), c.error) << c.what;
    EXPECT_EQ(ws__last_error(w.state()), c.error) << c.what;
    EXPECT_EQ(w.Take(), "") << c.what;  // nothing reaches the wire
  }
}

TEST(CodecWrite, RawDataInPiecesAndEmptyData) {
  QueueWriter w(Features(QVFEATURE_ALL));
  ASSERT_EQ(w.Type(34), 0);
  ASSERT_EQ(QVPutRawSize_(w.state(), nullptr, w.queue(), 0), 0);
  ASSERT_EQ(QVPutRawData_(w.state(), nullptr, w.queue(), "", 0), 0);
  EXPECT_EQ(w.Take(), Hex({0x22, 0x40, 0x0A}));
  ASSERT_EQ(w.Type(35), 0);
  ASSERT_EQ(QVPutRawSize_(w.state(), nullptr, w.queue(), 5), 0);
  int64_t owed = 0;
  ASSERT_EQ(QVBytesToPut_(w.state(), nullptr, w.queue(), &owed), 0);
  EXPECT_EQ(owed, 5);
  ASSERT_EQ(QVPutRawData_(w.state(), nullptr, w.queue(), "ab", 2), 0);
  ASSERT_EQ(QVPutRawData_(w.state(), nullptr, w.queue(), "cde", 3), 0);
  ASSERT_EQ(QVBytesToPut_(w.state(), nullptr, w.queue(), &owed), 0);
  EXPECT_EQ(owed, 0);
  ASSERT_EQ(w.End(), 0);
  EXPECT_EQ(w.Take(), Bytes("#Eabcde\n]"));
}

TEST(CodecWrite, OptimizedTypeQuestion) {
  QueueWriter w(Features(QVFEATURE_ALL));
  EXPECT_EQ(QVCanPutOptimizedType_(w.state(), nullptr, w.queue(), 79), 1);
  EXPECT_EQ(QVCanPutOptimizedType_(w.state(), nullptr, w.queue(), 34), 0);
  w.Type(35);
  EXPECT_EQ(QVCanPutOptimizedType_(w.state(), nullptr, w.queue(), 79), 1);
  EXPECT_EQ(QVCanPutOptimizedType_(w.state(), nullptr, w.queue(), 81), 0);
}

TEST(CodecWrite, ChangeToTokenState) {
  QueueWriter w(Features(QVFEATURE_ALL));
  EXPECT_EQ(change_wstate_to_TOKEN_STATE(w.state()), 0);
  w.Type(34);
  EXPECT_EQ(change_wstate_to_TOKEN_STATE(w.state()), 5);
  QVPutRawSize_(w.state(), nullptr, w.queue(), 1);
  EXPECT_EQ(change_wstate_to_TOKEN_STATE(w.state()), 5);
  QVPutRawData_(w.state(), nullptr, w.queue(), "x", 1);
  EXPECT_EQ(change_wstate_to_TOKEN_STATE(w.state()), 0);
  w.state()->converter.step = 41;
  EXPECT_EQ(change_wstate_to_TOKEN_STATE(w.state()), 999);
}

TEST(CodecWrite, TextThatCannotBeConvertedIsRefusedAndTheWriterRecovers) {
  // A peer that takes only bytes cannot be sent a character above 255.
  QueueWriter w(Features(QVFEATURE_ALL, qvcodec::kOwnTypes, ENCODING_BYTES));
  const char32_t text[] = {0x20AC};
  ASSERT_EQ(w.Type(34), 0);
  EXPECT_EQ(QVPutCharacters_(w.state(), nullptr, w.queue(), 0, text, text + 1, 1, ENCODING_UTF32), 48);
  w.Take();
  EXPECT_EQ(w.Text(34, "ok", ENCODING_BYTES), 0);
  EXPECT_EQ(w.Take(), Hex({0x22, 0x45, 0x42, 0x7E, 0x42}) + "ok\n");
}

// Text written through small device windows (below 32 bytes of room the
// converter works in a local buffer) gives the same bytes as through a queue.
TEST(CodecWrite, SmallWindowsGiveTheSameBytes) {
  const Bytes long_text(300, 'x');
  const Bytes escaped = "caf\\351 \\:20AC \\|01F600 end";
  auto write = [&](QueueWriter& w, device_kebab* stack) {
    long e = QVPutComposite_(w.state(), stack, w.queue(), 2);
    if (e == 0) e = QVPutType_(w.state(), stack, w.queue(), 35);
    const char f[] = "f";
    if (e == 0) e = QVPutCharacters_(w.state(), stack, w.queue(), 0, f, f + 1, 1, ENCODING_ASCII);
    if (e == 0) e = QVPutType_(w.state(), stack, w.queue(), 34);
    if (e == 0) {
      e = QVPutCharacters_(w.state(), stack, w.queue(), 0, long_text.data(), long_text.data() + long_text.size(),
                           static_cast<int64_t>(long_text.size()), ENCODING_BYTES);
    }
    if (e == 0) e = QVPutType_(w.state(), stack, w.queue(), 34);
    if (e == 0) {
      e = QVPutCharacters_(w.state(), stack, w.queue(), 0, escaped.data(), escaped.data() + escaped.size(), -1,
                           ENCODING_ASCII);
    }
    if (e == 0) e = QVEndPacket_(w.state(), stack, w.queue());
    if (e == 0 && stack != nullptr) e = QVFlush_(w.state(), stack, w.queue());
    return e;
  };
  QueueWriter plain(Features(QVFEATURE_ALL, qvcodec::kOwnTypes, ENCODING_BYTES | ENCODING_UTF8));
  ASSERT_EQ(write(plain, nullptr), 0);
  const Bytes expected = plain.Take();
  for (int64_t size : {1, 2, 3, 7, 31, 32, 33, 4096}) {
    QueueWriter w(Features(QVFEATURE_ALL, qvcodec::kOwnTypes, ENCODING_BYTES | ENCODING_UTF8));
    std::vector<unsigned char> window(static_cast<size_t>(size));
    device_kebab stack;
    stack.loopback = 1;
    stack.window_start = stack.cursor = window.data();
    stack.room = stack.window_size = size;
    stack.bytes_flushed = 1;
    ASSERT_EQ(write(w, &stack), 0) << size;
    EXPECT_EQ(w.Take(), expected) << size;
  }
}

}  // namespace
