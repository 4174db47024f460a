// The link server: listens on one TCP port, pairs the data and message
// connections that carry one id into a listening "TCPIP" link, and hands the
// links out one at a time or to a callback on its delivery thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>

#include "api/qvenvironment.h"
#include "api/qvlink.h"
#include "network/qvendpoint.h"
#include "network/qvlinkserverheaders.h"
#include "utilities/qvthreads.h"

namespace Quorvane {

class RVLinkServer : public QVThreadableObject {
 public:
  using Callback = void (*)(RVLinkServer* server, QVLink* link);
  using QVConnection = QVPendingPair<QVEndPoint>;

  // How long a fresh connection may take to send its identification line.
  static constexpr std::chrono::seconds kHeaderAllowance{5};
  // The accepting thread looks at its stop flag at least this often.
  static constexpr int kPassMilliseconds = 200;
  // Pause after an accept failure such as running out of descriptors.
  static constexpr int kAcceptPauseMilliseconds = 100;

  // The machine's preferred address; port 0 lets the system choose. Throw
  // QVException: 5 no memory, 59 the port is in use, others as the network
  // layer throws them.
  RVLinkServer(qv_environment* environment, bool useIPv6, Callback callback);
  RVLinkServer(qv_environment* environment, unsigned short port, bool useIPv6, Callback callback);
  // An empty interface text listens on the any-address.
  RVLinkServer(qv_environment* environment, unsigned short port, const QVString& interfaceText, bool useIPv6,
               Callback callback);
  // Ends any wait in waitForNextLink, stops both threads, closes the links
  // nobody took and the connections still unpaired.
  ~RVLinkServer() override;
  RVLinkServer(const RVLinkServer&) = delete;
  RVLinkServer& operator=(const RVLinkServer&) = delete;

  void* Thread1() override;
  void* Thread2() override;

  // The oldest link nobody took, waiting for one; null once the server shuts down.
  QVLink* waitForNextLink();
  bool hasConnectedLinks();
  void useCallbackFunction(Callback callback);
  // The listening address's domain name, else its numeric text.
  QVString getInterface() const;
  unsigned short getPort() const { return endpoint->GetPort(); }

  void* context = nullptr;

 private:
  void Listen(const QVIPAddress& address, _qvipprotocol protocol);
  void StartThreads();
  void AcceptPass();
  void AcceptOne();
  void ReadLines(const std::vector<short>& events);
  void OpenLink(QVEndPoint& data, QVEndPoint& mesg);
  void EndWaits();
  // Hands one link to the callback (lock held).
  void Deliver(QVLink* link);

  std::unique_ptr<QVEndPoint> endpoint;
  // Touched by the accepting thread only while the server runs.
  QVPairingTable<QVEndPoint> connections;
  QVHeaderIntake<QVEndPoint> intake{kHeaderAllowance};
  QVIntakeClock::time_point acceptPausedUntil{};
  std::list<QVLink*, QVStdAllocator<QVLink*>> links;
  Callback callback = nullptr;
  qv_environment* environment = nullptr;
  // Under the acceptSync lock: set when the server shuts down, and the number
  // of callers inside waitForNextLink.
  bool stopping = false;
  int waiters = 0;
  // Told when the last caller leaves waitForNextLink after the server stopped.
  std::condition_variable_any waitersLeft;
  // Declared last so that they are destroyed (and their threads joined) first.
  QVThreadSync acceptSync;
  QVThreadSync deliverySync;
};

}  // namespace Quorvane
