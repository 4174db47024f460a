#include "qvconnectorchild.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "quorvane.h"
#include "qvtest.h"

namespace qvtest {

namespace {

constexpr unsigned kLifetimeSeconds = 60;

const char* gFifo = nullptr;
bool gTold = false;
bool gEcho = false;  // tells only how its echo went
std::chrono::steady_clock::time_point gGiveUpAt;

// One line into the FIFO, once; the test holds its read end open.
void Tell(const std::string& stage) {
  if (gTold) return;
  gTold = true;
  const std::string line = std::to_string(getpid()) + " " + stage + "\n";
  const int fd = open(gFifo, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;
  const ssize_t written = write(fd, line.data(), line.size());
  (void)written;
  close(fd);
}

// Called while the connect waits for the listener: the point to be killed at.
int TellWhileWaiting(void*, QVYieldParams*) {
  if (!gEcho) Tell("waiting");
  return std::chrono::steady_clock::now() >= gGiveUpAt ? 1 : 0;
}

int AwaitKill() {
  alarm(kLifetimeSeconds);
  for (;;) pause();
}

}  // namespace

// The echo: one integer back, one more than it came; it tells once its flush
// has returned and then reads until the link closes, so neither side closes
// while the other's flush may still be under way. The exit status says how
// it went.
int EchoOnce(QVLink* link) {
  int value = 0;
  if (RVGetInteger32(link, &value) == 0) return 3;
  if (RVPutInteger32(link, value + 1) == 0 || RVFlush(link) == 0) return 4;
  Tell("answered");
  for (int packets = 0; packets < 1000 && RVNextPacket(link) != 0; ++packets) {
  }
  return 0;
}

int ConnectorMain(int argc, char** argv) {
  if (argc < 2) return 2;
  gFifo = argv[1];
  gGiveUpAt = std::chrono::steady_clock::now() + std::chrono::seconds(kLifetimeSeconds);
  gEcho = argc > 2 && std::strcmp(argv[2], kEchoWord) == 0;
  std::vector<char*> words{argv[0]};
  words.insert(words.end(), argv + (gEcho ? 3 : 2), argv + argc);
  words.push_back(nullptr);
  RVEnvironment* environment = RVInitialize(nullptr);
  if (environment == nullptr) {
    Tell("unopened environment");
    return AwaitKill();
  }
  int error = 0;
  QVLink* link = RVOpenArgcArgv(environment, static_cast<int>(words.size() - 1), words.data(), &error);
  if (link == nullptr || RVSetYieldFunction(link, &TellWhileWaiting) == 0) {
    Tell("unopened " + std::to_string(error));
    return gEcho ? 6 : AwaitKill();
  }
  const int connected = RVConnect(link);
  if (!gEcho || connected != 1) {
    Tell(connected == 1 ? std::string("connected") : "failed " + std::to_string(RVError(link)));
  }
  if (!gEcho) return AwaitKill();
  const int answer = connected == 1 ? EchoOnce(link) : 5;
  RVClose(link);
  RVDeinitialize(environment);
  return answer;
}

ConnectorReport::ConnectorReport(const std::string& dir) {
  std::string pattern = dir + "/connector-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp: " + std::string(strerror(errno)));
  folder_ = pattern;
  fifo_ = folder_ + "/report";
  if (mkfifo(fifo_.c_str(), 0600) != 0) throw std::runtime_error("mkfifo: " + std::string(strerror(errno)));
  // Opened for writing too, so that it never reports a hang-up: a poll on it
  // sleeps until the connector's line is there.
  fd_ = open(fifo_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) throw std::runtime_error("open " + fifo_ + ": " + std::string(strerror(errno)));
}

ConnectorReport::~ConnectorReport() {
  if (fd_ >= 0) close(fd_);
  unlink(fifo_.c_str());
  rmdir(folder_.c_str());
}

ConnectorReport::Line ConnectorReport::Await(std::chrono::milliseconds within) {
  const auto end = std::chrono::steady_clock::now() + within;
  std::string text;
  while (text.find('\n') == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) return {};
    pollfd entry{fd_, POLLIN, 0};
    if (poll(&entry, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) return {};
    char buffer[128];
    const ssize_t n = read(fd_, buffer, sizeof buffer);
    if (n > 0) text.append(buffer, static_cast<size_t>(n));
  }
  Line line;
  line.pid = static_cast<pid_t>(std::atoi(text.c_str()));
  const size_t blank = text.find(' ');
  if (blank != std::string::npos) line.stage = text.substr(blank + 1, text.find('\n') - blank - 1);
  return line;
}

namespace {

// Gone, or a zombie: it runs no more. Its status file may vanish while it is
// read (its parent reaps it): that too means it is gone.
bool EndedQ(pid_t pid) {
  if (kill(pid, 0) != 0) return errno == ESRCH;
  const int fd = open(("/proc/" + std::to_string(pid) + "/stat").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT || errno == ESRCH;
  char buffer[512];
  const ssize_t n = read(fd, buffer, sizeof buffer);
  close(fd);
  if (n <= 0) return n < 0 && errno == ESRCH;
  const std::string text(buffer, static_cast<size_t>(n));
  const size_t end = text.rfind(')');
  return end != std::string::npos && end + 2 < text.size() && text[end + 2] == 'Z';
}

}  // namespace

bool KillAndAwaitEnd(pid_t pid, bool reap, std::chrono::milliseconds within) {
  if (pid <= 0 || kill(pid, SIGKILL) != 0) return false;
  if (reap) return WaitUntil([pid] { return waitpid(pid, nullptr, WNOHANG) == pid; }, within);
  return WaitUntil([pid] { return EndedQ(pid); }, within);
}

namespace {

std::string Same(const std::string& name) { return name; }
std::string PortOnLoopback(const std::string& name) { return std::to_string(std::atoi(name.c_str())) + "@127.0.0.1"; }

}  // namespace

const ListenerKind kListenerKinds[kListenerKindCount] = {
    {"SharedMemory", "-linkprotocol SharedMemory -linkmode listen", false, true,
     "-linkprotocol SharedMemory -linkmode connect", &Same, false},
    {"SharedMemoryLaunched", "-linkmode launch", true, false, "", nullptr, false},
    {"Pipes", "-linkprotocol Pipes -linkmode launch", true, false, "", nullptr, false},
    {"TCP", "-linkprotocol TCP -linkmode listen -linkname 0", false, false, "-linkprotocol TCP -linkmode connect",
     &PortOnLoopback, true},
    {"TCPIPOld", "-linkprotocol TCPIP -linkmode listen -linkname @127.0.0.1", false, false,
     "-linkprotocol TCPIP -linkmode connect", &Same, false},
    {"TCPIPNew", "-linkprotocol TCPIP -linkmode listen -linkname @127.0.0.1 -linkoptions QVUseNewTCPIPConnection",
     false, false, "-linkprotocol TCPIP -linkmode connect -linkoptions QVUseNewTCPIPConnection", &Same, false},
};

const ListenerKind& ListenerKindNamed(const std::string& name) {
  for (const ListenerKind& kind : kListenerKinds) {
    if (name == kind.name) return kind;
  }
  throw std::invalid_argument("no listener kind " + name);
}

ListenerWithConnector::ListenerWithConnector(RVEnvironment* environment, const ListenerKind& kind,
                                             const std::string& command, const std::string& dir,
                                             ConnectorParent parent)
    : report_(dir) {
  const bool keeper = parent == ConnectorParent::kNonReaping;
  if (keeper && kind.launches) {
    failure_ = std::string(kind.name) + ": a launched connector's parent is the link's process";
    return;
  }
  std::string open = kind.listen;
  if (kind.launches) open += " -linkname '" + command + " " + report_.path() + "'";
  // A name of its own each time: a name whose last connector was killed is
  // another case than the one these measure.
  static int made = 0;
  if (kind.named) open += " -linkname qvpeer" + std::to_string(getpid()) + "n" + std::to_string(++made);
  int error = 0;
  link_ = RVOpenString(environment, open.c_str(), &error);
  if (link_ == nullptr) {
    failure_ = open + ": error " + std::to_string(error);
    return;
  }
  if (!kind.launches) {
    const char* name = RVName(link_);
    // Made before the fork: the child only starts the program.
    const std::string line = "exec " + command + " " + report_.path() + " " + kind.connect + " -linkname " +
                             kind.connectTo(name != nullptr ? name : "");
    const pid_t child = keeper ? StartKeeper(line) : StartProgram(line);
    if (child < 0) {
      failure_ = "fork: " + std::string(strerror(errno));
      return;
    }
    (keeper ? keeper_ : started_) = child;
    reaped_ = !keeper;
  }
  told_ = report_.Await(std::chrono::seconds(20));
  if (started_ == 0) started_ = told_.pid;
  if (told_.pid <= 0) failure_ = "the connector never told how far it got";
}

ListenerWithConnector::~ListenerWithConnector() {
  KillConnector();
  if (keeper_ > 0) {
    close(tellKeeper_);
    waitpid(keeper_, nullptr, 0);
  }
}

pid_t ListenerWithConnector::StartProgram(const std::string& line) {
  const pid_t child = fork();
  if (child == 0) {
    execl("/bin/sh", "sh", "-c", line.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  return child;
}

// The keeper starts the program and then only waits, never reaping it,
// until the end of its pipe from the caller is closed (the object goes, or
// the caller's process ends); then it ends the program, reaps it and ends.
// Between fork and exit it makes only calls that a child of a threaded
// process may make.
pid_t ListenerWithConnector::StartKeeper(const std::string& line) {
  int tell[2];
  if (pipe2(tell, O_CLOEXEC) != 0) return -1;
  const pid_t keeper = fork();
  if (keeper == 0) {
    // It holds nothing of the caller's but its end of the pipe: no copy of
    // a listening socket or a link's descriptor outlives the caller's own.
    if (dup2(tell[0], 3) != 3) _exit(1);
    close_range(4, ~0U, 0);
    const pid_t program = StartProgram(line);
    char byte;
    while (read(3, &byte, 1) < 0 && errno == EINTR) {
    }
    if (program > 0) {
      kill(program, SIGKILL);
      waitpid(program, nullptr, 0);
    }
    _exit(0);
  }
  close(tell[0]);
  if (keeper < 0) {
    close(tell[1]);
    return -1;
  }
  tellKeeper_ = tell[1];
  return keeper;
}

bool ListenerWithConnector::KillConnector() {
  if (started_ <= 0) return false;
  const bool ended = KillAndAwaitEnd(started_, reaped_);
  started_ = 0;
  return ended;
}

}  // namespace qvtest
