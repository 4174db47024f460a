// Large blocks taken straight from the system's virtual memory. They grow
// where they lie or move without their bytes being copied, and ask for large
// pages: a block filled as bytes arrive is then not faulted in one small page
// at a time, which on a busy or virtual machine costs far more than the copy.
// The last block given back (up to a bound) is kept as it is and handed out
// again, so that a program that receives large texts one after another does
// not pay for fresh pages each time; it goes back to the system with
// DropKeptBlock.
#pragma once

#include <cstdint>

namespace Quorvane::platform {

// A block of at least bytes, whole pages; *length gets its true length.
// Null on failure. Its contents are undefined.
void* MapBlock(uint64_t bytes, uint64_t* length) noexcept;

// The block of length bytes made at least bytes long, its contents kept,
// perhaps at another address; *length gets the new length. Null on failure,
// the old block then as it was.
void* RemapBlock(void* block, uint64_t* length, uint64_t bytes) noexcept;

// Gives back a block of length bytes (it may be kept for the next MapBlock).
void UnmapBlock(void* block, uint64_t length) noexcept;

// Unmaps the kept block, if any.
void DropKeptBlock() noexcept;

}  // namespace Quorvane::platform
