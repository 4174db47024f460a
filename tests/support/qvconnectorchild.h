// The connecting side of a link in a process of its own, stopped at a known
// point: a program (started here, or launched by a listening link) opens its
// link from its words, tells through a FIFO once it waits in its connect, and
// may then be killed there. What a listener's connect does with a peer that
// died at that point is what the tests and benchmarks see.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>

#include "quorvane.h"

namespace qvtest {

// Body of the connector program: argv[1] names the FIFO, the words after it
// open the link (for a launched program, the words its launch appended). It
// writes one line, its process id, a blank and how far it got ("waiting": its
// connect called the yield function, so it waits for the listener;
// "connected" or "failed N": its connect ended first; "unopened N"), and then
// waits to be killed, for a minute at most. With kEchoWord before the link's
// words, a connected program instead answers one integer with the next one,
// tells "answered" once its flush has returned (its only line unless a step
// failed), reads until its link closes and exits 0 (another status when a
// step fails).
inline constexpr char kEchoWord[] = "--echo";
int ConnectorMain(int argc, char** argv);

// The reading end of the connector's FIFO, in a folder of its own below dir.
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

// How a listening link of one device is opened and its connector started.
struct ListenerKind {
  const char* name;
  // The listener's open string. A launching one gets "-linkname" and the
  // connector's command line after it; a named one gets "-linkname" and a
  // name of this process's own.
  const char* listen;
  bool launches;
  bool named;
  // The connector's words before its "-linkname" (a listening link only).
  const char* connect;
  // The name the connector connects to, from the listener's name.
  std::string (*connectTo)(const std::string& listenerName);
  bool anyAddress;  // the listener binds the any-address
};

// SharedMemory (listening, and launching with the default protocol), Pipes,
// TCP, and TCPIP in its old and its new model, all on loopback.
inline constexpr int kListenerKindCount = 6;
extern const ListenerKind kListenerKinds[kListenerKindCount];
const ListenerKind& ListenerKindNamed(const std::string& name);

// Who is the parent of a connector that the listener does not launch.
enum class ConnectorParent {
  kCaller,     // the caller's process, which reaps it when it is killed
  kNonReaping  // a process between, which does not reap it while the object
               // lives: killed, it stays a zombie until then
};

// A listening link of one kind whose connector waits in its connect: the
// connector is the command (a program and its leading words, without blanks
// in them) followed by the FIFO and the link's words. The connector is
// killed, if still running, when the object goes; the link is the caller's.
// A launched connector's parent is the link's process: kNonReaping is refused.
class ListenerWithConnector {
 public:
  ListenerWithConnector(RVEnvironment* environment, const ListenerKind& kind, const std::string& command,
                        const std::string& dir, ConnectorParent parent = ConnectorParent::kCaller);
  ~ListenerWithConnector();
  ListenerWithConnector(const ListenerWithConnector&) = delete;
  ListenerWithConnector& operator=(const ListenerWithConnector&) = delete;

  // Null, with failure() saying why, when the link could not be opened or
  // the connector never told how far it got.
  QVLink* link() const { return link_; }
  const std::string& failure() const { return failure_; }
  const ConnectorReport::Line& told() const { return told_; }
  // Kills the connector where it waits; false when it did not end.
  bool KillConnector();

 private:
  // The program run by /bin/sh -c line, a child of the caller's; -1 when
  // the fork failed.
  static pid_t StartProgram(const std::string& line);
  // A child of the caller's that starts the program and never reaps it
  // until told (tellKeeper_ closed); -1 when it cannot be started.
  pid_t StartKeeper(const std::string& line);

  ConnectorReport report_;
  QVLink* link_ = nullptr;
  pid_t started_ = 0;      // the connector while it runs
  bool reaped_ = false;    // started_ is the caller's child, reaped by the caller
  pid_t keeper_ = 0;       // the connector's parent that does not reap it
  int tellKeeper_ = -1;    // closed to tell the keeper to reap the connector and end
  ConnectorReport::Line told_;
  std::string failure_;
};

}  // namespace qvtest
