// Expression text of the log: functions and the stack that places commas and
// closing brackets, strings and symbols, numbers and errors.
#include <cstring>
#include <string>

#include "quorvane_text.h"
#include "text/qvunicode.h"
#include "utilities/qvlinklog/qvexprlog.h"
#include "utilities/qvlinklog/qvexprlogstream.h"

namespace Quorvane {

namespace {

// Pops the top record, writing its closing bracket, and goes on closing
// every parent whose last argument this was. Stops after a comma, or after
// the "[" of a parent whose alternate head was the closed function.
void CloseRecords(QVExprLog::FunctionStack& stack, QVString& out) {
  while (!stack.empty()) {
    out += stack.back().isList ? '}' : ']';
    stack.pop_back();
    if (stack.empty()) return;
    qvstacktype& parent = stack.back();
    if (parent.alternateHead && !parent.headComplete) {
      out += '[';
      parent.headComplete = true;
      if (parent.argumentsLeft != 0) return;
    } else if (parent.argumentsLeft >= 2) {
      --parent.argumentsLeft;
      out += ", ";
      return;
    }
  }
}

}  // namespace

void QVExprLog::writeContentsToStreamsByStack(qvlogdirection d, FunctionStack& stack,
                                              const QVString& fragment, bool opening) {
  // A top-level expression starts an entry; so does the first text of the
  // head of a top-level function whose head is an expression.
  const bool newEntry = stack.empty() || (stack.size() == 1 && stack.back().alternateHead &&
                                          !stack.back().headComplete);
  QVString out = fragment;
  if (!opening && !stack.empty()) {
    qvstacktype& top = stack.back();
    if (top.alternateHead && !top.headComplete) {
      out += '[';
      top.headComplete = true;
      if (top.argumentsLeft == 0) CloseRecords(stack, out);
    } else if (top.argumentsLeft >= 2) {
      --top.argumentsLeft;
      out += ", ";
    } else {
      CloseRecords(stack, out);
    }
  }
  writeContentsToStreams(d, newEntry, out);
}

void QVExprLog::logAtom(qvlogdirection d, const QVString& fragment) {
  writeContentsToStreamsByStack(d, functionStackForDirection(d), fragment, false);
}

// ---- Structure ----

void QVExprLog::logFunction(qvlogdirection d, const char* head, unsigned long headLength,
                            unsigned long argumentCount) {
  if (head == nullptr) headLength = 0;
  const bool isList = headLength == 4 && std::memcmp(head, "List", 4) == 0;
  QVString fragment;
  if (isList) {
    fragment = argumentCount == 0 ? "{}" : "{";
  } else {
    fragment.assign(head == nullptr ? "" : head, headLength);
    fragment += argumentCount == 0 ? "[]" : "[";
  }
  FunctionStack& stack = functionStackForDirection(d);
  if (argumentCount == 0) {
    writeContentsToStreamsByStack(d, stack, fragment, false);
    return;
  }
  writeContentsToStreamsByStack(d, stack, fragment, true);
  stack.push_back({argumentCount, isList, false, false});
}

void QVExprLog::logFunctionWithAlternateHead(qvlogdirection d, unsigned long argumentCount) {
  functionStackForDirection(d).push_back({argumentCount, false, true, false});
}

// ---- Text ----

char* QVExprLog::convertCodeToASCIIRepresentation(unsigned int code, char* begin, char* end) {
  if (begin == nullptr || end == nullptr || end < begin) return nullptr;
  std::memset(begin, 0, static_cast<size_t>(end - begin));
  char* cursor = begin;
  return RVConvertUTF32String(&code, 1, &cursor, end) == 0 ? begin : nullptr;
}

namespace {

// Newline and 32-127 as themselves (a quote or backslash stays bare), other
// codes in escaped ASCII, and a code that has no escaped form in decimal.
void AppendCode(QVString& fragment, unsigned int code, bool sixteenBitDecimal) {
  if (code == '\n' || (code >= 32 && code <= 127)) {
    fragment += static_cast<char>(code);
    return;
  }
  char escaped[9];  // the longest form, "\|10FFFF", and its terminator
  if (QVExprLog::convertCodeToASCIIRepresentation(code, escaped, escaped + sizeof escaped) !=
      nullptr) {
    fragment += escaped;
    return;
  }
  const std::string decimal =
      std::to_string(sixteenBitDecimal ? static_cast<unsigned short>(code) : code);
  fragment.append(decimal.data(), decimal.size());
}

QVString OpenChars(qvcharselector s) { return s == QVLogString ? QVString("\"") : QVString(); }

// A leading mark tells the order and is skipped; without one the text is in
// this machine's order (only a swapped mark means swapped units).
template <typename Unit>
endian OrderFromMark(const Unit*& units, long& count, Unit nativeMark, Unit swappedMark) {
  if (units == nullptr || count <= 0) return QV_ENDIAN_NATIVE;
  if (*units == nativeMark || *units == swappedMark) {
    const endian order = *units == swappedMark ? QV_ENDIAN_SWAPPED : QV_ENDIAN_NATIVE;
    ++units;
    --count;
    return order;
  }
  return QV_ENDIAN_NATIVE;
}

// Decodes one code after another until the count is used up or the decoder
// refuses (the rest of the text is left out).
template <typename Unit, typename Decode>
void AppendDecoded(QVString& fragment, const Unit* chars, long count, Decode decode) {
  int64_t left = count;
  unsigned int code = 0;
  while (chars != nullptr && left > 0 && decode(&chars, &left, &code) == 1) {
    AppendCode(fragment, code, false);
  }
}

}  // namespace

void QVExprLog::finishChars(qvlogdirection d, qvcharselector s, QVString& fragment) {
  if (s == QVLogString) fragment += '"';
  logAtom(d, fragment);
}

void QVExprLog::log7BitChars(qvlogdirection d, qvcharselector s, const char* chars, long count) {
  log8BitChars(d, s, reinterpret_cast<const unsigned char*>(chars), count);
}

void QVExprLog::log8BitChars(qvlogdirection d, qvcharselector s, const unsigned char* chars,
                             long count) {
  QVString fragment = OpenChars(s);
  if (chars != nullptr && count > 0) {
    fragment.append(reinterpret_cast<const char*>(chars), static_cast<size_t>(count));
  }
  finishChars(d, s, fragment);
}

void QVExprLog::logUCS2Chars(qvlogdirection d, qvcharselector s, const unsigned short* chars,
                             long count) {
  QVString fragment = OpenChars(s);
  for (long i = 0; chars != nullptr && i < count; ++i) AppendCode(fragment, chars[i], true);
  finishChars(d, s, fragment);
}

void QVExprLog::logUTF8Chars(qvlogdirection d, qvcharselector s, const unsigned char* chars,
                             long count) {
  QVString fragment = OpenChars(s);
  AppendDecoded(fragment, chars, count,
                [](const unsigned char** p, int64_t* left, unsigned int* c) {
                  return QVNextUTF32FromUTF8String(p, left, c);
                });
  finishChars(d, s, fragment);
}

void QVExprLog::logUTF16Chars(qvlogdirection d, qvcharselector s, const unsigned short* chars,
                              long count) {
  QVString fragment = OpenChars(s);
  const endian order = OrderFromMark<unsigned short>(chars, count, 0xFEFF, 0xFFFE);
  AppendDecoded(fragment, chars, count,
                [order](const unsigned short** p, int64_t* left, unsigned int* c) {
                  return QVNextUTF32FromUTF16String(p, left, c, order);
                });
  finishChars(d, s, fragment);
}

void QVExprLog::logUTF32Chars(qvlogdirection d, qvcharselector s, const unsigned int* chars,
                              long count) {
  QVString fragment = OpenChars(s);
  const endian order = OrderFromMark<unsigned int>(chars, count, 0x0000FEFFu, 0xFFFE0000u);
  AppendDecoded(fragment, chars, count,
                [order](const unsigned int** p, int64_t* left, unsigned int* c) {
                  return QVNextUTF32FromUTF32String(p, left, c, order);
                });
  finishChars(d, s, fragment);
}

void QVExprLog::log7BitString(qvlogdirection d, const char* s, long count) {
  log7BitChars(d, QVLogString, s, count);
}
void QVExprLog::log7BitSymbol(qvlogdirection d, const char* s, long count) {
  log7BitChars(d, QVLogSymbol, s, count);
}
void QVExprLog::log8BitString(qvlogdirection d, const unsigned char* s, long count) {
  log8BitChars(d, QVLogString, s, count);
}
void QVExprLog::log8BitSymbol(qvlogdirection d, const unsigned char* s, long count) {
  log8BitChars(d, QVLogSymbol, s, count);
}
void QVExprLog::logUCS2String(qvlogdirection d, const unsigned short* s, long count) {
  logUCS2Chars(d, QVLogString, s, count);
}
void QVExprLog::logUCS2Symbol(qvlogdirection d, const unsigned short* s, long count) {
  logUCS2Chars(d, QVLogSymbol, s, count);
}
void QVExprLog::logUTF8String(qvlogdirection d, const unsigned char* s, long count) {
  logUTF8Chars(d, QVLogString, s, count);
}
void QVExprLog::logUTF8Symbol(qvlogdirection d, const unsigned char* s, long count) {
  logUTF8Chars(d, QVLogSymbol, s, count);
}
void QVExprLog::logUTF16String(qvlogdirection d, const unsigned short* s, long count) {
  logUTF16Chars(d, QVLogString, s, count);
}
void QVExprLog::logUTF16Symbol(qvlogdirection d, const unsigned short* s, long count) {
  logUTF16Chars(d, QVLogSymbol, s, count);
}
void QVExprLog::logUTF32String(qvlogdirection d, const unsigned int* s, long count) {
  logUTF32Chars(d, QVLogString, s, count);
}
void QVExprLog::logUTF32Symbol(qvlogdirection d, const unsigned int* s, long count) {
  logUTF32Chars(d, QVLogSymbol, s, count);
}

// ---- Numbers ----

void QVExprLog::logInt(qvlogdirection d, long value) {
  const std::string text = std::to_string(value);
  logAtom(d, QVString(text.data(), text.size()));
}

void QVExprLog::logInt64(qvlogdirection d, const long& value) { logInt(d, value); }

void QVExprLog::logReal(qvlogdirection d, double value) {
  QVExprLogStream os;
  os << value;
  logAtom(d, os.str());
}

void QVExprLog::logReal128(qvlogdirection d, long double value) {
  QVExprLogStream os;
  os << value;
  logAtom(d, os.str());
}

void QVExprLog::logNumberWithString(qvlogdirection d, const QVString& text) { logAtom(d, text); }

void QVExprLog::logNumberWithString(qvlogdirection d, const unsigned char* text, int length) {
  QVString fragment;
  if (text != nullptr && length > 0) {
    fragment.assign(reinterpret_cast<const char*>(text), static_cast<size_t>(length));
  }
  logAtom(d, fragment);
}

// ---- Errors ----

void QVExprLog::logError(qvlogdirection d, const char* message) {
  writeContentsToStreams(d, true, message == nullptr ? std::string_view() : message);
}

void QVExprLog::logError(qvlogdirection d, const QVString& message) {
  writeContentsToStreams(d, true, std::string_view(message.data(), message.size()));
}

}  // namespace Quorvane
