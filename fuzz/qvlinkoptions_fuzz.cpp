// Link command lines from arbitrary bytes: the input, cut at its zero bytes,
// is an argument vector for the open-request parser, the argument filter and
// the table parser; as one string it goes through every splitter with a
// separator set taken from the input. Joining the vector and splitting the
// result again must give the vector back, in one buffer or resumed through
// small ones.
//
// Input: byte 0 selects the separator set's length (0xFF: white space), the
// next bytes are that set, the rest is the payload.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "api/qvenvironment.h"
#include "quorvane.h"
#include "user/qvargvparse.h"
#include "user/qvargvstrings.h"
#include "user/qvlinkoptions.h"
#include "user/qvopenparameters.h"

namespace {

constexpr size_t kMaxEntries = 400;
constexpr long kWordCapacity = 24;

void Check(bool condition) {
  if (!condition) abort();
}

RVEnvironment* gEnvironment = nullptr;

// Ended before the library's statics go: the thread module's thread must not
// outlive them.
void EndEnvironment() { RVEnd(gEnvironment); }

RVEnvironment* Environment() {
  if (gEnvironment == nullptr) {
    RVEnvironmentParameters* parameters = RVNewParameters(46, 25);
    RVSetDeviceParameter(parameters, "");
    gEnvironment = RVBegin(parameters);
    RVReleaseParameters(parameters);
    if (gEnvironment != nullptr) std::atexit(EndEnvironment);
  }
  return gEnvironment;
}

struct Vector {
  std::vector<std::string> texts;
  std::vector<char*> pointers;
  void Point() {
    pointers.clear();
    for (std::string& t : texts) pointers.push_back(t.data());
  }
};

bool WithinQ(const char* p, const std::vector<std::string>& texts) {
  if (p == nullptr) return false;
  if (*p == '\0' && std::strlen(p) == 0) return true;  // the parser's empty text
  for (const std::string& t : texts) {
    if (p >= t.data() && p <= t.data() + t.size()) return true;
  }
  return false;
}

std::vector<std::string> SplitAll(const std::string& text, const char* separators) {
  std::vector<char> buffer(text.size() + 1);
  std::vector<char*> argv(text.size() / 2 + 2);
  const long n = qvas__string_to_argv_sep(text.c_str(), buffer.data(), argv.data(), static_cast<long>(argv.size()),
                                          separators);
  Check(n >= 0 && static_cast<size_t>(n) <= argv.size());
  std::vector<std::string> words;
  for (long i = 0; i < n; ++i) {
    Check(argv[static_cast<size_t>(i)] >= buffer.data() &&
          argv[static_cast<size_t>(i)] < buffer.data() + buffer.size());
    words.emplace_back(argv[static_cast<size_t>(i)]);
  }
  return words;
}

void OpenRequest(Vector& vector) {
  qvopen_request request;
  QVArgvUsedSet used;
  const long argc = static_cast<long>(vector.pointers.size());
  const long result = argv_to_open_request(Environment(), argc, vector.pointers.data(), &request, &used);
  Check(result == 0 || result == 1);
  Check(request.mode == 0 || (request.mode & (request.mode - 1)) == 0);
  for (const char* text : {request.protocol, request.name, request.host, request.authentication, request.device}) {
    Check(WithinQ(text, vector.texts));
  }

  // The filter puts exactly the used entries first, both parts in order.
  std::vector<char*> filtered = vector.pointers;
  char** rest = RVFilterArgv(Environment(), filtered.data(), filtered.data() + filtered.size());
  Check(rest != nullptr);
  std::vector<char*> expected;
  for (long i = 0; i < argc; ++i) {
    if (used.Test(i)) expected.push_back(vector.pointers[static_cast<size_t>(i)]);
  }
  Check(rest == filtered.data() + expected.size());
  for (long i = 0; i < argc; ++i) {
    if (!used.Test(i)) expected.push_back(vector.pointers[static_cast<size_t>(i)]);
  }
  Check(filtered == expected);
}

void TableParse(Vector& vector) {
  qvoption_row rows[kFormatArgumentRows + 1];
  std::memcpy(rows, format_arguments, sizeof rows);
  uint64_t level = 0;
  uint64_t decoders = 0;
  const char* texts[4] = {"", "", "", ""};
  rows[0].destination = &level;
  rows[5].destination = &decoders;
  for (int i = 0; i < 4; ++i) rows[i + 1].destination = &texts[i];
  rows[0].table = linkoption_keys;  // words as well as numbers
  std::vector<char*> argv = vector.pointers;
  long leftover = 0;
  const long result = _parse_argv(static_cast<long>(argv.size()), argv.data(), rows, &leftover, nullptr, nullptr);
  Check(result == 0 || result == 1);
  Check(leftover >= 0 && static_cast<size_t>(leftover) <= argv.size());
  for (long i = 0; i < leftover; ++i) Check(WithinQ(argv[static_cast<size_t>(i)], vector.texts));
}

void Splitters(const std::string& text, const char* separators) {
  const std::vector<std::string> words = SplitAll(text, separators);
  // Resumed through vectors of two entries: the same words.
  std::vector<char> buffer(text.size() + 1);
  const char* cursor = text.c_str();
  char* out = buffer.data();
  std::vector<std::string> resumed;
  for (size_t calls = 0; calls <= words.size() + 1; ++calls) {
    char* argv[2];
    char** end = argv + 2;
    const long left = qvas__string_to_argv_sep_(argv, &end, &cursor, &out, separators);
    Check(left >= 0 && end >= argv && end <= argv + 2);
    Check(out <= buffer.data() + buffer.size());
    for (char** p = argv; p < end; ++p) resumed.emplace_back(*p);
    if (left == 0) break;
  }
  Check(resumed == words);
  // In place: as many words, each within the text.
  std::vector<const char*> starts(kWordCapacity);
  std::vector<long> lengths(kWordCapacity);
  const long found = qvas__string_to_pargv_sep(text.c_str(), starts.data(), lengths.data(), kWordCapacity, separators);
  Check(found == std::min<long>(kWordCapacity, static_cast<long>(words.size())));
  for (long i = 0; i < found; ++i) {
    const char* start = starts[static_cast<size_t>(i)];
    Check(start >= text.c_str() && start + lengths[static_cast<size_t>(i)] <= text.c_str() + text.size());
    Check(lengths[static_cast<size_t>(i)] > 0);
  }
  char quoted[4];
  check_for_single_quotes(text.size() < sizeof quoted ? text.c_str() : "''", quoted);
}

void RoundTrip(const Vector& vector) {
  std::vector<char*> argv = vector.pointers;
  size_t total = 1;
  for (const std::string& t : vector.texts) total += 2 * t.size() + 3;
  std::vector<char> line(total);
  Check(qvas__argv_to_string(line.data(), static_cast<long>(line.size()), static_cast<long>(argv.size()),
                             argv.data()) == 0);
  Check(SplitAll(line.data(), nullptr) == vector.texts);

  // Through buffers as small as the longest quoted word allows.
  size_t widest = 1;
  for (const std::string& t : vector.texts) {
    std::vector<char> one(2 * t.size() + 3);
    widest = std::max(widest, static_cast<size_t>(qvas__arg_to_string(t.c_str(), one.data()) - one.data()) + 1);
  }
  std::string joined;
  char** cursor = argv.data();
  for (size_t calls = 0; calls <= argv.size() + 1; ++calls) {
    std::vector<char> piece(widest);
    char* end = piece.data() + piece.size();
    const long left = RVPrintArgv(piece.data(), &end, &cursor, argv.data() + argv.size());
    Check(end < piece.data() + piece.size() && *end == '\0');
    if (!joined.empty()) joined += ' ';
    joined += piece.data();
    if (left == 0) break;
  }
  Check(cursor == argv.data() + argv.size());
  Check(SplitAll(joined, nullptr) == vector.texts);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (Environment() == nullptr) abort();
  if (size == 0) return 0;
  std::string separators;
  const char* separator_set = nullptr;
  size_t at = 1;
  if (data[0] != 0xFF) {
    const size_t n = std::min<size_t>(data[0] % 8, size - 1);
    for (size_t i = 0; i < n; ++i) {
      if (data[1 + i] != 0) separators += static_cast<char>(data[1 + i]);
    }
    separator_set = separators.c_str();
    at += n;
  }
  const std::string payload(reinterpret_cast<const char*>(data) + at, size - at);

  Vector vector;
  size_t start = 0;
  while (start <= payload.size() && vector.texts.size() < kMaxEntries) {
    const size_t zero = payload.find('\0', start);
    const size_t end = zero == std::string::npos ? payload.size() : zero;
    vector.texts.push_back(payload.substr(start, end - start));
    if (zero == std::string::npos) break;
    start = zero + 1;
  }
  vector.Point();

  OpenRequest(vector);
  TableParse(vector);
  Splitters(payload.substr(0, payload.find('\0')), separator_set);
  RoundTrip(vector);
  return 0;
}
