/* Public interface of the link library. Plain C: objects are opaque and
 * handled by pointer, results are codes or null. Under C++ every function is
 * noexcept: no exception ever leaves the library through it.
 *
 * Sections: conventions, opaque objects, allocator functions, environment
 * parameters.
 */
#ifndef QUORVANE_H
#define QUORVANE_H

#include <stdint.h>

/* ---- Conventions ------------------------------------------------------- */

#ifndef QV_NOEXCEPT
#ifdef __cplusplus
#define QV_NOEXCEPT noexcept
#else
#define QV_NOEXCEPT
#endif
#endif

/* ---- Opaque objects ---------------------------------------------------- */

#ifdef __cplusplus
namespace Quorvane {
class QVEnvironmentParameters;
}
typedef Quorvane::QVEnvironmentParameters RVEnvironmentParameters;
#else
typedef struct RVEnvironmentParameters RVEnvironmentParameters;
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Allocator functions ----------------------------------------------- */

/* A block of size bytes, or null when none can be had. */
typedef void* (*RVAllocator)(uint64_t size);
/* Frees a block of the matching allocator. */
typedef void (*RVDeallocator)(void* block);

/* ---- Environment parameters -------------------------------------------- *
 * An environment is started from a parameter object. The object keeps the
 * first error met while making or using it; once that is set, every setting
 * is refused with it.
 *
 * Codes: 0 success; 28 revision pair out of range (set when the object is
 * made); 29 no object, or not a valid one; 30 a setting this library does not
 * support; 999 a required output argument is null. "Guarded" calls answer
 * 29 for a null or invalid object, then the object's stored error when it has
 * one, and only then act; a refused call changes nothing and stores nothing.
 */

/* A new object for the library revision a and interface revision b (either
 * order; 0 for one of them means the other). Answered also when the pair is
 * out of range: RVErrorParameter then reports 28. Null only when no memory is
 * left. */
RVEnvironmentParameters* RVNewParameters(uint64_t revision, uint64_t apiRevision) QV_NOEXCEPT;

/* Destroys the object; null is ignored. */
void RVReleaseParameters(RVEnvironmentParameters* parameters) QV_NOEXCEPT;

/* The allocator pair the environment will install for all of the library's
 * objects. Not guarded: stored whenever the object is not null. */
void RVSetAllocParameter(RVEnvironmentParameters* parameters, RVAllocator allocator,
                         RVDeallocator deallocator) QV_NOEXCEPT;

/* Guarded. Stores the allocator pair installed process-wide now (not the one
 * the object holds) into both outputs; 999 when either output is null. */
int RVAllocParameter(RVEnvironmentParameters* parameters, RVAllocator* allocator,
                     RVDeallocator* deallocator) QV_NOEXCEPT;

/* Guarded. Empty text: start without device worlds and their signal handling;
 * null: with them (the default); any other text: 30. */
int RVSetDeviceParameter(RVEnvironmentParameters* parameters, const char* device) QV_NOEXCEPT;

/* Guarded. Asks for text encoding 1 to 8; 30 for any other number. */
int RVSetEncodingParameter(RVEnvironmentParameters* parameters, int encoding) QV_NOEXCEPT;

/* Guarded. Every link made in the environment gets its own lock. */
int RVSetThreadSafeLinksParameter(RVEnvironmentParameters* parameters) QV_NOEXCEPT;

/* Guarded. The environment leaves the signal alone (numbers 1 to 60; others
 * change nothing). */
int RVDoNotHandleSignalParameter(RVEnvironmentParameters* parameters, int signal) QV_NOEXCEPT;

/* Guarded. Never supported: 30 on a usable object. */
int RVSetResourceParameter(RVEnvironmentParameters* parameters, const char* resource) QV_NOEXCEPT;

/* 29 for a null or invalid object, else its stored error (0 when none). */
int RVErrorParameter(const RVEnvironmentParameters* parameters) QV_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* QUORVANE_H */
