#include "utilities/qvpollset.h"

#include <vector>

#include "utilities/platform/qvpoll.h"

namespace Quorvane {

QVPollSet::QVPollSet(const int* descriptors, unsigned long count, short event) {
  if (descriptors == nullptr) return;
  entries_.reserve(count);
  for (unsigned long i = 0; i < count; ++i) entries_.emplace_back(descriptors[i], event, false);
}

QVPollSet::QVPollSet(int descriptor, short event) { entries_.emplace_back(descriptor, event, false); }

QVPollSet& QVPollSet::operator=(const QVPollSet& other) {
  if (this != &other) {
    defaultEvent_ = other.defaultEvent_;
    entries_ = other.entries_;
  }
  return *this;
}

void QVPollSet::Add(int descriptor) { entries_.emplace_back(descriptor, defaultEvent_, true); }

void QVPollSet::Add(int descriptor, short event) { entries_.emplace_back(descriptor, event, false); }

void QVPollSet::SetDefaultEvent(short event) {
  defaultEvent_ = event;
  for (auto& entry : entries_) {
    if (entry.usesDefault) entry.event = event;
  }
}

bool QVPollSet::Wait(Entries& entries, long microseconds) {
  if (entries.empty()) return false;
  constexpr size_t kOnStack = 64;
  platform::QVDescriptorWait onStack[kOnStack];
  std::vector<platform::QVDescriptorWait> onHeap;
  platform::QVDescriptorWait* waits = onStack;
  if (entries.size() > kOnStack) {
    onHeap.resize(entries.size());
    waits = onHeap.data();
  }
  for (size_t i = 0; i < entries.size(); ++i) {
    waits[i] = {entries[i].fd, entries[i].event, false, 0};
  }
  if (platform::WaitForDescriptors(waits, entries.size(), microseconds) < 1) return false;

  bool any = false;
  for (size_t i = 0; i < entries.size(); ++i) {
    _handle_status& entry = entries[i];
    if (waits[i].readable) {
      entry.ready = true;
      entry.readyEvents = 0;
    }
    if (waits[i].found != 0) {
      entry.ready = true;
      entry.readyEvents = static_cast<int16_t>(entry.readyEvents | waits[i].found);
    }
    any = any || entry.ready;
  }
  return any;
}

bool QVPollSet::ReadyQ(long microseconds) { return Wait(entries_, microseconds); }

bool QVPollSet::ReadyQ(long microseconds, short mask) {
  Entries chosen;
  for (const auto& entry : entries_) {
    if ((entry.event & mask) != 0) chosen.push_back(entry);
  }
  return Wait(chosen, microseconds);
}

bool QVPollSet::SetQ(int descriptor) const {
  for (const auto& entry : entries_) {
    if (entry.fd == descriptor && entry.ready) return true;
  }
  return false;
}

bool QVPollSet::SetQ(int descriptor, _qveventtype event) const {
  for (const auto& entry : entries_) {
    if (entry.fd == descriptor && entry.ready && (entry.readyEvents & event) == event) return true;
  }
  return false;
}

QVHandleList QVPollSet::GetListOfActiveHandles() const {
  QVHandleList handles;
  for (const auto& entry : entries_) {
    if (entry.ready) handles.push_back(entry.fd);
  }
  return handles;
}

void QVPollSet::Clear() {
  entries_.clear();
  defaultEvent_ = 0;
}

}  // namespace Quorvane
