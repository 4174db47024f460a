// A program the Pipes tests launch. It opens its end of the link on what it
// inherited, as a launched program does, and tells over the stream what
// reached it as messages:
//
//   qvpipes_child records   link on "Pipes:0,1,3,4"; takes one record from the
//                           parent's message pipe, answers "got CODE ARGUMENT"
//                           and sends the record (CODE + 4, ARGUMENT + 1) back
//   qvpipes_child signals   link on standard input and output, no message
//                           pipes; the first message (a signal from the
//                           parent) is answered "heard CODE" and sent back to
//                           the parent with the same code
//   qvpipes_child link      a link opened, as a launched program opens it,
//                           from the words the launch appended to its command
//                           line; it sends back the first expression, a List
//                           of byte strings
//   qvpipes_child answers   a link opened as by "link"; it sends back, as a
//                           List of byte strings, what its own end answers
//                           through the public device calls: the name size,
//                           the low-level name, the child process id (0 on
//                           this side), and then its own process id
//   qvpipes_child handler   a link opened from its words (which name message
//                           pipes in the protocol text), not connected; with
//                           a message handler set, it sends the record
//                           (100, 0) to say so, waits without a link call
//                           until the handler heard a record (in signal
//                           context) and sends back (CODE + 1, ARGUMENT + 1)
//   qvpipes_child source N  a link opened from its words (any protocol);
//                           it puts a List of kBulkListLength reals, the
//                           i-th 0.5 * i, and kills itself with SIGKILL once
//                           N of them are put
//   qvpipes_child sink N    a link opened from its words; it gets such a
//                           List real by real and kills itself with SIGKILL
//                           once N of them came
//
// The words the launch appends are ignored by the first two. Each but
// "handler", "source" and "sink" then reads until the parent closes and
// exits 0; a step that fails exits with a status of its own.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "device/qvmessagelayer.h"
#include "device/qvpipes.h"
#include "quorvane.h"
#include "support/qvtest.h"
#include "tests/device/qvbackslashtexts.h"
#include "tests/device/qvbulklist.h"

namespace {

using namespace Quorvane;

void* Allocate(uint64_t size) { return std::malloc(size); }
void Release(void* block) { std::free(block); }

long Call(void* object, qvdeviceselector selector, void* a1 = nullptr, void* a2 = nullptr) {
  return pipe_main(object, selector, a1, a2);
}

void Install(int number, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  sigaction(number, &action, nullptr);
}

bool Send(void* device, const std::string& text) {
  char* start = nullptr;
  long size = 0;
  if (Call(device, QVDEVICE_WRITE_WINDOW, &start, &size) != 0 || start == nullptr) return false;
  std::memcpy(start, text.data(), text.size());
  size = static_cast<long>(text.size());
  return Call(device, QVDEVICE_WRITE, &start, &size) == 0;
}

// The parent's close: 11 once its close mark came.
long ReadToTheEnd(void* device) {
  for (;;) {
    char* start = nullptr;
    long size = 0;
    const long answer = Call(device, QVDEVICE_READ, &start, &size);
    if (answer != 0) return answer;
  }
}

int Run(bool records) {
  // Armed message pipes raise SIGIO; the signals stand for messages.
  Install(SIGIO, &unix_signal_handler);
  for (int number : {SIGTERM, SIGINT, SIGABRT}) Install(number, &pipe_signal_handler);
  void* world = nullptr;
  if (Call(&world, QVDEVICE_WORLD_INIT, reinterpret_cast<void*>(&Allocate), reinterpret_cast<void*>(&Release)) != 0)
    return 10;
  const std::string block = std::string(records ? "Pipes:0,1,3,4" : "Pipes") + '\0' + "16" + '\0' + '\0' + '\0' +
                            '\0' + "0" + '\0';
  void* device = nullptr;
  if (Call(world, QVDEVICE_WORLD_MAKE, &device, const_cast<char*>(block.data())) != 0) return 11;
  if (Call(device, QVDEVICE_CONNECT) != 0) return 12;
  long code = 0, argument = 0;
  const bool heard = qvtest::WaitUntil([&] {
    if (records) {
      long waiting = 0, alsoWaiting = 0;
      if (Call(device, QVDEVICE_HAS_MESSAGE, &alsoWaiting, &waiting) != 0 || waiting != 1) return false;
    }
    return Call(device, QVDEVICE_READ_MESSAGE, &code, &argument) == 0;
  });
  if (!heard) return 13;
  long backCode = records ? code + 4 : code;
  long backArgument = records ? argument + 1 : 0;
  if (Call(device, QVDEVICE_WRITE_MESSAGE, &backCode, &backArgument) != 0) return 14;
  const std::string told = records ? "got " + std::to_string(code) + " " + std::to_string(argument)
                                   : "heard " + std::to_string(code);
  if (!Send(device, told)) return 15;
  if (ReadToTheEnd(device) != 11) return 16;
  Call(device, QVDEVICE_CLOSE);
  Call(world, QVDEVICE_WORLD_DEINIT);
  return 0;
}

// Runs a role on a link opened, as a launched program opens it, from its
// words: 20 when no environment starts, 21 when no link opens, else the
// role's answer.
int WithOwnLink(int argc, char** argv, const std::function<int(QVLink*)>& role) {
  RVEnvironment* environment = RVInitialize(nullptr);
  if (environment == nullptr) return 20;
  int error = 0;
  QVLink* link = RVOpenArgcArgv(environment, argc, argv, &error);
  const int answer = link == nullptr ? 21 : role(link);
  if (link != nullptr) RVClose(link);
  RVDeinitialize(environment);
  return answer;
}

// Until the parent closes: the stream ends with its close mark.
void ReadUntilClosed(QVLink* link) {
  for (int packets = 0; packets < 1000 && RVNextPacket(link) != 0; ++packets) {
  }
}

int Echo(QVLink* link) {
  if (RVActivate(link) == 0) return 22;
  const std::vector<std::string> texts = qvtest::GetTexts(link);
  if (texts.empty()) return 23;
  if (!qvtest::PutTexts(link, texts)) return 24;
  ReadUntilClosed(link);
  return 0;
}

// The device's answer to a public information code: a long, or the
// process id for the child process code; empty when the call is refused.
std::string Answer(QVLink* link, unsigned long code, bool processId) {
  long word = 0;
  pid_t pid = 0;
  long size = processId ? static_cast<long>(sizeof pid) : static_cast<long>(sizeof word);
  if (RVDeviceInformation(link, code, processId ? static_cast<void*>(&pid) : &word, &size) != 1) return "";
  return std::to_string(processId ? static_cast<long>(pid) : word);
}

int Answers(QVLink* link) {
  char* name = nullptr;
  if (RVLowLevelDeviceName(link, &name) != 1) return 32;
  const std::vector<std::string> told = {Answer(link, 0x80000002, false), name, Answer(link, 0x80000101, true),
                                         std::to_string(getpid())};
  RVReleaseLowLevelDeviceName(link, name);
  if (RVActivate(link) == 0) return 33;
  if (!qvtest::PutTexts(link, told)) return 34;
  ReadUntilClosed(link);
  return 0;
}

std::atomic<int> gHeardCode{0};
std::atomic<int> gHeardArgument{0};
void Heard(void*, int code, int argument) {
  gHeardArgument = argument;
  gHeardCode = code;
}

int Handler(QVLink* link) {
  if (RVSetMessageHandler(link, &Heard) != 1) return 42;
  if (RVPutMessageWithArg(link, 100, 0) != 1) return 43;
  if (!qvtest::WaitUntil([] { return gHeardCode.load() != 0; })) return 44;
  if (RVPutMessageWithArg(link, gHeardCode.load() + 1, gHeardArgument.load() + 1) != 1) return 45;
  return 0;
}

// Dies in the middle of a bulk transfer: what is in flight stays there.
[[noreturn]] void KilledHere() {
  kill(getpid(), SIGKILL);
  for (;;) pause();
}

int Source(QVLink* link, long count) {
  if (RVActivate(link) == 0) return 52;
  if (RVPutFunction(link, "List", qvtest::kBulkListLength) != 1) return 53;
  for (long i = 0; i < count; ++i) {
    if (RVPutReal64(link, qvtest::BulkReal(i)) != 1) return 54;
  }
  KilledHere();
}

int Sink(QVLink* link, long count) {
  if (RVActivate(link) == 0) return 62;
  const char* head = nullptr;
  int length = 0;
  if (RVGetFunction(link, &head, &length) != 1) return 63;
  RVReleaseSymbol(link, head);
  for (long i = 0; i < count; ++i) {
    double real = 0;
    if (RVGetReal64(link, &real) != 1 || real != qvtest::BulkReal(i)) return 64;
  }
  KilledHere();
}

}  // namespace

int main(int argc, char** argv) {
  // The parent signals this process (or writes records that raise SIGIO) as
  // soon as the link is up, which is when this thread first waits.
  qvtest::SetUpSignalStateOfThisThread();
  if (argc < 2) return 2;
  const std::string role = argv[1];
  if (role == "link") return WithOwnLink(argc, argv, Echo);
  if (role == "answers") return WithOwnLink(argc, argv, Answers);
  if (role == "handler") return WithOwnLink(argc, argv, Handler);
  if (role == "source" || role == "sink") {
    if (argc < 3) return 2;
    const long count = std::atol(argv[2]);
    return WithOwnLink(argc, argv,
                       [&](QVLink* link) { return role == "source" ? Source(link, count) : Sink(link, count); });
  }
  if (role != "records" && role != "signals") return 2;
  return Run(role == "records");
}
