// The stand-in DNS-SD library (built as libdns_sd.so.1 in a folder of its
// own). Built with FAKEDNSSD_INCOMPLETE it lacks "DNSServiceRefDeallocate",
// which a loader must take for a library it cannot use.
#include "fakednssd/fakednssd.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "utilities/platform/qvdnssd.h"

using Quorvane::platform::QVDNSServiceBrowseReply;
using Quorvane::platform::QVDNSServiceError;
using Quorvane::platform::QVDNSServiceFlags;
using Quorvane::platform::QVDNSServiceRef;
using Quorvane::platform::QVDNSServiceRegisterReply;
using Quorvane::platform::QVDNSServiceResolveReply;
using Quorvane::platform::QVTXTRecordRef;

namespace Quorvane::platform {
struct QVDNSServiceOpaque {
  int number = 0;
  int ends[2] = {-1, -1};  // [0] handed out, [1] written by the replies
  QVDNSServiceBrowseReply browse = nullptr;
  QVDNSServiceResolveReply resolve = nullptr;
  QVDNSServiceRegisterReply registered = nullptr;
  void* context = nullptr;
  std::deque<std::function<void()>> replies;
};
}  // namespace Quorvane::platform

using Quorvane::platform::QVDNSServiceOpaque;

namespace {

constexpr QVDNSServiceError kBadParam = -65540;

struct State {
  std::mutex lock;
  std::vector<fakednssd::Call> calls;
  std::map<std::string, QVDNSServiceError> failures;
  std::map<int, QVDNSServiceOpaque*> open;
  std::map<int, bool> deallocated;
  int lastRequest = 0;
  int nextNumber = 1;
};

State& TheState() {
  static State* state = new State();  // outlives every caller's static destructors
  return *state;
}

// A call record of a starting function.
fakednssd::Call StartCall(const char* function, QVDNSServiceFlags flags, uint32_t interfaceIndex, const char* name,
                          const char* type, const char* domain) {
  fakednssd::Call call;
  call.function = function;
  call.flags = flags;
  call.interfaceIndex = interfaceIndex;
  call.name = name != nullptr ? name : "";
  call.type = type != nullptr ? type : "";
  call.domainGiven = domain != nullptr;
  call.domain = domain != nullptr ? domain : "";
  return call;
}

QVDNSServiceError Start(fakednssd::Call call, QVDNSServiceRef* request, QVDNSServiceOpaque** made) {
  State& state = TheState();
  std::lock_guard<std::mutex> guard(state.lock);
  auto failure = state.failures.find(call.function);
  if (failure != state.failures.end()) {
    const QVDNSServiceError error = failure->second;
    state.failures.erase(failure);
    state.calls.push_back(call);
    return error;
  }
  auto record = std::make_unique<QVDNSServiceOpaque>();
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, record->ends) != 0) return kBadParam;
  record->number = state.nextNumber++;
  call.request = record->number;
  state.calls.push_back(call);
  state.lastRequest = record->number;
  state.open[record->number] = record.get();
  *made = record.get();
  *request = record.release();
  return 0;
}

void Queue(int number, std::function<void(QVDNSServiceOpaque&)> reply) {
  State& state = TheState();
  std::lock_guard<std::mutex> guard(state.lock);
  auto found = state.open.find(number);
  if (found == state.open.end()) return;
  QVDNSServiceOpaque* record = found->second;
  record->replies.push_back([record, reply] { reply(*record); });
  const char byte = 1;
  if (write(record->ends[1], &byte, 1) != 1) record->replies.pop_back();
}

// TXT records: a run of (length byte, "key=value").
std::string* TXTText(QVTXTRecordRef* record) {
  std::string* text = nullptr;
  std::memcpy(&text, record->opaque, sizeof text);
  return text;
}
const std::string* TXTText(const QVTXTRecordRef* record) {
  std::string* text = nullptr;
  std::memcpy(&text, record->opaque, sizeof text);
  return text;
}

}  // namespace

namespace fakednssd {

void Reset() {
  State& state = TheState();
  std::lock_guard<std::mutex> guard(state.lock);
  state.calls.clear();
  state.failures.clear();
  state.lastRequest = 0;
}

std::vector<Call> Calls() {
  State& state = TheState();
  std::lock_guard<std::mutex> guard(state.lock);
  return state.calls;
}

std::vector<Call> CallsOf(const std::string& function) {
  std::vector<Call> found;
  for (const Call& call : Calls()) {
    if (call.function == function) found.push_back(call);
  }
  return found;
}

void FailNext(const std::string& function, int32_t error) {
  State& state = TheState();
  std::lock_guard<std::mutex> guard(state.lock);
  state.failures[function] = error;
}

int LastRequest() {
  State& state = TheState();
  std::lock_guard<std::mutex> guard(state.lock);
  return state.lastRequest;
}

bool Deallocated(int request) {
  State& state = TheState();
  std::lock_guard<std::mutex> guard(state.lock);
  return state.deallocated.count(request) != 0;
}

int OpenRequests() {
  State& state = TheState();
  std::lock_guard<std::mutex> guard(state.lock);
  return static_cast<int>(state.open.size());
}

void ReplyBrowse(int request, uint32_t flags, int32_t error, const std::string& name) {
  Queue(request, [=](QVDNSServiceOpaque& record) {
    if (record.browse != nullptr)
      record.browse(&record, flags, 0, error, name.c_str(), "_type._tcp.", "local.", record.context);
  });
}

void ReplyResolve(int request, int32_t error, const std::string& fullName, const char* hostTarget,
                  uint16_t networkPort, const std::string& txt) {
  const bool hostGiven = hostTarget != nullptr;
  const std::string host = hostGiven ? hostTarget : "";
  Queue(request, [=](QVDNSServiceOpaque& record) {
    if (record.resolve != nullptr)
      record.resolve(&record, 0, 0, error, fullName.c_str(), hostGiven ? host.c_str() : nullptr, networkPort,
                     static_cast<uint16_t>(txt.size()), reinterpret_cast<const unsigned char*>(txt.data()),
                     record.context);
  });
}

void ReplyRegister(int request, int32_t error, const std::string& name) {
  Queue(request, [=](QVDNSServiceOpaque& record) {
    if (record.registered != nullptr)
      record.registered(&record, 0, error, name.c_str(), "_type._tcp.", "local.", record.context);
  });
}

std::string TXT(const std::vector<std::pair<std::string, std::string>>& entries) {
  std::string bytes;
  for (const auto& [key, value] : entries) {
    const std::string item = key + "=" + value;
    bytes.push_back(static_cast<char>(item.size()));
    bytes += item;
  }
  return bytes;
}

std::vector<std::pair<std::string, std::string>> ParseTXT(const std::string& bytes) {
  std::vector<std::pair<std::string, std::string>> entries;
  size_t at = 0;
  while (at < bytes.size()) {
    const size_t length = static_cast<unsigned char>(bytes[at]);
    const std::string item = bytes.substr(at + 1, length);
    at += 1 + length;
    const size_t equals = item.find('=');
    entries.emplace_back(item.substr(0, equals), equals == std::string::npos ? "" : item.substr(equals + 1));
  }
  return entries;
}

}  // namespace fakednssd

extern "C" {

QVDNSServiceError DNSServiceBrowse(QVDNSServiceRef* request, QVDNSServiceFlags flags, uint32_t interfaceIndex,
                                   const char* type, const char* domain, QVDNSServiceBrowseReply reply,
                                   void* context) {
  const fakednssd::Call call = StartCall("DNSServiceBrowse", flags, interfaceIndex, nullptr, type, domain);
  QVDNSServiceOpaque* made = nullptr;
  const QVDNSServiceError error = Start(call, request, &made);
  if (made != nullptr) {
    made->browse = reply;
    made->context = context;
  }
  return error;
}

QVDNSServiceError DNSServiceResolve(QVDNSServiceRef* request, QVDNSServiceFlags flags, uint32_t interfaceIndex,
                                    const char* name, const char* type, const char* domain,
                                    QVDNSServiceResolveReply reply, void* context) {
  const fakednssd::Call call = StartCall("DNSServiceResolve", flags, interfaceIndex, name, type, domain);
  QVDNSServiceOpaque* made = nullptr;
  const QVDNSServiceError error = Start(call, request, &made);
  if (made != nullptr) {
    made->resolve = reply;
    made->context = context;
  }
  return error;
}

QVDNSServiceError DNSServiceRegister(QVDNSServiceRef* request, QVDNSServiceFlags flags, uint32_t interfaceIndex,
                                     const char* name, const char* type, const char* domain, const char* host,
                                     uint16_t port, uint16_t txtLength, const void* txtRecord,
                                     QVDNSServiceRegisterReply reply, void* context) {
  fakednssd::Call call = StartCall("DNSServiceRegister", flags, interfaceIndex, name, type, domain);
  call.hostGiven = host != nullptr;
  call.port = port;
  if (txtRecord != nullptr) call.txt.assign(static_cast<const char*>(txtRecord), txtLength);
  QVDNSServiceOpaque* made = nullptr;
  const QVDNSServiceError error = Start(call, request, &made);
  if (made != nullptr) {
    made->registered = reply;
    made->context = context;
  }
  return error;
}

int DNSServiceRefSockFD(QVDNSServiceRef request) { return request != nullptr ? request->ends[0] : -1; }

QVDNSServiceError DNSServiceProcessResult(QVDNSServiceRef request) {
  if (request == nullptr) return kBadParam;
  char byte = 0;
  if (read(request->ends[0], &byte, 1) != 1) return kBadParam;
  std::function<void()> reply;
  {
    State& state = TheState();
    std::lock_guard<std::mutex> guard(state.lock);
    if (request->replies.empty()) return 0;
    reply = std::move(request->replies.front());
    request->replies.pop_front();
  }
  reply();
  return 0;
}

#ifndef FAKEDNSSD_INCOMPLETE
void DNSServiceRefDeallocate(QVDNSServiceRef request) {
  if (request == nullptr) return;
  State& state = TheState();
  {
    std::lock_guard<std::mutex> guard(state.lock);
    fakednssd::Call call;
    call.function = "DNSServiceRefDeallocate";
    call.request = request->number;
    state.calls.push_back(call);
    state.open.erase(request->number);
    state.deallocated[request->number] = true;
  }
  close(request->ends[0]);
  close(request->ends[1]);
  delete request;
}
#endif

void TXTRecordCreate(QVTXTRecordRef* record, uint16_t, void*) {
  auto* text = new std::string();
  std::memcpy(record->opaque, &text, sizeof text);
}

void TXTRecordDeallocate(QVTXTRecordRef* record) { delete TXTText(record); }

QVDNSServiceError TXTRecordSetValue(QVTXTRecordRef* record, const char* key, uint8_t valueLength, const void* value) {
  std::string* text = TXTText(record);
  auto entries = fakednssd::ParseTXT(*text);
  std::string bytes;
  for (const auto& [oldKey, oldValue] : entries) {
    if (oldKey != key) bytes += fakednssd::TXT({{oldKey, oldValue}});
  }
  std::string item = std::string(key) + "=";
  if (value != nullptr) item.append(static_cast<const char*>(value), valueLength);
  if (item.size() > 255) return kBadParam;
  bytes.push_back(static_cast<char>(item.size()));
  bytes += item;
  *text = bytes;
  return 0;
}

const void* TXTRecordGetBytesPtr(const QVTXTRecordRef* record) { return TXTText(record)->data(); }

uint16_t TXTRecordGetLength(const QVTXTRecordRef* record) {
  return static_cast<uint16_t>(TXTText(record)->size());
}

int TXTRecordContainsKey(uint16_t txtLength, const void* txtRecord, const char* key) {
  const std::string bytes(static_cast<const char*>(txtRecord), txtLength);
  for (const auto& entry : fakednssd::ParseTXT(bytes)) {
    if (entry.first == key) return 1;
  }
  return 0;
}

const void* TXTRecordGetValuePtr(uint16_t txtLength, const void* txtRecord, const char* key, uint8_t* valueLength) {
  const auto* bytes = static_cast<const unsigned char*>(txtRecord);
  const size_t keyLength = std::strlen(key);
  size_t at = 0;
  while (at < txtLength) {
    const size_t length = bytes[at];
    const unsigned char* item = bytes + at + 1;
    if (at + 1 + length > txtLength) return nullptr;
    if (length > keyLength && item[keyLength] == '=' && std::memcmp(item, key, keyLength) == 0) {
      *valueLength = static_cast<uint8_t>(length - keyLength - 1);
      return item + keyLength + 1;
    }
    at += 1 + length;
  }
  return nullptr;
}

}  // extern "C"
