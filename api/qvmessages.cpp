// The error-message and packet-head tables and their lookups.
#include "api/qvmessages.h"

#include <cstring>

const dictionary_row MessageDict[kMessageRows + 1] = {
    {"No KOVR problem encountered.", 0},
    {"KOVR connection was lost.", 1},
    {"KOVR received inconsistent data.", 2},
    {"RVGet out of sequence.", 3},
    {"RVPutNext received a bad token.", 4},
    {"RVPut out of sequence.", 5},
    {"RVPutData buffer overflow.", 6},
    {"KOVR machine number overflow.", 7},
    {"KOVR process out of memory.", 8},
    {"KOVR could not accept socket connection.", 9},
    {"Deferred KOVR connection is still unconnected.", 10},
    {"Unexpected or missing call of RVEndPacket.", 21},
    {"RVNextPacket called while the current packet has unread data.", 22},
    {"RVNextPacket read in an unknown packet head.", 23},
    {"Encountered unexpected end of KOVR packet.", 24},
    {"KOVR put or get was aborted before affecting the link.", 25},
    {"Connected KOVR program has closed the link, but there might still be data underway.", 11},
    {"Uninitialized KOVR environment.", 32},
    {"Insufficient arguments to open a KOVR link.", 33},
    {"Unavailable KOVR protocol specified.", 34},
    {"KOVR connection mode unavailable.", 35},
    {"KOVR executable launch unsupported.", 36},
    {"Cannot launch KOVR program again from the same file", 37},
    {"Insufficient memory to launch KOVR program.", 38},
    {"KOVR found no parent link to connect to.", 39},
    {"KOVR linkname already in use.", 40},
    {"Specified KOVR linkname was not found to be listening.", 41},
    {"KOVR linkname missing or malformed.", 42},
    {"KOVR location unreachable or not in the proper form.", 43},
    {"KOVR resource missing or unavailable.", 44},
    {"KOVR program failed to launch because a resource or library was missing.", 45},
    {"Could not find KOVR executable", 46},
    {"Unable to convert from given character encoding to KOVR encoding", 48},
    {"Unable to convert from KOVR encoding to requested character encoding", 49},
    {"KOVR encountered invalid character data in given character encoding.", 47},
    {"Specified file is not a KOVR executable.", 50},
    {"Unable to create KOVR synchronization object.", 51},
    {"Yield function terminated KOVR operation.", 52},
    {"Unable to recognize symbol value on link.", 53},
    {"Unable to recognize string value on link.", 54},
    {"Function call needs bigger argument buffer.", 55},
    {"KOVR connection attempt failed because of unrecognized numerics properties", 56},
    {"Required operating system service not available", 57},
    {"Function received NULL or incorrect argument", 58},
    {"Service discovery given an invalid hostname", 59},
    {"Service discovery given an invalid domain name", 60},
    {"Service discovery given an invalid service name", 61},
    {"Service discovery operations encountered a bad state", 62},
    {"Service discovery API given invalid flags", 63},
    {"Service discovery name collision", 64},
    {"DNS Service discovery mechanism not connected", 65},
    {"Unknown KOVR problem encountered.", -1},
    {nullptr, 0},
};

const dictionary_row PacketsDict[kPacketRows + 1] = {
    {"CallPacket", 7},
    {"EvaluatePacket", 13},
    {"ReturnPacket", 3},
    {"InputNamePacket", 8},
    {"Enter", 14},
    {"EnterTextPacket", 14},
    {"EnterExpressionPacket", 15},
    {"OutputNamePacket", 9},
    {"ReturnTextPacket", 4},
    {"ReturnExpressionPacket", 16},
    {"DisplayPacket", 11},
    {"DisplayEndPacket", 12},
    {"MessagePacket", 5},
    {"TextPacket", 2},
    {"InputPacket", 1},
    {"InputStringPacket", 21},
    {"MenuPacket", 6},
    {"SyntaxPacket", 10},
    {"ErrorPacket", 10},
    {"SuspendPacket", 17},
    {"ResumePacket", 18},
    {"BeginDialogPacket", 19},
    {"EndDialogPacket", 20},
    {nullptr, 0},
};

namespace {

// Rows of any table whose rows start with a name pointer followed by a
// 64-bit word (the code, or the first value of an option row).
class RowCursor {
 public:
  RowCursor(const dictionary* handle, size_t row_size)
      : row_(handle != nullptr && row_size >= sizeof(dictionary_row)
                 ? static_cast<const unsigned char*>(handle->table)
                 : nullptr),
        size_(row_size) {}

  bool AtEndQ() const { return row_ == nullptr || Name() == nullptr; }
  void Next() { row_ += size_; }
  const void* Row() const { return row_; }
  const char* Name() const {
    const char* name;
    std::memcpy(&name, row_, sizeof name);
    return name;
  }
  int64_t Code() const {
    int64_t code;
    std::memcpy(&code, row_ + sizeof(const char*), sizeof code);
    return code;
  }

 private:
  const unsigned char* row_;
  size_t size_;
};

}  // namespace

dictionary* get_dict(uint16_t id, qvmempool_allocate_fn allocate, qvmempool_deallocate_fn deallocate) {
  const dictionary_row* table = id == kMessageDictionaryId  ? MessageDict
                                : id == kPacketDictionaryId ? PacketsDict
                                                            : nullptr;
  if (table == nullptr || allocate == nullptr || deallocate == nullptr) return nullptr;
  auto* handle = static_cast<dictionary*>(allocate(sizeof(dictionary)));
  if (handle == nullptr) return nullptr;
  handle->id = id;
  handle->table = table;
  handle->allocate = allocate;
  handle->deallocate = deallocate;
  return handle;
}

void release_dict(dictionary* handle) {
  if (handle == nullptr) return;
  handle->deallocate(handle);
}

void _release_dict(dictionary*) {}

const char* _code2name(const dictionary* handle, int64_t code, size_t row_size) {
  for (RowCursor row(handle, row_size); !row.AtEndQ(); row.Next()) {
    if (row.Code() == code) return row.Name();
  }
  return nullptr;
}

const void* _name2dict(const dictionary* handle, const char* name, size_t row_size) {
  if (name == nullptr) return nullptr;
  for (RowCursor row(handle, row_size); !row.AtEndQ(); row.Next()) {
    if (std::strcmp(row.Name(), name) == 0) return row.Row();
  }
  return nullptr;
}

int64_t _name2code(const dictionary* handle, const char* name, size_t row_size) {
  const void* row = _name2dict(handle, name, row_size);
  if (row == nullptr) return 0;
  int64_t code;
  std::memcpy(&code, static_cast<const unsigned char*>(row) + sizeof(const char*), sizeof code);
  return code;
}

const void* _index2dict(const dictionary* handle, long index, size_t row_size) {
  if (index < 0) return nullptr;
  RowCursor row(handle, row_size);
  for (long i = 0; i < index && !row.AtEndQ(); ++i) row.Next();
  return row.AtEndQ() ? nullptr : row.Row();
}

const char* code2name(const dictionary* handle, int64_t code) {
  return _code2name(handle, code, sizeof(dictionary_row));
}

int64_t name2code(const dictionary* handle, const char* name) {
  return _name2code(handle, name, sizeof(dictionary_row));
}

const dictionary_row* name2dict(const dictionary* handle, const char* name) {
  return static_cast<const dictionary_row*>(_name2dict(handle, name, sizeof(dictionary_row)));
}
