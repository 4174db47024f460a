#include "utilities/qvlinklog/qvlockedstream.h"

#include <cerrno>

#include "utilities/qvexception.h"
#include "utilities/qvsyncobject.h"
#include "utilities/qvthreads.h"

namespace Quorvane {

namespace {

constexpr char kSourceFile[] = "utilities/qvlinklog/qvlockedstream";

// The caller's mode bits as the standard library's open mode, whatever values
// the library gives its own flags.
std::ios_base::openmode OpenModeOf(unsigned mode) {
  std::ios_base::openmode open = std::ios_base::out;
  if ((mode & 1u) != 0) open |= std::ios_base::app;
  if ((mode & 2u) != 0) open |= std::ios_base::ate;
  if ((mode & 4u) != 0) open |= std::ios_base::binary;
  if ((mode & 8u) != 0) open |= std::ios_base::in;
  if ((mode & 32u) != 0) open |= std::ios_base::trunc;
  return open;
}

}  // namespace

QVSmartPointer<QVLockedStream> QVLockedStream::initFileStreamWithFileName(const QVString& path,
                                                                          unsigned mode) {
  return QVSmartPointer<QVLockedStream>(new QVLockedStream(path, mode));
}

QVString QVLockedStream::basicFileName(const QVString& path) {
  const QVString separator = getPathSeparator();
  const size_t last = path.find_last_of(separator);
  return last == QVString::npos ? path : path.substr(last + 1);
}

QVLockedStream::QVLockedStream(const QVString& path, unsigned mode) {
  const QVString base = basicFileName(path);
  // Such a path names a folder, and its name no lock file: an empty name
  // would make every such stream share one anonymous lock, and "." or ".."
  // would name the sync folder or its parent.
  if (base.empty() || base == "." || base == "..") {
    throw QVException("Log file path names no file.", kSourceFile, __LINE__,
                      qvexceptiontype::badArgument, 0);
  }
  theLock = QVThreadsFactory().CreateHandlePointer(base, sharedLockType);
  if (!theLock) {
    throw QVException("Unable to create the log file lock.", kSourceFile, __LINE__,
                      qvexceptiontype::internalError, 0);
  }
  auto stream = std::make_unique<std::ofstream>();
  errno = 0;
  stream->open(path.c_str(), OpenModeOf(mode));
  if (!stream->is_open()) {
    const int error = errno;
    throw QVException("Unable to open log file.", kSourceFile, __LINE__,
                      error == EACCES || error == EPERM ? qvexceptiontype::permissionDenied
                                                        : qvexceptiontype::systemCallFailed,
                      error);
  }
  theStream = std::move(stream);
  ownTheStream = true;
}

// Closing flushes the buffered tail, which is a write like any other.
QVLockedStream::~QVLockedStream() {
  try {
    std::lock_guard<std::mutex> hold(threadLock);
    QVSmartMutex named(theLock);
    if (ownTheStream) theStream.reset();
  } catch (const QVException&) {
  }
  if (!ownTheStream) (void)theStream.release();
}

void QVLockedStream::print(std::ostream& os) const {
  os << "<QVLockedStream><theLock>" << theLock << "</theLock><theStream>"
     << static_cast<const void*>(theStream.get()) << "</theStream><ownTheStream>"
     << (ownTheStream ? 1 : 0) << "</ownTheStream></QVLockedStream>";
}

QVLockedStream& operator<<(QVLockedStream& s, std::ostream& (*manipulator)(std::ostream&)) {
  s.writeToStream(manipulator);
  return s;
}

std::ostream& operator<<(std::ostream& os, const QVLockedStream& s) {
  s.print(os);
  return os;
}

}  // namespace Quorvane
