// Link command lines as one string and as words: splitting a string into an
// argument vector, and joining a vector into one string that splits back into
// the same words.
//
// Splitting: words are separated by runs of separator bytes (white space,
// that is blank and 9 to 13, unless a separator set is given). Inside a word a
// double or single quote opens a quoted part and the same quote closes it;
// both are dropped, and separators and the other quote are ordinary inside.
// Outside single quotes a backslash or the byte 0xB6 escapes the next byte
// (both dropped but the escaped byte; an escape that ends the string is kept).
//
// Quoting one word for joining, by what it holds:
//  - nothing special, not empty: as it is;
//  - empty, or a double quote, backslash, 0xB6 or white space but no single
//    quote: in single quotes;
//  - a single quote and at most white space besides: in double quotes;
//  - a single quote with a double quote, backslash or 0xB6: every quote,
//    backslash, 0xB6 and white-space byte escaped with a backslash.
#pragma once

#include <cstdint>

// Splits string into at most max_words words, copied with their NULs into
// buffer (string length + 1 bytes suffice); their starts go to argv, and a
// null entry follows the last word when fewer than max_words were found.
// Separators null means white space. Answers the number of words stored: 0
// for a null string, -1 for a null argv or buffer.
long qvas__string_to_argv_sep(const char* string, char* buffer, char** argv, long max_words,
                              const char* separators);
long qvas__string_to_argv(const char* string, char* buffer, char** argv, long max_words);

// The resumable splitter behind the others. argv up to *argv_end (exclusive)
// receives word starts and buffer the words. On return *string is past the
// words stored (on the first word that did not fit), *buffer past the bytes
// written and *argv_end past the last entry stored; a null entry follows the
// words when there was room. Answers the number of words that did not fit (0
// when all did, so calling again with the advanced string goes on), or -1 for
// a null argv, argv end or buffer; a null string gives 0.
long qvas__string_to_argv_sep_(char** argv, char*** argv_end, const char** string, char** buffer,
                               const char* separators);

// Finds at most max_words words without copying: the start of each in the
// string and its length there, quotes and escapes left in place. Answers the
// number found, 0 for a null string, -1 for null starts or lengths.
long qvas__string_to_pargv_sep(const char* string, const char** starts, long* lengths, long max_words,
                               const char* separators);

// Writes one word quoted at destination, with its NUL; answers the position of
// that NUL. A null argument is the empty word.
char* qvas__arg_to_string(const char* argument, char* destination);
// The same, never writing at or past limit (null: no limit). On success
// *position moves to the NUL and the answer is 0; when the quoted word and its
// NUL do not fit, an empty text is left at *position (when one byte fits) and
// the answer is the number of bytes missing.
long qvas__arg_to_string_(const char* argument, char** position, const char* limit);

// Joins argc words, quoted, separated by one blank, into buffer of size
// bytes. Answers 0 when all fit, else the number of words from the first one
// that did not fit to the end; the text then ends before that word.
long qvas__argv_to_string(char* buffer, long size, long argc, char* const* argv);
// Joins the words from *cursor to end into buffer, never writing at or past
// *limit. On return *cursor is past the words written and *limit is the text's
// NUL (equal to buffer when not even the NUL fitted). Answers the number of
// words that did not fit; call again with a new buffer to go on.
long qvas__argv_to_string_(char* buffer, char** limit, char* const** cursor, char* const* end);
// The same; *missing (when given) receives the bytes the first word that did
// not fit lacked, 0 when all fitted.
long qvas__argv_to_string0_(char* buffer, char** limit, char* const** cursor, char* const* end,
                            long* missing);

// When text begins and ends with a single quote, copies what lies between to
// out (one or two quotes give the empty text) and answers 1; else 0 and out is
// not touched. out needs the length of text.
int check_for_single_quotes(const char* text, char* out);
