#include "api/qvreadstate.h"

namespace {

void ResetPosition(read_state* state) {
  three_state& c = state->converter;
  c.step = QVREAD_BETWEEN_TOKENS;
  c.token = 0;
  c.wire_left = -1;
  c.token_count = -1;
  c.characters = -1;
  c.delivered = -1;
  state->packed_run = 0;
  state->owed = 0;
  state->last_error = 0;
  state->view = 0;
  state->view_buffer = nullptr;
}

int Factory(read_state* state, int operation, three_state* other) {
  if (state->text_factory == nullptr) return 0;
  return state->text_factory(state->text_environment, operation, &state->converter, other, nullptr);
}

// Everything but the converter's owned resources and the memory stack.
void CopyFields(read_state* to, const read_state* from) {
  to->converter = from->converter;
  to->packed_run = from->packed_run;
  to->owed = from->owed;
  to->dispatch = from->dispatch;
  to->text_environment = from->text_environment;
  to->text_factory = from->text_factory;
  to->last_error = from->last_error;
  to->local_descriptor = from->local_descriptor;
  to->peer_descriptor = from->peer_descriptor;
  to->string_optimization = from->string_optimization;
  to->symbol_dictionary = from->symbol_dictionary;
  to->string_dictionary = from->string_dictionary;
  to->view = 0;
  to->view_buffer = nullptr;
}

}  // namespace

int rs__construct(read_state* state, qvnumeric_dispatch_fn dispatch, character_environment* environment,
                  qvtext_factory_fn factory, const rs_memory_stack* memory,
                  const _qvnumeric_env_descriptor* local, const _qvnumeric_env_descriptor* peer,
                  uint8_t string_optimization, Quorvane::QVStringDictionary* symbols,
                  Quorvane::QVStringDictionary* strings) {
  if (state == nullptr) return 0;
  state->marker = kReadStateMarker;
  state->converter = three_state{};
  ResetPosition(state);
  state->dispatch = dispatch;
  state->text_environment = environment;
  state->text_factory = factory;
  state->memory = memory != nullptr ? *memory : rs_memory_stack{};
  state->local_descriptor = local;
  state->peer_descriptor = peer;
  state->string_optimization = string_optimization;
  state->symbol_dictionary = symbols;
  state->string_dictionary = strings;
  if (factory != nullptr && factory(environment, QV_FACTORY_INIT, &state->converter, nullptr, nullptr) != 0) {
    state->marker = 0;
    return 0;
  }
  return 1;
}

void rs__reset(read_state* state) {
  Factory(state, QV_FACTORY_RESET, nullptr);
  ResetPosition(state);
}

int rs__copy_construct(read_state* state, const read_state* old, const rs_memory_stack* memory) {
  if (state == nullptr || old == nullptr) return 0;
  CopyFields(state, old);
  state->memory = memory != nullptr ? *memory : rs_memory_stack{};
  state->marker = kReadStateMarker;
  if (Factory(state, QV_FACTORY_CLONE, const_cast<three_state*>(&old->converter)) != 0) {
    // The clone owns nothing when it fails; leave a state that can be torn down.
    state->converter.step = QVREAD_BETWEEN_TOKENS;
    state->converter.head = state->converter.tail = nullptr;
    state->converter.counter = nullptr;
    state->converter.next = get_start;
    return 0;
  }
  return 1;
}

int rs__assign(read_state* to, const read_state* from, const rs_memory_stack* memory) {
  if (to == nullptr || from == nullptr) return 0;
  if (to == from) return 1;
  Factory(to, QV_FACTORY_DESTROY, nullptr);
  return rs__copy_construct(to, from, memory);
}

void rs__deconstruct(read_state* state, rs_memory_stack* memory) {
  if (state == nullptr || state->marker != kReadStateMarker) return;
  if (state->view_buffer != nullptr && state->memory.release != nullptr) {
    state->memory.release(state->memory.cookie, state->view_buffer);
  }
  state->view_buffer = nullptr;
  state->view = 0;
  Factory(state, QV_FACTORY_DESTROY, nullptr);
  state->marker = 0;
  if (memory != nullptr) *memory = state->memory;
}

long rs__set_error(read_state* state, long code) {
  state->last_error = static_cast<uint64_t>(code);
  return code;
}
long rs__last_error(const read_state* state) { return static_cast<long>(state->last_error); }
read_state* rs__cast_(void* state) { return static_cast<read_state*>(state); }
qvnumeric_dispatch_fn rs__num_dispatch(const read_state* state) { return state->dispatch; }
character_environment* rs__char_env(const read_state* state) { return state->text_environment; }
three_state* rs__char_state(read_state* state) { return &state->converter; }
void rs__mem_stack(const read_state* state, rs_memory_stack* out) { *out = state->memory; }
int64_t rs__byte_size(const read_state* state) { return state->converter.delivered; }

const _qvnumeric_env_descriptor* rs__local_env_descriptor(const read_state* state) {
  return state == nullptr ? nullptr : state->local_descriptor;
}
const _qvnumeric_env_descriptor* rs__remote_env_descriptor(const read_state* state) {
  return state == nullptr ? nullptr : state->peer_descriptor;
}
int rs__set_local_env_descriptor(read_state* state, const _qvnumeric_env_descriptor* descriptor) {
  if (state == nullptr) return 0;
  state->local_descriptor = descriptor;
  return 1;
}
int rs__set_remote_env_descriptor(read_state* state, const _qvnumeric_env_descriptor* descriptor) {
  if (state == nullptr) return 0;
  state->peer_descriptor = descriptor;
  return 1;
}
uint8_t rs__uses_string_optimization(const read_state* state) {
  return state == nullptr ? 0 : state->string_optimization;
}
Quorvane::QVStringDictionary* rs__symbol_dictionary(const read_state* state) {
  return state == nullptr ? nullptr : state->symbol_dictionary;
}
Quorvane::QVStringDictionary* rs__string_dictionary(const read_state* state) {
  return state == nullptr ? nullptr : state->string_dictionary;
}
