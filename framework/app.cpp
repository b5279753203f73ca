// The module's application object registry and the attach and detach sequence that the
// backends' module entries run.
#include "framework/app.h"

#include <atomic>

#include "framework/backend.h"

namespace fw {
namespace {

std::atomic<CWinApp*> g_app{nullptr};
std::atomic<bool> g_inModuleDetach{false};
std::atomic<bool> g_processTerminating{false};
// Set while InitInstance has succeeded and ExitInstance has not run yet.
std::atomic<bool> g_attached{false};

// The module path with the extension of its file name replaced by ".HLP" (appended when the
// file name has none).
std::string HelpPathOf(const std::string& modulePath) {
  if (modulePath.empty()) return {};
  const std::size_t nameStart = modulePath.find_last_of("/\\") + 1;  // npos + 1 == 0
  const std::size_t dot = modulePath.rfind('.');
  const std::size_t stem = (dot != std::string::npos && dot >= nameStart) ? dot : modulePath.size();
  return modulePath.substr(0, stem) + ".HLP";
}

void RunExitInstance(CWinApp& app) {
  try {
    app.ExitInstance();
  } catch (...) {
    // The module is going away: nothing can be reported and nothing may escape.
  }
}

}  // namespace

CWinApp::CWinApp() {
  CWinApp* expected = nullptr;
  g_app.compare_exchange_strong(expected, this);
}

CWinApp::~CWinApp() {
  CWinApp* expected = this;
  g_app.compare_exchange_strong(expected, nullptr);
}

bool CWinApp::InitInstance() {
  return true;
}

int CWinApp::ExitInstance() {
  return 0;
}

void CWinApp::SetModuleFilePath(const std::string& path) {
  m_strHelpFilePath = HelpPathOf(path);
}

CWinApp* AfxGetApp() {
  return g_app.load();
}

std::string AfxGetAppName() {
  const CWinApp* app = g_app.load();
  if (app == nullptr) return {};
  // The help-file path is the module path with its extension replaced by ".HLP".
  const std::string& path = app->HelpFilePath();
  const std::size_t nameStart = path.find_last_of("/\\") + 1;  // npos + 1 == 0
  const std::size_t dot = path.rfind('.');
  return path.substr(nameStart, dot != std::string::npos && dot >= nameStart ? dot - nameStart : std::string::npos);
}

bool InModuleDetach() {
  return g_inModuleDetach.load();
}

bool ProcessTerminating() {
  return g_processTerminating.load();
}

namespace backend {

bool AttachModule(const std::string& modulePath) {
  CWinApp* app = g_app.load();
  if (app == nullptr) return true;
  bool ok = false;
  try {
    app->SetModuleFilePath(modulePath);
    ok = app->InitInstance();
  } catch (...) {
    ok = false;
  }
  if (!ok) {
    RunExitInstance(*app);
    return false;
  }
  g_attached = true;
  return true;
}

void DetachModule(bool processTerminating) {
  CWinApp* app = g_app.load();
  if (app == nullptr || !g_attached.exchange(false)) return;
  g_processTerminating = processTerminating;
  g_inModuleDetach = true;
  RunExitInstance(*app);
  g_inModuleDetach = false;
}

}  // namespace backend
}  // namespace fw
