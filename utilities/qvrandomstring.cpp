#include "utilities/qvrandomstring.h"

#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>

#include "utilities/qvrandom.h"
#include "utilities/qvtimes.h"

namespace Quorvane {

namespace {
uint64_t NowInMicroseconds() {
  // The plain clock read cannot throw, which matters during static initialisation.
  struct timeval now = {0, 0};
  QVGetCurrentTime(&now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_usec);
}

// The process the generator was last seeded for.
std::atomic<pid_t> seededFor{0};

// A forked child inherits the generator's state and would draw the very names
// its parent draws next, and unnamed cross-process locks live under such
// names. The first draw in a new process therefore seeds it afresh.
void SeedAfterFork() {
  const pid_t self = getpid();
  pid_t seen = seededFor.load();
  if (seen == self || !seededFor.compare_exchange_strong(seen, self)) return;
  std::srand(static_cast<unsigned>((NowInMicroseconds() ^ (static_cast<uint64_t>(self) << 20)) &
                                   0xffffffffu));
}
}  // namespace

bool QVRandomObject::Initialize() {
  std::srand(static_cast<unsigned>(NowInMicroseconds() & 0xffffffffu));
  seededFor.store(getpid());
  return true;
}

bool QVRandomObject::initialized = QVRandomObject::Initialize();

QVRandomString::QVRandomString(unsigned long length) {
  SeedAfterFork();
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

int QVRandomIntegerFactory::GetInteger() {
  SeedAfterFork();
  return std::rand();
}

long QVRandomIntegerFactory::GetIntegerInRange(long low, long high) {
  SeedAfterFork();
  return RandomInRange(std::rand(), low, high);
}

}  // namespace Quorvane
