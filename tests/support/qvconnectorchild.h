// The connecting side of a link in a process of its own, stopped at a known
// point: a program (started by the test, or launched by a listening link)
// opens its link from its words, tells the test through a FIFO once it waits
// in its connect, and is then killed there. What a listener's connect does
// with a peer that died at that point is what the tests and benchmarks see.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>

namespace qvtest {

// Body of the connector program: argv[1] names the FIFO, the words after it
// open the link (for a launched program, the words its launch appended). It
// writes one line, its process id, a blank and how far it got ("waiting": its
// connect called the yield function, so it waits for the listener;
// "connected" or "failed N": its connect ended first; "unopened N"), and then
// waits to be killed, for a minute at most.
int ConnectorMain(int argc, char** argv);

// The test's end of the connector's FIFO, in a folder of its own below dir.
class ConnectorReport {
 public:
  explicit ConnectorReport(const std::string& dir);
  ~ConnectorReport();
  ConnectorReport(const ConnectorReport&) = delete;
  ConnectorReport& operator=(const ConnectorReport&) = delete;

  const std::string& path() const { return fifo_; }
  // The connector's line, or pid 0 when none came within the deadline.
  struct Line {
    pid_t pid = 0;
    std::string stage;
  };
  Line Await(std::chrono::milliseconds within);

 private:
  std::string folder_;
  std::string fifo_;
  int fd_ = -1;
};

// Kills the process with SIGKILL and waits until it has ended: reaped here
// when reap is set (a child of the caller's own), else until it is gone or a
// zombie its parent has still to reap. False when it has not by the deadline.
bool KillAndAwaitEnd(pid_t pid, bool reap, std::chrono::milliseconds within = std::chrono::seconds(10));

}  // namespace qvtest
