// Small file routines of the stream devices: finding the program of a
// command line, closing inherited descriptors, whole-file locks, directory
// listings and descriptor-number checks. Results that are allocated come from
// the caller's allocator and belong to the caller.
#pragma once

#include <map>
#include <string>

#include "api/qvyield.h"

// Whole-file write lock, waiting for it: 1 on success, 0 on failure. These
// are POSIX record locks, held per process: another descriptor of the same
// file closed anywhere in the process drops them.
int qvfile_lock(int fd) noexcept;
int qvfile_unlock(int fd) noexcept;
// -1 when the query fails; the holder's process id when another process holds
// a conflicting lock; else 0.
int qvfile_is_locked(int fd) noexcept;

// A zero-terminated copy without one pair of enclosing matching quotes.
char* qvfile_clear_quotes(const char* text, long length, qv_allocator_fn allocator,
                          qv_deallocator_fn deallocator) noexcept;
// The program path of a command line, quotes and escaped blanks resolved.
char* qvfile_get_exe_name_from_command(const char* command, qv_allocator_fn allocator,
                                       qv_deallocator_fn deallocator) noexcept;
// 1 when the name, or the name in a PATH directory, is a regular file
// (executable_q: has an owner- or group-execute bit); 0 when not; -1 when
// memory runs out.
int qvfile_exists_q(const char* name, qv_allocator_fn allocator, qv_deallocator_fn deallocator) noexcept;
int qvfile_executable_q(const char* name, qv_allocator_fn allocator, qv_deallocator_fn deallocator) noexcept;

// Every entry name of the directory with the value 1: 0 (also when it cannot
// be opened), -1 without a map or path.
int qvfile_load_dir_names(const char* directory, std::map<std::string, int>* names) noexcept;

// Closes descriptors 3 and up, except the listed ones. Async-signal-safe.
void qvfile_close_open_file_references_except(const int* keep, int count) noexcept;
void qvfile_close_open_file_references() noexcept;

// 1 when each of the count words is digits only (1 for no words); a missing
// or empty word answers missing.
int qvu_allnumeric(int count, const char* const* words, int missing) noexcept;
