// The handshake against a scripted peer over a real socketpair, with the
// bytes compared exactly in both directions; the line decoders and the
// feature text on their own.
#include "api/qvhandshake.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "api/qvenvironment.h"
#include "api/qvlink.h"
#include "quorvane.h"
#include "support/qvlinkharness.h"
#include "support/qvscripteddevice.h"
#include "support/qvtest.h"

namespace {

using qvtest::LinkPlumbing;
using qvtest::ScriptedDevice;

const Quorvane::QVRawStringDictionary kSymbols[] = {{"Sin", 1}, {"Cos", 2}, {nullptr, 0}};
const Quorvane::QVRawStringDictionary kStrings[] = {{"alpha", 1}, {nullptr, 0}};
const Quorvane::QVBuiltInDictionaryTables kKeyOne[] = {{1, kSymbols, kStrings}};

const std::string kLevel2 = "\n-libraryid '!&*' -decoders 0\n";
const std::string kOwnTypes = "33,98,100,102,116,118,120";

// What a level-6 side with key 1 sends, with a given level-3 and level-4 line.
std::string PeerTranscript(const std::string& level, const std::string& line3, const std::string& line4,
                           const std::string& line5 = "-symboldicts 1 -stringdicts 1\n",
                           const std::string& line6 = "Support6digitAsciiUnicode\n") {
  return "Quor vane" + level + kLevel2 + line3 + line4 + line5 + line6;
}

std::string PeerId(const QVLink& link) { return std::string(link.peerEnvironmentId.c_str()); }

bool HasBit(const uint64_t bits[2], unsigned n) { return ((bits[n / 64] >> (n % 64)) & 1) != 0; }

std::vector<unsigned> Bits(const uint64_t bits[2]) {
  std::vector<unsigned> out;
  for (unsigned n = 0; n < 128; ++n) {
    if (HasBit(bits, n)) out.push_back(n);
  }
  return out;
}

std::vector<unsigned> Encodings(const feature_set& features) {
  const uint64_t bits[2] = {features.encodings.mask, features.encodings.reserved};
  return Bits(bits);
}

class Handshake : public ::testing::Test {
 protected:
  void SetUp() override {
    environment_ = RVBegin(nullptr);
    ASSERT_NE(environment_, nullptr);
    qvhs__install_dictionary_tables_for_tests(kKeyOne, 1);
  }
  void TearDown() override {
    qvhs__install_dictionary_tables_for_tests(nullptr, 0);
    RVEnd(environment_);
  }

  std::string OwnLine3() const {
    return std::string("-numericsid greatdane -tokens ") + kOwnTypes + " -textid '" + environment_->textVersion +
           "' -formats 1,2,3,4,5,6,7\n";
  }
  std::string OwnLevel6() const {
    return "Quor vane 6" + kLevel2 + OwnLine3() + "-envid ''\n" + "-symboldicts 1 -stringdicts 1\n" +
           "Support6digitAsciiUnicode\n";
  }

  // One handshake against a peer that has sent `peer` (and, with close, then
  // closed): the answer, with what this side wrote in *written.
  int Run(const std::string& peer, std::string* written, bool close = false) {
    ScriptedDevice device;
    device.WriteBytes(peer);
    if (close) device.ClosePeer();
    std::unique_ptr<LinkPlumbing> plumbing = LinkPlumbing::OverDevice(device.TakeInstance());
    if (plumbing == nullptr) return -100;
    features_ = feature_set{};
    const int code = feature_greeting(environment_, &link_, plumbing->device(), plumbing->queues(), &features_);
    if (!close) device.ClosePeer();  // once all that was written is captured
    if (written != nullptr) *written = device.Captured();
    return code;
  }

  RVEnvironment* environment_ = nullptr;
  QVLink link_;
  feature_set features_{};
};

TEST_F(Handshake, TwoLevel6SidesExchangeEveryLineAndShareEverything) {
  EXPECT_EQ(std::string(environment_->textVersion).size(), 21u);
  const std::string peer = PeerTranscript(" 6", OwnLine3(), "-envid 'peer host'\n");
  std::string written;
  ASSERT_EQ(Run(peer, &written), 0);
  EXPECT_EQ(written.substr(0, 9), "\x51\x75\x6F\x72\x20\x76\x61\x6E\x65");
  EXPECT_EQ(written, OwnLevel6());
  EXPECT_EQ(features_.features, 0x70000u);
  EXPECT_EQ(features_.level, 6u);
  EXPECT_EQ(features_.level_again, 6u);
  EXPECT_STREQ(features_.numerics_id, "greatdane");
  EXPECT_EQ(Bits(features_.binary_types), (std::vector<unsigned>{33, 98, 100, 102, 116, 118, 120}));
  EXPECT_EQ(Encodings(features_), (std::vector<unsigned>{1, 2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(features_.string_optimization, 1);
  EXPECT_EQ(link_.sixDigitUnicode, 1);
  EXPECT_EQ(PeerId(link_), "peer host");
  EXPECT_EQ(link_.symbolDictionaryInUse, 1);
  EXPECT_EQ(link_.stringDictionaryInUse, 1);
  EXPECT_TRUE(link_.symbolDictionary);
  EXPECT_TRUE(link_.stringDictionary);
  EXPECT_EQ(link_.symbolDictionary.get(), qv_environment::symbolManager().getDictionaryForKey(1).get());
}

TEST_F(Handshake, ALevel4PeerExchangesLinesTwoToFourOnly) {
  const std::string peer = "Quor vane 4" + kLevel2 + OwnLine3() + "-envid x\n";
  std::string written;
  ASSERT_EQ(Run(peer, &written), 0);
  EXPECT_EQ(written, "Quor vane 6" + kLevel2 + OwnLine3() + "-envid ''\n");
  EXPECT_EQ(features_.level, 4u);
  EXPECT_EQ(link_.sixDigitUnicode, 0);
  EXPECT_EQ(link_.symbolDictionaryInUse, 0);
  EXPECT_EQ(link_.stringDictionaryInUse, 0);
  EXPECT_FALSE(link_.symbolDictionary);
  EXPECT_EQ(features_.string_optimization, 0);
  EXPECT_EQ(PeerId(link_), "x");
}

TEST_F(Handshake, PeersBelowLevel2ExchangeOnlyGreetingAndLevel) {
  for (const char* level : {" 1", " 0"}) {
    SCOPED_TRACE(level);
    std::string written;
    ASSERT_EQ(Run(std::string("Quor vane") + level + kLevel2, &written), 0);
    EXPECT_EQ(written, "Quor vane 6");
    EXPECT_EQ(features_.features, 0u);
    EXPECT_TRUE(Bits(features_.binary_types).empty());
    EXPECT_EQ(Encodings(features_), (std::vector<unsigned>{7}));
    EXPECT_STREQ(features_.numerics_id, "UniqueID");
  }
}

TEST_F(Handshake, AnOlderPeerSendsFourLinesReadAsLevelsThreeToSix) {
  const std::string peer = std::string("Quorvane\t") + "5" + "Quorvane 4 -numericsid greatdane -tokens 98,33\n" +
                           "-envid old\n" + "-symboldicts 1 -stringdicts 2\n" + "Support6digit\n";
  std::string written;
  ASSERT_EQ(Run(peer, &written), 0);
  EXPECT_EQ(written, "Quor vane 6");
  EXPECT_EQ(features_.level, 4u);  // the level the line names
  EXPECT_EQ(Bits(features_.binary_types), (std::vector<unsigned>{33, 98}));
  EXPECT_EQ(PeerId(link_), "old");
  EXPECT_TRUE(link_.symbolDictionary);
  EXPECT_FALSE(link_.stringDictionary);
  EXPECT_EQ(link_.stringDictionaryInUse, 1);
  EXPECT_EQ(link_.sixDigitUnicode, 0);
}

TEST_F(Handshake, LinesEndingInCarriageReturnAndLinefeedBreakTheLineCount) {
  const std::string peer = "Quor vane 6\n-libraryid x\r\n" + OwnLine3().substr(0, OwnLine3().size() - 1) +
                           "\r\n-envid peer\r\n-symboldicts 1 -stringdicts 1\r\nSupport6digitAsciiUnicode\r\n";
  ASSERT_EQ(Run(peer, nullptr), 0);
  // The empty line after the level-2 line is read as the level-3 line.
  EXPECT_TRUE(Bits(features_.binary_types).empty());
  EXPECT_EQ(Encodings(features_), (std::vector<unsigned>{1}));
  EXPECT_EQ(PeerId(link_), "greatdane");
  EXPECT_FALSE(link_.symbolDictionary);
  EXPECT_EQ(link_.sixDigitUnicode, 0);
}

TEST_F(Handshake, AFirstByteOtherThanALineEndEndsWithDefaultFeatures) {
  std::string written;
  ASSERT_EQ(Run("Quor vane 6X" + OwnLine3(), &written), 0);
  EXPECT_EQ(written, OwnLevel6());
  EXPECT_EQ(features_.features, 0u);
  EXPECT_EQ(Encodings(features_), (std::vector<unsigned>{7}));
}

TEST_F(Handshake, BrokenExchangesFail) {
  const std::string tooLong(600, 'a');
  struct Case {
    const char* name;
    std::string peer;
    bool close;
  } cases[] = {
      {"bad greeting", "Quor vanX 6" + kLevel2, false},
      {"older greeting without tab", "Quorvane! 6" + kLevel2, false},
      {"vanishes in the greeting", "Quor v", true},
      {"vanishes before the line end", "Quor vane 6", true},
      {"vanishes in the level-2 line", "Quor vane 6\n-libraryid", true},
      {"level-2 line too long", "Quor vane 6\n" + tooLong + "\n" + OwnLine3(), false},
      {"level-3 line too long", "Quor vane 3" + kLevel2 + tooLong + "\n", false},
      {"level-6 line at end of input", PeerTranscript(" 6", OwnLine3(), "-envid x\n", "-symboldicts 1\n", "Sup"),
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Run(c.peer, nullptr, c.close), kHandshakeFailed);
  }
}

// The peer writes part of its side, waits until this side has written all it
// can before it needs the next byte, and closes: every stop fails the
// handshake, none hangs it or leaves it established.
TEST_F(Handshake, APeerStoppingAtAnyByteFailsTheHandshake) {
  const std::string peer = PeerTranscript(" 6", OwnLine3(), "-envid x\n");
  const size_t ownTotal = OwnLevel6().size();
  for (size_t stop = 0; stop < peer.size(); ++stop) {
    SCOPED_TRACE(stop);
    ScriptedDevice device;
    std::unique_ptr<LinkPlumbing> plumbing = LinkPlumbing::OverDevice(device.TakeInstance());
    ASSERT_NE(plumbing, nullptr);
    QVLink link;
    feature_set features{};
    int code = -1;
    std::thread side([&] { code = feature_greeting(environment_, &link, plumbing->device(), plumbing->queues(), &features); });
    device.WriteBytes(peer.substr(0, stop));
    const size_t before = stop < 9 ? 9 : stop < 11 ? 11 : ownTotal;
    EXPECT_TRUE(device.WaitCaptured(before));
    device.ClosePeer();
    side.join();
    EXPECT_EQ(code, kHandshakeFailed);
  }
}

TEST_F(Handshake, TwoSidesOverJoinedDevicesAgree) {
  auto [first, second] = ScriptedDevice::MakePair();
  std::unique_ptr<LinkPlumbing> ends[2] = {LinkPlumbing::OverDevice(first->TakeInstance()),
                                           LinkPlumbing::OverDevice(second->TakeInstance())};
  ASSERT_NE(ends[0], nullptr);
  ASSERT_NE(ends[1], nullptr);
  QVLink links[2];
  feature_set features[2] = {};
  int codes[2] = {-1, -1};
  std::thread other([&] {
    codes[1] = feature_greeting(environment_, &links[1], ends[1]->device(), ends[1]->queues(), &features[1]);
  });
  codes[0] = feature_greeting(environment_, &links[0], ends[0]->device(), ends[0]->queues(), &features[0]);
  other.join();
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(codes[i], 0);
    EXPECT_EQ(features[i].level, 6u);
    EXPECT_EQ(features[i].features, 0x70000u);
    EXPECT_STREQ(features[i].numerics_id, "greatdane");
    EXPECT_EQ(Bits(features[i].binary_types), (std::vector<unsigned>{33, 98, 100, 102, 116, 118, 120}));
    EXPECT_EQ(Encodings(features[i]), (std::vector<unsigned>{1, 2, 3, 4, 5, 6, 7}));
    EXPECT_TRUE(links[i].symbolDictionary);
    EXPECT_TRUE(links[i].stringDictionary);
    EXPECT_EQ(links[i].sixDigitUnicode, 1);
  }
}

TEST_F(Handshake, ALoopbackLinkHandshakesWithItself) {
  std::unique_ptr<LinkPlumbing> plumbing = LinkPlumbing::Loopback();
  ASSERT_NE(plumbing, nullptr);
  ASSERT_EQ(feature_greeting(environment_, &link_, plumbing->device(), plumbing->queues(), &features_), 0);
  EXPECT_EQ(features_.level, 6u);
  EXPECT_EQ(features_.features, 0x70000u);
  EXPECT_EQ(Bits(features_.binary_types), (std::vector<unsigned>{33, 98, 100, 102, 116, 118, 120}));
  EXPECT_EQ(Encodings(features_), (std::vector<unsigned>{1, 2, 3, 4, 5, 6, 7}));
  EXPECT_TRUE(link_.symbolDictionary);
  EXPECT_EQ(link_.sixDigitUnicode, 1);
  EXPECT_EQ(PeerId(link_), "");
}

TEST_F(Handshake, ALongPeerEnvironmentIdIsCutTo255Characters) {
  const std::string id(400, 'e');
  ASSERT_EQ(Run(PeerTranscript(" 4", OwnLine3(), "-envid " + id + "\n", "", ""), nullptr), 0);
  EXPECT_EQ(PeerId(link_), id.substr(0, 255));
}

TEST_F(Handshake, WithoutTheOptionTableTheHandshakeAnswers44) {
  const qvoption_row* table = environment_->formatArguments;
  environment_->formatArguments = nullptr;
  EXPECT_EQ(Run(PeerTranscript(" 6", OwnLine3(), "-envid x\n"), nullptr), kHandshakeNoOptionTable);
  environment_->formatArguments = table;
}

TEST(HandshakeWithoutKeys, TheLevel5LineOffersNoKey) {
  RVEnvironment* environment = RVBegin(nullptr);
  ASSERT_NE(environment, nullptr);
  {
    ScriptedDevice device;
    device.WriteBytes("Quor vane 5\n-libraryid\n-numericsid x\n-envid y\n-symboldicts 1 -stringdicts 1\n");
    std::unique_ptr<LinkPlumbing> plumbing = LinkPlumbing::OverDevice(device.TakeInstance());
    ASSERT_NE(plumbing, nullptr);
    QVLink link;
    feature_set features{};
    ASSERT_EQ(feature_greeting(environment, &link, plumbing->device(), plumbing->queues(), &features), 0);
    device.ClosePeer();
    const std::string written = device.Captured();
    const std::string line5 = "-symboldicts  -stringdicts \n";
    ASSERT_GE(written.size(), line5.size());
    EXPECT_EQ(written.substr(written.size() - line5.size()), line5);
    EXPECT_FALSE(link.symbolDictionary);
    EXPECT_EQ(link.symbolDictionaryInUse, 1);
    EXPECT_EQ(features.string_optimization, 1);
  }
  RVEnd(environment);
}

TEST_F(Handshake, Level3LinesDecodeAsTheirWordsSay) {
  struct Case {
    const char* line;
    std::vector<unsigned> types;
    std::vector<unsigned> encodings;
    const char* numerics;
    uint64_t features;
  } cases[] = {
      {"-numericsid UniqueID -tokens 33,80,100", {33, 100}, {1}, "UniqueID", 0x70000},
      {"-numericsid greatdane -tokens 33,80,100,200", {33, 80, 100}, {1}, "greatdane", 0x70000},
      {"-NUMERICSID GREATDANE -tokens 80 -formats ''", {}, {7}, "GREATDANE", 0x70000},
      {"-formats 1,9,3 -textid other -decoders 65536", {}, {1, 3}, "UniqueID", 0x10000},
      {"-formats 1,9 -textid TEXTID", {}, {1, 9}, "UniqueID", 0x70000},
      {"", {}, {1}, "UniqueID", 0x70000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    std::string line = c.line;
    const size_t at = line.find("TEXTID");
    if (at != std::string::npos) line.replace(at, 6, std::string("'") + environment_->textVersion + "'");
    feature_set features{};
    ASSERT_EQ(decode_version3_info(environment_, line.c_str(), &features), 1);
    EXPECT_EQ(Bits(features.binary_types), c.types);
    EXPECT_EQ(Encodings(features), c.encodings);
    EXPECT_STREQ(features.numerics_id, c.numerics);
    EXPECT_EQ(features.features, c.features);
  }
}

TEST_F(Handshake, DictionaryKeysAreChosenFromThePeersList) {
  struct Case {
    const char* keys;
    uint64_t key;
  } cases[] = {{"1", 1}, {"2,3", 0}, {"3,1", 1}, {"", 0}, {"x", 0}, {"01", 1}, {"1x", 1}, {",", 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.keys);
    EXPECT_EQ(determineTheCorrectKey(qv_environment::symbolManager(), c.keys), c.key);
  }
  feature_set features{};
  ASSERT_EQ(decode_version5_info(environment_, &link_, "-symboldicts 2,3 -stringdicts 1", &features), 1);
  EXPECT_FALSE(link_.symbolDictionary);
  EXPECT_TRUE(link_.stringDictionary);
  EXPECT_EQ(link_.symbolDictionaryInUse, 1);
  EXPECT_EQ(link_.stringDictionaryInUse, 1);
  EXPECT_EQ(features.string_optimization, 1);
  EXPECT_EQ(decode_version5_info(environment_, &link_, nullptr, &features), 0);
}

TEST_F(Handshake, OnlyTheWholeLevel6WordKeepsSixDigitEscapes) {
  EXPECT_EQ(decode_version6_info(&link_, "Support6digitAsciiUnicode and more", nullptr), 1);
  EXPECT_EQ(link_.sixDigitUnicode, 1);
  EXPECT_EQ(decode_version6_info(&link_, "Support6digit", nullptr), 1);
  EXPECT_EQ(link_.sixDigitUnicode, 0);
  link_.sixDigitUnicode = 1;
  EXPECT_EQ(decode_version6_info(&link_, nullptr, nullptr), 0);
  EXPECT_EQ(link_.sixDigitUnicode, 0);
}

TEST_F(Handshake, FeatureTextsPrintAndDecodeBack) {
  feature_set features{};
  features.level = features.level_again = 6;
  features.binary_types[0] = (uint64_t{1} << 33) | (uint64_t{1} << 16);
  features.binary_types[1] = uint64_t{1} << (98 - 64);
  features.encodings = set_qvbst{(1u << 1) | (1u << 2), 0};
  features.features = 0x70000;
  const std::string text = "Quorvane 6 -tokens 16,33,98 -formats 1,2 -decoders 458752";
  char buffer[128];
  ASSERT_EQ(put_feature_string(environment_, &features, buffer, sizeof buffer), 0);
  EXPECT_EQ(std::string(buffer), text);

  // Too small: the bytes missing for the whole text, and the words that fitted.
  ASSERT_EQ(put_feature_string(environment_, &features, buffer, 20), static_cast<long>(text.size() + 1 - 20));
  EXPECT_EQ(std::string(buffer), "Quorvane 6 -tokens");

  feature_set decoded{};
  ASSERT_EQ(qvhs__decode_feature_text(environment_, text.c_str(), &decoded), 1);
  EXPECT_EQ(decoded.level, 6u);
  EXPECT_EQ(decoded.level_again, 6u);
  EXPECT_EQ(decoded.features, 0x70000u);
  EXPECT_EQ(Bits(decoded.binary_types), (std::vector<unsigned>{33, 98}));  // 16 lacks bit 5
  EXPECT_EQ(Encodings(decoded), (std::vector<unsigned>{1, 2}));
  EXPECT_EQ(qvhs__decode_feature_text(environment_, nullptr, &decoded), 0);

  feature_set empty{};
  ASSERT_EQ(put_feature_string(environment_, &empty, buffer, sizeof buffer), 0);
  EXPECT_EQ(std::string(buffer), "Quorvane 0 -tokens '' -formats '' -decoders 0");
}

}  // namespace
