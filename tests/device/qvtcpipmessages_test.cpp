// Messages of a "TCPIP" link: how records are taken off the connection, and
// through the signal thread: records that arrive together or cut anywhere
// all reach the handler in order, a record is never split between the
// signal thread and a caller reading messages itself, and a handler may
// close links while another thread's close waits for it.
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "tests/device/qvtcpiptest.h"

namespace {

using namespace Quorvane;
using namespace qvtcpiptest;

class TCPIPMessages : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { InstallSignalHandler(); }
  QVTCPIPWorld world;
};

std::string Messages(uint32_t first, uint32_t count) {
  std::string bytes;
  for (uint32_t code = first; code < first + count; ++code) bytes += Message(code, code * 1000 + 7);
  return bytes;
}

std::vector<std::pair<int, int>> Expected(uint32_t first, uint32_t count) {
  std::vector<std::pair<int, int>> messages;
  for (uint32_t code = first; code < first + count; ++code) messages.emplace_back(code, code * 1000 + 7);
  return messages;
}

TEST_F(TCPIPMessages, ArrivingTogetherOrInPiecesAllReachTheHandlerInOrder) {
  const std::string all = Messages(10, 200);
  struct Case {
    const char* what;
    std::vector<std::string> writes;  // each one send on the message connection
    uint32_t count;
  } cases[] = {
      {"two in one write", {Messages(10, 2)}, 2},
      {"five in one write", {Messages(10, 5)}, 5},
      {"more than one pass takes from a device", {all}, 200},
      {"a whole record and half the next, then the rest and one more",
       {all.substr(0, 12), all.substr(12, 12)}, 3},
      {"cut inside the code word and inside the argument word", {all.substr(0, 2), all.substr(2, 4), all.substr(6, 10)}, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RawLink link(world);
    for (const std::string& bytes : c.writes) {
      ASSERT_TRUE(link.SendMessage(bytes));
      // Each write its own segment, not merged with the next one by the sender.
      ASSERT_TRUE(qvtest::WaitUntil([&] {
        int unsent = 0;
        return ::ioctl(link.server.mesg.get(), TIOCOUTQ, &unsent) == 0 && unsent == 0;
      }));
    }
    EXPECT_TRUE(qvtest::WaitUntil([&] { return link.heard.Count() >= c.count; }));
    EXPECT_EQ(link.heard.Get(), Expected(10, c.count));
  }
}

// How records are taken off a connection, at its end above all.
TEST(TCPIPMessageStream, TakesWholeRecordsAndReadsTheEnd) {
  using Got = QVTCPIPMessageStream::Got;
  struct Taken {
    Got got;
    uint32_t code, argument;
    bool operator==(const Taken&) const = default;
  };
  struct Case {
    const char* what;
    std::string bytes;
    bool end;               // the far end closes after the bytes
    bool loneCloseIsWhole;  // as the signal thread takes them
    std::vector<Taken> taken;
  } cases[] = {
      {"two records, then nothing yet", Message(2, 5) + Message(3, 7), false, false,
       {{Got::message, 2, 5}, {Got::message, 3, 7}, {Got::nothing, 0, 0}}},
      {"a close code alone waits for its argument", Message(9, 0).substr(0, 4), false, false, {{Got::nothing, 0, 0}}},
      {"unless the reader takes it alone", Message(9, 0).substr(0, 4), false, true, {{Got::message, 9, 0}}},
      {"a close code and its argument", Message(9, 3), false, false, {{Got::message, 9, 3}}},
      {"a close code, then the end", Message(9, 0).substr(0, 4), true, false,
       {{Got::message, 9, 9}, {Got::ended, 0, 0}}},
      {"a code, then the end", Message(2, 5).substr(0, 4), true, false, {{Got::message, 2, 9}, {Got::ended, 0, 0}}},
      {"the end inside a code", Message(2, 5).substr(0, 3), true, false, {{Got::brokenCode, 0, 0}, {Got::ended, 0, 0}}},
      {"the end inside an argument", Message(2, 5).substr(0, 6), true, true,
       {{Got::brokenArgument, 0, 0}, {Got::ended, 0, 0}}},
      {"the end between records", Message(2, 5), true, false, {{Got::message, 2, 5}, {Got::ended, 0, 0}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    int ends[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
    Fd near(ends[0]);
    Fd far(ends[1]);
    ASSERT_TRUE(SendAll(far.get(), c.bytes.data(), c.bytes.size()));
    if (c.end) far.reset();
    QVTCPIPMessageStream stream;
    std::vector<Taken> taken;
    for (size_t i = 0; i < c.taken.size(); ++i) {
      Taken one{Got::nothing, 0, 0};
      one.got = stream.Take(near.get(), c.loneCloseIsWhole, &one.code, &one.argument);
      if (one.got != Got::message) one.code = one.argument = 0;
      taken.push_back(one);
    }
    EXPECT_TRUE(taken == c.taken);
  }
}

// Backs out of a caller's wait once the deadline has passed, so that a lost
// message fails the test instead of hanging it.
int BackOutAfterDeadline(void* cookie, QVYieldParams*) {
  return std::chrono::steady_clock::now() > *static_cast<std::chrono::steady_clock::time_point*>(cookie) ? 1 : 0;
}

TEST_F(TCPIPMessages, CallerAndSignalThreadNeverSplitARecord) {
  constexpr uint32_t kCount = 3000;
  RawLink link(world);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  link.device->SetYieldFunction(&BackOutAfterDeadline, &deadline);
  const int on = 1;
  ASSERT_EQ(::setsockopt(link.server.mesg.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on), 0);
  // Small cuts of every size, so that both readers often find half a record.
  std::thread far([&] {
    const std::string bytes = Messages(1000, kCount) + Message(9, 0).substr(0, 4);
    size_t at = 0;
    for (size_t cut = 1; at < bytes.size(); cut = cut % 11 + 1) {
      const size_t count = std::min(cut, bytes.size() - at);
      if (!SendAll(link.server.mesg.get(), bytes.data() + at, count)) break;
      at += count;
    }
    ::shutdown(link.server.mesg.get(), SHUT_WR);
  });
  std::vector<std::pair<int, int>> read;
  try {
    for (;;) {
      unsigned long code = 0;
      unsigned long argument = 0;
      link.device->ReadMessage(&code, &argument);
      if (code == QVTCPIPDevice::kClosedCode) break;
      read.emplace_back(static_cast<int>(code), static_cast<int>(argument));
    }
  } catch (const QVException& e) {
    // The signal thread took the close notice and ended the link first.
    EXPECT_EQ(e.getType(), qvexceptiontype::connectionClosed) << e.getWhat();
  }
  far.join();
  EXPECT_TRUE(qvtest::WaitUntil([&] { return !link.device->ConnectedQ(); }));
  const std::vector<std::pair<int, int>> heard = link.heard.Get();
  // Each reader gets whole records, in order; between them, every record once.
  EXPECT_TRUE(std::is_sorted(read.begin(), read.end()));
  EXPECT_TRUE(std::is_sorted(heard.begin(), heard.end()));
  std::vector<std::pair<int, int>> both = read;
  both.insert(both.end(), heard.begin(), heard.end());
  std::sort(both.begin(), both.end());
  EXPECT_EQ(both, Expected(1000, kCount)) << read.size() << " read by the caller, " << heard.size() << " heard";
}

// Lets the handler of one link close that link and stops there.
struct Closer {
  std::unique_ptr<QVTCPIPDevice>* device = nullptr;
  std::atomic<bool> closed{false};
  static void Handler(void* cookie, int, int) {
    auto* self = static_cast<Closer*>(cookie);
    self->device->reset();
    self->closed = true;
  }
};

TEST_F(TCPIPMessages, HandlerThatClosesItsLinkLeavesDispatchRunning) {
  RawLink link(world);
  Closer closer;
  closer.device = &link.device;
  link.device->SetMessageHandler(&Closer::Handler, &closer);
  // Two records at once: the second must not be read from the destroyed device.
  ASSERT_TRUE(link.SendMessage(Message(2, 1) + Message(2, 2)));
  ASSERT_TRUE(qvtest::WaitUntil([&] { return closer.closed.load(); }));
  EXPECT_EQ(ReadUpTo(link.server.mesg.get(), 8), std::string("\0\0\0\x09", 4)) << "the close notice";
  RawLink other(world);
  ASSERT_TRUE(other.SendMessage(Message(3, 4)));
  EXPECT_TRUE(qvtest::WaitUntil([&] { return other.heard.Count() == 1; }));
}

// A handler still running when another thread destroys its device.
struct SlowHandler {
  std::atomic<bool> running{false};
  std::atomic<bool> destroyed{false};
  std::atomic<bool> destroyedWhileRunning{false};
  static void Handler(void* cookie, int, int) {
    auto* self = static_cast<SlowHandler*>(cookie);
    self->running = true;
    // The destruction must wait for this handler: it never ends meanwhile.
    self->destroyedWhileRunning = qvtest::WaitUntil([&] { return self->destroyed.load(); }, std::chrono::milliseconds(300));
  }
};

TEST_F(TCPIPMessages, DestroyingADeviceWaitsForItsRunningHandler) {
  RawLink link(world);
  SlowHandler slow;
  link.device->SetMessageHandler(&SlowHandler::Handler, &slow);
  ASSERT_TRUE(link.SendMessage(Message(2, 3)));
  ASSERT_TRUE(qvtest::WaitUntil([&] { return slow.running.load(); }));
  std::thread closing([&] {
    link.device.reset();
    slow.destroyed = true;
  });
  closing.join();
  EXPECT_FALSE(slow.destroyedWhileRunning.load());
  EXPECT_EQ(ReadUpTo(link.server.mesg.get(), 8), std::string("\0\0\0\x09", 4));
}

}  // namespace
