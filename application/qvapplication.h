// The installable program: it opens the link the host names, declares the
// one function it offers ("Algorithm3"), and serves the host's calls until
// the host terminates it or the link fails. Everything here runs on the main
// thread except RVDefaultHandler, which the library calls from the thread or
// signal context that delivers out-of-band messages. It calls nothing but the
// public interface and the simulation.
#pragma once

#include <atomic>

#include "quorvane.h"

namespace Quorvane {

// Flags the message handler sets. Lock-free atomic words: storing them is
// safe in a signal handler, and the main thread sees the store.
static_assert(std::atomic<int>::is_always_lock_free);
extern std::atomic<int> RVAbort;  // interrupt or abort: cleared before each call
extern std::atomic<int> RVDone;   // terminate: ends the answer loop, never cleared

// The link of the call being served; the function's result goes on it.
extern std::atomic<QVLink*> stdlink;
extern RVEnvironment* stdenv;             // made on first use, ended when the main routine returns
extern RVYielderFunction stdyielder;      // installed on the link when set
extern RVMessageHandlerFunction stdhandler;  // installed on the link; RVDefaultHandler when empty

inline constexpr int kFarArgvEntries = 128;
extern char* far_argv[kFarArgvEntries];

// One row of the call table, in the order of the function index the host sends.
struct func {
  int argumentCount;  // negative: any argument list
  int manual;         // 0: exactly argumentCount arguments; else at least that many
  int (*function)(QVLink* link);
  const char* name;
};

inline constexpr const char* kAlgorithm3Pattern =
    "Algorithm3[b_List, h_List,l_List,e_List,huan_List,time_Integer,ratio1_Real,ratio2_Real,ratio3_Real,ratio4_Real]";
inline constexpr const char* kAlgorithm3Arguments = "{b,h,l,e,huan,time,ratio1,ratio2,ratio3,ratio4}";

// The out-of-band messages the program acts on.
inline constexpr int kTerminateMessage = 1;
inline constexpr int kInterruptMessage = 2;
inline constexpr int kAbortMessage = 3;

// Entry points: each answers the exit status, 0 when a terminate message
// ended the program, 1 otherwise.
int RVMain(int argc, char** argv) noexcept;
// More than kFarArgvEntries arguments are refused (1) before any link opens.
int RVMainArgv(char** begin, char** end) noexcept;
int RVMainString(const char* command) noexcept;
int _RVMain(char** begin, char** end, const char* command) noexcept;

// From a link opened but not yet connected to the exit status: installs the
// handlers, connects and declares the function, serves, and closes the link.
int QVServeLink(QVLink* link) noexcept;

int RVInstall(QVLink* link) noexcept;
int _definepattern(QVLink* link, const char* pattern, const char* arguments, int index) noexcept;

int RVAnswer(QVLink* link) noexcept;
int RVDoCallPacket(QVLink* link) noexcept;
int _RVDoCallPacket(QVLink* link, const func* table, int count) noexcept;
int refuse_to_be_a_frontend(QVLink* link) noexcept;

// The argument reader of "algorithm3": 1 when the call was computed and its
// real answer put, 0 when an argument cannot be read or the simulation
// refuses the call (the dispatcher then answers "$Failed").
int _tr0(QVLink* link) noexcept;

void RVDefaultHandler(void* link, int message, int argument) noexcept;

int RVEvaluate(QVLink* link, const char* text) noexcept;
int RVEvaluateString(QVLink* link, const char* text) noexcept;

}  // namespace Quorvane
