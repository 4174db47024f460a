// Reading a link's open request from an argument vector.
#pragma once

#include <cstdint>

#include "api/qvenvironment.h"
#include "user/qvargvparse.h"

// Fills the open request from the link options of argv. Sets mode to 0 and
// protocol, name and host to the empty text first (authentication, device
// and options keep what the caller set); texts point into argv. A protocol
// "debug:" P (any case) is taken as P. The flags -linklaunch, -linkcreate and
// -linkconnect override the mode with Launch, Listen and Connect, in that
// order of precedence. used (may be null) receives the entries taken.
//
// Answers 1 when a link option other than a lone -linkoptions was taken, 0
// when none was (or the environment is null or has no option tables), and
// kParseArgvNoMemory when memory ran out (the open then fails with 8).
long argv_to_open_parameters(qv_environment* environment, long argc, char** argv, const char** protocol,
                             uint64_t* mode, const char** name, const char** host, const char** authentication,
                             const char** device, uint64_t* options, QVArgvUsedSet* used);

// An open request: texts empty and numbers 0 when not given.
struct qvopen_request {
  const char* protocol = "";
  uint64_t mode = 0;
  const char* name = "";
  const char* host = "";
  const char* authentication = "";
  const char* device = "";
  uint64_t options = 0;
};

// argv_to_open_parameters into a request.
long argv_to_open_request(qv_environment* environment, long argc, char** argv, qvopen_request* request,
                          QVArgvUsedSet* used);
