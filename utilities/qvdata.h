// A byte buffer held as a list of pieces: appending copies one piece, and the
// pieces are joined into one only when a contiguous view is asked for.
#pragma once

#include <cstdint>
#include <list>
#include <ostream>

#include "utilities/qvobject.h"
#include "utilities/qvsmartpointer.h"

namespace Quorvane {

class QVData : public QVObject {
 public:
  class QVDataListEntry : public QVObject {
   public:
    QVDataListEntry() = default;
    // Copies the bytes; no bytes for a null pointer or a length of 0.
    QVDataListEntry(const void* bytes, uint64_t n);
    QVDataListEntry(const QVDataListEntry& other);
    QVDataListEntry& operator=(const QVDataListEntry& other);
    ~QVDataListEntry() override;

    bool operator==(const QVDataListEntry& other) const;
    bool operator!=(const QVDataListEntry& other) const { return !(*this == other); }

    unsigned char* theBytes = nullptr;
    uint64_t length = 0;
  };
  using EntryList = std::list<QVDataListEntry, QVStdAllocator<QVDataListEntry>>;

  QVData() = default;
  QVData(const void* bytes, unsigned long n);
  // The whole file at path.
  explicit QVData(const QVString& path);
  QVData(const QVData& other) = default;
  QVData& operator=(const QVData& other) = default;
  ~QVData() override = default;

  void appendBytes(const void* bytes, unsigned long n);
  // One contiguous view; joins the pieces first when there are several.
  const void* bytes() const;
  void getBytesOfLength(void* buffer, unsigned long n) const;
  uint64_t length() const { return totalLength; }
  // Creates or empties the file (mode 0604 before the umask) and writes every
  // byte; returns the result of close.
  int writeToFileAtPath(const QVString& path) const;

  bool operator==(const QVData& other) const;
  bool operator!=(const QVData& other) const { return !(*this == other); }

  void print(std::ostream& os) const;

  static QVSmartPointer<QVData> init();
  static QVSmartPointer<QVData> initWithBytesAndLength(const void* bytes, unsigned long n);
  static QVSmartPointer<QVData> initWithContentsOfFileAtPath(const QVString& path);
  static QVSmartPointer<QVData> initWithDataCopy(const QVSmartPointer<QVData>& other);

 private:
  // Joining keeps the contents: the const view may reorganise the pieces.
  mutable EntryList theDataList;
  uint64_t totalLength = 0;
};

std::ostream& operator<<(std::ostream& os, const QVData& data);

}  // namespace Quorvane
