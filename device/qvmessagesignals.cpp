// Signals for the message layer: installing a plain handler, and arming a
// descriptor so that its input raises SIGIO (and urgent data SIGURG).
#include <signal.h>

#include <cstdint>
#include <cstring>

#include "device/qvmessagelayer.h"
#include "device/qvmessagepartials.h"
#include "utilities/platform/qvsignaldriven.h"

qv_plain_signal_function WatchSignalRefused() noexcept {
  return reinterpret_cast<qv_plain_signal_function>(intptr_t{-10});
}

qv_plain_signal_function watchsignal(int number, qv_plain_signal_function handler) noexcept {
  struct sigaction action;
  struct sigaction previous;
  std::memset(&action, 0, sizeof action);
  std::memset(&previous, 0, sizeof previous);
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  if (sigaction(number, &action, &previous) != 0) return WatchSignalRefused();
  if ((previous.sa_flags & SA_SIGINFO) != 0) {
    return reinterpret_cast<qv_plain_signal_function>(reinterpret_cast<void*>(previous.sa_sigaction));
  }
  return previous.sa_handler;
}

int unix_arrange_to_get_msgs(int a, int b) noexcept {
  const int fd = a >= 0 ? a : b;
  if (fd < 0) return 0;
  return Quorvane::platform::ArmSignalDrivenInput(fd) ? 1 : 0;
}

int unix_arrange_to_stop_msgs(int fd) noexcept {
  if (fd < 0) return 0;
  Quorvane::QVForgetPartialMessage(fd);
  return Quorvane::platform::DisarmSignalDrivenInput(fd) ? 1 : 0;
}
