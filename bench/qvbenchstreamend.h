// One end of a procedural stream device ("Pipes" or "TCP") driven through
// its interface function, for the device benchmarks: data goes in windows,
// acknowledgements are taken when no window is free. Each bench program
// makes and connects its pair of devices its own way (a StreamPair); the
// round trip and the one-way stream are measured here.
#pragma once

#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/qvbenchfloors.h"
#include "device/qvdeviceinstance.h"

namespace qvbench {

using DeviceEntry = long (*)(void* object, Quorvane::qvdeviceselector selector, void* a1, void* a2);

inline void* DeviceAllocate(uint64_t size) { return std::malloc(size); }
inline void DeviceRelease(void* block) { std::free(block); }

struct StreamEnd {
  DeviceEntry entry = nullptr;
  void* world = nullptr;
  void* device = nullptr;
  char* window = nullptr;
  long room = 0;

  long Call(Quorvane::qvdeviceselector selector, void* a1 = nullptr, void* a2 = nullptr) const {
    return entry(device, selector, a1, a2);
  }
  // The world, and a device made from its parameter block.
  void Make(DeviceEntry function, const std::string& block) {
    entry = function;
    entry(&world, Quorvane::QVDEVICE_WORLD_INIT, reinterpret_cast<void*>(&DeviceAllocate),
          reinterpret_cast<void*>(&DeviceRelease));
    std::string copy = block;
    entry(world, Quorvane::QVDEVICE_WORLD_MAKE, &device, copy.data());
    if (device == nullptr) std::abort();
  }
  void Connect() {
    if (Call(Quorvane::QVDEVICE_CONNECT) != 0) std::abort();
    Call(Quorvane::QVDEVICE_WRITE_WINDOW, &window, &room);
  }
  void Close() {
    Call(Quorvane::QVDEVICE_CLOSE);
    entry(world, Quorvane::QVDEVICE_WORLD_DEINIT, nullptr, nullptr);
  }
  void Send(const char* bytes, size_t length) {
    size_t at = 0;
    while (at < length) {
      const size_t count = std::min(length - at, static_cast<size_t>(room));
      std::memcpy(window, bytes + at, count);
      at += count;
      room = static_cast<long>(count);
      Call(Quorvane::QVDEVICE_WRITE, &window, &room);
      while (window == nullptr) {
        char* segment = nullptr;
        long size = 0;
        if (Call(Quorvane::QVDEVICE_READ, &segment, &size) != 0 || segment != nullptr) std::abort();
        Call(Quorvane::QVDEVICE_WRITE_WINDOW, &window, &room);
      }
    }
  }
  // Reads exactly length data bytes (into out when given).
  void Receive(char* out, size_t length) {
    size_t got = 0;
    while (got < length) {
      char* segment = nullptr;
      long size = 0;
      if (Call(Quorvane::QVDEVICE_READ, &segment, &size) != 0) std::abort();
      if (segment == nullptr) continue;
      if (out != nullptr) std::memcpy(out + got, segment, static_cast<size_t>(size));
      got += static_cast<size_t>(size);
    }
  }
  // The peer's part: echo each packet of packet bytes (stream 0), or take
  // each stream of bytes whole and answer one byte; it never returns.
  [[noreturn]] void Serve(size_t packet, size_t stream) {
    std::string buffer(packet, '\0');
    for (;;) {
      if (stream == 0) {
        Receive(buffer.data(), packet);
        Send(buffer.data(), packet);
      } else {
        Receive(nullptr, stream);
        Send("k", 1);
      }
    }
  }
};

// An end here and its peer's end in a forked child that serves it
// (StreamEnd::Serve); the child is stopped and the end closed when it goes.
class StreamPair {
 public:
  StreamPair() = default;
  ~StreamPair() {
    if (child_ > 0) {
      kill(child_, SIGKILL);
      waitpid(child_, nullptr, 0);
    }
    end_.Close();
  }
  StreamPair(const StreamPair&) = delete;
  StreamPair& operator=(const StreamPair&) = delete;
  StreamEnd& end() { return end_; }

 protected:
  StreamEnd end_;
  pid_t child_ = -1;
};

// kPacketBytes there and back; Pair(0) makes an echoing peer.
template <typename Pair>
void StreamRoundTrip(benchmark::State& state) {
  Pair pair(0);
  std::vector<char> packet(kPacketBytes, 'q'), back(kPacketBytes);
  for (auto _ : state) {
    pair.end().Send(packet.data(), kPacketBytes);
    pair.end().Receive(back.data(), kPacketBytes);
  }
}

// state.range(0) MiB of reals one way, answered by one byte; Pair(bytes)
// makes a peer that sinks streams of that many bytes.
template <typename Pair>
void StreamOneWay(benchmark::State& state) {
  const std::vector<double> reals = BulkReals(state);
  const size_t bytes = reals.size() * sizeof(double);
  Pair pair(bytes);
  for (auto _ : state) {
    pair.end().Send(reinterpret_cast<const char*>(reals.data()), bytes);
    char answer = 0;
    pair.end().Receive(&answer, 1);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes));
}

}  // namespace qvbench
