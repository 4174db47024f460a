// Reading what a link log wrote: a file's text, its entries behind their
// dated preambles, the descriptors still open on it; and a private TMPDIR so
// that the file the library names for a link lands in the test's folder.
#pragma once

#include <dirent.h>
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "quorvane.h"
#include "support/qvpattern.h"
#include "support/qvtest.h"

namespace qvlinklogtest {

inline std::string Slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The file's text with the 80-column breaks taken out.
inline std::string Unwrapped(const std::string& path) {
  std::string text = Slurp(path);
  text.erase(std::remove(text.begin(), text.end(), '\n'), text.end());
  return text;
}

// The date and time that begin an entry's preamble, as a pattern.
inline constexpr const char* kStampPattern = "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{4}";

struct Entry {
  std::string direction;  // "write" or " read"
  std::string text;
};

// The log's entries in order: the 80-column breaks are taken out, and each
// entry runs from its preamble to the next one.
inline std::vector<Entry> Entries(const std::string& path) {
  const std::string text = Unwrapped(path);
  const qvtest::Pattern preamble(kStampPattern + ("<" + std::to_string(getpid()) + ",(write| read)>: "));
  std::vector<Entry> entries;
  for (const qvtest::Pattern::Match& found : preamble.FindAll(text)) {
    if (!entries.empty()) {
      std::string& last = entries.back().text;
      last.resize(last.size() - (text.size() - found.position));
    }
    entries.push_back({found.groups[1], text.substr(found.position + found.length)});
  }
  return entries;
}

// True when each direction's entries are exactly the wanted ones of that
// direction, in their order: none missing, none twice, none more. The two
// directions are logged by separate readers, so no order between them is
// asked for.
inline bool LogsExactly(const std::vector<Entry>& entries, const std::vector<Entry>& wanted) {
  for (const char* direction : {"write", " read"}) {
    std::vector<std::string> logged;
    std::vector<std::string> expected;
    for (const Entry& e : entries) {
      if (e.direction == direction) logged.push_back(e.text);
    }
    for (const Entry& w : wanted) {
      if (w.direction == direction) expected.push_back(w.text);
    }
    if (logged != expected) return false;
  }
  return true;
}

inline std::string Show(const std::vector<Entry>& entries) {
  std::string out;
  for (const Entry& e : entries) out += "<" + e.direction + "> " + e.text.substr(0, 200) + "\n";
  return out;
}

// How many of this process's descriptors are open on the file at path.
inline int DescriptorsOn(const std::string& path) {
  int count = 0;
  DIR* fds = opendir("/proc/self/fd");
  if (fds == nullptr) return -1;
  while (dirent* entry = readdir(fds)) {
    if (entry->d_name[0] == '.') continue;
    char target[PATH_MAX];
    const std::string link = std::string("/proc/self/fd/") + entry->d_name;
    const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
    if (length > 0 && std::string(target, static_cast<size_t>(length)) == path) ++count;
  }
  closedir(fds);
  return count;
}

// Sets or unsets an environment variable for a scope.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value != nullptr) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedVariable() {
    if (old_) {
      setenv(name_, old_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }
  ScopedVariable(const ScopedVariable&) = delete;
  ScopedVariable& operator=(const ScopedVariable&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

// Points TMPDIR at a private folder so the library's own log file name lands there.
class PrivateTmpdir {
 public:
  PrivateTmpdir() = default;
  PrivateTmpdir(const PrivateTmpdir&) = delete;
  PrivateTmpdir& operator=(const PrivateTmpdir&) = delete;
  const std::string& path() const { return folder_.path(); }

 private:
  qvtest::TempDir folder_;
  ScopedVariable tmpdir_{"TMPDIR", folder_.path().c_str()};
};

// Starts logging the link into the file the library names for it; that name, or "" on failure.
inline std::string LogToItsOwnFile(QVLink* link) {
  char* name = nullptr;
  if (RVLogFileNameForLink(link, &name) == 0) return "";
  const std::string path = name;
  RVReleaseLogFileNameForLink(link, name);
  return RVLogStreamToFile(link, path.c_str()) != 0 ? path : "";
}

}  // namespace qvlinklogtest
