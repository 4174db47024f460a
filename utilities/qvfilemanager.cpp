#include "utilities/qvfilemanager.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

#include "utilities/platform/qvcwd_linux.h"
#include "utilities/platform/qvfilelock_linux.h"
#include "utilities/qvexception.h"
#include "utilities/qvsyncobject.h"

namespace Quorvane {

namespace {
constexpr char kSourceFile[] = "utilities/qvfilemanager";

[[noreturn]] void Fail(const char* message, unsigned int line, qvexceptiontype type, int code) {
  throw QVException(message, kSourceFile, line, type, code);
}

// The umask is process-wide: it is 0 only for the one call it brackets.
class ZeroUmask {
 public:
  ZeroUmask() : old_(umask(0)) {}
  ~ZeroUmask() { umask(old_); }
  ZeroUmask(const ZeroUmask&) = delete;
  ZeroUmask& operator=(const ZeroUmask&) = delete;

 private:
  mode_t old_;
};

// stat that reports ENOENT (and the extra errors given) as a plain "no".
bool StatOrMissing(const QVString& path, struct stat* st, const char* message, unsigned int line,
                   bool missingOnNotDirOrAccess = false) {
  if (::stat(path.c_str(), st) == 0) return true;
  int err = errno;
  if (err == ENOENT) return false;
  if (missingOnNotDirOrAccess && (err == ENOTDIR || err == EACCES)) return false;
  Fail(message, line, qvexceptiontype::systemCallFailed, err);
}

// The owner bit counts for the real user, the group bit for the real group,
// and the bit for all for everybody.
bool AccessRule(const struct stat& st, mode_t user, mode_t group, mode_t all) {
  return ((st.st_mode & user) != 0 && st.st_uid == getuid()) ||
         ((st.st_mode & group) != 0 && st.st_gid == getgid()) || (st.st_mode & all) != 0;
}

QVString BaseName(const QVString& name) {
  auto slash = name.rfind('/');
  return slash == QVString::npos ? name : name.substr(slash + 1);
}

struct MkdirMessages {
  const char* permission;
  const char* exists;
  const char* missing;
  const char* readOnly;  // null: reported as the general failure
  const char* other;
};

constexpr MkdirMessages kPlainMkdir = {
    "Permission error from mkdir in QVFileManager::createDirectoryAtPath",
    "Object exists error from mkdir in QVFileManager::createDirectoryAtPath",
    "The path or a component of the path does not exist in QVFileManager::createDirectoryAtPath",
    nullptr, "mkdir failed in QVFileManager::createDirectoryAtPath"};

constexpr MkdirMessages kPermissionsMkdir = {
    "Permission error from mkdir in QVFileManager::createDirectoryWithPermissions",
    "Object exists error from mkdir in QVFileManager::createDirectoryWithPermissions",
    "The path or a component of the path does not exist in "
    "QVFileManager::createDirectoryWithPermissions",
    "mkdir(): The path or a component of the path exists in a read only file system",
    "Mkdir error"};

void MakeDirectory(const QVFileManager& manager, const QVString& path, mode_t mode,
                   const MkdirMessages& messages) {
  if (manager.objectAtPathIsDirectory(path)) return;
  int rc;
  {
    ZeroUmask zero;
    rc = ::mkdir(path.c_str(), mode);
  }
  if (rc == 0) return;
  int err = errno;
  // Another thread or process may have made it since the test above.
  if (err == EEXIST && manager.objectAtPathIsDirectory(path)) return;
  switch (err) {
    case EACCES:
      Fail(messages.permission, __LINE__, qvexceptiontype::permissionDenied, err);
    case EEXIST:
      Fail(messages.exists, __LINE__, qvexceptiontype::alreadyExists, err);
    case ENOENT:
      Fail(messages.missing, __LINE__, qvexceptiontype::noSuchPath, err);
    case EROFS:
      if (messages.readOnly != nullptr) {
        Fail(messages.readOnly, __LINE__, qvexceptiontype::readOnlyFileSystem, err);
      }
      [[fallthrough]];
    default:
      Fail(messages.other, __LINE__, qvexceptiontype::systemCallFailed, err);
  }
}

void MakeDirectoryWithParents(const QVFileManager& manager, const QVString& path, mode_t mode,
                              const MkdirMessages& messages) {
  std::optional<QVString> parent = manager.filePathParent(path);  // type 26 when empty
  if (parent && !manager.objectAtPathIsDirectory(*parent)) {
    MakeDirectoryWithParents(manager, *parent, mode, messages);
  }
  MakeDirectory(manager, path, mode, messages);
}

// Takes the whole-file lock; deleting a file takes it the same way.
platform::FileLockKey LockOrFail(const QVString& path) {
  platform::FileLockKey key;
  int err = 0;
  switch (platform::LockWholeFile(path, &key, &err)) {
    case platform::FileLockResult::ok:
      break;
    case platform::FileLockResult::openFailed:
      Fail("Open failed in QVFileManager::lockFileAtPath", __LINE__,
           qvexceptiontype::systemCallFailed, err);
    case platform::FileLockResult::lockFailed:
      Fail("Fcntl F_SETLKW failed in QVFileManager::lockFileAtPath", __LINE__,
           qvexceptiontype::systemCallFailed, err);
  }
  return key;
}

// Unlinks the file while its lock is held; the lock goes in every case.
class HeldFileLock {
 public:
  explicit HeldFileLock(const platform::FileLockKey& key) : key_(key) {}
  ~HeldFileLock() {
    int err = 0;
    platform::UnlockWholeFile(key_, &err);
  }
  HeldFileLock(const HeldFileLock&) = delete;
  HeldFileLock& operator=(const HeldFileLock&) = delete;

 private:
  platform::FileLockKey key_;
};

}  // namespace

bool QVFileManager::objectExistsAtPath(const QVString& path) const {
  struct stat st;
  return StatOrMissing(path, &st, "stat failed in QVFileManager::objectExistsAtPath", __LINE__);
}

bool QVFileManager::objectAtPathIsDirectory(const QVString& path) const {
  struct stat st;
  return StatOrMissing(path, &st, "stat failed in QVFileManager::objectAtPathIsDirectory",
                       __LINE__) &&
         S_ISDIR(st.st_mode);
}

bool QVFileManager::fileExistsAtPath(const QVString& path) const {
  struct stat st;
  return StatOrMissing(path, &st, "Stat failed in QVFileManager::fileExistsAtPath", __LINE__,
                       true) &&
         S_ISREG(st.st_mode);
}

bool QVFileManager::isReadableFileAtPath(const QVString& path) const {
  struct stat st;
  return StatOrMissing(path, &st, "stat failed in QVFileManager::isReadableFileAtPath", __LINE__) &&
         AccessRule(st, S_IRUSR, S_IRGRP, S_IROTH);
}

bool QVFileManager::isWriteableFileAtPath(const QVString& path) const {
  struct stat st;
  return StatOrMissing(path, &st, "stat failed in QVFileManager::isWriteableFileAtPath",
                       __LINE__) &&
         AccessRule(st, S_IWUSR, S_IWGRP, S_IWOTH);
}

bool QVFileManager::isExecutableFileAtPath(const QVString& path) const {
  struct stat st;
  return StatOrMissing(path, &st, "stat failed in QVFileManager::isExecutableFileAtPath",
                       __LINE__) &&
         AccessRule(st, S_IXUSR, S_IXGRP, S_IXOTH);
}

bool QVFileManager::isDeletableFileAtPath(const QVString& path) const {
  QVString directory;
  auto slash = path.rfind('/');
  if (slash == QVString::npos) {
    int err = 0;
    if (!platform::CurrentDirectory(&directory, &err)) {
      Fail("getcwd failed in QVFileManager::isDeletableFileAtPath", __LINE__,
           qvexceptiontype::systemCallFailed, err);
    }
  } else {
    // A file directly below the root lives in "/".
    directory = slash == 0 ? QVString("/") : path.substr(0, slash);
  }
  struct stat st;
  return StatOrMissing(directory, &st, "stat failed in QVFileManager::isDeletableFileAtPath",
                       __LINE__) &&
         AccessRule(st, S_IWUSR, S_IWGRP, S_IWOTH);
}

void QVFileManager::createDirectory(const QVString& path) const {
  MakeDirectory(*this, path, 0755, kPlainMkdir);
}

void QVFileManager::createDirectoryWithPermissions(const QVString& path,
                                                   const QVFilePermissions& permissions) const {
  MakeDirectory(*this, path, permissions.toMode(), kPermissionsMkdir);
}

void QVFileManager::createDirectoryIncludingIntermediates(const QVString& path) const {
  MakeDirectoryWithParents(*this, path, 0755, kPlainMkdir);
}

void QVFileManager::createDirectoryWithPermissionsIncludingIntermediates(
    const QVString& path, const QVFilePermissions& permissions) const {
  MakeDirectoryWithParents(*this, path, permissions.toMode(), kPermissionsMkdir);
}

std::optional<QVString> QVFileManager::filePathParent(const QVString& path) const {
  if (path.empty()) Fail("File path is empty", __LINE__, qvexceptiontype::emptyPath, 0);
  auto slash = path.rfind('/');
  if (slash == QVString::npos || slash == 0) return std::nullopt;
  return path.substr(0, slash);
}

void QVFileManager::deleteFileAtPath(const QVString& path) const {
  if (!fileExistsAtPath(path)) return;
  HeldFileLock held(LockOrFail(path));
  if (::unlink(path.c_str()) == 0) return;
  const int err = errno;
  if (err == ENOENT) return;
  if (err == EACCES || err == EPERM) {
    Fail("Permission error from unlink in QVFileManager::deleteFileAtPath", __LINE__,
         qvexceptiontype::permissionDenied, err);
  }
  Fail("Unlink error in QVFileManager::deleteFileAtPath", __LINE__,
       qvexceptiontype::systemCallFailed, err);
}

void QVFileManager::lockFileAtPath(const QVString& path) const { LockOrFail(path); }

void QVFileManager::unlockFileAtPath(const QVString& path) const {
  int err = 0;
  switch (platform::UnlockWholeFileAtPath(path, &err)) {
    case platform::FileLockResult::ok:
      return;
    case platform::FileLockResult::openFailed:
      Fail("Open failed in QVFileManager::unlockFileAtPath", __LINE__,
           qvexceptiontype::systemCallFailed, err);
    case platform::FileLockResult::lockFailed:
      Fail("Fcntl F_SETLKW failed in QVFileManager::unlockFileAtPath", __LINE__,
           qvexceptiontype::systemCallFailed, err);
  }
}

bool QVFileManager::isFileAtPathLocked(const QVString& path) const {
  bool locked = false;
  int err = 0;
  switch (platform::WholeFileLockedByAnother(path, &locked, &err)) {
    case platform::FileLockResult::ok:
      return locked;
    case platform::FileLockResult::openFailed:
      Fail("Open failed in QVFileManager::isFileAtPathLocked", __LINE__,
           qvexceptiontype::systemCallFailed, err);
    case platform::FileLockResult::lockFailed:
      Fail("Fcntl F_GETLK failed in QVFileManager::isFileAtPathLocked", __LINE__,
           qvexceptiontype::systemCallFailed, err);
  }
  return locked;
}

QVStringList QVFileManager::breakSystemPathIntoParts() const {
  QVStringList parts;
  const char* value = getenv("PATH");
  if (value == nullptr) return parts;
  QVString path(value);
  size_t start = 0;
  while (true) {
    size_t colon = path.find(':', start);
    if (colon == QVString::npos) {
      parts.push_back(path.substr(start));
      break;
    }
    parts.push_back(path.substr(start, colon - start));
    start = colon + 1;
  }
  return parts;
}

bool QVFileManager::fileExistsAtPathOrOnSystemPath(const QVString& name) const {
  if (fileExistsAtPath(name)) return true;
  const QVString base = BaseName(name);
  for (const QVString& directory : breakSystemPathIntoParts()) {
    if (fileExistsAtPath(directory + getPathSeparator() + base)) return true;
  }
  return false;
}

bool QVFileManager::isExecutableFileAtPathOrOnSystemPath(const QVString& name) const {
  if (isExecutableFileAtPath(name)) return true;
  const QVString base = BaseName(name);
  for (const QVString& directory : breakSystemPathIntoParts()) {
    // A PATH entry that is no directory, or that may not be searched, holds
    // nothing: it does not end the search with a failure.
    struct stat st;
    const QVString candidate = directory + getPathSeparator() + base;
    if (StatOrMissing(candidate, &st, "stat failed in QVFileManager::isExecutableFileAtPath",
                      __LINE__, true) &&
        AccessRule(st, S_IXUSR, S_IXGRP, S_IXOTH)) {
      return true;
    }
  }
  return false;
}

QVStringList QVFileManager::entryNamesForDirectoryAtPath(const QVString& path) const {
  QVStringList names;
  if (!objectAtPathIsDirectory(path)) return names;
  std::unique_ptr<DIR, int (*)(DIR*)> directory(opendir(path.c_str()), &closedir);
  if (!directory) return names;
  while (dirent* entry = readdir(directory.get())) names.emplace_back(entry->d_name);
  return names;
}

QVString QVFileManager::getExecutableFileNameFromCommandLine(const QVString& command) const {
  QVString name;
  QVString pending;
  bool inQuotes = false;
  bool collectedInQuotes = false;  // ever, since the start of the scan
  const size_t n = command.size();
  for (size_t i = 0; i < n; ++i) {
    const char c = command[i];
    QVString& into = inQuotes ? pending : name;
    if (c == '\\') {
      if (i + 1 == n) {
        into += '\\';
        break;
      }
      const char next = command[++i];
      if (next == ' ') {
        into += ' ';
      } else {
        into += '\\';
        into += next;
      }
    } else if (c == '"' || c == '\'') {
      if (inQuotes && collectedInQuotes) {
        name += pending;
        pending.clear();
      }
      inQuotes = !inQuotes;
    } else if (c == ' ' && !inQuotes) {
      break;
    } else {
      into += c;
      if (inQuotes) collectedInQuotes = true;
    }
  }
  return name;
}

QVFilePermissions QVFileManager::getAccessPermissionsForObjectAtPath(const QVString& path) const {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    int err = errno;
    if (err == ENOENT) Fail("File does not exist", __LINE__, qvexceptiontype::notFound, 0);
    Fail("stat failed in QVFileManager::getAccessPermissionsForObjectAtPath", __LINE__,
         qvexceptiontype::systemCallFailed, err);
  }
  return QVFilePermissions::fromMode(st.st_mode);
}

bool QVFileManager::setAccessPermissionsForObjectAtPath(
    const QVString& path, const QVFilePermissions& permissions) const {
  return ::chmod(path.c_str(), permissions.toMode()) == 0;
}

void QVFileManager::closeFileReferences() const {
  for (int fd = 3; fd < 1024; ++fd) ::close(fd);
}

void QVFileManager::print(std::ostream& os) const { os << "</QVFileManager>"; }

std::ostream& operator<<(std::ostream& os, const QVFileManager& manager) {
  manager.print(os);
  return os;
}

}  // namespace Quorvane
