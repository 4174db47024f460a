// The option tables of link command lines and of the handshake.
#include "user/qvlinkoptions.h"

const qvmode_row linkmode_enum[kLinkModeRows + 1] = {
    {"Loopback", 1}, {"Launch", 8}, {"ParentConnect", 16}, {"Listen", 2}, {"Connect", 4},
    {"Read", 32},    {"Write", 64}, {"Server", 128},       {nullptr, 0},
};

const qvoptionword_row linkoption_keys[kLinkOptionWordRows + 1] = {
    {"QVNetworkVisible", 0x3, 0x0},
    {"QVLocallyVisible", 0x3, 0x1},
    {"QVInternetVisible", 0x3, 0x2},
    {"QVBrowse", 0x10, 0x0},
    {"QVDontBrowse", 0x10, 0x10},
    {"QVNonBlocking", 0x20, 0x0},
    {"QVBlocking", 0x20, 0x20},
    {"QVInteract", 0x100, 0x0},
    {"QVDontInteract", 0x100, 0x100},
    {"QVForceYield", 0x200, 0x200},
    {"QVUseIPV6", 0x10000, 0x10000},
    {"QVUseIPV4", 0x20000, 0x20000},
    {"QVUseNewTCPIPConnection", 0x100000, 0x100000},
    {"QVUseOldTCPIPConnection", 0x200000, 0x200000},
    {"QVUseUUIDTCPIPConnection", 0x4, 0x4},
    {"QVUseAnyNetworkAddress", 0x8, 0x8},
    {nullptr, 0, 0},
};

const qvoption_row linkopen_arguments[kLinkOptionRows + 1] = {
    {"-quorvane", QVOPTION_FLAG, 1, nullptr, nullptr},
    {"-linkname", QVOPTION_TEXT, 1, nullptr, nullptr},
    {"-linkprotocol", QVOPTION_TEXT, 1, nullptr, nullptr},
    {"-linkmode", QVOPTION_WORD, 1, linkmode_enum, nullptr},
    {"-linkhost", QVOPTION_TEXT, 1, nullptr, nullptr},
    {"-linkoptions", QVOPTION_LIST, 0, linkoption_keys, nullptr},
    {"-linklaunch", QVOPTION_FLAG, 1, nullptr, nullptr},
    {"-linkcreate", QVOPTION_FLAG, 1, nullptr, nullptr},
    {"-linkconnect", QVOPTION_FLAG, 1, nullptr, nullptr},
    {"-linkauthentication", QVOPTION_TEXT, 1, nullptr, nullptr},
    {"-linkdevice", QVOPTION_TEXT, 1, nullptr, nullptr},
    {nullptr, 0, 0, nullptr, nullptr},
};

// The two option lists take numbers only: the handshake gives them no words.
const qvoption_row format_arguments[kFormatArgumentRows + 1] = {
    {"Quorvane", QVOPTION_LIST, 1, nullptr, nullptr},
    {"-numericsid", QVOPTION_TEXT, 1, nullptr, nullptr},
    {"-tokens", QVOPTION_TEXT, 1, nullptr, nullptr},
    {"-textid", QVOPTION_TEXT, 1, nullptr, nullptr},
    {"-formats", QVOPTION_TEXT, 1, nullptr, nullptr},
    {"-decoders", QVOPTION_LIST, 1, nullptr, nullptr},
    {nullptr, 0, 0, nullptr, nullptr},
};

namespace {

void Bind(dictionary* handle, const void* table, qvmempool_allocate_fn allocate,
          qvmempool_deallocate_fn deallocate) {
  if (handle == nullptr) return;
  handle->id = 0;
  handle->table = table;
  handle->allocate = allocate;
  handle->deallocate = deallocate;
}

}  // namespace

long init_argdicts(qvmempool_allocate_fn allocate, qvmempool_deallocate_fn deallocate, dictionary* options,
                   dictionary* modes, dictionary* words) {
  Bind(options, linkopen_arguments, allocate, deallocate);
  Bind(modes, linkmode_enum, allocate, deallocate);
  Bind(words, linkoption_keys, allocate, deallocate);
  return kLinkOptionRows;
}

void deinit_argdicts(dictionary*, dictionary*, dictionary*) {}
