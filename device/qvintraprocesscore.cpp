#include "device/qvintraprocesscore.h"

#include <map>

#include "utilities/qvexception.h"
#include "utilities/qvrandomstring.h"

namespace Quorvane {

namespace {

constexpr unsigned long kFirstNameLength = 7;
constexpr int kDrawsPerLength = 15;
constexpr char kNameSuffix[] = "_ipq";

struct QueueTable {
  std::mutex lock;
  std::map<QVString, QVIntraProcessCore*> cores;
};

// Never destroyed: devices may outlive static destruction at exit.
QueueTable& Table() {
  static QueueTable* table = new QueueTable();
  return *table;
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
  for (int side = 0; side < 2; ++side) {
    connectedConditions[side] = std::make_unique<QVPthreadCondition>();
    readConditions[side] = std::make_unique<QVPipeCondition>();
  }
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
  QueueTable& table = Table();
  for (unsigned long length = kFirstNameLength;; ++length) {
    for (int draw = 0; draw < kDrawsPerLength; ++draw) {
      QVRandomString random(length);
      if (random.c_str() == nullptr) {
        throw QVException("Unable to allocate new queue.", "device/qvintraprocess", __LINE__,
                          qvexceptiontype::outOfMemory, 0);
      }
      QVString name = QVString(random.c_str()) + kNameSuffix;
      std::lock_guard<std::mutex> lock(table.lock);
      if (table.cores.count(name) != 0) continue;
      auto core = std::make_unique<QVIntraProcessCore>(name);
      table.cores.emplace(name, core.get());
      return core.release();
    }
  }
}

QVIntraProcessCore* QVIntraProcessAttachClient(const QVString& name) {
  QueueTable& table = Table();
  std::lock_guard<std::mutex> lock(table.lock);
  auto found = table.cores.find(name);
  if (found == table.cores.end()) {
    throw QVException("Unable to find queue associated with link name.", "device/qvintraprocess", __LINE__,
                      qvexceptiontype::notFound, 0);
  }
  ++found->second->referenceCount;
  return found->second;
}

void QVIntraProcessReleaseCore(QVIntraProcessCore* core, QVSideOfConnection side) {
  if (core == nullptr) return;
  QueueTable& table = Table();
  std::lock_guard<std::mutex> lock(table.lock);
  core->gone[side].store(true);
  // Wake the other side out of a wait, so it sees this side is gone.
  core->signalRemoteReadCondition(side);
  core->signalRemoteConnectedCondition(side);
  if (--core->referenceCount > 0) return;
  auto found = table.cores.find(core->getName());
  if (found != table.cores.end() && found->second == core) table.cores.erase(found);
  delete core;
}

int QVIntraProcessReferences(QVIntraProcessCore* core) {
  std::lock_guard<std::mutex> lock(Table().lock);
  return core->referenceCount;
}

std::vector<QVString, QVStdAllocator<QVString>> QVIntraProcessTableNames() {
  QueueTable& table = Table();
  std::lock_guard<std::mutex> lock(table.lock);
  std::vector<QVString, QVStdAllocator<QVString>> names;
  for (const auto& entry : table.cores) names.push_back(entry.first);
  return names;
}

void QVIntraProcessForgetNames() {
  QueueTable& table = Table();
  std::lock_guard<std::mutex> lock(table.lock);
  table.cores.clear();
}

}  // namespace Quorvane
