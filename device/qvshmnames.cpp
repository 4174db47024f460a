#include "device/qvshmnames.h"

#include <sys/stat.h>
#include <unistd.h>

#include "utilities/qvexception.h"
#include "utilities/qvrandomstring.h"
#include "utilities/qvsyncobject.h"

namespace Quorvane::shmnames {

namespace {
constexpr char kSourceFile[] = "device/qvshm";
}

QVString SuffixOf(std::string_view key) {
  for (const Suffix& row : syncObjectNameMap) {
    if (row.key == key) return QVString(row.suffix);
  }
  throw QVException("No sync object of that key", kSourceFile, __LINE__, qvexceptiontype::internalError, 0);
}

void CheckLinkName(const QVString& name) {
  const bool escapes = name.find('/') != QVString::npos || name.find('\0') != QVString::npos;
  const bool hidden = !name.empty() && name.front() == '.';
  // The record of a process's named objects holds one line per object: a
  // line feed would split the line, and the sweep after a crash could no
  // longer name the objects to remove.
  const bool splitsRecord = name.find('\n') != QVString::npos;
  if (escapes || hidden || splitsRecord || name.size() > kMaximumNameLength) {
    // The name itself is not repeated: it may hold a NUL or be very long.
    throw QVException("Link name not usable for shared memory.", kSourceFile, __LINE__,
                      qvexceptiontype::badLinkName, 0);
  }
}

bool NameTakenQ(const QVString& name) {
  for (const Suffix& row : syncObjectNameMap) {
    if (nameCollidesWithAnotherIPCName(name + QVString(row.suffix))) return true;
  }
  return false;
}

QVString DrawName() {
  for (int draw = 0; draw < kMaximumDraws; ++draw) {
    const QVRandomString stem(kDrawnStemLength);
    const QVString candidate = QVString(stem.c_str()) + kDrawnNameEnding;
    if (!NameTakenQ(candidate)) return candidate;
  }
  throw QVException("No unused shared-memory link name found", kSourceFile, __LINE__,
                    qvexceptiontype::nameInUse, 0);
}

void RemoveLeftConditions(const QVString& name) {
  for (const char* key : {"WriteCondition", "ReadCondition", "WriteMessageCondition", "ReadMessageCondition",
                          "FreeSpaceWriteCondition", "FreeSpaceReadCondition"}) {
    const QVString path = makeFIFOIPCName(name + SuffixOf(key));
    struct stat entry {};
    if (lstat(path.c_str(), &entry) == 0 && S_ISFIFO(entry.st_mode)) unlink(path.c_str());
  }
}

}  // namespace Quorvane::shmnames
