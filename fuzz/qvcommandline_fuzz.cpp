// Program names cut from launch command lines, and the split of PATH into
// search directories, on arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "utilities/qvfilemanager.h"

namespace {

// PATH lives in this buffer (handed to putenv once), so the fuzzer's many
// values do not pile up in the environment's own copies.
constexpr size_t kMaxPath = 4096;
char pathEntry[5 + kMaxPath + 1] = "PATH=";

void Check(bool condition) {
  if (!condition) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool installed = putenv(pathEntry) == 0;
  Check(installed);
  const Quorvane::QVFileManager manager;

  const Quorvane::QVString command(reinterpret_cast<const char*>(data), size);
  const Quorvane::QVString name = manager.getExecutableFileNameFromCommandLine(command);
  // Every output byte comes from the input (quotes dropped, escapes kept or
  // turned into one blank), so the name is never longer.
  Check(name.size() <= command.size());
  if (command.find_first_of("\\\"'") == Quorvane::QVString::npos) {
    Check(name == command.substr(0, command.find(' ')));
  }

  // PATH: the text up to the first zero byte.
  size_t n = strnlen(reinterpret_cast<const char*>(data), size);
  if (n > kMaxPath) n = kMaxPath;
  std::memcpy(pathEntry + 5, data, n);
  pathEntry[5 + n] = '\0';
  const Quorvane::QVString value(pathEntry + 5, n);
  const Quorvane::QVStringList parts = manager.breakSystemPathIntoParts();
  Quorvane::QVString joined;
  size_t colons = 0;
  for (char c : value) colons += c == ':';
  Check(parts.size() == colons + 1);
  bool first = true;
  for (const auto& part : parts) {
    Check(part.find(':') == Quorvane::QVString::npos);
    if (!first) joined += ':';
    joined += part;
    first = false;
  }
  Check(joined == value);
  return 0;
}
