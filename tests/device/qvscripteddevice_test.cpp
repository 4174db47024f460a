// The scripted test device the link-core tests stand on: bytes both ways over
// its socketpair, truthful readiness, the end of the stream, scripted failures
// and windows, messages, and two devices joined back to back.
#include "support/qvscripteddevice.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "support/qvtest.h"

namespace {

using Quorvane::QVDeviceInstance;
using qvtest::ScriptedDevice;
using qvtest::ScriptedOp;
using Window = QVDeviceInstance::Window;

// Reads through the device until count bytes have arrived.
std::string ReadAll(QVDeviceInstance& device, size_t count) {
  std::string got;
  while (got.size() < count) {
    long error = 0;
    Window window = device.read(&error);
    if (error != 0) break;
    got.append(window.first, static_cast<size_t>(window.second));
    device.readComplete(window, &error);
  }
  return got;
}

// Writes through the device's windows, whatever their size.
void WriteAll(QVDeviceInstance& device, const std::string& bytes) {
  long error = 0;
  Window window = device.writeWindow(&error);
  size_t at = 0;
  while (at < bytes.size()) {
    ASSERT_EQ(error, 0);
    ASSERT_NE(window.first, nullptr);
    size_t n = std::min(bytes.size() - at, static_cast<size_t>(window.second));
    std::memcpy(window.first, bytes.data() + at, n);
    at += n;
    window = device.write(window.first, static_cast<long>(n), &error);
  }
}

std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + 7) & 0xFF);
  return s;
}

TEST(ScriptedDevice, BytesPassBothWaysThroughTinyWindows) {
  ScriptedDevice peer({.windowSize = 1, .readSize = 3});
  auto device = peer.TakeInstance();
  const std::string out = Pattern(10000);
  WriteAll(*device, out);
  ASSERT_TRUE(peer.WaitCaptured(out.size()));
  EXPECT_EQ(peer.TakeCaptured(), out);

  const std::string in = Pattern(5000).substr(17);
  peer.WriteBytes(in);
  EXPECT_EQ(ReadAll(*device, in.size()), in);
}

TEST(ScriptedDevice, PartlyConsumedWindowComesBackFirst) {
  ScriptedDevice peer;
  auto device = peer.TakeInstance();
  peer.WriteBytes("abcdef");
  ASSERT_TRUE(qvtest::WaitUntil([&] { return device->hasData(); }));
  long error = 0;
  Window window = device->read(&error);
  ASSERT_EQ(std::string(window.first, static_cast<size_t>(window.second)), "abcdef");
  device->readComplete(window.first, 2, &error);
  EXPECT_EQ(error, 26);  // the rest is ready at once
  EXPECT_TRUE(device->hasData());
  window = device->read(&error);
  EXPECT_EQ(std::string(window.first, static_cast<size_t>(window.second)), "cdef");
  device->readComplete(window, &error);
  EXPECT_EQ(error, 0);
  EXPECT_FALSE(device->hasData());
}

TEST(ScriptedDevice, PeerCloseEndsTheStreamAfterItsBytes) {
  ScriptedDevice peer;
  auto device = peer.TakeInstance();
  peer.WriteBytes("xy");
  peer.ClosePeer();
  long error = 0;
  Window window = device->read(&error);
  ASSERT_EQ(error, 0);
  EXPECT_EQ(std::string(window.first, 2), "xy");
  device->readComplete(window, &error);
  EXPECT_EQ(error, 11);
  EXPECT_FALSE(device->hasData());  // closed is not data
  device->read(&error);
  EXPECT_EQ(error, 11);
  // Writes towards a closed peer are a lost connection.
  Window out = device->writeWindow(&error);
  out.first[0] = 'z';
  device->write(out.first, 1, &error);
  EXPECT_EQ(error, 1);
}

TEST(ScriptedDevice, ScriptedFailuresAnswerOnceEach) {
  struct Case {
    ScriptedOp op;
    long code;
  };
  const Case cases[] = {{ScriptedOp::Connect, 41}, {ScriptedOp::Connect, 25}, {ScriptedOp::Read, 11},
                        {ScriptedOp::Read, 25},    {ScriptedOp::Read, 1},     {ScriptedOp::Read, 43},
                        {ScriptedOp::Write, 1},    {ScriptedOp::WriteWindow, 8}};
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.op));
    SCOPED_TRACE(c.code);
    ScriptedDevice peer;
    auto device = peer.TakeInstance();
    Window window = device->writeWindow();
    peer.WriteBytes("q");
    peer.FailNext(c.op, c.code);
    auto attempt = [&]() -> long {
      long error = 0;
      switch (c.op) {
        case ScriptedOp::Connect: device->connect(&error); break;
        case ScriptedOp::Read: device->read(&error); break;
        case ScriptedOp::Write: window.first[0] = 'w'; device->write(window.first, 1, &error); break;
        default: device->writeWindow(&error); break;
      }
      return error;
    };
    EXPECT_EQ(attempt(), c.code);
    EXPECT_EQ(attempt(), 0);  // the next call works
  }
}

TEST(ScriptedDevice, FailureWakesABlockedRead) {
  ScriptedDevice peer;
  auto device = peer.TakeInstance();
  std::atomic<long> answer{-100};
  std::thread reader([&] {
    long error = 0;
    device->read(&error);
    answer = error;
  });
  ASSERT_TRUE(qvtest::WaitUntil([&] {
    auto log = peer.SelectorLog();
    return !log.empty() && log.back() == Quorvane::QVDEVICE_READ;
  }));
  peer.FailNext(ScriptedOp::Read, 25);
  reader.join();
  EXPECT_EQ(answer, 25);
}

int gYieldCalls = 0;
int GiveUpOnThirdCall(void*, QVYieldParams*) { return ++gYieldCalls >= 3 ? 1 : 0; }

TEST(ScriptedDevice, YieldFunctionCanAbortABlockedRead) {
  ScriptedDevice peer;
  auto device = peer.TakeInstance();
  gYieldCalls = 0;
  device->setYielder(GiveUpOnThirdCall, nullptr);
  long error = 0;
  device->read(&error);
  EXPECT_EQ(error, 25);
  EXPECT_EQ(gYieldCalls, 3);
}

TEST(ScriptedDevice, WithheldWindowsAndWindowSize) {
  ScriptedDevice peer;
  auto device = peer.TakeInstance();
  long error = 0;
  Window window = device->writeWindow(&error);
  ASSERT_EQ(window.second, 4096);
  peer.WithholdWindows(2);
  peer.SetWindowSize(7);
  window.first[0] = 'a';
  EXPECT_EQ(device->write(window.first, 1, &error), (Window{nullptr, 0}));
  EXPECT_EQ(error, 0);
  EXPECT_EQ(device->writeWindow(&error), (Window{nullptr, 0}));
  EXPECT_EQ(error, 0);
  window = device->writeWindow(&error);
  EXPECT_NE(window.first, nullptr);
  EXPECT_EQ(window.second, 7);
  ASSERT_TRUE(peer.WaitCaptured(1));
  EXPECT_EQ(peer.Captured(), "a");
}

TEST(ScriptedDevice, WriteRefusesMoreThanTheWindowOrAForeignStart) {
  ScriptedDevice peer({.windowSize = 4});
  auto device = peer.TakeInstance();
  Window window = device->writeWindow();
  char elsewhere[4] = {};
  long error = 0;
  device->write(window.first, 5, &error);
  EXPECT_EQ(error, -1);
  device->write(elsewhere, 1, &error);
  EXPECT_EQ(error, -1);
  EXPECT_EQ(peer.CapturedCount(), 0u);
}

std::atomic<int> gHandled{0};
void CountMessage(void*, int code, int argument) { gHandled += code * 100 + argument; }

TEST(ScriptedDevice, BackToBackPairCarriesBytesAndMessagesBothWays) {
  auto [left, right] = ScriptedDevice::MakePair({.name = "left", .windowSize = 3},
                                                {.name = "right", .windowSize = 4096});
  auto a = left->TakeInstance();
  auto b = right->TakeInstance();
  EXPECT_EQ(Quorvane::ToStdString(b->name()), "right");

  const std::string ab = Pattern(3000);
  const std::string ba = Pattern(4500).substr(100);
  std::thread writer([&] { WriteAll(*a, ab); });
  EXPECT_EQ(ReadAll(*b, ab.size()), ab);
  writer.join();
  WriteAll(*b, ba);
  EXPECT_EQ(ReadAll(*a, ba.size()), ba);

  gHandled = 0;
  b->setHandler(CountMessage, nullptr);
  a->writeMessage(2, 7);
  EXPECT_EQ(gHandled, 207);
  EXPECT_TRUE(b->hasMessage());
  EXPECT_FALSE(a->hasMessage());
  long error = 0;
  EXPECT_EQ(b->readMessage(&error), (std::pair<long, long>{2, 7}));
  b->readMessage(&error);
  EXPECT_EQ(error, 18);

  // Closing one side ends the other's stream.
  a = {};
  EXPECT_EQ(left->CloseCount(), 1);
  b->read(&error);
  EXPECT_EQ(error, 11);
}

}  // namespace
