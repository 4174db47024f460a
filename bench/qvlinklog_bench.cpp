// What a running link log costs the logged link: small packets over an
// "IntraProcess" pair between two threads, measured with and without the log
// of the near end running (its file in a private TMPDIR). The unlogged runs
// are the floor, measured in the same run.
// - a small packet (one integer) there and back;
// - a stream of 1000 small packets one way, answered once at its end.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "quorvane.h"

namespace {

constexpr int kStop = -1;
constexpr int kStreamPackets = 1000;

// A private folder for the log file, named by TMPDIR while it exists.
class PrivateTmpdir {
 public:
  PrivateTmpdir() {
    std::string pattern = "/tmp/qvlogbench.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) return;
    path_ = pattern;
    if (const char* old = std::getenv("TMPDIR")) old_ = old;
    hadOld_ = std::getenv("TMPDIR") != nullptr;
    setenv("TMPDIR", path_.c_str(), 1);
  }
  ~PrivateTmpdir() {
    if (path_.empty()) return;
    if (hadOld_) {
      setenv("TMPDIR", old_.c_str(), 1);
    } else {
      unsetenv("TMPDIR");
    }
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  PrivateTmpdir(const PrivateTmpdir&) = delete;
  PrivateTmpdir& operator=(const PrivateTmpdir&) = delete;
  bool ok() const { return !path_.empty(); }

 private:
  std::string path_;
  std::string old_;
  bool hadOld_ = false;
};

// A connected pair in an environment of its own; the far end is served by a
// thread running serve until it reads kStop or fails. With logged, the near
// end is logged into the file named for it, under the private TMPDIR.
class Pair {
 public:
  Pair(void (*serve)(QVLink*), bool logged) {
    if (!tmpdir_.ok()) return;
    environment_ = RVBegin(nullptr);
    if (environment_ == nullptr) return;
    int error = 0;
    near_ = RVOpenString(environment_, "-linkcreate -linkprotocol IntraProcess", &error);
    if (near_ == nullptr) return;
    const std::string command = std::string("-linkconnect -linkname ") + RVName(near_) + " -linkprotocol IntraProcess";
    far_ = RVOpenString(environment_, command.c_str(), &error);
    if (far_ == nullptr) return;
    server_ = std::thread([this, serve] {
      if (RVConnect(far_) == 1) serve(far_);
    });
    ok_ = RVConnect(near_) == 1 && (!logged || StartLog());
  }
  ~Pair() {
    if (near_ != nullptr) {
      RVPutInteger(near_, kStop);
      RVEndPacket(near_);
      RVFlush(near_);
    }
    if (server_.joinable()) server_.join();
    if (near_ != nullptr) RVClose(near_);  // stops its log first
    if (far_ != nullptr) RVClose(far_);
    if (environment_ != nullptr) RVEnd(environment_);
  }
  Pair(const Pair&) = delete;
  Pair& operator=(const Pair&) = delete;

  bool ok() const { return ok_; }
  QVLink* near() const { return near_; }

 private:
  bool StartLog() {
    char* file = nullptr;
    if (RVLogFileNameForLink(near_, &file) != 1) return false;
    const bool started = RVLogStreamToFile(near_, file) == 1;
    RVReleaseLogFileNameForLink(near_, file);
    return started;
  }

  PrivateTmpdir tmpdir_;
  RVEnvironment* environment_ = nullptr;
  QVLink* near_ = nullptr;
  QVLink* far_ = nullptr;
  std::thread server_;
  bool ok_ = false;
};

bool PutPacket(QVLink* link, int value) {
  return RVPutInteger(link, value) == 1 && RVEndPacket(link) == 1 && RVFlush(link) == 1;
}

void Echo(QVLink* link) {
  for (;;) {
    int value = 0;
    if (RVGetInteger(link, &value) != 1 || value == kStop) return;
    if (!PutPacket(link, value)) return;
  }
}

// Answers the last of each run of kStreamPackets packets.
void Sink(QVLink* link) {
  for (int got = 1;; ++got) {
    int value = 0;
    if (RVGetInteger(link, &value) != 1 || value == kStop) return;
    if (got % kStreamPackets == 0 && !PutPacket(link, value)) return;
  }
}

void BM_RoundTrip(benchmark::State& state) {
  Pair pair(&Echo, state.range(0) != 0);
  if (!pair.ok()) {
    state.SkipWithError("the pair did not connect or its log did not start");
    return;
  }
  int sent = 0;
  for (auto _ : state) {
    int back = 0;
    if (!PutPacket(pair.near(), ++sent) || RVGetInteger(pair.near(), &back) != 1 || back != sent) {
      state.SkipWithError("the echo was wrong");
      break;
    }
  }
}
BENCHMARK(BM_RoundTrip)->ArgName("logged")->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_Stream(benchmark::State& state) {
  Pair pair(&Sink, state.range(0) != 0);
  if (!pair.ok()) {
    state.SkipWithError("the pair did not connect or its log did not start");
    return;
  }
  int sent = 0;
  for (auto _ : state) {
    bool ok = true;
    for (int i = 0; i < kStreamPackets && ok; ++i) ok = PutPacket(pair.near(), ++sent);
    int back = 0;
    if (!ok || RVGetInteger(pair.near(), &back) != 1 || back != sent) {
      state.SkipWithError("the stream did not arrive whole");
      break;
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kStreamPackets);
}
BENCHMARK(BM_Stream)->ArgName("logged")->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
