#include "utilities/qvuuid.h"

#include <cstring>

#include "utilities/qvexception.h"

namespace Quorvane {

namespace {
constexpr char kSourceFile[] = "utilities/qvuuid";
constexpr size_t kTextLength = 36;

void Parse(const QVString& text, uuid_t out) {
  // The parser reads a NUL-terminated text: a text of another length, or one
  // with a NUL inside, is not an identifier.
  uuid_t parsed;
  if (text.size() != kTextLength || std::memchr(text.data(), '\0', text.size()) != nullptr ||
      uuid_parse(text.c_str(), parsed) != 0) {
    throw QVException("Unable to convert string to UUID.", kSourceFile, __LINE__,
                      qvexceptiontype::systemCallFailed, 0);
  }
  uuid_copy(out, parsed);
}
}  // namespace

QVUUID::QVUUID() { uuid_generate(uuid_); }

QVUUID::QVUUID(const QVString& text) : QVObject() { Parse(text, uuid_); }

QVUUID::QVUUID(const QVUUID& other) : QVObject() { uuid_copy(uuid_, other.uuid_); }

QVUUID& QVUUID::operator=(const QVUUID& other) {
  uuid_copy(uuid_, other.uuid_);
  return *this;
}

QVUUID& QVUUID::operator=(const QVString& text) {
  Parse(text, uuid_);
  return *this;
}

QVString QVUUID::stringRepresentation() const {
  char text[kTextLength + 1];
  uuid_unparse_upper(uuid_, text);
  return QVString(text, kTextLength);
}

void QVUUID::print(std::ostream& os) const {
  const QVString text = stringRepresentation();
  os.write(text.data(), static_cast<std::streamsize>(text.size()));
}

std::ostream& operator<<(std::ostream& os, const QVUUID& uuid) {
  uuid.print(os);
  return os;
}

}  // namespace Quorvane
