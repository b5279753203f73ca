// A shared object for the tests of the module entry. Its application object appends what
// happens to it to the environment variable QB_TEST_MODULE_TRACE, where a test still finds it
// after the module is gone; QB_TEST_MODULE_FAIL_INIT makes its InitInstance fail.
#include <cstdlib>
#include <string>

#include "framework/app.h"
#include "framework/export.h"

namespace {

void Trace(const std::string& entry) {
  const char* old = std::getenv("QB_TEST_MODULE_TRACE");
  const std::string trace = (old != nullptr ? old : "") + entry + ";";
  setenv("QB_TEST_MODULE_TRACE", trace.c_str(), 1);
}

class TraceApp : public fw::CWinApp {
 public:
  bool InitInstance() override {
    Trace("init " + HelpFilePath());
    return std::getenv("QB_TEST_MODULE_FAIL_INIT") == nullptr;
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

QB_EXPORT int TestModuleAnswer() {
  return 42;
}
