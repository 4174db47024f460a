// What the files of the expression transfer share: the two sides of one
// transfer, the codes they answer, and the copy of a text atom.
#pragma once

#include <cstdint>

#include "api/qvcodecreadinternal.h"
#include "api/qvcodecwrite.h"

namespace qvtransfer {

using qvcodecread::kImpossibleState;
using qvcodecread::kInconsistent;
using qvcodecread::kLost;
using qvcodecread::kNoMemory;

// The write side's code for states that do not agree, and the codes of names
// no dictionary knows.
constexpr long kStatesDisagree = 5;
constexpr long kUnknownSymbolCode = 53;
constexpr long kUnknownStringCode = 54;

// The two sides of one transfer.
struct Sides {
  write_state* writer;
  device_kebab* writer_stack;
  _queue* writer_queue;
  read_state* reader;
  device_kebab* stack;
  qv_queue_stack* queues;

  long Put(unsigned type) { return QVPutType_(writer, writer_stack, writer_queue, type); }
  long FailRead(long code) { return rs__set_error(reader, code); }
};

// A text-bodied token of the given type, its characters read in the writer's
// encodings and written for its peer.
long CopyText(Sides& s, unsigned type);

}  // namespace qvtransfer
