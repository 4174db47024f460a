// The converter engine of text atoms. A converter state turns a caller's text
// into one atom for the wire (put, "freeze") or one atom from the wire into the
// caller's text (get, "cook"). Every step can stop at any byte on either side
// and resumes from exactly there on the next call.
//
// Atom on the wire (new form): token byte, length, letter 'A'..'F', flag byte
// "~", count, payload; the length counts letter, flag, count field and payload.
// Legacy form: "S", "Y", "R" or "I" for the token, decimal length, a space, the
// payload in legacy byte codes.
#pragma once

#include <cstdint>

#include "text/qvtextencoding.h"

struct _qvutfcounter;

// Allocation functions of one engine environment; every allocation of a
// converter state goes through them.
struct character_environment {
  void* (*allocate)(uint64_t size);
  void (*deallocate)(void* p);
};

// One element of a block list; its bytes follow the header.
struct cube {
  cube* next;
  int64_t characters;
  int64_t size;
  int64_t offset;  // read offset: the unread bytes are [offset, size)
};

struct three_state;

// Every step has this shape. The caller side is the text put (put) or the
// buffer that receives text (get); the wire side is the write window (put) or
// the bytes read from the link (get). Both cursors advance by what was used.
typedef int64_t (*qvtext_step)(three_state* state, unsigned char** caller, unsigned char* caller_end,
                               unsigned char** wire, unsigned char* wire_end);

// Results of a step.
enum : int64_t {
  QV_STEP_DONE = 1,           // the atom is complete
  QV_STEP_WIRE = 2,           // write window full (put) or wire bytes used up (get)
  QV_STEP_CALLER = 3,         // caller's text used up (put) or caller's buffer full (get)
  QV_STEP_FAILED = -1,        // wrong step, no acceptable encoding, malformed header, destroyed
  QV_STEP_NO_MEMORY = 10,     // an allocation failed
  QV_STEP_UNREPRESENTABLE = 20  // a character with no form in the target, or invalid input
};

// Atom tokens.
enum : uint64_t { QV_TOKEN_STRING = 34, QV_TOKEN_SYMBOL = 35, QV_TOKEN_REAL = 42, QV_TOKEN_INTEGER = 43 };

constexpr int kQVBufferedBytes = 66;

// One converter state per direction of a link. The link core writes the plain
// fields; the factory manages what the state owns.
struct three_state {
  int64_t step;         // 0 idle, 1 put start, 2 get start, larger: a converter's resume point
  uint64_t token;
  int64_t wire_left;    // put: atom bytes still to write; get: atom bytes still to read; -1 unknown
  int64_t token_count;  // kept by the link core for the token in progress; -1 unused
  int64_t characters;   // put: characters the caller puts (negative: unknown); get: still to deliver
  int64_t delivered;    // get: units delivered so far
  qvtext_step next;
  character_environment* environment;
  uint8_t encoding;     // put: the source encoding; get: accepted, then the chosen one
  uint8_t flag;         // the byte after the wire letter
  uint8_t replacement;  // get into bytes: stands for a character without an 8-bit form
  uint8_t accepted;     // put: the peer's encodings | 1; get: the atom's wire encoding
  uint8_t byte_order;   // of 16- and 32-bit units (endian)
  uint8_t pending;      // bytes at the end of buffer still to be written out
  _qvutfcounter* counter;
  cube* head;
  cube* tail;
  uint8_t buffered;     // bytes of a partial character at the start of buffer
  unsigned char buffer[kQVBufferedBytes];
  uint8_t six_digit;    // the peer takes the six-digit escape
};

// ---- Engine ----
character_environment* cs__begin(void* (*allocate)(uint64_t), void (*deallocate)(void*),
                                 int (**factory)(character_environment*, int, three_state*, three_state*,
                                                 set_qvbst*),
                                 set_qvbst* encodings, char* version, int64_t* version_length);
// Operations: -1 free the environment, 0 init, 1 reset, 2 clone, 3 assign, 4 destroy.
int cs__factory(character_environment* environment, int operation, three_state* state, three_state* other,
                set_qvbst* encodings);
int cs__converter(unsigned int options, set_qvbst* set);
int cs__encoder(set_qvbst* set);

enum : int {
  QV_FACTORY_FREE_ENVIRONMENT = -1,
  QV_FACTORY_INIT = 0,
  QV_FACTORY_RESET = 1,
  QV_FACTORY_CLONE = 2,
  QV_FACTORY_ASSIGN = 3,
  QV_FACTORY_DESTROY = 4
};

int64_t put_start(three_state* state, unsigned char** caller, unsigned char* caller_end, unsigned char** wire,
                  unsigned char* wire_end);
int64_t get_start(three_state* state, unsigned char** caller, unsigned char* caller_end, unsigned char** wire,
                  unsigned char* wire_end);
// Answers -1 to every call; the next step of a destroyed state.
int64_t bang(three_state* state, unsigned char** caller, unsigned char* caller_end, unsigned char** wire,
             unsigned char* wire_end);
// Discards the rest of an atom that failed; then the next atom can be read.
int64_t get_recover_from_error(three_state* state, unsigned char** caller, unsigned char* caller_end,
                               unsigned char** wire, unsigned char* wire_end);
void get_error_trap();

int is_put_state(const three_state* state);
int am_freezing_from(const three_state* state, uint8_t encoding);
int can_freeze_to(const three_state* state, int bit_number);

// ---- Block list ----
unsigned char* put_block(character_environment* state_instance, cube** head, cube** tail, int64_t size,
                         int64_t characters);
void free_blocks(character_environment* state_instance, cube** head, cube** tail);
int64_t blocks_size(const cube* head);
int64_t blocks_count(const cube* head);
unsigned char* read_block(cube* head);
int64_t read_block_size(const cube* block);
void read_block_done(character_environment* state_instance, cube** head, cube** tail, int64_t n);
unsigned char* clone_blocks(character_environment* state_instance, cube** head, cube** tail, const cube* source);
unsigned char* block_bytes(cube* block);

// ---- Length forms ----
// Write backwards so that the form ends just before end; return its first byte.
unsigned char* ul_to_f(uint64_t value, unsigned char* end);      // 0x40|n below 64, else digits and a space
unsigned char* old_ul_to_f(uint64_t value, unsigned char* end);  // always digits and a space

// Reads the token and length in front of an atom, as the link core does before
// it hands the rest to get_start: new-form tokens (34, 35, 42, 43) with the
// length form, any other byte as a legacy letter with a decimal length. Digits
// only, at most max_length. Returns the bytes read, 0 when more are needed, -1
// when malformed.
int64_t qvatom_read_prefix(const unsigned char* p, int64_t n, uint64_t* token, int64_t* length,
                           int64_t max_length);

// The converters, by source (put) or wire encoding (get) and target; each is a
// step of the shape above.
#define QV_DECLARE_STEP(name) \
  int64_t name(three_state*, unsigned char**, unsigned char*, unsigned char**, unsigned char*);
QV_DECLARE_STEP(freeze_ascii_into_ascii)
QV_DECLARE_STEP(freeze_ascii_into_bytes)
QV_DECLARE_STEP(freeze_ascii_into_ucs2)
QV_DECLARE_STEP(freeze_ascii_into_utf8)
QV_DECLARE_STEP(freeze_ascii_into_utf16)
QV_DECLARE_STEP(freeze_ascii_into_utf32)
QV_DECLARE_STEP(freeze_all_ascii_into_oldstring)
QV_DECLARE_STEP(freeze_ascii_into_oldstring)
QV_DECLARE_STEP(freeze_ascii_of_unknown_count)
QV_DECLARE_STEP(freeze_bytes_into_bytes)
QV_DECLARE_STEP(freeze_bytes_into_ucs2)
QV_DECLARE_STEP(freeze_bytes_into_utf8)
QV_DECLARE_STEP(freeze_bytes_into_utf16)
QV_DECLARE_STEP(freeze_bytes_into_utf32)
QV_DECLARE_STEP(freeze_all_bytes_into_ascii)
QV_DECLARE_STEP(freeze_some_bytes_into_ascii)
QV_DECLARE_STEP(freeze_all_bytes_into_oldstring)
QV_DECLARE_STEP(freeze_bytes_into_oldstring)
QV_DECLARE_STEP(cook_ascii)
QV_DECLARE_STEP(cook_bytes)
QV_DECLARE_STEP(cook_ucs2)
QV_DECLARE_STEP(cook_utf8)
QV_DECLARE_STEP(cook_utf16)
QV_DECLARE_STEP(cook_utf32)
QV_DECLARE_STEP(cook_oldstring)
QV_DECLARE_STEP(cook_ascii_into_ascii)
QV_DECLARE_STEP(cook_ascii_into_ucs2)
QV_DECLARE_STEP(cook_ascii_into_utf8)
QV_DECLARE_STEP(cook_ascii_into_utf16)
QV_DECLARE_STEP(cook_ascii_into_utf32)
QV_DECLARE_STEP(cook_ascii_into_bytes)
QV_DECLARE_STEP(cook_bytes_into_bytes)
QV_DECLARE_STEP(cook_bytes_into_ucs2)
QV_DECLARE_STEP(cook_bytes_into_utf8)
QV_DECLARE_STEP(cook_bytes_into_utf16)
QV_DECLARE_STEP(cook_bytes_into_utf32)
QV_DECLARE_STEP(cook_bytes_into_ascii)
QV_DECLARE_STEP(cook_oldstring_into_bytes)
QV_DECLARE_STEP(cook_oldstring_into_ucs2)
QV_DECLARE_STEP(cook_oldstring_into_utf8)
QV_DECLARE_STEP(cook_oldstring_into_utf16)
QV_DECLARE_STEP(cook_oldstring_into_utf32)
QV_DECLARE_STEP(cook_oldstring_into_ascii)
QV_DECLARE_STEP(discard_padding)
#undef QV_DECLARE_STEP

// Write the header of a collected payload into the spare bytes in front of it
// ('A', and the legacy form).
int64_t full_ascii_header(three_state* state);
int64_t old_header(three_state* state);
