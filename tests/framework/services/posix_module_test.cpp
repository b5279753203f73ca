// POSIX: the module entry of a shared object (its path, attach, detach, a failed
// InitInstance) and loading modules.
#if !defined(_WIN32)

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <string>

#include "framework/app.h"
#include "framework/module_loader.h"

namespace {

constexpr const char* kTraceVariable = "QB_TEST_MODULE_TRACE";
constexpr const char* kFailVariable = "QB_TEST_MODULE_FAIL_INIT";

std::string ExecutableDir() {
  char path[PATH_MAX] = {};
  if (realpath("/proc/self/exe", path) == nullptr) return {};
  const std::string exe(path);
  return exe.substr(0, exe.rfind('/') + 1);
}

std::string TakeTrace() {
  const char* trace = std::getenv(kTraceVariable);
  std::string result = trace != nullptr ? trace : "";
  unsetenv(kTraceVariable);
  return result;
}

class PosixModuleEntryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv(kFailVariable);
    TakeTrace();
  }
  void TearDown() override { unsetenv(kFailVariable); }

  const std::string m_dir = ExecutableDir();
  const std::string m_path = m_dir + "posix_test_module.so";
};

TEST_F(PosixModuleEntryTest, AttachStartsTheApplicationWithTheModulePathAndDetachEndsIt) {
  fw::LoadedModule module;
  std::string error;
  ASSERT_TRUE(module.Load(m_path, error)) << error;
  EXPECT_EQ(TakeTrace(), "init " + m_dir + "posix_test_module.HLP;");

  auto answer = reinterpret_cast<int (*)()>(module.GetProc("TestModuleAnswer"));
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(answer(), 42);
  EXPECT_EQ(module.GetProc("NoSuchExport"), nullptr);
  // The module's framework is its own: this program has no application object.
  EXPECT_EQ(fw::AfxGetApp(), nullptr);

  module.Unload();
  EXPECT_FALSE(module.IsLoaded());
  EXPECT_EQ(TakeTrace(), "exit detach=1 terminating=0;");
}

TEST_F(PosixModuleEntryTest, AFailedInitInstanceEndsTheApplicationOnce) {
  setenv(kFailVariable, "1", 1);
  fw::LoadedModule module;
  std::string error;
  ASSERT_TRUE(module.Load(m_path, error)) << error;  // a constructor cannot fail dlopen
  module.Unload();
  EXPECT_EQ(TakeTrace(), "init " + m_dir + "posix_test_module.HLP;exit detach=0 terminating=0;");
}

TEST_F(PosixModuleEntryTest, MissingModulesFailWithAReason) {
  fw::LoadedModule module;
  std::string error;
  EXPECT_FALSE(module.Load(m_dir + "no_such_module.so", error));
  EXPECT_NE(error, "");
  EXPECT_FALSE(module.Load("", error));
  EXPECT_NE(error, "");
  EXPECT_EQ(module.GetProc("TestModuleAnswer"), nullptr);
}

}  // namespace

#endif  // !_WIN32
