// The application's life: environment, link, service, and the exit status.
#include <algorithm>

#include "application/qvapplication.h"

namespace Quorvane {

std::atomic<int> RVAbort{0};
std::atomic<int> RVDone{0};
std::atomic<QVLink*> stdlink{nullptr};
RVEnvironment* stdenv = nullptr;
RVYielderFunction stdyielder = nullptr;
RVMessageHandlerFunction stdhandler = nullptr;
char* far_argv[kFarArgvEntries] = {};

namespace {

int ExitStatus() noexcept { return RVDone.load() != 0 ? 0 : 1; }

}  // namespace

int QVServeLink(QVLink* link) noexcept {
  if (stdyielder != nullptr) RVSetYieldFunction(link, stdyielder);
  if (stdhandler != nullptr) RVSetMessageHandler(link, stdhandler);
  if (RVInstall(link) != 0) {
    while (RVAnswer(link) == RV_RESUME_PACKET && refuse_to_be_a_frontend(link) != 0) {
    }
  }
  RVClose(link);
  return ExitStatus();
}

int _RVMain(char** begin, char** end, const char* command) noexcept {
  if (stdenv == nullptr) stdenv = RVInitialize(nullptr);
  if (stdenv == nullptr) return ExitStatus();
  if (stdhandler == nullptr) stdhandler = RVDefaultHandler;

  int error = 0;
  QVLink* link = command != nullptr
                     ? RVOpenString(stdenv, command, &error)
                     : RVOpenArgcArgv(stdenv, static_cast<int>(end - begin), begin, &error);
  if (link == nullptr) {
    RVAlert(stdenv, RVErrorString(stdenv, error));
  } else {
    QVServeLink(link);
  }
  RVDeinitialize(stdenv);
  stdenv = nullptr;
  return ExitStatus();
}

int RVMain(int argc, char** argv) noexcept {
  if (argc < 0 || (argc > 0 && argv == nullptr)) return ExitStatus();
  return _RVMain(argv, argv + argc, nullptr);
}

int RVMainArgv(char** begin, char** end) noexcept {
  // far_argv holds kFarArgvEntries: a longer vector is refused before any
  // link is opened rather than written past its end.
  if (begin == nullptr || end < begin || end - begin > kFarArgvEntries) return 1;
  char** past = std::copy(begin, end, far_argv);
  return _RVMain(far_argv, past, nullptr);
}

int RVMainString(const char* command) noexcept { return _RVMain(nullptr, nullptr, command); }

}  // namespace Quorvane
