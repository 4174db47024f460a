// The connected device: bytes go out through a chunked queue drained by the
// device's writer thread, so a caller never waits for the network; bytes come
// in on the caller's thread in slices that let the yield function run;
// messages are two big-endian words on the message connection.
#include <arpa/inet.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "device/qvtcpipdevice.h"
#include "device/qvtcpipworld.h"
#include "utilities/qvexception.h"

namespace Quorvane {

namespace {

constexpr auto kDrainLimit = std::chrono::seconds(1);

bool StopYield(void* cookie, void*) { return static_cast<std::atomic<bool>*>(cookie)->load(); }

void PutWord(char* at, uint32_t value) {
  const uint32_t word = htonl(value);
  std::memcpy(at, &word, sizeof word);
}

// Ends the data stream after every byte sent, then takes off what input is
// waiting: a socket closed with unread input resets the connection instead
// of ending it, and the peer then reads a failure where the stream ended (and
// loses what was still on its way to it). Bounded: a peer that keeps sending
// is not drained for ever.
void EndStreamBeforeClosing(int fd) noexcept {
  if (fd < 0) return;
  ::shutdown(fd, SHUT_WR);
  constexpr int kMostReads = 64;
  char scrap[4096];
  for (int i = 0; i < kMostReads; ++i) {
    const ssize_t n = ::recv(fd, scrap, sizeof scrap, MSG_DONTWAIT);
    if (n > 0 || (n < 0 && errno == EINTR)) continue;
    break;
  }
}

}  // namespace

std::unique_ptr<QVTCPIPDeviceThreadCore::Chunk> QVTCPIPDeviceThreadCore::TakeChunk() {
  if (spares.empty()) return std::unique_ptr<Chunk>(new Chunk);
  std::unique_ptr<Chunk> chunk = std::move(spares.back());
  spares.pop_back();
  chunk->committed = 0;
  chunk->sent = 0;
  return chunk;
}

void QVTCPIPDeviceThreadCore::RetireFront() {
  if (spares.size() < kSparesKept) spares.push_back(std::move(chunks.front()));
  chunks.pop_front();
}

void QVTCPIPDevice::RequireCore(const char* what) const {
  if (!core) Fail("Tcore object does not exist.", __LINE__, qvexceptiontype::missingObject);
  if (!connected.load()) {
    throw QVException(QVString("::") + what + " detected that the connection has closed.", "device/qvtcpip",
                      __LINE__, qvexceptiontype::connectionClosed, 0);
  }
}

void QVTCPIPDevice::StartWriter() {
  if (!core) core = std::make_unique<QVTCPIPDeviceThreadCore>();
  const QVString name = "TCPIP-" + Name() + "-WriteThread";
  core->thread.reset(caught([this, name] {
    QVThread::SetName(name);
    WriterLoop();
  }));
}

void QVTCPIPDevice::WriterLoop() {
  QVTCPIPDeviceThreadCore& c = *core;
  std::unique_lock<std::mutex> hold(c.lock);
  for (;;) {
    c.changed.wait(hold, [&] {
      return stop.load() || (!c.chunks.empty() && c.chunks.front()->sent < c.chunks.front()->committed);
    });
    if (stop.load()) return;
    QVTCPIPDeviceThreadCore::Chunk& chunk = *c.chunks.front();
    const size_t from = chunk.sent;
    const size_t to = chunk.committed;
    c.sending = true;
    // The caller writes only past the committed bytes, so the send needs no lock.
    hold.unlock();
    bool sentAll = true;
    {
      std::lock_guard<std::mutex> sending(c.sendLock);
      try {
        size_t done = from;
        while (done < to) {
          const ssize_t n = data.WriteAndHandleBlock(chunk.bytes + done, to - done, &StopYield, &stop);
          if (n <= 0) throw QVException("Write failed.", "device/qvtcpip", __LINE__, qvexceptiontype::socketCallFailed, 0);
          done += static_cast<size_t>(n);
        }
      } catch (const QVException&) {
        sentAll = false;
      }
    }
    hold.lock();
    c.sending = false;
    if (!sentAll) {
      // Later puts and flushes must fail, not queue bytes nobody sends.
      c.failed = true;
      connected.store(false);
      c.changed.notify_all();
      return;
    }
    chunk.sent = to;
    if (chunk.sent == QVTCPIPDeviceThreadCore::kChunkSize) c.RetireFront();
    c.changed.notify_all();
  }
}

void QVTCPIPDevice::Drain() noexcept {
  if (!core || !core->thread) return;
  QVTCPIPDeviceThreadCore& c = *core;
  std::unique_lock<std::mutex> hold(c.lock);
  c.changed.wait_for(hold, kDrainLimit, [&] {
    if (c.failed) return true;
    for (const auto& chunk : c.chunks) {
      if (chunk->sent < chunk->committed) return false;
    }
    return true;
  });
}

void QVTCPIPDevice::StopWriter() noexcept {
  if (!core) return;
  {
    std::lock_guard<std::mutex> hold(core->lock);
    stop.store(true);
  }
  core->changed.notify_all();
  if (core->thread) {
    try {
      core->thread->Join();
    } catch (const QVException&) {
    }
  }
  core.reset();
}

QVTCPIPDevice::~QVTCPIPDevice() {
  try {
    if (connected.load()) mesg.SetOption(QVOptionDontReceiveSignals);
  } catch (const QVException&) {
  }
  QVTCPIPWorld::RemoveDevice(this);
  if (connected.load()) {
    // The peer's reader must get every committed byte before the notice.
    Drain();
    char word[4];
    PutWord(word, kClosedCode);
    try {
      WriteFull(mesg, word, sizeof word);
    } catch (const QVException&) {
    }
  }
  StopWriter();
  EndStreamBeforeClosing(dataFd.load());
  try {
    data.Close();
    mesg.Close();
  } catch (const QVException&) {
  }
}

void QVTCPIPDevice::WriteWindow(char** start, unsigned long* size) {
  if (start == nullptr || size == nullptr) Fail("Arguments cannot be NULL.", __LINE__, qvexceptiontype::badArgument);
  if (!core) Fail("Tcore object does not exist.", __LINE__, qvexceptiontype::missingObject);
  std::lock_guard<std::mutex> hold(core->lock);
  // A window is only room in the queue: after the peer's close notice it is
  // still handed out, so a flush whose bytes went out before the notice does
  // not fail; the next commit does. A dead writer or closed sockets refuse at once.
  if (core->failed || closed.load()) {
    Fail("::WriteWindow detected that the connection has closed.", __LINE__, qvexceptiontype::connectionClosed);
  }
  auto& chunks = core->chunks;
  if (chunks.empty() || chunks.back()->committed == QVTCPIPDeviceThreadCore::kChunkSize) {
    chunks.push_back(core->TakeChunk());
  }
  QVTCPIPDeviceThreadCore::Chunk& chunk = *chunks.back();
  *start = chunk.bytes + chunk.committed;
  *size = QVTCPIPDeviceThreadCore::kChunkSize - chunk.committed;
}

void QVTCPIPDevice::Write(char* start, unsigned long count) {
  if (count == 0) return;
  RequireCore("Write");
  {
    std::lock_guard<std::mutex> hold(core->lock);
    auto& chunks = core->chunks;
    // Only the window handed out last may be committed, and no further than it reaches.
    if (chunks.empty() || start != chunks.back()->bytes + chunks.back()->committed ||
        count > QVTCPIPDeviceThreadCore::kChunkSize - chunks.back()->committed) {
      Fail("Write is outside the last write window.", __LINE__, qvexceptiontype::badArgument);
    }
    chunks.back()->committed += count;
    if (SendWithoutWaiting()) return;
  }
  core->changed.notify_all();
}

// With the writer idle and one chunk pending, the caller's thread offers the
// bytes to the socket without waiting: a small packet then goes out without
// the hop to the writer thread. Answers true when nothing is left to send.
bool QVTCPIPDevice::SendWithoutWaiting() {
  QVTCPIPDeviceThreadCore& c = *core;
  if (c.sending || c.failed || c.chunks.size() != 1) return false;
  QVTCPIPDeviceThreadCore::Chunk& chunk = *c.chunks.front();
  const int fd = dataFd.load();
  while (chunk.sent < chunk.committed) {
    const ssize_t n = ::send(fd, chunk.bytes + chunk.sent, chunk.committed - chunk.sent, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n <= 0) return false;  // full or failing: the writer waits for room or reports the failure
    chunk.sent += static_cast<size_t>(n);
  }
  if (chunk.sent == QVTCPIPDeviceThreadCore::kChunkSize) c.RetireFront();
  return true;
}

void QVTCPIPDevice::Read(char** start, unsigned long* size) {
  if (start == nullptr || size == nullptr) Fail("Arguments cannot be NULL.", __LINE__, qvexceptiontype::badArgument);
  // Bytes the peer sent before it closed are still read after its notice.
  if (!connected.load() && core && !closed.load() && !streamEnded.load() && data.HasDataToReadQ()) {
  } else {
    RequireCore("Read");
  }
  *start = nullptr;
  *size = 0;
  if (yieldFunction.load() != nullptr && !data.HasDataToReadQ(kSliceMicroseconds)) {
    if (QVCallYielder(yieldFunction.load(), yieldCookie.load(), nullptr) != 0) {
      Fail("Yield function generated an abort.", __LINE__, qvexceptiontype::yieldAbort);
    }
    *start = readBuffer;
    return;
  }
  const ssize_t n = data.ReadAndHandleBlock(readBuffer, kReadBufferSize, &EndPointYield, this);
  *start = readBuffer;
  *size = n > 0 ? static_cast<unsigned long>(n) : 0;
  if (n <= 0) {
    streamEnded.store(true);
    connected.store(false);
  }
}

void QVTCPIPDevice::ReadComplete(char* start, unsigned long count) {
  if (start == nullptr && count > 0) {
    Fail("Buffer cannot be NULL if length > 0.", __LINE__, qvexceptiontype::badArgument);
  }
  if (!core) Fail("Tcore object does not exist.", __LINE__, qvexceptiontype::missingObject);
  if (count > 0 && !connected.load() && closed.load()) RequireCore("ReadComplete");
}

bool QVTCPIPDevice::HasDataQ() {
  if (connected.load()) return data.HasDataToReadQ();
  if (Side == 1 && closed.load()) return data.HasDataToReadQ();
  return true;
}

void QVTCPIPDevice::WriteMessage(unsigned long code, unsigned long argument) {
  if (!connected.load()) {
    Fail("::WriteMessage detected that the connection has closed.", __LINE__, qvexceptiontype::connectionClosed);
  }
  // One write: a reader never sees the code without its argument close behind.
  char words[8];
  PutWord(words, static_cast<uint32_t>(code));
  PutWord(words + 4, static_cast<uint32_t>(argument));
  WriteFull(mesg, words, sizeof words);
}

void QVTCPIPDevice::WriteMessageWithoutWaiting(unsigned long code, unsigned long argument) {
  char words[8];
  PutWord(words, static_cast<uint32_t>(code));
  PutWord(words + 4, static_cast<uint32_t>(argument));
  size_t sent = 0;
  while (sent < sizeof words) {
    const ssize_t n = mesg.Write(words + sent, sizeof words - sent);
    if (n <= 0) Fail("Write failed.", __LINE__, qvexceptiontype::socketCallFailed);
    sent += static_cast<size_t>(n);
  }
}

void QVTCPIPDevice::ReadMessage(unsigned long* code, unsigned long* argument) {
  if (code == nullptr || argument == nullptr) Fail("Arguments cannot be NULL.", __LINE__, qvexceptiontype::badArgument);
  if (!connected.load()) {
    Fail("::ReadMessage detected that the connection has closed.", __LINE__, qvexceptiontype::connectionClosed);
  }
  const int fd = mesgFd.load();
  uint32_t first = 0;
  uint32_t second = 0;
  for (;;) {
    QVTCPIPMessageStream::Got got;
    bool loneClose = false;
    {
      std::lock_guard<std::mutex> hold(messageLock);
      got = messages.Take(fd, false, &first, &second);
      loneClose = messages.LoneCloseQ();
    }
    if (got == QVTCPIPMessageStream::Got::nothing && loneClose) {
      // A closing peer may send its code alone; an argument is close behind or never comes.
      mesg.HasDataToReadQ(100);
      std::lock_guard<std::mutex> hold(messageLock);
      got = messages.Take(fd, true, &first, &second);
    }
    switch (got) {
      case QVTCPIPMessageStream::Got::message:
        *code = first;
        *argument = second;
        return;
      case QVTCPIPMessageStream::Got::ended:
        *code = kClosedCode;
        *argument = kClosedCode;
        return;
      case QVTCPIPMessageStream::Got::brokenCode:
        Fail("Read did not return correct byte number 1.", __LINE__, qvexceptiontype::badPreamble);
      case QVTCPIPMessageStream::Got::brokenArgument:
        Fail("Read did not return correct byte number 2.", __LINE__, qvexceptiontype::badPreamble);
      case QVTCPIPMessageStream::Got::nothing:
        break;
    }
    // The signal thread may take what comes meanwhile, the close notice too.
    if (!connected.load()) {
      *code = kClosedCode;
      *argument = kClosedCode;
      return;
    }
    if (!mesg.HasDataToReadQ(kSliceMicroseconds) && EndPointYield(this, nullptr)) {
      Fail("Backing out of Read.", __LINE__, qvexceptiontype::backOut);
    }
  }
}

QVTCPIPDevice::Incoming QVTCPIPDevice::ReadMessageWithoutWaiting(unsigned long* code,
                                                                   unsigned long* argument) noexcept {
  uint32_t first = 0;
  uint32_t second = 0;
  QVTCPIPMessageStream::Got got;
  {
    std::lock_guard<std::mutex> hold(messageLock);
    got = messages.Take(mesgFd.load(), true, &first, &second);
  }
  if (got == QVTCPIPMessageStream::Got::nothing) return Incoming::none;
  // A broken record means the connection ended too.
  if (got != QVTCPIPMessageStream::Got::message) return Incoming::ended;
  if (first == kClosedCode) return Incoming::closed;
  *code = first;
  *argument = second;
  return Incoming::message;
}

bool QVTCPIPDevice::HasMessageQ() { return mesg.HasDataToReadQ(); }

void QVTCPIPDevice::SetMessageHandler(QVDeviceMessageHandler handler, void* cookie) {
  std::lock_guard<std::mutex> hold(handlerLock);
  messageHandler = handler;
  messageCookie = cookie;
}

void QVTCPIPDevice::GetMessageHandler(QVDeviceMessageHandler* handler, void** cookie) {
  std::lock_guard<std::mutex> hold(handlerLock);
  if (handler != nullptr) *handler = messageHandler;
  if (cookie != nullptr) *cookie = messageCookie;
}

void QVTCPIPDevice::SetYieldFunction(QVDeviceYieldFunction function, void* cookie) {
  yieldCookie.store(cookie);
  yieldFunction.store(function);
}

void QVTCPIPDevice::GetYieldFunction(QVDeviceYieldFunction* function, void** cookie) {
  if (function != nullptr) *function = yieldFunction.load();
  if (cookie != nullptr) *cookie = yieldCookie.load();
}

void QVTCPIPDevice::CloseEndPoints() noexcept {
  connected.store(false);
  closed.store(true);
  // Shutting down wakes every reader and writer; the descriptors stay open
  // until the device is destroyed, so none is reused under another owner.
  const int dataDescriptor = dataFd.load();
  const int mesgDescriptor = mesgFd.load();
  if (dataDescriptor >= 0) ::shutdown(dataDescriptor, SHUT_RDWR);
  if (mesgDescriptor >= 0) ::shutdown(mesgDescriptor, SHUT_RDWR);
}

void QVTCPIPDevice::PeerClosed(bool noticeGiven) noexcept {
  if (noticeGiven) {
    if (core) {
      std::lock_guard<std::mutex> sending(core->sendLock);
    }
    const int fd = dataFd.load();
    const char zero = 0;
    if (fd >= 0) [[maybe_unused]] ssize_t n = ::send(fd, &zero, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
  }
  connected.store(false);
}

void QVTCPIPDevice::Deliver(unsigned long code, unsigned long argument) noexcept {
  // Terminate ends the link and is delivered too, as every device delivers it.
  if (code == 1) {
    connected.store(false);
  } else if (!connected.load()) {
    return;
  }
  QVDeviceMessageHandler handler = nullptr;
  void* cookie = nullptr;
  {
    std::lock_guard<std::mutex> hold(handlerLock);
    handler = messageHandler;
    cookie = messageCookie;
  }
  // Called without any lock of ours: the handler may set another handler or
  // close this very link.
  if (handler != nullptr) handler(cookie, static_cast<int>(code), static_cast<int>(argument));
}

}  // namespace Quorvane
