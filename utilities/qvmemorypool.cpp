#include "utilities/qvmemorypool.h"

#include <algorithm>
#include <atomic>

#include "utilities/qvexception.h"
#include "utilities/qvthreads.h"

namespace Quorvane {

namespace {
constexpr char kSourceFile[] = "utilities/qvmemorypool";
std::atomic<uint64_t> theNextToken{0};
}  // namespace

uint64_t QVMemoryPoolObject::NextToken() { return theNextToken.fetch_add(1); }

QVMemoryPoolObject::QVMemoryPoolObject() : theToken(NextToken()) {}

QVMemoryPoolObject::QVMemoryPoolObject(uint64_t size)
    : theBytes(size == 0 ? nullptr : new unsigned char[size]), length(size), theToken(NextToken()) {}

QVMemoryPoolObject::~QVMemoryPoolObject() { delete[] theBytes; }

bool QVMemoryPoolObject::operator==(const QVMemoryPoolObject& other) const {
  return this == &other ||
         (theBytes == other.theBytes && length == other.length && theToken == other.theToken);
}

void QVMemoryPoolObject::print(std::ostream& os) const {
  os << "<QVMemoryPoolObject><theBytes>" << static_cast<const void*>(theBytes)
     << "</theBytes><length>" << length << "</length><theToken>" << theToken
     << "</theToken></QVMemoryPoolObject>";
}

std::ostream& operator<<(std::ostream& os, const QVMemoryPoolObject& object) {
  object.print(os);
  return os;
}

QVMemoryPool::QVMemoryPool() : theMutexHandle(CreateUnnamedMutexHandle(QVInProcessMutex)) {}

QVMemoryPool::~QVMemoryPool() {
  deleteAllLocked();
  delete theMutexHandle;
}

QVSmartPointer<QVMemoryPool> QVMemoryPool::init() {
  return QVSmartPointer<QVMemoryPool>(new QVMemoryPool());
}

uint64_t QVMemoryPool::getTokenForFreeMemoryObject() {
  QVMutex lock(theMutexHandle);
  // Grown under the lock, so two callers that find the list empty at once
  // cannot both double the pool, and the pop always finds a token.
  while (availableList.empty()) {
    const uint64_t count = memoryPool.size();
    if (count == 0) {
      makePoolLocked(initialObjectCount == 0 ? 1 : initialObjectCount);
    } else {
      resizePoolLocked(count * 2);
    }
  }
  const uint64_t token = availableList.back();
  availableList.pop_back();
  tokensInUse.insert(token);
  return token;
}

unsigned char* QVMemoryPool::getMemoryForToken(uint64_t token) {
  QVMutex lock(theMutexHandle);
  auto it = memoryPool.find(token);
  return it == memoryPool.end() ? nullptr : it->second->theBytes;
}

void QVMemoryPool::releaseObject(uint64_t token) {
  QVMutex lock(theMutexHandle);
  if (tokensInUse.erase(token) == 0) return;
  availableList.push_back(token);
}

uint64_t QVMemoryPool::numberOfObjectsInPoolInUse() {
  QVMutex lock(theMutexHandle);
  return memoryPool.size() - availableList.size();
}

uint64_t QVMemoryPool::numberOfObjectsInPool() {
  QVMutex lock(theMutexHandle);
  return memoryPool.size();
}

uint64_t QVMemoryPool::getNumberOfBytesInPoolObject() {
  QVMutex lock(theMutexHandle);
  return bytesInEachObject;
}

void QVMemoryPool::setNumberOfBytesInPoolObject(uint64_t n) {
  QVMutex lock(theMutexHandle);
  if (!memoryPool.empty() && memoryPool.size() != availableList.size()) {
    throw QVException("Cannot change size of pool object memory while objects are still in use.",
                      kSourceFile, __LINE__, qvexceptiontype::internalError, 0);
  }
  bytesInEachObject = n;
  makePoolLocked(memoryPool.size());
}

void QVMemoryPool::makePool(uint64_t n) {
  QVMutex lock(theMutexHandle);
  makePoolLocked(n);
}

void QVMemoryPool::resizePool(uint64_t n) {
  QVMutex lock(theMutexHandle);
  resizePoolLocked(n);
}

void QVMemoryPool::deleteAllLocked() {
  for (auto& entry : memoryPool) delete entry.second;
  memoryPool.clear();
  availableList.clear();
  tokensInUse.clear();
}

void QVMemoryPool::makePoolLocked(uint64_t n) {
  deleteAllLocked();
  addObjectsLocked(n);
}

void QVMemoryPool::addObjectsLocked(uint64_t n) {
  availableList.reserve(availableList.size() + n);
  for (uint64_t i = 0; i < n; ++i) {
    auto* object = new QVMemoryPoolObject(bytesInEachObject);
    try {
      memoryPool.emplace(object->theToken, object);
    } catch (...) {
      delete object;
      throw;
    }
    availableList.push_back(object->theToken);
  }
}

void QVMemoryPool::resizePoolLocked(uint64_t n) {
  const uint64_t count = memoryPool.size();
  if (n > count) {
    addObjectsLocked(n - count);
    return;
  }
  // Shrinking drops the highest tokens, taken or not; their tokens stop being
  // valid, so a later release of one is ignored and its block reads as null.
  for (uint64_t i = n; i < count; ++i) {
    auto last = std::prev(memoryPool.end());
    const uint64_t token = last->first;
    delete last->second;
    memoryPool.erase(last);
    removeTokenFromAvailableList(token);
    tokensInUse.erase(token);
  }
}

void QVMemoryPool::removeTokenFromAvailableList(uint64_t token) {
  auto it = std::find(availableList.begin(), availableList.end(), token);
  if (it != availableList.end()) availableList.erase(it);
}

bool QVMemoryPool::operator==(const QVMemoryPool& other) const {
  if (this == &other) return true;
  // Both locks, in address order, so two threads comparing crosswise cannot deadlock.
  QVMutexHandle* first = this < &other ? theMutexHandle : other.theMutexHandle;
  QVMutexHandle* second = this < &other ? other.theMutexHandle : theMutexHandle;
  QVMutex lockFirst(first);
  QVMutex lockSecond(second);
  return memoryPool == other.memoryPool && bytesInEachObject == other.bytesInEachObject;
}

void QVMemoryPool::print(std::ostream& os) const {
  QVMutex lock(theMutexHandle);
  os << "<QVMemoryPool><memoryPool>";
  for (const auto& entry : memoryPool) {
    os << "<first>" << entry.first << "</first><second>" << static_cast<const void*>(entry.second)
       << "</second>";
  }
  os << "</memoryPool><bytesInEachObject>" << bytesInEachObject
     << "</bytesInEachObject><theMutexHandle>" << static_cast<const void*>(theMutexHandle)
     << "</theMutexHandle></QVMemoryPool>";
}

std::ostream& operator<<(std::ostream& os, const QVMemoryPool& pool) {
  pool.print(os);
  return os;
}

}  // namespace Quorvane
