#include "utilities/qvexception.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

using Quorvane::QVException;
using Quorvane::QVString;
using Quorvane::qvexceptiontype;

TEST(Exception, HeaderPutsTheCodeBeforeTheType) {
  QVException e("Socket core does not exist.", "network/qvsocket", 42,
                qvexceptiontype::missingObject, 0);
  EXPECT_EQ(e.getMessage().getHeader(), "Quorvane Exception(network/qvsocket:42,0,7): ");
  QVException withCode(std::string("Open error."), "utilities/qvplatformthreads", 7,
                       qvexceptiontype::systemCallFailed, 13);
  EXPECT_EQ(withCode.getMessage().getHeader(),
            "Quorvane Exception(utilities/qvplatformthreads:7,13,4): ");
}

TEST(Exception, PrintsHeaderMessageAndNewline) {
  QVException e("Negative time values not allowed.", "utilities/qvtimes", 120,
                qvexceptiontype::negativeTime, -3);
  std::ostringstream out;
  out << e;
  EXPECT_EQ(out.str(),
            "Quorvane Exception(utilities/qvtimes:120,-3,22): Negative time values not allowed.\n");
}

TEST(Exception, EveryConstructorCarriesTheSameFields) {
  QVString what("File does not exist");
  QVString file("utilities/qvfilemanager");
  const QVException forms[] = {
      QVException("File does not exist", "utilities/qvfilemanager", 9, qvexceptiontype::notFound, 2),
      QVException(what, "utilities/qvfilemanager", 9, qvexceptiontype::notFound, 2),
      QVException(what, file, 9, qvexceptiontype::notFound, 2),
      QVException(std::string("File does not exist"), "utilities/qvfilemanager", 9,
                  qvexceptiontype::notFound, 2),
  };
  for (const QVException& e : forms) {
    EXPECT_EQ(e.getWhat(), what);
    EXPECT_EQ(e.getFile(), file);
    EXPECT_EQ(e.getLine(), 9u);
    EXPECT_EQ(e.getType(), qvexceptiontype::notFound);
    EXPECT_EQ(e.getCode(), 2);
  }
}

TEST(Exception, IsThrownByValueAndCopiedMemberwise) {
  try {
    throw QVException("Arguments cannot be NULL.", "utilities/qvdata", 5,
                      qvexceptiontype::badArgument, 0);
  } catch (QVException& caught) {
    QVException copy = caught;
    EXPECT_EQ(copy.getType(), qvexceptiontype::badArgument);
    EXPECT_EQ(copy.getWhat(), "Arguments cannot be NULL.");
    return;
  }
  FAIL() << "not caught";
}

TEST(Exception, NullTextsBecomeEmpty) {
  QVException e(static_cast<const char*>(nullptr), nullptr, 1, qvexceptiontype::internalError, 0);
  EXPECT_EQ(e.getMessage().getHeader(), "Quorvane Exception(:1,0,1): ");
}

}  // namespace
