// The head names of a whole array, read level by level from the queue the
// array's function tokens and heads were copied into, through a read state of
// its own that shares the link's numerics, text machinery and dictionaries.
#include "api/qvarraygets.h"
#include "api/qvarrayinternal.h"
#include "api/qvgetcontainer.h"
#include "api/qvsymbolgets.h"

namespace {

constexpr long kNoMemory = 8;

void GiveBackHeads(mempool_qvt* pool, int64_t depth, char** heads) {
  for (int64_t level = depth - 1; level >= 0; --level) {
    if (heads[level] != nullptr) DeallocAtom(pool, heads[level], nullptr);
    heads[level] = nullptr;
  }
}

}  // namespace

long QVReadArrayHeads_(QVLink* link, _queue* copied, int64_t depth, char** heads) {
  qvcodecread::QueueReader reader(&link->readState, link->queueStack.environment, copied);
  if (!reader.ok()) return kNoMemory;
  Quorvane::QVGetContainer from(&link->globals->pool, reader.state(), nullptr, reader.queues(),
                                link->symbolReplacements, link->symbolDictionary, link->stringDictionary);
  long code = 0;
  // The dimensions are known already: the counts are not kept.
  for (int64_t level = 0; level < depth && code == 0; ++level) {
    const char* head = nullptr;
    code = QVGetFunction_(&from, &head, nullptr);
    heads[level] = const_cast<char*>(head);
  }
  if (code != 0) GiveBackHeads(&link->globals->pool, depth, heads);
  return code;
}
