// The log thread's reading: one whole expression from a link, token by
// token, each reported to the expression log in the given direction; the
// test, before it, that all of the expression has arrived; and, at the end,
// what came of an expression that never arrived whole.
#include <chrono>
#include <cstdint>
#include <string>

#include "api/qvlink.h"
#include "quorvane.h"
#include "utilities/qvlinklog/qvlinklog.h"

namespace Quorvane {

namespace {

constexpr int kString = 34;
constexpr int kSymbol = 35;
constexpr int kReal = 42;
constexpr int kInteger = 43;
constexpr int kFunction = 70;
constexpr int kPackedArray = 65;

// A mark released however the scope ends.
class Mark {
 public:
  explicit Mark(QVLink* link) : link_(link), mark_(RVCreateMark(link)) {}
  ~Mark() {
    if (mark_ != nullptr) RVDestroyMark(link_, mark_);
  }
  Mark(const Mark&) = delete;
  Mark& operator=(const Mark&) = delete;
  QVLinkMark* get() const { return mark_; }

 private:
  QVLink* link_;
  QVLinkMark* mark_;
};

// A scratch loopback link closed however the scope ends.
class Scratch {
 public:
  explicit Scratch(qv_environment* environment) {
    int error = 0;
    link_ = RVLoopbackOpen(environment, &error);
  }
  ~Scratch() { close(); }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  QVLink* get() const { return link_; }
  void close() {
    if (link_ != nullptr) RVClose(link_);
    link_ = nullptr;
  }

 private:
  QVLink* link_ = nullptr;
};

// What the yield function of a link being tested for a whole expression
// answers by. Only the thread holding the link's lock reads it, so only that
// thread's waits reach the function while it is in place.
struct RestWait {
  std::chrono::steady_clock::time_point until;
  const Quorvane::QVThreadSync* sync;  // its stop request ends the wait too
  bool backedOut = false;
};
thread_local RestWait* restWait = nullptr;

// Of the public yield-function type, so it is called through its own type.
int BackOutOfIncompleteExpression(void*, QVYieldParams*) {
  RestWait* wait = restWait;
  if (wait == nullptr) return 0;
  const bool stop = wait->sync != nullptr && wait->sync->ShutdownRequestedQ();
  if (stop || std::chrono::steady_clock::now() >= wait->until) wait->backedOut = true;
  return wait->backedOut ? 1 : 0;
}

// For a scope the link's device waits through BackOutOfIncompleteExpression;
// then the function it had comes back, set through owner (the link it was
// set through: a duplicate shares its device with the link it copies).
class RestWaitScope {
 public:
  RestWaitScope(QVLink* link, QVLink* owner, RestWait* wait)
      : owner_(owner), previous_(RVGetYieldFunction(link)) {
    restWait = wait;
    RVSetYieldFunction(link, &BackOutOfIncompleteExpression);
  }
  ~RestWaitScope() {
    RVSetYieldFunction(owner_, previous_);
    restWait = nullptr;
  }
  RestWaitScope(const RestWaitScope&) = delete;
  RestWaitScope& operator=(const RestWaitScope&) = delete;

 private:
  QVLink* owner_;
  RVYielderFunction previous_;
};

// Where the input a link's queues hold ends. Only a take from the device
// moves it: by this link, or by the links it shares its input with.
struct InputEnd {
  const void* chunk = nullptr;
  uint64_t serial = 0;
  const unsigned char* write = nullptr;
  bool operator==(const InputEnd&) const = default;
};

InputEnd InputEndOf(const QVLink* link) {
  const _queue* queue = link->queueStack.base;
  if (queue == nullptr || queue->shared == nullptr || queue->shared->last_chunk == nullptr) return {};
  const _queue_shared* shared = queue->shared;
  return {shared->last_chunk, shared->last_chunk->serial, shared->write_pointer};
}

// One expression-log call per element type.
void LogAs(QVExprLog& log, qvlogdirection d, const unsigned char* data, const int* dims, char** heads, int depth) {
  log.logInt8Array(d, reinterpret_cast<const char*>(data), dims, heads, depth);
}
void LogAs(QVExprLog& log, qvlogdirection d, const short* data, const int* dims, char** heads, int depth) {
  log.logInt16Array(d, data, dims, heads, depth);
}
void LogAs(QVExprLog& log, qvlogdirection d, const int* data, const int* dims, char** heads, int depth) {
  log.logInt32Array(d, data, dims, heads, depth);
}
void LogAs(QVExprLog& log, qvlogdirection d, const long* data, const int* dims, char** heads, int depth) {
  log.logInt64Array(d, data, dims, heads, depth);
}
void LogAs(QVExprLog& log, qvlogdirection d, const float* data, const int* dims, char** heads, int depth) {
  log.logReal32Array(d, data, dims, heads, depth);
}
void LogAs(QVExprLog& log, qvlogdirection d, const double* data, const int* dims, char** heads, int depth) {
  log.logReal64Array(d, data, dims, heads, depth);
}
void LogAs(QVExprLog& log, qvlogdirection d, const long double* data, const int* dims, char** heads, int depth) {
  log.logReal128Array(d, data, dims, heads, depth);
}

// Gets the whole array, logs it and gives it back; a failed get logs nothing.
template <typename T>
void LogArray(QVLink* link, QVExprLog& log, qvlogdirection d, int (*get)(QVLink*, T**, int**, char***, int*),
              void (*release)(QVLink*, T*, int*, char**, int)) {
  T* data = nullptr;
  int* dimensions = nullptr;
  char** heads = nullptr;
  int depth = 0;
  if (get(link, &data, &dimensions, &heads, &depth) == 0) return;
  LogAs(log, d, data, dimensions, heads, depth);
  release(link, data, dimensions, heads, depth);
}

}  // namespace

QVLinkLog::Whole QVLinkLog::logExpression(QVLink* link, Pass pass, long& failure) {
  // The test and the read are one unit under the link's lock, which is also
  // the lock of the logged link when link is its duplicate: no other reader
  // moves the link, and no other thread's wait meets the yield function.
  QVLinkLockGuard hold(link);
  const qvlogdirection d = directionOf(link);
  RestWait wait{std::chrono::steady_clock::now() +
                    std::chrono::milliseconds(pass == Pass::kRunning ? kRestPatienceMilliseconds : 0),
                logThreadSync};
  RestWaitScope scope(link, link == readLink ? loggedLink : link, &wait);
  Mark start(link);
  if (start.get() == nullptr) {
    // Only a link that holds an error (other than a close) refuses a mark.
    const long held = RVError(link) != 0 ? RVError(link) : 8;
    if (pass != Pass::kEnding) {
      failure = held;
      return Whole::kLinkFailed;
    }
    logLinkError(d, link, failure != 0 ? failure : held);
    return Whole::kLinkFailed;
  }
  const bool whole = RVTransferExpression(nullptr, link) != 0;
  const long met = whole ? 0 : RVError(link);
  RVSeekMark(link, start.get(), 0);
  if (whole) {
    if (readTokens(d, link)) return Whole::kLogged;
    logLinkError(d, link, RVError(link));
    return Whole::kLogEnded;
  }
  // Nothing of the expression is logged yet, and its start is read again.
  // The device stopped either because it was asked to or because the link
  // failed; it reports both as a lost device, a code the public clear keeps.
  link->error = 0;
  if (pass != Pass::kEnding) {
    if (wait.backedOut) return Whole::kIncomplete;
    failure = met;
    return Whole::kLinkFailed;
  }
  if (failure == 0 && !wait.backedOut) failure = met;
  // Read until the input ends, where the device is asked to stop at once.
  readTokens(d, link);
  if (failure == 0) return Whole::kCut;
  logLinkError(d, link, failure);
  return Whole::kLinkFailed;
}

QVLinkLog::Whole QVLinkLog::logWhileThere(QVLink* link, Pass pass, long& failure) {
  // The caller holds the logged link's lock, so the logged link takes
  // nothing in from the device meanwhile: only these reads do. What the
  // queues held and one more take from the device are logged; a peer that
  // never pauses does not keep the pass going. The other links are fed only
  // under that lock, so they run dry.
  const bool shared = link == readLink;
  InputEnd end = InputEndOf(link);
  bool tookMore = false;
  for (;;) {
    const Whole got = logExpression(link, pass, failure);
    if (got != Whole::kLogged) return got;
    if (!shared) continue;
    const InputEnd now = InputEndOf(link);
    if (now == end) continue;
    if (tookMore) return got;
    tookMore = true;
    end = now;
  }
}

bool QVLinkLog::logLinkError(qvlogdirection d, QVLink* link, long error) {
  if (error == 0) return true;
  const char* linkName = RVName(link);
  const std::string who = linkName != nullptr ? linkName : "";
  std::string text;
  if (error == 1) {
    text = "The other side of " + who + " unexpectedly died";
  } else if (error == 11) {
    text = "The other side of " + who + " closed the link";
  } else {
    text = "Link Error: " + std::to_string(error);
  }
  exprLog->logError(d, text.c_str());
  return false;
}

bool QVLinkLog::readAndLogLink(qvlogdirection d, QVLink* link) {
  if (readTokens(d, link)) return true;
  logLinkError(d, link, RVError(link));
  return false;
}

bool QVLinkLog::readTokens(qvlogdirection d, QVLink* link) {
  QVExprLog& log = *exprLog;
  switch (RVGetType(link)) {
    case kString: {
      const unsigned char* text = nullptr;
      int bytes = 0, characters = 0;
      if (RVGetUTF8String(link, &text, &bytes, &characters) != 0) {
        log.logUTF8String(d, text, bytes);
        RVReleaseUTF8String(link, text);
      }
      break;
    }
    case kSymbol: {
      const unsigned char* text = nullptr;
      int bytes = 0, characters = 0;
      if (RVGetUTF8Symbol(link, &text, &bytes, &characters) != 0) {
        log.logUTF8Symbol(d, text, bytes);
        RVReleaseUTF8Symbol(link, text, bytes);
      }
      break;
    }
    case kReal:
    case kInteger: {
      const int raw = RVGetRawType(link);
      if (raw == 248) {
        long double value = 0;
        if (RVGetReal128(link, &value) != 0) log.logReal128(d, value);
      } else if (raw == 246) {
        double value = 0;
        if (RVGetReal64(link, &value) != 0) log.logReal(d, value);
      } else if (raw == 244) {
        float value = 0;
        if (RVGetReal32(link, &value) != 0) {
          log.logReal(d, static_cast<double>(value));
        } else {
          log.logError(d, "QVGetReal32 error");
        }
      } else if (raw == 226 || raw == 228) {
        long value = 0;
        if (RVGetLongInteger(link, &value) != 0) log.logInt(d, value);
      } else if (raw == 230) {
        long value = 0;
        if (RVGetInteger64(link, &value) != 0) log.logInt64(d, value);
      } else {
        const unsigned char* text = nullptr;
        long length = 0;
        if (RVGetNumberAsByteString(link, &text, &length, 0) != 0) {
          log.logNumberWithString(d, text, static_cast<int>(length));
          RVReleaseByteString(link, text);
        }
      }
      break;
    }
    case kFunction: {
      if (RVGetRawType(link) == kPackedArray) {
        if (!readArrayAndLog(d, link)) return false;
        break;
      }
      QVLinkMark* mark = RVCreateMark(link);
      const char* head = nullptr;
      int count = 0;
      if (RVGetFunction(link, &head, &count) != 0) {
        if (mark != nullptr) RVDestroyMark(link, mark);
        const std::string headText = head != nullptr ? head : "";
        RVReleaseSymbol(link, head);
        log.logFunction(d, headText.c_str(), headText.size(), static_cast<unsigned long>(count));
        for (int i = 0; i < count; ++i) {
          if (!readTokens(d, link)) return false;
        }
        break;
      }
      // The head is an expression of its own: logged before the arguments.
      RVClearError(link);
      if (mark != nullptr) {
        RVSeekMark(link, mark, 0);
        RVDestroyMark(link, mark);
      }
      if (RVGetArgCount(link, &count) != 0) {
        log.logFunctionWithAlternateHead(d, static_cast<unsigned long>(count));
        for (int i = 0; i <= count; ++i) {
          if (!readTokens(d, link)) return false;
        }
      }
      break;
    }
    default:
      break;
  }
  return RVError(link) == 0;
}

bool QVLinkLog::readArrayAndLog(qvlogdirection d, QVLink* link) {
  Scratch scratch(theEnv);
  if (scratch.get() == nullptr) return false;
  Mark mark(link);
  if (mark.get() == nullptr) return false;
  qvmeter* state = nullptr;
  long depth = 0;
  int leafType = 0;
  if (RVGetArrayTypeWithDepthAndLeafType(link, scratch.get(), &state, &depth, &leafType) == 0) return false;
  RVReleaseGetArrayState(link, scratch.get(), state);
  const int type = RVGetType(link);
  if (type != kReal && type != kInteger) {
    const std::string text =
        "data on link is of type " + std::to_string(type) + " expected either integer or real data.";
    exprLog->logError(d, text.c_str());
  }
  const int raw = RVGetRawType(link);
  scratch.close();
  if (RVSeekMark(link, mark.get(), 0) == nullptr) return false;
  QVExprLog& log = *exprLog;
  switch (raw) {
    case 161: LogArray<unsigned char>(link, log, d, RVGetInteger8Array, RVReleaseInteger8Array); break;
    case 226: LogArray<short>(link, log, d, RVGetInteger16Array, RVReleaseInteger16Array); break;
    case 228: LogArray<int>(link, log, d, RVGetInteger32Array, RVReleaseInteger32Array); break;
    case 230: LogArray<long>(link, log, d, RVGetInteger64Array, RVReleaseInteger64Array); break;
    case 244: LogArray<float>(link, log, d, RVGetReal32Array, RVReleaseReal32Array); break;
    case 246: LogArray<double>(link, log, d, RVGetReal64Array, RVReleaseReal64Array); break;
    case 248: LogArray<long double>(link, log, d, RVGetReal128Array, RVReleaseReal128Array); break;
    default: break;
  }
  return true;
}

}  // namespace Quorvane
