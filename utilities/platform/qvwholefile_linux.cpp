// The bytes go into a hidden file of the same directory, which is then linked
// under the wanted name: link(2) never replaces a file, and the name shows
// the finished file or nothing.
#include "utilities/platform/qvwholefile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>

#include "utilities/qvuniquefd.h"

namespace Quorvane::platform {

namespace {

constexpr int kNameAttempts = 100;

// Removes the hidden name when it goes, whatever happened to the file.
class HiddenName {
 public:
  HiddenName() = default;
  ~HiddenName() {
    if (!path_.empty()) {
      const int saved = errno;
      ::unlink(path_.c_str());
      errno = saved;
    }
  }
  HiddenName(const HiddenName&) = delete;
  HiddenName& operator=(const HiddenName&) = delete;
  void set(std::string path) { path_ = std::move(path); }

 private:
  std::string path_;
};

// A name of its own beside path: a leading dot, so no reader of the
// directory takes it for one of its files.
std::string HiddenNameFor(const std::string& path, unsigned attempt) {
  static std::atomic<unsigned> counter{0};
  const size_t slash = path.rfind('/');
  const std::string directory = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  return directory + ".new-" + base + "." + std::to_string(getpid()) + "." + std::to_string(counter++) + "." +
         std::to_string(attempt);
}

bool WriteAll(int fd, const void* bytes, size_t length) {
  const char* at = static_cast<const char*>(bytes);
  while (length > 0) {
    const ssize_t count = ::write(fd, at, length);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return false;
    at += count;
    length -= static_cast<size_t>(count);
  }
  return true;
}

}  // namespace

WholeFileResult CreateWholeFile(const QVString& path, const void* bytes, size_t length, mode_t mode, int* err) {
  const std::string target(path.c_str(), path.size());
  HiddenName hidden;
  detail::QVUniqueFd fd;
  std::string made;
  for (unsigned attempt = 0; attempt < kNameAttempts && !fd.valid(); ++attempt) {
    made = HiddenNameFor(target, attempt);
    int raw;
    do {
      raw = ::open(made.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    } while (raw < 0 && errno == EINTR);
    if (raw < 0 && errno != EEXIST) break;
    fd.reset(raw);
  }
  if (!fd.valid()) {
    *err = errno;
    return WholeFileResult::failed;
  }
  hidden.set(made);
  if (!WriteAll(fd.get(), bytes, length) || ::fchmod(fd.get(), mode) != 0 || ::close(fd.release()) != 0) {
    *err = errno;
    return WholeFileResult::failed;
  }
  if (::link(made.c_str(), target.c_str()) != 0) {
    if (errno == EEXIST) return WholeFileResult::exists;
    *err = errno;
    return WholeFileResult::failed;
  }
  return WholeFileResult::created;
}

}  // namespace Quorvane::platform
