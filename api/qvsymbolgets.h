// Symbol and function-head readers below the public symbol gets, function
// gets, head tests and string gets. Each reads the current token (reading the
// next one when none is current) from the get container's link side, hands
// back a name in an atom of the container's pool with two zero units behind
// its text, and answers 0 or a link error code, also stored in the read
// state. Every name read passes through the link's symbol replacement.
//
// Wide names (UTF-16, UTF-32) begin with the byte-order mark in this
// machine's order: byte counts include it, character counts do not.
#pragma once

#include <cstdint>

#include "api/qvgetcontainer.h"
#include "api/qvmempool.h"
#include "api/qvreadstate.h"
#include "text/qvstringdictionary.h"

struct _qvsymbol_variant_env;

long QVGet7BitSymbol_(Quorvane::QVGetContainer* container, const char** name, long* length);
// Characters above 255 become the missing-character code.
long QVGet8BitSymbol_(Quorvane::QVGetContainer* container, const unsigned char** name, long* bytes,
                      long* characters, long missing);
long QVGetUCS2Symbol_(Quorvane::QVGetContainer* container, const unsigned short** name, long* bytes,
                      long* characters);
long QVGetUTF8Symbol_(Quorvane::QVGetContainer* container, const unsigned char** name, long* bytes,
                      long* characters);
long QVGetUTF16Symbol_(Quorvane::QVGetContainer* container, const unsigned short** name, long* bytes,
                       long* characters);
long QVGetUTF32Symbol_(Quorvane::QVGetContainer* container, const unsigned int** name, long* bytes,
                       long* characters);

// Replaces a name just read, in its atom (grown when the new name is longer),
// and updates both counts: -1 for a null pool, read state, count or table; 8
// when the atom cannot grow (the atom is then freed and *name null); else 0,
// also when nothing applies.
long QVDoSymbolReplacement_(mempool_qvt* pool, read_state* state, void** name, long* bytes, long* characters,
                            _qvsymbol_variant_env* table, int encoding, int direction);

// The function token's argument count (through count when given), then its
// head as a symbol in the encoding. Lengths: 7-bit none (NUL-terminated),
// UCS-2 characters, UTF-8 bytes, UTF-16 bytes / 2, UTF-32 bytes / 4.
long QVGetFunction_(Quorvane::QVGetContainer* container, const char** head, long* count);
long QVGetUCS2Function_(Quorvane::QVGetContainer* container, const unsigned short** head, int* length,
                        long* count);
long QVGetUTF8Function_(Quorvane::QVGetContainer* container, const unsigned char** head, int* length,
                        long* count);
long QVGetUTF16Function_(Quorvane::QVGetContainer* container, const unsigned short** head, int* length,
                         long* count);
long QVGetUTF32Function_(Quorvane::QVGetContainer* container, const unsigned int** head, int* length,
                         long* count);

namespace qvsymbolread {

// The codes a dictionary-coded name fails with, which differ by reader.
struct DictionaryCodes {
  long unknown;         // the code is not in the symbol dictionary
  long unrepresentable;  // the name cannot be given in the encoding
};

// A symbol read in the encoding (a text_encoding value) from the current
// token, whatever its form. *name is an atom of the container's pool or null.
long ReadSymbol(Quorvane::QVGetContainer* container, unsigned encoding, void** name, int64_t* bytes,
                int64_t* characters, long missing, DictionaryCodes codes);

// The next token, which must be a function (else 3), and its argument count.
long ReadFunctionToken(Quorvane::QVGetContainer* container, int64_t* arguments);

// The dictionary name of a dictionary-coded symbol whose token type has been
// read: 2 unless it has exactly one argument, unknown when the container's
// dictionary does not hold its code.
long ReadDictionaryName(Quorvane::QVGetContainer* container, long unknown, Quorvane::QVUTF8StringHandle* name);

// A dictionary's name written in the encoding into an atom of the container's
// pool, then replaced for reading: unrepresentable when the encoding cannot
// hold it, 8 without memory.
long NameFromDictionary(Quorvane::QVGetContainer* container, const Quorvane::QVUTF8String& text, unsigned encoding,
                        long unrepresentable, void** name, int64_t* bytes, int64_t* characters);

// The whole text of the current atom in the encoding, in an atom of the pool
// that grows as characters arrive, two zero units behind it. 7-bit and byte
// text count characters as bytes.
long ReadAtomText(Quorvane::QVGetContainer* container, unsigned encoding, long missing, void** text,
                  int64_t* bytes, int64_t* characters);

// The characters of a whole delivered text (bytes long) in the encoding;
// false when they cannot be counted. Wide texts leave their leading mark out.
bool CountCharacters(const unsigned char* text, int64_t bytes, unsigned encoding, int64_t* characters);

// Gives an atom of the container's pool back; null ignored.
void FreeAtom(Quorvane::QVGetContainer* container, const void* atom);

}  // namespace qvsymbolread
