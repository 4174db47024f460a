// Opening a link from an argument vector or a command-line string: reading
// the request, asking the user when nothing was given, and the loopback case.
#include "user/qvopen.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "api/qvenvironmentstart.h"
#include "quorvane.h"
#include "user/qvargvstrings.h"
#include "user/qvlinkoptions.h"
#include "user/qvopenparameters.h"

namespace {

constexpr long kAskedWords = 19;
constexpr long kAskedBuffer = 256;

int* OrLocal(int* error, int* local) { return error != nullptr ? error : local; }

}  // namespace

QVLink* qvopen_argv(qv_environment* environment, int argc, char** argv, void* dataEndpoint,
                    void* messageEndpoint, int* error) noexcept {
  int local = 0;
  error = OrLocal(error, &local);
  *error = 0;
  if (environment == nullptr) {
    *error = 32;
    return nullptr;
  }
  qvopen_request request;
  long found = argv_to_open_request(environment, argc, argv, &request, nullptr);
  // The asked-for vector lives until the open is done: the request points into it.
  char* asked[kAskedWords + 1] = {};
  char buffer[kAskedBuffer] = {};
  if (found == kParseArgvNoMemory) {
    *error = 8;
    return nullptr;
  }
  if (found == 0) {
    if (RVRequestToInteract(environment, 1) != 0) {
      if ((request.options & kLinkOptionDontInteract) != 0) {
        *error = 33;
        return nullptr;
      }
      const long words = RVRequestArgv(environment, asked, kAskedWords, buffer, kAskedBuffer);
      if (words <= 0) {
        *error = 33;
        return nullptr;
      }
      asked[words < kAskedWords ? words : kAskedWords] = nullptr;
      found = argv_to_open_request(environment, words, asked, &request, nullptr);
      if (found == kParseArgvNoMemory) {
        *error = 8;
        return nullptr;
      }
      if (found == 0) {
        *error = 33;
        return nullptr;
      }
    } else {
      request.mode = QVLINKMODE_PARENTCONNECT;
      request.name = request.host = request.authentication = "";
    }
  }
  if (*request.protocol == '\0') {
    if (*request.device == '\0' && (request.mode & QVLINKMODE_LOOPBACK) != 0) {
      QVLink* link = RVLoopbackOpen(environment, error);
      if (link == nullptr) return nullptr;
      char name[32];
      std::snprintf(name, sizeof name, "Loopback%lld", static_cast<long long>(RVNumber(link)));
      RVSetName(link, name);
      return link;
    }
    if (request.mode == 0) request.mode = *request.name != '\0' ? QVLINKMODE_LAUNCH : QVLINKMODE_PARENTCONNECT;
  }
  QVLink* link = QVGenericOpen(environment, request.protocol, request.mode, request.name, request.host,
                               request.authentication, request.options, dataEndpoint, messageEndpoint, error);
  if (link != nullptr && request.mode == QVLINKMODE_LISTEN && (request.options & kLinkOptionDontInteract) == 0 &&
      *request.name == '\0') {
    try {
      const Quorvane::QVString text = Quorvane::QVString("Link created on: ") + RVLinkName(link) + "\n";
      RVAlert(environment, text.c_str());
    } catch (...) {
      // Telling the user is a courtesy; the link stands without it.
    }
  }
  return link;
}

QVLink* RVOpen(int argc, char** argv) noexcept {
  qv_environment* environment = RVBegin(nullptr);
  if (environment == nullptr) return nullptr;
  ++environment->useCount;
  return qvopen_argv(environment, argc, argv, nullptr, nullptr, nullptr);
}

QVLink* RVOpenInEnv(qv_environment* environment, int argc, char** argv, int* error) noexcept {
  return qvopen_argv(environment, argc, argv, nullptr, nullptr, error);
}

QVLink* RVOpenArgcArgv(qv_environment* environment, int argc, char** argv, int* error) noexcept {
  return qvopen_argv(environment, argc, argv, nullptr, nullptr, error);
}

QVLink* RVOpenArgv(qv_environment* environment, char** argv, char** argvEnd, int* error) noexcept {
  const int argc = argv != nullptr && argvEnd != nullptr ? static_cast<int>(argvEnd - argv) : 0;
  return qvopen_argv(environment, argc, argv, nullptr, nullptr, error);
}

QVLink* QVOpenLinkWithTCPIPEndpoints(qv_environment* environment, int argc, char** argv, void* dataEndpoint,
                                     void* messageEndpoint, int* error) noexcept {
  return qvopen_argv(environment, argc, argv, dataEndpoint, messageEndpoint, error);
}

QVLink* RVOpenString(qv_environment* environment, const char* command, int* error) noexcept {
  int local = 0;
  error = OrLocal(error, &local);
  if (environment == nullptr) {
    *error = 32;
    return nullptr;
  }
  const size_t size = command != nullptr ? std::strlen(command) + 1 : 1;
  auto* buffer = static_cast<char*>(Quorvane::QVObject::allocate(size));
  if (buffer == nullptr) {
    *error = 8;
    return nullptr;
  }
  char* argv[kOpenStringWords + 1] = {};
  long words = qvas__string_to_argv(command, buffer, argv, kOpenStringWords);
  if (words < 0) words = 0;
  argv[words] = nullptr;
  QVLink* link = qvopen_argv(environment, static_cast<int>(words), argv, nullptr, nullptr, error);
  Quorvane::QVObject::deallocate(buffer);
  return link;
}

QVLink* RVLoopbackOpen(qv_environment* environment, int* error) noexcept {
  int local = 0;
  error = OrLocal(error, &local);
  *error = 0;
  if (environment == nullptr || environment->globals == nullptr) {
    *error = 32;
    return nullptr;
  }
  long code = 0;
  QVLink* link = QVInternalMake(environment->globals, {}, &code);
  if (link == nullptr) {
    *error = static_cast<int>(code);
    return nullptr;
  }
  QVMakeLoopback(link);
  if (RVEstablish(link, nullptr) == 0) {
    *error = static_cast<int>(RVError(link));
    long first = 0;
    long second = 0;
    QVDestroy(link, &first, &second);
    return nullptr;
  }
  return link;
}
