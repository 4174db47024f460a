// The writing position of a link's token codec: the negotiated features, the
// text converter whose leading fields are the token state, the numerics of
// both sides and the link's dictionaries. One per link, shared by duplicates.
#pragma once

#include <cstdint>

#include "api/qvfeatureset.h"
#include "api/qvnumericenv.h"
#include "text/qvconverter.h"

namespace Quorvane {
class QVStringDictionary;
}

inline constexpr uint64_t kWriteStateMarker = 0xBABEB00F;

// Token states of the writer, in the converter's step field.
enum : int64_t {
  QVWRITE_BETWEEN_TOKENS = 0,
  QVWRITE_TYPE_DECLARED = 1,  // also where a text atom starts
  QVWRITE_INSIDE_TOKEN = 2,   // size declared or count written; data owed until written
};

// The converter's leading fields are the writer's token state:
//   converter.step        state (0, 1, 2; a converter's own steps above 32)
//   converter.token       the declared token type
//   converter.wire_left   data bytes still owed, -1 when none
//   converter.token_count the declared size once the header is out, -1 before
//   converter.characters  the characters announced for a text token, -1 unknown
struct write_state {
  feature_set features;
  three_state converter;
  uint8_t six_digit_escapes;
  uint64_t references;
  uint64_t last_error;
  uint64_t marker;
  const _qvnumeric_env_descriptor* local_descriptor;
  const _qvnumeric_env_descriptor* peer_descriptor;
  uint8_t string_optimization;
  Quorvane::QVStringDictionary* symbol_dictionary;
  Quorvane::QVStringDictionary* string_dictionary;
  uint64_t reserved;
  // The leading surrogate a UTF-16 character piece ended on, as the caller's
  // unit, until the next piece brings its trailing half; 0 when none.
  uint16_t held_leading_unit;
};

int ws__construct(write_state* state, const feature_set* features, const _qvnumeric_env_descriptor* local,
                  const _qvnumeric_env_descriptor* peer, uint8_t string_optimization,
                  Quorvane::QVStringDictionary* symbols, Quorvane::QVStringDictionary* strings);
void ws__deconstruct(write_state* state);
uint64_t ws__inc_refcnt(write_state* state);
uint64_t ws__dec_refcnt(write_state* state);
uint64_t ws__refcnt(const write_state* state);
long ws__set_error(write_state* state, long code);
write_state* ws__cast_(void* state);
long ws__last_error(const write_state* state);
feature_set* ws__features(write_state* state);
const _qvnumeric_env_descriptor* ws__local_env_descriptor(const write_state* state);
const _qvnumeric_env_descriptor* ws__remote_env_descriptor(const write_state* state);
int ws__set_local_env_descriptor(write_state* state, const _qvnumeric_env_descriptor* descriptor);
int ws__set_remote_env_descriptor(write_state* state, const _qvnumeric_env_descriptor* descriptor);
uint8_t ws__uses_string_optimization(const write_state* state);
Quorvane::QVStringDictionary* ws__symbol_dictionary(const write_state* state);
Quorvane::QVStringDictionary* ws__string_dictionary(const write_state* state);
