// Marks: saving a read position of a loopback link (as one queue mark, or as
// a copy of the queue stack with its pushed levels) and going back to it,
// skipping expressions after the seek, dropping all input, and the records
// marks live in.
#include <gtest/gtest.h>

#include <functional>

#include "api/qvmempool.h"
#include "qvcodecloopback.h"
#include "utilities/qvmemorypool.h"

namespace {

using qvloop::Bytes;
using qvloop::LoopbackSide;
using qvcodec::StreamReader;
using qvloop::Token;

// A mark record that gives itself back.
struct OwnedMark {
  QVLinkMark* mark = QVGetNewMark_();
  LoopbackSide* side;
  explicit OwnedMark(LoopbackSide* s) : side(s) {}
  ~OwnedMark() {
    QVDeconstructMark_(side->queues(), mark);
    QVDestroyMark_(mark);
  }
  long Set() { return QVConstructMark_(mark, side->reader(), side->queues()); }
  long Seek(int64_t n = 0) { return QVSeek_(side->reader(), side->stack(), side->queues(), mark, n); }
};

// Each 8-bit integer as a packet of its own.
void WriteNumberPackets(LoopbackSide& side, std::initializer_list<int8_t> values) {
  for (int8_t v : values) {
    ASSERT_EQ(side.Number(v, 161), 0);
    ASSERT_EQ(side.End(), 0);
  }
  ASSERT_EQ(side.Flush(), 0);
}

// f[1, "two", g[2.5]] then 3, as two packets.
void WritePackets(LoopbackSide& side) {
  ASSERT_EQ(side.Function("f", 3), 0);
  ASSERT_EQ(side.Number(int32_t{1}, 228), 0);
  ASSERT_EQ(side.Text(TOK_STRING, "two"), 0);
  ASSERT_EQ(side.Function("g", 1), 0);
  ASSERT_EQ(side.Number(2.5, 246), 0);
  ASSERT_EQ(side.End(), 0);
  ASSERT_EQ(side.Number(int8_t{3}, 161), 0);
  ASSERT_EQ(side.End(), 0);
  ASSERT_EQ(side.Flush(), 0);
}

TEST(CodecMarks, EveryKindOfMarkReadsTheSameAgain) {
  struct Case {
    const char* what;
    std::function<void(LoopbackSide&)> before;  // from a fresh link to the mark
    uint64_t kind;
    int expressions;  // read after the mark, then again after the seek
  };
  const Case cases[] = {
      {"queue that lends no window: one queue mark",
       [](LoopbackSide& s) { qvqueue_disable_borrow(s.base()); }, QVMARK_QUEUE_MARK, 2},
      {"window borrowed inside a function: a copy of the stack",
       [](LoopbackSide& s) {
         std::vector<Token> head;
         ASSERT_EQ(s.Next(), 70u);
         int64_t count = 0;
         ASSERT_EQ(QVGetArgCount_(s.reader(), s.stack(), s.queues(), &count), 0);
         ASSERT_EQ(qvloop::ReadExpression(s.reading(), &head), 0);
       },
       QVMARK_QUEUE_STACK, 4},
      {"a pushed level in front of the input: a copy of the stack",
       [](LoopbackSide& s) {
         ASSERT_TRUE(s.PushLevel(qvcodec::Hex({0xA1, 9, 0x0A, 0x5D})));
         qvqueue_disable_borrow(s.base());
       },
       QVMARK_QUEUE_STACK, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LoopbackSide side;
    ASSERT_TRUE(side.ok());
    WritePackets(side);
    c.before(side);
    OwnedMark mark(&side);
    ASSERT_NE(mark.mark, nullptr);
    ASSERT_EQ(mark.Set(), 0);
    EXPECT_EQ(mark.mark->kind, c.kind);
    std::vector<Token> first;
    std::vector<Token> again;
    ASSERT_EQ(qvloop::ReadPackets(side.reading(), c.expressions, &first), 0);
    for (int round = 0; round < 2; ++round) {
      ASSERT_EQ(mark.Seek(), 0);
      again.clear();
      ASSERT_EQ(qvloop::ReadPackets(side.reading(), c.expressions, &again), 0);
      EXPECT_EQ(again, first) << qvloop::Describe(first) << "\n" << qvloop::Describe(again);
    }
    // After everything was read, nothing more is there.
    EXPECT_EQ(QVReady_(side.reader(), side.stack(), side.queues()), 16);
    QVDeconstructMark_(side.queues(), mark.mark);
    EXPECT_EQ(qvqk__outstanding_marks(side.queues()), 0);
  }
}

TEST(CodecMarks, SeekingWithACountSkipsThatManyExpressionsAfterTheMark) {
  struct Case {
    const char* what;
    bool inside_function;
    int64_t n;
    int8_t next;
  };
  const Case cases[] = {
      {"between packets", false, 2, 30},
      {"between packets, none skipped", false, 0, 10},
      {"inside a function", true, 2, 3},
      {"inside a function, one skipped", true, 1, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LoopbackSide side;
    ASSERT_TRUE(side.ok());
    if (c.inside_function) {
      // h[1, 2, 3]; the mark is set after the head.
      ASSERT_EQ(side.Function("h", 3), 0);
      for (int8_t v : {1, 2, 3}) ASSERT_EQ(side.Number(v, 161), 0);
      ASSERT_EQ(side.End(), 0);
      ASSERT_EQ(side.Flush(), 0);
    } else {
      WriteNumberPackets(side, {10, 20, 30});
    }
    if (c.inside_function) {
      std::vector<Token> head;
      ASSERT_EQ(side.Next(), 70u);
      int64_t count = 0;
      ASSERT_EQ(QVGetArgCount_(side.reader(), side.stack(), side.queues(), &count), 0);
      ASSERT_EQ(qvloop::ReadExpression(side.reading(), &head), 0);
    }
    OwnedMark mark(&side);
    ASSERT_EQ(mark.Set(), 0);
    // Read ahead past all of it, then go back.
    std::vector<Token> ahead;
    ASSERT_EQ(qvloop::ReadPackets(side.reading(), 3, &ahead), 0);
    ASSERT_EQ(mark.Seek(c.n), 0);
    long e = -1;
    EXPECT_EQ(side.Read<int8_t>(161, &e), c.next);
    EXPECT_EQ(e, 0);
  }
}

TEST(CodecMarks, SeekingWithACountPastTheEndOfTheInputAnswersTheReadError) {
  LoopbackSide side;
  ASSERT_TRUE(side.ok());
  WriteNumberPackets(side, {1});
  OwnedMark mark(&side);
  ASSERT_EQ(mark.Set(), 0);
  EXPECT_EQ(mark.Seek(2), 25);  // a loopback link with nothing pending: nothing can arrive
  // The mark still holds: the input reads from it again.
  ASSERT_EQ(mark.Seek(), 0);
  EXPECT_EQ(side.Read<int8_t>(161), 1);
}

// A mark in the middle of a text whose bytes come from a pushed level (as an
// older string being re-framed does) brings the reader back to the same
// character, and the rest of the input follows.
TEST(CodecMarks, AMarkInsideAPushedLevelComesBackToTheSameCharacter) {
  LoopbackSide side;
  ASSERT_TRUE(side.ok());
  WriteNumberPackets(side, {7});
  // "abcdefgh" as a string atom, then the end of its packet.
  ASSERT_TRUE(side.PushLevel(qvcodec::Hex({0x22, 0x4B, 0x42, 0x7E, 0x48}) + "abcdefgh\n]"));
  ASSERT_EQ(side.Next(), 34u);
  char text[16] = {};
  int64_t count = 0;
  uint8_t state_byte = '?';
  ASSERT_EQ(QVGetCharacters_(side.reader(), side.stack(), side.queues(), &count, text, text + 3, &state_byte,
                             ENCODING_BYTES),
            0);
  ASSERT_EQ(Bytes(text, 3), "abc");
  OwnedMark mark(&side);
  ASSERT_EQ(mark.Set(), 0);
  EXPECT_EQ(mark.mark->kind, QVMARK_QUEUE_STACK);
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    ASSERT_EQ(QVGetCharacters_(side.reader(), side.stack(), side.queues(), &count, text, text + sizeof text,
                               &state_byte, ENCODING_BYTES),
              0);
    EXPECT_EQ(Bytes(text, static_cast<size_t>(count)), "defgh");
    long e = -1;
    EXPECT_EQ(side.Read<int8_t>(161, &e), 7);  // the level is used up: the input follows
    EXPECT_EQ(e, 0);
    ASSERT_EQ(mark.Seek(), 0);
  }
}

// The same with an older string re-framed by the reader, its bytes arriving
// in pieces of a few bytes.
TEST(CodecMarks, AMarkInsideAReframedOlderStringComesBackToTheSameCharacter) {
  struct Case {
    Bytes token;
    uint64_t type;
    Bytes rest;
  };
  const Case cases[] = {
      {Bytes("S11 hello world\n"), 34, "lo world"},
      {Bytes("Y7 hel") + qvcodec::Hex({0xFB, 0x12, 0x34}) + "o\n", 35, "\\:1234o"},
  };
  for (const Case& c : cases) {
    for (long piece : {1L, 3L, 4096L}) {
      SCOPED_TRACE(testing::Message() << c.token << ", device reads of " << piece);
      qvcodec::StreamReader r(c.token + "]" + qvcodec::Hex({0xA1, 7, 0x0A}), piece);
      ASSERT_EQ(r.Next(), c.type);
      char text[32] = {};
      int64_t count = 0;
      uint8_t state_byte = '?';
      ASSERT_EQ(QVGetCharacters_(r.state(), r.stack(), r.queues(), &count, text, text + 3, &state_byte,
                                 ENCODING_ASCII),
                0);
      ASSERT_EQ(Bytes(text, static_cast<size_t>(count)), "hel");
      QVLinkMark* mark = QVGetNewMark_();
      ASSERT_EQ(QVConstructMark_(mark, r.state(), r.queues()), 0);
      for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(QVGetCharacters_(r.state(), r.stack(), r.queues(), &count, text, text + sizeof text, &state_byte,
                                   ENCODING_ASCII),
                  0);
        EXPECT_EQ(Bytes(text, static_cast<size_t>(count)), c.rest);
        long e = -1;
        EXPECT_EQ(r.Number<int8_t>(161, &e), 7);
        EXPECT_EQ(e, 0);
        ASSERT_EQ(QVSeek_(r.state(), r.stack(), r.queues(), mark, 0), 0);
      }
      QVDeconstructMark_(r.queues(), mark);
      QVDestroyMark_(mark);
      EXPECT_EQ(qvqk__outstanding_marks(r.queues()), 0);
    }
  }
}

// Every form the reader re-frames through a pushed queue: a mark set while the
// queue is being read brings the reader back to the same byte of it.
TEST(CodecMarks, SeekingBackIntoEveryReframedForm) {
  using qvcodec::Hex;
  using Step = std::function<Bytes(StreamReader&)>;
  auto characters = [](size_t room) {
    return [room](StreamReader& r) {
      char text[64] = {};
      int64_t count = 0;
      uint8_t state_byte = '?';
      const long e = QVGetCharacters_(r.state(), r.stack(), r.queues(), &count, text, text + room, &state_byte,
                                      ENCODING_ASCII);
      return std::to_string(e) + ":" + Bytes(text, static_cast<size_t>(count));
    };
  };
  auto next_then = [](Step then) {
    return [then](StreamReader& r) {
      const Bytes type = std::to_string(r.Next());
      return type + ":" + then(r);
    };
  };
  auto all_text = [](StreamReader& r) {
    long e = 0;
    return r.Text(ENCODING_ASCII, &e, 5) + ":" + std::to_string(e);
  };
  auto raw_data = [](StreamReader& r) {
    char data[64] = {};
    int64_t count = 0;
    const long e = QVGetRawData_(r.state(), r.stack(), r.queues(), data, sizeof data, &count);
    return std::to_string(e) + ":" + Bytes(data, static_cast<size_t>(count));
  };
  auto walk_rest = [](StreamReader& r) {
    std::vector<Token> tokens;
    const long e = qvloop::ReadPackets({r.state(), r.stack(), r.queues()}, 3, &tokens);
    return std::to_string(e) + ":" + qvloop::Describe(tokens);
  };
  const Bytes list = Hex({0x23, 0x47, 0x41, 0x7E, 0x44, 0x4C, 0x69, 0x73, 0x74, 0x0A});
  struct Case {
    const char* what;
    Bytes bytes;
    Step start;  // reads up to the mark
    Step rest;   // what is read after it, twice
  };
  const Case cases[] = {
      {"older integer", Bytes("I5 12345\n"), [](StreamReader& r) { return std::to_string(r.Next()); },
       [](StreamReader& r) { return std::to_string(r.Number<int32_t>(228)); }},
      {"older string", Bytes("S9 abcdefghi\n"), next_then(characters(2)), all_text},
      {"binary number as text", Hex({0xE4, 0x39, 0x30, 0, 0, 0x0A}), next_then(characters(2)), all_text},
      {"number text that did not fit, read again as a string", Bytes("+") + Hex({0x46, 0x42, 0x7E, 0x43}) + "300\n",
       [](StreamReader& r) {
         long e = 0;
         r.Number<int8_t>(161, &e);
         return std::to_string(e);
       },
       all_text},
      {"text as an escaped body",
       Bytes("\"") + Hex({0x46, 0x42, 0x7E, 0x43, 0x61, 0xE9, 0x62, 0x0A}),
       [](StreamReader& r) {
         r.Next();
         int64_t n = 0;
         const long e = QVBytesToGet_(r.state(), r.stack(), r.queues(), &n);
         char first = 0;
         int64_t got = 0;
         QVGetRawData_(r.state(), r.stack(), r.queues(), &first, 1, &got);
         return std::to_string(e) + ":" + std::to_string(n) + first;
       },
       raw_data},
      {"array token as nested functions",
       Hex({0x41, 0x42, 0x44, 0x4D, 0x46, 0x42}) + list + Hex({0x2E, 0x0A, 0x50, 0x42, 0xA1, 4, 5, 0x0A}),
       [](StreamReader& r) {
         r.Next();
         return std::to_string(r.ArgCount());
       },
       walk_rest},
  };
  for (const Case& c : cases) {
    for (long piece : {1L, 4096L}) {
      SCOPED_TRACE(testing::Message() << c.what << ", device reads of " << piece);
      const Bytes bytes = c.bytes + "]" + Hex({0xA1, 7, 0x0A});
      // Read straight through once, for what the rest must be.
      StreamReader plain(bytes, piece);
      c.start(plain);
      const Bytes expected = c.rest(plain);
      StreamReader r(bytes, piece);
      const Bytes started = c.start(r);
      QVLinkMark* mark = QVGetNewMark_();
      ASSERT_EQ(QVConstructMark_(mark, r.state(), r.queues()), 0) << started;
      for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(c.rest(r), expected) << started;
        EXPECT_EQ(r.Number<int8_t>(161), 7);
        ASSERT_EQ(QVSeek_(r.state(), r.stack(), r.queues(), mark, 0), 0);
      }
      QVDeconstructMark_(r.queues(), mark);
      QVDestroyMark_(mark);
      EXPECT_EQ(qvqk__outstanding_marks(r.queues()), 0);
    }
  }
}

// A queue mark is set on the input queue itself. A copy of the queue stack
// taken while a level was pushed shares that queue, so reading past the level
// gives the link a fork of it; going back to the queue mark must still work,
// and so must going back to the copy.
TEST(CodecMarks, AQueueMarkSurvivesTheInputBeingForkedByACopy) {
  LoopbackSide side;
  ASSERT_TRUE(side.ok());
  qvqueue_disable_borrow(side.base());
  WriteNumberPackets(side, {1, 2});
  OwnedMark plain(&side);
  ASSERT_EQ(plain.Set(), 0);
  ASSERT_EQ(plain.mark->kind, QVMARK_QUEUE_MARK);
  EXPECT_EQ(side.Read<int8_t>(161), 1);
  ASSERT_TRUE(side.PushLevel(qvcodec::Hex({0xA1, 9, 0x0A})));
  OwnedMark copy(&side);
  ASSERT_EQ(copy.Set(), 0);
  ASSERT_EQ(copy.mark->kind, QVMARK_QUEUE_STACK);
  EXPECT_EQ(side.Read<int8_t>(161), 9);
  EXPECT_EQ(side.Read<int8_t>(161), 2);  // past the level: the input is now a fork
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    ASSERT_EQ(plain.Seek(), 0);
    EXPECT_EQ(side.Read<int8_t>(161), 1);
    EXPECT_EQ(side.Read<int8_t>(161), 2);
    ASSERT_EQ(copy.Seek(), 0);
    EXPECT_EQ(side.Read<int8_t>(161), 9);
    EXPECT_EQ(side.Read<int8_t>(161), 2);
  }
  // New input reaches the link whatever queue of the family it reads now.
  WriteNumberPackets(side, {5});
  EXPECT_EQ(side.Read<int8_t>(161), 5);
  // The queue mark goes before the copy that holds its queue.
  QVDeconstructMark_(side.queues(), plain.mark);
}

TEST(CodecMarks, SeekToEndDropsTheInputAndStartsBetweenPackets) {
  LoopbackSide side;
  ASSERT_TRUE(side.ok());
  // Half of f[1, 2] is read; a level is pushed; the rest is dropped.
  ASSERT_EQ(side.Function("f", 2), 0);
  ASSERT_EQ(side.Number(int8_t{1}, 161), 0);
  ASSERT_EQ(side.Number(int8_t{2}, 161), 0);
  ASSERT_EQ(side.End(), 0);
  ASSERT_EQ(side.Flush(), 0);
  ASSERT_EQ(side.Next(), 70u);
  int64_t count = 0;
  ASSERT_EQ(QVGetArgCount_(side.reader(), side.stack(), side.queues(), &count), 0);
  ASSERT_TRUE(side.PushLevel(qvcodec::Hex({0xA1, 9, 0x0A})));
  ASSERT_EQ(QVSeekToEnd_(side.reader(), side.stack(), side.queues()), 0);
  EXPECT_EQ(dk__depth(&side.queues()->stack), 0);
  EXPECT_EQ(side.reader()->owed, 0);
  EXPECT_EQ(side.reader()->converter.step, QVREAD_BETWEEN_TOKENS);
  EXPECT_EQ(QVReady_(side.reader(), side.stack(), side.queues()), 16);
  // The next packet reads as a packet of its own: no error 24 for the
  // function that was cut off.
  WriteNumberPackets(side, {4});
  long e = -1;
  EXPECT_EQ(side.Read<int8_t>(161, &e), 4);
  EXPECT_EQ(e, 0);
}

TEST(CodecMarks, PooledMarksGoBackToThePoolAndAPoolOfSmallBlocksGivesNone) {
  auto pool = Quorvane::QVMemoryPool::init();
  pool->setNumberOfBytesInPoolObject(sizeof(QVLinkMark));
  LoopbackSide side;
  ASSERT_TRUE(side.ok());
  WritePackets(side);
  std::vector<QVLinkMark*> marks;
  // More marks than the pool starts with: it grows.
  for (int i = 0; i < 6; ++i) {
    QVLinkMark* mark = QVGetFreeMark_(pool.get());
    ASSERT_NE(mark, nullptr);
    ASSERT_EQ(QVConstructMark_(mark, side.reader(), side.queues()), 0);
    marks.push_back(mark);
  }
  EXPECT_EQ(pool->numberOfObjectsInPoolInUse(), 6u);
  EXPECT_EQ(QVSeek_(side.reader(), side.stack(), side.queues(), marks[3], 1), 0);
  EXPECT_EQ(side.Read<int8_t>(161), 3);
  // A mark given back still holding its position lets it go.
  for (QVLinkMark* mark : marks) QVReleaseMark_(pool.get(), mark);
  EXPECT_EQ(pool->numberOfObjectsInPoolInUse(), 0u);
  EXPECT_EQ(qvqk__outstanding_marks(side.queues()), 0);

  auto small = Quorvane::QVMemoryPool::init();
  small->setNumberOfBytesInPoolObject(sizeof(QVLinkMark) - 1);
  EXPECT_EQ(QVGetFreeMark_(small.get()), nullptr);
  EXPECT_EQ(small->numberOfObjectsInPoolInUse(), 0u);
  EXPECT_EQ(QVGetFreeMark_(nullptr), nullptr);
}

TEST(CodecMarks, BadArgumentsAreRefused) {
  LoopbackSide side;
  ASSERT_TRUE(side.ok());
  EXPECT_EQ(QVConstructMark_(nullptr, side.reader(), side.queues()), -1);
  EXPECT_EQ(QVSeek_(side.reader(), side.stack(), side.queues(), nullptr, 0), -1);
  // A record that holds no position cannot be sought.
  QVLinkMark* empty = QVGetNewMark_();
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(QVSeek_(side.reader(), side.stack(), side.queues(), empty, 0), -1);
  EXPECT_EQ(rs__last_error(side.reader()), -1);
  QVDestroyMark_(empty);
  QVDestroyMark_(nullptr);
  QVReleaseMark_(nullptr, nullptr);
}

TEST(CodecMarks, MarkStorageFromTheMemoryPool) {
  static int calls = 0;
  static uint64_t asked = 0;
  calls = 0;
  mempool_qvt pool{};
  // Fails once, then succeeds: one retry is made.
  init_mempool(
      &pool,
      [](uint64_t size) -> void* {
        asked = size;
        return ++calls == 1 ? nullptr : std::malloc(size);
      },
      std::free);
  void* storage = AllocMark(&pool);
  ASSERT_NE(storage, nullptr);
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(asked, sizeof(QVLinkMark));
  // The storage holds a mark.
  auto* mark = new (storage) QVLinkMark();
  mark->~QVLinkMark();
  DeallocMark(&pool, storage);
  init_mempool(&pool, [](uint64_t) -> void* { return nullptr; }, std::free);
  EXPECT_EQ(AllocMark(&pool), nullptr);
  EXPECT_EQ(AllocMark(nullptr), nullptr);
}

}  // namespace
