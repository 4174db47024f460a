#include "user/qvargvstrings.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "quorvane.h"

namespace {

using Words = std::vector<std::string>;

// Splits with the counted splitter into a vector of room for every word.
Words Split(const std::string& text, const char* separators = nullptr, long capacity = 64) {
  std::vector<char> buffer(text.size() + 1);
  std::vector<char*> argv(static_cast<size_t>(capacity) + 1, reinterpret_cast<char*>(1));
  const long n = qvas__string_to_argv_sep(text.c_str(), buffer.data(), argv.data(), capacity, separators);
  EXPECT_GE(n, 0);
  if (n < capacity) {
    EXPECT_EQ(argv[static_cast<size_t>(n)], nullptr) << "a null entry follows the words";
  }
  return Words(argv.begin(), argv.begin() + (n > 0 ? n : 0));
}

std::string Join(const Words& words, long size = 4096) {
  std::vector<char*> argv;
  for (const std::string& w : words) argv.push_back(const_cast<char*>(w.c_str()));
  std::vector<char> buffer(static_cast<size_t>(size));
  EXPECT_EQ(qvas__argv_to_string(buffer.data(), size, static_cast<long>(argv.size()), argv.data()), 0);
  return buffer.data();
}

std::string Quoted(const char* word) {
  std::vector<char> buffer(std::strlen(word) * 2 + 3);
  char* end = qvas__arg_to_string(word, buffer.data());
  EXPECT_EQ(*end, '\0');
  return std::string(buffer.data(), end);
}

}  // namespace

TEST(ArgvSplit, QuotesEscapesAndSeparators) {
  struct Case {
    const char* text;
    const char* separators;
    Words words;
  };
  const Case cases[] = {
      {"", nullptr, {}},
      {" \t\n\v\f\r ", nullptr, {}},
      {"a b\tc\nd", nullptr, {"a", "b", "c", "d"}},
      {"  lead and trail  ", nullptr, {"lead", "and", "trail"}},
      {"'a b' \"c d\"", nullptr, {"a b", "c d"}},
      {"x'y z'w", nullptr, {"xy zw"}},
      {"'he said \"hi\"'", nullptr, {"he said \"hi\""}},
      {"\"it's\"", nullptr, {"it's"}},
      {"a\\ b", nullptr, {"a b"}},
      {"\"a\\\"b\"", nullptr, {"a\"b"}},            // escapes work in double quotes
      {"'a\\b'", nullptr, {"a\\b"}},                // but not in single ones
      {"a\xB6 b", nullptr, {"a b"}},                // the second escape byte
      {"'a\xB6 b'", nullptr, {"a\xB6 b"}},
      {"end\\", nullptr, {"end\\"}},                // an escape that ends the string stays
      {"''", nullptr, {""}},
      {"'' ''", nullptr, {"", ""}},
      {"'open quote", nullptr, {"open quote"}},
      {"a,b,,c", ",", {"a", "b", "c"}},
      {"a b,c", ",", {"a b", "c"}},
      {"RVDontInteract, QVUseIPV6\t12", ", \t", {"RVDontInteract", "QVUseIPV6", "12"}},
      {"'a,b',c", ",", {"a,b", "c"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(Split(c.text, c.separators), c.words);
  }
}

TEST(ArgvSplit, CapacityCountsAndNullArguments) {
  char buffer[64];
  char* argv[3] = {nullptr, nullptr, reinterpret_cast<char*>(1)};
  EXPECT_EQ(qvas__string_to_argv("a b c d", buffer, argv, 2), 2) << "words past the capacity are not stored";
  EXPECT_STREQ(argv[0], "a");
  EXPECT_STREQ(argv[1], "b");
  EXPECT_EQ(argv[2], reinterpret_cast<char*>(1)) << "nothing written past the capacity";
  EXPECT_EQ(qvas__string_to_argv(nullptr, buffer, argv, 2), 0);
  EXPECT_EQ(qvas__string_to_argv("a", nullptr, argv, 2), -1);
  EXPECT_EQ(qvas__string_to_argv("a", buffer, nullptr, 2), -1);
  EXPECT_EQ(RVStringToArgv("x y", buffer, argv, 3), 2);
  EXPECT_EQ(argv[2], nullptr);
}

TEST(ArgvSplit, WordsInPlaceKeepTheirQuotes) {
  const char* text = "  one 'two three' f\\ our";
  const char* starts[4];
  long lengths[4];
  ASSERT_EQ(qvas__string_to_pargv_sep(text, starts, lengths, 4, nullptr), 3);
  EXPECT_EQ(std::string(starts[0], static_cast<size_t>(lengths[0])), "one");
  EXPECT_EQ(std::string(starts[1], static_cast<size_t>(lengths[1])), "'two three'");
  EXPECT_EQ(std::string(starts[2], static_cast<size_t>(lengths[2])), "f\\ our");
  EXPECT_EQ(qvas__string_to_pargv_sep(text, starts, lengths, 2, nullptr), 2) << "at most max words";
  EXPECT_EQ(qvas__string_to_pargv_sep(text, nullptr, lengths, 2, nullptr), -1);
}

TEST(ArgvQuote, EachCaseOfTheQuotingRule) {
  struct Case {
    const char* word;
    const char* quoted;
  };
  const Case cases[] = {
      {"plain", "plain"},
      {"", "''"},
      {"a b", "'a b'"},
      {"tab\there", "'tab\there'"},
      {"say \"x\"", "'say \"x\"'"},
      {"back\\slash", "'back\\slash'"},
      {"\xB6", "'\xB6'"},
      {"it's", "\"it's\""},
      {"it's here", "\"it's here\""},
      {"it's \"x\"", "it\\'s\\ \\\"x\\\""},
      {"'\\", "\\'\\\\"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.word);
    EXPECT_EQ(Quoted(c.word), c.quoted);
  }
}

TEST(ArgvQuote, JoinThenSplitGivesTheSameWords) {
  const Words fixed = {"", " ", "'", "it's", "a'b\"c\\d", "\xB6", "a\xB6'", "\t\n", "plain", "''", "\"\"",
                       "\\", "end\\", "x y z", "'quoted'"};
  EXPECT_EQ(Split(Join(fixed)), fixed);
  for (const std::string& word : fixed) EXPECT_EQ(Split(Join({word})), Words{word}) << word;

  // Random words over the bytes that matter to quoting.
  const char alphabet[] = {'a', 'Z', '0', ' ', '\t', '\n', '\'', '"', '\\', '\xB6', ',', '|', '-'};
  std::mt19937 random(17);
  for (int round = 0; round < 500; ++round) {
    Words words(random() % 5);
    for (std::string& word : words) {
      const size_t length = random() % 7;
      for (size_t i = 0; i < length; ++i) word += alphabet[random() % sizeof alphabet];
    }
    ASSERT_EQ(Split(Join(words)), words) << Join(words);
  }
}

TEST(ArgvQuote, LimitsNeverOverrunAndReportWhatIsMissing) {
  char buffer[16];
  std::memset(buffer, 'X', sizeof buffer);
  char* position = buffer;
  // "'a b'" needs 5 bytes and its NUL.
  EXPECT_EQ(qvas__arg_to_string_("a b", &position, buffer + 4), 2);
  EXPECT_EQ(position, buffer);
  EXPECT_EQ(buffer[0], '\0') << "an empty text where the word did not fit";
  EXPECT_EQ(buffer[4], 'X');
  EXPECT_EQ(qvas__arg_to_string_("it's \"x\"", &position, buffer + 6), 13 - 6);
  EXPECT_EQ(buffer[0], '\0');
  EXPECT_EQ(qvas__arg_to_string_("a b", &position, buffer + 6), 0);
  EXPECT_EQ(position, buffer + 5);
  EXPECT_STREQ(buffer, "'a b'");

  char* words[] = {const_cast<char*>("one"), const_cast<char*>("two"), const_cast<char*>("three")};
  struct Case {
    long size;
    long rest;
    const char* text;
  };
  const Case cases[] = {{0, 3, nullptr}, {1, 3, ""}, {4, 2, "one"}, {7, 2, "one"},
                        {8, 1, "one two"}, {13, 1, "one two"}, {14, 0, "one two three"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    char out[32];
    std::memset(out, 'X', sizeof out);
    EXPECT_EQ(qvas__argv_to_string(out, c.size, 3, words), c.rest);
    if (c.text != nullptr) {
      EXPECT_STREQ(out, c.text);
    }
    EXPECT_EQ(out[c.size], 'X') << "nothing written past the size";
  }
  char out[10];
  char* limit = out + sizeof out;
  char* const* cursor = words;
  long missing = 0;
  EXPECT_EQ(qvas__argv_to_string0_(out, &limit, &cursor, words + 3, &missing), 1);
  EXPECT_EQ(missing, 4) << "the blank, \"three\" and the NUL need 7 bytes where 3 are left";
  EXPECT_EQ(limit, out + 7);
}

TEST(ArgvQuote, ScanAndPrintResumeThroughTinyRoom) {
  const Words words = {"-linkname", "a b", "", "it's", "x\"y'z", "-linkmode", "listen"};
  std::string line = Join(words);
  // Splitting into vectors of one and two entries, resumed until done.
  for (long capacity : {1L, 2L, 3L}) {
    SCOPED_TRACE(capacity);
    std::vector<char> buffer(line.size() + 1);
    const char* rest = line.c_str();
    char* out = buffer.data();
    Words got;
    for (int calls = 0; calls < 100; ++calls) {
      std::vector<char*> argv(static_cast<size_t>(capacity));
      char** end = argv.data() + capacity;
      const long left = RVScanString(argv.data(), &end, &rest, &out);
      ASSERT_GE(left, 0);
      for (char** p = argv.data(); p < end; ++p) got.emplace_back(*p);
      if (left == 0) break;
      EXPECT_EQ(end, argv.data() + capacity) << "a vector is filled before the rest is reported";
    }
    EXPECT_EQ(got, words);
  }
  // Joining into buffers just large enough for the longest quoted word.
  std::vector<char*> argv;
  for (const std::string& w : words) argv.push_back(const_cast<char*>(w.c_str()));
  for (long size : {12L, 13L, 20L}) {
    SCOPED_TRACE(size);
    char** cursor = argv.data();
    std::string joined;
    for (int calls = 0; calls < 100; ++calls) {
      std::vector<char> buffer(static_cast<size_t>(size));
      char* end = buffer.data() + size;
      const long left = RVPrintArgv(buffer.data(), &end, &cursor, argv.data() + argv.size());
      ASSERT_LT(end, buffer.data() + size);
      ASSERT_EQ(*end, '\0');
      if (!joined.empty()) joined += ' ';
      joined += buffer.data();
      if (left == 0) break;
    }
    EXPECT_EQ(Split(joined), words) << joined;
  }
}

TEST(ArgvQuote, SingleQuotedNames) {
  struct Case {
    const char* text;
    int answer;
    const char* inner;
  };
  const Case cases[] = {{"'name'", 1, "name"}, {"''", 1, ""}, {"'", 1, ""}, {"name", 0, nullptr},
                        {"'name", 0, nullptr}, {"name'", 0, nullptr}, {"", 0, nullptr}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    char out[16] = "untouched";
    EXPECT_EQ(check_for_single_quotes(c.text, out), c.answer);
    EXPECT_STREQ(out, c.inner != nullptr ? c.inner : "untouched");
  }
}
