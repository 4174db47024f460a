// Stateless file-system operations: directories (with permissions and missing
// parents), tests and removal of files, whole-file locks across processes,
// directory listings, the PATH search and the program name of a command line.
#pragma once

#include <list>
#include <optional>
#include <ostream>

#include "utilities/qvfilepermissions.h"
#include "utilities/qvobject.h"

namespace Quorvane {

using QVStringList = std::list<QVString, QVStdAllocator<QVString>>;

class QVFileManager : public QVObject {
 public:
  bool objectExistsAtPath(const QVString& path) const;
  bool objectAtPathIsDirectory(const QVString& path) const;
  bool fileExistsAtPath(const QVString& path) const;
  // Owner, group and all bits against the real user and group ids only.
  bool isReadableFileAtPath(const QVString& path) const;
  bool isWriteableFileAtPath(const QVString& path) const;
  bool isExecutableFileAtPath(const QVString& path) const;
  // The write rule applied to the directory that holds the path.
  bool isDeletableFileAtPath(const QVString& path) const;

  // Nothing to do for an existing directory; made 0755 whatever the umask.
  void createDirectory(const QVString& path) const;
  void createDirectoryWithPermissions(const QVString& path,
                                      const QVFilePermissions& permissions) const;
  void createDirectoryIncludingIntermediates(const QVString& path) const;
  void createDirectoryWithPermissionsIncludingIntermediates(
      const QVString& path, const QVFilePermissions& permissions) const;
  // The text before the last "/", absent when there is none or it is empty.
  std::optional<QVString> filePathParent(const QVString& path) const;

  // Waits for the file's lock, then removes it; a missing file is no error.
  void deleteFileAtPath(const QVString& path) const;
  // A whole-file write lock held from here until unlockFileAtPath, excluding
  // other processes and other threads of this one; the file is made (0666)
  // when missing.
  void lockFileAtPath(const QVString& path) const;
  void unlockFileAtPath(const QVString& path) const;
  // True when another process holds a conflicting lock on the file.
  bool isFileAtPathLocked(const QVString& path) const;

  QVStringList breakSystemPathIntoParts() const;
  bool fileExistsAtPathOrOnSystemPath(const QVString& name) const;
  bool isExecutableFileAtPathOrOnSystemPath(const QVString& name) const;
  QVStringList entryNamesForDirectoryAtPath(const QVString& path) const;
  QVString getExecutableFileNameFromCommandLine(const QVString& command) const;

  QVFilePermissions getAccessPermissionsForObjectAtPath(const QVString& path) const;
  bool setAccessPermissionsForObjectAtPath(const QVString& path,
                                           const QVFilePermissions& permissions) const;

  // Closes descriptors 3 to 1023; for a freshly forked child about to run a
  // program.
  void closeFileReferences() const;

  void print(std::ostream& os) const;
};

std::ostream& operator<<(std::ostream& os, const QVFileManager& manager);

}  // namespace Quorvane
