// Bulk through the public string calls, between this host and a program it
// launches (quorvane-bench-peer, built and linked as quorvane-algorithm3 is),
// beside a floor of the same transport measured in the same run. This
// program links only the shared library; the launch, connection and
// handshake come before each timed loop.
// - BM_ByteStringOneWay/<device>/MiB:N: one string of N MiB of bytes put
//   whole (RVPutByteString) and got whole by the peer (RVGetByteString),
//   answered by its length and last byte. One transfer before the timed
//   loop: the first a process receives pays for fresh pages.
// - BM_UTF8StringOneWay/<device>/MiB:N: the same through RVPutUTF8String and
//   RVGetUTF8String, the text all 7-bit letters.
// Floors: BM_FloorMemcpy (SharedMemory) and BM_FloorRawTcpStream (TCP and
// TCPIP) of the same N MiB, BM_FloorRawPipeStream (Pipes).
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "bench/qvbenchfloors.h"
#include "bench/qvbenchlaunch.h"
#include "bench/qvbenchpeer.h"

namespace {

using qvbench::Device;

enum class Text { kBytes, kUTF8 };

std::vector<unsigned char> BulkText(const benchmark::State& state, Text kind) {
  std::vector<unsigned char> text(static_cast<size_t>(state.range(0) * qvbench::kMiB));
  for (size_t i = 0; i < text.size(); ++i) {
    text[i] = kind == Text::kBytes ? static_cast<unsigned char>(i * 131 + (i >> 8)) : static_cast<unsigned char>('a' + i % 26);
  }
  return text;
}

bool PutText(QVLink* link, Text kind, const std::vector<unsigned char>& text) {
  if (kind == Text::kBytes) return RVPutByteString(link, text.data(), static_cast<long>(text.size())) == 1;
  return RVPutUTF8String(link, text.data(), static_cast<int>(text.size())) == 1;
}

// The peer's answer: List[length, last unit].
bool AnswerMatches(QVLink* link, const std::vector<unsigned char>& text) {
  const char* head = nullptr;
  int count = 0;
  long length = 0;
  int last = 0;
  const bool read = RVGetFunction(link, &head, &count) == 1;
  if (read) RVReleaseSymbol(link, head);
  return read && count == 2 && RVGetInteger64(link, &length) == 1 && RVGetInteger32(link, &last) == 1 &&
         length == static_cast<long>(text.size()) && last == text.back();
}

void BM_TextOneWay(benchmark::State& state, Device device, Text kind) {
  const std::vector<unsigned char> text = BulkText(state, kind);
  qvbench::LaunchedProgram peer(device, qvbench::PeerCommand(kind == Text::kBytes ? "bytes" : "utf8"));
  QVLink* link = peer.link();
  if (link == nullptr) return state.SkipWithError(peer.failure().c_str());
  const auto once = [&] {
    return PutText(link, kind, text) && RVEndPacket(link) == 1 && RVFlush(link) == 1 && AnswerMatches(link, text);
  };
  // One transfer before the timed ones, as the floors touch their buffers
  // first: the first text a process receives pays for fresh pages.
  if (!once()) {
    peer.Fail("first string");
    return state.SkipWithError(peer.failure().c_str());
  }
  for (auto _ : state) {
    if (!once()) {
      peer.Fail("string");
      return state.SkipWithError(peer.failure().c_str());
    }
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}

void BM_ByteStringOneWay(benchmark::State& state, Device device) { BM_TextOneWay(state, device, Text::kBytes); }
void BM_UTF8StringOneWay(benchmark::State& state, Device device) { BM_TextOneWay(state, device, Text::kUTF8); }

BENCHMARK_CAPTURE(BM_ByteStringOneWay, SharedMemory, Device::kSharedMemory)->Apply(qvbench::OneWaySizes);
BENCHMARK_CAPTURE(BM_UTF8StringOneWay, SharedMemory, Device::kSharedMemory)->Apply(qvbench::OneWaySizes);
BENCHMARK(qvbench::BM_FloorMemcpy)->Apply(qvbench::OneWaySizes);
BENCHMARK_CAPTURE(BM_ByteStringOneWay, TCPIP, Device::kTCPIP)->Apply(qvbench::OneWaySizes);
BENCHMARK_CAPTURE(BM_UTF8StringOneWay, TCPIP, Device::kTCPIP)->Apply(qvbench::OneWaySizes);
BENCHMARK_CAPTURE(BM_ByteStringOneWay, TCP, Device::kTCP)->Apply(qvbench::OneWaySizes);
BENCHMARK(qvbench::BM_FloorRawTcpStream)->Apply(qvbench::OneWaySizes);
BENCHMARK_CAPTURE(BM_ByteStringOneWay, Pipes, Device::kPipes)->Apply(qvbench::OneWaySizes);
BENCHMARK(qvbench::BM_FloorRawPipeStream)->Apply(qvbench::OneWaySizes);

}  // namespace
