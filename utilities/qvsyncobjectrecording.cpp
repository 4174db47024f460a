#include "utilities/qvsyncobjectrecording.h"

#include <atomic>

#include "utilities/qvexception.h"
#include "utilities/qvsyncobjectnamerecordmanager.h"

namespace Quorvane {

namespace {
std::atomic<QVSyncObjectRecorder*> theRecorder{nullptr};
}

void SetSyncObjectRecorder(QVSyncObjectRecorder* recorder) { theRecorder.store(recorder); }

// Without an installed recorder, the process's record manager keeps the record.
void RecordSyncObject(const QVString& name, int32_t type) noexcept {
  QVSyncObjectRecorder* recorder = theRecorder.load();
  try {
    if (recorder != nullptr) {
      recorder->addObjectToRecord(name, type);
      return;
    }
    QVSmartPointer<QVSyncObjectNameRecordManager> manager =
        QVSyncObjectNameRecordManager::defaultManager();
    if (manager) manager->addObjectToRecord(name, static_cast<_qvsynctype>(type));
  } catch (const QVException&) {
  } catch (...) {
  }
}

void RecordSyncObjectRemoval(const QVString& name, int32_t type) noexcept {
  QVSyncObjectRecorder* recorder = theRecorder.load();
  try {
    if (recorder != nullptr) {
      recorder->markObjectAsRemovedFromRecord(name, type);
      return;
    }
    QVSmartPointer<QVSyncObjectNameRecordManager> manager =
        QVSyncObjectNameRecordManager::defaultManager();
    if (manager) manager->markObjectAsRemovedFromRecord(name, static_cast<_qvsynctype>(type));
  } catch (const QVException&) {
  } catch (...) {
  }
}

}  // namespace Quorvane
