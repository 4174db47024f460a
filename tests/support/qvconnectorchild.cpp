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
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <vector>

#include "quorvane.h"
#include "qvtest.h"

namespace qvtest {

namespace {

constexpr unsigned kLifetimeSeconds = 60;

const char* gFifo = nullptr;
bool gTold = false;
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
  Tell("waiting");
  return std::chrono::steady_clock::now() >= gGiveUpAt ? 1 : 0;
}

int AwaitKill() {
  alarm(kLifetimeSeconds);
  for (;;) pause();
}

}  // namespace

int ConnectorMain(int argc, char** argv) {
  if (argc < 2) return 2;
  gFifo = argv[1];
  gGiveUpAt = std::chrono::steady_clock::now() + std::chrono::seconds(kLifetimeSeconds);
  std::vector<char*> words{argv[0]};
  words.insert(words.end(), argv + 2, argv + argc);
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
    return AwaitKill();
  }
  const int connected = RVConnect(link);
  Tell(connected == 1 ? std::string("connected") : "failed " + std::to_string(RVError(link)));
  return AwaitKill();
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

// Gone, or a zombie: it runs no more.
bool EndedQ(pid_t pid) {
  if (kill(pid, 0) != 0) return errno == ESRCH;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  const std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const size_t close = text.rfind(')');
  return close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'Z';
}

}  // namespace

bool KillAndAwaitEnd(pid_t pid, bool reap, std::chrono::milliseconds within) {
  if (pid <= 0 || kill(pid, SIGKILL) != 0) return false;
  if (reap) return WaitUntil([pid] { return waitpid(pid, nullptr, WNOHANG) == pid; }, within);
  return WaitUntil([pid] { return EndedQ(pid); }, within);
}

}  // namespace qvtest
