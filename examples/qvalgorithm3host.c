/* A host on the public interface alone: it launches the Algorithm3 program
 * over the default device, reads the definition the program installs, sends
 * one call on a fixed sample series and prints the answer.
 *   qvalgorithm3host PROGRAM
 * Prints "Algorithm3[time 3] = <decimal> (<hexadecimal>)"; exit status 0 when
 * an answer came. */
#include <stdio.h>

#include <quorvane/quorvane.h>

#define DAYS 250
#define TIME 3

/* The sample: five series of 250 days (b, h, l, e, huan). */
static double SampleValue(int series, int day) {
  const double b = 50.0 + ((day * 37) % 23) * 0.25;
  switch (series) {
    case 0: return b;
    case 1: return b + 0.5 + (day % 4 == 0 ? 2.5 : 0.0);
    case 2: return b - 0.5 - (day % 3 == 0 ? 2.5 : 0.0);
    case 3: return b + 0.25;
    default: return 0.05 * (day % 9);
  }
}

/* DefineExternal[pattern, arguments, index] then End. */
static int ReadDefinition(QVLink* link) {
  int count = 0;
  int index = -1;
  if (!RVTestHead(link, "DefineExternal", &count) || count != 3) return 0;
  for (int i = 0; i < 2; ++i) {
    const char* text = NULL;
    if (!RVGetString(link, &text)) return 0;
    RVReleaseString(link, text);
  }
  return RVGetInteger(link, &index) && RVTestSymbol(link, "End");
}

/* CallPacket[0, List[b, h, l, e, huan, time, ratio1 .. ratio4]] */
static int SendCall(QVLink* link) {
  const double ratios[4] = {0.4, 0.3, 0.2, 0.1};
  int ok = RVPutFunction(link, "CallPacket", 2) && RVPutInteger(link, 0) && RVPutFunction(link, "List", 10);
  for (int s = 0; s < 5 && ok; ++s) {
    ok = RVPutFunction(link, "List", DAYS);
    for (int day = 0; day < DAYS && ok; ++day) ok = RVPutReal64(link, SampleValue(s, day));
  }
  ok = ok && RVPutInteger(link, TIME);
  for (int i = 0; i < 4 && ok; ++i) ok = RVPutReal64(link, ratios[i]);
  return ok && RVEndPacket(link) && RVFlush(link);
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s PROGRAM\n", argv[0]);
    return 2;
  }
  RVEnvironment* environment = RVInitialize(NULL);
  if (environment == NULL) {
    fprintf(stderr, "no environment\n");
    return 1;
  }
  /* Words rather than one command line: a path with spaces stays whole. */
  char* words[] = {argv[0], "-linkmode", "launch", "-linkname", argv[1]};
  int error = 0;
  QVLink* link = RVOpenArgcArgv(environment, 5, words, &error);
  double value = 0.0;
  int ok = link != NULL && RVConnect(link) && ReadDefinition(link) && SendCall(link) &&
           RVGetType(link) == RV_TOK_REAL && RVGetReal64(link, &value);
  if (ok) {
    printf("Algorithm3[time %d] = %.17g (%a)\n", TIME, value, value);
  } else {
    fprintf(stderr, "failed: %s\n", RVErrorString(environment, link != NULL ? RVError(link) : error));
  }
  if (link != NULL) RVClose(link);
  RVDeinitialize(environment);
  return ok ? 0 : 1;
}
