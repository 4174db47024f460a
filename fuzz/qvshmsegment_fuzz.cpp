// A segment image as another process might leave it, then window, commit,
// release and reset steps on both sides' views of what was recognised. The
// image is its own exact allocation, so a window past the buffer or a read
// past the mapping is a memory error; a refused step that changed the queue,
// an accepted one that broke it, or a window past the free space stops the
// run.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "device/qvshmlayout.h"
#include "utilities/qvexception.h"

using namespace Quorvane;

namespace {

[[noreturn]] void Stop(const char* why) {
  std::fprintf(stderr, "shared-memory layout: %s\n", why);
  std::abort();
}

bool SameQueue(const QVSHMQueueHeader& a, const QVSHMQueueHeader& b) {
  return a.readOffset == b.readOffset && a.writeOffset == b.writeOffset &&
         a.freeSpace == b.freeSpace;
}

void CheckWindow(const QVSHMWindow& window, const unsigned char* buffer, uint32_t length,
                 uint32_t limit) {
  if (window.length == 0) return;
  if (window.bytes < buffer || window.bytes + window.length > buffer + length) {
    Stop("window outside its buffer");
  }
  if (window.length > limit) Stop("window larger than the queue allows");
}

// One step on one view; amount 255 asks for one byte more than the window.
void Step(QVSHMLayout& view, unsigned char* image, uint8_t code, uint8_t amount) {
  const bool onWrite = code % 2 == 0;
  const QVSHMQueueHeader before = onWrite ? view.writeQueueHeader() : view.readQueueHeader();
  const bool sound = onWrite ? view.writeQueueSoundQ() : view.readQueueSoundQ();
  const QVSHMWindow window = onWrite ? view.writeWindow() : view.readWindow();
  const uint32_t size = view.bufferLength();
  const unsigned char* buffer =
      image + (onWrite ? view.writeBufferOffset() : view.readBufferOffset());
  CheckWindow(window, buffer, size, onWrite ? before.freeSpace : size - before.freeSpace);
  if (!sound && window.length != 0) Stop("window on a queue that is not sound");

  switch (code / 2 % 3) {
    case 0: {  // commit or release
      const uint32_t n = amount == 255 ? window.length + 1 : window.length * amount / 254;
      if (onWrite && window.length > 0 && n > 0) {
        std::memset(window.bytes, amount, n > window.length ? window.length : n);
      }
      bool refused = false;
      try {
        if (onWrite) view.wroteThisManyBytes(n);
        else view.readThisManyBytes(n);
      } catch (const QVException& e) {
        if (e.getType() != qvexceptiontype::internalError) Stop("wrong exception type");
        refused = true;
      }
      const QVSHMQueueHeader after = onWrite ? view.writeQueueHeader() : view.readQueueHeader();
      const bool expectRefused = n != 0 && (!sound || n > window.length);
      if (refused != expectRefused) Stop("commit or release accepted or refused wrongly");
      if (refused || n == 0) {
        if (!SameQueue(before, after)) Stop("refused step changed the queue");
      } else {
        const uint32_t expected = onWrite ? before.freeSpace - n : before.freeSpace + n;
        if (after.freeSpace != expected) Stop("free space off");
        if (!(onWrite ? view.writeQueueSoundQ() : view.readQueueSoundQ())) Stop("queue broken");
      }
      break;
    }
    case 1:  // the whole window, byte by byte
      for (uint32_t i = 0; i < window.length; ++i) {
        if (onWrite) window.bytes[i] ^= 0x5A;
        else if (window.bytes[i] == 0xFF && amount == 0xFF) break;
      }
      break;
    default:
      if (amount % 3 == 0) {
        if (onWrite) view.resetWriteQueue();
        else view.resetReadQueue();
        if (!(onWrite ? view.writeQueueSoundQ() : view.readQueueSoundQ())) Stop("reset broke it");
      }
      view.putMessage(amount, code);
      break;
  }
}

}  // namespace

// Input: the image, then the steps (two bytes each), then one byte giving
// the number of steps.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  size_t steps = data[size - 1];
  size_t imageLength = size - 1;
  if (steps * 2 > imageLength) steps = imageLength / 2;
  imageLength -= steps * 2;
  const uint8_t* stepBytes = data + imageLength;

  // Word-aligned and exactly as long as the image.
  std::unique_ptr<uint32_t[]> words(new uint32_t[imageLength / 4 + 1]);
  auto* image = reinterpret_cast<unsigned char*>(words.get());
  std::memcpy(image, data, imageLength);
  std::unique_ptr<unsigned char[]> exact(new unsigned char[imageLength == 0 ? 1 : imageLength]);

  const QVSHMSegmentCheck check = QVSHMLayout::checkSegment(image, imageLength);
  bool thrown = false;
  try {
    QVSHMLayout probe(image, imageLength, QVConnectorSide);
  } catch (const QVException& e) {
    if (e.getType() != qvexceptiontype::nameInUse) Stop("wrong refusal type");
    thrown = true;
  }
  if (thrown != (check != QVSHMSegmentCheck::recognized)) Stop("constructor and check disagree");
  if (thrown) return 0;

  // Recognised: work on an allocation of exactly the mapped length.
  std::memcpy(exact.get(), image, imageLength);
  if (reinterpret_cast<uintptr_t>(exact.get()) % 4 != 0) return 0;
  QVSHMLayout listener(exact.get(), imageLength, QVListenerSide);
  QVSHMLayout connector(exact.get(), imageLength, QVConnectorSide);
  for (size_t i = 0; i < steps; ++i) {
    const uint8_t code = stepBytes[2 * i];
    QVSHMLayout& view = code & 0x80 ? connector : listener;
    Step(view, exact.get(), code & 0x7F, stepBytes[2 * i + 1]);
  }
  return 0;
}
