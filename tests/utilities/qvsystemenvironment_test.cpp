#include "utilities/qvsystemenvironment.h"

#include <gtest/gtest.h>

#include "utilities/qvexception.h"

#include <cerrno>
#include <cstdlib>
#include <functional>

using Quorvane::QVException;
using Quorvane::qvexceptiontype;
using Quorvane::QVSystemEnvironment;

TEST(SystemEnvironment, SetGetAppendRemove) {
  QVSystemEnvironment env;
  unsetenv("QV_ENV_TEST");
  EXPECT_EQ(env["QV_ENV_TEST"], "");
  env.appendValueForName("QV_ENV_TEST", "a");
  EXPECT_EQ(env.getValueForName("QV_ENV_TEST"), ":a") << "an unset variable gets a leading colon";
  env.appendValueForName("QV_ENV_TEST", "b");
  EXPECT_STREQ(getenv("QV_ENV_TEST"), ":a:b");
  env.setValueForName("QV_ENV_TEST", "x=y");
  EXPECT_STREQ(getenv("QV_ENV_TEST"), "x=y");
  env.removeNameFromEnvironment("QV_ENV_TEST");
  EXPECT_EQ(getenv("QV_ENV_TEST"), nullptr);
  env.removeNameFromEnvironment("QV_ENV_TEST");  // unsetting an unset name is fine
}

TEST(SystemEnvironment, RefusedNamesRaiseType4WithErrno) {
  QVSystemEnvironment env;
  struct Case {
    std::function<void()> call;
    const char* what;
  } cases[] = {
      {[&] { env.setValueForName("A=B", "v"); },
       "setenv returned an error in QVSystemEnvironment::setValueForName"},
      {[&] { env.appendValueForName("", "v"); },
       "setenv returned an error in QVSystemEnvironment::appendValueForName"},
      {[&] { env.removeNameFromEnvironment("A=B"); },
       "unsetenv returned an error in QVSystemEnvironment::removeNameFromEnvironment"},
  };
  for (auto& c : cases) {
    try {
      c.call();
      ADD_FAILURE() << c.what;
    } catch (const QVException& e) {
      EXPECT_EQ(e.getType(), qvexceptiontype::systemCallFailed);
      EXPECT_EQ(e.getCode(), EINVAL);
      EXPECT_EQ(e.getWhat(), c.what);
      EXPECT_EQ(e.getFile(), "utilities/qvsystemenvironment");
    }
  }
}
