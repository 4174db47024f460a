/* A host program on the public interface alone. It makes an environment and
 * a loopback link, puts on it the call a host sends to the installed
 * "Algorithm3" function (a call packet with the function's index and its ten
 * arguments), reads the call back as the program serving it would, and
 * prints what it read. Exit status 0 when everything came back as sent. */
#include <stdio.h>

#include <quorvane/quorvane.h>

#define DAYS 250

static int PutSeries(QVLink* link, double first, double step) {
  int ok = RVPutFunction(link, "List", DAYS);
  for (int i = 0; i < DAYS && ok; ++i) ok = RVPutReal64(link, first + step * (i % 7));
  return ok;
}

static int PutCall(QVLink* link) {
  const double ratios[4] = {0.4, 0.3, 0.2, 0.1};
  int ok = RVPutFunction(link, "CallPacket", 2) && RVPutInteger(link, 0) && RVPutFunction(link, "List", 10) &&
           PutSeries(link, 50.0, 0.25) && PutSeries(link, 51.0, 0.25) && PutSeries(link, 49.0, 0.25) &&
           PutSeries(link, 50.25, 0.25) && PutSeries(link, 0.0, 0.05) && RVPutInteger(link, 3);
  for (int i = 0; i < 4 && ok; ++i) ok = RVPutReal64(link, ratios[i]);
  return ok && RVEndPacket(link) && RVFlush(link);
}

/* Reads the call back: 1 when it holds what PutCall sent. */
static int ReadCall(QVLink* link) {
  int index = -1;
  int count = 0;
  if (RVNextPacket(link) != RV_CALL_PACKET || !RVGetInteger(link, &index) || index != 0 ||
      !RVTestHead(link, "List", &count) || count != 10) {
    return 0;
  }
  double sum = 0.0;
  for (int s = 0; s < 5; ++s) {
    double* values = NULL;
    long length = 0;
    if (!RVGetRealList(link, &values, &length) || length != DAYS) {
      RVReleaseRealList(link, values, length);
      return 0;
    }
    for (long i = 0; i < length; ++i) sum += values[i];
    RVReleaseRealList(link, values, length);
  }
  int time = 0;
  double ratio = 0.0;
  double ratios = 0.0;
  if (!RVGetInteger(link, &time)) return 0;
  for (int i = 0; i < 4; ++i) {
    if (!RVGetReal(link, &ratio)) return 0;
    ratios += ratio;
  }
  printf("Algorithm3 call: 5 series of %d days (sum %.2f), time %d, weights adding up to %.2f\n", DAYS, sum, time,
         ratios);
  return time == 3 && RVNewPacket(link);
}

int main(void) {
  RVEnvironment* environment = RVInitialize(NULL);
  if (environment == NULL) {
    fprintf(stderr, "no environment\n");
    return 1;
  }
  int error = 0;
  QVLink* link = RVLoopbackOpen(environment, &error);
  int ok = link != NULL && PutCall(link) && ReadCall(link);
  if (!ok) {
    fprintf(stderr, "failed: %s\n", RVErrorString(environment, link != NULL ? RVError(link) : error));
  }
  if (link != NULL) RVClose(link);
  RVDeinitialize(environment);
  return ok ? 0 : 1;
}
