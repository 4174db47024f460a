// The Algorithm3 call the tests send a served program: a sample of five
// series over 250 days on which every rule of both phases is taken, put as
// the host puts it, and the answer the algorithm gives on it run directly.
#pragma once

#include <vector>

#include "application/qvalgorithm3.h"
#include "quorvane.h"

namespace qvtest {

inline constexpr int kAlgorithm3Days = 250;

struct Algorithm3Sample {
  std::vector<double> series[5];  // b, h, l, e, huan
  int time = 3;
  double ratios[4] = {0.4, 0.3, 0.2, 0.1};

  Algorithm3Sample() : Algorithm3Sample(kAlgorithm3Days) {}
  // Longer series repeat the same pattern day after day.
  explicit Algorithm3Sample(int days) {
    for (auto& s : series) s.resize(static_cast<size_t>(days));
    for (int i = 0; i < days; ++i) {
      const double b = 50.0 + ((i * 37) % 23) * 0.25;
      series[0][i] = b;
      series[1][i] = b + 0.5 + (i % 4 == 0 ? 2.5 : 0.0);
      series[2][i] = b - 0.5 - (i % 3 == 0 ? 2.5 : 0.0);
      series[3][i] = b + 0.25;
      series[4][i] = 0.05 * (i % 9);
    }
  }

  // The algorithm's answer on this sample, computed here without a link.
  double Direct() const {
    const auto days = [this](int s) { return static_cast<long>(series[s].size()); };
    return Quorvane::RunAlgorithm3(series[0].data(), days(0), series[1].data(), days(1), series[2].data(), days(2),
                                   series[3].data(), days(3), series[4].data(), days(4), time, ratios[0], ratios[1],
                                   ratios[2], ratios[3])
        .value;
  }
};

// What the host sends as one call; the defaults make a good call.
struct Algorithm3Call {
  int index = 0;
  Algorithm3Sample sample;
  int listLength = 10;    // the argument list's declared count
  int symbolInList = -1;  // a list that holds a symbol in place of its sixth real
};

// List[v1, v2, ...] of reals, the sixth the symbol x when withSymbol.
inline bool PutAlgorithm3Series(QVLink* host, const std::vector<double>& values, bool withSymbol) {
  bool ok = RVPutFunction(host, "List", static_cast<int>(values.size())) == 1;
  for (size_t i = 0; i < values.size(); ++i) {
    ok = ok && (withSymbol && i == 5 ? RVPutSymbol(host, "x") : RVPutReal64(host, values[i])) == 1;
  }
  return ok;
}

// CallPacket[index, List[b, h, l, e, huan, time, ratio1 .. ratio4, ...]],
// ended and flushed: the arguments past the declared count are left out, one
// more is a real.
inline bool PutAlgorithm3Call(QVLink* host, const Algorithm3Call& call = {}) {
  bool ok = RVPutFunction(host, "CallPacket", 2) == 1 && RVPutInteger(host, call.index) == 1 &&
            RVPutFunction(host, "List", call.listLength) == 1;
  int put = 0;
  for (int s = 0; s < 5 && put < call.listLength; ++s, ++put) {
    ok = ok && PutAlgorithm3Series(host, call.sample.series[s], call.symbolInList == s);
  }
  if (put++ < call.listLength) ok = ok && RVPutInteger(host, call.sample.time) == 1;
  for (int r = 0; put < call.listLength; ++r, ++put) {
    ok = ok && RVPutReal64(host, r < 4 ? call.sample.ratios[r] : 1.0) == 1;
  }
  return ok && RVEndPacket(host) == 1 && RVFlush(host) == 1;
}

}  // namespace qvtest
