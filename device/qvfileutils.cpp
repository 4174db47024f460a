// Program lookup, descriptor closing, whole-file locks and directory lists.
#include "device/qvfileutils.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "utilities/platform/qvclosedescriptors.h"

namespace {

struct flock WholeFile(short type) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 0;
  return lock;
}

int SetLock(int fd, short type) {
  struct flock lock = WholeFile(type);
  return fcntl(fd, F_SETLKW, &lock) == 0 ? 1 : 0;
}

char* Allocate(qv_allocator_fn allocator, size_t size) {
  if (allocator == nullptr) return nullptr;
  char* block = static_cast<char*>(allocator(size));
  if (block != nullptr) std::memset(block, 0, size);
  return block;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

using FileTest = bool (*)(const struct stat&);
bool RegularFile(const struct stat& info) { return S_ISREG(info.st_mode); }
bool Executable(const struct stat& info) { return (info.st_mode & 0110) != 0; }

bool Passes(const char* path, FileTest test) {
  struct stat info {};
  return stat(path, &info) == 0 && test(info);
}

// The name itself, then the name in each PATH directory (an empty component
// is the current directory).
int SearchPath(const char* name, qv_allocator_fn allocator, qv_deallocator_fn deallocator, FileTest test) {
  if (name == nullptr || allocator == nullptr || deallocator == nullptr) return 0;
  if (Passes(name, test)) return 1;
  const char* path = std::getenv("PATH");
  if (path == nullptr || *name == '\0') return 0;
  const size_t nameLength = std::strlen(name);
  const size_t pathLength = std::strlen(path);
  // One buffer holds the longest candidate: any directory, '/', the name.
  char* candidate = Allocate(allocator, pathLength + nameLength + 3);
  if (candidate == nullptr) return -1;
  int found = 0;
  const char* start = path;
  while (found == 0) {
    const char* end = std::strchr(start, ':');
    const size_t length = end == nullptr ? std::strlen(start) : static_cast<size_t>(end - start);
    if (length == 0) {
      candidate[0] = '.';
      candidate[1] = '\0';
    } else {
      std::memcpy(candidate, start, length);
      candidate[length] = '\0';
    }
    std::strcat(candidate, "/");
    std::strcat(candidate, name);
    if (Passes(candidate, test)) found = 1;
    if (end == nullptr) break;
    start = end + 1;
  }
  deallocator(candidate);
  return found;
}

}  // namespace

int qvfile_lock(int fd) noexcept { return SetLock(fd, F_WRLCK); }

int qvfile_unlock(int fd) noexcept { return SetLock(fd, F_UNLCK); }

int qvfile_is_locked(int fd) noexcept {
  struct flock lock = WholeFile(F_WRLCK);
  if (fcntl(fd, F_GETLK, &lock) != 0) return -1;
  return lock.l_type == F_UNLCK ? 0 : static_cast<int>(lock.l_pid);
}

char* qvfile_clear_quotes(const char* text, long length, qv_allocator_fn allocator,
                          qv_deallocator_fn) noexcept {
  if (text == nullptr || length < 0) return nullptr;
  const char first = length > 0 ? text[0] : '\0';
  const bool quoted = length >= 2 && (first == '"' || first == '\'') && text[length - 1] == first;
  const long start = quoted ? 1 : 0;
  const long kept = quoted ? length - 2 : length;
  char* copy = Allocate(allocator, static_cast<size_t>(kept) + 1);
  if (copy != nullptr) std::memcpy(copy, text + start, static_cast<size_t>(kept));
  return copy;
}

char* qvfile_get_exe_name_from_command(const char* command, qv_allocator_fn allocator,
                                       qv_deallocator_fn deallocator) noexcept {
  if (command == nullptr || deallocator == nullptr) return nullptr;
  const size_t size = std::strlen(command) + 1;
  // The word and the quoted part are never longer than the command.
  char* word = Allocate(allocator, size);
  char* quoted = Allocate(allocator, size);
  if (word == nullptr || quoted == nullptr) {
    if (word != nullptr) deallocator(word);
    if (quoted != nullptr) deallocator(quoted);
    return nullptr;
  }
  size_t wordLength = 0;
  size_t quotedLength = 0;
  bool inQuotes = false;
  bool sawQuoted = false;
  for (size_t i = 0; command[i] != '\0'; ++i) {
    const char c = command[i];
    char* target = inQuotes ? quoted : word;
    size_t& targetLength = inQuotes ? quotedLength : wordLength;
    if (c == '\\') {
      const char next = command[i + 1];
      if (next == '\0') {
        target[targetLength++] = c;
        break;
      }
      if (!IsBlank(next)) target[targetLength++] = c;
      target[targetLength++] = next;
      if (inQuotes) sawQuoted = true;
      ++i;
    } else if (c == '"' || c == '\'') {
      if (inQuotes && sawQuoted) {
        std::memcpy(word + wordLength, quoted, quotedLength);
        wordLength += quotedLength;
        quotedLength = 0;
      }
      inQuotes = !inQuotes;
      sawQuoted = false;
    } else if (inQuotes) {
      quoted[quotedLength++] = c;
      sawQuoted = true;
    } else if (IsBlank(c)) {
      // Blanks before the program are not part of it.
      if (wordLength != 0) break;
    } else {
      word[wordLength++] = c;
    }
  }
  deallocator(quoted);
  word[wordLength] = '\0';
  return word;
}

int qvfile_exists_q(const char* name, qv_allocator_fn allocator, qv_deallocator_fn deallocator) noexcept {
  return SearchPath(name, allocator, deallocator, RegularFile);
}

int qvfile_executable_q(const char* name, qv_allocator_fn allocator, qv_deallocator_fn deallocator) noexcept {
  return SearchPath(name, allocator, deallocator, Executable);
}

int qvfile_load_dir_names(const char* directory, std::map<std::string, int>* names) noexcept {
  if (directory == nullptr || names == nullptr) return -1;
  names->clear();
  DIR* listing = opendir(directory);
  if (listing == nullptr) return 0;
  try {
    while (const dirent* entry = readdir(listing)) (*names)[entry->d_name] = 1;
  } catch (...) {
    names->clear();
  }
  closedir(listing);
  return 0;
}

void qvfile_close_open_file_references_except(const int* keep, int count) noexcept {
  Quorvane::platform::CloseDescriptorsExcept(keep, count);
}

void qvfile_close_open_file_references() noexcept { Quorvane::platform::CloseDescriptorsExcept(nullptr, 0); }

int qvu_allnumeric(int count, const char* const* words, int missing) noexcept {
  for (int i = 0; i < count; ++i) {
    const char* word = words == nullptr ? nullptr : words[i];
    if (word == nullptr || *word == '\0') return missing;
    for (const char* c = word; *c != '\0'; ++c) {
      if (*c < '0' || *c > '9') return 0;
    }
  }
  return 1;
}
