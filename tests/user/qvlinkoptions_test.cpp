#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "api/qvenvironment.h"
#include "quorvane.h"
#include "tests/api/qvenvironmenttest.h"
#include "user/qvargvparse.h"
#include "user/qvlinkoptions.h"
#include "user/qvopenparameters.h"

namespace {

// An environment without device worlds, for the option tables it binds.
class LinkOptions : public testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(environment_, nullptr); }

  qvtest::EnvironmentHandle handle_{qvtest::BeginWithoutDevices()};
  RVEnvironment* environment_ = handle_.get();
};

// A vector of owned texts, with null entries where asked.
class Argv {
 public:
  Argv(std::initializer_list<const char*> entries) {
    for (const char* e : entries) texts_.emplace_back(e != nullptr ? e : "");
    for (size_t i = 0; i < texts_.size(); ++i) {
      pointers_.push_back(entries.begin()[i] != nullptr ? texts_[i].data() : nullptr);
    }
  }
  char** data() { return pointers_.data(); }
  long size() const { return static_cast<long>(pointers_.size()); }
  std::string at(long i) const {
    const char* entry = pointers_[static_cast<size_t>(i)];
    return entry != nullptr ? entry : "(null)";
  }

 private:
  std::vector<std::string> texts_;
  std::vector<char*> pointers_;
};

using Request = qvopen_request;

long Parse(RVEnvironment* environment, Argv& argv, Request* request, QVArgvUsedSet* used) {
  return argv_to_open_request(environment, argv.size(), argv.data(), request, used);
}

void* FailingAllocate(uint64_t) { return nullptr; }

}  // namespace

TEST_F(LinkOptions, EveryEdgeOfTheOpenRequest) {
  struct Case {
    std::initializer_list<const char*> argv;
    uint64_t options_before;
    long result;
    uint64_t mode;
    const char* name;
    const char* protocol;
    uint64_t options;
    std::vector<std::string> leftovers;
  };
  const Case cases[] = {
      {{"-LINKNAME", "x"}, 0, 1, 0, "x", "", 0, {}},
      {{"-linknam", "x"}, 0, 0, 0, "", "", 0, {"-linknam", "x"}},
      {{"-linkmode", "connect"}, 0, 1, 4, "", "", 0, {}},
      {{"-linkmode", "sideways"}, 0, 0, 0, "", "", 0, {"sideways"}},
      {{"-linkmode", "ParentCONNECT"}, 0, 1, 16, "", "", 0, {}},
      {{"-linkoptions", "RVDontInteract,QVUseIPV6"}, 0, 0, 0, "", "", 0x10100, {}},
      {{"-linkoptions", "qvdontinteract", "rvuseipv6"}, 0, 0, 0, "", "", 0x10100, {}},
      {{"-linkoptions", "0x100|0x3"}, 0x2, 0, 0, "", "", 0x102, {}},
      {{"-linkoptions", "0X100|3"}, 0x7, 0, 0, "", "", 0x103, {}},
      {{"-linkoptions", "12|3"}, 0x7, 0, 0, "", "", 0xF, {}},
      {{"-linkoptions", "0b101"}, 0, 0, 0, "", "", 5, {}},
      {{"-linkoptions", "0b1|0b10"}, 0x6, 0, 0, "", "", 3, {}},
      {{"-linkoptions", "010"}, 0, 0, 0, "", "", 10, {}},
      {{"-linkoptions", "''"}, 0x55, 0, 0, "", "", 0, {}},
      {{"-linkoptions", "12abc"}, 0x7, 0, 0, "", "", 0x7, {"12abc"}},
      {{"-linkoptions", "256,bogus"}, 0x7, 0, 0, "", "", 0x7, {"256,bogus"}},
      {{"-linkoptions", "0x"}, 0x7, 0, 0, "", "", 0x7, {"0x"}},
      {{"-linkoptions", "18446744073709551616"}, 0x7, 0, 0, "", "", 0x7, {"18446744073709551616"}},
      {{"-linkoptions", "18446744073709551615"}, 0, 0, 0, "", "", UINT64_MAX, {}},
      {{"-linkoptions", "256", "-linkname", "x"}, 0, 1, 0, "x", "", 256, {}},
      {{"-linkoptions", "256", "other"}, 0, 0, 0, "", "", 256, {"other"}},
      {{"-linkcreate", "-linkmode", "connect"}, 0, 1, 2, "", "", 0, {}},
      {{"-linkconnect"}, 0, 1, 4, "", "", 0, {}},
      {{"-linkconnect", "-linkcreate", "-linklaunch"}, 0, 1, 8, "", "", 0, {}},
      {{"-linkprotocol", "DEBUG:TCPIP"}, 0, 1, 0, "", "TCPIP", 0, {}},
      {{"-linkprotocol", "debug"}, 0, 1, 0, "", "debug", 0, {}},
      {{"-linkoptions", "256"}, 0, 0, 0, "", "", 256, {}},
      {{"-quorvane"}, 0, 1, 0, "", "", 0, {}},
      {{"prog", "-linkname"}, 0, 0, 0, "", "", 0, {"prog"}},
      {{"-linkhost", "-linkname", "x"}, 0, 1, 0, "x", "", 0, {}},
      {{"-linkname", nullptr, "-linkmode", "connect"}, 0, 0, 0, "", "", 0, {}},
  };
  for (const Case& c : cases) {
    Argv argv(c.argv);
    SCOPED_TRACE(testing::Message() << argv.at(0) << " " << (argv.size() > 1 ? argv.at(1) : ""));
    Request request;
    request.options = c.options_before;
    QVArgvUsedSet used;
    EXPECT_EQ(Parse(environment_, argv, &request, &used), c.result);
    EXPECT_EQ(request.mode, c.mode);
    EXPECT_STREQ(request.name, c.name);
    EXPECT_STREQ(request.protocol, c.protocol);
    EXPECT_EQ(request.options, c.options);
    std::vector<std::string> leftovers;
    for (long i = 0; i < argv.size() && argv.data()[i] != nullptr; ++i) {
      if (!used.Test(i)) leftovers.push_back(argv.at(i));
    }
    EXPECT_EQ(leftovers, c.leftovers);
  }
}

TEST_F(LinkOptions, TextsAreTakenAsGivenAndCallerFieldsKept) {
  Argv argv({"-linkhost", "h.example", "-linkauthentication", "secret", "-linkdevice", "dev", "-linkname",
             "'quoted'"});
  Request request;
  request.authentication = "before";
  EXPECT_EQ(Parse(environment_, argv, &request, nullptr), 1);
  EXPECT_STREQ(request.host, "h.example");
  EXPECT_STREQ(request.authentication, "secret");
  EXPECT_STREQ(request.device, "dev");
  EXPECT_EQ(request.name, argv.data()[7]) << "a text value is the entry itself";
  Argv none({"plain"});
  Request untouched;
  untouched.device = "kept";
  untouched.options = 9;
  EXPECT_EQ(Parse(environment_, none, &untouched, nullptr), 0);
  EXPECT_STREQ(untouched.device, "kept");
  EXPECT_EQ(untouched.options, 9u);
  EXPECT_EQ(Parse(nullptr, none, &untouched, nullptr), 0);
}

TEST_F(LinkOptions, UsedEntriesCoverTheWholeVector) {
  std::vector<std::string> texts(300, "word");
  texts[150] = "-linkname";
  texts[151] = "far";
  texts[299] = "-linkcreate";
  std::vector<char*> argv;
  for (std::string& t : texts) argv.push_back(t.data());
  Request request;
  QVArgvUsedSet used;
  EXPECT_EQ(argv_to_open_request(environment_, static_cast<long>(argv.size()), argv.data(), &request, &used), 1);
  EXPECT_STREQ(request.name, "far");
  EXPECT_EQ(request.mode, 2u);
  EXPECT_TRUE(used.Test(150) && used.Test(151) && used.Test(299));
  EXPECT_FALSE(used.Test(149) || used.Test(152) || used.Test(298));

  char** rest = RVFilterArgv(environment_, argv.data(), argv.data() + argv.size());
  ASSERT_EQ(rest, argv.data() + 3);
  EXPECT_STREQ(argv[0], "-linkname");
  EXPECT_STREQ(argv[1], "far");
  EXPECT_STREQ(argv[2], "-linkcreate");
  for (size_t i = 3; i < argv.size(); ++i) EXPECT_STREQ(argv[i], "word");
}

TEST_F(LinkOptions, FilterKeepsBothPartsInOrder) {
  Argv argv({"prog", "-linkname", "x", "a", "-linkoptions", "1", "2", "b", "-LinkMode", "listen", "c"});
  char** rest = RVFilterArgv(environment_, argv.data(), argv.data() + argv.size());
  ASSERT_EQ(rest, argv.data() + 7);
  const char* expected[] = {"-linkname", "x", "-linkoptions", "1", "2", "-LinkMode", "listen", "prog", "a", "b", "c"};
  for (long i = 0; i < argv.size(); ++i) EXPECT_STREQ(argv.data()[i], expected[i]) << i;
  Argv plain({"a", "b"});
  EXPECT_EQ(RVFilterArgv(environment_, plain.data(), plain.data() + 2), plain.data());
  EXPECT_EQ(RVFilterArgv(nullptr, plain.data(), plain.data() + 2), nullptr);
  EXPECT_EQ(RVFilterArgv(environment_, plain.data() + 2, plain.data()), nullptr);
  EXPECT_EQ(RVFilterArgv(environment_, plain.data(), plain.data()), plain.data());
}

TEST_F(LinkOptions, AFailedCopyOfAnOptionListIsReported) {
  Argv argv({"-linkoptions", "256", "-linkname", "x"});
  Request request;
  const auto saved = environment_->allocate;
  environment_->allocate = FailingAllocate;
  EXPECT_EQ(Parse(environment_, argv, &request, nullptr), kParseArgvNoMemory);
  environment_->allocate = saved;
  EXPECT_EQ(RVFilterArgv(environment_, argv.data(), argv.data() + argv.size()), argv.data() + 4);
  EXPECT_EQ(Parse(environment_, argv, &request, nullptr), 1);
}

TEST_F(LinkOptions, ParsesOnSeveralThreadsDoNotShareDestinations) {
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      const std::string name = "name" + std::to_string(t);
      const std::string options = std::to_string(t + 1);
      for (int i = 0; i < 2000; ++i) {
        Argv argv({"-linkname", name.c_str(), "-linkoptions", options.c_str()});
        Request request;
        if (Parse(environment_, argv, &request, nullptr) != 1 || request.name != name ||
            request.options != static_cast<uint64_t>(t + 1)) {
          ++wrong;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST(ArgvParser, CompactsLeftoversAndParsesTheHandshakeTable) {
  // The handshake's way: its own copy of format_arguments, numbers only.
  qvoption_row rows[kFormatArgumentRows + 1];
  std::memcpy(rows, format_arguments, sizeof rows);
  uint64_t level = ~uint64_t{0};
  uint64_t decoders = ~uint64_t{0};
  const char* numerics = "UniqueID";
  const char* tokens = "";
  const char* textid = "UniqueID";
  const char* formats = "1";
  rows[0].destination = &level;
  rows[1].destination = &numerics;
  rows[2].destination = &tokens;
  rows[3].destination = &textid;
  rows[4].destination = &formats;
  rows[5].destination = &decoders;
  Argv argv({"QUORVANE", "6", "-numericsid", "greatdane", "stray", "-tokens", "33,98", "-decoders", "458752",
             "QVDontInteract"});
  long leftover = 0;
  EXPECT_EQ(_parse_argv(argv.size(), argv.data(), rows, &leftover, nullptr, nullptr), 1);
  EXPECT_EQ(level, 6u);
  EXPECT_STREQ(numerics, "greatdane");
  EXPECT_STREQ(tokens, "33,98");
  EXPECT_STREQ(textid, "UniqueID");
  EXPECT_EQ(decoders, 458752u);
  ASSERT_EQ(leftover, 2) << "an option word means nothing to a numbers-only list";
  EXPECT_STREQ(argv.data()[0], "stray");
  EXPECT_STREQ(argv.data()[1], "QVDontInteract");
  EXPECT_EQ(parse_argv(argv.size(), argv.data(), nullptr), 0);
}

TEST(ArgvParser, TablesAreLookedUpByRowSize) {
  dictionary options{};
  dictionary modes{};
  dictionary words{};
  EXPECT_EQ(init_argdicts(nullptr, nullptr, &options, &modes, &words), 11);
  EXPECT_EQ(_name2code(&modes, "Listen", sizeof(qvmode_row)), 2);
  EXPECT_STREQ(_code2name(&modes, 16, sizeof(qvmode_row)), "ParentConnect");
  const auto* row = static_cast<const qvoption_row*>(_index2dict(&options, 5, sizeof(qvoption_row)));
  ASSERT_NE(row, nullptr);
  EXPECT_STREQ(row->name, "-linkoptions");
  EXPECT_EQ(row->table, linkoption_keys);
  EXPECT_EQ(_index2dict(&options, 11, sizeof(qvoption_row)), nullptr);
  const auto* word = static_cast<const qvoptionword_row*>(_name2dict(&words, "QVForceYield", sizeof(qvoptionword_row)));
  ASSERT_NE(word, nullptr);
  EXPECT_EQ(word->value, 0x200u);
}
