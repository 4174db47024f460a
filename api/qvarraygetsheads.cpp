// The head names of a whole array, read level by level from the queue the
// array's function tokens and heads were copied into, through a read state of
// its own that shares the link's numerics, text machinery and dictionaries.
#include "api/qvarraygets.h"
#include "api/qvcodecqueues.h"
#include "api/qvgetcontainer.h"
#include "api/qvsymbolgets.h"

namespace {

constexpr long kNoMemory = 8;

}  // namespace

long QVReadArrayHeads_(QVLink* link, _queue* copied, int64_t depth, char** heads) {
  qv_queue_stack queues{};
  useritem_dkt item{copied, nullptr, qvcodec_queue_dispatch};
  if (qvqk__construct(link->queueStack.environment, &queues, &item) != 0) {
    qvqueue_destroy(copied);
    return kNoMemory;
  }
  const read_state* link_state = &link->readState;
  read_state state;
  rs__construct(&state, link_state->dispatch, link_state->text_environment, link_state->text_factory,
                &link_state->memory, link_state->local_descriptor, link_state->peer_descriptor,
                link_state->string_optimization, link_state->symbol_dictionary, link_state->string_dictionary);
  long code = 0;
  {
    Quorvane::QVGetContainer from(&link->globals->pool, &state, nullptr, &queues, link->symbolReplacements,
                                  link->symbolDictionary, link->stringDictionary);
    // The dimensions are known already: the counts are not kept.
    for (int64_t level = 0; level < depth && code == 0; ++level) {
      const char* head = nullptr;
      code = QVGetFunction_(&from, &head, nullptr);
      heads[level] = const_cast<char*>(head);
    }
  }
  rs__deconstruct(&state, nullptr);
  qvqk__deconstruct(&queues, nullptr);
  if (code != 0) {
    for (int64_t level = depth - 1; level >= 0; --level) {
      if (heads[level] != nullptr) DeallocAtom(&link->globals->pool, heads[level], nullptr);
      heads[level] = nullptr;
    }
  }
  return code;
}
