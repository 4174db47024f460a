// The reading position of a link's token codec: the text converter whose
// leading fields are the token position, the packed run and the expressions
// owed in the current packet, and what reading converts with. Held inside the
// link (a duplicate gets a copy); temporary ones serve marks and arrays.
#pragma once

#include <cstdint>

#include "api/qvfeatureset.h"
#include "api/qvnumericenv.h"
#include "text/qvconverter.h"
#include "utilities/qvobject.h"

namespace Quorvane {
class QVStringDictionary;
}

inline constexpr uint64_t kReadStateMarker = 0xBAC0FF;

// Token positions of the reader, in the converter's step field. The
// converter's own steps, while it works on an atom, lie above 32; 4 to 32 are
// the converter's failure and idle steps.
enum : int64_t {
  QVREAD_BETWEEN_TOKENS = 0,
  QVREAD_TYPE_READ = 1,
  QVREAD_INSIDE_TOKEN = 2,      // length read; also where a text atom starts
  QVREAD_INSIDE_AS_TEXT = 3,    // the byte count was asked for in text form
};

// Temporary text buffers of the reader come from here.
struct rs_memory_stack {
  void* (*allocate)(void* cookie, uint64_t size);
  void (*release)(void* cookie, void* block);
  void* cookie;
};

// The converter's leading fields are the reader's token position:
//   converter.step        state (see above)
//   converter.token       the current raw token type, 0 after a failure
//   converter.wire_left   data bytes of the token not yet read, -1 none or unknown
//   converter.token_count the argument count of a composite token
class read_state : public Quorvane::QVObject {
 public:
  three_state converter{};
  int64_t packed_run = 0;  // elements of a packed run still to come
  int64_t owed = 0;        // expressions still to be read in this packet
  qvnumeric_dispatch_fn dispatch = nullptr;
  character_environment* text_environment = nullptr;
  qvtext_factory_fn text_factory = nullptr;
  rs_memory_stack memory{};
  uint64_t last_error = 0;
  uint8_t view = 0;  // a viewed token was copied into a buffer of the memory stack
  void* view_buffer = nullptr;
  uint64_t marker = 0;
  const _qvnumeric_env_descriptor* local_descriptor = nullptr;
  const _qvnumeric_env_descriptor* peer_descriptor = nullptr;
  uint8_t string_optimization = 0;
  Quorvane::QVStringDictionary* symbol_dictionary = nullptr;
  Quorvane::QVStringDictionary* string_dictionary = nullptr;
  uint64_t reserved = 0;
};

int rs__construct(read_state* state, qvnumeric_dispatch_fn dispatch, character_environment* environment,
                  qvtext_factory_fn factory, const rs_memory_stack* memory,
                  const _qvnumeric_env_descriptor* local, const _qvnumeric_env_descriptor* peer,
                  uint8_t string_optimization, Quorvane::QVStringDictionary* symbols,
                  Quorvane::QVStringDictionary* strings);
void rs__reset(read_state* state);
int rs__copy_construct(read_state* state, const read_state* old, const rs_memory_stack* memory);
int rs__assign(read_state* to, const read_state* from, const rs_memory_stack* memory);
void rs__deconstruct(read_state* state, rs_memory_stack* memory);
long rs__set_error(read_state* state, long code);
long rs__last_error(const read_state* state);
read_state* rs__cast_(void* state);
qvnumeric_dispatch_fn rs__num_dispatch(const read_state* state);
character_environment* rs__char_env(const read_state* state);
three_state* rs__char_state(read_state* state);
void rs__mem_stack(const read_state* state, rs_memory_stack* out);
int64_t rs__byte_size(const read_state* state);
const _qvnumeric_env_descriptor* rs__local_env_descriptor(const read_state* state);
const _qvnumeric_env_descriptor* rs__remote_env_descriptor(const read_state* state);
int rs__set_local_env_descriptor(read_state* state, const _qvnumeric_env_descriptor* descriptor);
int rs__set_remote_env_descriptor(read_state* state, const _qvnumeric_env_descriptor* descriptor);
uint8_t rs__uses_string_optimization(const read_state* state);
Quorvane::QVStringDictionary* rs__symbol_dictionary(const read_state* state);
Quorvane::QVStringDictionary* rs__string_dictionary(const read_state* state);
