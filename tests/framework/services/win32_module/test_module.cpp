// A DLL for the tests of the module entry. Its application object appends what happens to it
// to the process environment variable QB_TEST_MODULE_TRACE, where a test still finds it after
// the DLL is gone; QB_TEST_MODULE_FAIL_INIT makes its InitInstance fail.
#include <windows.h>

#include <string>

#include "framework/app.h"

namespace {

void Trace(const std::string& entry) {
  char buffer[4096] = {};
  const DWORD length = GetEnvironmentVariableA("QB_TEST_MODULE_TRACE", buffer, sizeof buffer);
  std::string trace = length < sizeof buffer ? std::string(buffer, length) : std::string();
  trace += entry + ";";
  SetEnvironmentVariableA("QB_TEST_MODULE_TRACE", trace.c_str());
}

class TraceApp : public fw::CWinApp {
 public:
  bool InitInstance() override {
    Trace("init " + HelpFilePath());
    return GetEnvironmentVariableA("QB_TEST_MODULE_FAIL_INIT", nullptr, 0) == 0;
  }
  int ExitInstance() override {
    Trace(std::string("exit detach=") + (fw::InModuleDetach() ? "1" : "0") +
          " terminating=" + (fw::ProcessTerminating() ? "1" : "0"));
    return 0;
  }
};

TraceApp theApp;

}  // namespace

extern "C" __declspec(dllexport) int TestModuleAnswer() {
  return 42;
}
