// Two processes joined by a shared-memory link opened by name and mode; a
// server forked from this program answers each CallPacket at once with
// ReturnPacket[a real]. The lists here go as one packed array token each,
// written by the codec's internal put: what a peer sends for a list of
// machine reals, and a call no host can make (a host's puts write List of
// single reals: see qvendtoend_bench and qvhostdevices_bench). Beside floors
// measured in the same run:
// - BM_SharedMemoryAlgorithm3CallInternalPackedPut: five packed lists of 250
//   reals, an integer and four reals in, one real out; floor
//   BM_FloorFutexPingPong;
// - BM_SharedMemory64MiBInternalPackedPut/get:stepwise|whole: a packed list
//   of 64 MiB of reals one way, read with the public gets stepwise into a
//   buffer the server keeps (stepwise) or whole into a block of its own
//   (whole); floor BM_FloorMemcpy/MiB:64.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "api/qvlink.h"
#include "bench/qvbenchfloors.h"
#include "quorvane.h"
#include "support/qvlistheads.h"

namespace {

constexpr int kLists = 5;
constexpr int kDays = 250;
constexpr int kAlgorithmCall = 0;
constexpr int kBulkCall = 1;
constexpr int kBulkIntoBufferCall = 2;  // read stepwise into the server's own buffer
constexpr long kBulkReals = 64L * 1024 * 1024 / sizeof(double);
constexpr unsigned kReal64 = 246;  // binary type of a machine double

// A list of reals as one packed array token, through the internal put.
bool PutPackedReals(QVLink* link, const std::vector<double>& values) {
  return qvcodec::PutPackedList(link, values.data(), kReal64, static_cast<int64_t>(values.size()));
}

const std::vector<double>& Series() {
  static const std::vector<double> values = [] {
    std::vector<double> v(kDays);
    for (int i = 0; i < kDays; ++i) v[i] = 50.0 + ((i * 37) % 23) * 0.25;
    return v;
  }();
  return values;
}

const std::vector<double>& Bulk() {
  static const std::vector<double> values = [] {
    std::vector<double> v(static_cast<size_t>(kBulkReals));
    for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<double>(i) * 0.5;
    return v;
  }();
  return values;
}

bool PutAlgorithmCall(QVLink* link) {
  bool ok = RVPutFunction(link, "CallPacket", 2) && RVPutInteger(link, kAlgorithmCall) &&
            RVPutFunction(link, "List", kLists + 5);
  for (int list = 0; list < kLists && ok; ++list) ok = PutPackedReals(link, Series());
  ok = ok && RVPutInteger(link, 3);
  for (double ratio : {0.4, 0.3, 0.2, 0.1}) ok = ok && RVPutReal64(link, ratio);
  return ok && RVEndPacket(link) && RVFlush(link);
}

bool PutBulk(QVLink* link, int kind) {
  const bool ok = RVPutFunction(link, "CallPacket", 2) && RVPutInteger(link, kind) && PutPackedReals(link, Bulk());
  return ok && RVEndPacket(link) && RVFlush(link);
}

double ReadAnswer(QVLink* link) {
  double value = -1;
  if (RVNextPacket(link) != RV_RETURN_PACKET || RVGetReal64(link, &value) != 1) return -1;
  return value;
}

// Reads a list of reals with the stepwise array calls into a buffer the
// server keeps from call to call; *last is its last element.
bool ReadIntoBuffer(QVLink* link, double* last) {
  static std::vector<double> buffer(static_cast<size_t>(kBulkReals));
  qvmeter* meter = nullptr;
  long depth = 0;
  int leaf = 0;
  if (RVGetArrayTypeWithDepthAndLeafType(link, nullptr, &meter, &depth, &leaf) != 1) return false;
  long count = kBulkReals;
  const bool ok = depth == 1 && RVGetBinaryNumberArrayDataWithHeads(link, nullptr, meter, buffer.data(), &count,
                                                                    kReal64) == 1;
  RVReleaseGetArrayState(link, nullptr, meter);
  if (!ok || count != kBulkReals) return false;
  *last = buffer.back();
  return true;
}

// Reads one call of any kind; its answer is the last real it held.
bool ReadCall(QVLink* link, double* answer) {
  int kind = -1;
  if (RVNextPacket(link) != RV_CALL_PACKET || RVGetInteger(link, &kind) != 1) return false;
  int count = 0;
  if (kind == kBulkIntoBufferCall) return ReadIntoBuffer(link, answer);
  if (kind == kBulkCall) {
    double* data = nullptr;
    int length = 0;
    if (RVGetReal64List(link, &data, &length) != 1) return false;
    *answer = length > 0 ? data[length - 1] : 0;
    RVReleaseReal64List(link, data, length);
    return true;
  }
  if (RVTestHead(link, "List", &count) != 1) return false;
  for (int list = 0; list < kLists; ++list) {
    double* data = nullptr;
    int length = 0;
    if (RVGetReal64List(link, &data, &length) != 1) return false;
    RVReleaseReal64List(link, data, length);
  }
  int time = 0;
  if (RVGetInteger(link, &time) != 1) return false;
  for (int i = 0; i < 4; ++i) {
    if (RVGetReal64(link, answer) != 1) return false;
  }
  return true;
}

// The server process: connects and answers until the link ends. A server
// that cannot connect says why.
[[noreturn]] void Serve(const std::string& name) {
  RVEnvironment* environment = RVInitialize(nullptr);
  int error = 0;
  const std::string command = "-linkmode connect -linkname " + name;
  QVLink* link = environment != nullptr ? RVOpenString(environment, command.c_str(), &error) : nullptr;
  if (link == nullptr) std::fprintf(stderr, "server: the link did not open (%d)\n", error);
  const bool active = link != nullptr && RVActivate(link) == 1;
  if (link != nullptr && !active) std::fprintf(stderr, "server: the link did not connect (%ld)\n", RVError(link));
  if (active) {
    double answer = 0;
    while (ReadCall(link, &answer)) {
      if (!RVPutFunction(link, "ReturnPacket", 1) || !RVPutReal64(link, answer) || !RVEndPacket(link) ||
          !RVFlush(link)) {
        break;
      }
    }
  }
  if (link != nullptr) RVClose(link);
  if (environment != nullptr) RVDeinitialize(environment);
  _exit(0);
}

// The server of the link being established, and how long it may take.
pid_t connectingServer = -1;
std::chrono::steady_clock::time_point connectDeadline;

// Stops the wait for the server once it has ended (it could not connect) or
// the deadline has passed; the server is not reaped here.
int WhileServerLives(void*, QVYieldParams*) {
  siginfo_t info{};
  const bool ended = waitid(P_PID, static_cast<id_t>(connectingServer), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
                     info.si_pid == connectingServer;
  return ended || std::chrono::steady_clock::now() >= connectDeadline ? 1 : 0;
}

// A served link for one benchmark run: the server is forked before this
// process makes its environment, and reaped when the run ends.
class ServedLink {
 public:
  ServedLink() {
    static int runs = 0;
    const std::string name = "qvshmbench" + std::to_string(getpid()) + "-" + std::to_string(runs++);
    server_ = fork();
    if (server_ == 0) Serve(name);
    if (server_ < 0) return;
    environment_ = RVInitialize(nullptr);
    int error = 0;
    const std::string command = "-linkmode listen -linkname " + name;
    if (environment_ != nullptr) link_ = RVOpenString(environment_, command.c_str(), &error);
    if (link_ == nullptr) return;
    connectingServer = server_;
    connectDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    RVSetYieldFunction(link_, &WhileServerLives);
    const bool active = RVActivate(link_) == 1;
    // The measured waits run without a yield function, as a plain host's do.
    RVSetYieldFunction(link_, nullptr);
    if (!active) {
      RVClose(link_);
      link_ = nullptr;
    }
  }
  ~ServedLink() {
    // The server ends with the link; it is reaped before the environment goes.
    if (link_ != nullptr) RVClose(link_);
    if (server_ > 0) {
      if (link_ == nullptr) kill(server_, SIGKILL);
      waitpid(server_, nullptr, 0);
    }
    if (environment_ != nullptr) RVDeinitialize(environment_);
  }
  ServedLink(const ServedLink&) = delete;
  ServedLink& operator=(const ServedLink&) = delete;
  QVLink* link() const { return link_; }

 private:
  pid_t server_ = -1;
  RVEnvironment* environment_ = nullptr;
  QVLink* link_ = nullptr;
};

void BM_SharedMemoryAlgorithm3CallInternalPackedPut(benchmark::State& state) {
  ServedLink served;
  if (served.link() == nullptr) return state.SkipWithError("link not established");
  for (auto _ : state) {
    if (!PutAlgorithmCall(served.link())) return state.SkipWithError("call not sent");
    if (ReadAnswer(served.link()) != 0.1) return state.SkipWithError("wrong answer");
  }
}
BENCHMARK(BM_SharedMemoryAlgorithm3CallInternalPackedPut)->Apply(qvbench::RoundTrips);

using qvbench::BM_FloorFutexPingPong;
BENCHMARK(BM_FloorFutexPingPong)->Apply(qvbench::RoundTrips);

void BM_SharedMemory64MiBInternalPackedPut(benchmark::State& state, int kind) {
  Bulk();
  ServedLink served;
  if (served.link() == nullptr) return state.SkipWithError("link not established");
  const double last = Bulk().back();
  for (auto _ : state) {
    if (!PutBulk(served.link(), kind)) return state.SkipWithError("list not sent");
    if (ReadAnswer(served.link()) != last) return state.SkipWithError("wrong answer");
  }
  state.SetBytesProcessed(state.iterations() * kBulkReals * static_cast<int64_t>(sizeof(double)));
}
BENCHMARK_CAPTURE(BM_SharedMemory64MiBInternalPackedPut, get:stepwise, kBulkIntoBufferCall)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_SharedMemory64MiBInternalPackedPut, get:whole, kBulkCall)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

using qvbench::BM_FloorMemcpy;
BENCHMARK(BM_FloorMemcpy)->ArgName("MiB")->Arg(64)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
