// The environment object, its class-wide state and the dictionary managers.
#include "api/qvenvironment.h"

#include "text/qvconverter.h"
#include "text/qvstringdictionary.h"

using Quorvane::QVProcessManager;
using Quorvane::QVStringDictionary;
using Quorvane::QVStringDictionaryManager;

int64_t qv_environment::numberOfEnvironments = 0;
std::atomic<QVProcessManager*> qv_environment::processManager_{nullptr};

qv_environment::qv_environment() : deviceManager(Quorvane::QVDeviceManager::init()) {
  if (numberOfEnvironments == 0) processManager_.store(new QVProcessManager());
  // Last, so that a constructor that throws has changed nothing shared.
  ++numberOfEnvironments;
}

qv_environment::~qv_environment() {
  if (--numberOfEnvironments != 0) return;
  delete processManager_.exchange(nullptr);
  std::lock_guard<std::recursive_mutex> guard(stringDictionaryHandle());
  symbolManager().unloadDictionaries();
  stringManager().unloadDictionaries();
}

QVProcessManager* qv_environment::getProcessManager() { return processManager_.load(); }

QVStringDictionaryManager& qv_environment::symbolManager() {
  static QVStringDictionaryManager manager;
  return manager;
}

QVStringDictionaryManager& qv_environment::stringManager() {
  static QVStringDictionaryManager manager;
  return manager;
}

std::recursive_mutex& qv_environment::stringDictionaryHandle() {
  // Made once and never destroyed: a dictionary may be loaded while the last
  // environment ends, and during the process's exit.
  static std::recursive_mutex* const lock = new std::recursive_mutex;
  return *lock;
}

namespace {

constexpr uint64_t kBuiltInKey = 1;

bool LoadKey(QVStringDictionaryManager& manager, const Quorvane::QVRawStringDictionary* raw,
             uint64_t key) noexcept {
  if (key != kBuiltInKey) return true;
  try {
    std::lock_guard<std::recursive_mutex> guard(qv_environment::stringDictionaryHandle());
    if (!manager.hasDictionaryForKey(key)) {
      manager.setDictionaryForKey(key, QVStringDictionary::initWithRawDictionary(raw));
    }
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace

bool qv_environment::loadSymbolDictionaryForKey(uint64_t key) noexcept {
  return LoadKey(symbolManager(), Quorvane::rawSymbolDictionaryOne, key);
}

bool qv_environment::loadStringDictionaryForKey(uint64_t key) noexcept {
  return LoadKey(stringManager(), Quorvane::rawStringDictionaryOne, key);
}

bool qv_environment::loadLatestSymbolDictionary() noexcept { return loadSymbolDictionaryForKey(kBuiltInKey); }

bool qv_environment::loadLatestStringDictionary() noexcept { return loadStringDictionaryForKey(kBuiltInKey); }

qv_convert_encoder_fn get_convert_encoder() { return cs__converter; }
