#include "device/qvintraprocessdevice.h"

#include "device/qvintraprocessworld.h"
#include "utilities/qvexception.h"

namespace Quorvane {

namespace {

constexpr char kSource[] = "device/qvintraprocess";
constexpr long kConnectSliceMicroseconds = 1000;

[[noreturn]] void Fail(const char* text, qvexceptiontype type) { throw QVException(text, kSource, __LINE__, type, 0); }

void NeedArguments(const void* a, const void* b, const char* text) {
  if (a == nullptr || b == nullptr) Fail(text, qvexceptiontype::badArgument);
}

}  // namespace

QVIntraProcessDevice::QVIntraProcessDevice(const QVDeviceParameters& given, QVSideOfConnection whichSide,
                                           QVIntraProcessWorld* owner)
    : world(owner), parameters(given), side(whichSide) {
  core = side == QVIntraServerSide ? QVIntraProcessCreateServerCore() : QVIntraProcessAttachClient(parameters.Name);
  writeStream = &core->getWriteStream(side);
  readStream = &core->getReadStream(side);
}

QVIntraProcessDevice::~QVIntraProcessDevice() { QVIntraProcessReleaseCore(core, side); }

bool QVIntraProcessDevice::ConnectReady() { return QVIntraProcessReferences(core) >= 2; }

void QVIntraProcessDevice::YieldOrBackOut(const char* text) {
  if (core->getLocalHandlers(side).yield() != 0) Fail(text, qvexceptiontype::backOut);
}

void QVIntraProcessDevice::Connect() {
  core->setLocalSideConnected(side);
  core->signalRemoteConnectedCondition(side);
  const bool yields = core->getLocalHandlers(side).hasYieldFunction();
  while (!core->remoteSideHasConnectedQ(side)) {
    // A peer whose device went before connecting never will.
    if (core->remoteSideGoneQ(side)) Fail("The other side closed before connecting.", qvexceptiontype::deadPeer);
    if (yields) YieldOrBackOut("Backing out of Connect.");
    core->waitForLocalConnectedCondition(yields ? kConnectSliceMicroseconds : kWaitSliceMicroseconds, side);
  }
}

void QVIntraProcessDevice::WriteWindow(char** start, unsigned long* size) {
  NeedArguments(start, size, "WriteWindow arguments cannot be NULL.");
  // Nobody will read what is written once the other side's device is gone:
  // the write fails as one to a closed socket does, instead of piling up.
  if (core->remoteSideGoneQ(side)) Fail("The other side of the link is gone.", qvexceptiontype::connectionClosed);
  char* end = nullptr;
  writeStream->putWindow(start, &end);
  *size = static_cast<unsigned long>(end - *start);
}

void QVIntraProcessDevice::Write(char* start, unsigned long count) {
  if (count == 0) return;
  writeStream->releasePutWindow(start + count);
  core->signalRemoteReadCondition(side);
  BytesWrote += count;
}

// The read condition is pending exactly while unread bytes wait (so its
// descriptor tells a caller's wait the truth): the writer signals after each
// commit, and the condition is reset only when the stream is found empty,
// with a signal put back when bytes came in meanwhile. A read that finds
// bytes leaves it alone, pending as it is.
void QVIntraProcessDevice::Read(char** start, unsigned long* size) {
  NeedArguments(start, size, "Arguments cannot be NULL.");
  QVIntraProcessCallbackHandler& handlers = core->getLocalHandlers(side);
  while (readStream->emptyQ()) {
    // What the other side wrote before it went is still read; after that, nothing more comes.
    if (core->remoteSideGoneQ(side) && readStream->emptyQ()) {
      Fail("The other side of the link is gone.", qvexceptiontype::connectionClosed);
    }
    if (handlers.hasYieldFunction()) YieldOrBackOut("Backing out of Read");
    // A signal with nothing behind it (its bytes were read before it came)
    // is taken, so the next wait sleeps.
    if (core->awaitLocalReadSignal(kWaitSliceMicroseconds, side) && readStream->emptyQ()) ResetIfEmpty();
  }
  char* end = nullptr;
  readStream->getWindow(start, &end);
  *size = static_cast<unsigned long>(end - *start);
}

void QVIntraProcessDevice::ReadComplete(char* start, unsigned long count) {
  if (count == 0) return;
  readStream->releaseGetWindow(start + count);
  if (readStream->emptyQ()) ResetIfEmpty();
  BytesRead += count;
}

void QVIntraProcessDevice::ResetIfEmpty() {
  core->resetLocalReadCondition(side);
  if (!readStream->emptyQ()) core->signalLocalReadCondition(side);
}

bool QVIntraProcessDevice::HasDataQ() {
  // Like a socket at its end: once the other side is gone a read is due,
  // and it reports the closed link instead of waiting.
  return !readStream->emptyQ() || core->remoteSideGoneQ(side);
}

void QVIntraProcessDevice::WriteMessage(unsigned long code, unsigned long argument) {
  core->getRemoteHandlers(side).writeMessage(static_cast<int>(code), static_cast<int>(argument));
}

void QVIntraProcessDevice::ReadMessage(unsigned long* code, unsigned long* argument) {
  NeedArguments(code, argument, "ReadMessage arguments cannot be NULL.");
  // Messages go straight to the handler; none is ever kept to be read.
  *code = 0;
  *argument = 0;
}

bool QVIntraProcessDevice::HasMessageQ() { return core->getRemoteHandlers(side).hasMessageQ(); }

void QVIntraProcessDevice::SetMessageHandler(QVDeviceMessageHandler handler, void* cookie) {
  core->getLocalHandlers(side).setMessageHandler(handler, cookie);
}

void QVIntraProcessDevice::GetMessageHandler(QVDeviceMessageHandler* handler, void** cookie) {
  NeedArguments(handler, cookie, "GetMessageHandler arguments cannot be NULL.");
  core->getLocalHandlers(side).getMessageHandler(handler, cookie);
}

void QVIntraProcessDevice::SetYieldFunction(QVDeviceYieldFunction function, void* cookie) {
  core->getLocalHandlers(side).setYieldFunction(function, cookie);
}

void QVIntraProcessDevice::GetYieldFunction(QVDeviceYieldFunction* function, void** cookie) {
  NeedArguments(function, cookie, "GetYieldFunction arguments cannot be NULL.");
  core->getLocalHandlers(side).getYieldFunction(function, cookie);
}

const QVIntraProcessWorld& QVIntraProcessDevice::TheWorld() const {
  if (world == nullptr) Fail("World object does not exist.", qvexceptiontype::missingObject);
  return *world;
}

unsigned long QVIntraProcessDevice::Modes() { return QVIntraProcessWorld::kModes; }
QVString QVIntraProcessDevice::ProtocolName() const { return TheWorld().ProtocolName(); }
long QVIntraProcessDevice::StreamCapacity() { return 0; }
QVString QVIntraProcessDevice::Id() const { return TheWorld().Id(); }
QVString QVIntraProcessDevice::GetCompileTime() const { return TheWorld().GetCompileTime(); }

void QVIntraProcessDevice::PrintDevice(std::ostream& os) const {
  os << "<QVIntraProcessDevice>";
  if (world != nullptr) {
    os << "<TheWorld>";
    world->PrintWorld(os);
    os << "</TheWorld>";
  }
  os << "<TheParameters>";
  parameters.PrintParameters(os);
  os << "</TheParameters><Side>" << side << "</Side><BytesRead>" << BytesRead << "</BytesRead><BytesWrote>"
     << BytesWrote << "</BytesWrote><TheCore>";
  core->print(os);
  os << "</TheCore></QVIntraProcessDevice>";
}

}  // namespace Quorvane
