// The printed form of a shared-memory device: one element per field.
#include "device/qvshmdevice.h"

namespace Quorvane {

namespace {

template <typename Value>
void Element(std::ostream& os, const char* tag, const Value& value) {
  os << '<' << tag << '>' << value << "</" << tag << '>';
}

const void* Address(const void* pointer) { return pointer; }

template <typename Function>
const void* FunctionAddress(Function function) {
  return reinterpret_cast<const void*>(function);
}

}  // namespace

void QVSharedMemoryDevice::PrintDevice(std::ostream& os) const {
  os << "<QVSharedMemoryDevice>";
  Element(os, "World", Address(world));
  Element(os, "deviceParameters", deviceParameters);
  Element(os, "yieldFunction", FunctionAddress(yieldFunction));
  Element(os, "yieldCookie", yieldCookie);
  Element(os, "messageHandler", FunctionAddress(messageHandler.load()));
  Element(os, "messageCookie", messageCookie.load());
  Element(os, "deviceName", deviceName);
  Element(os, "writeQueueLock", Address(writeQueueLock.get()));
  Element(os, "readQueueLock", Address(readQueueLock.get()));
  Element(os, "urgentMessageWriteLock", Address(urgentMessageWriteLock.get()));
  Element(os, "urgentMessageReadLock", Address(urgentMessageReadLock.get()));
  Element(os, "sideOfConnection", static_cast<int32_t>(sideOfConnection));
  Element(os, "deviceIsDead", deviceIsDead.load() ? 1 : 0);
  Element(os, "deviceDeathType", deviceDeathType.load());
  Element(os, "terminateEventWatchCondition", Address(terminateEventWatchCondition.get()));
  os << "<memorySegment>";
  if (memorySegment) os << *memorySegment;
  os << "</memorySegment>";
  Element(os, "memoryLayout", Address(memoryLayout.get()));
  Element(os, "writeQueueSignalCondition", Address(writeQueueSignalCondition.get()));
  Element(os, "readQueueSignalCondition", Address(readQueueSignalCondition.get()));
  Element(os, "writeUrgentMessageCondition", Address(writeUrgentMessageCondition.get()));
  Element(os, "readUrgentMessageCondition", Address(readUrgentMessageCondition.get()));
  Element(os, "writeFreeSpaceAvailableCondition", Address(writeFreeSpaceAvailableCondition.get()));
  Element(os, "readFreeSpaceAvailableCondition", Address(readFreeSpaceAvailableCondition.get()));
  Element(os, "eventWatchThread", Address(eventWatchThread.get()));
  Element(os, "deviceNumber", deviceNumber);
  Element(os, "connectionPoint", Address(connectionPoint.get()));
  os << "</QVSharedMemoryDevice>";
}

}  // namespace Quorvane
