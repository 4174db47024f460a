// Helpers shared by the tests of files, byte buffers and file handles: reading
// and writing with the standard streams as an independent check, file modes,
// and a known umask.
#pragma once

#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <string>

#include "utilities/qvobject.h"

namespace qvfiletest {

inline Quorvane::QVString Q(const std::string& s) { return Quorvane::QVString(s.c_str()); }

inline std::string ReadWithStream(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

inline void WriteWithStream(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// The permission bits of a path; 0 when it cannot be read.
inline mode_t ModeOf(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

// Sets the umask to 022 for its lifetime, so that modes do not depend on the
// caller's.
class Umask022 {
 public:
  Umask022() : old_(umask(022)) {}
  ~Umask022() { umask(old_); }
  Umask022(const Umask022&) = delete;
  Umask022& operator=(const Umask022&) = delete;

 private:
  mode_t old_;
};

}  // namespace qvfiletest
