// The current working directory, whatever its length.
#pragma once

#include "utilities/qvobject.h"

namespace Quorvane::platform {

// Starts with 1024 bytes and grows (2048, then 1024 more each time) while the
// buffer is too small; Linux reports that as ERANGE. False with err = errno on
// any other failure.
bool CurrentDirectory(QVString* out, int* err);

}  // namespace Quorvane::platform
