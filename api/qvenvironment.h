// The environment: the root object every link belongs to. It owns what links
// share: the link-side globals, the device manager, signal registrations, the
// error and packet dictionaries, the option tables, the dialog callbacks, the
// memory pool behind link marks, the ready-wait object and the numeric map;
// and this side's own handshake values.
//
// Environments are made and destroyed only by RVBegin and RVEnd, under the
// process-wide environment-count lock (api/qvenvironmentlocks.h): the
// class-wide count and the shared process manager change only there.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "api/qvfeatureset.h"
#include "api/qvmempool.h"
#include "api/qvmessages.h"
#include "api/qvnumericenv.h"
#include "device/qvdevicemanager.h"
#include "quorvane.h"
#include "text/qvstringdictionarymanager.h"
#include "utilities/qvmemorypool.h"
#include "utilities/qvprocess.h"
#include "utilities/qvsignalhandlermanager.h"

class QVLink_globals;
namespace Quorvane {
class QVServiceManager;
}
class readyParallelEnv;
struct qvoption_row;
struct qvipinterfacecontainer;
struct QVYieldParams;

// A link's yield function: (link, yield record) -> answer.
using qv_yield_function = int (*)(void* link, QVYieldParams* parameters);

// The five dialog callbacks, numbered 1 to 5 in this order.
struct qv_dialog_functions {
  RVAlertFunction alert;
  RVRequestFunction request;
  RVConfirmFunction confirm;
  RVRequestArgvFunction requestArgv;
  RVRequestToInteractFunction requestToInteract;
};

inline constexpr int kNumericsIdBuffer = 64;
inline constexpr int kTextVersionBuffer = 64;
inline constexpr int kEnvironmentIdBuffer = 256;
// "Error " and a signed 64-bit code in decimal fit with room to spare.
inline constexpr int kErrorTextBuffer = 32;
inline constexpr int64_t kEnvironmentRevision = 46;
inline constexpr int64_t kEnvironmentInterface = 4;

class qv_environment : public Quorvane::QVObject {
 public:
  // The first environment object of the process also makes the shared
  // process manager. Call under the environment-count lock.
  qv_environment();
  // The last one destroys the process manager and unloads the two dictionary
  // managers. Call under the environment-count lock.
  ~qv_environment() override;
  qv_environment(const qv_environment&) = delete;
  qv_environment& operator=(const qv_environment&) = delete;

  Quorvane::QVSmartPointer<Quorvane::QVDeviceManager> deviceManager;
  Quorvane::QVSignalHandlerManager signalHandlers;
  qv_yield_function defaultYieldFunction = nullptr;
  QVLink_globals* globals = nullptr;
  qvmempool_allocate_fn allocate = nullptr;
  qvmempool_deallocate_fn deallocate = nullptr;
  qv_dialog_functions dialogs{};
  dictionary* errorMessages = nullptr;
  dictionary* packetHeads = nullptr;
  char errorText[kErrorTextBuffer] = {};

  // Option tables: handles on the three link tables, the link-option row
  // count (0 until bound), the handshake's table and the process-wide lock
  // the handshake holds while it parses with it.
  dictionary linkOptions{};
  dictionary linkModes{};
  dictionary linkOptionWords{};
  long linkOptionRows = 0;
  const qvoption_row* formatArguments = nullptr;
  long formatArgumentRows = 0;
  std::mutex* formatArgumentsLock = nullptr;

  // This side's values for the handshake.
  feature_set ownFeatures{};
  char ownNumericsId[kNumericsIdBuffer] = {};
  char textVersion[kTextVersionBuffer] = {};
  char environmentId[kEnvironmentIdBuffer] = {};

  qv_dialog_functions defaultDialogs{};
  int64_t revision = kEnvironmentRevision;
  int64_t interfaceVersion = kEnvironmentInterface;
  int64_t useCount = 0;
  Quorvane::QVSmartPointer<Quorvane::QVMemoryPool> memoryPool;

  std::mutex numericsLock;  // guards numericMap lookups
  QVNumericEnvMap* numericMap = nullptr;
  const _qvnumeric_env_descriptor* ownDescriptor = nullptr;

  void* environmentData = nullptr;
  readyParallelEnv* readyWait = nullptr;
  qvipinterfacecontainer* interfaces = nullptr;
  uint8_t threadSafeLinks = 0;
  std::mutex loopbackLock;  // guards loopbackCounter
  int64_t loopbackCounter = 0;
  Quorvane::QVServiceManager* serviceManager = nullptr;  // made on first use, deleted by RVEnd

  // Environment objects alive; changed only under the environment-count lock.
  static int64_t numberOfEnvironments;
  // The one tracker of launched children, while any environment object lives.
  static Quorvane::QVProcessManager* getProcessManager();

  // The two process-wide dictionary managers, guarded by stringDictionaryHandle().
  static Quorvane::QVStringDictionaryManager& symbolManager();
  static Quorvane::QVStringDictionaryManager& stringManager();
  static std::recursive_mutex& stringDictionaryHandle();
  // Only key 1 has a built-in table; other keys do nothing. False when the
  // dictionary could not be made.
  static bool loadSymbolDictionaryForKey(uint64_t key) noexcept;
  static bool loadStringDictionaryForKey(uint64_t key) noexcept;
  static bool loadLatestSymbolDictionary() noexcept;
  static bool loadLatestStringDictionary() noexcept;

 private:
  static std::atomic<Quorvane::QVProcessManager*> processManager_;
};

// The text engine's encoding-set converter.
using qv_convert_encoder_fn = int (*)(unsigned int options, set_qvbst* set);
qv_convert_encoder_fn get_convert_encoder();
