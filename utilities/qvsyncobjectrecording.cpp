#include "utilities/qvsyncobjectrecording.h"

#include <atomic>

#include "utilities/qvexception.h"

namespace Quorvane {

namespace {
std::atomic<QVSyncObjectRecorder*> theRecorder{nullptr};
}

void SetSyncObjectRecorder(QVSyncObjectRecorder* recorder) { theRecorder.store(recorder); }

void RecordSyncObject(const QVString& name, int32_t type) noexcept {
  QVSyncObjectRecorder* recorder = theRecorder.load();
  if (recorder == nullptr) return;
  try {
    recorder->addObjectToRecord(name, type);
  } catch (const QVException&) {
  } catch (...) {
  }
}

void RecordSyncObjectRemoval(const QVString& name, int32_t type) noexcept {
  QVSyncObjectRecorder* recorder = theRecorder.load();
  if (recorder == nullptr) return;
  try {
    recorder->markObjectAsRemovedFromRecord(name, type);
  } catch (const QVException&) {
  } catch (...) {
  }
}

}  // namespace Quorvane
