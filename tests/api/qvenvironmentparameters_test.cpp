#include "api/qvenvironmentparameters.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <climits>
#include <cstdlib>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "quorvane.h"

using Quorvane::QVEnvironmentParameters;
using Quorvane::QVObject;

namespace {

struct Release {
  void operator()(RVEnvironmentParameters* p) const { RVReleaseParameters(p); }
};
using Parameters = std::unique_ptr<RVEnvironmentParameters, Release>;

Parameters New(uint64_t a = 46, uint64_t b = 25) { return Parameters(RVNewParameters(a, b)); }

std::string Printed(const QVEnvironmentParameters& p) {
  std::ostringstream out;
  out << p;
  return out.str();
}

void* OtherAllocate(uint64_t size) { return std::malloc(size); }
void OtherDeallocate(void* block) { std::free(block); }

// Puts the library's default allocator pair back however a test ends.
struct DefaultAllocatorsAfter {
  ~DefaultAllocatorsAfter() { QVObject::InstallDefaultAllocators(); }
};

}  // namespace

TEST(EnvironmentParameters, RevisionPairSelectsTheInterfaceRevision) {
  struct Case {
    uint64_t a, b;
    int error;
    uint64_t api;
  };
  const Case cases[] = {
      {46, 25, 0, 25}, {46, 0, 28, 25}, {25, 0, 0, 25}, {3, 0, 0, 1}, {47, 25, 28, 25},
      {25, 46, 0, 25},  // either order
      {0, 0, 0, 1},     {5, 46, 0, 1},  {6, 46, 0, 6},       {46, 26, 28, 25},
      {0, 46, 28, 25},  {UINT64_MAX, 1, 28, 25},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "(" << c.a << ", " << c.b << ")");
    Parameters p = New(c.a, c.b);
    ASSERT_NE(p, nullptr) << "the object is made even for a refused pair";
    EXPECT_EQ(RVErrorParameter(p.get()), c.error);
    EXPECT_EQ(p->apiRevision, c.api);
    EXPECT_EQ(p->revision, 46u);
    EXPECT_TRUE(p->integrityGoodQ());
  }
}

TEST(EnvironmentParameters, DefaultsOfANewObject) {
  Parameters p = New();
  EXPECT_EQ(p->magicValue, 0xfeedac0fu);
  EXPECT_EQ(p->flags, 0u);
  EXPECT_EQ(p->options, 0u);
  EXPECT_EQ(p->alloc, QVObject::GetAllocator());
  EXPECT_EQ(p->dealloc, QVObject::GetDeallocator());
  EXPECT_EQ(p->environmentCookie, nullptr);
  EXPECT_EQ(p->textEncodingSet, 0);
  EXPECT_EQ(p->textEncodingSetGiven, 0);
  EXPECT_EQ(p->makeLinksThreadSafe, 0);
  EXPECT_EQ(p->signalDispositions, Quorvane::QVSignalHandlerDispositionSet());
  EXPECT_EQ(*p, QVEnvironmentParameters());
}

// Every guarded call, in every state of the object: no object or a broken
// magic value answers 29, a stored error answers itself, and only a usable
// object acts. A refused or failed call changes nothing and stores nothing.
TEST(EnvironmentParameters, GuardedCallsAnswerTheirCodesAndRefuseWithoutChange) {
  RVAllocator allocator = nullptr;
  RVDeallocator deallocator = nullptr;
  struct Call {
    std::string name;
    std::function<int(RVEnvironmentParameters*)> call;
    int answer;  // on a usable object
  };
  const std::vector<Call> calls = {
      {"Alloc", [&](auto* p) { return RVAllocParameter(p, &allocator, &deallocator); }, 0},
      {"Alloc null allocator", [&](auto* p) { return RVAllocParameter(p, nullptr, &deallocator); }, 999},
      {"Alloc null deallocator", [&](auto* p) { return RVAllocParameter(p, &allocator, nullptr); }, 999},
      {"Device empty", [](auto* p) { return RVSetDeviceParameter(p, ""); }, 0},
      {"Device null", [](auto* p) { return RVSetDeviceParameter(p, nullptr); }, 0},
      {"Device named", [](auto* p) { return RVSetDeviceParameter(p, "TCPIP"); }, 30},
      {"Encoding 4", [](auto* p) { return RVSetEncodingParameter(p, 4); }, 0},
      {"Encoding 0", [](auto* p) { return RVSetEncodingParameter(p, 0); }, 30},
      {"Encoding 9", [](auto* p) { return RVSetEncodingParameter(p, 9); }, 30},
      {"Encoding -1", [](auto* p) { return RVSetEncodingParameter(p, -1); }, 30},
      {"Encoding INT_MIN", [](auto* p) { return RVSetEncodingParameter(p, INT_MIN); }, 30},
      {"ThreadSafeLinks", [](auto* p) { return RVSetThreadSafeLinksParameter(p); }, 0},
      {"DoNotHandleSignal", [](auto* p) { return RVDoNotHandleSignalParameter(p, SIGPIPE); }, 0},
      {"Resource", [](auto* p) { return RVSetResourceParameter(p, "resources"); }, 30},
      {"Resource null", [](auto* p) { return RVSetResourceParameter(p, nullptr); }, 30},
  };

  for (const Call& c : calls) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.call(nullptr), 29);

    Parameters usable = New();
    const QVEnvironmentParameters before = *usable;
    EXPECT_EQ(c.call(usable.get()), c.answer);
    EXPECT_EQ(usable->lastError, 0) << "settings never store their own failure";
    if (c.answer != 0) {
      EXPECT_EQ(*usable, before);
    }

    Parameters bad_revision = New(47, 25);
    const QVEnvironmentParameters refused = *bad_revision;
    EXPECT_EQ(c.call(bad_revision.get()), 28);
    EXPECT_EQ(*bad_revision, refused);
    EXPECT_EQ(bad_revision->lastError, 28);

    Parameters failed_start = New();
    failed_start->lastError = 51;  // as a failed environment start leaves it
    EXPECT_EQ(c.call(failed_start.get()), 51);
    EXPECT_EQ(*failed_start, before);

    Parameters broken = New();
    broken->magicValue = 0xdeadbeef;
    EXPECT_EQ(c.call(broken.get()), 29);
    broken->magicValue = QVEnvironmentParameters::kMagicValue;
    EXPECT_EQ(*broken, before);
  }
}

TEST(EnvironmentParameters, DeviceTextSwitchesTheNoDevicesOption) {
  Parameters p = New();
  p->options = 6;  // other bits are carried untouched
  EXPECT_EQ(RVSetDeviceParameter(p.get(), ""), 0);
  EXPECT_EQ(p->options, 7u);
  EXPECT_EQ(RVSetDeviceParameter(p.get(), "x"), 30);
  EXPECT_EQ(p->options, 7u);
  EXPECT_EQ(RVSetDeviceParameter(p.get(), nullptr), 0);
  EXPECT_EQ(p->options, 6u);
}

TEST(EnvironmentParameters, EncodingsOneToEightEachSetTheirBit) {
  for (int e = 1; e <= 8; ++e) {
    SCOPED_TRACE(e);
    Parameters p = New();
    EXPECT_EQ(RVSetEncodingParameter(p.get(), e), 0);
    EXPECT_EQ(p->textEncodingSet, 1u << (e - 1));
    EXPECT_EQ(p->textEncodingSetGiven, 1);
    for (int other = 0; other <= 9; ++other) {
      EXPECT_EQ(p->valueForEncodingType(other), other == e ? 1 : 0) << other;
    }
  }
  Parameters p = New();
  EXPECT_EQ(RVSetEncodingParameter(p.get(), 2), 0);
  EXPECT_EQ(RVSetEncodingParameter(p.get(), 7), 0);
  EXPECT_EQ(p->textEncodingSet, 0x42);
}

TEST(EnvironmentParameters, ThreadSafeLinksAndSignals) {
  Parameters p = New();
  EXPECT_EQ(RVSetThreadSafeLinksParameter(p.get()), 0);
  EXPECT_EQ(p->makeLinksThreadSafe, 1);

  EXPECT_EQ(RVDoNotHandleSignalParameter(p.get(), SIGPIPE), 0);
  EXPECT_FALSE(p->signalDispositions.getSignalDisposition(SIGPIPE));
  EXPECT_TRUE(p->signalDispositions.getSignalDisposition(SIGINT));
  p->handleSignal(SIGPIPE);
  EXPECT_TRUE(p->signalDispositions.getSignalDisposition(SIGPIPE));

  // Numbers the set does not hold change nothing.
  const QVEnvironmentParameters before = *p;
  for (int signal : {0, -3, 61, INT_MAX}) EXPECT_EQ(RVDoNotHandleSignalParameter(p.get(), signal), 0);
  EXPECT_EQ(*p, before);
}

TEST(EnvironmentParameters, AllocParameterReportsTheProcessWidePairNotTheStoredOne) {
  DefaultAllocatorsAfter restore;
  Parameters p = New();
  RVSetAllocParameter(p.get(), OtherAllocate, OtherDeallocate);
  EXPECT_EQ(p->alloc, &OtherAllocate);
  EXPECT_EQ(p->dealloc, &OtherDeallocate);

  RVAllocator allocator = nullptr;
  RVDeallocator deallocator = nullptr;
  EXPECT_EQ(RVAllocParameter(p.get(), &allocator, &deallocator), 0);
  EXPECT_EQ(allocator, QVObject::GetAllocator());
  EXPECT_EQ(deallocator, QVObject::GetDeallocator());
  EXPECT_NE(allocator, &OtherAllocate);

  // Once the pair is installed, that is what is reported, and what a new
  // object takes as its default.
  QVObject::SetAllocators(OtherAllocate, OtherDeallocate);
  Parameters made_now = New();
  EXPECT_EQ(made_now->alloc, &OtherAllocate);
  EXPECT_EQ(RVAllocParameter(made_now.get(), &allocator, &deallocator), 0);
  EXPECT_EQ(allocator, &OtherAllocate);
  EXPECT_EQ(deallocator, &OtherDeallocate);
}

TEST(EnvironmentParameters, SetAllocIsNotGuarded) {
  Parameters refused = New(47, 25);
  RVSetAllocParameter(refused.get(), OtherAllocate, nullptr);
  EXPECT_EQ(refused->alloc, &OtherAllocate);
  EXPECT_EQ(refused->dealloc, nullptr);
  RVSetAllocParameter(nullptr, OtherAllocate, OtherDeallocate);  // nothing happens
}

TEST(EnvironmentParameters, ErrorOfNoObjectOrABrokenOne) {
  EXPECT_EQ(RVErrorParameter(nullptr), 29);
  Parameters p = New();
  EXPECT_EQ(RVErrorParameter(p.get()), 0);
  p->magicValue = 0;
  EXPECT_EQ(RVErrorParameter(p.get()), 29);
  p->magicValue = QVEnvironmentParameters::kMagicValue;
  RVReleaseParameters(nullptr);  // ignored
}

// Each compared field on its own makes two objects differ; lastError does not.
TEST(EnvironmentParameters, EqualityComparesEveryFieldButLastError) {
  const std::vector<std::pair<std::string, std::function<void(QVEnvironmentParameters&)>>> changes = {
      {"magicValue", [](auto& p) { p.magicValue = 1; }},
      {"revision", [](auto& p) { p.revision = 45; }},
      {"apiRevision", [](auto& p) { p.apiRevision = 24; }},
      {"flags", [](auto& p) { p.flags = 1; }},
      {"options", [](auto& p) { p.options = 1; }},
      {"alloc", [](auto& p) { p.alloc = OtherAllocate; }},
      {"dealloc", [](auto& p) { p.dealloc = OtherDeallocate; }},
      {"environmentCookie", [](auto& p) { p.environmentCookie = &p; }},
      {"textEncodingSetGiven", [](auto& p) { p.textEncodingSetGiven = 1; }},
      {"textEncodingSet", [](auto& p) { p.textEncodingSet = 1; }},
      {"signalDispositions", [](auto& p) { p.doNotHandleSignal(SIGHUP); }},
      {"makeLinksThreadSafe", [](auto& p) { p.makeLinksThreadSafe = 1; }},
  };
  const QVEnvironmentParameters base;
  for (const auto& [field, change] : changes) {
    SCOPED_TRACE(field);
    QVEnvironmentParameters changed;
    change(changed);
    EXPECT_NE(changed, base);
    EXPECT_FALSE(changed == base);
    // A copy carries the change, by construction and by assignment.
    EXPECT_EQ(QVEnvironmentParameters(changed), changed);
    QVEnvironmentParameters assigned;
    assigned = changed;
    EXPECT_EQ(assigned, changed);
  }

  QVEnvironmentParameters failed;
  failed.lastError = 28;
  EXPECT_EQ(failed, base);
  QVEnvironmentParameters copy(failed);
  EXPECT_EQ(copy.lastError, 28);
  copy = *&copy;
  EXPECT_EQ(copy.lastError, 28);
  EXPECT_TRUE(copy.integrityGoodQ());
}

TEST(EnvironmentParameters, PrintedForm) {
  const std::string ones(60, '1');
  QVEnvironmentParameters p;
  std::ostringstream null_pointer;
  null_pointer << static_cast<const void*>(nullptr);
  EXPECT_EQ(Printed(p),
            "<QVEnvironmentParameters><magicValue>4276988943</magicValue><revision>46</revision>"
            "<apiRevision>25</apiRevision><flags>0</flags><lastError>0</lastError><options>0</options>"
            "<alloc>1</alloc><dealloc>1</dealloc><environmentCookie>" +
                null_pointer.str() +
                "</environmentCookie><textEncodingSet>00000000</textEncodingSet>"
                "<signalDispositions><QVSignalHandlerDispositionSet>" +
                ones +
                "</QVSignalHandlerDispositionSet></signalDispositions>"
                "<makeLinksThreadSafe>0</makeLinksThreadSafe></QVEnvironmentParameters>");

  // Every field away from its default; textEncodingSetGiven is never printed.
  p.apiRevision = 7;
  p.flags = 18446744073709551615u;
  p.lastError = -5;
  p.options = 1;
  p.alloc = nullptr;
  p.environmentCookie = &p;
  p.setEncodingType(1);
  p.setEncodingType(8);
  p.doNotHandleSignal(60);
  p.doNotHandleSignal(1);
  p.makeLinksThreadSafe = 1;
  std::ostringstream cookie;
  cookie << static_cast<const void*>(&p);
  EXPECT_EQ(Printed(p),
            "<QVEnvironmentParameters><magicValue>4276988943</magicValue><revision>46</revision>"
            "<apiRevision>7</apiRevision><flags>18446744073709551615</flags><lastError>-5</lastError>"
            "<options>1</options><alloc>0</alloc><dealloc>1</dealloc><environmentCookie>" +
                cookie.str() +
                "</environmentCookie><textEncodingSet>10000001</textEncodingSet>"
                "<signalDispositions><QVSignalHandlerDispositionSet>0" +
                std::string(58, '1') +
                "0</QVSignalHandlerDispositionSet></signalDispositions>"
                "<makeLinksThreadSafe>1</makeLinksThreadSafe></QVEnvironmentParameters>");
}
