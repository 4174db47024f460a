// What the array gets share: the whole-array engine, the reading of an
// array's head names from the queue its head tokens were copied into, and the
// giving back of what a whole-array get handed out.
#pragma once

#include <cstdint>

#include "api/qvlink.h"
#include "api/qvmempool.h"
#include "datastructures/qvqueue.h"

// One whole array as handed to the caller: every block from the link
// environment's pool, the head names atoms.
struct QVArrayResult {
  void* data = nullptr;        // null when the array has no elements
  void* dimensions = nullptr;  // depth entries of the width asked for
  char** heads = nullptr;      // depth names, level 1 first; only when asked for
  int64_t depth = 0;
  uint64_t leafType = 0;  // the type of the array's first leaf as it came
};

// Reads the next expression as a whole array of numbers of type (0: the
// array's own leaf type, which must then be a binary number type). The
// dimensions come as 8- or 4-byte entries (dimensionBytes); a depth or a
// dimension the width cannot hold answers 2. Runs under the link lock. On
// failure *result is empty and nothing is left to give back.
long QVGetWholeArray_(QVLink* link, unsigned type, bool withHeads, int dimensionBytes, QVArrayResult* result);

// Gives back any part of a whole array that is not null: the data, the head
// names from level depth down to 1, the heads block, the dimension block.
void QVGiveBackArray_(mempool_qvt* pool, void* data, void* dimensions, char** heads, int64_t depth);

// Reads the head name of each of depth levels from copied, the queue holding
// the array's function tokens and heads (taken over and destroyed), into
// heads. On failure the names read are given back and every entry is null.
long QVReadArrayHeads_(QVLink* link, _queue* copied, int64_t depth, char** heads);
