// How long a listener's RVConnect takes to answer that the link is lost when
// its connector was killed while it waited in its connect (this program run
// again as the connector, told apart by its first word), per device; beside
// it, the floor: the same connect with the connector alive, which succeeds.
// And how long a wait for activity on a connected link (RVWaitForLinkActivity,
// asleep: nothing comes) takes to return once its peer has been killed, from
// the moment SIGKILL is sent, per device side by side.
// One connect or wait per repetition; the median over the repetitions is the
// figure.
#include <benchmark/benchmark.h>
#include <limits.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <thread>

#include "quorvane.h"
#include "support/qvconnectorchild.h"
#include "support/qvprivatenetwork.h"
#include "support/qvtest.h"

namespace {

constexpr char kConnectorWord[] = "--connector";
constexpr int kRepetitions = 15;
constexpr long kLinkLost = 1;

bool gPrivateNetwork = false;

std::string ConnectorCommand() {
  char path[PATH_MAX] = {};
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  return std::string(path, n > 0 ? static_cast<size_t>(n) : 0) + " " + kConnectorWord;
}

// Ends a connect that would wait for ever, so that a fault shows as an error
// (once: the later repetitions of that row are skipped at once).
constexpr auto kGiveUpAfter = std::chrono::seconds(10);
std::chrono::steady_clock::time_point gGiveUpAt;
bool gGaveUp = false;
int UntilGiveUp(void*, QVYieldParams*) {
  if (std::chrono::steady_clock::now() < gGiveUpAt) return 0;
  gGaveUp = true;
  return 1;
}
std::set<std::string> gHung;

// Each repetition: an environment and a listening link of the kind with this
// program as its connector, handed to measure, which answers what went
// wrong ("" when nothing did). The first failure ends the row.
template <typename Measure>
void EachRepetition(benchmark::State& state, const qvtest::ListenerKind& kind, const std::string& row,
                    Measure&& measure) {
  if (kind.anyAddress && !gPrivateNetwork) {
    state.SkipWithError("no private network namespace: the listener would bind this machine's interfaces");
    return;
  }
  const std::string command = ConnectorCommand();
  for (auto _ : state) {
    RVEnvironment* environment = RVInitialize(nullptr);
    if (environment == nullptr) {
      state.SkipWithError("no environment");
      break;
    }
    std::string failure;
    {
      qvtest::ListenerWithConnector peer(environment, kind, command, qvtest::PrivateRoot());
      QVLink* link = peer.link();
      failure = link == nullptr ? peer.failure() : measure(peer, link);
      if (link != nullptr) RVClose(link);
    }
    RVDeinitialize(environment);
    if (!failure.empty()) {
      std::fprintf(stderr, "%s: %s\n", row.c_str(), failure.c_str());
      state.SkipWithError(failure.c_str());
      break;
    }
  }
}

void BM_ListenerConnect(benchmark::State& state, const char* kindName, bool killed) {
  const std::string row = std::string(kindName) + (killed ? " killed" : " alive");
  if (gHung.count(row) != 0) {
    state.SkipWithError("RVConnect did not answer before the yield function gave up");
    return;
  }
  EachRepetition(state, qvtest::ListenerKindNamed(kindName), row,
                 [&](qvtest::ListenerWithConnector& peer, QVLink* link) -> std::string {
                   if (killed && !peer.KillConnector()) return "the connector outlived SIGKILL";
                   gGiveUpAt = std::chrono::steady_clock::now() + kGiveUpAfter;
                   gGaveUp = false;
                   RVSetYieldFunction(link, &UntilGiveUp);
                   const auto start = std::chrono::steady_clock::now();
                   const int connected = RVConnect(link);
                   state.SetIterationTime(
                       std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
                   if (gGaveUp) {
                     gHung.insert(row);
                     return "RVConnect did not answer before the yield function gave up (the connector: " +
                            peer.told().stage + ")";
                   }
                   if (killed ? connected != 0 || RVError(link) != kLinkLost : connected != 1) {
                     return "RVConnect answered " + std::to_string(connected) + ", error " +
                            std::to_string(RVError(link));
                   }
                   return "";
                 });
}

// The peer is killed while this side sleeps in its wait: a little later than
// the wait began, so that it is asleep by then.
constexpr auto kKillAfter = std::chrono::milliseconds(30);

void BM_WaitWhenPeerKilled(benchmark::State& state, const char* kindName) {
  EachRepetition(state, qvtest::ListenerKindNamed(kindName), kindName,
                 [&](qvtest::ListenerWithConnector& peer, QVLink* link) -> std::string {
                   gGiveUpAt = std::chrono::steady_clock::now() + kGiveUpAfter;
                   if (RVSetYieldFunction(link, &UntilGiveUp) == 0 || RVConnect(link) != 1) {
                     return "RVConnect failed, error " + std::to_string(RVError(link));
                   }
                   RVSetYieldFunction(link, nullptr);
                   std::chrono::steady_clock::time_point sent;
                   bool killed = false;
                   std::thread killer([&] {
                     std::this_thread::sleep_for(kKillAfter);
                     sent = std::chrono::steady_clock::now();
                     killed = peer.KillConnector();
                   });
                   const int answer = RVWaitForLinkActivity(link);
                   const auto returned = std::chrono::steady_clock::now();
                   killer.join();
                   if (!killed) return "the connector outlived SIGKILL";
                   if (answer != 1 || returned < sent) {
                     return "the wait answered " + std::to_string(answer) + " before the peer was killed";
                   }
                   state.SetIterationTime(std::chrono::duration<double>(returned - sent).count());
                   return "";
                 });
}

void Register() {
  for (const qvtest::ListenerKind& kind : qvtest::kListenerKinds) {
    const std::string name = std::string("BM_WaitWhenPeerKilled/") + kind.name;
    benchmark::RegisterBenchmark(name.c_str(), &BM_WaitWhenPeerKilled, kind.name)
        ->UseManualTime()
        ->Iterations(1)
        ->Repetitions(kRepetitions)
        ->ReportAggregatesOnly(true)
        ->Unit(benchmark::kMillisecond);
  }
  for (const qvtest::ListenerKind& kind : qvtest::kListenerKinds) {
    for (const bool killed : {true, false}) {
      const std::string name = std::string("BM_ListenerConnect/") + kind.name + (killed ? "/killed" : "/alive");
      benchmark::RegisterBenchmark(name.c_str(), &BM_ListenerConnect, kind.name, killed)
          ->UseManualTime()
          ->Iterations(1)
          ->Repetitions(kRepetitions)
          ->ReportAggregatesOnly(true)
          ->Unit(benchmark::kMillisecond);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], kConnectorWord) == 0) return qvtest::ConnectorMain(argc - 1, argv + 1);
  // Before any thread: a network of this process's own for the TCP listener.
  gPrivateNetwork = qvtest::EnterPrivateNetwork();
  const std::string root = qvtest::PrivateRoot();
  setenv("QUORVANE_TMPDIR", root.c_str(), 1);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  Register();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  qvtest::RemoveTree(root);
  return 0;
}
