// The public link-server calls: make a server in one of three forms, shut it
// down, hand links out, and report its port, interface and context. Every
// failure comes back as a link error code; no exception leaves.
#include <cstring>
#include <new>

#include "network/qvlinkserver.h"
#include "quorvane.h"
#include "utilities/qvexception.h"

namespace {

using Quorvane::QVException;
using Quorvane::qvexceptiontype;

constexpr int kNoMemory = 8;
constexpr int kNameInUse = 40;
constexpr int kBadArgument = 58;
constexpr int kUnknown = -1;

void Report(int* error, int code) {
  if (error != nullptr) *error = code;
}

int CodeOf(const QVException& e) {
  switch (e.getType()) {
    case qvexceptiontype::outOfMemory:
      return kNoMemory;
    case qvexceptiontype::nameInUse:
      return kNameInUse;
    default:
      return kUnknown;
  }
}

template <typename Make>
RVLinkServer* NewServer(void* context, int* error, Make&& make) noexcept {
  try {
    RVLinkServer* server = make();
    server->context = context;
    Report(error, 0);
    return server;
  } catch (const QVException& e) {
    Report(error, CodeOf(e));
  } catch (const std::bad_alloc&) {
    Report(error, kNoMemory);
  } catch (...) {
    Report(error, kUnknown);
  }
  return nullptr;
}

}  // namespace

RVLinkServer* RVNewLinkServer(RVEnvironment* environment, void* context, int* error) noexcept {
  return NewServer(context, error, [&] { return new RVLinkServer(environment, false, nullptr); });
}

RVLinkServer* RVNewLinkServerWithPort(RVEnvironment* environment, unsigned short port, void* context,
                                      int* error) noexcept {
  return NewServer(context, error, [&] { return new RVLinkServer(environment, port, false, nullptr); });
}

RVLinkServer* RVNewLinkServerWithPortAndInterface(RVEnvironment* environment, unsigned short port,
                                                  const char* interfaceText, void* context, int* error) noexcept {
  if (interfaceText == nullptr) {
    Report(error, kBadArgument);
    return nullptr;
  }
  return NewServer(context, error, [&] {
    return new RVLinkServer(environment, port, Quorvane::QVString(interfaceText), false, nullptr);
  });
}

void RVShutdownLinkServer(RVLinkServer* server) noexcept { delete server; }

void RVRegisterCallbackFunctionWithLinkServer(RVLinkServer* server, RVLinkServerCallback callback) noexcept {
  if (server == nullptr || callback == nullptr) return;
  try {
    server->useCallbackFunction(callback);
  } catch (...) {
    // A lock that cannot be taken leaves the earlier callback in place.
  }
}

QVLink* RVWaitForNewLinkFromLinkServer(RVLinkServer* server, int* error) noexcept {
  if (server == nullptr) return nullptr;
  QVLink* link = nullptr;
  try {
    link = server->waitForNextLink();
  } catch (...) {
  }
  // Null only when the wait failed or the server was shut down meanwhile.
  Report(error, link != nullptr ? 0 : kUnknown);
  return link;
}

unsigned short RVPortFromLinkServer(RVLinkServer* server, int* error) noexcept {
  if (server == nullptr) {
    Report(error, kBadArgument);
    return 0;
  }
  try {
    const unsigned short port = server->getPort();
    Report(error, 0);
    return port;
  } catch (...) {
    Report(error, kUnknown);
    return 0;
  }
}

char* RVInterfaceFromLinkServer(RVLinkServer* server, int* error) noexcept {
  if (server == nullptr) {
    Report(error, kBadArgument);
    return nullptr;
  }
  try {
    const Quorvane::QVString text = server->getInterface();
    auto* copy = static_cast<char*>(Quorvane::QVObject::allocate(text.size() + 1));
    if (copy == nullptr) {
      Report(error, kNoMemory);
      return nullptr;
    }
    std::memcpy(copy, text.c_str(), text.size() + 1);
    Report(error, 0);
    return copy;
  } catch (const std::bad_alloc&) {
    Report(error, kNoMemory);
  } catch (...) {
    Report(error, kUnknown);
  }
  return nullptr;
}

void RVReleaseInterfaceFromLinkServer(RVLinkServer*, char* text) noexcept {
  if (text != nullptr) Quorvane::QVObject::deallocate(text);
}

void* RVContextFromLinkServer(RVLinkServer* server, int* error) noexcept {
  if (server == nullptr) {
    Report(error, kUnknown);
    return nullptr;
  }
  Report(error, 0);
  return server->context;
}
