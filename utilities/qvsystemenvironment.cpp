#include "utilities/qvsystemenvironment.h"

#include <cerrno>
#include <cstdlib>

#include "utilities/qvexception.h"

namespace Quorvane {

namespace {
constexpr char kSourceFile[] = "utilities/qvsystemenvironment";
}  // namespace

QVString QVSystemEnvironment::getValueForName(const QVString& name) const {
  const char* value = getenv(name.c_str());
  return value != nullptr ? QVString(value) : QVString();
}

void QVSystemEnvironment::setValueForName(const QVString& name, const QVString& value) {
  if (setenv(name.c_str(), value.c_str(), 1) != 0) {
    throw QVException("setenv returned an error in QVSystemEnvironment::setValueForName",
                      kSourceFile, __LINE__, qvexceptiontype::systemCallFailed, errno);
  }
}

void QVSystemEnvironment::appendValueForName(const QVString& name, const QVString& value) {
  QVString joined = getValueForName(name) + ":" + value;
  if (setenv(name.c_str(), joined.c_str(), 1) != 0) {
    throw QVException("setenv returned an error in QVSystemEnvironment::appendValueForName",
                      kSourceFile, __LINE__, qvexceptiontype::systemCallFailed, errno);
  }
}

void QVSystemEnvironment::removeNameFromEnvironment(const QVString& name) {
  if (unsetenv(name.c_str()) != 0) {
    throw QVException("unsetenv returned an error in QVSystemEnvironment::removeNameFromEnvironment",
                      kSourceFile, __LINE__, qvexceptiontype::systemCallFailed, errno);
  }
}

}  // namespace Quorvane
