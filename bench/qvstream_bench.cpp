// Throughput of a link's byte plumbing for 1 MiB, beside floors measured in
// the same run:
// - loopback (device stack with its 2048-byte window over a queue stack): put
//   with putn and got with the queue stack's getn, or byte by byte through
//   qvs__putc_fast and the inline reader, against memcpy twice (the plumbing
//   makes one copy in and one out);
// - over scripted devices paired back to back on a socketpair (a writer
//   thread, the reader here), against a raw socketpair written and read in
//   the same piece size.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <thread>
#include <vector>

#include "api/qvstream.h"
#include "datastructures/qvqueuestack.h"
#include "support/qvlinkharness.h"
#include "support/qvscripteddevice.h"

namespace {

constexpr int64_t kMiB = int64_t{1} << 20;
constexpr long kPiece = 65536;  // device windows, read windows and raw socket pieces
constexpr size_t kSkew = 64;    // keeps source and destination off the same page offset

std::vector<unsigned char> Payload(size_t n) {
  std::vector<unsigned char> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<unsigned char>(i * 131 + 7);
  return v;
}

void BM_MemcpyTwice(benchmark::State& state) {
  const auto n = static_cast<size_t>(kMiB);
  auto src = Payload(n);
  std::vector<unsigned char> mid_store(n + kSkew), dst_store(n + 2 * kSkew);
  unsigned char* mid = mid_store.data() + kSkew;
  unsigned char* dst = dst_store.data() + 2 * kSkew;
  for (auto _ : state) {
    std::memcpy(mid, src.data(), n);
    benchmark::ClobberMemory();
    std::memcpy(dst, mid, n);
    benchmark::DoNotOptimize(dst);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * kMiB);
}
BENCHMARK(BM_MemcpyTwice);

void BM_LoopbackPutnGetn(benchmark::State& state) {
  auto link = qvtest::LinkPlumbing::Loopback();
  auto src = Payload(kMiB);
  std::vector<unsigned char> dst_store(kMiB + kSkew);
  unsigned char* dst = dst_store.data() + kSkew;
  for (auto _ : state) {
    long error = 0;
    qvs__putn(link->device(), link->base(), src.data(), kMiB, &error);
    qvs__flush_(link->device(), link->base());
    const int64_t got = __qvqk__getn(link->device(), link->queues(), dst, kMiB, &error);
    if (got != kMiB) state.SkipWithError("short read");
    benchmark::DoNotOptimize(dst);
  }
  state.SetBytesProcessed(state.iterations() * kMiB);
}
BENCHMARK(BM_LoopbackPutnGetn);

// Byte at a time, the floor: a plain pointer loop storing each byte, and one
// reading each byte back (as a decoder does: into a sum).
void BM_PointerLoops(benchmark::State& state) {
  auto src = Payload(kMiB);
  std::vector<unsigned char> mid(kMiB);
  for (auto _ : state) {
    unsigned char* out = mid.data();
    for (unsigned char c : src) {
      *out++ = c;
      benchmark::ClobberMemory();
    }
    unsigned sum = 0;
    for (const unsigned char* p = mid.data(); p < mid.data() + kMiB;) {
      sum += *p++;
      benchmark::DoNotOptimize(sum);
    }
  }
  state.SetBytesProcessed(state.iterations() * kMiB);
}
BENCHMARK(BM_PointerLoops);

unsigned ReadBytewise(device_kebab* device, qv_queue_stack* queues) {
  unsigned sum = 0;
  long error = 0;
  for (int64_t i = 0; i < kMiB; ++i) {
    sum += static_cast<unsigned>(qvqk_getc_inline(device, queues, &error));
    benchmark::DoNotOptimize(sum);
  }
  return sum;
}

void WriteBytewise(device_kebab* device, _queue* queue, const std::vector<unsigned char>& src) {
  for (unsigned char c : src) qvs__putc_fast(device, queue, c);
  qvs__flush_(device, queue);
}

void BM_LoopbackBytewise(benchmark::State& state) {
  auto link = qvtest::LinkPlumbing::Loopback();
  auto src = Payload(kMiB);
  for (auto _ : state) {
    WriteBytewise(link->device(), link->base(), src);
    benchmark::DoNotOptimize(ReadBytewise(link->device(), link->queues()));
  }
  state.SetBytesProcessed(state.iterations() * kMiB);
}
BENCHMARK(BM_LoopbackBytewise);

void WriteAllRaw(int fd, const unsigned char* p, int64_t n) {
  while (n > 0) {
    const ssize_t k = ::write(fd, p, static_cast<size_t>(std::min<int64_t>(n, kPiece)));
    if (k <= 0) return;
    p += k;
    n -= k;
  }
}

void BM_SocketpairWriteRead(benchmark::State& state) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return state.SkipWithError("socketpair");
  auto src = Payload(kMiB);
  std::vector<unsigned char> dst(kMiB);
  for (auto _ : state) {
    std::thread writer(WriteAllRaw, fds[0], src.data(), kMiB);
    int64_t got = 0;
    while (got < kMiB) {
      const ssize_t k = ::read(fds[1], dst.data() + got, static_cast<size_t>(std::min<int64_t>(kMiB - got, kPiece)));
      if (k <= 0) break;
      got += k;
    }
    writer.join();
    benchmark::DoNotOptimize(dst.data());
  }
  state.SetBytesProcessed(state.iterations() * kMiB);
  close(fds[0]);
  close(fds[1]);
}
BENCHMARK(BM_SocketpairWriteRead)->UseRealTime();

// Two links over a back-to-back pair of scripted devices.
struct DevicePair {
  std::unique_ptr<qvtest::ScriptedDevice> writer_device, reader_device;
  std::unique_ptr<qvtest::LinkPlumbing> writer, reader;
  DevicePair() {
    qvtest::ScriptedOptions options;
    options.windowSize = kPiece;
    options.readSize = kPiece;
    std::tie(writer_device, reader_device) = qvtest::ScriptedDevice::MakePair(options, options);
    writer = qvtest::LinkPlumbing::OverDevice(writer_device->TakeInstance());
    reader = qvtest::LinkPlumbing::OverDevice(reader_device->TakeInstance());
  }
  ~DevicePair() {
    writer.reset();  // closes the writer's device, so the reader's sees the end
    reader.reset();
  }
};

void BM_ScriptedPutnGetn(benchmark::State& state) {
  DevicePair pair;
  if (!pair.writer || !pair.reader) return state.SkipWithError("no device");
  auto src = Payload(kMiB);
  std::vector<unsigned char> dst(kMiB);
  for (auto _ : state) {
    std::thread writer([&] {
      long error = 0;
      qvs__putn(pair.writer->device(), pair.writer->base(), src.data(), kMiB, &error);
      qvs__flush_(pair.writer->device(), pair.writer->base());
    });
    long error = 0;
    const int64_t got = __qvqk__getn(pair.reader->device(), pair.reader->queues(), dst.data(), kMiB, &error);
    writer.join();
    if (got != kMiB) state.SkipWithError("short read");
    benchmark::DoNotOptimize(dst.data());
  }
  state.SetBytesProcessed(state.iterations() * kMiB);
}
BENCHMARK(BM_ScriptedPutnGetn)->UseRealTime();

void BM_ScriptedBytewise(benchmark::State& state) {
  DevicePair pair;
  if (!pair.writer || !pair.reader) return state.SkipWithError("no device");
  auto src = Payload(kMiB);
  for (auto _ : state) {
    std::thread writer([&] { WriteBytewise(pair.writer->device(), pair.writer->base(), src); });
    benchmark::DoNotOptimize(ReadBytewise(pair.reader->device(), pair.reader->queues()));
    writer.join();
  }
  state.SetBytesProcessed(state.iterations() * kMiB);
}
BENCHMARK(BM_ScriptedBytewise)->UseRealTime();

}  // namespace
