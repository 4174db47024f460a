// Helpers of the "TCPIP" device tests: parameter blocks, a world with its
// signal handler installed, a connected pair in one process.
#pragma once

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "device/qvtcpipdevice.h"
#include "device/qvtcpipworld.h"
#include "support/qvtest.h"
#include "tests/device/qvtcpipraw.h"
#include "utilities/qvexception.h"

namespace qvtcpiptest {

using namespace Quorvane;

inline std::string Str(const QVString& text) { return std::string(text.data(), text.size()); }

inline std::string Block(const std::string& protocol, unsigned long mode, const std::string& name,
                         unsigned long options = 0, const std::string& location = "") {
  std::string block;
  for (const std::string& field :
       {protocol, std::to_string(mode), name, location, std::string(), std::to_string(options)}) {
    block += field;
    block.push_back('\0');
  }
  return block;
}

// The type of the QVException body throws, or -1 when it throws none.
template <typename Body>
long ThrownType(Body&& body) {
  try {
    body();
  } catch (const QVException& e) {
    return static_cast<long>(e.getType());
  }
  return -1;
}

// SIGIO and SIGURG reach the world's handler, as the environment arranges.
inline void InstallSignalHandler() {
  struct sigaction action {};
  action.sa_handler = &QVTCPIPWorld::SignalHandler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int number : {SIGIO, SIGURG, SIGHUP}) sigaction(number, &action, nullptr);
}

inline std::unique_ptr<QVTCPIPDevice> Make(QVTCPIPWorld& world, const std::string& block) {
  std::string copy = block;
  return std::unique_ptr<QVTCPIPDevice>(static_cast<QVTCPIPDevice*>(world.MakeDevice(copy.data())));
}

struct Pair {
  std::unique_ptr<QVTCPIPDevice> listener;
  std::unique_ptr<QVTCPIPDevice> connector;
};

// A listener on the host and a connector to it, connected on two threads.
inline Pair Connected(QVTCPIPWorld& world, unsigned long options, const std::string& host = "127.0.0.1") {
  Pair pair;
  pair.listener = Make(world, Block("TCPIP", 2, "@" + host, options & ~QVUseUUIDTCPIPConnection));
  pair.connector = Make(world, Block("TCPIP", 4, Str(pair.listener->Name()), options));
  std::thread accepting([&] { pair.listener->Connect(); });
  pair.connector->Connect();
  accepting.join();
  return pair;
}

inline void Send(QVTCPIPDevice& device, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    char* window = nullptr;
    unsigned long size = 0;
    device.WriteWindow(&window, &size);
    const size_t count = std::min<size_t>(size, bytes.size() - done);
    std::memcpy(window, bytes.data() + done, count);
    device.Write(window, count);
    done += count;
  }
}

// Reads until count bytes arrived or the stream ended.
inline std::string Receive(QVTCPIPDevice& device, size_t count) {
  std::string got;
  while (got.size() < count) {
    char* buffer = nullptr;
    unsigned long size = 0;
    device.Read(&buffer, &size);
    if (size == 0) break;
    got.append(buffer, size);
  }
  return got;
}

// Messages a handler heard, in order.
struct Heard {
  std::mutex lock;
  std::vector<std::pair<int, int>> messages;
  static void Handler(void* cookie, int code, int argument) {
    auto* heard = static_cast<Heard*>(cookie);
    std::lock_guard<std::mutex> hold(heard->lock);
    heard->messages.emplace_back(code, argument);
  }
  size_t Count() {
    std::lock_guard<std::mutex> hold(lock);
    return messages.size();
  }
  std::vector<std::pair<int, int>> Get() {
    std::lock_guard<std::mutex> hold(lock);
    return messages;
  }
};

// A new-model device connected to a hand-made far end, its handler recording.
struct RawLink {
  RawServer server;
  std::unique_ptr<QVTCPIPDevice> device;
  Heard heard;
  explicit RawLink(QVTCPIPWorld& world, unsigned long mode = 4) {
    device = Make(world, Block("TCPIP", mode, server.Name(), QVUseNewTCPIPConnection));
    device->SetMessageHandler(&Heard::Handler, &heard);
    std::thread far([&] { EXPECT_TRUE(server.Accept() && server.Handshake()); });
    try {
      device->Connect();
    } catch (...) {
      far.join();
      throw;
    }
    far.join();
  }
  bool SendMessage(const std::string& bytes) { return SendAll(server.mesg.get(), bytes.data(), bytes.size()); }
};

inline bool HasIPV6Loopback() {
  const int fd = ::socket(AF_INET6, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_addr = in6addr_loopback;
  const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return ok;
}

}  // namespace qvtcpiptest
