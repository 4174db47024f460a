// Linux: the DNS-SD compatibility library, found by its bare name so that the
// loader's search path (and a test's stand-in) decides which copy is used.
#include "utilities/platform/qvdnssd.h"

#include "utilities/qvdllloader.h"

namespace Quorvane::platform {

namespace {
constexpr char kLibraryName[] = "libdns_sd.so.1";

template <typename Fn>
void Bind(const QVDLL& library, const char* name, Fn& slot) {
  slot = reinterpret_cast<Fn>(library.loadFunction(name));
}
}  // namespace

QVDNSSDFunctions LoadDNSSDFunctions() {
  const QVDLL library = QVDLLLoader().loadLibrary(kLibraryName);
  QVDNSSDFunctions functions;
  Bind(library, "DNSServiceBrowse", functions.browse);
  Bind(library, "DNSServiceResolve", functions.resolve);
  Bind(library, "DNSServiceRegister", functions.registerService);
  Bind(library, "DNSServiceRefSockFD", functions.refSockFD);
  Bind(library, "DNSServiceProcessResult", functions.processResult);
  Bind(library, "DNSServiceRefDeallocate", functions.refDeallocate);
  Bind(library, "TXTRecordContainsKey", functions.txtContainsKey);
  Bind(library, "TXTRecordGetValuePtr", functions.txtGetValuePtr);
  Bind(library, "TXTRecordCreate", functions.txtCreate);
  Bind(library, "TXTRecordSetValue", functions.txtSetValue);
  Bind(library, "TXTRecordDeallocate", functions.txtDeallocate);
  Bind(library, "TXTRecordGetBytesPtr", functions.txtGetBytesPtr);
  Bind(library, "TXTRecordGetLength", functions.txtGetLength);
  return functions;
}

}  // namespace Quorvane::platform
