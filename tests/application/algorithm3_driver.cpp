// Runs RunAlgorithm3 on calls read from stdin, one per line:
//   time ratio1 ratio2 ratio3 ratio4, then 250 values each of b, h, l, e, huan,
// every real in C99 hexadecimal form. Answers one line per call: the status
// number and the value in hexadecimal form. Used by algorithm3_oracle.py.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "application/qvalgorithm3.h"

namespace {

constexpr int kDays = 250;

bool ReadReal(std::istringstream& in, double& out) {
  std::string word;
  if (!(in >> word)) {
    return false;
  }
  char* end = nullptr;
  out = std::strtod(word.c_str(), &end);
  return end != word.c_str() && *end == '\0';
}

}  // namespace

int main() {
  std::string line;
  std::vector<double> series(5 * kDays);
  while (std::getline(std::cin, line)) {
    std::istringstream in(line);
    int time = 0;
    double ratios[4];
    bool ok = static_cast<bool>(in >> time);
    for (double& ratio : ratios) {
      ok = ok && ReadReal(in, ratio);
    }
    for (double& value : series) {
      ok = ok && ReadReal(in, value);
    }
    if (!ok) {
      std::fprintf(stderr, "unreadable call line\n");
      return 2;
    }
    const double* base = series.data();
    const Quorvane::QVAlgorithm3Outcome outcome = Quorvane::RunAlgorithm3(
        base, kDays, base + kDays, kDays, base + 2 * kDays, kDays, base + 3 * kDays, kDays,
        base + 4 * kDays, kDays, time, ratios[0], ratios[1], ratios[2], ratios[3]);
    std::printf("%d %a\n", static_cast<int>(outcome.status), outcome.value);
  }
  return 0;
}
