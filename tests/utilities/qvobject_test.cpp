#include "utilities/qvobject.h"
#include <gtest/gtest.h>
TEST(Smoke, Builds) { SUCCEED(); }
