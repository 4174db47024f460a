// Identifiers against the system's UUID library, and version triples.
#include "utilities/qvuuid.h"

#include <gtest/gtest.h>
#include <uuid/uuid.h>

#include <cctype>
#include <cstring>
#include <sstream>
#include <string>

#include "utilities/qvexception.h"
#include "utilities/qvversion.h"

using Quorvane::QVException;
using Quorvane::QVString;
using Quorvane::QVUUID;

namespace {

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

TEST(QVUUID, RoundTripsAgainstTheSystemLibrary) {
  for (int i = 0; i < 200; ++i) {
    uuid_t raw;
    if (i % 2 == 0) {
      uuid_generate_random(raw);
    } else {
      uuid_generate_time(raw);
    }
    char lower[37];
    uuid_unparse_lower(raw, lower);
    const QVUUID parsed{QVString(lower)};
    EXPECT_EQ(std::memcmp(parsed.bytes(), raw, 16), 0) << lower;
    const QVString text = parsed.stringRepresentation();
    EXPECT_EQ(std::string(text.c_str()), Upper(lower));
    // Printed and parsed back: the same bytes.
    std::ostringstream os;
    os << parsed;
    QVUUID back;
    back = QVString(os.str().c_str());
    EXPECT_EQ(std::memcmp(back.bytes(), raw, 16), 0);
  }
}

TEST(QVUUID, NewOnesDifferAndAreVersionFour) {
  const QVUUID a, b;
  EXPECT_NE(std::memcmp(a.bytes(), b.bytes(), 16), 0);
  const std::string text = a.stringRepresentation().c_str();
  ASSERT_EQ(text.size(), 36u);
  EXPECT_EQ(text, Upper(text));
  EXPECT_EQ(text[8], '-');
  EXPECT_EQ(text[23], '-');
  uuid_t parsed;
  ASSERT_EQ(uuid_parse(text.c_str(), parsed), 0);
  EXPECT_EQ(std::memcmp(parsed, a.bytes(), 16), 0);
}

TEST(QVUUID, CopiesTheBytes) {
  const QVUUID a;
  QVUUID b(a);
  EXPECT_EQ(std::memcmp(a.bytes(), b.bytes(), 16), 0);
  QVUUID c;
  c = a;
  EXPECT_EQ(std::memcmp(a.bytes(), c.bytes(), 16), 0);
}

TEST(QVUUID, MalformedTextThrows) {
  const std::string good = "0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0";
  const std::string bad[] = {
      "",
      good.substr(0, 35),
      good + "0",
      "0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1FG",
      "0F1E2D3C+4B5A-6978-8796-A5B4C3D2E1F0",
      "0F1E2D3C4B5A-6978-8796-A5B4C3D2E1F00",
      std::string("0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F") + '\0',
      std::string("0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0") + '\0' + "tail",
  };
  const QVUUID keep{QVString(good.c_str())};
  for (const std::string& text : bad) {
    SCOPED_TRACE("text of " + std::to_string(text.size()) + " bytes: " + text.c_str());
    try {
      QVUUID u{QVString(text.data(), text.size())};
      ADD_FAILURE() << "no exception";
    } catch (const QVException& e) {
      EXPECT_EQ(static_cast<int>(e.getType()), 4);
      EXPECT_EQ(e.getCode(), 0);
      EXPECT_EQ(std::string(e.getWhat().c_str()), "Unable to convert string to UUID.");
      EXPECT_EQ(std::string(e.getFile().c_str()), "utilities/qvuuid");
    }
    QVUUID target = keep;
    EXPECT_THROW(target = QVString(text.data(), text.size()), QVException);
    EXPECT_EQ(std::string(target.stringRepresentation().c_str()), good) << "failed assignment changed it";
  }
}

TEST(QVVersion, PrintsDotted) {
  std::ostringstream os;
  os << Quorvane::QVVersion(3, 2, 1) << " " << Quorvane::QVVersion(10, 0, -1);
  EXPECT_EQ(os.str(), "3.2.1 10.0.-1");
}

}  // namespace
