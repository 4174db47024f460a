#include "utilities/qvexception.h"

#include <cstdio>

namespace Quorvane {

QVExceptionMessage::QVExceptionMessage(const QVString& what_, const QVString& file_,
                                       unsigned int line_, qvexceptiontype type_, int code_)
    : what(what_), file(file_), line(line_), type(type_), code(code_) {}

QVString QVExceptionMessage::getHeader() const {
  char numbers[48];
  std::snprintf(numbers, sizeof numbers, ":%u,%d,%d): ", static_cast<unsigned>(line),
                static_cast<int>(code), static_cast<int>(type));
  QVString header("Quorvane Exception(");
  header.append(file);
  header.append(numbers);
  return header;
}

void QVExceptionMessage::print(std::ostream& os) const {
  const QVString header = getHeader();
  os.write(header.data(), static_cast<std::streamsize>(header.size()));
  os.write(what.data(), static_cast<std::streamsize>(what.size()));
  os << '\n';
  os.flush();
}

QVException::QVException(const char* what, const char* file, unsigned int line,
                         qvexceptiontype type, int code)
    : message_(QVString(what != nullptr ? what : ""), QVString(file != nullptr ? file : ""), line,
               type, code) {}

QVException::QVException(const QVString& what, const char* file, unsigned int line,
                         qvexceptiontype type, int code)
    : message_(what, QVString(file != nullptr ? file : ""), line, type, code) {}

QVException::QVException(const QVString& what, const QVString& file, unsigned int line,
                         qvexceptiontype type, int code)
    : message_(what, file, line, type, code) {}

QVException::QVException(const std::string& what, const char* file, unsigned int line,
                         qvexceptiontype type, int code)
    : QVException(ToQVString(what), file, line, type, code) {}

std::ostream& operator<<(std::ostream& os, const QVExceptionMessage& message) {
  message.print(os);
  return os;
}

std::ostream& operator<<(std::ostream& os, const QVException& exception) {
  exception.print(os);
  return os;
}

}  // namespace Quorvane
