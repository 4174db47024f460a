// A block of machine numbers read from a link for the list and array gets.
// The element count comes from the peer, so the block is never sized by it
// alone: it starts within a fixed bound and grows as elements arrive.
#pragma once

#include <cstdint>

#include "api/qvarraymeter.h"
#include "api/qvlink.h"

// Bytes of one element of a binary number type; 0 when the type has none here.
int64_t QVNumberElementSize(read_state* state, unsigned type);

// length elements of type (length >= 1), converted from whatever number form
// arrives, into a block from the link environment's pool. 2 when the block's
// size cannot be held, 3 for a type without a size. On a failure after the
// block was taken, *data holds it and *got counts the elements in it.
long QVReadNumberBlock(QVLink* link, qvmeter* meter, unsigned type, int64_t length, void** data, int64_t* got);
