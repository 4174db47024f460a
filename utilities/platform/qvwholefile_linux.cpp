// The bytes go into a hidden file of the same directory, which is then linked
// under the wanted name (link(2) never replaces a file, and the name shows the
// finished file or nothing) or renamed over it (rename(2) swaps the whole
// file in at once).
#include "utilities/platform/qvwholefile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <limits>
#include <string>

#include "utilities/qvuniquefd.h"

namespace Quorvane::platform {

namespace {

constexpr int kNameAttempts = 100;
constexpr char kHiddenPrefix[] = ".new-";

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
  return directory + kHiddenPrefix + base + "." + std::to_string(getpid()) + "." + std::to_string(counter++) + "." +
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

// Writes the bytes into a new hidden file beside target, which hidden
// removes again when it goes. False with errno set on failure.
bool WriteHiddenBeside(const std::string& target, const void* bytes, size_t length, mode_t mode,
                       HiddenName* hidden, std::string* made) {
  detail::QVUniqueFd fd;
  for (unsigned attempt = 0; attempt < kNameAttempts && !fd.valid(); ++attempt) {
    *made = HiddenNameFor(target, attempt);
    int raw;
    do {
      raw = ::open(made->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    } while (raw < 0 && errno == EINTR);
    if (raw < 0 && errno != EEXIST) return false;
    fd.reset(raw);
  }
  if (!fd.valid()) return false;
  hidden->set(*made);
  return WriteAll(fd.get(), bytes, length) && ::fchmod(fd.get(), mode) == 0 && ::close(fd.release()) == 0;
}

// The decimal number of text, or -1 when it is empty or holds anything else.
long long DecimalOf(const std::string& text) {
  if (text.empty() || text.size() > 18) return -1;
  long long value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

}  // namespace

WholeFileResult CreateWholeFile(const QVString& path, const void* bytes, size_t length, mode_t mode, int* err) {
  const std::string target(path.c_str(), path.size());
  HiddenName hidden;
  std::string made;
  if (!WriteHiddenBeside(target, bytes, length, mode, &hidden, &made)) {
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

WholeFileResult ReplaceWholeFile(const QVString& path, const void* bytes, size_t length, mode_t mode, int* err) {
  const std::string target(path.c_str(), path.size());
  HiddenName hidden;
  std::string made;
  if (!WriteHiddenBeside(target, bytes, length, mode, &hidden, &made) ||
      ::rename(made.c_str(), target.c_str()) != 0) {
    *err = errno;
    return WholeFileResult::failed;
  }
  hidden.set(std::string());  // the name is the target's now
  return WholeFileResult::created;
}

bool UnfinishedWholeFileQ(const QVString& entryName, pid_t* writer) {
  // kHiddenPrefix + base + "." + pid + "." + counter + "." + attempt
  const std::string name(entryName.c_str(), entryName.size());
  const size_t baseStart = sizeof(kHiddenPrefix) - 1;
  if (name.rfind(kHiddenPrefix, 0) != 0) return false;
  size_t end = name.size();
  long long fields[3];  // attempt, counter, pid
  for (long long& field : fields) {
    if (end <= baseStart + 1) return false;
    const size_t dot = name.rfind('.', end - 1);
    if (dot == std::string::npos || dot <= baseStart) return false;  // the base is never empty
    field = DecimalOf(name.substr(dot + 1, end - dot - 1));
    if (field < 0) return false;
    end = dot;
  }
  const long long pid = fields[2];
  if (pid <= 0 || pid > std::numeric_limits<pid_t>::max()) return false;
  *writer = static_cast<pid_t>(pid);
  return true;
}

}  // namespace Quorvane::platform
