#include "device/qvintraprocesscore.h"

#include <map>

#include "utilities/qvexception.h"
#include "utilities/qvrandomstring.h"

namespace Quorvane {

namespace {

constexpr unsigned long kFirstNameLength = 7;
constexpr int kDrawsPerLength = 15;
constexpr char kNameSuffix[] = "_ipq";

// The cores by link name, and the lock that guards them.
struct Queues {
  std::mutex queueTableHandle;
  std::map<QVString, QVIntraProcessCore*> queueTable;
};

// Never destroyed: devices may outlive static destruction at exit.
Queues& State() {
  static Queues* queues = new Queues();
  return *queues;
}

}  // namespace

// ---- callbacks -----------------------------------------------------------------

void QVIntraProcessCallbackHandler::setMessageHandler(QVDeviceMessageHandler handler, void* cookie) {
  std::lock_guard<std::mutex> lock(Lock);
  Handler.messageHandler = handler;
  Handler.messageCookie = cookie;
}

void QVIntraProcessCallbackHandler::getMessageHandler(QVDeviceMessageHandler* handler, void** cookie) {
  std::lock_guard<std::mutex> lock(Lock);
  if (handler != nullptr) *handler = Handler.messageHandler;
  if (cookie != nullptr) *cookie = Handler.messageCookie;
}

bool QVIntraProcessCallbackHandler::hasMessageHandler() {
  std::lock_guard<std::mutex> lock(Lock);
  return Handler.messageHandler != nullptr;
}

void QVIntraProcessCallbackHandler::setYieldFunction(QVDeviceYieldFunction function, void* cookie) {
  std::lock_guard<std::mutex> lock(Lock);
  Handler.yieldFunction = function;
  Handler.yieldCookie = cookie;
}

void QVIntraProcessCallbackHandler::getYieldFunction(QVDeviceYieldFunction* function, void** cookie) {
  std::lock_guard<std::mutex> lock(Lock);
  if (function != nullptr) *function = Handler.yieldFunction;
  if (cookie != nullptr) *cookie = Handler.yieldCookie;
}

bool QVIntraProcessCallbackHandler::hasYieldFunction() {
  std::lock_guard<std::mutex> lock(Lock);
  return Handler.yieldFunction != nullptr;
}

void QVIntraProcessCallbackHandler::writeMessage(int code, int argument) {
  std::lock_guard<std::mutex> lock(Lock);
  if (Handler.messageHandler != nullptr) Handler.messageHandler(Handler.messageCookie, code, argument);
}

int QVIntraProcessCallbackHandler::yield() {
  std::lock_guard<std::mutex> lock(Lock);
  return QVCallYielder(Handler.yieldFunction, Handler.yieldCookie, nullptr);
}

void QVIntraProcessCallbackHandler::print(std::ostream& os) {
  std::lock_guard<std::mutex> lock(Lock);
  os << "<QVIntraProcessCallbackHandler><Handler>" << Handler << "</Handler><Lock>"
     << static_cast<const void*>(&Lock) << "</Lock></QVIntraProcessCallbackHandler>";
}

// ---- core ----------------------------------------------------------------------

QVIntraProcessCore::QVIntraProcessCore(const QVString& coreName) : name(coreName) {
  for (QVSideOfConnection side : {QVIntraServerSide, QVIntraClientSide}) {
    makeLocalConnectedCondition(side);
    makeLocalReadCondition(side);
  }
}

void QVIntraProcessCore::makeLocalConnectedCondition(QVSideOfConnection side) {
  connectedConditions[side] = std::make_unique<QVPthreadCondition>();
}

void QVIntraProcessCore::makeLocalReadCondition(QVSideOfConnection side) {
  readConditions[side] = std::make_unique<QVPipeCondition>();
}

void QVIntraProcessCore::print(std::ostream& os) {
  os << "<QVIntraProcessCore><ServerConnected>" << connected[QVIntraServerSide].load()
     << "</ServerConnected><ClientConnected>" << connected[QVIntraClientSide].load()
     << "</ClientConnected><ServerConnectedCondition>" << connectedConditions[QVIntraServerSide].get()
     << "</ServerConnectedCondition><ClientConnectedCondition>" << connectedConditions[QVIntraClientSide].get()
     << "</ClientConnectedCondition><ServerReadCondition>" << readConditions[QVIntraServerSide].get()
     << "</ServerReadCondition><ClientReadCondition>" << readConditions[QVIntraClientSide].get()
     << "</ClientReadCondition><LeftStream>";
  LeftStream.printStream(os);
  os << "</LeftStream><RightStream>";
  RightStream.printStream(os);
  os << "</RightStream><ServerHandlers>";
  handlers[QVIntraServerSide].print(os);
  os << "</ServerHandlers><ClientHandlers>";
  handlers[QVIntraClientSide].print(os);
  os << "</ClientHandlers></QVIntraProcessCore>";
}

// ---- table ---------------------------------------------------------------------

QVIntraProcessCore* QVIntraProcessCreateServerCore() {
  Queues& table = State();
  for (unsigned long length = kFirstNameLength;; ++length) {
    for (int draw = 0; draw < kDrawsPerLength; ++draw) {
      QVRandomString random(length);
      if (random.c_str() == nullptr) {
        throw QVException("Unable to allocate new queue.", "device/qvintraprocess", __LINE__,
                          qvexceptiontype::outOfMemory, 0);
      }
      QVString name = QVString(random.c_str()) + kNameSuffix;
      std::lock_guard<std::mutex> lock(table.queueTableHandle);
      if (table.queueTable.count(name) != 0) continue;
      auto core = std::make_unique<QVIntraProcessCore>(name);
      table.queueTable.emplace(name, core.get());
      return core.release();
    }
  }
}

QVIntraProcessCore* QVIntraProcessAttachClient(const QVString& name) {
  Queues& table = State();
  std::lock_guard<std::mutex> lock(table.queueTableHandle);
  auto found = table.queueTable.find(name);
  if (found == table.queueTable.end()) {
    throw QVException("Unable to find queue associated with link name.", "device/qvintraprocess", __LINE__,
                      qvexceptiontype::notFound, 0);
  }
  ++found->second->referenceCount;
  return found->second;
}

void QVIntraProcessReleaseCore(QVIntraProcessCore* core, QVSideOfConnection side) {
  if (core == nullptr) return;
  Queues& table = State();
  std::lock_guard<std::mutex> lock(table.queueTableHandle);
  core->gone[side].store(true);
  // Wake the other side out of a wait, so it sees this side is gone.
  core->signalRemoteReadCondition(side);
  core->signalRemoteConnectedCondition(side);
  if (--core->referenceCount > 0) return;
  auto found = table.queueTable.find(core->getName());
  if (found != table.queueTable.end() && found->second == core) table.queueTable.erase(found);
  delete core;
}

int QVIntraProcessReferences(QVIntraProcessCore* core) {
  std::lock_guard<std::mutex> lock(State().queueTableHandle);
  return core->referenceCount;
}

std::vector<QVString, QVStdAllocator<QVString>> QVIntraProcessTableNames() {
  Queues& table = State();
  std::lock_guard<std::mutex> lock(table.queueTableHandle);
  std::vector<QVString, QVStdAllocator<QVString>> names;
  for (const auto& entry : table.queueTable) names.push_back(entry.first);
  return names;
}

void QVIntraProcessForgetNames() {
  Queues& table = State();
  std::lock_guard<std::mutex> lock(table.queueTableHandle);
  table.queueTable.clear();
}

}  // namespace Quorvane
