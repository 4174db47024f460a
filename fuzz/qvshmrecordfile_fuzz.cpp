// Shared-memory record files are read from a directory every process may
// write to. Whatever a file holds, reading it gives a record that writes back
// and reads again as the same record, or is refused as an invalid record; and
// a name is a record file name exactly when it is the file name of the
// segment name taken from it.
#include <cstdint>
#include <cstdlib>

#include "device/qvshmrecordfileformat.h"
#include "device/qvshmrecordmanager.h"
#include "utilities/qvexception.h"

using namespace Quorvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const QVString text(reinterpret_cast<const char*>(data), size);
  const QVString segment = QVSHMRecordManager::segmentNameFromFileName(text);
  const bool valid = QVSHMRecordManager::isValidRecordFileName(text);
  if (valid != (QVSHMRecordManager::makeFileName(segment) == text)) std::abort();
  // Any segment name, dots and all, is found again in its record file's name.
  const QVString made = QVSHMRecordManager::makeFileName(text);
  if (!QVSHMRecordManager::isValidRecordFileName(made)) std::abort();
  if (QVSHMRecordManager::segmentNameFromFileName(made) != text) std::abort();

  const QVSHMRecordFileFormat format;
  QVSHMRecord record;
  try {
    record = format.interpretFileContents(QVData::initWithBytesAndLength(data, size));
  } catch (const QVException& e) {
    if (e.getType() != qvexceptiontype::badRecordFile) std::abort();
    return 0;
  }
  const QVSmartPointer<QVData> written = format.makeFileContents(segment, record);
  if (format.interpretFileContents(written) != record) std::abort();
  return 0;
}
