#include "utilities/qvdllloader.h"

#include <dlfcn.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "utilities/qvexception.h"

#include <functional>
#include <string>

using Quorvane::QVDLL;
using Quorvane::QVDLLLoader;
using Quorvane::QVException;
using Quorvane::qvexceptiontype;

namespace {
// The file the C library was loaded from, found independently of the loader.
std::string CLibraryPath() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&getppid), &info) == 0 || info.dli_fname == nullptr) return {};
  return info.dli_fname;
}
}  // namespace

TEST(DLLLoader, FindsSymbolsOfTheRunningProgram) {
  QVDLL self = QVDLLLoader().loadLibrary();
  void* setName = self.loadFunction("pthread_setname_np");
  EXPECT_NE(setName, nullptr);
  auto* ppid = reinterpret_cast<pid_t (*)()>(self.loadFunction("getppid"));
  ASSERT_NE(ppid, nullptr);
  EXPECT_EQ(ppid(), getppid());
  QVDLL copy;
  copy = self;
  EXPECT_EQ(copy.loadFunction("getppid"), reinterpret_cast<void*>(ppid));
}

TEST(DLLLoader, LoadsALibraryByPath) {
  const std::string path = CLibraryPath();
  ASSERT_FALSE(path.empty());
  QVDLL lib = QVDLLLoader().loadLibrary(Quorvane::QVString(path.c_str()));
  auto* ppid = reinterpret_cast<pid_t (*)()>(lib.loadFunction("getppid"));
  ASSERT_NE(ppid, nullptr);
  EXPECT_EQ(ppid(), getppid());
}

TEST(DLLLoader, MissingThingsRaiseType13WithTheLoadersText) {
  struct Case {
    std::function<void()> call;
    const char* mentions;
  } cases[] = {
      {[] { QVDLLLoader().loadLibrary("/no/such/libnothing.so"); }, "/no/such/libnothing.so"},
      {[] { QVDLLLoader().loadLibrary().loadFunction("qv_no_such_symbol_xyz"); },
       "qv_no_such_symbol_xyz"},
  };
  for (auto& c : cases) {
    try {
      c.call();
      ADD_FAILURE() << "no exception";
    } catch (const QVException& e) {
      EXPECT_EQ(e.getType(), qvexceptiontype::cannotLoad);
      EXPECT_EQ(e.getCode(), 0);
      EXPECT_EQ(e.getFile(), "utilities/qvdllloader");
      EXPECT_NE(e.getWhat().find(c.mentions), Quorvane::QVString::npos) << e.getWhat();
    }
  }
}
