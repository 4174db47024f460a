// Environment and link queries: versions, the compiler text in every
// encoding (checked against iconv), the environment id limit, numerics,
// protocol names, the environment's links, device information and names.
#include <gtest/gtest.h>
#include <iconv.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "api/qvenvironment.h"
#include "api/qvlink.h"
#include "api/qvqueries.h"
#include "quorvane.h"
#include "tests/api/qvtypedtest.h"
#include "tests/support/qvscripteddevice.h"

namespace {

// The bytes of text in an iconv encoding, as the independent oracle.
std::string Iconv(const char* to, const std::string& text) {
  iconv_t cd = iconv_open(to, "UTF-8");
  EXPECT_NE(cd, reinterpret_cast<iconv_t>(-1));
  std::string in = text;
  std::string out(text.size() * 4 + 8, '\0');
  char* inp = in.data();
  char* outp = out.data();
  size_t inLeft = in.size();
  size_t outLeft = out.size();
  iconv(cd, &inp, &inLeft, &outp, &outLeft);
  iconv_close(cd);
  out.resize(out.size() - outLeft);
  return out;
}

using QueriesTest = qvtest::TypedLinkTest;

TEST_F(QueriesTest, VersionNumbers) {
  int interfaceNumber = 0;
  int revision = 0;
  int build = 0;
  RVVersionNumbers(environment_.get(), &interfaceNumber, &revision, &build);
  EXPECT_EQ(interfaceNumber, 4);
  EXPECT_EQ(revision, 46);
  EXPECT_EQ(build, 2022012131);
  RVVersionNumbers(nullptr, &interfaceNumber, nullptr, &build);
  EXPECT_EQ(interfaceNumber, -1);
  EXPECT_EQ(build, -1);
  long i = 0;
  long r = 0;
  QVVersionNumber0(environment_.get(), &i, &r);
  EXPECT_EQ(i, 4);
  EXPECT_EQ(r, 46);
  QVVersionNumber0(nullptr, &i, &r);
  EXPECT_EQ(i, -1);
  EXPECT_EQ(r, -1);
}

TEST_F(QueriesTest, CompilerTextInEveryEncoding) {
  const char* text = nullptr;
  ASSERT_EQ(RVCompilerID(environment_.get(), &text), 1);
  const std::string compiler = text;
  EXPECT_FALSE(compiler.empty());
  EXPECT_EQ(RVCompilerID(environment_.get(), nullptr), 0);
  RVReleaseCompilerID(environment_.get(), text);

  int length = 0;
  const unsigned char* utf8 = nullptr;
  ASSERT_EQ(RVUTF8CompilerID(environment_.get(), &utf8, &length), 1);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(utf8), static_cast<size_t>(length)), compiler);
  RVReleaseUTF8CompilerID(environment_.get(), utf8);

  // UCS-2 without a mark; UTF-16 and UTF-32 with one in this machine's order,
  // counted in the length.
  const unsigned short* ucs2 = nullptr;
  ASSERT_EQ(RVUCS2CompilerID(environment_.get(), &ucs2, &length), 1);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(ucs2), static_cast<size_t>(length) * 2),
            Iconv("UTF-16LE", compiler));
  RVReleaseUCS2CompilerID(environment_.get(), ucs2);
  const unsigned short* utf16 = nullptr;
  ASSERT_EQ(RVUTF16CompilerID(environment_.get(), &utf16, &length), 1);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(utf16), static_cast<size_t>(length) * 2),
            Iconv("UTF-16LE", "\xEF\xBB\xBF" + compiler));
  RVReleaseUTF16CompilerID(environment_.get(), utf16);
  const unsigned int* utf32 = nullptr;
  ASSERT_EQ(RVUTF32CompilerID(environment_.get(), &utf32, &length), 1);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(utf32), static_cast<size_t>(length) * 4),
            Iconv("UTF-32LE", "\xEF\xBB\xBF" + compiler));
  RVReleaseUTF32CompilerID(environment_.get(), utf32);
  EXPECT_EQ(RVUTF32CompilerID(environment_.get(), &utf32, nullptr), 0);
  RVReleaseUTF32CompilerID(environment_.get(), nullptr);
}

TEST_F(QueriesTest, EnvironmentIdHoldsAt255Characters) {
  const std::string fits(255, 'a');
  const std::string over(256, 'b');
  EXPECT_EQ(RVSetEnvIDString(environment_.get(), fits.c_str()), 1);
  EXPECT_EQ(std::string(environment_->environmentId), fits);
  EXPECT_EQ(RVSetEnvIDString(environment_.get(), over.c_str()), 0);
  EXPECT_EQ(std::string(environment_->environmentId), fits);
  EXPECT_EQ(QVSetEnvIDString0(environment_.get(), "x"), 0);
  EXPECT_STREQ(environment_->environmentId, "x");
  EXPECT_EQ(RVSetEnvIDString(nullptr, "x"), 0);
  EXPECT_EQ(RVSetEnvIDString(environment_.get(), nullptr), 0);
}

// The identity query with the caller's capacity; without a count the
// capacity is 0 and the name is left alone.
TEST_F(QueriesTest, NumericsQueryTakesTheCountInAndOut) {
  char name[64] = {};
  unsigned char types[16] = {};
  long count = sizeof name;
  EXPECT_EQ(RVNumericsQuery(environment_.get(), 0, name, types, &count), 0);
  EXPECT_STREQ(name, environment_->ownNumericsId);
  EXPECT_EQ(count, static_cast<long>(std::strlen(name)));
  EXPECT_EQ(std::memcmp(types, environment_->ownFeatures.binary_types, sizeof types), 0);
  char untouched[4] = {'q', 0, 0, 0};
  EXPECT_EQ(RVNumericsQuery(environment_.get(), 0, untouched, types, nullptr), 0);
  EXPECT_EQ(untouched[0], 'q');
  EXPECT_EQ(RVNumericsQuery(nullptr, 0, name, types, &count), -1);
}

TEST_F(QueriesTest, LinksOfTheEnvironmentInNumberOrder) {
  QVLink** links = reinterpret_cast<QVLink**>(1);
  int count = -1;
  EXPECT_EQ(RVGetLinksFromEnvironment(environment_.get(), &links, &count), 1);
  EXPECT_EQ(links, nullptr);
  EXPECT_EQ(count, 0);
  QVLink* a = Loopback();
  QVLink* b = Loopback();
  ASSERT_EQ(RVGetLinksFromEnvironment(environment_.get(), &links, &count), 1);
  ASSERT_EQ(count, 2);
  EXPECT_EQ(links[0], a);
  EXPECT_EQ(links[1], b);
  RVReleaseLinksFromEnvironment(environment_.get(), links);
  EXPECT_EQ(RVGetLinksFromEnvironment(environment_.get(), nullptr, &count), 0);
  RVClose(a);
  RVClose(b);
}

TEST_F(QueriesTest, LoopbackDeviceInformation) {
  QVLink* link = Loopback();
  ASSERT_NE(link, nullptr);
  struct Case {
    unsigned long selector;
    int answer;
    long size;
    int64_t value;
  };
  const Case cases[] = {{0x80000000, 1, 8, 5}, {0x80000006, 1, 8, 1}, {0x80000007, 1, 8, 0},
                        {0xC0000003, 1, 0, -1}, {0x80000001, 0, 16, -1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.selector);
    int64_t value = -1;
    long size = 16;
    EXPECT_EQ(RVDeviceInformation(link, c.selector, &value, &size), c.answer);
    EXPECT_EQ(size, c.size);
    EXPECT_EQ(value, c.value);
  }
  // A capacity smaller than the answer gets nothing.
  int64_t value = -1;
  long size = 4;
  EXPECT_EQ(RVDeviceInformation(link, 0x80000000, &value, &size), 0);
  EXPECT_EQ(value, -1);

  int32_t first = -1;
  int32_t second = -2;
  size = 4;
  ASSERT_EQ(RVDeviceInformation(link, 0x80000500, &first, &size), 1);
  EXPECT_EQ(size, 4);
  size = 4;
  ASSERT_EQ(RVDeviceInformation(link, 0x80000500, &second, &size), 1);
  EXPECT_EQ(first, second);
  EXPECT_GE(first, 0);
  EXPECT_EQ(RVDeviceInformation(nullptr, 0x80000000, &value, &size), 0);
  RVClose(link);
}

TEST_F(QueriesTest, LoopbackDeviceNameCarriesItsNumber) {
  environment_->loopbackCounter = 3;
  QVLink* link = Loopback();
  ASSERT_NE(link, nullptr);
  char* name = nullptr;
  ASSERT_EQ(RVLowLevelDeviceName(link, &name), 1);
  EXPECT_STREQ(name, "loopback-3");
  RVReleaseLowLevelDeviceName(link, name);
  EXPECT_EQ(RVLowLevelDeviceName(link, nullptr), 0);
  RVClose(link);
}

TEST_F(QueriesTest, DeviceQueriesReachTheDevice) {
  qvtest::ScriptedDevice device(qvtest::ScriptedOptions{"scripted-name", 4096, 4096});
  QVLink* link = QVInternalMake(environment_->globals, device.TakeInstance(), nullptr);
  ASSERT_NE(link, nullptr);
  char* name = nullptr;
  ASSERT_EQ(RVLowLevelDeviceName(link, &name), 1);
  EXPECT_STREQ(name, "scripted-name");
  RVReleaseLowLevelDeviceName(link, name);
  Destroy(link);
}

TEST_F(QueriesTest, ProtocolNamesComeFromTheDeviceManager) {
  char** names = nullptr;
  int count = -1;
  EXPECT_EQ(RVGetAvailableLinkProtocolNames(nullptr, &names, &count), -1);
  ASSERT_EQ(RVGetAvailableLinkProtocolNames(environment_.get(), &names, &count), 0);
  const auto expected = environment_->deviceManager->availableDevices();
  ASSERT_EQ(count, static_cast<int>(expected.size()));
  for (int i = 0; i < count; ++i) EXPECT_EQ(std::string(names[i]), std::string(expected[static_cast<size_t>(i)]));
  RVReleaseLinkProtocolNames(environment_.get(), names, count);
}

TEST_F(QueriesTest, HostListsReuseTheContainer) {
  unsigned long count = 0;
  char** list = RVGetNetworkAddressList(environment_.get(), &count);
  void* container = environment_->interfaces;
  ASSERT_NE(container, nullptr);
  bool loopbackSeen = false;
  for (unsigned long i = 0; i < count; ++i) loopbackSeen |= std::string(list[i]) == "127.0.0.1";
  EXPECT_TRUE(loopbackSeen);
  RVReleaseNetworkAddressList(environment_.get(), list, count);
  list = RVGetNetworkAddressList(environment_.get(), &count);
  EXPECT_EQ(environment_->interfaces, container);
  RVReleaseNetworkAddressList(environment_.get(), list, count);
  list = RVGetDomainNameList(environment_.get(), &count);
  std::vector<std::string> names(list, list + count);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(std::adjacent_find(names.begin(), names.end()), names.end());
  RVReleaseDomainNameList(environment_.get(), list, count);
  EXPECT_EQ(RVGetNetworkAddressList(nullptr, &count), nullptr);
}

}  // namespace
