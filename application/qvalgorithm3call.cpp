// The argument reader of "algorithm3": five real lists, the window length and
// four weights, then the simulation, whose one real answer goes on stdlink.
#include <array>

#include "application/qvalgorithm3.h"
#include "application/qvapplication.h"

namespace Quorvane {

namespace {

constexpr int kSeries = 5;  // b, h, l, e, huan

// The lists read so far, each given back in reverse order of reading. A list
// get that fails after taking its block still hands the block out, so that
// one is given back too.
class ReadLists {
 public:
  explicit ReadLists(QVLink* link) : link_(link) {}
  ~ReadLists() {
    for (int i = kSeries - 1; i >= 0; --i) {
      if (data_[i] != nullptr) RVReleaseReal64List(link_, data_[i], static_cast<int>(counts_[i]));
    }
  }
  ReadLists(const ReadLists&) = delete;
  ReadLists& operator=(const ReadLists&) = delete;

  bool ReadAll() {
    for (int i = 0; i < kSeries; ++i) {
      if (RVGetRealList(link_, &data_[i], &counts_[i]) == 0) return false;
    }
    return true;
  }
  const double* data(int i) const { return data_[i]; }
  long count(int i) const { return counts_[i]; }

 private:
  QVLink* link_;
  std::array<double*, kSeries> data_{};
  std::array<long, kSeries> counts_{};
};

// Puts the simulation's answer on stdlink; false when the simulation refuses
// the call or meets a fault on the way (the host then gets "$Failed").
bool algorithm3(const ReadLists& lists, int time, double ratio1, double ratio2, double ratio3, double ratio4) {
  const qvalgorithm3status checked =
      CheckAlgorithm3Arguments(lists.data(0), lists.count(0), lists.data(1), lists.count(1), lists.data(2),
                               lists.count(2), lists.data(3), lists.count(3), lists.data(4), lists.count(4), time);
  if (checked != qvalgorithm3status::ok) return false;
  const QVAlgorithm3Outcome outcome =
      RunAlgorithm3(lists.data(0), lists.count(0), lists.data(1), lists.count(1), lists.data(2), lists.count(2),
                    lists.data(3), lists.count(3), lists.data(4), lists.count(4), time, ratio1, ratio2, ratio3,
                    ratio4);
  if (outcome.status != qvalgorithm3status::ok) return false;
  return RVPutReal64(stdlink.load(), outcome.value) != 0;
}

}  // namespace

int _tr0(QVLink* link) noexcept {
  ReadLists lists(link);
  int time = 0;
  double ratios[4] = {};
  const bool read = lists.ReadAll() && RVGetInteger(link, &time) != 0 && RVGetReal(link, &ratios[0]) != 0 &&
                    RVGetReal(link, &ratios[1]) != 0 && RVGetReal(link, &ratios[2]) != 0 &&
                    RVGetReal(link, &ratios[3]) != 0 && RVNewPacket(link) != 0;
  if (!read) return 0;
  return algorithm3(lists, time, ratios[0], ratios[1], ratios[2], ratios[3]) ? 1 : 0;
}

}  // namespace Quorvane
