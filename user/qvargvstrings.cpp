// Splitting link command lines into words and joining words back.
#include "user/qvargvstrings.h"

#include <cstring>

namespace {

constexpr unsigned char kBackslash = 0x5C;
constexpr unsigned char kPilcrow = 0xB6;  // a second escape byte

bool WhiteSpaceQ(unsigned char c) { return c == ' ' || (c >= 9 && c <= 13); }

bool SeparatorQ(unsigned char c, const char* separators) {
  if (c == '\0') return false;
  if (separators == nullptr) return WhiteSpaceQ(c);
  return std::strchr(separators, c) != nullptr;
}

const char* SkipSeparators(const char* p, const char* separators) {
  while (SeparatorQ(static_cast<unsigned char>(*p), separators)) ++p;
  return p;
}

// Reads the word that starts at p (not on a separator). Its bytes, quotes and
// escapes removed, go to out when out is given; *raw_end receives where the
// word ends in the string. Answers the position after the separator that
// ended the word (or the string's end), and moves out past what it wrote.
const char* ScanWord(const char* p, const char* separators, char** out, const char** raw_end) {
  unsigned char quote = 0;
  for (;;) {
    const auto c = static_cast<unsigned char>(*p);
    if (c == '\0') {
      *raw_end = p;
      return p;
    }
    if (quote == 0 && SeparatorQ(c, separators)) {
      *raw_end = p;
      return p + 1;
    }
    if (quote == 0 && (c == '"' || c == '\'')) {
      quote = c;
      ++p;
      continue;
    }
    if (quote != 0 && c == quote) {
      quote = 0;
      ++p;
      continue;
    }
    unsigned char taken = c;
    if (quote != '\'' && (c == kBackslash || c == kPilcrow) && p[1] != '\0') {
      taken = static_cast<unsigned char>(p[1]);
      ++p;
    }
    ++p;
    if (out != nullptr) *(*out)++ = static_cast<char>(taken);
  }
}

long CountWords(const char* p, const char* separators) {
  long count = 0;
  for (;;) {
    p = SkipSeparators(p, separators);
    if (*p == '\0') return count;
    const char* raw_end = nullptr;
    p = ScanWord(p, separators, nullptr, &raw_end);
    ++count;
  }
}

enum class Quoting { kPlain, kSingle, kDouble, kEscaped };

bool EscapedByteQ(unsigned char c) {
  return c == '"' || c == '\'' || c == kBackslash || c == kPilcrow || WhiteSpaceQ(c);
}

Quoting Classify(const char* argument) {
  if (*argument == '\0') return Quoting::kSingle;
  bool single = false;
  bool special = false;
  bool space = false;
  for (const char* p = argument; *p != '\0'; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    if (c == '\'') {
      single = true;
    } else if (c == '"' || c == kBackslash || c == kPilcrow) {
      special = true;
    } else if (WhiteSpaceQ(c)) {
      space = true;
    }
  }
  if (!single) return special || space ? Quoting::kSingle : Quoting::kPlain;
  return special ? Quoting::kEscaped : Quoting::kDouble;
}

// Bytes of the quoted form, without its NUL.
size_t QuotedSize(const char* argument, Quoting quoting) {
  const size_t length = std::strlen(argument);
  switch (quoting) {
    case Quoting::kPlain:
      return length;
    case Quoting::kSingle:
    case Quoting::kDouble:
      return length + 2;
    case Quoting::kEscaped:
      break;
  }
  size_t size = length;
  for (const char* p = argument; *p != '\0'; ++p) {
    if (EscapedByteQ(static_cast<unsigned char>(*p))) ++size;
  }
  return size;
}

char* WriteQuoted(const char* argument, Quoting quoting, char* out) {
  const size_t length = std::strlen(argument);
  switch (quoting) {
    case Quoting::kPlain:
      std::memcpy(out, argument, length);
      out += length;
      break;
    case Quoting::kSingle:
    case Quoting::kDouble: {
      const char quote = quoting == Quoting::kSingle ? '\'' : '"';
      *out++ = quote;
      std::memcpy(out, argument, length);
      out += length;
      *out++ = quote;
      break;
    }
    case Quoting::kEscaped:
      for (const char* p = argument; *p != '\0'; ++p) {
        if (EscapedByteQ(static_cast<unsigned char>(*p))) *out++ = static_cast<char>(kBackslash);
        *out++ = *p;
      }
      break;
  }
  *out = '\0';
  return out;
}

}  // namespace

long qvas__string_to_argv_sep_(char** argv, char*** argv_end, const char** string, char** buffer,
                               const char* separators) {
  if (string == nullptr || *string == nullptr) return 0;
  if (argv == nullptr || argv_end == nullptr || *argv_end == nullptr || *argv_end < argv ||
      buffer == nullptr || *buffer == nullptr) {
    return -1;
  }
  char** slot = argv;
  char** const limit = *argv_end;
  const char* p = *string;
  char* out = *buffer;
  for (;;) {
    p = SkipSeparators(p, separators);
    if (*p == '\0' || slot == limit) break;
    *slot++ = out;
    const char* raw_end = nullptr;
    p = ScanWord(p, separators, &out, &raw_end);
    *out++ = '\0';
  }
  if (slot < limit) *slot = nullptr;
  *string = p;
  *buffer = out;
  *argv_end = slot;
  return CountWords(p, separators);
}

long qvas__string_to_argv_sep(const char* string, char* buffer, char** argv, long max_words,
                              const char* separators) {
  if (string == nullptr) return 0;
  if (argv == nullptr || buffer == nullptr) return -1;
  char** end = argv + (max_words > 0 ? max_words : 0);
  const long rest = qvas__string_to_argv_sep_(argv, &end, &string, &buffer, separators);
  if (rest < 0) return rest;
  return end - argv;
}

long qvas__string_to_argv(const char* string, char* buffer, char** argv, long max_words) {
  return qvas__string_to_argv_sep(string, buffer, argv, max_words, nullptr);
}

long qvas__string_to_pargv_sep(const char* string, const char** starts, long* lengths, long max_words,
                               const char* separators) {
  if (string == nullptr) return 0;
  if (starts == nullptr || lengths == nullptr) return -1;
  long found = 0;
  const char* p = string;
  while (found < max_words) {
    p = SkipSeparators(p, separators);
    if (*p == '\0') break;
    const char* start = p;
    const char* raw_end = nullptr;
    p = ScanWord(p, separators, nullptr, &raw_end);
    starts[found] = start;
    lengths[found] = raw_end - start;
    ++found;
  }
  return found;
}

long qvas__arg_to_string_(const char* argument, char** position, const char* limit) {
  if (position == nullptr || *position == nullptr) return 1;
  if (argument == nullptr) argument = "";
  const Quoting quoting = Classify(argument);
  const size_t needed = QuotedSize(argument, quoting) + 1;
  if (limit != nullptr) {
    const long room = limit > *position ? static_cast<long>(limit - *position) : 0;
    if (static_cast<size_t>(room) < needed) {
      if (room > 0) **position = '\0';
      return static_cast<long>(needed) - room;
    }
  }
  *position = WriteQuoted(argument, quoting, *position);
  return 0;
}

char* qvas__arg_to_string(const char* argument, char* destination) {
  char* position = destination;
  qvas__arg_to_string_(argument, &position, nullptr);
  return position;
}

long qvas__argv_to_string0_(char* buffer, char** limit, char* const** cursor, char* const* end,
                            long* missing) {
  if (missing != nullptr) *missing = 0;
  if (buffer == nullptr || limit == nullptr || *limit == nullptr || cursor == nullptr || *cursor == nullptr ||
      end == nullptr || end < *cursor) {
    return -1;
  }
  char* const bound = *limit;
  if (bound <= buffer) {
    *limit = buffer;
    if (missing != nullptr && *cursor < end) *missing = 1;
    return end - *cursor;
  }
  char* text_end = buffer;
  *text_end = '\0';
  for (; *cursor < end; ++*cursor) {
    char* const start = text_end;
    char* position = start;
    // The blank takes the place of the text's NUL, which is always in bounds;
    // what the word then lacks is what the blank and the word lack together.
    if (start != buffer) *position++ = ' ';
    const long lacking = qvas__arg_to_string_(**cursor, &position, bound);
    if (lacking != 0) {
      *start = '\0';
      if (missing != nullptr) *missing = lacking;
      break;
    }
    text_end = position;
  }
  *limit = text_end;
  return end - *cursor;
}

long qvas__argv_to_string_(char* buffer, char** limit, char* const** cursor, char* const* end) {
  return qvas__argv_to_string0_(buffer, limit, cursor, end, nullptr);
}

long qvas__argv_to_string(char* buffer, long size, long argc, char* const* argv) {
  if (buffer == nullptr || argc < 0 || (argv == nullptr && argc != 0)) return -1;
  char* const none[1] = {nullptr};
  if (argv == nullptr) argv = none;
  char* limit = buffer + (size > 0 ? size : 0);
  char* const* cursor = argv;
  return qvas__argv_to_string_(buffer, &limit, &cursor, argv + argc);
}

int check_for_single_quotes(const char* text, char* out) {
  if (text == nullptr || out == nullptr) return 0;
  const size_t length = std::strlen(text);
  if (length == 0 || text[0] != '\'' || text[length - 1] != '\'') return 0;
  const size_t inner = length >= 2 ? length - 2 : 0;
  std::memmove(out, text + 1, inner);
  out[inner] = '\0';
  return 1;
}
