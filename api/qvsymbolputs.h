// The dictionary form of a symbol put, below the public symbol and function
// puts.
#pragma once

#include "api/qvlink.h"
#include "text/qvstringdictionary.h"

// Writes the name as a dictionary symbol with its 16-bit code from the link's
// symbol dictionary: 0 or the writer's code. When that form may not stand
// here it answers the link's pending error, or throws
// Quorvane::QVException("Back out of QVPutSymbolOptimized_") so that the
// caller writes the plain form. Called under the link lock.
long QVPutSymbolOptimized_(QVLink* link, const Quorvane::QVUTF8StringHandle& name);
