#include "network/qvlinkserver.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "network/qvplatforminterface.h"
#include "network/qvnetworkinspector.h"
#include "quorvane.h"
#include "user/qvopen.h"
#include "utilities/qvexception.h"

namespace Quorvane {

namespace {

constexpr char kSource[] = "network/qvlinkserver";

// The accept sync's lock in a form the standard waits take.
class SyncLock {
 public:
  explicit SyncLock(QVThreadSync& sync) : sync_(sync) {}
  void lock() { sync_.Lock(); }
  void unlock() { sync_.Unlock(); }

 private:
  QVThreadSync& sync_;
};

// The address the first two forms listen on: the machine's preferred one.
std::pair<QVIPAddress, _qvipprotocol> PreferredAddress(unsigned short port, bool useIPv6) {
  std::unique_ptr<QVInterfaceContainer> container(QVInterfaceContainerFactory::MakeContainer());
  if (!container) {
    throw QVException("Unable to allocate new interface container", kSource, __LINE__,
                      qvexceptiontype::outOfMemory, 0);
  }
  QVNetworkInspector inspector;
  auto [host, protocol] = inspector.getLocalHostnameAndProtocol(*container, useIPv6);
  return {QVIPAddress(host, protocol, port), protocol};
}

std::pair<QVIPAddress, _qvipprotocol> GivenAddress(unsigned short port, const QVString& text, bool useIPv6) {
  const _qvipprotocol protocol = useIPv6 ? QVIPV6 : QVIPV4;
  if (text.empty()) return {QVIPAddress::initForAnyAddressWithPort(port, protocol), protocol};
  return {QVIPAddress(text, protocol, port), protocol};
}

void CloseEndPoint(QVEndPoint& endPoint) { endPoint.Close(); }

int MillisecondsUntil(QVIntakeClock::time_point when, QVIntakeClock::time_point now) {
  if (when <= now) return 0;
  // Rounded up, so the pass after the wait finds the deadline passed.
  return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(when - now).count());
}

}  // namespace

RVLinkServer::RVLinkServer(qv_environment* environment_, bool useIPv6, Callback callback_)
    : RVLinkServer(environment_, 0, useIPv6, callback_) {}

RVLinkServer::RVLinkServer(qv_environment* environment_, unsigned short port, bool useIPv6, Callback callback_)
    : callback(callback_), environment(environment_) {
  auto [address, protocol] = PreferredAddress(port, useIPv6);
  Listen(address, protocol);
  StartThreads();
}

RVLinkServer::RVLinkServer(qv_environment* environment_, unsigned short port, const QVString& interfaceText,
                           bool useIPv6, Callback callback_)
    : callback(callback_), environment(environment_) {
  auto [address, protocol] = GivenAddress(port, interfaceText, useIPv6);
  Listen(address, protocol);
  StartThreads();
}

void RVLinkServer::Listen(const QVIPAddress& address, _qvipprotocol protocol) {
  endpoint = std::make_unique<QVEndPoint>(protocol, QVStream, address);
  endpoint->SetOption(QVOptionReuseAddress);
  try {
    endpoint->SetForListening();
  } catch (const QVException& e) {
    if (e.getType() != qvexceptiontype::addressInUse) throw;
    throw QVException(e.getWhat(), e.getFile(), e.getLine(), qvexceptiontype::nameInUse, e.getCode());
  }
}

void RVLinkServer::StartThreads() {
  threadFunction = &QVThreadableObject::Thread1;
  acceptSync.CreateThread(this);
  acceptSync.Wait();
  acceptSync.Reset();
  threadFunction = &QVThreadableObject::Thread2;
  deliverySync.CreateThread(this);
}

RVLinkServer::~RVLinkServer() {
  try {
    EndWaits();
    acceptSync.Stop();
    deliverySync.Stop();
    endpoint->Close();
    endpoint.reset();
    for (QVLink* link : links) RVClose(link);
    links.clear();
    connections.Drain(&CloseEndPoint);
    intake.Drain(&CloseEndPoint);
  } catch (...) {
    // Nothing leaves a destructor; the syncs below still join their threads.
  }
}

void RVLinkServer::EndWaits() {
  SyncLock lock(acceptSync);
  std::unique_lock<SyncLock> hold(lock);
  stopping = true;
  while (waiters > 0) {
    // Signalled again each round: a caller between its check and its wait may
    // have missed the first signal to another caller.
    acceptSync.Signal();
    waitersLeft.wait_for(hold, std::chrono::milliseconds(50));
  }
}

QVLink* RVLinkServer::waitForNextLink() {
  SyncLock lock(acceptSync);
  std::unique_lock<SyncLock> hold(lock);
  ++waiters;
  struct Leave {
    RVLinkServer& server;
    ~Leave() {
      if (--server.waiters == 0 && server.stopping) server.waitersLeft.notify_all();
    }
  } leave{*this};
  while (true) {
    if (!links.empty()) {
      QVLink* link = links.front();
      links.pop_front();
      return link;
    }
    if (stopping) return nullptr;
    hold.unlock();
    acceptSync.Wait(30000000);
    hold.lock();
  }
}

bool RVLinkServer::hasConnectedLinks() {
  QVMutex hold(acceptSync.getLockHandle());
  return !links.empty();
}

void RVLinkServer::useCallbackFunction(Callback callback_) {
  QVMutex hold(acceptSync.getLockHandle());
  callback = callback_;
  deliverySync.Signal();
}

QVString RVLinkServer::getInterface() const {
  QVIPAddress address(endpoint->GetAddress());
  address.LoadDomainName(false);
  return address.HasDomainNameQ() ? address.GetDomainName() : address.GetPresentationName();
}

void* RVLinkServer::Thread1() {
  try {
    QVThreadsFactory::SetThisThreadName("LinkServer-EndPoint-Thread");
  } catch (...) {
  }
  acceptSync.Signal();
  while (!acceptSync.ShutdownRequestedQ()) {
    try {
      AcceptPass();
    } catch (...) {
      acceptPausedUntil = QVIntakeClock::now() + std::chrono::milliseconds(kAcceptPauseMilliseconds);
    }
  }
  return nullptr;
}

void RVLinkServer::AcceptPass() {
  auto now = QVIntakeClock::now();
  const bool listening = now >= acceptPausedUntil;
  std::vector<pollfd> watched;
  watched.reserve(intake.size() + 1);
  // A negative descriptor is skipped by poll: a paused listener waits.
  watched.push_back(pollfd{listening ? endpoint->GetSocket().GetRawSocket() : -1, POLLIN, 0});
  for (size_t i = 0; i < intake.size(); ++i) {
    watched.push_back(pollfd{intake[i].connection.GetSocket().GetRawSocket(), POLLIN, 0});
  }
  int timeout = kPassMilliseconds;
  if (auto next = intake.NextDeadline()) timeout = std::min(timeout, MillisecondsUntil(*next, now));
  if (!listening) timeout = std::min(timeout, MillisecondsUntil(acceptPausedUntil, now));
  if (::poll(watched.data(), watched.size(), timeout) < 0 && errno != EINTR) {
    acceptPausedUntil = QVIntakeClock::now() + std::chrono::milliseconds(kAcceptPauseMilliseconds);
    return;
  }
  std::vector<short> events;
  events.reserve(intake.size());
  for (size_t i = 1; i < watched.size(); ++i) events.push_back(watched[i].revents);
  ReadLines(events);
  intake.Expire(QVIntakeClock::now(), &CloseEndPoint);
  if (listening && watched[0].revents != 0) AcceptOne();
}

void RVLinkServer::AcceptOne() {
  try {
    intake.Add(endpoint->GetIncomingConnection(0.0), QVIntakeClock::now());
  } catch (const QVException& e) {
    // Nothing waiting after all is no failure; anything else (out of
    // descriptors, out of memory) is tried again after a pause.
    if (e.getType() != qvexceptiontype::backOut) {
      acceptPausedUntil = QVIntakeClock::now() + std::chrono::milliseconds(kAcceptPauseMilliseconds);
    }
  }
}

void RVLinkServer::ReadLines(const std::vector<short>& events) {
  // From the back, so that taking an entry leaves the earlier indices valid.
  for (size_t i = events.size(); i-- > 0;) {
    if (events[i] == 0) continue;
    auto& entry = intake[i];
    ssize_t got = -1;
    try {
      got = entry.connection.Read(entry.line.Tail(), entry.line.Missing());
    } catch (const QVException&) {
    }
    if (got <= 0) {
      intake.Take(i).connection.Close();
      continue;
    }
    entry.line.Took(static_cast<size_t>(got));
    if (!entry.line.CompleteQ()) continue;
    auto complete = intake.Take(i);
    QVSettleConnection(connections, complete.line, std::move(complete.connection), &CloseEndPoint,
                       [this](QVEndPoint& data, QVEndPoint& mesg) { OpenLink(data, mesg); });
  }
}

void RVLinkServer::OpenLink(QVEndPoint& data, QVEndPoint& mesg) {
  char protocolOption[] = "-linkprotocol";
  char protocol[] = "TCPIP";
  char modeOption[] = "-linkmode";
  char mode[] = "listen";
  char optionsOption[] = "-linkoptions";
  char options[] = "256";
  char* argv[] = {protocolOption, protocol, modeOption, mode, optionsOption, options, nullptr};
  int error = 0;
  QVLink* link = QVOpenLinkWithTCPIPEndpoints(environment, 6, argv, &data, &mesg, &error);
  if (link == nullptr || error != 0) {
    if (link != nullptr) RVClose(link);
    data.Close();
    mesg.Close();
    return;
  }
  QVMutex hold(acceptSync.getLockHandle());
  links.push_back(link);
  deliverySync.Signal();
  // A caller waiting in waitForNextLink takes it now, not when its wait ends.
  acceptSync.Signal();
}

void RVLinkServer::Deliver(QVLink* link) {
  try {
    callback(this, link);
  } catch (...) {
    // A callback that fails has not taken its link, and nobody else has it:
    // closed here, it is not left open for the life of the program.
    RVClose(link);
  }
}

void* RVLinkServer::Thread2() {
  try {
    QVThreadsFactory::SetThisThreadName("LinkServer-QVLINK-Thread");
  } catch (...) {
  }
  while (!deliverySync.ShutdownRequestedQ()) {
    try {
      deliverySync.Wait();
      QVMutex hold(acceptSync.getLockHandle());
      // Before the list is read: a link appended after this pass signals anew.
      deliverySync.Reset();
      while (callback != nullptr && !links.empty()) {
        QVLink* link = links.front();
        links.pop_front();
        Deliver(link);
      }
    } catch (...) {
      // A failed wait is tried again; the stop flag still ends the loop.
    }
  }
  return nullptr;
}

}  // namespace Quorvane
