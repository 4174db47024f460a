// Establishing a link over a scripted peer runs the handshake: a peer whose
// numerics this side knows connects, one it does not know, a broken greeting
// or a vanished peer leave the link with error 1.
#include <gtest/gtest.h>

#include <string>

#include "api/qvenvironment.h"
#include "api/qvhandshake.h"
#include "api/qvlink.h"
#include "quorvane.h"
#include "support/qvscripteddevice.h"

namespace {

using qvtest::ScriptedDevice;

TEST(HandshakeEstablish, ThePeersNumericsDecideTheLink) {
  RVEnvironment* environment = RVBegin(nullptr);
  ASSERT_NE(environment, nullptr);
  const std::string textId = std::string("'") + environment->textVersion + "'";
  const auto peer = [&](const std::string& numerics) {
    return "Quor vane 4\n-libraryid '!&*' -decoders 0\n-numericsid " + numerics +
           " -tokens 33,98,100,102,116,118,120 -textid " + textId + " -formats 1,2,3,4,5,6,7\n-envid p\n";
  };
  struct Case {
    const char* name;
    std::string bytes;
    bool closes;
    long error;
  } cases[] = {
      {"own numerics", peer("greatdane"), false, 0},
      {"unknown numerics", peer("foo"), false, 1},
      {"numerics in other case", peer("GREATDANE"), false, 1},
      {"bad greeting", "Quor-vane 4", false, 1},
      {"vanished peer", "Quor vane 6", true, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedDevice device;
    device.WriteBytes(c.bytes);
    if (c.closes) device.ClosePeer();
    long error = -1;
    QVLink* link = QVInternalMake(environment->globals, device.TakeInstance(), &error);
    ASSERT_NE(link, nullptr);
    EXPECT_EQ(RVEstablish(link, nullptr), c.error == 0 ? 1 : 0);
    EXPECT_EQ(RVError(link), c.error);
    if (c.error == 0) {
      EXPECT_EQ(std::string(link->peerEnvironmentId.c_str()), "p");
    }
    QVDestroy(link, nullptr, nullptr);
  }
  RVEnd(environment);
}

}  // namespace
