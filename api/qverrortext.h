// The text of a link error code, plain and in the wide encodings. The public
// per-link forms read the link's code back as a signed 32-bit number (so that
// the unsigned word of -1 finds its row) and call these.
#pragma once

#include <cstdint>

#include "api/qvenvironment.h"

// The code's message, or "Error " and the signed decimal code in the
// environment's text buffer (overwritten by the next such call). Null for a
// null environment.
const char* QVErrorMessageText(qv_environment* environment, int64_t code);

// The message as a new text in ENCODING_UCS2 (no mark), ENCODING_UTF16 or
// ENCODING_UTF32 (each beginning with the mark U+FEFF in this machine's
// order, which the length counts); *length (when given) receives the units.
// Null for a null environment, another encoding or no memory; length is then
// left alone. Freed with QVReleaseEncodedErrorMessage.
void* QVEncodedErrorMessage(qv_environment* environment, int64_t code, int encoding, int* length);
void QVReleaseEncodedErrorMessage(void* text);
