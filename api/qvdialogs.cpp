// The public dialog calls: setting callbacks and calling them, each only when
// request-to-interact allows it.
#include "api/qvdialogs.h"

namespace {

// Whether the environment may ask the user now (request-to-interact, wait 1).
bool PermittedQ(RVEnvironment* environment) {
  RVRequestToInteractFunction permit = environment->dialogs.requestToInteract;
  return permit != nullptr && permit(environment, 1) != 0;
}

// The value that puts a callback's default back.
void* const kRestoreDefault = reinterpret_cast<void*>(1);

template <typename Function>
void Install(Function& slot, Function fallback, void* function) {
  slot = function == kRestoreDefault ? fallback : reinterpret_cast<Function>(function);
}

}  // namespace

extern "C" {

RVAlertFunction RVAlertCast(RVAlertFunction function) noexcept { return function; }
RVRequestFunction RVRequestCast(RVRequestFunction function) noexcept { return function; }
RVConfirmFunction RVConfirmCast(RVConfirmFunction function) noexcept { return function; }
RVRequestArgvFunction RVRequestArgvCast(RVRequestArgvFunction function) noexcept { return function; }
RVRequestToInteractFunction RVRequestToInteractCast(RVRequestToInteractFunction function) noexcept {
  return function;
}

int RVSetDialogFunction(RVEnvironment* environment, long number, void* function) noexcept {
  if (environment == nullptr) return 0;
  qv_dialog_functions& in_use = environment->dialogs;
  const qv_dialog_functions& defaults = environment->defaultDialogs;
  switch (number) {
    case 1:
      Install(in_use.alert, defaults.alert, function);
      return 1;
    case 2:
      Install(in_use.request, defaults.request, function);
      return 1;
    case 3:
      Install(in_use.confirm, defaults.confirm, function);
      return 1;
    case 4:
      Install(in_use.requestArgv, defaults.requestArgv, function);
      return 1;
    case 5:
      Install(in_use.requestToInteract, defaults.requestToInteract, function);
      return 1;
    default:
      return 0;
  }
}

int RVRequestToInteract(RVEnvironment* environment, int wait) noexcept {
  if (environment == nullptr || environment->dialogs.requestToInteract == nullptr) return 0;
  return environment->dialogs.requestToInteract(environment, wait);
}

int RVAlert(RVEnvironment* environment, const char* text) noexcept {
  if (environment == nullptr || text == nullptr || environment->dialogs.alert == nullptr) return 0;
  if (!PermittedQ(environment)) return 0;
  return environment->dialogs.alert(environment, text);
}

int RVConfirm(RVEnvironment* environment, const char* question, int defaultAnswer) noexcept {
  if (environment == nullptr || question == nullptr || environment->dialogs.confirm == nullptr) {
    return defaultAnswer;
  }
  if (!PermittedQ(environment)) return defaultAnswer;
  return environment->dialogs.confirm(environment, question, defaultAnswer);
}

int RVRequest(RVEnvironment* environment, const char* prompt, char* buffer, long size) noexcept {
  if (environment == nullptr || prompt == nullptr || environment->dialogs.request == nullptr) return 1;
  if (!PermittedQ(environment)) return 1;
  return environment->dialogs.request(environment, prompt, buffer, size);
}

long RVRequestArgv(RVEnvironment* environment, char** argv, long capacity, char* buffer, long size) noexcept {
  if (argv == nullptr) return 0;
  if (environment == nullptr || environment->dialogs.requestArgv == nullptr || !PermittedQ(environment)) {
    if (capacity >= 1) argv[0] = nullptr;
    return 0;
  }
  return environment->dialogs.requestArgv(environment, argv, capacity, buffer, size);
}

}  // extern "C"
