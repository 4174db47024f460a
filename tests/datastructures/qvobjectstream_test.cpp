#include "datastructures/qvobjectstream.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

using Quorvane::QVException;
using Quorvane::qvexceptiontype;
using Stream = Quorvane::QVObjectStream<char>;

namespace {

std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + i % 26);
  return s;
}

std::string Drain(Stream& s, size_t n) {
  std::string out;
  for (size_t i = 0; i < n; ++i) out += s.GetC();
  return out;
}

qvexceptiontype TypeOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const QVException& e) {
    return e.getType();
  }
  return qvexceptiontype::internalError;
}

}  // namespace

TEST(ObjectStream, NewStreamIsEmpty) {
  Stream s;
  EXPECT_FALSE(s.NextChunk());
  try {
    s.GetC();
    FAIL() << "GetC on an empty stream must throw";
  } catch (const QVException& e) {
    EXPECT_EQ(e.getType(), qvexceptiontype::endOfStream);
    EXPECT_EQ(e.getWhat(), "At the end of the queue.");
    EXPECT_EQ(e.getFile(), "datastructures/qvobjectstream");
  }
}

TEST(ObjectStream, NullBufferRules) {
  Stream s;
  EXPECT_EQ(s.PutN(nullptr, 0), 0u);
  EXPECT_EQ(s.Sd->Head, nullptr);
  EXPECT_EQ(TypeOf([&] { s.PutN(nullptr, 3); }), qvexceptiontype::streamChunk);
  char* start = nullptr;
  s.PutWindow(&start, nullptr);
  EXPECT_EQ(s.Sd->Head, nullptr) << "a null out pointer adds no chunk";
  EXPECT_EQ(start, nullptr);
}

// Round trips across chunk boundaries, for sizes around the chunk size.
TEST(ObjectStream, RoundTripAcrossChunks) {
  for (size_t n : {1u, 5119u, 5120u, 5121u, 3u * 5120u + 7u}) {
    Stream s;
    std::string in = Pattern(n);
    ASSERT_EQ(s.PutN(in.data(), in.size()), in.size());
    EXPECT_EQ(Drain(s, n), in) << n;
    EXPECT_EQ(TypeOf([&] { s.GetC(); }), qvexceptiontype::endOfStream) << n;
  }
}

TEST(ObjectStream, ReadChunksAreFreedWhenTheReaderMovesOn) {
  Stream s;
  std::string in = Pattern(5121);
  s.PutN(in.data(), in.size());
  ASSERT_NE(s.Sd->Head, nullptr);
  EXPECT_EQ(s.Sd->Head->Id, 1u);
  ASSERT_NE(s.Sd->Head->Next, nullptr);
  EXPECT_EQ(s.Sd->Head->Next->Id, 2u);
  EXPECT_EQ(s.Sd->Head->Next->Next, nullptr);
  EXPECT_EQ(Drain(s, 5120), in.substr(0, 5120));
  EXPECT_EQ(s.Sd->Head->Id, 1u) << "still on the first chunk";
  EXPECT_EQ(s.GetC(), in[5120]);
  EXPECT_EQ(s.Sd->Head->Id, 2u) << "the first chunk went when the reader left it";
}

TEST(ObjectStream, InterleavedWritesAndReads) {
  Stream s;
  s.ChunkSize = 7;  // many boundaries
  std::string expected, got;
  for (int round = 0; round < 50; ++round) {
    std::string part = Pattern(static_cast<size_t>(round % 11));
    s.PutN(part.data(), part.size());
    expected += part;
    while (got.size() < expected.size()) got += s.GetC();
  }
  EXPECT_EQ(got, expected);
  EXPECT_EQ(TypeOf([&] { s.GetC(); }), qvexceptiontype::endOfStream);
}

TEST(ObjectStream, WriteWindowMakesExactlyTheWrittenBytesReadable) {
  Stream s;
  char* start = nullptr;
  char* end = nullptr;
  s.PutWindow(&start, &end);
  ASSERT_NE(start, nullptr);
  ASSERT_EQ(end - start, 5120);
  EXPECT_EQ(s.PutWindowStart(), start);
  std::memcpy(start, "hello", 5);
  s.Sd->NextIn = start + 5;
  s.UpdateQueue();
  EXPECT_EQ(s.OutLimit - s.NextOut, 5);
  EXPECT_EQ(Drain(s, 5), "hello");
  EXPECT_EQ(TypeOf([&] { s.GetC(); }), qvexceptiontype::endOfStream);
}

TEST(ObjectStream, FullChunkWindowAddsAChunk) {
  Stream s;
  s.ChunkSize = 4;
  s.PutN(const_cast<char*>("abcd"), 4);
  char* start = nullptr;
  char* end = nullptr;
  s.PutWindow(&start, &end);
  EXPECT_EQ(s.Sd->In->Id, 2u);
  std::memcpy(start, "ef", 2);
  s.Sd->NextIn = start + 2;
  s.UpdateQueue();
  EXPECT_EQ(Drain(s, 6), "abcdef");
}

TEST(ObjectStream, ZeroChunkSizeIsRefused) {
  Stream s;
  s.ChunkSize = 0;
  EXPECT_EQ(TypeOf([&] { s.PutN(const_cast<char*>("x"), 1); }), qvexceptiontype::streamChunk);
  EXPECT_EQ(TypeOf([&] { s.PutWindowStart(); }), qvexceptiontype::streamChunk);
}

// Self-assignment must leave the stream and its chunks untouched (the fault:
// it freed the chunks and then shared them).
TEST(ObjectStream, SelfAssignmentIsANoOp) {
  Stream s;
  std::string in = Pattern(6000);
  s.PutN(in.data(), in.size());
  EXPECT_EQ(s.GetC(), in[0]);
  Stream& alias = s;
  s = alias;
  EXPECT_EQ(s.Sd->RefCount, 1u);
  EXPECT_EQ(Drain(s, in.size() - 1), in.substr(1));
}

// Two sharers read the same bytes independently; chunks live until both have
// read past them, and whichever goes first leaves the other intact.
TEST(ObjectStream, SharersReadIndependently) {
  for (bool dropCopyFirst : {true, false}) {
    auto* a = new Stream;
    a->ChunkSize = 10;
    std::string first = Pattern(25);
    a->PutN(first.data(), first.size());
    EXPECT_EQ(Drain(*a, 12), first.substr(0, 12));
    auto* b = new Stream;
    *b = *a;
    EXPECT_EQ(a->Sd, b->Sd);
    EXPECT_EQ(a->Sd->RefCount, 2u);
    std::string second = Pattern(17);
    a->PutN(second.data(), second.size());  // new chunks count both sharers
    std::string all = first + second;
    EXPECT_EQ(Drain(*a, 20), all.substr(12, 20));
    if (dropCopyFirst) {
      delete b;
      EXPECT_EQ(Drain(*a, all.size() - 32), all.substr(32));
      delete a;
    } else {
      delete a;
      EXPECT_EQ(Drain(*b, all.size() - 12), all.substr(12));
      delete b;
    }
  }
}

TEST(ObjectStream, CopyConstructionShares) {
  Stream a;
  a.PutN(const_cast<char*>("xyz"), 3);
  Stream b(a);
  EXPECT_EQ(Drain(a, 3), "xyz");
  EXPECT_EQ(Drain(b, 3), "xyz");
}

TEST(ObjectStream, PrintShowsOnlyValidBytes) {
  Stream s;
  std::ostringstream empty;
  s.PrintQueue(empty);
  EXPECT_EQ(empty.str().rfind("<QVObjectStream><Out>", 0), 0u);
  EXPECT_NE(empty.str().find("<ChunkSize>5120</ChunkSize><NextMarkNumber>0</NextMarkNumber>"
                             "<Marks>0</Marks></QVObjectStream>"),
            std::string::npos);
  s.PutN(const_cast<char*>("abc"), 3);
  s.GetC();
  std::ostringstream os;
  s.PrintQueue(os);
  const std::string text = os.str();
  EXPECT_NE(text.find("<Buffer>abc</Buffer><Size>5120</Size><RefCount>1</RefCount><Id>1</Id>"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("<NextOut>bc</NextOut><OutLimit></OutLimit>"), std::string::npos) << text;
  EXPECT_NE(text.find("<RefCount>1</RefCount><EOQRefCount>0</EOQRefCount><NextChunkId>2</NextChunkId>"
                      "</QVObjectStreamShared>"),
            std::string::npos)
      << text;
}
