// Address parsing from outside text and bytes: numeric and named text (with
// and without a family), port text, raw socket addresses, and everything an
// address answers once made.
#include <sched.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>

#include "network/qvipaddress.h"
#include "utilities/qvexception.h"

using Quorvane::QVException;
using Quorvane::QVIPAddress;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Without a network, host names fail at once instead of waiting on a
  // resolver; the hosts file is still read.
  unshare(CLONE_NEWNET);
  return 0;
}

namespace {

void Exercise(QVIPAddress& a, const std::string& text) {
  (void)a.LinkLocalQ();
  (void)a.LoopbackQ();
  (void)a.SiteLocalQ();
  (void)a.V4MappedQ();
  (void)a.IsRouterAddressQ();
  (void)a.GlobalQ();
  (void)a.PrivateQ();
  (void)a.AutoconfiguredQ();
  (void)a.GetBinaryAddressLength();
  a.AddPort(Quorvane::QVString(text.c_str()));
  (void)a.GetPort();
  std::ostringstream os;
  os << a;
  QVIPAddress copy(a);
  (void)(copy == a);
  (void)(copy < a);
  (void)(a < copy);
  if (a.HasPresentationNameQ()) {
    // A parsed address prints as text that parses back to the same address.
    const Quorvane::QVString printed = a.GetPresentationName();
    a.AddInterfaceQualifier("eth0");
    if (printed.find('%') == Quorvane::QVString::npos) {
      QVIPAddress again(printed);
      if (again != copy) __builtin_trap();
    }
    (void)Quorvane::QVIPAddressHashFunction()(copy, 1021);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t selector = data[0];
  ++data;
  --size;
  const std::string text(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), size));
  try {
    switch (selector % 4) {
      case 0: {
        QVIPAddress a(text.c_str());
        Exercise(a, text);
        break;
      }
      case 1: {
        QVIPAddress a(text.c_str(), static_cast<Quorvane::_qvipprotocol>(selector >> 2 & 3), "80");
        Exercise(a, text);
        break;
      }
      case 2: {
        sockaddr_storage raw{};
        std::memcpy(&raw, data, size < sizeof raw ? size : sizeof raw);
        raw.ss_family = (selector & 4) ? AF_INET6 : AF_INET;
        QVIPAddress a(reinterpret_cast<const sockaddr*>(&raw));
        Exercise(a, text);
        break;
      }
      default: {
        QVIPAddress a(static_cast<int>(size), data);
        Exercise(a, text);
        break;
      }
    }
  } catch (const QVException&) {
  }
  return 0;
}
