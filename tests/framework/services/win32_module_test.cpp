// Windows: the DLL entry (attach, detach, a failed InitInstance), loading modules, and the
// string table read from the module's own resources.
#if defined(_WIN32)

#include <gtest/gtest.h>

#include <string>

// Before the framework's headers: it removes the character-set macros of <windows.h>.
#include "framework/win32/windows_api.h"

#include "framework/app.h"
#include "framework/module_loader.h"
#include "framework/strings.h"

namespace {

constexpr const char* kTraceVariable = "QB_TEST_MODULE_TRACE";
constexpr const char* kFailVariable = "QB_TEST_MODULE_FAIL_INIT";

std::string ExecutableDir() {
  char path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string dir(path, length);
  return dir.substr(0, dir.find_last_of('\\') + 1);
}

// What the test module's application object did since the last call.
std::string TakeTrace() {
  char buffer[4096] = {};
  const DWORD length = GetEnvironmentVariableA(kTraceVariable, buffer, sizeof buffer);
  SetEnvironmentVariableA(kTraceVariable, nullptr);
  return std::string(buffer, length < sizeof buffer ? length : 0);
}

class Win32ModuleEntryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetEnvironmentVariableA(kFailVariable, nullptr);
    TakeTrace();
  }
  void TearDown() override { SetEnvironmentVariableA(kFailVariable, nullptr); }

  const std::string m_dir = ExecutableDir();
  const std::string m_path = m_dir + "win32_test_module.dll";
};

TEST_F(Win32ModuleEntryTest, AttachStartsTheApplicationWithTheModulePathAndDetachEndsIt) {
  fw::LoadedModule module;
  std::string error;
  ASSERT_TRUE(module.Load(m_path, error)) << error;
  EXPECT_STRCASEEQ(TakeTrace().c_str(), ("init " + m_dir + "win32_test_module.HLP;").c_str());

  auto answer = reinterpret_cast<int (*)()>(module.GetProc("TestModuleAnswer"));
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(answer(), 42);
  EXPECT_EQ(module.GetProc("NoSuchExport"), nullptr);

  module.Unload();
  EXPECT_FALSE(module.IsLoaded());
  EXPECT_EQ(TakeTrace(), "exit detach=1 terminating=0;");
}

TEST_F(Win32ModuleEntryTest, FailedInitInstanceFailsTheLoadAndEndsTheApplicationOnce) {
  SetEnvironmentVariableA(kFailVariable, "1");
  fw::LoadedModule module;
  std::string error;
  EXPECT_FALSE(module.Load(m_path, error));
  EXPECT_FALSE(module.IsLoaded());
  EXPECT_NE(error.find("1114"), std::string::npos) << error;  // ERROR_DLL_INIT_FAILED
  const std::string trace = TakeTrace();
  EXPECT_EQ(trace.find("init "), 0u) << trace;
  EXPECT_EQ(trace.find("init ", 1), std::string::npos) << trace;
  EXPECT_EQ(trace.find("exit "), trace.rfind("exit ")) << trace;
  EXPECT_NE(trace.find("exit "), std::string::npos) << trace;

  // Nothing of the failed load stays behind: the next load starts afresh.
  SetEnvironmentVariableA(kFailVariable, nullptr);
  ASSERT_TRUE(module.Load(m_path, error)) << error;
  module.Unload();
  EXPECT_STRCASEEQ(TakeTrace().c_str(),
                   ("init " + m_dir + "win32_test_module.HLP;exit detach=1 terminating=0;").c_str());
}

TEST_F(Win32ModuleEntryTest, AMissingModuleFailsWithTheSystemsReason) {
  fw::LoadedModule module;
  std::string error;
  EXPECT_FALSE(module.Load(m_dir + "no_such_module.dll", error));
  EXPECT_NE(error.find("126"), std::string::npos) << error;  // ERROR_MOD_NOT_FOUND
  EXPECT_EQ(module.GetProc("TestModuleAnswer"), nullptr);
}

// Every id agrees with LoadStringA: found or not, and the same bytes where the ANSI code page
// is Windows-1252 (LoadStringA converts to the ANSI code page, the framework always to 1252).
TEST(Win32StringTable, EveryIdAgreesWithTheSystemsLoader) {
  HINSTANCE module = GetModuleHandleA(nullptr);
  int found = 0;
  for (unsigned id = 0; id <= 0xFFFF; ++id) {
    char buffer[4096];
    const int length = LoadStringA(module, id, buffer, sizeof buffer);
    std::string text;
    ASSERT_EQ(fw::LoadString(id, text), length > 0) << "id " << id;
    if (length > 0 && GetACP() == 1252) {
      ASSERT_EQ(text, std::string(buffer, length)) << "id " << id;
    }
    found += length > 0;
  }
  EXPECT_GT(found, 20);
  EXPECT_EQ(fw::LoadString(6505),
            "Fehler beim \xD6"
            "ffnen der Datei");
  std::string text = "old";
  EXPECT_FALSE(fw::LoadString(0x10000 + 6505, text));
  EXPECT_EQ(text, "");
}

}  // namespace

#endif  // _WIN32
