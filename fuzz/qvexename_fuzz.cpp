// Arbitrary command lines through the program-path extraction and the quote
// stripping: the answers are never longer than the input and hold no byte
// the input did not have.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "device/qvfileutils.h"

namespace {

void* Allocate(uint64_t size) { return std::malloc(size); }
void Release(void* block) { std::free(block); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  const std::string command(reinterpret_cast<const char*>(bytes), size);
  const size_t length = std::strlen(command.c_str());
  char* program = qvfile_get_exe_name_from_command(command.c_str(), Allocate, Release);
  if (program == nullptr) std::abort();
  const size_t programLength = std::strlen(program);
  if (programLength > length) std::abort();
  for (size_t i = 0; i < programLength; ++i) {
    if (std::memchr(command.c_str(), program[i], length) == nullptr) std::abort();
  }
  Release(program);

  char* unquoted = qvfile_clear_quotes(command.c_str(), static_cast<long>(length), Allocate, Release);
  if (unquoted == nullptr) std::abort();
  const size_t unquotedLength = std::strlen(unquoted);
  if (unquotedLength != length && unquotedLength + 2 != length) std::abort();
  Release(unquoted);
  return 0;
}
