// Forms the reader can meet but cannot yet re-frame: the older number tokens,
// a binary number read as text, a text atom read as an escaped-ASCII body, an
// array read as nested functions, and re-reading a number that did not fit as
// a string. Each answers a clean error; the token stays where it was.
#include "api/qvcodecreadinternal.h"

namespace qvcodecread {

long reframe_old_number(read_state* state, Source, uint64_t* type) {
  state->converter.token = 0;
  *type = 0;
  return Fail(state, kInconsistent);
}

long binary_number_as_text(read_state* state, Source) { return Fail(state, kOutOfSequence); }
long text_as_escaped_body(read_state* state, Source) { return Fail(state, kOutOfSequence); }
long array_as_function(read_state* state, Source) { return Fail(state, kOutOfSequence); }
long reread_as_text(read_state* state, Source, long error) { return Fail(state, error); }

}  // namespace qvcodecread
