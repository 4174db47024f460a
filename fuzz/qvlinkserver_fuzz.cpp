// Arbitrary sequences of connections through the link server's intake: open,
// feed identification bytes (free bytes or a line of one of a few ids, maybe
// with one byte changed) in pieces of any size, hang up, let time pass. The
// matcher must agree with a plain reading of the line format, every
// connection must end closed or paired exactly once, a pair must join a data
// and a message half of one id, and nothing closed may ever be paired.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "network/qvlinkserverheaders.h"

namespace {

using namespace Quorvane;

enum class State { gathering, waiting, closed, paired };

struct Model {
  std::vector<State> states;
  std::vector<std::string> lines;  // what each connection has sent so far
  std::vector<std::string> plans;  // the line a templated connection sends
  std::vector<QVIntakeClock::time_point> accepted;
};

// The line format read plainly, independent of the matcher.
std::optional<std::pair<std::string, bool>> PlainReading(const std::string& line) {
  if (line.size() != kIdentificationLineSize || line.find('\0') != std::string::npos) return std::nullopt;
  if (line.substr(0, 2) != "id" || line.substr(40, 10) != "connection") return std::nullopt;
  const std::string kind = line.substr(51);
  if (kind != "data" && kind != "mesg") return std::nullopt;
  return std::make_pair(line.substr(3, 36), kind == "data");
}

std::string Template(uint8_t choice, uint8_t mutation, uint8_t value) {
  static const char* const kIds[] = {"0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0", "11111111-2222-3333-4444-555555555555",
                                     "AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE"};
  std::string line = std::string("id=") + kIds[choice % 3] + " connection=" + ((choice & 4) != 0 ? "mesg" : "data");
  if ((choice & 8) != 0) line[mutation % kIdentificationLineSize] = static_cast<char>(value);
  return line;
}

class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool more() const { return at_ < size_; }
  uint8_t Byte() { return more() ? data_[at_++] : 0; }
  std::string Bytes(size_t count) {
    count = std::min(count, size_ - at_);
    std::string taken(reinterpret_cast<const char*>(data_ + at_), count);
    at_ += count;
    return taken;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Reader in(data, size);
  Model model;
  QVHeaderIntake<int> intake(std::chrono::seconds(5));
  QVPairingTable<int> table;
  auto now = QVIntakeClock::time_point{};

  auto close = [&](int c) {
    if (model.states[c] == State::closed || model.states[c] == State::paired) std::abort();
    model.states[c] = State::closed;
  };
  auto pair = [&](int d, int m) {
    for (int c : {d, m}) {
      if (model.states[c] != State::waiting && model.states[c] != State::gathering) std::abort();
      model.states[c] = State::paired;
    }
    auto dataLine = PlainReading(model.lines[d]);
    auto mesgLine = PlainReading(model.lines[m]);
    if (!dataLine || !mesgLine || !dataLine->second || mesgLine->second) std::abort();
    if (dataLine->first != mesgLine->first) std::abort();
  };
  auto complete = [&](size_t index) {
    auto entry = intake.Take(index);
    const int c = entry.connection;
    auto plain = PlainReading(model.lines[c]);
    auto matched = entry.line.Match();
    if (plain.has_value() != matched.has_value()) std::abort();
    if (matched && (ToStdString(matched->id) != plain->first ||
                    (matched->kind == QVConnectionKind::data) != plain->second)) {
      std::abort();
    }
    model.states[c] = State::waiting;
    QVSettleConnection(table, entry.line, c, close, pair);
  };
  auto feed = [&](size_t index, const std::string& bytes) {
    auto& entry = intake[index];
    const size_t count = std::min(bytes.size(), entry.line.Missing());
    std::memcpy(entry.line.Tail(), bytes.data(), count);
    entry.line.Took(count);
    model.lines[entry.connection] += bytes.substr(0, count);
    if (entry.line.CompleteQ()) complete(index);
  };

  while (in.more() && model.states.size() < 64) {
    const uint8_t op = in.Byte();
    switch (op % 5) {
      case 0:
        model.states.push_back(State::gathering);
        model.lines.emplace_back();
        model.plans.push_back(Template(in.Byte(), in.Byte(), in.Byte()));
        model.accepted.push_back(now);
        intake.Add(static_cast<int>(model.states.size() - 1), now);
        break;
      case 1:
      case 2: {
        if (intake.size() == 0) break;
        const size_t index = in.Byte() % intake.size();
        const size_t piece = 1 + in.Byte() % 64;
        if (op % 5 == 1) {
          feed(index, in.Bytes(piece));
        } else {
          const int c = intake[index].connection;
          feed(index, model.plans[c].substr(model.lines[c].size(), piece));
        }
        break;
      }
      case 3: {
        if (intake.size() == 0) break;
        auto entry = intake.Take(in.Byte() % intake.size());
        close(entry.connection);
        break;
      }
      default:
        now += std::chrono::milliseconds(100 * in.Byte());
        intake.Expire(now, close);
        // Nobody still gathering is past the allowance.
        for (size_t c = 0; c < model.states.size(); ++c) {
          if (model.states[c] == State::gathering && model.accepted[c] + std::chrono::seconds(5) <= now) std::abort();
        }
        break;
    }
    size_t waiting = 0;
    for (State s : model.states) waiting += s == State::waiting ? 1 : 0;
    if (waiting != table.size()) std::abort();
  }
  table.Drain(close);
  intake.Drain(close);
  for (State s : model.states) {
    if (s != State::closed && s != State::paired) std::abort();
  }
  return 0;
}
