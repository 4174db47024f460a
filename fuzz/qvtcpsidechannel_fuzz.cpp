// Arbitrary bytes as the side-channel and role words a TCP device reads, on
// both sides of a loopback connection, and as name and location texts split
// by qvu_parse_name. The first byte picks the side; the rest goes on the wire.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "api/qvyield.h"
#include "device/qvmessagelayer.h"
#include "device/qvtcp.h"
#include "support/qvprivatenetwork.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Listening devices bind the any-address: in a network of its own the
  // target listens on no interface of this machine. Where the kernel refuses
  // that, it runs on the machine's network as before.
  qvtest::EnterPrivateNetwork();
  return 0;
}

namespace {

using namespace Quorvane;

void* Allocate(uint64_t size) { return std::malloc(size); }
void Release(void* block) { std::free(block); }
// Anything that would wait stops at once: the input is all there is.
int StopWaiting(void*, QVYieldParams*) { return 1; }
// The connecting side waits for the answering thread a little, not for ever.
int patientCalls = 0;
int StopSoon(void*, QVYieldParams*) {
  usleep(1000);
  return ++patientCalls > 500 ? 1 : 0;
}

void* World() {
  static void* world = [] {
    // As the environment would: armed connections raise SIGIO and SIGURG.
    watchsignal(SIGIO, &unix_signal_handler);
    watchsignal(SIGURG, &unix_signal_handler);
    void* made = nullptr;
    socket_main(&made, QVDEVICE_WORLD_INIT, reinterpret_cast<void*>(&Allocate), reinterpret_cast<void*>(&Release));
    return made;
  }();
  return world;
}

void* Make(unsigned long mode, const std::string& name) {
  std::string block = std::string("TCP") + '\0' + std::to_string(mode) + '\0' + name + '\0' + '\0' + '\0' + "0" + '\0';
  void* device = nullptr;
  return socket_main(World(), QVDEVICE_WORLD_MAKE, &device, block.data()) == 0 ? device : nullptr;
}

void SendAndEnd(int fd, const uint8_t* bytes, size_t size) {
  if (size > 0) send(fd, bytes, size, MSG_NOSIGNAL);
  shutdown(fd, SHUT_WR);
}

int Port(int fd) {
  sockaddr_in a{};
  socklen_t length = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
  return ntohs(a.sin_port);
}

// The device listens; a raw client sends the bytes.
void AgainstListener(const uint8_t* bytes, size_t size) {
  void* device = Make(2, "");
  if (device == nullptr) return;
  char name[256] = {};
  long capacity = sizeof name;
  socket_main(device, QVDEVICE_NAME, name, &capacity);
  const int client = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(std::atoi(name)));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(client, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
    SendAndEnd(client, bytes, size);
    socket_main(device, QVDEVICE_SET_YIELD_FUNCTION, reinterpret_cast<void*>(&StopWaiting), nullptr);
    socket_main(device, QVDEVICE_CONNECT, nullptr, nullptr);
  }
  close(client);
  socket_main(device, QVDEVICE_CLOSE, nullptr, nullptr);
}

// The device connects; a raw server answers with the bytes.
void AgainstServer(const uint8_t* bytes, size_t size) {
  static const int server = [] {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(fd, 8);
    return fd;
  }();
  void* device = Make(4, std::to_string(Port(server)) + "@127.0.0.1");
  if (device == nullptr) return;
  std::thread answer([&] {
    pollfd p{server, POLLIN, 0};
    if (poll(&p, 1, 2000) != 1) return;
    const int peer = accept(server, nullptr, nullptr);
    if (peer < 0) return;
    SendAndEnd(peer, bytes, size);
    close(peer);
  });
  patientCalls = 0;
  socket_main(device, QVDEVICE_SET_YIELD_FUNCTION, reinterpret_cast<void*>(&StopSoon), nullptr);
  socket_main(device, QVDEVICE_CONNECT, nullptr, nullptr);
  answer.join();
  socket_main(device, QVDEVICE_CLOSE, nullptr, nullptr);
}

void Names(const uint8_t* bytes, size_t size) {
  const std::string text(reinterpret_cast<const char*>(bytes), size);
  const size_t cut = text.find('\n');
  const std::string name = text.substr(0, cut).c_str();
  const std::string location = cut == std::string::npos ? "" : text.substr(cut + 1).c_str();
  char buffer[133];
  char *port = nullptr, *host = nullptr, *rest = nullptr;
  if (qvu_parse_name(name.c_str(), location.c_str(), buffer, sizeof buffer, &port, &host, &rest, "@:") == 0) {
    if (std::strlen(port) + std::strlen(host) >= sizeof buffer) std::abort();
  }
  void* device = Make(4, name + (location.empty() ? "" : "@" + location));
  if (device != nullptr) socket_main(device, QVDEVICE_CLOSE, nullptr, nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  switch (data[0] % 3) {
    case 0: AgainstListener(data + 1, size - 1); break;
    case 1: AgainstServer(data + 1, size - 1); break;
    default: Names(data + 1, size - 1); break;
  }
  return 0;
}
