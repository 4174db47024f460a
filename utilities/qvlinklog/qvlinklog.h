// The log of one link: both directions of its traffic as expression text.
// Once started it holds a duplicate of the link (what the link receives), an
// "IntraProcess" pair whose listening end the link core repeats every put
// onto (what the link sends), a loopback control link and a thread that reads
// whichever of them is ready and hands each expression to the expression log.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <ostream>

#include "utilities/qvlinklog/qvexprlog.h"
#include "utilities/qvsmartpointer.h"
#include "utilities/qvthreadsync.h"

class QVLink;
class qv_environment;

namespace Quorvane {

class QVLinkLog;

// Seams for tests, to reach the moments start-up otherwise gives no handle
// on; the library leaves them empty. Set before a start, cleared after.
struct QVLinkLogTestHooks {
  // Stands in for the log thread's connect of its end of the pair; answers
  // as RVConnect does.
  int (*threadConnect)(QVLinkLog& log, QVLink* link) = nullptr;
  // Runs on start-up's thread once its own connect has succeeded, before
  // the log counts as ready.
  void (*startConnected)(QVLinkLog& log) = nullptr;
  // Replaces kConnectTimeoutMilliseconds when above zero.
  long connectTimeoutMilliseconds = 0;
};

class QVLinkLog : public QVThreadableObject {
 public:
  static inline QVLinkLogTestHooks testHooks;

  static constexpr uint64_t linkNameMaxLength = 10;
  static constexpr uint64_t minimumThreadNameLength = 15;
  // How long start-up waits for the log thread's end of the pair.
  static constexpr long kConnectTimeoutMilliseconds = 10000;
  // How long the log thread waits for input before it looks at its stop flag.
  static constexpr long kStopSliceMicroseconds = 100000;
  // How long a read may wait for the rest of an expression while it holds the
  // logged link's lock before it lets go and comes back later.
  static constexpr long kRestPatienceMilliseconds = 20;
  // How long the other direction is watched after an expression was not whole.
  static constexpr long kIncompletePauseMicroseconds = 10000;
  // How long a caller waits for the log thread to log what has arrived.
  static constexpr long kArrivalWaitMilliseconds = 3000;

  static QVSmartPointer<QVLinkLog> init();
  QVLinkLog();
  ~QVLinkLog() override;
  QVLinkLog(const QVLinkLog&) = delete;
  QVLinkLog& operator=(const QVLinkLog&) = delete;

  // Starts logging link; QVException on failure, with nothing of the log's
  // own left open and the link's lock as it was. A log whose thread has
  // ended first lets go of what it held.
  void logWithLink(qv_environment* environment, QVLink* link);
  // Wakes and joins the log thread; the log's links stay open until the log goes.
  void stopLogging();
  // Stops the thread, closes the log's links and files; destruction then
  // has nothing left to do (nothing is closed under the handle's lock).
  void close();

  // True when the file is new to the log.
  bool logToFileWithName(const QVString& path) { return exprLog->logToFileWithName(path); }
  void stopLoggingToFileWithName(const QVString& path) { exprLog->closeLogFileWithName(path); }
  QVSmartPointer<QVExprLog>& expressionLog() { return exprLog; }

  // What the link core asks before repeating a put: a running log with a file.
  virtual bool doLoggingQ() const;
  virtual QVLink* writeLink() const { return writeLinkLocal; }

  bool readyToLogQ() const { return readyToLog.load(); }
  // The log thread has been asked to end.
  bool stopRequestedQ() const { return logThreadSync != nullptr && logThreadSync->ShutdownRequestedQ(); }
  bool enabledQ() const { return enabled.load(); }
  // Switches this log's flag and its expression log's output together.
  void setEnabled(bool on);
  // The thread's name as the library keeps it (the system may cut it).
  QVString threadName() const;
  // Start-up switched the logged link's lock on (it was off before).
  bool turnedLinkLockOnQ() const { return turnedLinkLockOn; }

  // Has the log thread log every expression that has already arrived whole,
  // in both directions, and waits (bounded) until it has. The caller holds no
  // link lock: the log thread needs the logged link's.
  void logWhatHasArrived();

  void* Thread1() override;

  // One expression from link, token by token, logged in direction d; false
  // when a get failed, after the tokens read before it and the failure's line.
  bool readAndLogLink(qvlogdirection d, QVLink* link);
  bool readArrayAndLog(qvlogdirection d, QVLink* link);

  // The name itself when it has at most limit characters; else its first
  // limit/2 characters, "<<", how many it exceeds limit by, ">>", its last limit/2.
  static QVString abbreviateName(const QVString& name, unsigned long limit);

  void print(std::ostream& os) const;

 private:
  // Stops the thread, then closes the log's links, newest first.
  void releaseLinks();
  void closeLink(QVLink*& link);

  enum class Whole {
    kLogged,      // one expression read and logged
    kIncomplete,  // not all of it there yet: nothing read, nothing logged
    kCut,         // not all of it there at the end: what had come of it is logged
    kLinkFailed,  // the link failed before the expression was whole (see Pass)
    kLogEnded,    // the link failed while logging; its line is written
  };
  enum class Pass {
    kRunning,  // the rest of an expression gets a short while to come
    kArrived,  // nothing is waited for; an expression not whole stays unread
    kEnding,   // nothing is waited for; what came of one not whole is logged
  };
  // The next expression of link, logged once all of it has arrived. A link
  // that fails: while running or for what has arrived nothing is read and its
  // code goes to failure; when ending, what came of the expression is logged,
  // then the line of failure (given, or met now).
  Whole logExpression(QVLink* link, Pass pass, long& failure);
  // The tokens of one expression from link, logged in direction d; false at
  // the first get that fails, with its line not written.
  bool readTokens(qvlogdirection d, QVLink* link);
  bool logLinkError(qvlogdirection d, QVLink* link, long error);
  // Expressions of link while they are there without waiting, under the
  // logged link's lock; answers how the last one went.
  Whole logWhileThere(QVLink* link, Pass pass, long& failure);
  // Logs what has arrived whole on both links; answers a link that failed
  // meanwhile, with its code in failure (its line not written).
  QVLink* logWhatIsWhole(long& failure);
  // The thread's end: what has come on each link is logged, a failed link's
  // last, then its line; the log stops being ready before anything else
  // can cross.
  void logTheRest(QVLink* failed, long failure);
  qvlogdirection directionOf(const QVLink* link) const {
    return link == readLink ? QVLogReadDirection : QVLogWriteDirection;
  }
  void serveArrivalRequest(QVLink*& failed, long& failure);
  void endThread();
  // Start-up's last step: ready, unless the thread has already ended.
  void markReady();

  QVThreadSync* logThreadSync = nullptr;
  qv_environment* theEnv = nullptr;
  QVString name;
  QVLink* loggedLink = nullptr;  // not owned: a link's log stops before the link goes
  QVLink* readLink = nullptr;
  QVLink* writeLinkLocal = nullptr;
  QVLink* writeLinkThread = nullptr;
  QVLink* controlLink = nullptr;
  QVSmartPointer<QVExprLog> exprLog;
  std::atomic<bool> readyToLog{false};
  std::atomic<bool> enabled{false};
  // Set by the thread once its end of the pair has connected or failed to.
  std::atomic<int> threadConnect{0};  // 0 pending, 1 connected, -1 failed
  bool turnedLinkLockOn = false;
  mutable std::mutex threadNameLock;
  // Requests to log what has arrived, and how many the log thread has
  // served; also orders the thread's end against start-up's ready.
  std::mutex arrivalLock;
  std::condition_variable arrivalLogged;
  uint64_t arrivalsAsked = 0;
  uint64_t arrivalsServed = 0;
  bool threadEnded = false;
  QVString keptThreadName;
};

std::ostream& operator<<(std::ostream& os, const QVLinkLog& log);

}  // namespace Quorvane
