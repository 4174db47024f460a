// The far side of the host benchmarks: a program a host launches over a
// device exactly as it launches quorvane-algorithm3, built and linked as that
// program is, serving with public calls only until the link ends.
//   quorvane-bench-peer echo LINK-ARGUMENTS  answers each integer with itself
//   quorvane-bench-peer sink LINK-ARGUMENTS  reads each list of reals stepwise
//       into a buffer it keeps from call to call and answers its last element
//   quorvane-bench-peer bytes LINK-ARGUMENTS  gets each byte string whole
//       (RVGetByteString) and answers its length and last byte
//   quorvane-bench-peer utf8 LINK-ARGUMENTS  the same with RVGetUTF8String
// The link arguments are those a launching host appends. Exit status 0 once
// the host has closed the link, 1 when the link never served.
#include <cstdio>
#include <cstring>
#include <vector>

#include "quorvane.h"

namespace {

// One integer there and back: the least a call can cost.
void Echo(QVLink* link) {
  int value = 0;
  while (RVGetInteger32(link, &value) == 1 && RVPutInteger32(link, value) == 1 && RVEndPacket(link) == 1 &&
         RVFlush(link) == 1) {
  }
}

// The reals of one list into buffer, grown to hold them; false at the end.
bool ReadList(QVLink* link, std::vector<double>& buffer, long* count) {
  qvmeter* meter = nullptr;
  long depth = 0;
  int leaf = 0;
  if (RVGetArrayTypeWithDepthAndLeafType(link, nullptr, &meter, &depth, &leaf) != 1) return false;
  *count = static_cast<long>(buffer.size());
  const bool read =
      depth == 1 && RVGetBinaryNumberArrayDataWithHeads(link, nullptr, meter, buffer.data(), count, 246) == 1;
  RVReleaseGetArrayState(link, nullptr, meter);
  return read;
}

void Sink(QVLink* link) {
  // The largest list the benchmarks send: 64 MiB of reals, touched once here
  // so that no call pays for the first use of its pages.
  std::vector<double> buffer(size_t{8} << 20);
  long count = 0;
  while (ReadList(link, buffer, &count) && RVPutReal64(link, count > 0 ? buffer[count - 1] : 0.0) == 1 &&
         RVEndPacket(link) == 1 && RVFlush(link) == 1) {
  }
}

// Answers a text's length and its last unit, so the host knows all came.
bool AnswerText(QVLink* link, long length, int last) {
  return RVPutFunction(link, "List", 2) == 1 && RVPutInteger64(link, length) == 1 && RVPutInteger32(link, last) == 1 &&
         RVEndPacket(link) == 1 && RVFlush(link) == 1;
}

void Bytes(QVLink* link) {
  for (;;) {
    const unsigned char* text = nullptr;
    int length = 0;
    if (RVGetByteString(link, &text, &length, 0) != 1) return;
    const int last = length > 0 ? text[length - 1] : -1;
    RVReleaseByteString(link, text);
    if (!AnswerText(link, length, last)) return;
  }
}

void Utf8(QVLink* link) {
  for (;;) {
    const unsigned char* text = nullptr;
    int bytes = 0;
    int characters = 0;
    if (RVGetUTF8String(link, &text, &bytes, &characters) != 1) return;
    const int last = bytes > 0 ? text[bytes - 1] : -1;
    RVReleaseUTF8String(link, text);
    if (!AnswerText(link, bytes, last)) return;
  }
}

}  // namespace

int main(int argc, char** argv) {
  const char* mode = argc > 1 ? argv[1] : "";
  struct Mode {
    const char* name;
    void (*serve)(QVLink*);
  };
  constexpr Mode kModes[] = {{"echo", &Echo}, {"sink", &Sink}, {"bytes", &Bytes}, {"utf8", &Utf8}};
  void (*serve)(QVLink*) = nullptr;
  for (const Mode& m : kModes) {
    if (std::strcmp(mode, m.name) == 0) serve = m.serve;
  }
  if (serve == nullptr) {
    std::fprintf(stderr, "usage: %s echo|sink|bytes|utf8 LINK-ARGUMENTS\n", argv[0]);
    return 2;
  }
  RVEnvironment* environment = RVInitialize(nullptr);
  if (environment == nullptr) return 1;
  int error = 0;
  QVLink* link = RVOpenArgcArgv(environment, argc, argv, &error);
  const bool connected = link != nullptr && RVConnect(link) == 1;
  if (connected) serve(link);
  if (link != nullptr) RVClose(link);
  RVDeinitialize(environment);
  return connected ? 0 : 1;
}
