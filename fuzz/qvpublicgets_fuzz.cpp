// Public gets fuzz target. The peer's bytes reach a link through a device
// that hands them over in windows of pseudo-random sizes and then reports the
// peer closed. Input: byte 0 is the number of calls (up to 63), the next that
// many bytes pick the calls (token-level, scalar, list and character gets,
// marks, seeks, skips and transfers to a loopback link that is read back),
// and the rest is what the peer sends. Nothing may crash, hang or take
// memory beyond what the bytes at hand can justify.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "api/qvenvironment.h"
#include "api/qvlink.h"
#include "quorvane.h"
#include "qvfuzzpeer.h"

namespace {

using qvfuzz::Peer;
using qvfuzz::PeerFunction;

RVEnvironment* Environment() {
  static RVEnvironment* const environment = [] {
    RVEnvironmentParameters* parameters = RVNewParameters(46, 25);
    if (parameters == nullptr) std::abort();
    RVSetDeviceParameter(parameters, "");
    RVEnvironment* made = RVBegin(parameters);
    RVReleaseParameters(parameters);
    if (made == nullptr) std::abort();
    // Ended before the statics the environment uses are destroyed.
    std::atexit([] { RVEnd(Environment()); });
    return made;
  }();
  return environment;
}

QVLink* Established(Quorvane::QVSmartPointer<Quorvane::QVDeviceInstance> device, bool loopback) {
  QVLink* link = QVInternalMake(Environment()->globals, std::move(device), nullptr);
  if (link == nullptr) std::abort();
  if (loopback) QVMakeLoopback(link);
  feature_set features = Environment()->ownFeatures;
  std::strcpy(features.numerics_id, "UniqueID");
  if (RVEstablish(link, &features) != 1) std::abort();
  return link;
}

void Destroy(QVLink* link) {
  long first = 0;
  long second = 0;
  QVDestroy(link, &first, &second);
}

// Reads back what reached the loopback link, one packet.
void DrainLoopback(QVLink* loopback) {
  RVEndPacket(loopback);
  RVFlush(loopback);
  RVNewPacket(loopback);
  RVClearError(loopback);
}

void Call(uint8_t op, QVLink* link, QVLink* loopback, std::vector<QVLinkMark*>* marks) {
  int count = 0;
  switch (op % 24) {
    case 0: RVGetNext(link); break;
    case 1: RVGetType(link); break;
    case 2: RVGetArgCount(link, &count); break;
    case 3: { int v; RVGetInteger32(link, &v); break; }
    case 4: { double v; RVGetReal64(link, &v); break; }
    case 5: { unsigned char v; RVGetInteger8(link, &v); break; }
    case 6: {
      double* data = nullptr;
      int length = 0;
      if (RVGetReal64List(link, &data, &length) == 1 && length < 0) std::abort();
      RVReleaseReal64List(link, data, length);
      break;
    }
    case 7: {
      int* data = nullptr;
      int length = 0;
      RVGetInteger32List(link, &data, &length);
      RVReleaseInteger32List(link, data, length);
      break;
    }
    case 8: {
      unsigned short buffer[3];
      int left = 0;
      int got = 0;
      if (RVGetUCS2Characters(link, &left, buffer, 3, &got) == 1 && (got < 0 || got > 3 || left < 0)) std::abort();
      break;
    }
    case 9: {
      char buffer[5];
      long left = 0;
      long got = 0;
      if (RVGet7BitCharacters(link, &left, buffer, 5, &got) == 1 && (got < 0 || got > 5)) std::abort();
      break;
    }
    case 10: {
      unsigned short buffer[4];
      int left = 0;
      int got = 0;
      RVGetUTF16Characters(link, &left, buffer, 4, &got);
      break;
    }
    case 11: {
      unsigned char buffer[6];
      int left = 0;
      int got = 0;
      RVGetUTF8Characters(link, &left, buffer, 6, &got);
      break;
    }
    case 12:
      if (marks->size() < 4) {
        if (QVLinkMark* mark = RVCreateMark(link)) marks->push_back(mark);
      }
      break;
    case 13:
      if (!marks->empty()) RVSeekMark(link, marks->back(), static_cast<int>(op / 24) % 3);
      break;
    case 14:
      if (!marks->empty()) {
        RVDestroyMark(link, marks->back());
        marks->pop_back();
      }
      break;
    case 15: RVTransferExpression(loopback, link); DrainLoopback(loopback); break;
    case 16: RVTransferExpression(nullptr, link); break;
    case 17: RVNewPacket(link); break;
    case 18: RVClearError(link); break;
    case 19: RVBytesToGet(link, &count); break;
    case 20: { unsigned char buffer[7]; RVGetRawData(link, buffer, 7, &count); break; }
    case 21: RVExpressionsToGet(link, &count); break;
    case 22: RVReady(link); break;
    default: QVNewExpression(link); break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t calls = std::min<size_t>(data[0] % 64, size - 1);
  const uint8_t* ops = data + 1;
  Peer peer{ops + calls, size - 1 - calls, 0, data[0], 53, std::vector<char>(64), {}};
  QVLink* link = Established(Quorvane::QVDeviceInstance::initWithDeviceObjectAndFunction(&peer, &PeerFunction), false);
  QVLink* loopback = Established({}, true);
  std::vector<QVLinkMark*> marks;
  for (size_t i = 0; i < calls; ++i) Call(ops[i], link, loopback, &marks);
  for (QVLinkMark* mark : marks) RVDestroyMark(link, mark);
  Destroy(loopback);
  Destroy(link);
  return 0;
}
