// The platform's DNS service discovery and TXT-record functions, bound at run
// time: the thirteen entry points the service manager uses, with their C
// types. Nothing here is linked; a machine without the service still runs.
#pragma once

#include <cstdint>

namespace Quorvane::platform {

// A DNS-SD request, owned by the platform until its deallocation.
using QVDNSServiceRef = struct QVDNSServiceOpaque*;
using QVDNSServiceFlags = uint32_t;
using QVDNSServiceError = int32_t;

inline constexpr QVDNSServiceFlags kQVDNSServiceFlagsMoreComing = 0x1;
inline constexpr QVDNSServiceFlags kQVDNSServiceFlagsAdd = 0x2;
// Interface index of a service seen on this machine only.
inline constexpr uint32_t kQVDNSServiceInterfaceLocalOnly = 0xFFFFFFFFu;

// The platform's TXT-record builder: sixteen bytes of its own, pointer
// aligned.
struct QVTXTRecordRef {
  alignas(void*) char opaque[16];
};

using QVDNSServiceBrowseReply = void (*)(QVDNSServiceRef request, QVDNSServiceFlags flags, uint32_t interfaceIndex,
                                         QVDNSServiceError error, const char* serviceName, const char* type,
                                         const char* domain, void* context);
// port in network byte order.
using QVDNSServiceResolveReply = void (*)(QVDNSServiceRef request, QVDNSServiceFlags flags, uint32_t interfaceIndex,
                                          QVDNSServiceError error, const char* fullName, const char* hostTarget,
                                          uint16_t port, uint16_t txtLength, const unsigned char* txtRecord,
                                          void* context);
using QVDNSServiceRegisterReply = void (*)(QVDNSServiceRef request, QVDNSServiceFlags flags, QVDNSServiceError error,
                                           const char* name, const char* type, const char* domain, void* context);

using QVDNSServiceBrowseFn = QVDNSServiceError (*)(QVDNSServiceRef* request, QVDNSServiceFlags flags,
                                                   uint32_t interfaceIndex, const char* type, const char* domain,
                                                   QVDNSServiceBrowseReply reply, void* context);
using QVDNSServiceResolveFn = QVDNSServiceError (*)(QVDNSServiceRef* request, QVDNSServiceFlags flags,
                                                    uint32_t interfaceIndex, const char* name, const char* type,
                                                    const char* domain, QVDNSServiceResolveReply reply,
                                                    void* context);
using QVDNSServiceRegisterFn = QVDNSServiceError (*)(QVDNSServiceRef* request, QVDNSServiceFlags flags,
                                                     uint32_t interfaceIndex, const char* name, const char* type,
                                                     const char* domain, const char* host, uint16_t port,
                                                     uint16_t txtLength, const void* txtRecord,
                                                     QVDNSServiceRegisterReply reply, void* context);
using QVDNSServiceRefSockFDFn = int (*)(QVDNSServiceRef request);
using QVDNSServiceProcessResultFn = QVDNSServiceError (*)(QVDNSServiceRef request);
using QVDNSServiceRefDeallocateFn = void (*)(QVDNSServiceRef request);

using QVTXTRecordContainsKeyFn = int (*)(uint16_t txtLength, const void* txtRecord, const char* key);
using QVTXTRecordGetValuePtrFn = const void* (*)(uint16_t txtLength, const void* txtRecord, const char* key,
                                                 uint8_t* valueLength);
using QVTXTRecordCreateFn = void (*)(QVTXTRecordRef* record, uint16_t bufferLength, void* buffer);
using QVTXTRecordSetValueFn = QVDNSServiceError (*)(QVTXTRecordRef* record, const char* key, uint8_t valueLength,
                                                    const void* value);
using QVTXTRecordDeallocateFn = void (*)(QVTXTRecordRef* record);
using QVTXTRecordGetBytesPtrFn = const void* (*)(const QVTXTRecordRef* record);
using QVTXTRecordGetLengthFn = uint16_t (*)(const QVTXTRecordRef* record);

struct QVDNSSDFunctions {
  QVDNSServiceBrowseFn browse = nullptr;
  QVDNSServiceResolveFn resolve = nullptr;
  QVDNSServiceRegisterFn registerService = nullptr;
  QVDNSServiceRefSockFDFn refSockFD = nullptr;
  QVDNSServiceProcessResultFn processResult = nullptr;
  QVDNSServiceRefDeallocateFn refDeallocate = nullptr;
  QVTXTRecordContainsKeyFn txtContainsKey = nullptr;
  QVTXTRecordGetValuePtrFn txtGetValuePtr = nullptr;
  QVTXTRecordCreateFn txtCreate = nullptr;
  QVTXTRecordSetValueFn txtSetValue = nullptr;
  QVTXTRecordDeallocateFn txtDeallocate = nullptr;
  QVTXTRecordGetBytesPtrFn txtGetBytesPtr = nullptr;
  QVTXTRecordGetLengthFn txtGetLength = nullptr;
};

// Loads the system's DNS-SD library and binds all thirteen functions; a
// QVException of type 13 when the library or any function is missing. The
// library stays loaded for the life of the process.
QVDNSSDFunctions LoadDNSSDFunctions();

}  // namespace Quorvane::platform
