#include "api/qvenvironment.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "api/qvdevicemodule.h"
#include "api/qvenvironmentlocks.h"
#include "api/qvenvironmentparameters.h"
#include "api/qvenvironmentstart.h"
#include "api/qvlinkglobals.h"
#include "api/qvreadywait.h"
#include "quorvane.h"
#include "support/qvtest.h"
#include "tests/utilities/qvtestprocesses.h"
#include "text/qvtextencoding.h"
#include "user/qvlinkoptions.h"

using Quorvane::QVEnvironmentParameters;
using Quorvane::QVObject;

namespace {

const char kCleanUpThread[] = "QV-UnixThreads-";  // the thread module's record thread

struct ParametersDeleter {
  void operator()(RVEnvironmentParameters* p) const { RVReleaseParameters(p); }
};
using Parameters = std::unique_ptr<RVEnvironmentParameters, ParametersDeleter>;

Parameters NewParameters(bool devices = false) {
  Parameters parameters(RVNewParameters(46, 25));
  if (!devices) RVSetDeviceParameter(parameters.get(), "");
  return parameters;
}

struct EnvironmentDeleter {
  void operator()(RVEnvironment* e) const { RVEnd(e); }
};
using Environment = std::unique_ptr<RVEnvironment, EnvironmentDeleter>;

Environment Begin(RVEnvironmentParameters* parameters) { return Environment(RVBegin(parameters)); }

// Whether the child-signal hook is registered in the process-wide tables.
bool ChildSignalHookedQ() {
  Quorvane::QVSignalHandlerManager manager;
  std::ostringstream printed;
  printed << manager;
  const auto address = reinterpret_cast<uintptr_t>(&QVEnvironmentChildSignalHandler);
  return printed.str().find("<first>" + std::to_string(address) + "</first>") != std::string::npos;
}

bool HandlingSignalsQ() {
  Quorvane::QVSignalHandlerManager manager;
  std::ostringstream printed;
  printed << manager;
  return printed.str().find("<currentlyHandlingSignals>1<") != std::string::npos;
}

void* CustomAllocate(uint64_t size) { return std::malloc(size); }
void CustomDeallocate(void* block) { std::free(block); }

long CountOfStartedEnvironments() {
  std::lock_guard<std::mutex> guard(numberofenvironmentsmutex());
  return numberofenvironments;
}

}  // namespace

TEST(Environment, DefaultStartHoldsItsParts) {
  Environment environment(RVBegin(nullptr));
  ASSERT_NE(environment, nullptr);
  RVEnvironment& e = *environment;
  EXPECT_EQ(e.revision, 46);
  EXPECT_EQ(e.interfaceVersion, 4);
  EXPECT_NE(e.globals, nullptr);
  EXPECT_EQ(RVEnclosingEnvironment(e.globals), &e);
  EXPECT_STREQ(e.ownNumericsId, "greatdane");
  EXPECT_STREQ(e.ownFeatures.numerics_id, "greatdane");
  EXPECT_EQ(e.ownFeatures.features, 0xf0000u);
  EXPECT_EQ(e.ownFeatures.level, 6u);
  EXPECT_EQ(e.ownFeatures.level_again, 6u);
  EXPECT_EQ(e.ownFeatures.string_optimization, 0);
  for (unsigned type : {161u, 226u, 228u, 230u, 244u, 246u, 248u}) {
    EXPECT_TRUE(qvfs__writes_as_it_stands(e.ownFeatures, type)) << type;
  }
  EXPECT_FALSE(qvfs__writes_as_it_stands(e.ownFeatures, 162));
  EXPECT_NE(e.ownFeatures.text_environment, nullptr);
  EXPECT_NE(e.ownFeatures.text_factory, nullptr);
  EXPECT_EQ(e.ownFeatures.encodings.mask, QV_SUPPORTED_ENCODINGS);
  EXPECT_NE(e.textVersion[0], '\0');
  EXPECT_EQ(e.environmentId[0], '\0');
  ASSERT_NE(e.ownDescriptor, nullptr);
  EXPECT_STREQ(e.ownDescriptor->name, "greatdane");
  EXPECT_EQ(e.linkOptionRows, 11);
  EXPECT_EQ(e.linkOptions.table, linkopen_arguments);
  EXPECT_EQ(e.formatArguments, format_arguments);
  EXPECT_EQ(e.formatArgumentRows, 6);
  EXPECT_EQ(e.formatArgumentsLock, &formatArgumentsLock());
  ASSERT_NE(e.readyWait, nullptr);
  EXPECT_EQ(e.readyWait->capacity, 20);
  EXPECT_TRUE(static_cast<bool>(e.memoryPool));
  EXPECT_EQ(e.dialogs.alert, e.defaultDialogs.alert);
  EXPECT_NE(e.dialogs.requestToInteract, nullptr);
  EXPECT_EQ(e.interfaces, nullptr);
  EXPECT_NE(qv_environment::getProcessManager(), nullptr);
  EXPECT_EQ(RVSetEnvironmentData(&e, &e), 0);
  EXPECT_EQ(RVEnvironmentData(&e), &e);
  EXPECT_EQ(RVSetEnvironmentData(nullptr, &e), 1);
  EXPECT_EQ(RVEnvironmentData(nullptr), nullptr);
  EXPECT_TRUE(getLinksInEnvironment(&e).empty());
  RVEnd(nullptr);
}

TEST(Environment, RefusedParametersKeepOrGetTheirCode) {
  Parameters wrong = NewParameters();
  wrong->magicValue = 1;
  EXPECT_EQ(RVBegin(wrong.get()), nullptr);
  EXPECT_EQ(wrong->lastError, 29);
  wrong->magicValue = QVEnvironmentParameters::kMagicValue;

  Parameters refused(RVNewParameters(47, 25));
  EXPECT_EQ(RVErrorParameter(refused.get()), 28);
  EXPECT_EQ(RVInitialize(refused.get()), nullptr);
  EXPECT_EQ(RVErrorParameter(refused.get()), 28);
  EXPECT_EQ(CountOfStartedEnvironments(), 0);
}

TEST(Environment, EncodingParametersGoThroughTheEngineTable) {
  // Parameter encodings 1 to 8 are the engine's option bits 0 to 7.
  const uint64_t expected[] = {0, ENCODING_ASCII, ENCODING_BYTES, ENCODING_UCS2, ENCODING_OLDSTRING,
                               ENCODING_UTF8, ENCODING_UTF16, 0, ENCODING_UTF32};
  for (int encoding = 1; encoding <= 8; ++encoding) {
    SCOPED_TRACE(encoding);
    Parameters parameters = NewParameters();
    ASSERT_EQ(RVSetEncodingParameter(parameters.get(), encoding), 0);
    Environment environment = Begin(parameters.get());
    ASSERT_NE(environment, nullptr);
    EXPECT_EQ(environment->ownFeatures.encodings.mask, expected[encoding]);
  }
  Parameters both = NewParameters();
  RVSetEncodingParameter(both.get(), 5);
  RVSetEncodingParameter(both.get(), 8);
  Environment environment = Begin(both.get());
  ASSERT_NE(environment, nullptr);
  EXPECT_EQ(environment->ownFeatures.encodings.mask, uint64_t{ENCODING_UTF8 | ENCODING_UTF32});
}

TEST(Environment, WithoutDevicesNoSignalHandlingButTheChildHook) {
  Parameters parameters = NewParameters();
  Environment environment = Begin(parameters.get());
  ASSERT_NE(environment, nullptr);
  EXPECT_TRUE(environment->deviceManager->availableDevices().empty());
  EXPECT_FALSE(HandlingSignalsQ());
  EXPECT_TRUE(ChildSignalHookedQ());
  EXPECT_TRUE(QVDeviceModuleStartedQ());
}

TEST(Environment, FirstAndLastOfSeveral) {
  Parameters parameters = NewParameters();
  RVSetAllocParameter(parameters.get(), CustomAllocate, CustomDeallocate);
  Environment first = Begin(parameters.get());
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(QVObject::GetAllocator(), CustomAllocate);
  Quorvane::QVProcessManager* manager = qv_environment::getProcessManager();
  Environment second = Begin(parameters.get());
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(qv_environment::getProcessManager(), manager) << "one process manager";
  EXPECT_EQ(CountOfStartedEnvironments(), 2);
  ASSERT_TRUE(qvtest::WaitUntil([] { return qvtest::ThreadsNamed(kCleanUpThread) == 1; }));

  first.reset();
  EXPECT_EQ(CountOfStartedEnvironments(), 1);
  EXPECT_TRUE(ChildSignalHookedQ());
  EXPECT_TRUE(QVDeviceModuleStartedQ());
  // A thread the clean-up thread starts carries its name until it names itself.
  EXPECT_TRUE(qvtest::WaitUntil([] { return qvtest::ThreadsNamed(kCleanUpThread) == 1; }))
      << "the thread module keeps running";
  EXPECT_EQ(qv_environment::getProcessManager(), manager);
  EXPECT_EQ(QVObject::GetAllocator(), CustomAllocate);

  second.reset();
  EXPECT_EQ(CountOfStartedEnvironments(), 0);
  EXPECT_EQ(qv_environment::numberOfEnvironments, 0);
  EXPECT_FALSE(ChildSignalHookedQ());
  EXPECT_FALSE(QVDeviceModuleStartedQ());
  EXPECT_TRUE(qvtest::NoThreadNamed(kCleanUpThread));
  EXPECT_EQ(qv_environment::getProcessManager(), nullptr);
  EXPECT_EQ(QVObject::GetAllocator(), &Quorvane::qvallocator);
  EXPECT_EQ(QVObject::GetDeallocator(), &Quorvane::qvdeallocator);
}

TEST(Environment, AFailedThreadModuleStartLeavesRunningEnvironmentsAlone) {
  Parameters parameters = NewParameters();
  Environment running = Begin(parameters.get());
  ASSERT_NE(running, nullptr);
  ASSERT_TRUE(qvtest::WaitUntil([] { return qvtest::ThreadsNamed(kCleanUpThread) == 1; }));

  qvtest::TempDir dir;
  const std::string plain = dir.file("plain");
  { std::FILE* f = std::fopen(plain.c_str(), "w"); ASSERT_NE(f, nullptr); std::fclose(f); }
  const std::string saved = std::getenv("QUORVANE_TMPDIR");
  setenv("QUORVANE_TMPDIR", plain.c_str(), 1);  // a file: no sync folder can be made
  Parameters failing = NewParameters();
  EXPECT_EQ(RVBegin(failing.get()), nullptr);
  EXPECT_EQ(RVErrorParameter(failing.get()), 51);
  setenv("QUORVANE_TMPDIR", saved.c_str(), 1);

  EXPECT_TRUE(qvtest::WaitUntil([] { return qvtest::ThreadsNamed(kCleanUpThread) == 1; }));
  EXPECT_TRUE(ChildSignalHookedQ());
  EXPECT_EQ(CountOfStartedEnvironments(), 1);
  running.reset();
  EXPECT_TRUE(qvtest::NoThreadNamed(kCleanUpThread));

  // Alone, the failed start takes down what it started.
  setenv("QUORVANE_TMPDIR", plain.c_str(), 1);
  EXPECT_EQ(RVBegin(failing.get()), nullptr);
  setenv("QUORVANE_TMPDIR", saved.c_str(), 1);
  EXPECT_FALSE(ChildSignalHookedQ());
  EXPECT_FALSE(QVDeviceModuleStartedQ());
  EXPECT_EQ(qv_environment::numberOfEnvironments, 0);
}

TEST(Environment, TheChildSignalWakesTheProcessManager) {
  Parameters parameters = NewParameters(true);
  Environment environment = Begin(parameters.get());
  ASSERT_NE(environment, nullptr);
  EXPECT_TRUE(HandlingSignalsQ());
  int go[2];
  ASSERT_EQ(pipe(go), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    char byte;
    close(go[1]);
    _exit(read(go[0], &byte, 1) >= 0 ? 0 : 1);
  }
  qvtest::ChildKiller killer(child);
  close(go[0]);
  qv_environment::getProcessManager()->trackProcess(child);
  // Once the watcher runs, its first pass has found the child alive; only
  // the child signal can bring the next pass in time.
  ASSERT_TRUE(qvtest::WaitUntil([] { return qvtest::ThreadsNamed("QV-ProcessManag") == 1; }));
  close(go[1]);
  EXPECT_TRUE(qvtest::WaitUntil([&] { return kill(child, 0) == -1 && errno == ESRCH; }))
      << "the finished child was reaped";
  killer.release();
}

TEST(Environment, EndClosesRemainingLinksThroughTheCloser) {
  static std::vector<QVLink*> closed;
  closed.clear();
  Environment environment(RVBegin(nullptr));
  ASSERT_NE(environment, nullptr);
  auto* links = &environment->globals->links;
  auto fake = [](uintptr_t n) { return reinterpret_cast<QVLink*>(n); };
  (*links)[3] = fake(0x30);
  (*links)[1] = fake(0x10);
  (*links)[2] = fake(0x20);
  static QVLink_globals* globals = nullptr;
  globals = environment->globals;
  EXPECT_EQ(getLinksInEnvironment(environment.get()), (QVLinkList{fake(0x10), fake(0x20), fake(0x30)}));
  // A closer that takes its link out of the map, as closing a link does.
  const QVLinkCloser previous = QVSetLinkCloser([](QVLink* link) {
    closed.push_back(link);
    for (auto it = globals->links.begin(); it != globals->links.end(); ++it) {
      if (it->second == link) {
        globals->links.erase(it);
        break;
      }
    }
  });
  environment.reset();
  EXPECT_EQ(closed, (std::vector<QVLink*>{fake(0x10), fake(0x20), fake(0x30)}));

  // Without a closer the entries are only dropped, and the end still ends.
  QVSetLinkCloser(nullptr);
  Environment again(RVBegin(nullptr));
  ASSERT_NE(again, nullptr);
  again->globals->links[1] = fake(0x10);
  again.reset();
  EXPECT_EQ(closed.size(), 3u);
  QVSetLinkCloser(previous);
}

TEST(Environment, LinkGlobalsNeedBothFunctions) {
  EXPECT_EQ(RVInit(nullptr, CustomDeallocate, nullptr), nullptr);
  EXPECT_EQ(RVInit(CustomAllocate, nullptr, nullptr), nullptr);
  QVLink_globals* globals = RVInit(CustomAllocate, CustomDeallocate, nullptr);
  ASSERT_NE(globals, nullptr);
  void* block = pool_alloc(globals, 64);
  EXPECT_NE(block, nullptr);
  pool_dealloc(globals, block);
  EXPECT_EQ(pool_alloc(nullptr, 64), nullptr);
  EXPECT_EQ(RVEnclosingEnvironment(nullptr), nullptr);
  RVDeinit(globals);
  RVDeinit(nullptr);
}

namespace {
std::atomic<int> gSignalsSeen{0};
void CountSignal(int) { ++gSignalsSeen; }
}  // namespace

TEST(Environment, ProgramSignalHandlersBesideTheLibrarys) {
  struct sigaction ignore;
  std::memset(&ignore, 0, sizeof ignore);
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(sigaction(SIGUSR1, &ignore, nullptr), 0);
  Parameters parameters = NewParameters(true);
  Environment environment = Begin(parameters.get());
  ASSERT_NE(environment, nullptr);
  gSignalsSeen = 0;
  EXPECT_EQ(RVSetSignalHandlerFromFunction(environment.get(), SIGUSR1, CountSignal), 0);
  raise(SIGUSR1);
  EXPECT_EQ(gSignalsSeen.load(), 1);
  EXPECT_EQ(RVUnsetSignalHandler(environment.get(), SIGUSR1, CountSignal), 0);
  raise(SIGUSR1);  // ignored again, as before
  EXPECT_EQ(gSignalsSeen.load(), 1);
  EXPECT_EQ(RVSetSignalHandler(environment.get(), SIGUSR1, reinterpret_cast<void*>(&CountSignal)), 0);
  raise(SIGUSR1);
  EXPECT_EQ(gSignalsSeen.load(), 2);
  EXPECT_EQ(RVStopHandlingSignal(environment.get(), SIGUSR1), 0);
  raise(SIGUSR1);
  EXPECT_EQ(gSignalsSeen.load(), 2);
  EXPECT_EQ(RVHandleSignal(environment.get(), SIGUSR1), 0);
  raise(SIGUSR1);
  EXPECT_EQ(gSignalsSeen.load(), 3);
  EXPECT_EQ(RVSetSignalHandlerFromFunction(nullptr, SIGUSR1, CountSignal), 0);
  RVUnsetSignalHandler(environment.get(), SIGUSR1, reinterpret_cast<void (*)(int)>(&CountSignal));
}

TEST(Environment, BuiltInDictionariesLoadUnderKeyOne) {
  Environment environment(RVBegin(nullptr));
  ASSERT_NE(environment, nullptr);
  EXPECT_TRUE(qv_environment::loadSymbolDictionaryForKey(2));
  EXPECT_FALSE(qv_environment::symbolManager().hasDictionaryForKey(2));
  EXPECT_TRUE(qv_environment::loadLatestSymbolDictionary());
  EXPECT_TRUE(qv_environment::loadStringDictionaryForKey(1));
  EXPECT_TRUE(static_cast<bool>(qv_environment::symbolManager().getDictionaryForKey(1)));
  EXPECT_TRUE(static_cast<bool>(qv_environment::stringManager().getDictionaryForKey(1)));
  environment.reset();
  EXPECT_FALSE(static_cast<bool>(qv_environment::symbolManager().getDictionaryForKey(1)))
      << "the last environment unloads them";
}
