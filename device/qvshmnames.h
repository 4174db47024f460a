// Names of a shared-memory link: the suffixes that turn a link name into the
// names of its locks and conditions, the rule a link name must keep, and the
// drawing of a fresh name for a listener that was given none.
#pragma once

#include <cstddef>
#include <string_view>

#include "utilities/qvobject.h"

namespace Quorvane::shmnames {

struct Suffix {
  std::string_view key;
  std::string_view suffix;
};

// Every object of a link is named link name + suffix. All fourteen take part
// in the collision test of a drawn name, even those that make no object. A
// constant table: nothing fills it at run time, so no lock guards it and no
// count of devices keeps it.
inline constexpr Suffix syncObjectNameMap[] = {
    {"ListenerName", "lst"},
    {"ConnectorName", "con"},
    {"WriteLock", "wrlck"},
    {"ReadLock", "rdlck"},
    {"WriteMessageLock", "wrmsglck"},
    {"ReadMessageLock", "rdmsglck"},
    {"WriteCondition", "ffwrcon"},
    {"ReadCondition", "ffrdcon"},
    {"WriteMessageCondition", "ffwmcon"},
    {"ReadMessageCondition", "ffrmcon"},
    {"FreeSpaceWriteCondition", "fffswrcon"},
    {"FreeSpaceReadCondition", "fffsrdcon"},
    {"QuitEventWatchCondition", "qewtch"},
    {"NotifyWindowLock", ""},
};

// The suffix of a key of the table; type 1 for a key that is not there.
QVString SuffixOf(std::string_view key);

// A link name becomes part of one file name in the sync folder, of the record
// file ("qvshm-" + name + ".rec") and of the shared-memory object, so the
// longest of those additions must still leave a legal file name.
inline constexpr size_t kMaximumNameLength = 255 - 10;

// Refuses, with type 61, a name that could leave the sync folder, name a
// hidden or over-long file, or not be read back from the record of named
// objects: one holding "/", NUL or a line feed, starting with ".", or longer
// than kMaximumNameLength. The empty name passes (a listener draws one).
void CheckLinkName(const QVString& name);

// Drawn names: 5 letters and digits + "_shm".
inline constexpr size_t kDrawnStemLength = 5;
inline constexpr char kDrawnNameEnding[] = "_shm";
// Draws before giving up on finding an unused name.
inline constexpr int kMaximumDraws = 64;

// True when the sync folder already holds name + any suffix.
bool NameTakenQ(const QVString& name);
// A drawn name that no sync object of the folder uses with any suffix; type 59
// when kMaximumDraws draws all collide.
QVString DrawName();

// Removes the condition FIFOs a link of this name left in the sync folder
// (only FIFOs: lock files stay usable after their holders die). For a link
// whose owners are all dead, whose leftovers would refuse a new listener.
void RemoveLeftConditions(const QVString& name);

}  // namespace Quorvane::shmnames
