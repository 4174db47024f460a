// The definition a served program sends its host first, read and checked as
// the host tests expect it.
#pragma once

#include <gtest/gtest.h>

#include "application/qvapplication.h"
#include "quorvane.h"

namespace qvtest {

// Reads DefineExternal[pattern, arguments, index] then End from the program;
// the index goes to *index when given. A mismatch is a fatal failure of the
// calling test: call it under ASSERT_NO_FATAL_FAILURE.
inline void ReadAlgorithm3Definition(QVLink* host, int* index = nullptr) {
  int count = -1;
  ASSERT_EQ(RVTestHead(host, "DefineExternal", &count), 1) << RVError(host);
  ASSERT_EQ(count, 3);
  for (const char* expected : {Quorvane::kAlgorithm3Pattern, Quorvane::kAlgorithm3Arguments}) {
    const char* text = nullptr;
    ASSERT_EQ(RVGetString(host, &text), 1) << RVError(host);
    EXPECT_STREQ(text, expected);
    RVReleaseString(host, text);
  }
  int read = -1;
  ASSERT_EQ(RVGetInteger(host, &read), 1) << RVError(host);
  ASSERT_EQ(RVTestSymbol(host, "End"), 1) << RVError(host);
  if (index != nullptr) *index = read;
}

}  // namespace qvtest
