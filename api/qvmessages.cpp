// The error-message and packet-head tables and their lookups. The codes are
// the public header's names, so that callers and the tables cannot differ.
#include "api/qvmessages.h"

#include <cstring>

#include "quorvane.h"

const dictionary_row MessageDict[kMessageRows + 1] = {
    {"No KOVR problem encountered.", RV_ERR_NONE},
    {"KOVR connection was lost.", RV_ERR_CONNECTION_LOST},
    {"KOVR received inconsistent data.", RV_ERR_INCONSISTENT_DATA},
    {"RVGet out of sequence.", RV_ERR_GET_OUT_OF_SEQUENCE},
    {"RVPutNext received a bad token.", RV_ERR_BAD_TOKEN},
    {"RVPut out of sequence.", RV_ERR_PUT_OUT_OF_SEQUENCE},
    {"RVPutData buffer overflow.", RV_ERR_PUT_DATA_OVERFLOW},
    {"KOVR machine number overflow.", RV_ERR_NUMBER_OVERFLOW},
    {"KOVR process out of memory.", RV_ERR_OUT_OF_MEMORY},
    {"KOVR could not accept socket connection.", RV_ERR_ACCEPT_FAILED},
    {"Deferred KOVR connection is still unconnected.", RV_ERR_UNCONNECTED},
    {"Unexpected or missing call of RVEndPacket.", RV_ERR_END_PACKET},
    {"RVNextPacket called while the current packet has unread data.", RV_ERR_UNREAD_DATA},
    {"RVNextPacket read in an unknown packet head.", RV_ERR_UNKNOWN_PACKET},
    {"Encountered unexpected end of KOVR packet.", RV_ERR_UNEXPECTED_END},
    {"KOVR put or get was aborted before affecting the link.", RV_ERR_ABORTED},
    {"Connected KOVR program has closed the link, but there might still be data underway.", RV_ERR_PEER_CLOSED},
    {"Uninitialized KOVR environment.", RV_ERR_UNINITIALIZED},
    {"Insufficient arguments to open a KOVR link.", RV_ERR_INSUFFICIENT_ARGUMENTS},
    {"Unavailable KOVR protocol specified.", RV_ERR_UNAVAILABLE_PROTOCOL},
    {"KOVR connection mode unavailable.", RV_ERR_UNAVAILABLE_MODE},
    {"KOVR executable launch unsupported.", RV_ERR_LAUNCH_UNSUPPORTED},
    {"Cannot launch KOVR program again from the same file", RV_ERR_LAUNCH_AGAIN},
    {"Insufficient memory to launch KOVR program.", RV_ERR_LAUNCH_MEMORY},
    {"KOVR found no parent link to connect to.", RV_ERR_NO_PARENT},
    {"KOVR linkname already in use.", RV_ERR_NAME_IN_USE},
    {"Specified KOVR linkname was not found to be listening.", RV_ERR_NOT_LISTENING},
    {"KOVR linkname missing or malformed.", RV_ERR_BAD_NAME},
    {"KOVR location unreachable or not in the proper form.", RV_ERR_BAD_LOCATION},
    {"KOVR resource missing or unavailable.", RV_ERR_RESOURCE_MISSING},
    {"KOVR program failed to launch because a resource or library was missing.", RV_ERR_LAUNCH_RESOURCE_MISSING},
    {"Could not find KOVR executable", RV_ERR_EXECUTABLE_NOT_FOUND},
    {"Unable to convert from given character encoding to KOVR encoding", RV_ERR_CONVERT_TO_LINK},
    {"Unable to convert from KOVR encoding to requested character encoding", RV_ERR_CONVERT_FROM_LINK},
    {"KOVR encountered invalid character data in given character encoding.", RV_ERR_INVALID_CHARACTERS},
    {"Specified file is not a KOVR executable.", RV_ERR_NOT_EXECUTABLE},
    {"Unable to create KOVR synchronization object.", RV_ERR_SYNC_OBJECT},
    {"Yield function terminated KOVR operation.", RV_ERR_YIELD_TERMINATED},
    {"Unable to recognize symbol value on link.", RV_ERR_UNKNOWN_SYMBOL},
    {"Unable to recognize string value on link.", RV_ERR_UNKNOWN_STRING},
    {"Function call needs bigger argument buffer.", RV_ERR_BUFFER_TOO_SMALL},
    {"KOVR connection attempt failed because of unrecognized numerics properties", RV_ERR_UNKNOWN_NUMERICS},
    {"Required operating system service not available", RV_ERR_NO_SYSTEM_SERVICE},
    {"Function received NULL or incorrect argument", RV_ERR_BAD_ARGUMENT},
    {"Service discovery given an invalid hostname", RV_ERR_DISCOVERY_HOSTNAME},
    {"Service discovery given an invalid domain name", RV_ERR_DISCOVERY_DOMAIN},
    {"Service discovery given an invalid service name", RV_ERR_DISCOVERY_SERVICE_NAME},
    {"Service discovery operations encountered a bad state", RV_ERR_DISCOVERY_STATE},
    {"Service discovery API given invalid flags", RV_ERR_DISCOVERY_FLAGS},
    {"Service discovery name collision", RV_ERR_DISCOVERY_COLLISION},
    {"DNS Service discovery mechanism not connected", RV_ERR_DISCOVERY_NOT_CONNECTED},
    {"Unknown KOVR problem encountered.", RV_ERR_UNKNOWN},
    {nullptr, 0},
};

const dictionary_row PacketsDict[kPacketRows + 1] = {
    {"CallPacket", RV_CALL_PACKET},
    {"EvaluatePacket", RV_EVALUATE_PACKET},
    {"ReturnPacket", RV_RETURN_PACKET},
    {"InputNamePacket", RV_INPUT_NAME_PACKET},
    {"Enter", RV_ENTER_TEXT_PACKET},
    {"EnterTextPacket", RV_ENTER_TEXT_PACKET},
    {"EnterExpressionPacket", RV_ENTER_EXPRESSION_PACKET},
    {"OutputNamePacket", RV_OUTPUT_NAME_PACKET},
    {"ReturnTextPacket", RV_RETURN_TEXT_PACKET},
    {"ReturnExpressionPacket", RV_RETURN_EXPRESSION_PACKET},
    {"DisplayPacket", RV_DISPLAY_PACKET},
    {"DisplayEndPacket", RV_DISPLAY_END_PACKET},
    {"MessagePacket", RV_MESSAGE_PACKET},
    {"TextPacket", RV_TEXT_PACKET},
    {"InputPacket", RV_INPUT_PACKET},
    {"InputStringPacket", RV_INPUT_STRING_PACKET},
    {"MenuPacket", RV_MENU_PACKET},
    {"SyntaxPacket", RV_SYNTAX_PACKET},
    {"ErrorPacket", RV_ERROR_PACKET},
    {"SuspendPacket", RV_SUSPEND_PACKET},
    {"ResumePacket", RV_RESUME_PACKET},
    {"BeginDialogPacket", RV_BEGIN_DIALOG_PACKET},
    {"EndDialogPacket", RV_END_DIALOG_PACKET},
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
