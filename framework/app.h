// The module's application object: one instance per module, started from the module's
// attach notification and ended from its detach notification.
//
// On Windows the framework's DllMain calls InitInstance on DLL_PROCESS_ATTACH (after the C++
// run-time has constructed the global objects) and ExitInstance on DLL_PROCESS_DETACH. On ELF
// platforms there is no such notification; the module defines, right after its application
// object, FW_MODULE_ENTRY(), a static object whose construction and destruction play the same
// roles (C++ orders them after and before the application object of the same file).
#pragma once

#include <string>

namespace fw {

class CWinApp {
 public:
  CWinApp();  // registers this object as the module's application object
  CWinApp(const CWinApp&) = delete;
  CWinApp& operator=(const CWinApp&) = delete;
  virtual ~CWinApp();

  // Runs once after the module was loaded; false makes the load fail (ExitInstance follows).
  virtual bool InitInstance();
  // Runs once when the module is unloaded; returns the module's exit code.
  virtual int ExitInstance();

  // Full path of the module file with its extension replaced by ".HLP" (the framework's
  // help-file path). Set before InitInstance runs; empty when the module path is unknown.
  const std::string& HelpFilePath() const { return m_strHelpFilePath; }

  // Sets the module path explicitly (hosts and tests that link the add-on statically).
  void SetModuleFilePath(const std::string& path);

 private:
  std::string m_strHelpFilePath;
};

// The module's application object, or null before it is constructed.
CWinApp* AfxGetApp();

// The application's name, the caption of its message boxes: the module's file name without
// its extension ("QBNotifyAddOn"); empty while no module path is known.
std::string AfxGetAppName();

// Path separator and the extension that the add-on gives its module path.
#if defined(_WIN32)
inline constexpr char kPathSeparator = '\\';
inline constexpr const char* kModuleExtension = ".DLL";
#else
inline constexpr char kPathSeparator = '/';
inline constexpr const char* kModuleExtension = ".so";
#endif

// True while the module's detach notification runs (Windows: inside DllMain, where the loader
// lock is held and no thread can finish ending). Code that waits for threads must not wait then.
bool InModuleDetach();

// True while the process itself is ending (Windows: DLL_PROCESS_DETACH at process exit, when
// every other thread has already been ended by the system). Nothing may wait for another
// thread then.
bool ProcessTerminating();

// Module entry on ELF platforms: attaches in its constructor, detaches in its destructor.
// On Windows DllMain does the work and this object does nothing.
class ModuleEntry {
 public:
  ModuleEntry();
  ~ModuleEntry();
  ModuleEntry(const ModuleEntry&) = delete;
  ModuleEntry& operator=(const ModuleEntry&) = delete;
};

}  // namespace fw

#define FW_MODULE_ENTRY() static const fw::ModuleEntry fwModuleEntry_
