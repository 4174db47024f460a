// Waiting until one or more descriptors are ready. Readability is always
// watched; an entry's event bits add writability and exceptional conditions.
#pragma once

#include <list>
#include <vector>

#include "utilities/qvobject.h"

namespace Quorvane {

// Event bits of a poll-set entry (a mask); 0 means readable only.
enum _qveventtype : short {
  QVEventReadable = 0,
  QVEventWritable = 1,
  QVEventExceptional = 2,
};

using QVHandleList = std::list<int, QVStdAllocator<int>>;

class QVPollSet : public QVObject {
 public:
  class _handle_status : public QVObject {
   public:
    _handle_status(int descriptor, short events, bool followsDefault)
        : fd(descriptor), event(events), usesDefault(followsDefault) {}
    _handle_status(const _handle_status&) = default;
    _handle_status& operator=(const _handle_status&) = default;
    ~_handle_status() override = default;

    int32_t fd;
    int16_t event;
    int16_t readyEvents = 0;  // bits found by the last wait that saw this entry ready
    bool usesDefault;
    bool ready = false;  // never cleared by a wait: callers Clear and add again
  };

  QVPollSet() = default;
  QVPollSet(const int* descriptors, unsigned long count, short event);
  QVPollSet(int descriptor, short event);
  QVPollSet(const QVPollSet& other) = default;
  QVPollSet& operator=(const QVPollSet& other);
  ~QVPollSet() override = default;

  void Add(int descriptor);
  void Add(int descriptor, short event);
  void SetDefaultEvent(short event);

  // Waits at most microseconds (-1 without limit); true when any entry is marked ready.
  bool ReadyQ(long microseconds);
  // The same wait over copies of the entries whose event shares a bit with mask;
  // this set's entries are not marked.
  bool ReadyQ(long microseconds, short mask);

  bool SetQ(int descriptor) const;
  bool SetQ(int descriptor, _qveventtype event) const;
  QVHandleList GetListOfActiveHandles() const;
  void Clear();

 private:
  using Entries = std::vector<_handle_status, QVStdAllocator<_handle_status>>;
  static bool Wait(Entries& entries, long microseconds);

  int16_t defaultEvent_ = 0;
  Entries entries_;
};

}  // namespace Quorvane
