// Files that several processes use by name in the sync directory (the lock
// files of named mutexes, the FIFOs of named conditions). Each use marks the
// file with a shared record lock on its first byte for as long as it lasts.
// A name is removed only by one that holds that lock exclusively (so no one
// uses the file), or by a file's maker while its own mark still stands (so
// no one else can be removing it), and in both cases only while the name
// still names the file that was opened: a removal never takes a newer file
// made under the same name.
#pragma once

#include <sys/types.h>

#include "utilities/qvobject.h"

namespace Quorvane::sharedfile {

// Marks the use of the file open on fd, waiting while a removal holds it;
// false with errno set on failure. The mark belongs to the open file, not to
// the process: a forked child shares it and must leave it alone.
bool MarkInUse(int fd) noexcept;
// Gives up the mark taken through fd.
void UnmarkInUse(int fd) noexcept;

// Whether path names the file open on fd.
bool NamesFileQ(int fd, const QVString& path) noexcept;

// Removes path when no one marks the file open on fd (which must be open for
// writing) as in use and path still names it; true when it did.
bool UnlinkIfUnused(int fd, const QVString& path) noexcept;

// The maker's removal, while its own mark on the file open on fd stands:
// path goes when it still names that file; true when it did.
bool UnlinkOwnFile(int fd, const QVString& path) noexcept;

enum class Kind { regular, fifo };

// The clean-up's removal of what a dead process left: path goes when it is a
// file of that kind and owner that no one uses; true when it did.
bool RemoveIfUnused(const QVString& path, Kind kind, uid_t owner) noexcept;

}  // namespace Quorvane::sharedfile
