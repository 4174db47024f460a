// Opening links: from an argument vector or a command-line string, from a
// protocol with mode, name, host, authentication and options, as a loopback
// link, or by launching a program that connects back (QVLaunch).
//
// Error codes through the int out-parameter: 0 success, 8 memory, 32 no
// environment, 33 nothing to open, 46 the program to launch does not exist,
// 50 it is not executable, -1 another launch failure, 42 a device parameter
// block that would not fit, otherwise the device manager's, the device
// name's or the link make's code.
#pragma once

#include <cstdint>

#include "api/qvenvironment.h"
#include "api/qvlink.h"

// At most this many words of an open string are opened.
inline constexpr long kOpenStringWords = 32;
// A device parameter block never grows past this (six fields, their NULs, 2 bytes).
inline constexpr size_t kDeviceBlockLimit = 256;
inline constexpr int kOpenBlockTooLong = 42;

QVLink* QVOpenLinkWithTCPIPEndpoints(qv_environment* environment, int argc, char** argv, void* dataEndpoint,
                                     void* messageEndpoint, int* error) noexcept;
QVLink* qvopen_argv(qv_environment* environment, int argc, char** argv, void* dataEndpoint,
                    void* messageEndpoint, int* error) noexcept;
QVLink* QVGenericOpen(qv_environment* environment, const char* protocol, uint64_t mode, const char* name,
                      const char* host, const char* authentication, uint64_t options, void* dataEndpoint,
                      void* messageEndpoint, int* error) noexcept;

// Opens a listening link of the protocol and starts command through the
// shell with the options that make it connect there; the listening link,
// named after the command, or null with the listening open's error. Throws
// Quorvane::QVException: type 19 when the program does not exist, 67 when
// it is not executable, and the process start's exceptions.
QVLink* QVLaunch(qv_environment* environment, const char* protocol, const char* command, const char* host,
                 const char* authentication, uint64_t options, int* error);

// The device parameter block: six NUL-terminated fields. Its length with the
// last NUL, or 0 when it would exceed kDeviceBlockLimit with 2 bytes more.
size_t QVBuildDeviceBlock(char (&block)[kDeviceBlockLimit], const char* protocol, uint64_t mode,
                          const char* name, const char* host, const char* authentication, uint64_t options);
