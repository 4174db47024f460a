// An output file whose every single write is made under a named inter-process
// lock, so that several log writers, in one process or in several, can append
// to one file without interleaving inside one write. The lock is named by the
// file's last path component: the same name in two folders shares one lock.
#pragma once

#include <fstream>
#include <memory>
#include <mutex>
#include <ostream>

#include "utilities/qvobject.h"
#include "utilities/qvsmartpointer.h"
#include "utilities/qvthreads.h"

namespace Quorvane {

class QVLockedStream : public QVObject {
 public:
  // The kind of lock every locked stream makes: the named inter-process mutex.
  static constexpr _qvmutex sharedLockType = QVNamedMutex;

  // Open-mode bits as callers pass them: append 1, at end 2, binary 4, input 8,
  // output 16, truncate 32. Output is always added.
  static constexpr unsigned kAppend = 1;
  static constexpr unsigned kOutput = 16;

  static QVSmartPointer<QVLockedStream> initFileStreamWithFileName(const QVString& path,
                                                                   unsigned mode);

  // Refuses a path that names no file (empty, ending in "/", "." or "..")
  // with type 3 before any lock is made. A file that cannot be opened is
  // type 4 (type 23 when permission is refused) with the system's error, so
  // no caller is left holding a stream whose writes would be lost. A lock
  // that cannot be made passes its own exception on.
  QVLockedStream(const QVString& path, unsigned mode);
  ~QVLockedStream() override;
  QVLockedStream(const QVLockedStream&) = delete;
  QVLockedStream& operator=(const QVLockedStream&) = delete;

  // The text after the last "/", or the whole path when it has none.
  static QVString basicFileName(const QVString& path);

  // Each takes the lock for that one value. Only the string form flushes at
  // once; the others stay in the stream's buffer until a later flush.
  void writeToStream(const QVString& v) { write(v, true); }
  void writeToStream(const char* v) { write(v == nullptr ? "" : v, false); }
  void writeToStream(char v) { write(v, false); }
  void writeToStream(unsigned char v) { write(static_cast<char>(v), false); }
  void writeToStream(short v) { write(v, false); }
  void writeToStream(unsigned short v) { write(v, false); }
  void writeToStream(int v) { write(v, false); }
  void writeToStream(unsigned int v) { write(v, false); }
  void writeToStream(long v) { write(v, false); }
  void writeToStream(unsigned long v) { write(v, false); }
  void writeToStream(float v) { write(v, false); }
  void writeToStream(double v) { write(v, false); }
  void writeToStream(long double v) { write(v, false); }
  void writeToStream(std::ostream& (*manipulator)(std::ostream&)) { write(manipulator, false); }

  void print(std::ostream& os) const;

 private:
  template <typename T>
  void write(const T& v, bool flush) {
    // The file lock belongs to the open file, so two threads sharing this one
    // stream would both be granted it; the in-process lock keeps them apart.
    std::lock_guard<std::mutex> hold(threadLock);
    QVSmartMutex named(theLock);
    if (theStream == nullptr) return;
    *theStream << v;
    if (flush) theStream->flush();
  }

  QVSmartPointer<QVMutexHandle> theLock;
  bool ownTheStream = false;
  std::unique_ptr<std::ofstream> theStream;
  std::mutex threadLock;
};

// Each does what writeToStream does and returns the stream, so values chain;
// every element of a chain takes and releases the lock by itself.
template <typename T>
requires requires(QVLockedStream& s, const T& v) { s.writeToStream(v); }
QVLockedStream& operator<<(QVLockedStream& s, const T& v) {
  s.writeToStream(v);
  return s;
}
QVLockedStream& operator<<(QVLockedStream& s, std::ostream& (*manipulator)(std::ostream&));

std::ostream& operator<<(std::ostream& os, const QVLockedStream& s);

}  // namespace Quorvane
