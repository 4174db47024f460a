#include "api/qvwritestate.h"

#include <cstring>

namespace {

void ResetTokenState(three_state* converter) {
  converter->step = QVWRITE_BETWEEN_TOKENS;
  converter->token = 0;
  converter->wire_left = -1;
  converter->token_count = -1;
  converter->characters = -1;
  converter->delivered = -1;
}

bool NamesBinaryTypes(const feature_set& features) {
  return features.binary_types[0] != 0 || features.binary_types[1] != 0;
}

}  // namespace

int ws__construct(write_state* state, const feature_set* features, const _qvnumeric_env_descriptor* local,
                  const _qvnumeric_env_descriptor* peer, uint8_t string_optimization,
                  Quorvane::QVStringDictionary* symbols, Quorvane::QVStringDictionary* strings) {
  if (state == nullptr || features == nullptr) return 0;
  // Types to write as they stand need a dispatcher to size and convert them.
  if (NamesBinaryTypes(*features) && features->dispatch == nullptr) return 0;
  std::memset(state, 0, sizeof *state);
  state->local_descriptor = local;
  state->peer_descriptor = peer;
  state->references = 1;
  state->features = *features;
  ResetTokenState(&state->converter);
  if (features->text_factory != nullptr) {
    set_qvbst encodings = features->encodings;
    if (features->text_factory(features->text_environment, QV_FACTORY_INIT, &state->converter, nullptr,
                               &encodings) != 0) {
      return 0;
    }
  }
  state->string_optimization = string_optimization;
  state->symbol_dictionary = symbols;
  state->string_dictionary = strings;
  state->six_digit_escapes = 1;
  state->converter.six_digit = 1;
  state->last_error = 0;
  state->marker = kWriteStateMarker;
  return 1;
}

void ws__deconstruct(write_state* state) {
  if (state == nullptr || state->marker != kWriteStateMarker) return;
  if (state->features.text_factory != nullptr) {
    state->features.text_factory(state->features.text_environment, QV_FACTORY_DESTROY, &state->converter,
                                 nullptr, nullptr);
  }
  state->marker = 0;
}

uint64_t ws__inc_refcnt(write_state* state) { return ++state->references; }
uint64_t ws__dec_refcnt(write_state* state) { return state->references == 0 ? 0 : --state->references; }
uint64_t ws__refcnt(const write_state* state) { return state->references; }

long ws__set_error(write_state* state, long code) {
  state->last_error = static_cast<uint64_t>(code);
  return code;
}

write_state* ws__cast_(void* state) { return static_cast<write_state*>(state); }
long ws__last_error(const write_state* state) { return static_cast<long>(state->last_error); }
feature_set* ws__features(write_state* state) { return &state->features; }

const _qvnumeric_env_descriptor* ws__local_env_descriptor(const write_state* state) {
  return state == nullptr ? nullptr : state->local_descriptor;
}
const _qvnumeric_env_descriptor* ws__remote_env_descriptor(const write_state* state) {
  return state == nullptr ? nullptr : state->peer_descriptor;
}
int ws__set_local_env_descriptor(write_state* state, const _qvnumeric_env_descriptor* descriptor) {
  if (state == nullptr) return 0;
  state->local_descriptor = descriptor;
  return 1;
}
int ws__set_remote_env_descriptor(write_state* state, const _qvnumeric_env_descriptor* descriptor) {
  if (state == nullptr) return 0;
  state->peer_descriptor = descriptor;
  return 1;
}
uint8_t ws__uses_string_optimization(const write_state* state) {
  return state == nullptr ? 0 : state->string_optimization;
}
Quorvane::QVStringDictionary* ws__symbol_dictionary(const write_state* state) {
  return state == nullptr ? nullptr : state->symbol_dictionary;
}
Quorvane::QVStringDictionary* ws__string_dictionary(const write_state* state) {
  return state == nullptr ? nullptr : state->string_dictionary;
}
