// Arbitrary bytes from the far end of a "TCPIP" link over 127.0.0.1, where
// the device reads outside input: the old preamble (server side), its answer
// (client side), the device header, and the message stream in arbitrary cuts.
// The first byte picks the place; every run must end in success or a
// QVException, never a hang, a crash or an allocation the peer dictates.
#include <signal.h>
#include <sys/socket.h>

#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "device/qvtcpipdevice.h"
#include "device/qvtcpipworld.h"
#include "tests/device/qvtcpipraw.h"

using namespace Quorvane;
using namespace qvtcpiptest;

namespace {

std::string Block(unsigned long mode, const std::string& name, unsigned long options) {
  std::string block;
  for (const std::string& field : {std::string("TCPIP"), std::to_string(mode), name, std::string(), std::string(),
                                   std::to_string(options)}) {
    block += field;
    block.push_back('\0');
  }
  return block;
}

std::unique_ptr<QVTCPIPDevice> Make(QVTCPIPWorld& world, const std::string& block) {
  std::string copy = block;
  return std::unique_ptr<QVTCPIPDevice>(static_cast<QVTCPIPDevice*>(world.MakeDevice(copy.data())));
}

// Sends the bytes in cuts whose sizes come from the cut bytes, then ends the stream.
void SendInCuts(int fd, const std::string& bytes, const std::string& cuts) {
  size_t at = 0;
  size_t cut = 0;
  while (at < bytes.size()) {
    const size_t size = cuts.empty() ? bytes.size() : static_cast<size_t>(cuts[cut++ % cuts.size()] & 0x0f) + 1;
    const size_t count = std::min(size, bytes.size() - at);
    SendAll(fd, bytes.data() + at, count);
    at += count;
  }
  ::shutdown(fd, SHUT_WR);
}

void OldServer(QVTCPIPWorld& world, const std::string& bytes) {
  auto device = Make(world, Block(2, "@127.0.0.1", 0));
  const QVNameAndPorts nap = QVNameAndPorts::Parse(device->Name(), "");
  Fd data = ConnectLoopback(static_cast<unsigned short>(std::stoi(std::string(nap.DataPort.c_str()))));
  Fd mesg = ConnectLoopback(static_cast<unsigned short>(std::stoi(std::string(nap.MesgPort.c_str()))));
  SendInCuts(data.get(), bytes, "");
  device->Connect();
}

void OldClient(QVTCPIPWorld& world, const std::string& bytes) {
  unsigned short port = 0;
  Fd listening = ListenLoopback(&port);
  // The message port is named, so the device connects nowhere the input chooses.
  const std::string name = std::to_string(port) + "@127.0.0.1," + std::to_string(port) + "@127.0.0.1";
  auto device = Make(world, Block(4, name, 0));
  std::thread far([&] {
    if (!Readable(listening.get())) return;
    Fd data(::accept(listening.get(), nullptr, nullptr));
    ReadUpTo(data.get(), 14);
    SendInCuts(data.get(), bytes, "");
    if (Readable(listening.get(), 2000)) Fd mesg(::accept(listening.get(), nullptr, nullptr));
  });
  try {
    device->Connect();
  } catch (const QVException&) {
  }
  // Wakes a far end still waiting for a message connection that will not come.
  ::shutdown(listening.get(), SHUT_RDWR);
  far.join();
}

// A connecting new-model device whose far end sends header, then messages.
// This thread and the signal thread both take messages off the connection;
// each record goes whole to one of them.
void NewClient(QVTCPIPWorld& world, const std::string& header, const std::string& messages,
               const std::string& cuts) {
  RawServer server;
  auto device = Make(world, Block(4, server.Name(), QVUseNewTCPIPConnection));
  std::thread far([&] {
    if (!server.Accept()) return;
    SendInCuts(server.data.get(), header, "");
    SendInCuts(server.mesg.get(), messages, cuts);
  });
  try {
    device->Connect();
    for (int i = 0; i < 4096; ++i) {
      unsigned long code = 0;
      unsigned long argument = 0;
      device->ReadMessage(&code, &argument);
      if (code == QVTCPIPDevice::kClosedCode) break;
    }
  } catch (const QVException&) {
  }
  far.join();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 4096) return 0;
  // The message connections raise SIGIO and SIGURG; the environment would
  // install the world's handler for them.
  static const bool installed = [] {
    struct sigaction action {};
    action.sa_handler = &QVTCPIPWorld::SignalHandler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return sigaction(SIGIO, &action, nullptr) == 0 && sigaction(SIGURG, &action, nullptr) == 0;
  }();
  if (!installed) return 0;
  static QVTCPIPWorld* world = new QVTCPIPWorld();
  const std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
  try {
    switch (data[0] % 4) {
      case 0: OldServer(*world, input); break;
      case 1: OldClient(*world, input); break;
      case 2: NewClient(*world, input, std::string(), std::string()); break;
      default: {
        // A good header, then the input as messages cut by its own bytes.
        const std::string header = Header();
        NewClient(*world, header, input, input);
        break;
      }
    }
  } catch (const QVException&) {
  }
  return 0;
}
