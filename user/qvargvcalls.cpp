// The public argument-vector calls.
#include <algorithm>
#include <memory>
#include <new>

#include "quorvane.h"
#include "user/qvargvstrings.h"
#include "user/qvopenparameters.h"

extern "C" {

char** RVFilterArgv(RVEnvironment* environment, char** argv, char** argv_end) noexcept {
  if (environment == nullptr || argv == nullptr || argv_end == nullptr || argv_end < argv) return nullptr;
  const long count = argv_end - argv;
  qvopen_request request;
  QVArgvUsedSet used;
  if (argv_to_open_request(environment, count, argv, &request, &used) < 0) return nullptr;
  std::unique_ptr<char*[]> others(new (std::nothrow) char*[static_cast<size_t>(count) + 1]);
  if (others == nullptr) return nullptr;
  long taken = 0;
  long rest = 0;
  for (long i = 0; i < count; ++i) {
    if (used.Test(i)) {
      argv[taken++] = argv[i];
    } else {
      others[static_cast<size_t>(rest++)] = argv[i];
    }
  }
  std::copy(others.get(), others.get() + rest, argv + taken);
  return argv + taken;
}

long RVStringToArgv(const char* string, char* buffer, char** argv, long max) noexcept {
  return qvas__string_to_argv(string, buffer, argv, max);
}

long RVScanString(char** argv, char*** argv_end, const char** string, char** buffer) noexcept {
  return qvas__string_to_argv_sep_(argv, argv_end, string, buffer, nullptr);
}

long RVPrintArgv(char* buffer, char** buffer_end, char*** argv, char** argv_end) noexcept {
  if (argv == nullptr) return -1;
  char* const* cursor = *argv;
  const long rest = qvas__argv_to_string_(buffer, buffer_end, &cursor, argv_end);
  *argv = const_cast<char**>(cursor);
  return rest;
}

}  // extern "C"
