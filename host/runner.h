// Replays parsed session scripts against a module's exports: one call at a time, on the
// calling thread, with the signatures of the add-on interface.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "framework/export.h"
#include "host/script.h"

namespace qbhost {

// Exit codes of qbhost.
inline constexpr int kExitOk = 0;
inline constexpr int kExitUsage = 1;    // bad command line, script or .reg file; registry failure
inline constexpr int kExitModule = 2;   // the module cannot be loaded or lacks an export
inline constexpr int kExitTimeout = 3;  // WaitUnload ran out of time

// The exports' signatures (the argument bytes on 32-bit Windows in the comments).
using NameFn = void(QB_STDCALL*)(char* pszBuffer, int nBufferSize);                             // 8
using CanUnloadFn = int(QB_STDCALL*)();                                                         // 0
using ProfileFn = void(QB_STDCALL*)(const char* pszProfile);                                    // 4
using ProfileNameChangeFn = void(QB_STDCALL*)(const char* pszOld, const char* pszNew);          // 8
using SessionCreateFn = void(QB_STDCALL*)(void* hSession, const char* pszProfile);              // 8
using EventFn = void(QB_STDCALL*)(void* hSession, std::uint32_t nResult, const char* pszPath);  // 12
using TwoPathEventFn = void(QB_STDCALL*)(void* hSession, std::uint32_t nResult, const char* pszFrom,
                                         const char* pszTo);                             // 16
using ConnectionEndFn = void(QB_STDCALL*)(void* hSession, std::uint32_t nResult);        // 8
using SessionDestroyFn = void(QB_STDCALL*)(void* hSession);                              // 4
using LogFn = void(QB_STDCALL*)(void* hSession, const char* pszLine);                    // 8
using LogStatusFn = void(QB_STDCALL*)(void* hSession, const char* pszLine, int bError);  // 12
using InstallFn = void(QB_STDCALL*)(const char* pszAddOnDir);                            // 4
using UninstallFn = int(QB_STDCALL*)(std::uint32_t, std::uint32_t);                      // 8

// Finds an export by name; null when the module has none.
using ExportLookup = std::function<void*(const char* name)>;

// Time for WaitUnload and Sleep; tests replace it so that nothing really waits.
class HostClock {
 public:
  virtual ~HostClock() = default;
  virtual std::chrono::milliseconds Now();
  virtual void Sleep(std::chrono::milliseconds duration);
};

class ScriptRunner {
 public:
  // `dataDir` is the module's data directory (ShowData), ending with a separator.
  ScriptRunner(ExportLookup lookup, std::string dataDir, std::ostream& out, std::ostream& err);

  void SetTrace(bool trace) { m_bTrace = trace; }
  void SetClock(HostClock* clock) { m_pClock = clock; }

  // Checks that every export the commands call exists. Returns an empty text, or the error
  // that names the first missing export and the line that needs it.
  std::string FindMissingExport(const std::vector<ScriptCommand>& commands) const;

  // Runs the commands in order; stops early only when WaitUnload runs out of time.
  // Returns kExitOk or kExitTimeout. The exports must have been checked.
  int Run(const std::vector<ScriptCommand>& commands);

 private:
  bool RunOne(const ScriptCommand& command);
  bool WaitUnload(const ScriptCommand& command);
  void ShowData();
  template <typename Fn>
  Fn Export(const ScriptCommand& command) const;

  ExportLookup m_lookup;
  std::string m_strDataDir;
  std::ostream& m_out;
  std::ostream& m_err;
  bool m_bTrace = false;
  HostClock m_realClock;
  HostClock* m_pClock = &m_realClock;
};

// The data directory of a module: its directory followed by "Data" and the path separator.
std::string DataDirectoryOf(const std::string& modulePath);

// Loads the module, checks the exports that the scripts need, and runs the scripts in one
// load of the module, which is unloaded at the end. Every script is parsed before anything
// runs. Returns one of the exit codes.
int RunScripts(const std::string& modulePath, const std::vector<std::string>& scriptPaths, bool trace,
               std::ostream& out, std::ostream& err);

// The same for commands made by the caller: "qbhost configure", "install" and "uninstall".
int RunCommands(const std::string& modulePath, const std::vector<ScriptCommand>& commands, bool trace,
                std::ostream& out, std::ostream& err);

}  // namespace qbhost
