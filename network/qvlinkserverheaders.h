// What the link server does with a fresh connection before it becomes half of
// a link: gather its 55-byte identification line however TCP splits it, within
// a deadline, match the line, and pair it with the other half of the same id.
// Written over any connection type, so a fuzz target drives it without sockets.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "utilities/qvobject.h"

namespace Quorvane {

inline constexpr size_t kIdentificationLineSize = 55;
inline constexpr size_t kIdentificationIdSize = 36;

enum class QVConnectionKind { data, mesg };

struct QVIdentity {
  QVString id;
  QVConnectionKind kind;
};

// The id and kind of a 55-byte line: "id" at 0, the id at 3..38, "connection"
// at 40, "data" or "mesg" at 51. Bytes 2, 39 and 50 are not examined; a zero
// byte anywhere cuts the line short and makes it malformed.
std::optional<QVIdentity> QVMatchIdentificationLine(const char* line);

// One connection's line as it arrives. Only the bytes still owed are ever
// asked for: what follows the line on the data connection is the link's own.
class QVIdentificationLine {
 public:
  char* Tail() { return bytes_.data() + have_; }
  size_t Missing() const { return kIdentificationLineSize - have_; }
  void Took(size_t count) { have_ += count < Missing() ? count : Missing(); }
  bool CompleteQ() const { return have_ == kIdentificationLineSize; }
  std::optional<QVIdentity> Match() const {
    return CompleteQ() ? QVMatchIdentificationLine(bytes_.data()) : std::nullopt;
  }

 private:
  std::array<char, kIdentificationLineSize> bytes_{};
  size_t have_ = 0;
};

using QVIntakeClock = std::chrono::steady_clock;

// Connections still owing their line, each with its own deadline, so a silent
// one is dropped on time and holds up no other.
template <typename Connection>
class QVHeaderIntake {
 public:
  struct Entry {
    Connection connection;
    QVIdentificationLine line;
    QVIntakeClock::time_point deadline;
  };

  explicit QVHeaderIntake(QVIntakeClock::duration allowance) : allowance_(allowance) {}

  void Add(Connection connection, QVIntakeClock::time_point now) {
    entries_.push_back(Entry{std::move(connection), QVIdentificationLine{}, now + allowance_});
  }
  size_t size() const { return entries_.size(); }
  Entry& operator[](size_t index) { return entries_[index]; }
  Entry Take(size_t index) {
    Entry taken = std::move(entries_[index]);
    entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(index));
    return taken;
  }
  std::optional<QVIntakeClock::time_point> NextDeadline() const {
    std::optional<QVIntakeClock::time_point> next;
    for (const Entry& entry : entries_) {
      if (!next || entry.deadline < *next) next = entry.deadline;
    }
    return next;
  }
  // Hands every connection whose deadline has passed to close.
  template <typename Close>
  void Expire(QVIntakeClock::time_point now, Close&& close) {
    for (size_t i = entries_.size(); i-- > 0;) {
      if (entries_[i].deadline > now) continue;
      Entry late = Take(i);
      close(late.connection);
    }
  }
  template <typename Close>
  void Drain(Close&& close) {
    for (Entry& entry : entries_) close(entry.connection);
    entries_.clear();
  }

 private:
  QVIntakeClock::duration allowance_;
  std::vector<Entry, QVStdAllocator<Entry>> entries_;
};

// One half-made link: a table entry always holds exactly one half.
template <typename Half>
struct QVPendingPair {
  Half data{};
  Half mesg{};
  bool haveData = false;
  bool haveMesg = false;
};

// Halves waiting for their partner, keyed by id in plain byte order.
template <typename Half>
class QVPairingTable {
 public:
  struct Outcome {
    enum Kind { stored, duplicate, paired } kind;
    // paired: the data and message halves; duplicate: the waiting half and
    // the newcomer, both to be closed.
    Half first{};
    Half second{};
  };

  Outcome Offer(const QVString& id, QVConnectionKind kind, Half half) {
    auto found = table_.find(id);
    if (found == table_.end()) {
      QVPendingPair<Half> entry;
      if (kind == QVConnectionKind::data) {
        entry.data = std::move(half);
        entry.haveData = true;
      } else {
        entry.mesg = std::move(half);
        entry.haveMesg = true;
      }
      table_.emplace(id, std::move(entry));
      return Outcome{Outcome::stored};
    }
    QVPendingPair<Half> entry = std::move(found->second);
    // Gone whatever happens next: an entry left behind after a duplicate would
    // pair a later half with a closed one.
    table_.erase(found);
    if (kind == QVConnectionKind::data) {
      if (entry.haveData) return Outcome{Outcome::duplicate, std::move(entry.data), std::move(half)};
      return Outcome{Outcome::paired, std::move(half), std::move(entry.mesg)};
    }
    if (entry.haveMesg) return Outcome{Outcome::duplicate, std::move(entry.mesg), std::move(half)};
    return Outcome{Outcome::paired, std::move(entry.data), std::move(half)};
  }

  size_t size() const { return table_.size(); }

  template <typename Close>
  void Drain(Close&& close) {
    for (auto& [id, entry] : table_) {
      if (entry.haveData) close(entry.data);
      if (entry.haveMesg) close(entry.mesg);
    }
    table_.clear();
  }

 private:
  std::map<QVString, QVPendingPair<Half>, std::less<QVString>,
           QVStdAllocator<std::pair<const QVString, QVPendingPair<Half>>>>
      table_;
};

// Settles a connection whose line is complete: a malformed line and both
// halves of a duplicate are closed, a completed pair goes to pair(data, mesg).
template <typename Half, typename Close, typename Pair>
void QVSettleConnection(QVPairingTable<Half>& table, const QVIdentificationLine& line, Half half,
                        Close&& close, Pair&& pair) {
  std::optional<QVIdentity> identity = line.Match();
  if (!identity) {
    close(half);
    return;
  }
  using Outcome = typename QVPairingTable<Half>::Outcome;
  Outcome outcome = table.Offer(identity->id, identity->kind, std::move(half));
  switch (outcome.kind) {
    case Outcome::stored:
      return;
    case Outcome::duplicate:
      close(outcome.first);
      close(outcome.second);
      return;
    case Outcome::paired:
      pair(outcome.first, outcome.second);
      return;
  }
}

}  // namespace Quorvane
