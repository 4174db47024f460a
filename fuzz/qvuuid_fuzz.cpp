// Identifier text from outside: either it is refused with the library's
// exception, or it reads as 16 bytes that print back as the same text.
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "utilities/qvexception.h"
#include "utilities/qvuuid.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Quorvane::QVString text(reinterpret_cast<const char*>(data), size);
  try {
    const Quorvane::QVUUID id(text);
    const Quorvane::QVString printed = id.stringRepresentation();
    if (printed.size() != 36 || text.size() != 36) std::abort();
    for (size_t i = 0; i < 36; ++i) {
      if (printed[i] != std::toupper(static_cast<unsigned char>(text[i]))) std::abort();
    }
    const Quorvane::QVUUID again(printed);
    if (std::memcmp(again.bytes(), id.bytes(), 16) != 0) std::abort();
  } catch (const Quorvane::QVException& e) {
    if (e.getType() != Quorvane::qvexceptiontype::systemCallFailed) std::abort();
  }
  return 0;
}
