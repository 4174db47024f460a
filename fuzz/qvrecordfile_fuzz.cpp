// Record files are read from a directory every process on the machine may
// write to. Whatever they hold, reading either gives records that write back
// and read again as the same records, or is refused with the library's
// exception; the file-name test never misbehaves either.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "utilities/qvexception.h"
#include "utilities/qvsyncobjectnamerecordfileformat.h"
#include "utilities/qvsyncobjectnamerecordmanager.h"

using namespace Quorvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  (void)QVSyncObjectNameRecordManager::isValidRecordFileName(QVString(text, size));

  const QVSyncObjectNameRecordFileFormat format;
  QVSyncObjectNameRecordList records;
  try {
    records = format.interpretFileContents(
        QVSmartPointer<QVData>(new QVData(data, static_cast<unsigned long>(size))));
  } catch (const QVException& e) {
    if (e.getType() != qvexceptiontype::wrapped) std::abort();
    return 0;
  }

  QVSyncObjectNameRecordList known;
  for (const QVSyncObjectNameRecord& record : records) {
    if (record.processID != records.front().processID) std::abort();
    if (!record.recordFile.empty()) std::abort();
    if (record.name.size() > QVSyncObjectNameRecordFileFormat::kLineBufferSize - 2) std::abort();
    // A name may hold colons, never a line's end.
    if (record.name.find_first_of(QVString("\n\0", 2)) != QVString::npos) std::abort();
    if (record.type < QVSyncTypeUnknown || record.type > QVSyncTypeWC) std::abort();
    if (record.type != QVSyncTypeUnknown) known.push_back(record);
  }
  if (known.empty()) return 0;
  const QVSyncObjectNameRecordList again =
      format.interpretFileContents(format.makeFileContents(known));
  if (again.size() != known.size()) std::abort();
  auto it = again.begin();
  for (const QVSyncObjectNameRecord& record : known) {
    if (!(*it == record)) std::abort();
    ++it;
  }
  return 0;
}
