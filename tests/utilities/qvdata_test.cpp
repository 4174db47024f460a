#include "utilities/qvdata.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <functional>
#include <string>

#include "support/qvtest.h"
#include "utilities/qvfiletest.h"

using Quorvane::QVData;
using Quorvane::QVException;
using Quorvane::qvexceptiontype;
using Quorvane::QVString;

namespace {

using qvfiletest::ReadWithStream;
using qvfiletest::Umask022;

std::string Contents(const QVData& d) {
  const auto* p = static_cast<const char*>(d.bytes());
  return p == nullptr ? std::string() : std::string(p, d.length());
}

}  // namespace

TEST(Data, PiecesJoinOnDemand) {
  QVData d("ab", 2);
  d.appendBytes("cde", 3);
  EXPECT_EQ(d.length(), 5u);
  const void* first = d.bytes();
  EXPECT_EQ(std::string(static_cast<const char*>(first), 5), "abcde");
  EXPECT_EQ(d.bytes(), first) << "already joined: the same pointer";
  std::ostringstream os;
  os << d;
  EXPECT_EQ(os.str(),
            "<QVData><totalLength>5</totalLength><theDataList><QVDataListEntry><theBytes>abcde"
            "</theBytes><length>5</length></QVDataListEntry></theDataList></QVData>");
}

TEST(Data, GetBytesOfLengthCopiesAtMostTheLength) {
  QVData d("hello", 5);
  char buffer[10];
  std::memset(buffer, '#', sizeof buffer);
  d.getBytesOfLength(buffer, 10);
  EXPECT_EQ(std::string(buffer, 10), "hello#####");
  d.getBytesOfLength(buffer, 2);
  EXPECT_EQ(std::string(buffer, 3), "hel");
  QVData empty;
  empty.getBytesOfLength(buffer, 10);  // nothing, no crash
  EXPECT_EQ(empty.bytes(), nullptr);
}

TEST(Data, EqualityFollowsThePieces) {
  QVData one("xyz", 3);
  QVData two("x", 1);
  two.appendBytes("yz", 2);
  EXPECT_NE(one, two) << "different piece counts";
  two.bytes();
  EXPECT_EQ(one, two);
  EXPECT_EQ(one, one);
  QVData emptyA(nullptr, 0), emptyB(nullptr, 0);
  EXPECT_NE(emptyA, emptyB) << "pieces without bytes are never equal";
  QVData copy(one);
  EXPECT_EQ(copy, one);
  EXPECT_NE(copy.bytes(), one.bytes()) << "copies own their bytes";
}

// A null pointer never makes the buffer claim bytes it does not hold.
TEST(Data, NullBytesAddNothing) {
  QVData d(nullptr, 7);
  EXPECT_EQ(d.length(), 0u);
  d.appendBytes("ab", 2);
  d.appendBytes(nullptr, 4);
  EXPECT_EQ(d.length(), 2u);
  EXPECT_EQ(Contents(d), "ab");
}

// Whole files, binary and of several sizes, round trip with mode 0604.
TEST(Data, FileRoundTrip) {
  qvtest::TempDir dir;
  Umask022 mask;
  for (size_t n : {0u, 1u, 4096u, 100000u}) {
    std::string bytes(n, '\0');
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>((i * 131) & 0xff);
    const std::string path = dir.file("f" + std::to_string(n));
    QVData d;
    if (n > 0) {
      d.appendBytes(bytes.data(), n / 2);
      d.appendBytes(bytes.data() + n / 2, n - n / 2);
    }
    EXPECT_EQ(d.writeToFileAtPath(QVString(path.c_str())), 0);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0604u) << n;
    EXPECT_EQ(static_cast<size_t>(st.st_size), n);
    EXPECT_EQ(ReadWithStream(path), bytes) << n;
    auto back = QVData::initWithContentsOfFileAtPath(QVString(path.c_str()));
    EXPECT_EQ(back->length(), n);
    EXPECT_EQ(Contents(*back), bytes) << n;
  }
}

TEST(Data, WritingEmptiesALongerFile) {
  qvtest::TempDir dir;
  const std::string path = dir.file("f");
  QVData("a much longer first text", 24).writeToFileAtPath(QVString(path.c_str()));
  QVData("short", 5).writeToFileAtPath(QVString(path.c_str()));
  EXPECT_EQ(ReadWithStream(path), "short");
  QVData().writeToFileAtPath(QVString(path.c_str()));
  EXPECT_EQ(ReadWithStream(path), "") << "an empty buffer writes an empty file";
}

TEST(Data, FileErrors) {
  qvtest::TempDir dir;
  struct Case {
    std::function<void()> call;
    qvexceptiontype type;
    const char* what;
  } cases[] = {
      {[&] { QVData d(QVString(dir.file("missing").c_str())); }, qvexceptiontype::systemCallFailed,
       "Open error."},
      {[&] { QVData("x", 1).writeToFileAtPath(QVString(dir.file("no/such/dir").c_str())); },
       qvexceptiontype::systemCallFailed, "Open failed."},
      // A directory opens for reading but cannot be read.
      {[&] { QVData d(QVString(dir.path().c_str())); }, qvexceptiontype::systemCallFailed,
       nullptr},
  };
  for (auto& c : cases) {
    try {
      c.call();
      ADD_FAILURE() << "no exception";
    } catch (const QVException& e) {
      EXPECT_EQ(e.getType(), c.type);
      if (c.what != nullptr) {
        EXPECT_EQ(e.getWhat(), c.what);
      }
      EXPECT_EQ(e.getFile(), "utilities/qvdata");
    }
  }
}

TEST(Data, WriteToAFullDeviceFails) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  try {
    QVData("x", 1).writeToFileAtPath("/dev/full");
    FAIL() << "no exception";
  } catch (const QVException& e) {
    EXPECT_EQ(e.getType(), qvexceptiontype::systemCallFailed);
    EXPECT_EQ(e.getWhat(), "Write failed.");
  }
}

TEST(Data, SmartPointerMakers) {
  auto a = QVData::initWithBytesAndLength("abc", 3);
  auto b = QVData::initWithDataCopy(a);
  EXPECT_NE(a.get(), b.get());
  EXPECT_EQ(*a, *b);
  EXPECT_EQ(a.useCount(), 1u);
  EXPECT_EQ(QVData::init()->length(), 0u);
}
