// An Algorithm3-shaped call between two links of one process over scripted
// devices paired back to back (no real device, no second process): the
// codec's and the typed calls' share of a call. A sends CallPacket[List of
// 250 reals (five times), an integer, four reals], a serving thread on B
// reads it with the typed gets and answers ReturnPacket[a real], A reads the
// answer. The floor, in the same run: the same numbers of bytes sent and
// answered over a raw socketpair between two threads, the answer written
// once the whole request has been read. What a host meets (the installable
// program launched over a real device) is measured in qvendtoend_bench.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "api/qvenvironment.h"
#include "api/qvlink.h"
#include "quorvane.h"
#include "support/qvscripteddevice.h"

namespace {

constexpr int kLists = 5;
constexpr int kListLength = 250;
constexpr int kReals = 4;
constexpr int kInteger = 42;

RVEnvironment* Environment() {
  static RVEnvironment* const environment = [] {
    RVEnvironmentParameters* parameters = RVNewParameters(46, 25);
    RVSetDeviceParameter(parameters, "");
    RVEnvironment* made = RVBegin(parameters);
    RVReleaseParameters(parameters);
    return made;
  }();
  return environment;
}

// The environment's table of links takes no lock of its own, so links of one
// environment are destroyed one at a time.
void Destroy(QVLink* link) {
  static std::mutex one_at_a_time;
  const std::lock_guard<std::mutex> hold(one_at_a_time);
  long first = 0;
  long second = 0;
  QVDestroy(link, &first, &second);
}

const std::vector<double>& ListValues() {
  static const std::vector<double> values = [] {
    std::vector<double> v(kListLength);
    for (int i = 0; i < kListLength; ++i) v[i] = 1.0 / (i + 1) - i;
    return v;
  }();
  return values;
}

double CallReal(int i) { return 0.5 * i; }

bool PutCall(QVLink* link) {
  bool ok = RVPutFunction(link, "CallPacket", kLists + 1 + kReals) == 1;
  for (int list = 0; list < kLists; ++list) {
    ok = ok && RVPutFunction(link, "List", kListLength) == 1;
    for (double value : ListValues()) ok = ok && RVPutReal64(link, value) == 1;
  }
  ok = ok && RVPutInteger32(link, kInteger) == 1;
  for (int i = 0; i < kReals; ++i) ok = ok && RVPutReal64(link, CallReal(i)) == 1;
  return ok && RVEndPacket(link) == 1 && RVFlush(link) == 1;
}

bool PutAnswer(QVLink* link, double value) {
  return RVPutFunction(link, "ReturnPacket", 1) == 1 && RVPutReal64(link, value) == 1 && RVEndPacket(link) == 1 &&
         RVFlush(link) == 1;
}

// Serves calls until the link fails (A went away): reads the lists, the
// integer and the reals, answers their sum.
void Serve(QVLink* link) {
  for (;;) {
    if (RVNextPacket(link) != RV_CALL_PACKET) return;
    double sum = 0;
    for (int list = 0; list < kLists; ++list) {
      double* data = nullptr;
      int length = 0;
      if (RVGetReal64List(link, &data, &length) != 1) return;
      for (int i = 0; i < length; ++i) sum += data[i];
      RVReleaseReal64List(link, data, length);
    }
    int integer = 0;
    if (RVGetInteger32(link, &integer) != 1) return;
    sum += integer;
    for (int i = 0; i < kReals; ++i) {
      double value = 0;
      if (RVGetReal64(link, &value) != 1) return;
      sum += value;
    }
    if (!PutAnswer(link, sum)) return;
  }
}

// What the server answers: the sum of everything in the call, in its order.
double Expected() {
  double sum = 0;
  for (int list = 0; list < kLists; ++list) {
    for (double value : ListValues()) sum += value;
  }
  sum += kInteger;
  for (int i = 0; i < kReals; ++i) sum += CallReal(i);
  return sum;
}

double ReadAnswer(QVLink* link) {
  double value = 0;
  if (RVNextPacket(link) != RV_RETURN_PACKET || RVGetReal64(link, &value) != 1) return -1;
  return value;
}

// Two established links over a back-to-back pair, B served by a thread.
struct CallPair {
  std::unique_ptr<qvtest::ScriptedDevice> left, right;
  QVLink* a = nullptr;
  QVLink* b = nullptr;
  std::thread server;

  CallPair() {
    qvtest::ScriptedOptions options;
    options.windowSize = 65536;
    options.readSize = 65536;
    std::tie(left, right) = qvtest::ScriptedDevice::MakePair(options, options);
    a = QVInternalMake(Environment()->globals, left->TakeInstance(), nullptr);
    b = QVInternalMake(Environment()->globals, right->TakeInstance(), nullptr);
    if (a == nullptr || b == nullptr) return;
    int activated = 0;
    std::thread other([&] { activated = RVActivate(b); });
    const bool ok = RVActivate(a) == 1;
    other.join();
    if (!ok || activated != 1) return;
    // The server owns B: when it stops, B goes, and a call waiting on A ends.
    server = std::thread([link = b] {
      Serve(link);
      Destroy(link);
    });
  }
  ~CallPair() {
    if (a != nullptr) Destroy(a);  // B's reads then fail and the server ends
    if (server.joinable()) {
      server.join();
    } else if (b != nullptr) {
      Destroy(b);
    }
  }
  bool ready() const { return server.joinable(); }
};

// The bytes of the call and of the answer as the links write them: the same
// calls on a link over a single scripted device that takes A's token forms.
std::pair<size_t, size_t> MessageSizes(QVLink* a) {
  char features[256];
  if (RVFeatureString(a, features, sizeof features) != 0) return {0, 0};
  auto measure = [&](const std::function<bool(QVLink*)>& put) -> size_t {
    qvtest::ScriptedDevice device;
    QVLink* link = QVInternalMake(Environment()->globals, device.TakeInstance(), nullptr);
    size_t bytes = 0;
    if (link != nullptr && RVEstablishString(link, features) == 1 && put(link)) {
      // Everything was flushed: the device's capture catches up with it.
      size_t before = 0;
      while (device.WaitCaptured(before + 1, std::chrono::milliseconds(50))) before = device.CapturedCount();
      bytes = before;
    }
    if (link != nullptr) Destroy(link);
    return bytes;
  };
  return {measure(PutCall), measure([](QVLink* link) { return PutAnswer(link, 1.0); })};
}

void BM_ScriptedCallRoundTrip(benchmark::State& state) {
  CallPair pair;
  if (!pair.ready()) return state.SkipWithError("links not established");
  const auto [request, answer] = MessageSizes(pair.a);
  const double expected = Expected();
  for (auto _ : state) {
    if (!PutCall(pair.a)) return state.SkipWithError("call not sent");
    if (ReadAnswer(pair.a) != expected) return state.SkipWithError("wrong answer");
  }
  state.counters["request_bytes"] = static_cast<double>(request);
  state.counters["answer_bytes"] = static_cast<double>(answer);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(request + answer));
}
BENCHMARK(BM_ScriptedCallRoundTrip)->UseRealTime();

bool ReadFully(int fd, char* buffer, size_t n) {
  size_t got = 0;
  while (got < n) {
    const ssize_t k = ::read(fd, buffer + got, n - got);
    if (k <= 0) return false;
    got += static_cast<size_t>(k);
  }
  return true;
}

bool WriteFully(int fd, const char* buffer, size_t n) {
  size_t put = 0;
  while (put < n) {
    const ssize_t k = ::write(fd, buffer + put, n - put);
    if (k <= 0) return false;
    put += static_cast<size_t>(k);
  }
  return true;
}

// The floor: the same byte counts as the call, ping-ponged over a socketpair.
void BM_FloorSocketpairRoundTrip(benchmark::State& state) {
  size_t request = 0;
  size_t answer = 0;
  {
    CallPair pair;
    if (!pair.ready()) return state.SkipWithError("links not established");
    std::tie(request, answer) = MessageSizes(pair.a);
  }
  if (request == 0 || answer == 0) return state.SkipWithError("sizes not measured");
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return state.SkipWithError("socketpair");
  std::thread echo([&] {
    std::vector<char> in(request);
    const std::vector<char> out(answer, 'a');
    while (ReadFully(fds[1], in.data(), request) && WriteFully(fds[1], out.data(), answer)) {
    }
  });
  const std::vector<char> out(request, 'r');
  std::vector<char> in(answer);
  for (auto _ : state) {
    if (!WriteFully(fds[0], out.data(), request) || !ReadFully(fds[0], in.data(), answer)) {
      state.SkipWithError("socket failed");
      break;
    }
  }
  ::shutdown(fds[0], SHUT_RDWR);
  echo.join();
  ::close(fds[0]);
  ::close(fds[1]);
  state.counters["request_bytes"] = static_cast<double>(request);
  state.counters["answer_bytes"] = static_cast<double>(answer);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(request + answer));
}
BENCHMARK(BM_FloorSocketpairRoundTrip)->UseRealTime();

}  // namespace
