// Fixed-size blocks handed out and taken back by token, grown in doubling
// batches, so objects made and dropped often need no allocation each time.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <ostream>
#include <set>
#include <vector>

#include "utilities/qvsmartpointer.h"
#include "utilities/qvthreadprimitives.h"

namespace Quorvane {

class QVMemoryPoolObject : public QVObject {
 public:
  QVMemoryPoolObject();
  explicit QVMemoryPoolObject(uint64_t size);
  ~QVMemoryPoolObject() override;
  QVMemoryPoolObject(const QVMemoryPoolObject&) = delete;
  QVMemoryPoolObject& operator=(const QVMemoryPoolObject&) = delete;

  bool operator==(const QVMemoryPoolObject& other) const;
  bool operator!=(const QVMemoryPoolObject& other) const { return !(*this == other); }
  void print(std::ostream& os) const;

  unsigned char* theBytes = nullptr;
  uint64_t length = 0;
  uint64_t theToken = 0;

  // Tokens are unique across every pool of the process.
  static uint64_t NextToken();
};

std::ostream& operator<<(std::ostream& os, const QVMemoryPoolObject& object);

class QVMemoryPool : public QVObject {
 public:
  static constexpr uint64_t defaultNumberOfObjects = 4;

  QVMemoryPool();
  ~QVMemoryPool() override;
  QVMemoryPool(const QVMemoryPool&) = delete;
  QVMemoryPool& operator=(const QVMemoryPool&) = delete;

  static QVSmartPointer<QVMemoryPool> init();

  // A free block's token; grows the pool when none is free.
  uint64_t getTokenForFreeMemoryObject();
  // The block of a token; null for a token the pool does not hold.
  unsigned char* getMemoryForToken(uint64_t token);
  // Gives a block back. A token that is not out (never taken, already given
  // back, or unknown) is ignored, so one block never gets two owners.
  void releaseObject(uint64_t token);
  uint64_t numberOfObjectsInPoolInUse();
  uint64_t numberOfObjectsInPool();
  // Type 1 while any block is out; otherwise remakes the pool with blocks of n bytes.
  void setNumberOfBytesInPoolObject(uint64_t n);
  uint64_t getNumberOfBytesInPoolObject();
  void makePool(uint64_t n);
  void resizePool(uint64_t n);

  bool operator==(const QVMemoryPool& other) const;
  bool operator!=(const QVMemoryPool& other) const { return !(*this == other); }
  void print(std::ostream& os) const;

 private:
  using ObjectMap = std::map<uint64_t, QVMemoryPoolObject*, std::less<uint64_t>,
                             QVStdAllocator<std::pair<const uint64_t, QVMemoryPoolObject*>>>;
  using TokenList = std::vector<uint64_t, QVStdAllocator<uint64_t>>;
  using TokenSet = std::set<uint64_t, std::less<uint64_t>, QVStdAllocator<uint64_t>>;

  // Callers hold the lock.
  void removeTokenFromAvailableList(uint64_t token);
  void makePoolLocked(uint64_t n);
  void resizePoolLocked(uint64_t n);
  void addObjectsLocked(uint64_t n);
  void deleteAllLocked();

  ObjectMap memoryPool;
  TokenList availableList;
  TokenSet tokensInUse;  // tokens handed out and not yet given back
  uint64_t initialObjectCount = defaultNumberOfObjects;
  uint64_t bytesInEachObject = 0;
  QVMutexHandle* theMutexHandle = nullptr;
};

std::ostream& operator<<(std::ostream& os, const QVMemoryPool& pool);

}  // namespace Quorvane
