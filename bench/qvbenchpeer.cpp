// The far side of the host benchmarks: a program a host launches over a
// device exactly as it launches quorvane-algorithm3, built and linked as that
// program is, serving with public calls only until the link ends.
//   quorvane-bench-peer echo LINK-ARGUMENTS  answers each integer with itself
//   quorvane-bench-peer sink LINK-ARGUMENTS  reads each list of reals stepwise
//       into a buffer it keeps from call to call and answers its last element
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

}  // namespace

int main(int argc, char** argv) {
  const char* mode = argc > 1 ? argv[1] : "";
  void (*serve)(QVLink*) = std::strcmp(mode, "echo") == 0 ? &Echo : std::strcmp(mode, "sink") == 0 ? &Sink : nullptr;
  if (serve == nullptr) {
    std::fprintf(stderr, "usage: %s echo|sink LINK-ARGUMENTS\n", argv[0]);
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
