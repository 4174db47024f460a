#include "utilities/qvrandomstring.h"

#include <sys/time.h>

#include <cstdlib>

#include "utilities/qvrandom.h"
#include "utilities/qvtimes.h"

namespace Quorvane {

bool QVRandomObject::Initialize() {
  // The plain clock read cannot throw, which matters during static initialisation.
  struct timeval now = {0, 0};
  QVGetCurrentTime(&now);
  const uint64_t micros = static_cast<uint64_t>(now.tv_sec) * 1000000u +
                          static_cast<uint64_t>(now.tv_usec);
  std::srand(static_cast<unsigned>(micros & 0xffffffffu));
  return true;
}

bool QVRandomObject::initialized = QVRandomObject::Initialize();

QVRandomString::QVRandomString(unsigned long length) {
  string_ = new QVString(length, '\0');
  for (unsigned long i = 0; i < length; ++i) (*string_)[i] = RandomNameCharacter(std::rand());
}

QVRandomString::QVRandomString(const QVRandomString& other)
    : QVRandomObject(other),
      string_(other.string_ != nullptr ? new QVString(*other.string_) : nullptr) {}

QVRandomString& QVRandomString::operator=(const QVRandomString& other) {
  if (this != &other) {
    QVString* copy = other.string_ != nullptr ? new QVString(*other.string_) : nullptr;
    delete string_;
    string_ = copy;
  }
  return *this;
}

QVRandomString::~QVRandomString() { delete string_; }

const char* QVRandomString::c_str() const {
  return string_ != nullptr ? string_->c_str() : nullptr;
}

int QVRandomIntegerFactory::GetInteger() { return std::rand(); }

long QVRandomIntegerFactory::GetIntegerInRange(long low, long high) {
  return RandomInRange(std::rand(), low, high);
}

}  // namespace Quorvane
