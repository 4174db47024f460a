// Two processes joined by a shared-memory link opened by name and mode. A
// forked server answers each CallPacket at once with ReturnPacket[a real].
// Measured beside their floors in the same run:
// - an Algorithm3-shaped call (five lists of 250 reals, an integer, four
//   reals in; one real out) against a futex ping-pong between two processes;
// - a 64 MiB list of reals one way (answered by one real once all is read)
//   against memcpy of 64 MiB.
// Lists go either as one packed array token each (what a host sends for a
// list of machine reals) or as a List function of single reals (what the
// public puts can write); the server reads both with the list get.
#include <benchmark/benchmark.h>
#include <linux/futex.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "api/qvlink.h"
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

// Writes a list of reals as a packed array token, or as List[r1, r2, ...].
bool PutReals(QVLink* link, const std::vector<double>& values, bool packed) {
  if (packed) return qvcodec::PutPackedList(link, values.data(), kReal64, static_cast<int64_t>(values.size()));
  bool ok = RVPutFunction(link, "List", static_cast<int>(values.size())) == 1;
  for (double value : values) ok = ok && RVPutReal64(link, value);
  return ok;
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

bool PutAlgorithmCall(QVLink* link, bool packed) {
  bool ok = RVPutFunction(link, "CallPacket", 2) && RVPutInteger(link, kAlgorithmCall) &&
            RVPutFunction(link, "List", kLists + 5);
  for (int list = 0; list < kLists && ok; ++list) ok = PutReals(link, Series(), packed);
  ok = ok && RVPutInteger(link, 3);
  for (double ratio : {0.4, 0.3, 0.2, 0.1}) ok = ok && RVPutReal64(link, ratio);
  return ok && RVEndPacket(link) && RVFlush(link);
}

bool PutBulk(QVLink* link, bool packed, int kind) {
  const bool ok = RVPutFunction(link, "CallPacket", 2) && RVPutInteger(link, kind) && PutReals(link, Bulk(), packed);
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

void BM_SharedMemoryAlgorithm3Call(benchmark::State& state) {
  ServedLink served;
  if (served.link() == nullptr) return state.SkipWithError("link not established");
  const bool packed = state.range(0) != 0;
  for (auto _ : state) {
    if (!PutAlgorithmCall(served.link(), packed)) return state.SkipWithError("call not sent");
    if (ReadAnswer(served.link()) != 0.1) return state.SkipWithError("wrong answer");
  }
}
BENCHMARK(BM_SharedMemoryAlgorithm3Call)->ArgName("packed")->Arg(1)->Arg(0)->UseRealTime();

// ---- floor: one word bounced between two processes through futexes ----

long Futex(std::atomic<int>* word, int operation, int value) {
  return syscall(SYS_futex, reinterpret_cast<int*>(word), operation, value, nullptr, nullptr, 0);
}

// Waits while the word holds value.
void WaitWhile(std::atomic<int>* word, int value) {
  while (word->load(std::memory_order_acquire) == value) Futex(word, FUTEX_WAIT, value);
}

void Set(std::atomic<int>* word, int value) {
  word->store(value, std::memory_order_release);
  Futex(word, FUTEX_WAKE, 1);
}

void BM_FutexPingPongFloor(benchmark::State& state) {
  void* memory = mmap(nullptr, sizeof(std::atomic<int>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return state.SkipWithError("no shared mapping");
  auto* word = new (memory) std::atomic<int>(0);  // 0 idle, 1 ping, 2 pong, 3 stop
  const pid_t child = fork();
  if (child == 0) {
    for (;;) {
      WaitWhile(word, 0);
      WaitWhile(word, 2);
      if (word->load() == 3) _exit(0);
      Set(word, 2);
    }
  }
  for (auto _ : state) {
    Set(word, 1);
    WaitWhile(word, 1);
  }
  Set(word, 3);
  waitpid(child, nullptr, 0);
  munmap(memory, sizeof(std::atomic<int>));
}
BENCHMARK(BM_FutexPingPongFloor)->UseRealTime();

void BM_SharedMemory64MiBOneWay(benchmark::State& state) {
  Bulk();
  ServedLink served;
  if (served.link() == nullptr) return state.SkipWithError("link not established");
  const double last = Bulk().back();
  const bool packed = state.range(0) != 0;
  const int kind = state.range(1) != 0 ? kBulkIntoBufferCall : kBulkCall;
  for (auto _ : state) {
    if (!PutBulk(served.link(), packed, kind)) return state.SkipWithError("list not sent");
    if (ReadAnswer(served.link()) != last) return state.SkipWithError("wrong answer");
  }
  state.SetBytesProcessed(state.iterations() * kBulkReals * static_cast<int64_t>(sizeof(double)));
}
// into_buffer:1 reads the list stepwise into a buffer the server keeps;
// into_buffer:0 gets it whole in a block of its own, freshly allocated.
BENCHMARK(BM_SharedMemory64MiBOneWay)
    ->ArgNames({"packed", "into_buffer"})
    ->Args({1, 1})
    ->Args({1, 0})
    ->Args({0, 0})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

void BM_Memcpy64MiBFloor(benchmark::State& state) {
  const std::vector<double>& source = Bulk();
  std::vector<double> target(source.size());
  for (auto _ : state) {
    std::memcpy(target.data(), source.data(), source.size() * sizeof(double));
    benchmark::DoNotOptimize(target.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * kBulkReals * static_cast<int64_t>(sizeof(double)));
}
BENCHMARK(BM_Memcpy64MiBFloor)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
