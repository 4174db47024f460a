// Conditions whose signals are bytes in a FIFO or a pipe, so a caller can wait
// on their descriptor together with others.
#pragma once

#include <unistd.h>

#include <list>

#include "utilities/qvcondition.h"
#include "utilities/qvsyncobject.h"

namespace Quorvane {

// Named condition over a FIFO in the sync directory; works across processes.
// The creating side makes (and at its end removes) the FIFO; the opening side
// needs it to exist, and removes it at its end only when the maker died
// without doing so and no one else uses it. Every object marks the FIFO in
// use while it lives (utilities/qvsharedfileusage.h).
class QVFifoCondition : public QVCondition, public QVUnixSyncObject {
 public:
  QVFifoCondition(const QVString& name, _qvsyncmode mode);
  ~QVFifoCondition() override;

  void Signal() override;
  bool Wait(long microseconds) override;
  bool Wait() override { return Wait(-1); }
  // Discards up to 256 pending signals.
  void Reset() override;
  int GetRawObject() override { return readFd; }
  _qvcondition GetType() override { return QVFifoConditionType; }
  bool PendingQ() override;

  const QVString& getName() const { return name; }
  const QVString& getPath() const { return path; }

 private:
  int readFd = -1;
  int writeFd = -1;
  QVString path;
  QVString name;
  _qvsyncmode mode;
  pid_t owner = getpid();  // a forked child's copy leaves the FIFO alone
};

// Unnamed in-process condition over an anonymous pipe.
class QVPipeCondition : public QVCondition, public QVUnixSyncObject {
 public:
  QVPipeCondition();
  ~QVPipeCondition() override;

  void Signal() override;
  bool Wait(long microseconds) override;
  bool Wait() override { return Wait(-1); }
  // Discards every pending signal.
  void Reset() override;
  int GetRawObject() override { return readFd; }
  _qvcondition GetType() override { return QVPipeConditionType; }
  bool PendingQ() override;

 private:
  int readFd = -1;
  int writeFd = -1;
};

// Waits until fd is readable (microseconds, -1 without limit) and consumes up
// to 256 signal bytes; false when the time-out passes.
bool wait_on_file_descriptor(int fd, long microseconds);

// True when fd becomes readable within the time-out.
bool descriptor_readable(int fd, long microseconds);

QVCondition* fd_multiple_condition_wait(std::list<QVCondition*>& conditions, long microseconds);

}  // namespace Quorvane
