// Arbitrary token sequences through the expression log's function stacks and
// column writer: UTF-8, UTF-16 and UTF-32 text in either byte order with and
// without a mark, bytes, numbers, lists, arrays, errors and date patterns.
// Every run of text is copied into a heap block of exactly its size, so a
// read past it is caught. The same bytes, as what a peer sends, are then read
// by the link log's reader, expression by expression, until the link fails
// (the peer's bytes end wherever they end, often inside an expression).
// The written text is captured: no line may be wider than 80 columns,
// without raw line breaks in the input the column must equal the width of
// the last line, and a read the link ended closes with the line of the
// error the link holds.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "api/qvlink.h"
#include "quorvane.h"
#include "qvfuzzenvironment.h"
#include "qvfuzzpeer.h"
#include "utilities/qvlinklog/qvdateformatter.h"
#include "utilities/qvlinklog/qvexprlog.h"
#include "utilities/qvlinklog/qvlinklog.h"

using namespace Quorvane;

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

class CapturingLog : public QVExprLog {
 public:
  void writeTextToStreams(const QVString& text) override { out.append(text.data(), text.size()); }
  std::string out;
};

class Input {
 public:
  Input(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}
  bool done() const { return p_ == end_; }
  uint8_t byte() { return p_ == end_ ? 0 : *p_++; }
  // Up to n bytes (fewer at the end), copied into a block of exactly that size.
  template <typename T>
  std::unique_ptr<T[]> units(size_t n, size_t* got) {
    n = std::min(n, static_cast<size_t>(end_ - p_) / sizeof(T));
    std::unique_ptr<T[]> block(new T[n]);
    std::memcpy(block.get(), p_, n * sizeof(T));
    p_ += n * sizeof(T);
    *got = n;
    return block;
  }
  template <typename T>
  T value() {
    size_t got = 0;
    auto block = units<T>(1, &got);
    return got == 1 ? block[0] : T{};
  }

 private:
  const uint8_t* p_;
  const uint8_t* end_;
};

template <typename T>
T Swapped(T v) {
  T out = 0;
  for (size_t i = 0; i < sizeof(T); ++i) out = static_cast<T>((out << 8) | ((v >> (8 * i)) & 0xFF));
  return out;
}

// Units with an optional mark in either order, and optionally every unit
// byte-swapped; the block is exactly as long as the units.
template <typename T>
std::unique_ptr<T[]> MarkedUnits(Input& in, uint8_t how, size_t* count) {
  size_t got = 0;
  auto raw = in.units<T>(in.byte() % 48, &got);
  const bool mark = (how & 1) != 0;
  const bool swap = (how & 2) != 0;
  const T bom = static_cast<T>(0xFEFF);
  *count = got + (mark ? 1 : 0);
  std::unique_ptr<T[]> block(new T[*count]);
  size_t i = 0;
  if (mark) block[i++] = swap ? Swapped(bom) : bom;
  for (size_t j = 0; j < got; ++j) block[i++] = swap ? Swapped(raw[j]) : raw[j];
  return block;
}

const char* const kHeads[] = {"f", "List", "g", nullptr};

template <typename T>
void LogArray(CapturingLog& log, qvlogdirection d, Input& in) {
  const int depth = in.byte() % 4;  // 0 included
  int dims[3] = {0, 0, 0};
  size_t elements = depth > 0 ? 1 : 0;
  for (int l = 0; l < depth; ++l) {
    dims[l] = static_cast<int8_t>(in.byte()) % 5;  // negative ones included
    elements *= static_cast<size_t>(std::max(dims[l], 0));
  }
  const char* const* heads = (in.byte() & 1) != 0 ? kHeads + (in.byte() % 4) : nullptr;
  std::unique_ptr<T[]> data(new T[elements]);
  for (size_t i = 0; i < elements; ++i) data[i] = static_cast<T>(in.byte());
  if constexpr (sizeof(T) == 1) {
    log.logInt8Array(d, data.get(), dims, heads, depth);
  } else {
    log.logReal64Array(d, data.get(), dims, heads, depth);
  }
}

void Step(CapturingLog& log, Input& in) {
  const uint8_t op = in.byte();
  const qvlogdirection d = (op & 0x80) != 0 ? QVLogReadDirection : QVLogWriteDirection;
  const qvcharselector s = (op & 0x40) != 0 ? QVLogSymbol : QVLogString;
  size_t n = 0;
  switch (op % 16) {
    case 0: {
      auto head = in.units<char>(in.byte() % 6, &n);
      log.logFunction(d, head.get(), n, in.byte() % 4);
      break;
    }
    case 1:
      log.logFunctionWithAlternateHead(d, in.byte() % 3);
      break;
    case 2: {
      auto bytes = in.units<unsigned char>(in.byte(), &n);
      log.logUTF8Chars(d, s, bytes.get(), static_cast<long>(n));
      break;
    }
    case 3: {
      auto units = MarkedUnits<unsigned short>(in, op >> 4, &n);
      log.logUTF16Chars(d, s, units.get(), static_cast<long>(n));
      break;
    }
    case 4: {
      auto units = MarkedUnits<unsigned int>(in, op >> 4, &n);
      log.logUTF32Chars(d, s, units.get(), static_cast<long>(n));
      break;
    }
    case 5: {
      auto units = in.units<unsigned short>(in.byte() % 32, &n);
      log.logUCS2Chars(d, s, units.get(), static_cast<long>(n));
      break;
    }
    case 6: {
      auto bytes = in.units<char>(in.byte() % 64, &n);
      log.log7BitChars(d, s, bytes.get(), static_cast<long>(n));
      break;
    }
    case 7:
      log.logInt(d, in.value<long>());
      break;
    case 8:
      log.logReal(d, in.value<double>());
      break;
    case 9:
      log.logReal128(d, static_cast<long double>(in.value<double>()));
      break;
    case 10: {
      auto values = in.units<int>(in.byte() % 16, &n);
      log.logInt32List(d, values.get(), n);
      break;
    }
    case 11:
      LogArray<char>(log, d, in);
      break;
    case 12:
      LogArray<double>(log, d, in);
      break;
    case 13: {
      auto text = in.units<char>(in.byte() % 100, &n);
      log.logError(d, QVString(text.get(), n));
      break;
    }
    case 14: {
      auto text = in.units<unsigned char>(in.byte() % 40, &n);
      log.logNumberWithString(d, text.get(), static_cast<int>(n));
      break;
    }
    default: {
      auto pattern = in.units<char>(in.byte() % 40, &n);
      const QVString text = QVDateFormatter::initWithFormat(QVString(pattern.get(), n))
                                .stringFromDate(QVDate(in.value<int32_t>() * 1000.0));
      log.logError(d, text);
      break;
    }
  }
}

void CheckLines(const CapturingLog& log, const uint8_t* data, size_t size) {
  size_t lineStart = 0;
  for (size_t i = 0; i <= log.out.size(); ++i) {
    if (i == log.out.size() || log.out[i] == '\n') {
      Check(i - lineStart <= QVExprLog::maxColumns);
      lineStart = i + 1;
    }
  }
  if (std::memchr(data, '\n', size) == nullptr) {
    const size_t last = log.out.rfind('\n');
    const size_t width = last == std::string::npos ? log.out.size() : log.out.size() - last - 1;
    Check(log.getCurrentColumn() == width);
  }
}

// The line that ends a read the link failed, for the error the link holds;
// a code without words of its own keeps its sign ("Link Error: -1").
std::string FailureLine(QVLink* link) {
  const long error = RVError(link);
  const char* name = RVName(link);
  const std::string side = std::string("The other side of ") + (name != nullptr ? name : "");
  if (error == 1) return side + " unexpectedly died";
  if (error == 11) return side + " closed the link";
  return "Link Error: " + std::to_string(error);
}

// The reader over a link whose peer sends data: up to 64 expressions, until
// the link fails.
void ReadAsALink(const uint8_t* data, size_t size) {
  qvfuzz::Peer peer{data, size, 0, size > 0 ? data[0] : 0u, 61, std::vector<char>(64), {}};
  QVLink* link =
      qvfuzz::EstablishedLink(QVDeviceInstance::initWithDeviceObjectAndFunction(&peer, &qvfuzz::PeerFunction), false);
  {
    QVSmartPointer<QVLinkLog> reader = QVLinkLog::init();
    auto* capture = new CapturingLog();
    reader->expressionLog() = QVSmartPointer<QVExprLog>(capture);
    bool going = true;
    for (int expressions = 0; going && expressions < 64; ++expressions) {
      going = reader->readAndLogLink(QVLogReadDirection, link);
    }
    CheckLines(*capture, data, size);
    if (!going && RVError(link) != 0) {
      std::string text = capture->out;
      text.erase(std::remove(text.begin(), text.end(), '\n'), text.end());
      const std::string line = FailureLine(link);
      Check(text.size() >= line.size() && text.compare(text.size() - line.size(), line.size(), line) == 0);
    }
  }
  long first = 0;
  long second = 0;
  QVDestroy(link, &first, &second);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CapturingLog log;
  Input in(data, size);
  for (int steps = 0; !in.done() && steps < 400; ++steps) Step(log, in);
  CheckLines(log, data, size);
  ReadAsALink(data, size);
  return 0;
}
