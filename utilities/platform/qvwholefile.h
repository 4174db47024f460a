// Making a file that appears with all of its contents at once.
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

}  // namespace Quorvane::platform
