// The module entry, as the system's loader drives it: attach starts the module's application
// with the module's path and detach ends it; and finding a loaded module's exports.
#include <gtest/gtest.h>

#include "framework/app.h"
#include "framework/module_loader.h"
#include "test_support.h"

namespace {

// What the module's application object did since the last call.
std::string TakeTrace() {
  const std::string trace = qbtest::GetEnv("QB_TEST_MODULE_TRACE").value_or("");
  qbtest::SetEnv("QB_TEST_MODULE_TRACE", nullptr);
  return trace;
}

TEST(ModuleEntry, AttachStartsTheApplicationWithTheModulePathAndDetachEndsIt) {
  TakeTrace();
  const std::string dir = qbtest::ExecutableDir();
  fw::LoadedModule module;
  std::string error;
  ASSERT_TRUE(module.Load(dir + "fw_test_module" + fw::kModuleExtension, error)) << error;
  EXPECT_STRCASEEQ(TakeTrace().c_str(), ("init " + dir + "fw_test_module.HLP;").c_str());
  auto answer = reinterpret_cast<int (*)()>(module.GetProc("TestModuleAnswer"));
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(answer(), 42);
  EXPECT_EQ(module.GetProc("NoSuchExport"), nullptr);
  EXPECT_EQ(fw::AfxGetApp(), nullptr);  // the module's framework is its own
  module.Unload();
  EXPECT_FALSE(module.IsLoaded());
  EXPECT_EQ(TakeTrace(), "exit detach=1 terminating=0;");
}

}  // namespace
