// A module for the module-entry tests. Its application object appends what happens to it to
// the environment variable QB_TEST_MODULE_TRACE, where a test still finds it after the module
// is gone.
#include <string>

#include "framework/app.h"
#include "framework/export.h"

#if defined(_WIN32)
#include "framework/win32/windows_api.h"
#define TEST_MODULE_EXPORT extern "C" __declspec(dllexport)
#else
#include <cstdlib>
#define TEST_MODULE_EXPORT QB_EXPORT
#endif

namespace {

std::string GetVariable(const char* name) {
#if defined(_WIN32)
  char buffer[4096];
  const DWORD length = GetEnvironmentVariableA(name, buffer, sizeof buffer);
  return length < sizeof buffer ? std::string(buffer, length) : std::string();
#else
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
#endif
}

void Trace(const std::string& entry) {
  const std::string trace = GetVariable("QB_TEST_MODULE_TRACE") + entry + ";";
#if defined(_WIN32)
  SetEnvironmentVariableA("QB_TEST_MODULE_TRACE", trace.c_str());
#else
  setenv("QB_TEST_MODULE_TRACE", trace.c_str(), 1);
#endif
}

class TraceApp : public fw::CWinApp {
 public:
  bool InitInstance() override {
    Trace("init " + HelpFilePath());
    return true;
  }
  int ExitInstance() override {
    Trace(std::string("exit detach=") + (fw::InModuleDetach() ? "1" : "0") +
          " terminating=" + (fw::ProcessTerminating() ? "1" : "0"));
    return 0;
  }
};

TraceApp theApp;
FW_MODULE_ENTRY();

}  // namespace

TEST_MODULE_EXPORT int TestModuleAnswer() {
  return 42;
}
