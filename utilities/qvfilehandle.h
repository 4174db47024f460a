// A buffered standard stream with factories for the usual open modes, reading
// whole or available contents into byte buffers.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ostream>

#include "utilities/qvdata.h"
#include "utilities/qvobject.h"
#include "utilities/qvsmartpointer.h"

namespace Quorvane {

enum _qvfilehandletype : int32_t {
  QVFileHandleBare = 0,
  QVFileHandleReading = 1,
  QVFileHandleWriting = 2,
  QVFileHandleReadingAndWriting = 3,
};

class QVFileHandle : public QVObject {
 public:
  QVFileHandle() = default;
  explicit QVFileHandle(FILE* stream) : theHandle(stream) {}
  QVFileHandle(FILE* stream, bool closeOnDestroyFlag, _qvfilehandletype kind)
      : theHandle(stream), closeOnDestroy(closeOnDestroyFlag), type(kind) {}
  // A copy uses the same stream but never closes it: only one handle owns it.
  QVFileHandle(const QVFileHandle& other);
  // Closes the own stream first when it is to be closed, then copies as above.
  QVFileHandle& operator=(const QVFileHandle& other);
  ~QVFileHandle() override;

  // "r"; closed with the handle.
  static QVSmartPointer<QVFileHandle> fileHandleForReadingAtPath(const QVString& path);
  // "w": created 0666 whatever the umask, or emptied.
  static QVSmartPointer<QVFileHandle> fileHandleForWritingAtPath(const QVString& path);
  // Read-write: an existing file is kept as it is; a missing one is made 0666
  // whatever the umask.
  static QVSmartPointer<QVFileHandle> fileHandleForReadingAndWritingAtPath(const QVString& path);
  static QVSmartPointer<QVFileHandle> fileHandleForStandardInput();
  static QVSmartPointer<QVFileHandle> fileHandleForStandardOutput();
  static QVSmartPointer<QVFileHandle> fileHandleForStandardError();
  static QVSmartPointer<QVFileHandle> fileHandleForNullDevice();
  // The descriptor stays the caller's.
  static QVSmartPointer<QVFileHandle> initWithFileDescriptor(int fd, _qvfilehandletype kind);
  // The handle closes the descriptor; a refused fdopen leaves a null stream.
  static QVSmartPointer<QVFileHandle> initWithFileDescriptorAndCloseOnRelease(
      int fd, _qvfilehandletype kind);

  // What can be read now without waiting for more (ends at end of file).
  QVSmartPointer<QVData> readAvailableData();
  QVSmartPointer<QVData> readToEndOfFile();
  QVSmartPointer<QVData> readDataOfLength(unsigned long n);
  void writeData(const QVData& data);
  void writeData(const QVSmartPointer<QVData>& data);

  int64_t offsetInFile() const;
  void seekToEndOfFile();
  void seekToFileOffset(uint64_t offset);
  void truncateFileAtOffset(uint64_t offset);
  void closeFile();

  int fileDescriptor() const;
  explicit operator int() const { return fileDescriptor(); }
  void setCloseOnDestroy(bool on) { closeOnDestroy = on; }

  bool operator==(const QVFileHandle& other) const { return theHandle == other.theHandle; }
  bool operator!=(const QVFileHandle& other) const { return theHandle != other.theHandle; }

  void print(std::ostream& os) const;

 private:
  FILE* theHandle = nullptr;
  bool closeOnDestroy = false;
  _qvfilehandletype type = QVFileHandleBare;
};

std::ostream& operator<<(std::ostream& os, const QVFileHandle& handle);

}  // namespace Quorvane
