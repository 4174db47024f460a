// Making or replacing a file so that it appears with all of its contents at
// once, and finding what such a write leaves when its process dies midway.
#pragma once

#include <sys/types.h>

#include <cstddef>

#include "utilities/qvobject.h"

namespace Quorvane::platform {

enum class WholeFileResult { created, exists, failed };

// Puts a new file at path holding exactly the given bytes, with the given mode
// whatever the umask. Another process sees either no file or the whole of it,
// never an empty or partly written one. exists when the path is taken (the
// file there is left alone); failed with errno in *err otherwise.
WholeFileResult CreateWholeFile(const QVString& path, const void* bytes, size_t length, mode_t mode, int* err);

// Puts the given bytes at path in place of whatever file is there (or makes
// it), with the given mode. A reader sees the old whole file or the new one,
// never a mix, an empty or a partly written one; a process killed midway
// leaves the old file as it was. created on success (exists is never
// answered); failed with errno in *err, the old file untouched.
WholeFileResult ReplaceWholeFile(const QVString& path, const void* bytes, size_t length, mode_t mode, int* err);

// Whether a directory entry name is the hidden file of a write above that
// has not finished; *writer gets the id of the process that made it. Such a
// file outlives only a writer that died before it was done.
bool UnfinishedWholeFileQ(const QVString& entryName, pid_t* writer);

}  // namespace Quorvane::platform
