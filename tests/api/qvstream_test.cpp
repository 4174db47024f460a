// The stream on a loopback link's plumbing, on bare queues, and over the
// scripted device (a real socketpair whose other end the test holds).
#include "api/qvstream.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "support/qvlinkharness.h"
#include "support/qvscripteddevice.h"
#include "support/qvtest.h"

namespace {

using qvtest::LinkPlumbing;
using qvtest::ScriptedDevice;
using qvtest::ScriptedOp;

std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + (i * 7 + i / 26) % 26);
  return s;
}

int64_t Pending(const device_kebab* d) { return d->window_size - d->room; }

std::string ReadAll(device_kebab* d, _queue* q, size_t count, long* error) {
  std::string out(count, '\0');
  const int64_t got = qvs__getn(d, q, out.data(), static_cast<int64_t>(count), error);
  out.resize(static_cast<size_t>(got > 0 ? got : 0));
  return out;
}

// Closes the scripted peer when a step has not finished in time, so a read
// that blocks where it must not fails the test instead of hanging it.
class Watchdog {
 public:
  explicit Watchdog(ScriptedDevice& device, std::chrono::milliseconds deadline = std::chrono::seconds(10))
      : thread_([this, &device, deadline] {
          if (!qvtest::WaitUntil([this] { return done_.load(); }, deadline)) {
            fired_ = true;
            device.ClosePeer();
          }
        }) {}
  ~Watchdog() { Stop(); }
  bool Stop() {
    done_ = true;
    if (thread_.joinable()) thread_.join();
    return fired_;
  }

 private:
  std::atomic<bool> done_{false};
  std::atomic<bool> fired_{false};
  std::thread thread_;
};

// --- loopback ------------------------------------------------------------------

class LoopbackStream : public testing::Test {
 protected:
  void SetUp() override {
    link_ = LinkPlumbing::Loopback();
    ASSERT_NE(link_, nullptr);
  }
  device_kebab* dev() { return link_->device(); }
  _queue* q() { return link_->base(); }
  std::unique_ptr<LinkPlumbing> link_;
};

TEST_F(LoopbackStream, ThreeBytesReadBackThenNothingArrives) {
  for (char c : std::string("xyz")) ASSERT_EQ(qvs__putc(dev(), q(), c), 0);
  long error = 0;
  EXPECT_EQ(qvs__getc(dev(), q(), &error), 'x');
  EXPECT_EQ(qvs__getc(dev(), q(), &error), 'y');
  EXPECT_EQ(qvs__getc(dev(), q(), &error), 'z');
  EXPECT_EQ(qvs__getc(dev(), q(), &error), -1);
  EXPECT_EQ(error, 25);
  error = 0;
  EXPECT_EQ(qvs__peekc(dev(), q(), &error), -1);
  EXPECT_EQ(error, 0);
}

// Writing 5000 bytes without reading hands two whole windows to the input
// queue on the way and keeps the rest pending, byte by byte or all at once.
TEST_F(LoopbackStream, FiveThousandBytesPassTheWindowInTwoFlushes) {
  const std::string text = Pattern(5000);
  for (bool bytewise : {false, true}) {
    SCOPED_TRACE(bytewise ? "putc" : "putn");
    SetUp();
    long error = 0;
    if (bytewise) {
      for (char c : text) ASSERT_EQ(qvs__putc_fast(dev(), q(), c), 0);
    } else {
      ASSERT_EQ(qvs__putn(dev(), q(), text.data(), 5000, &error), 5000);
    }
    EXPECT_EQ(qvqueue_amount_left_in_queue(q()), 4096);
    EXPECT_EQ(Pending(dev()), 5000 - 4096);
    EXPECT_EQ(dev()->bytes_flushed, 1u + 4096);
    EXPECT_EQ(ReadAll(dev(), q(), 6000, &error), text);
    EXPECT_EQ(error, 25);
  }
}

TEST_F(LoopbackStream, SizeIsOnePlusTheBytesWritten) {
  EXPECT_EQ(qvs__size(dev()), 1u);
  long error = 0;
  uint64_t written = 0;
  for (int64_t n : {1, 2047, 1, 3000, 5, 4096}) {
    const std::string chunk = Pattern(static_cast<size_t>(n));
    ASSERT_EQ(qvs__putn(dev(), q(), chunk.data(), n, &error), n);
    written += static_cast<uint64_t>(n);
    EXPECT_EQ(qvs__size(dev()), 1 + written);
    ReadAll(dev(), q(), static_cast<size_t>(n) / 2, &error);  // reading flushes; no change
    EXPECT_EQ(qvs__size(dev()), 1 + written);
  }
  ASSERT_EQ(qvs__putv(dev(), q(), "abcdefgh", 4, 2, &error), 2);
  EXPECT_EQ(qvs__size(dev()), 1 + written + 8);
  EXPECT_EQ(qvs__size(nullptr), 0u);
}

TEST_F(LoopbackStream, PutvRefusesAnOverflowingSize) {
  long error = 0;
  EXPECT_EQ(qvs__putv(dev(), q(), "x", INT64_MAX / 2, 3, &error), 0);
  EXPECT_EQ(error, 8);
  EXPECT_EQ(Pending(dev()), 0);
  error = 0;
  EXPECT_EQ(qvs__putv(nullptr, q(), "x", INT64_MAX / 2, 3, &error), 0);
  EXPECT_EQ(error, 8);
  EXPECT_EQ(qvqueue_amount_left_in_queue(q()), 0);
  EXPECT_EQ(qvs__putv(dev(), q(), "x", 0, 9, &error), 9);  // nothing to write: every element
}

TEST_F(LoopbackStream, EmptinessTestFlushesPendingOutput) {
  EXPECT_EQ(qvs__isempty(dev(), q()), 1);
  ASSERT_EQ(qvs__putc(dev(), q(), 'k'), 0);
  EXPECT_EQ(qvqueue_isempty(q()), 1);
  EXPECT_EQ(qvs__isempty(dev(), q()), 0);
  EXPECT_EQ(Pending(dev()), 0);
}

TEST_F(LoopbackStream, SeekGoesBackToAMark) {
  long error = 0;
  ASSERT_EQ(qvs__putn(dev(), q(), "markme", 6, &error), 6);
  EXPECT_EQ(qvs__getc(dev(), q(), &error), 'm');
  _mark* mark = qvqueue_savemark(q());
  EXPECT_EQ(ReadAll(dev(), q(), 3, &error), "ark");
  EXPECT_EQ(qvs__seek(dev(), q(), mark), 1);
  EXPECT_EQ(ReadAll(dev(), q(), 5, &error), "arkme");
  qvqueue_discardmark(mark);
  EXPECT_EQ(qvs__seektoend(dev(), q()), 1);
}

// Counting allocator for a queue that runs out of memory on demand.
struct Tight {
  static inline bool exhausted = false;
  static void* Allocate(uint64_t n) { return exhausted ? nullptr : std::malloc(n); }
  static void Free(void* p) { std::free(p); }
};

// A loopback flush that the queue cannot take in full: only what went in is
// counted and leaves the window; the retry hands on the rest exactly once.
TEST(LoopbackFlush, RefusedBytesStayPendingAndCountOnce) {
  _queue* queue = qvqueue_new_with_allocators(Tight::Allocate, Tight::Free, nullptr, 1000, nullptr, nullptr);
  ASSERT_NE(queue, nullptr);
  unsigned char window[2048];
  device_kebab d;
  d.loopback = 1;
  d.window_start = d.cursor = window;
  d.window_size = d.room = 2048;
  d.bytes_flushed = 1;
  const std::string text = Pattern(1500);
  long error = 0;
  ASSERT_EQ(qvs__putn(&d, queue, text.data(), 1500, &error), 1500);
  ASSERT_EQ(qvs__flush_(&d, queue), 0);                     // one chunk of 1000 and one more
  ASSERT_EQ(qvs__putn(&d, queue, text.data(), 1500, &error), 1500);
  Tight::exhausted = true;
  EXPECT_EQ(qvs__flush_(&d, queue), 8);  // the second chunk takes 500, the rest waits
  EXPECT_EQ(d.bytes_flushed, 1u + 1500 + 500);
  EXPECT_EQ(Pending(&d), 1000);
  EXPECT_EQ(qvs__size(&d), 1u + 3000);
  Tight::exhausted = false;
  EXPECT_EQ(qvs__flush_(&d, queue), 0);
  EXPECT_EQ(d.bytes_flushed, 1u + 3000);
  EXPECT_EQ(ReadAll(nullptr, queue, 4000, &error), text + text);
  qvqueue_destroy(queue);
}

// --- bare queues (no device stack) --------------------------------------------

TEST(QueueOnlyStream, WritesGoToTheQueueAndReadsNeverWait) {
  _queue* queue = qvqueue_new_with_allocators(Tight::Allocate, Tight::Free, nullptr, 4, nullptr, nullptr);
  long error = 0;
  EXPECT_EQ(qvs__putc(nullptr, queue, 'a'), 0);
  EXPECT_EQ(qvs__putn(nullptr, queue, "bcdef", 5, &error), 5);
  EXPECT_EQ(qvs__putv(nullptr, queue, "ghijkl", 2, 3, &error), 3);  // fills the third chunk
  EXPECT_EQ(qvs__peekc(nullptr, queue, &error), 'a');
  EXPECT_EQ(ReadAll(nullptr, queue, 20, &error), "abcdefghijkl");
  EXPECT_EQ(error, 25);
  EXPECT_EQ(qvs__fill(nullptr, queue), 25);
  EXPECT_EQ(qvs__flush_(nullptr, queue), 0);
  Tight::exhausted = true;
  EXPECT_EQ(qvs__putc(nullptr, queue, 'z'), 8);
  error = 0;
  EXPECT_EQ(qvs__putn(nullptr, queue, "zz", 2, &error), 0);
  EXPECT_EQ(error, 8);
  Tight::exhausted = false;
  qvqueue_destroy(queue);
}

// --- over the scripted device -------------------------------------------------

class DeviceStream : public testing::Test {
 protected:
  void SetUp() override { Open({}); }
  void Open(qvtest::ScriptedOptions options) {
    link_.reset();
    peer_ = std::make_unique<ScriptedDevice>(options);
    long error = 0;
    link_ = LinkPlumbing::OverDevice(peer_->TakeInstance(), &error);
    ASSERT_NE(link_, nullptr) << error;
  }
  void TearDown() override { link_.reset(); }
  device_kebab* dev() { return link_->device(); }
  _queue* q() { return link_->base(); }

  std::unique_ptr<ScriptedDevice> peer_;
  std::unique_ptr<LinkPlumbing> link_;
};

// The peer answers only once it has the request: if the read waited before
// sending what was pending, the peer never answers and the watchdog ends it.
TEST_F(DeviceStream, ReadSendsPendingOutputFirst) {
  long error = 0;
  ASSERT_EQ(qvs__putn(dev(), q(), "ping", 4, &error), 4);
  std::atomic<bool> saw_request{false};
  std::thread answer([&] {
    saw_request = peer_->WaitCaptured(4, std::chrono::seconds(10));
    peer_->WriteBytes(saw_request ? "pong" : "late");
  });
  const int c = qvs__getc(dev(), q(), &error);
  answer.join();
  EXPECT_TRUE(saw_request);
  EXPECT_EQ(c, 'p');
  EXPECT_EQ(peer_->Captured(), "ping");
  EXPECT_EQ(ReadAll(dev(), q(), 3, &error), "ong");
}

TEST_F(DeviceStream, ReadErrorsPassThroughOrBecomeConnectionLost) {
  const std::vector<std::pair<long, long>> cases = {{11, 11}, {25, 25}, {1, 1}, {7, 1}, {41, 1}, {-1, 1}};
  for (const auto& [injected, expected] : cases) {
    SCOPED_TRACE(injected);
    peer_->FailNext(ScriptedOp::Read, injected);
    long error = 0;
    EXPECT_EQ(qvs__getc(dev(), q(), &error), -1);
    EXPECT_EQ(error, expected);
    error = 0;
    peer_->FailNext(ScriptedOp::Read, injected);
    char buffer[4];
    EXPECT_EQ(qvs__getn(dev(), q(), buffer, 4, &error), 0);
    EXPECT_EQ(error, expected);
  }
  peer_->WriteBytes("ok");
  long error = 0;
  EXPECT_EQ(ReadAll(dev(), q(), 2, &error), "ok");
}

TEST_F(DeviceStream, PeekNeverBlocks) {
  Watchdog watchdog(*peer_);
  long error = -7;
  EXPECT_EQ(qvs__peekc(dev(), q(), &error), -1);
  EXPECT_EQ(error, 0);
  EXPECT_FALSE(watchdog.Stop());
  peer_->WriteBytes("z");
  EXPECT_EQ(qvs__peekc(dev(), q(), &error), 'z');
  EXPECT_EQ(qvs__peekc(dev(), q(), &error), 'z');
  EXPECT_EQ(qvs__getc(dev(), q(), &error), 'z');
  EXPECT_EQ(qvs__peekc(dev(), q(), &error), -1);
  EXPECT_EQ(error, 0);
}

// No window after a write: the flush reads what the peer sent (which may be
// what frees the peer) and asks for a window again.
TEST_F(DeviceStream, FlushWithoutWindowFillsAndAsksAgain) {
  peer_->WriteBytes("in");
  peer_->WithholdWindows(1);
  long error = 0;
  ASSERT_EQ(qvs__putn(dev(), q(), "out", 3, &error), 3);
  peer_->ClearLog();
  ASSERT_EQ(qvs__flush_(dev(), q()), 0);
  EXPECT_EQ(peer_->SelectorLog(), (std::vector<int>{Quorvane::QVDEVICE_WRITE, Quorvane::QVDEVICE_READ,
                                                   Quorvane::QVDEVICE_READ_COMPLETE,
                                                   Quorvane::QVDEVICE_WRITE_WINDOW}));
  EXPECT_GT(dev()->room, 0);
  EXPECT_EQ(dev()->room, dev()->window_size);
  ASSERT_TRUE(peer_->WaitCaptured(3));
  EXPECT_EQ(peer_->Captured(), "out");
  EXPECT_EQ(ReadAll(dev(), q(), 2, &error), "in");
  EXPECT_EQ(qvs__size(dev()), 1u + 3);
  // A failing window request ends the flush with its code; the bytes stay sent.
  peer_->WithholdWindows(1);
  peer_->WriteBytes("x");
  peer_->FailNext(ScriptedOp::WriteWindow, 41);
  ASSERT_EQ(qvs__putc(dev(), q(), 'y'), 0);
  EXPECT_EQ(qvs__flush_(dev(), q()), 41);
  EXPECT_EQ(Pending(dev()), 0);
  EXPECT_EQ(qvs__size(dev()), 1u + 4);
  ASSERT_EQ(qvs__putc(dev(), q(), 'z'), 0);  // a window is asked for again
  ASSERT_EQ(qvs__flush_(dev(), q()), 0);
  ASSERT_TRUE(peer_->WaitCaptured(5));
  EXPECT_EQ(peer_->Captured(), "outyz");
}

// A failed write leaves the bytes pending and uncounted; the retry sends them
// once and the position stays one plus the bytes written.
TEST_F(DeviceStream, FailedWriteRetriedCountsItsBytesOnce) {
  Open({.windowSize = 8});
  long error = 0;
  ASSERT_EQ(qvs__putn(dev(), q(), "abc", 3, &error), 3);
  peer_->FailNext(ScriptedOp::Write, 1);
  EXPECT_EQ(qvs__flush_(dev(), q()), 1);
  EXPECT_EQ(Pending(dev()), 3);
  EXPECT_EQ(qvs__size(dev()), 1u + 3);
  EXPECT_EQ(qvs__flush_(dev(), q()), 0);
  EXPECT_EQ(qvs__size(dev()), 1u + 3);
  // Across window boundaries too: 20 bytes through an 8-byte window.
  const std::string text = Pattern(20);
  ASSERT_EQ(qvs__putn(dev(), q(), text.data(), 20, &error), 20);
  EXPECT_EQ(qvs__size(dev()), 1u + 23);
  ASSERT_EQ(qvs__flush_(dev(), q()), 0);
  ASSERT_TRUE(peer_->WaitCaptured(23));
  EXPECT_EQ(peer_->Captured(), "abc" + text);
  // A write failing in the middle of a putn reports what was placed.
  peer_->FailNext(ScriptedOp::Write, 1);
  ASSERT_EQ(qvs__putn(dev(), q(), text.data(), 8, &error), 8);  // fills the window
  error = 0;
  EXPECT_EQ(qvs__putn(dev(), q(), text.data(), 4, &error), 0);
  EXPECT_EQ(error, 1);
  EXPECT_EQ(qvs__size(dev()), 1u + 31);
}

TEST_F(DeviceStream, OneByteWindows) {
  Open({.windowSize = 1, .readSize = 1});
  const std::string text = Pattern(300);
  long error = 0;
  ASSERT_EQ(qvs__putn(dev(), q(), text.data(), 300, &error), 300);
  ASSERT_EQ(qvs__flush_(dev(), q()), 0);
  ASSERT_TRUE(peer_->WaitCaptured(300));
  EXPECT_EQ(peer_->Captured(), text);
  peer_->WriteBytes(text);
  EXPECT_EQ(ReadAll(dev(), q(), 300, &error), text);
}

// --- transfer ------------------------------------------------------------------

// The source: a queue holding text, read up to `from`, with a mark `upto`
// bytes further on.
struct Source {
  _queue* queue;
  _mark* end;
  Source(const std::string& text, int64_t from, int64_t upto) {
    queue = qvqueue_new_with_allocators(Tight::Allocate, Tight::Free, nullptr, 64, nullptr, nullptr);
    qvqueue_putn(queue, text.data(), static_cast<int64_t>(text.size()));
    std::string skip(static_cast<size_t>(from), '\0');
    if (from > 0) qvqueue_getn(queue, skip.data(), from);
    end = qvqueue_savemark_from_offset(queue, upto);
  }
  ~Source() {
    qvqueue_discardmark(end);
    qvqueue_destroy(queue);
  }
  std::string Rest() {
    std::string out(1024, '\0');
    const int64_t n = qvqueue_getn(queue, out.data(), 1024);
    out.resize(static_cast<size_t>(n > 0 ? n : 0));
    return out;
  }
};

TEST(StreamTransfer, ToBareQueueMovesUpToTheMark) {
  const std::string text = Pattern(500);
  Source source(text, 10, 300);
  _queue* destination = qvqueue_new_with_allocators(Tight::Allocate, Tight::Free, nullptr, 0, nullptr, nullptr);
  EXPECT_EQ(qvs__transfer(nullptr, destination, nullptr, source.queue, source.end), 0);
  long error = 0;
  EXPECT_EQ(ReadAll(nullptr, destination, 1000, &error), text.substr(10, 300));
  EXPECT_EQ(source.Rest(), text.substr(310));
  qvqueue_destroy(destination);
}

TEST(StreamTransfer, ToLoopbackFlushesFirstAndCountsTheBytes) {
  auto link = LinkPlumbing::Loopback();
  long error = 0;
  ASSERT_EQ(qvs__putn(link->device(), link->base(), "pre", 3, &error), 3);
  const std::string text = Pattern(400);
  Source source(text, 0, 250);
  EXPECT_EQ(qvs__transfer(link->device(), link->base(), nullptr, source.queue, source.end), 0);
  EXPECT_EQ(qvs__size(link->device()), 1u + 3 + 250);
  EXPECT_EQ(Pending(link->device()), 0);
  EXPECT_EQ(ReadAll(link->device(), link->base(), 1000, &error), "pre" + text.substr(0, 250));
  EXPECT_EQ(source.Rest(), text.substr(250));
}

TEST(StreamTransfer, ToDeviceCopiesInPiecesUpToTheMark) {
  ScriptedDevice peer;
  auto link = LinkPlumbing::OverDevice(peer.TakeInstance());
  ASSERT_NE(link, nullptr);
  const std::string text = Pattern(1000);
  Source source(text, 5, 700);  // several 256-byte pieces
  EXPECT_EQ(qvs__transfer(link->device(), link->base(), nullptr, source.queue, source.end), 0);
  EXPECT_EQ(qvs__size(link->device()), 1u + 700);
  ASSERT_EQ(qvs__flush_(link->device(), link->base()), 0);
  ASSERT_TRUE(peer.WaitCaptured(700));
  EXPECT_EQ(peer.Captured(), text.substr(5, 700));
  EXPECT_EQ(source.Rest(), text.substr(705));
}

// Nothing before the mark: what the source device holds now goes across, and
// the destination is flushed.
TEST(StreamTransfer, ToDeviceWithNothingMarkedTakesWhatTheSourceDeviceHolds) {
  ScriptedDevice to_peer;
  ScriptedDevice from_peer;
  auto to = LinkPlumbing::OverDevice(to_peer.TakeInstance());
  auto from = LinkPlumbing::OverDevice(from_peer.TakeInstance());
  ASSERT_NE(to, nullptr);
  ASSERT_NE(from, nullptr);
  _mark* here = qvqueue_savemark(from->base());
  EXPECT_EQ(qvs__transfer(to->device(), to->base(), from->device(), from->base(), here), 0);
  EXPECT_EQ(qvs__size(to->device()), 1u);  // the source device had nothing
  const std::string fresh = Pattern(600);
  from_peer.WriteBytes(fresh);
  EXPECT_EQ(qvs__transfer(to->device(), to->base(), from->device(), from->base(), here), 0);
  EXPECT_EQ(Pending(to->device()), 0);
  ASSERT_TRUE(to_peer.WaitCaptured(600));
  EXPECT_EQ(to_peer.Captured(), fresh);
  EXPECT_EQ(qvs__size(to->device()), 1u + 600);
  qvqueue_discardmark(here);
}

}  // namespace
