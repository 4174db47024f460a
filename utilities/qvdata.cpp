#include "utilities/qvdata.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "utilities/qvexception.h"
#include "utilities/qvuniquefd.h"

namespace Quorvane {

namespace {
constexpr char kSourceFile[] = "utilities/qvdata";

unsigned char* CopyBytes(const void* bytes, uint64_t n) {
  if (bytes == nullptr || n == 0) return nullptr;
  auto* copy = new unsigned char[n];
  std::memcpy(copy, bytes, n);
  return copy;
}
}  // namespace

QVData::QVDataListEntry::QVDataListEntry(const void* bytes, uint64_t n)
    : theBytes(CopyBytes(bytes, n)), length(n) {}

QVData::QVDataListEntry::QVDataListEntry(const QVDataListEntry& other)
    : QVObject(), theBytes(CopyBytes(other.theBytes, other.length)), length(other.length) {}

QVData::QVDataListEntry& QVData::QVDataListEntry::operator=(const QVDataListEntry& other) {
  if (this != &other) {
    unsigned char* copy = CopyBytes(other.theBytes, other.length);
    delete[] theBytes;
    theBytes = copy;
    length = other.length;
  }
  return *this;
}

QVData::QVDataListEntry::~QVDataListEntry() { delete[] theBytes; }

bool QVData::QVDataListEntry::operator==(const QVDataListEntry& other) const {
  return theBytes != nullptr && other.theBytes != nullptr && length == other.length &&
         std::memcmp(theBytes, other.theBytes, length) == 0;
}

// A null pointer gives an empty piece of length 0: the buffer never claims
// bytes it does not hold.
QVData::QVData(const void* bytes, unsigned long n) {
  theDataList.emplace_back(bytes, bytes != nullptr ? n : 0);
  totalLength = bytes != nullptr ? n : 0;
}

QVData::QVData(const QVString& path) {
  detail::QVUniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) {
    throw QVException("Open error.", kSourceFile, __LINE__, qvexceptiontype::systemCallFailed, 0);
  }
  struct stat st;
  if (fstat(fd.get(), &st) != 0) {
    fd.reset();
    throw QVException("Fstat error.", kSourceFile, __LINE__, qvexceptiontype::systemCallFailed, 0);
  }
  const auto size = static_cast<uint64_t>(st.st_size);
  QVDataListEntry entry;
  if (size > 0) {
    entry.theBytes = new unsigned char[size];
    entry.length = size;
    uint64_t done = 0;
    while (done < size) {
      ssize_t got = ::read(fd.get(), entry.theBytes + done, size - done);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) {
        // A failing read is a system failure, not a short file.
        throw QVException("Read error.", kSourceFile, __LINE__, qvexceptiontype::systemCallFailed,
                          errno);
      }
      if (got == 0) {
        throw QVException("Read returned end-of-file before all bytes read.", kSourceFile,
                          __LINE__, qvexceptiontype::internalError, 0);
      }
      done += static_cast<uint64_t>(got);
    }
  }
  theDataList.push_back(std::move(entry));
  totalLength = size;
}

void QVData::appendBytes(const void* bytes, unsigned long n) {
  if (bytes == nullptr) n = 0;
  theDataList.emplace_back(bytes, n);
  totalLength += n;
}

const void* QVData::bytes() const {
  if (theDataList.empty()) return nullptr;
  if (theDataList.size() > 1) {
    QVDataListEntry joined;
    if (totalLength > 0) {
      joined.theBytes = new unsigned char[totalLength];
      joined.length = totalLength;
      uint64_t at = 0;
      for (const auto& piece : theDataList) {
        if (piece.theBytes != nullptr) std::memcpy(joined.theBytes + at, piece.theBytes, piece.length);
        at += piece.length;
      }
    }
    EntryList single;
    single.push_back(std::move(joined));
    theDataList.swap(single);
  }
  return theDataList.front().theBytes;
}

void QVData::getBytesOfLength(void* buffer, unsigned long n) const {
  if (buffer == nullptr || n == 0 || totalLength == 0) return;
  const void* all = bytes();
  if (all == nullptr) return;
  std::memcpy(buffer, all, std::min<uint64_t>(n, totalLength));
}

int QVData::writeToFileAtPath(const QVString& path) const {
  detail::QVUniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0604));
  if (!fd.valid()) {
    throw QVException("Open failed.", kSourceFile, __LINE__, qvexceptiontype::systemCallFailed, 0);
  }
  const auto* all = static_cast<const unsigned char*>(bytes());
  uint64_t done = 0;
  while (all != nullptr && done < totalLength) {
    ssize_t put = ::write(fd.get(), all + done, totalLength - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      throw QVException("Write failed.", kSourceFile, __LINE__, qvexceptiontype::systemCallFailed,
                        0);
    }
    done += static_cast<uint64_t>(put);
  }
  return ::close(fd.release());
}

bool QVData::operator==(const QVData& other) const {
  if (this == &other) return true;
  if (totalLength != other.totalLength || theDataList.size() != other.theDataList.size()) {
    return false;
  }
  return std::equal(theDataList.begin(), theDataList.end(), other.theDataList.begin());
}

void QVData::print(std::ostream& os) const {
  os << "<QVData><totalLength>" << totalLength << "</totalLength><theDataList>";
  for (const auto& piece : theDataList) {
    os << "<QVDataListEntry><theBytes>";
    if (piece.theBytes != nullptr) {
      os.write(reinterpret_cast<const char*>(piece.theBytes), static_cast<std::streamsize>(piece.length));
    }
    os << "</theBytes><length>" << piece.length << "</length></QVDataListEntry>";
  }
  os << "</theDataList></QVData>";
}

std::ostream& operator<<(std::ostream& os, const QVData& data) {
  data.print(os);
  return os;
}

QVSmartPointer<QVData> QVData::init() { return QVSmartPointer<QVData>(new QVData()); }

QVSmartPointer<QVData> QVData::initWithBytesAndLength(const void* bytes, unsigned long n) {
  return QVSmartPointer<QVData>(new QVData(bytes, n));
}

QVSmartPointer<QVData> QVData::initWithContentsOfFileAtPath(const QVString& path) {
  return QVSmartPointer<QVData>(new QVData(path));
}

QVSmartPointer<QVData> QVData::initWithDataCopy(const QVSmartPointer<QVData>& other) {
  return QVSmartPointer<QVData>(other ? new QVData(*other) : new QVData());
}

}  // namespace Quorvane
