#include "user/qvopenparameters.h"

#include <iterator>

namespace {

constexpr char kDebugPrefix[] = "debug:";
constexpr size_t kDebugPrefixLength = sizeof kDebugPrefix - 1;

bool DebugProtocolQ(const char* protocol) {
  for (size_t i = 0; i < kDebugPrefixLength; ++i) {
    char c = protocol[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kDebugPrefix[i]) return false;
  }
  return true;
}

}  // namespace

long argv_to_open_parameters(qv_environment* environment, long argc, char** argv, const char** protocol,
                             uint64_t* mode, const char** name, const char** host, const char** authentication,
                             const char** device, uint64_t* options, QVArgvUsedSet* used) {
  *mode = 0;
  *name = "";
  *host = "";
  *protocol = "";
  if (environment == nullptr || environment->linkOptionRows == 0) return 0;
  // The destinations are this call's own: parses on other threads never
  // write into them, nor this one into theirs.
  qvoption_row rows[std::size(linkopen_arguments)];
  std::copy(std::begin(linkopen_arguments), std::end(linkopen_arguments), rows);
  int64_t launch = 0;
  int64_t create = 0;
  int64_t connect = 0;
  rows[QVLINKOPT_QUORVANE].destination = nullptr;
  rows[QVLINKOPT_NAME].destination = name;
  rows[QVLINKOPT_PROTOCOL].destination = protocol;
  rows[QVLINKOPT_MODE].destination = mode;
  rows[QVLINKOPT_HOST].destination = host;
  rows[QVLINKOPT_OPTIONS].destination = options;
  rows[QVLINKOPT_LAUNCH].destination = &launch;
  rows[QVLINKOPT_CREATE].destination = &create;
  rows[QVLINKOPT_CONNECT].destination = &connect;
  rows[QVLINKOPT_AUTHENTICATION].destination = authentication;
  rows[QVLINKOPT_DEVICE].destination = device;
  const mempool_qvt pool{environment->allocate, environment->deallocate};
  const long result = _parse_argv(argc, argv, rows, nullptr, used, &pool);
  if (result < 0) return result;
  if (result > 0 && DebugProtocolQ(*protocol)) *protocol += kDebugPrefixLength;
  if (launch != 0) {
    *mode = QVLINKMODE_LAUNCH;
  } else if (create != 0) {
    *mode = QVLINKMODE_LISTEN;
  } else if (connect != 0) {
    *mode = QVLINKMODE_CONNECT;
  }
  return result;
}

long argv_to_open_request(qv_environment* environment, long argc, char** argv, qvopen_request* request,
                          QVArgvUsedSet* used) {
  return argv_to_open_parameters(environment, argc, argv, &request->protocol, &request->mode, &request->name,
                                 &request->host, &request->authentication, &request->device, &request->options,
                                 used);
}
