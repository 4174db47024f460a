// Program lookup, quote stripping, descriptor-number words and whole-file
// locks, against real files under QUORVANE_TMPDIR.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "device/qvfileutils.h"
#include "support/qvtest.h"

namespace {

void* Allocate(uint64_t size) { return std::malloc(size); }
void Release(void* block) { std::free(block); }
void* NoMemory(uint64_t) { return nullptr; }

std::string Owned(char* text) {
  std::string copy = text == nullptr ? "<null>" : text;
  std::free(text);
  return copy;
}

TEST(ClearQuotes, StripsOnePairOfMatchingQuotes) {
  struct Case { const char* in; const char* out; } cases[] = {
      {"\"/bin/a b\"", "/bin/a b"}, {"'x'", "x"},   {"\"", "\""},         {"\"x'", "\"x'"},
      {"\"\"", ""},                 {"plain", "plain"}, {"\"\"x\"\"", "\"x\""}, {"", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Owned(qvfile_clear_quotes(c.in, static_cast<long>(std::strlen(c.in)), Allocate, Release)), c.out)
        << c.in;
  }
  EXPECT_EQ(qvfile_clear_quotes("ab", 2, NoMemory, Release), nullptr);
}

TEST(ProgramOfCommandLine, QuotesAndBackslashes) {
  struct Case { const char* in; const char* out; } cases[] = {
      {"/usr/bin/prog -a b", "/usr/bin/prog"},
      {"\"/opt/my dir/prog\" -x", "/opt/my dir/prog"},
      {"/opt/my\\ dir/prog -x", "/opt/my dir/prog"},
      {"'/opt/my dir/prog' -x", "/opt/my dir/prog"},
      {"/opt/a\\bc -x", "/opt/a\\bc"},
      {"/opt/a/\"b c\"/d e", "/opt/a/b c/d"},
      {"  /bin/lead", "/bin/lead"},
      {"/bin/end\\", "/bin/end\\"},
      {"\"/bin/never closed", ""},
      {"", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Owned(qvfile_get_exe_name_from_command(c.in, Allocate, Release)), c.out) << c.in;
  }
  EXPECT_EQ(qvfile_get_exe_name_from_command("/bin/x", NoMemory, Release), nullptr);
}

class PathSearch : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* saved = std::getenv("PATH");
    savedPath_ = saved == nullptr ? "" : saved;
    dirA_ = qvtest::PrivateRoot() + "/a";
    dirB_ = qvtest::PrivateRoot() + "/b";
    mkdir(dirA_.c_str(), 0700);
    mkdir(dirB_.c_str(), 0700);
    Make(dirB_ + "/tool", 0700);
    Make(dirB_ + "/plain", 0600);
    Make(dirB_ + "/groupx", 0610);
    Make(dirB_ + "/otherx", 0601);
  }
  void TearDown() override {
    setenv("PATH", savedPath_.c_str(), 1);
    qvtest::RemoveTree(dirA_);
    qvtest::RemoveTree(dirB_);
  }
  static void Make(const std::string& path, mode_t mode) {
    int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    close(fd);
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
  }
  std::string savedPath_, dirA_, dirB_;
};

TEST_F(PathSearch, EveryComponentIsSearchedTheLastOneIncluded) {
  struct Case { std::string path; std::string name; int exists; int executable; } cases[] = {
      {dirB_, "tool", 1, 1},                 // no ':' at all
      {dirA_ + ":" + dirB_, "tool", 1, 1},   // found in the last component
      {dirA_ + ":" + dirB_, "plain", 1, 0},
      {dirA_ + ":" + dirB_, "groupx", 1, 1},  // group-execute counts
      {dirA_ + ":" + dirB_, "otherx", 1, 0},  // others-execute does not
      {dirA_, "tool", 0, 0},
      {dirA_, dirB_ + "/tool", 1, 1},  // the name itself
      {dirA_ + ":" + dirB_, "missing", 0, 0},
  };
  for (const Case& c : cases) {
    setenv("PATH", c.path.c_str(), 1);
    EXPECT_EQ(qvfile_exists_q(c.name.c_str(), Allocate, Release), c.exists) << c.path << " " << c.name;
    EXPECT_EQ(qvfile_executable_q(c.name.c_str(), Allocate, Release), c.executable) << c.path << " " << c.name;
  }
  setenv("PATH", dirB_.c_str(), 1);
  EXPECT_EQ(qvfile_exists_q("tool", NoMemory, Release), -1);
}

TEST_F(PathSearch, DirectoryNamesAreListed) {
  std::map<std::string, int> names{{"stale", 1}};
  EXPECT_EQ(qvfile_load_dir_names(dirB_.c_str(), &names), 0);
  std::map<std::string, int> expected{{".", 1}, {"..", 1}, {"groupx", 1}, {"otherx", 1}, {"plain", 1}, {"tool", 1}};
  EXPECT_EQ(names, expected);
  EXPECT_EQ(qvfile_load_dir_names((dirA_ + "/none").c_str(), &names), 0);
  EXPECT_TRUE(names.empty());
  EXPECT_EQ(qvfile_load_dir_names(nullptr, &names), -1);
}

TEST(AllNumeric, Words) {
  const char* digits[] = {"0", "12"};
  const char* letters[] = {"1", "1a"};
  const char* empty[] = {"3", ""};
  const char* missing[] = {"3", nullptr};
  EXPECT_EQ(qvu_allnumeric(2, digits, 7), 1);
  EXPECT_EQ(qvu_allnumeric(2, letters, 7), 0);
  EXPECT_EQ(qvu_allnumeric(2, empty, 7), 7);
  EXPECT_EQ(qvu_allnumeric(2, missing, 5), 5);
  EXPECT_EQ(qvu_allnumeric(0, nullptr, 7), 1);
}

TEST(FileLock, AnotherProcessSeesTheHolder) {
  const std::string path = qvtest::PrivateRoot() + "/locked";
  int fd = open(path.c_str(), O_CREAT | O_RDWR, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(qvfile_lock(fd), 1);
  const pid_t self = getpid();
  // The child asks about the lock this process holds, then about a free one.
  int status = qvtest::RunInChild([&] {
    int own = open(path.c_str(), O_RDWR);
    if (qvfile_is_locked(own) != self) return 1;
    return 0;
  });
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ASSERT_EQ(qvfile_unlock(fd), 1);
  status = qvtest::RunInChild([&] {
    int own = open(path.c_str(), O_RDWR);
    return qvfile_is_locked(own) == 0 ? 0 : 1;
  });
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(qvfile_is_locked(-1), -1);
  close(fd);
  unlink(path.c_str());
}

TEST(CloseDescriptors, KeepsOnlyTheListed) {
  int status = qvtest::RunInChild([] {
    int keepA = open("/dev/null", O_RDONLY);
    int gone = open("/dev/null", O_RDONLY);
    int keepB = dup2(keepA, 900);
    const int keep[] = {keepB, keepA};
    qvfile_close_open_file_references_except(keep, 2);
    if (fcntl(keepA, F_GETFD) < 0 || fcntl(keepB, F_GETFD) < 0) return 1;
    if (fcntl(gone, F_GETFD) >= 0) return 2;
    qvfile_close_open_file_references();
    return fcntl(keepA, F_GETFD) < 0 && fcntl(0, F_GETFD) >= 0 ? 0 : 3;
  });
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
