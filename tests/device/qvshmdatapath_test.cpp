// Bytes and messages between two real processes over one shared-memory
// segment, through the device's selectors as the link core calls them:
// payloads several rings long, messages, aborts, a peer that closes with its
// last bytes still in the ring, and a peer that is killed.
#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>

#include "qvshmtest.h"

using namespace Quorvane;
using namespace qvshmtest;

namespace {

using Clock = std::chrono::steady_clock;

// Takes every signal pending on a device's descriptor.
void Drain(int fd) {
  pollfd entry{fd, POLLIN, 0};
  while (poll(&entry, 1, 0) == 1) {
    char bytes[256];
    if (read(fd, bytes, sizeof bytes) <= 0) break;
  }
}

int Descriptor(Link& link) {
  int fd = -1;
  return Call(link.raw(), QVDEVICE_FILE_DESCRIPTOR, &fd) == 0 ? fd : -1;
}

// Once the ring is empty, a peer that closed reads as closed (11), not dead.
void ExpectReportsClosed(Link& link) {
  char* window = nullptr;
  long size = 0;
  long has = 0;
  EXPECT_EQ(Call(link.raw(), QVDEVICE_READ, &window, &size), 11);
  EXPECT_EQ(Call(link.raw(), QVDEVICE_HAS_DATA, nullptr, &has), 11);
}


TEST(SharedMemoryDataPath, CarriesPayloadsSeveralRingsLongBothWays) {
  const std::string name = UniqueName("qvdpbig");
  const std::string payload = Payload(3 * shmlayout::kBufferLength + 12345);
  SharedMailbox box;
  Child child([&] {
    return Connector(box, name, 0, [&](Link& link) {
      std::string got;
      if (ReceiveAll(link.raw(), payload.size(), got) != 0) return 20;
      if (got != payload) return 21;
      // Back again in one piece per window, so whole rings go at once.
      return SendAll(link.raw(), got) == 0 ? 0 : 22;
    });
  });
  World world;
  Link listener;
  ASSERT_TRUE(ListenAndConnect(world, listener, box, name));
  ASSERT_EQ(SendAll(listener.raw(), payload), 0);
  std::string echoed;
  ASSERT_EQ(ReceiveAll(listener.raw(), payload.size(), echoed, 100000), 0);
  EXPECT_TRUE(echoed == payload) << "the echo differs from what was sent";
  EXPECT_TRUE(ExitedWith(child.Wait(), 0));
}

// Called once the writer has found the ring full: lets the child drain it
// (stage 4) and holds the writer's wait until it has (stage 5), so the
// writer's next look finds it empty. A drain begun before the writer's
// first look would give it room at once.
int UntilDrained(void* cookie, QVYieldParams*) {
  SharedMailbox& box = *static_cast<SharedMailbox*>(cookie);
  int full = 3;
  box->stage.compare_exchange_strong(full, 4);
  return Reaches(box, 5) ? 0 : 1;
}

// The ring filled exactly with its offsets at 100: a writer that waited and
// finds it drained gets the whole buffer again, not what is left to the end.
TEST(SharedMemoryDataPath, AWriterThatWaitedForADrainedRingGetsItWhole) {
  const std::string name = UniqueName("qvdpfull");
  SharedMailbox box;
  Child child([&] {
    return Connector(box, name, 6, [&](Link& link) {
      std::string got;
      if (ReceiveAll(link.raw(), 100, got) != 0 || got != std::string(100, 'a')) return 20;
      box->stage = 3;
      if (!Reaches(box, 4)) return 21;
      if (ReceiveAll(link.raw(), shmlayout::kBufferLength, got, shmlayout::kBufferLength) != 0) return 22;
      box->stage = 5;
      return got == std::string(shmlayout::kBufferLength - 100, 'b') + std::string(100, 'c') ? 0 : 23;
    });
  });
  World world;
  Link listener;
  ASSERT_TRUE(ListenAndConnect(world, listener, box, name));
  char* window = nullptr;
  long size = 0;
  ASSERT_EQ(Call(listener.raw(), QVDEVICE_WRITE_WINDOW, &window, &size), 0);
  ASSERT_EQ(size, static_cast<long>(shmlayout::kBufferLength));
  char* const ringStart = window;
  std::memset(window, 'a', 100);
  long count = 100;
  ASSERT_EQ(Call(listener.raw(), QVDEVICE_WRITE, &window, &count), 0);
  // Room found at once keeps the offsets: the window runs to the end.
  ASSERT_EQ(count, static_cast<long>(shmlayout::kBufferLength - 100));
  ASSERT_TRUE(Reaches(box, 3));
  std::memset(window, 'b', static_cast<size_t>(count));
  ASSERT_EQ(Call(listener.raw(), QVDEVICE_WRITE, &window, &count), 0);
  ASSERT_EQ(count, 100);
  ASSERT_EQ(window, ringStart);
  std::memset(window, 'c', 100);
  Call(listener.raw(), QVDEVICE_SET_YIELD_FUNCTION, reinterpret_cast<void*>(&UntilDrained), &box);
  // The ring is full now: the window after this commit waits for the drain.
  ASSERT_EQ(Call(listener.raw(), QVDEVICE_WRITE, &window, &count), 0);
  EXPECT_EQ(count, static_cast<long>(shmlayout::kBufferLength));
  EXPECT_EQ(window, ringStart);
  box->stage = 6;
  EXPECT_TRUE(ExitedWith(child.Wait(), 0));
}

void Handler(void* cookie, int code, int argument) {
  static_cast<Mailbox*>(cookie)->answer = code * 100 + argument;
}

TEST(SharedMemoryDataPath, MessagesReachTheHandlerOrWaitForReadMessage) {
  const std::string name = UniqueName("qvdpmsg");
  SharedMailbox box;
  Child child([&] {
    return Connector(box, name, 5, [&](Link& link) {
      Call(link.raw(), QVDEVICE_SET_MESSAGE_HANDLER, reinterpret_cast<void*>(&Handler), box.operator->());
      box->stage = 3;
      if (!qvtest::WaitUntil([&] { return box->answer.load() == 507; }, std::chrono::seconds(20))) return 20;
      // The handler's message is taken out of the slot.
      unsigned long code = 1, argument = 1;
      if (Call(link.raw(), QVDEVICE_READ_MESSAGE, &code, &argument) != 0 || code != 0 || argument != 0) return 21;
      long value = 5, arg = 7;
      return Call(link.raw(), QVDEVICE_WRITE_MESSAGE, &value, &arg) == 0 ? 0 : 22;
    });
  });
  World world;
  Link listener;
  ASSERT_TRUE(ListenAndConnect(world, listener, box, name));
  ASSERT_TRUE(Reaches(box, 3));
  long value = 5, arg = 7;
  ASSERT_EQ(Call(listener.raw(), QVDEVICE_WRITE_MESSAGE, &value, &arg), 0);
  // No handler here: the message stays and reads the same each time.
  unsigned long code = 0, argument = 0;
  EXPECT_TRUE(qvtest::WaitUntil(
      [&] { return Call(listener.raw(), QVDEVICE_READ_MESSAGE, &code, &argument) == 0 && code == 5; },
      std::chrono::seconds(20)));
  EXPECT_EQ(argument, 7u);
  code = argument = 0;
  EXPECT_EQ(Call(listener.raw(), QVDEVICE_READ_MESSAGE, &code, &argument), 0);
  EXPECT_EQ(code, 5u);
  EXPECT_EQ(argument, 7u);
  box->stage = 5;
  EXPECT_TRUE(ExitedWith(child.Wait(), 0));
}

TEST(SharedMemoryDataPath, AYieldAbortInAWaitingReadOrWriteWindowAnswers52) {
  const std::string name = UniqueName("qvdpyield");
  SharedMailbox box;
  Child child([&] { return Connector(box, name, 5, [](Link&) { return 0; }); });
  World world;
  Link listener;
  ASSERT_TRUE(ListenAndConnect(world, listener, box, name));
  Call(listener.raw(), QVDEVICE_SET_YIELD_FUNCTION, reinterpret_cast<void*>(&AbortAtOnce), nullptr);
  char* window = nullptr;
  long size = 0;
  EXPECT_EQ(Call(listener.raw(), QVDEVICE_READ, &window, &size), 52);
  ASSERT_EQ(Call(listener.raw(), QVDEVICE_WRITE_WINDOW, &window, &size), 0);
  long count = size;
  // The whole ring is committed; the window after it would have to wait.
  EXPECT_EQ(Call(listener.raw(), QVDEVICE_WRITE, &window, &count), 52);
  EXPECT_EQ(Call(listener.raw(), QVDEVICE_WRITE_WINDOW, &window, &size), 52);
  box->stage = 5;
  EXPECT_TRUE(ExitedWith(child.Wait(), 0));
}

// The peer's final bytes come before the closed state, and whoever watches
// the device's descriptor is woken by the close.
TEST(SharedMemoryDataPath, APeerThatClosesLeavesItsLastBytesAndWakesTheDescriptor) {
  const std::string name = UniqueName("qvdpclose");
  const std::string last = Payload(5000);
  SharedMailbox box;
  Child child([&] {
    return Connector(box, name, 0, [&](Link& link) {
      if (!Reaches(box, 3)) return 20;
      if (SendAll(link.raw(), last) != 0) return 21;
      if (!Reaches(box, 4)) return 22;
      link.Close();
      return 0;
    });
  });
  World world;
  Link listener;
  ASSERT_TRUE(ListenAndConnect(world, listener, box, name));
  const int fd = Descriptor(listener);
  ASSERT_GE(fd, 0);
  box->stage = 3;
  long has = 0;
  ASSERT_TRUE(qvtest::WaitUntil(
      [&] { return Call(listener.raw(), QVDEVICE_HAS_DATA, nullptr, &has) == 0 && has == 1; },
      std::chrono::seconds(20)));
  // Consume whatever signal the bytes left, then wait for the close alone.
  Drain(fd);
  box->stage = 4;
  pollfd entry{fd, POLLIN, 0};
  EXPECT_EQ(poll(&entry, 1, 1000), 1) << "the close did not wake the device's descriptor";
  ASSERT_TRUE(ExitedWith(child.Wait(), 0));
  std::string got;
  EXPECT_EQ(ReceiveAll(listener.raw(), last.size(), got, 1000), 0);
  EXPECT_TRUE(got == last);
  ExpectReportsClosed(listener);
}

// A message the peer has not taken yet (a terminate just before a close) is
// kept: the closing side sends no notice over it, and the close is still
// seen as one, waking the descriptor.
TEST(SharedMemoryDataPath, AMessageNotYetTakenOutlivesThePeersClose) {
  const std::string name = UniqueName("qvdpmsgclose");
  SharedMailbox box;
  Child child([&] {
    return Connector(box, name, 0, [&](Link& link) {
      if (!Reaches(box, 3)) return 20;
      long value = 5, arg = 7;
      if (Call(link.raw(), QVDEVICE_WRITE_MESSAGE, &value, &arg) != 0) return 21;
      link.Close();
      return 0;
    });
  });
  World world;
  Link listener;
  ASSERT_TRUE(ListenAndConnect(world, listener, box, name));
  const int fd = Descriptor(listener);
  ASSERT_GE(fd, 0);
  // The connect's own signal is taken first: only the close may wake it.
  Drain(fd);
  box->stage = 3;
  ASSERT_TRUE(ExitedWith(child.Wait(), 0));
  pollfd entry{fd, POLLIN, 0};
  EXPECT_EQ(poll(&entry, 1, 1000), 1) << "the close did not wake the device's descriptor";
  long has = 0;
  EXPECT_TRUE(qvtest::WaitUntil([&] { return Call(listener.raw(), QVDEVICE_HAS_DATA, nullptr, &has) != 0; },
                                std::chrono::seconds(1)));
  ExpectReportsClosed(listener);
  unsigned long code = 0, argument = 0;
  EXPECT_EQ(Call(listener.raw(), QVDEVICE_READ_MESSAGE, &code, &argument), 0);
  EXPECT_EQ(code, 5u);
  EXPECT_EQ(argument, 7u);
}

// An idle side that only asks whether data came hears of a killed peer from
// the link within a second, even while the peer is an unreaped zombie that
// the other-process watch still counts alive.
TEST(SharedMemoryDataPath, AnIdleSideHearsOfAKilledPeerWithinASecond) {
  const std::string name = UniqueName("qvdpkilli");
  SharedMailbox box;
  Child child([&] { return Connector(box, name, 99, [](Link&) { return 0; }); });
  World world;
  Link listener;
  ASSERT_TRUE(ListenAndConnect(world, listener, box, name));
  long has = 0;
  ASSERT_EQ(Call(listener.raw(), QVDEVICE_HAS_DATA, nullptr, &has), 0);
  EXPECT_EQ(has, 0);
  ASSERT_EQ(kill(child.pid(), SIGKILL), 0);
  const Clock::time_point start = Clock::now();
  long answer = 0;
  EXPECT_TRUE(qvtest::WaitUntil(
      [&] { return (answer = Call(listener.raw(), QVDEVICE_HAS_DATA, nullptr, &has)) != 0; },
      std::chrono::seconds(1)));
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
  EXPECT_EQ(answer, 1);  // dead, not closed
}

// A peer killed mid-packet while this side reads, or writes into a full
// ring: the wait ends within a second (well before the other-process watch), as a dead
// peer, and once this side closes and the next world sweeps, nothing of the
// link is left.
TEST(SharedMemoryDataPath, APeerKilledInTheMiddleEndsAWaitWithinASecond) {
  if (qvtest::kThreadSanitizer) {
    GTEST_SKIP() << "the killed peer starts threads in a child forked from a threaded process";
  }
  // Both rounds' connectors are forked before this process makes any world:
  // a child forked while the library's threads run would lack them.
  constexpr bool kWaitsInRead[] = {true, false};
  SharedMailbox boxes[2];
  std::string names[2];
  std::unique_ptr<Child> children[2];
  for (int i = 0; i < 2; ++i) {
    names[i] = UniqueName(kWaitsInRead[i] ? "qvdpkillr" : "qvdpkillw");
    children[i] = std::make_unique<Child>([&box = boxes[i], &name = names[i]] {
      return Connector(box, name, 99, [&](Link& link) {
        // Half a packet, then nothing more: the parent waits for the rest.
        return SendAll(link.raw(), Payload(300)) == 0 ? 0 : 20;
      });
    });
  }
  for (int i = 0; i < 2; ++i) {
    const bool waitInRead = kWaitsInRead[i];
    SCOPED_TRACE(waitInRead ? "blocked in Read" : "blocked in WriteWindow");
    const std::string& name = names[i];
    SharedMailbox& box = boxes[i];
    Child& child = *children[i];
    {
      World world;
      Link listener;
      ASSERT_TRUE(ListenAndConnect(world, listener, box, name));
      std::string got;
      ASSERT_EQ(ReceiveAll(listener.raw(), 300, got), 0);
      char* window = nullptr;
      long size = 0;
      if (!waitInRead) {
        ASSERT_EQ(Call(listener.raw(), QVDEVICE_WRITE_WINDOW, &window, &size), 0);
        size = static_cast<long>(shmlayout::kBufferLength);
      }
      // Killed and reaped first: the wait below can only learn it from the
      // link itself.
      child.Kill();
      const Clock::time_point start = Clock::now();
      const long answer = waitInRead ? Call(listener.raw(), QVDEVICE_READ, &window, &size)
                                     : Call(listener.raw(), QVDEVICE_WRITE, &window, &size);
      const auto waited = Clock::now() - start;
      // Read: a dead peer (1); WriteWindow: the device's death (11).
      EXPECT_EQ(answer, waitInRead ? 1 : 11);
      EXPECT_LT(waited, std::chrono::seconds(1));
    }
    World next;
    EXPECT_EQ(EntriesWith(SyncDir(), name), std::vector<std::string>{});
    EXPECT_FALSE(Exists(ShmPath(name)));
  }
}

}  // namespace
