// Replays session scripts: resolves the exports, makes the calls, and runs the host's own
// commands (name, unload question, waiting, data directory listing).
#include "host/runner.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <memory>
#include <thread>

#include "framework/app.h"
#include "framework/module_loader.h"

namespace qbhost {
namespace {

using enum CommandKind;

const char* TextOrNull(const ScriptArg& arg) {
  return arg.text ? arg.text->c_str() : nullptr;
}

void* HandleOf(const ScriptArg& arg) {
  // Handles are numbers that the host chooses; the add-on never dereferences them.
  return reinterpret_cast<void*>(static_cast<std::uintptr_t>(arg.number));  // NOLINT(performance-no-int-to-ptr)
}

std::uint32_t ResultOf(const ScriptArg& arg) {
  return static_cast<std::uint32_t>(arg.number);
}

std::string Where(const ScriptCommand& command) {
  return command.file + ":" + std::to_string(command.line);
}

constexpr std::size_t kDefaultNameBuffer = 256;
constexpr std::chrono::milliseconds kUnloadPollInterval{50};

}  // namespace

std::chrono::milliseconds HostClock::Now() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch());
}

void HostClock::Sleep(std::chrono::milliseconds duration) {
  std::this_thread::sleep_for(duration);
}

ScriptRunner::ScriptRunner(ExportLookup lookup, std::string dataDir, std::ostream& out, std::ostream& err)
    : m_lookup(std::move(lookup)), m_strDataDir(std::move(dataDir)), m_out(out), m_err(err) {}

std::string ScriptRunner::FindMissingExport(const std::vector<ScriptCommand>& commands) const {
  for (const ScriptCommand& command : commands) {
    const char* name = command.def->exportName;
    if (name && !m_lookup(name)) return Where(command) + ": the module has no export " + name;
  }
  return {};
}

template <typename Fn>
Fn ScriptRunner::Export(const ScriptCommand& command) const {
  return reinterpret_cast<Fn>(m_lookup(command.def->exportName));
}

int ScriptRunner::Run(const std::vector<ScriptCommand>& commands) {
  for (const ScriptCommand& command : commands) {
    if (m_bTrace) m_err << Where(command) << ": " << command.source << std::endl;
    if (!RunOne(command)) return kExitTimeout;
  }
  return kExitOk;
}

bool ScriptRunner::RunOne(const ScriptCommand& command) {
  const std::vector<ScriptArg>& a = command.args;
  switch (command.def->kind) {
    case kName: {
      std::size_t size = a.empty() ? kDefaultNameBuffer : static_cast<std::size_t>(a[0].number);
      // Exactly the size given, so that a write past it is caught by the sanitizers.
      auto buffer = std::make_unique<char[]>(size);
      Export<NameFn>(command)(buffer.get(), static_cast<int>(size));
      m_out << std::string_view(buffer.get(), std::find(buffer.get(), buffer.get() + size, '\0') - buffer.get())
            << std::endl;
      break;
    }
    case kCanUnload:
      m_out << Export<CanUnloadFn>(command)() << std::endl;
      break;
    case kConfigure:
      Export<ProfileFn>(command)(a.empty() ? nullptr : TextOrNull(a[0]));
      break;
    case kProfileNameChange:
      Export<ProfileNameChangeFn>(command)(TextOrNull(a[0]), TextOrNull(a[1]));
      break;
    case kProfileDeleted:
      Export<ProfileFn>(command)(TextOrNull(a[0]));
      break;
    case kSessionCreate:
      Export<SessionCreateFn>(command)(HandleOf(a[0]), TextOrNull(a[1]));
      break;
    case kConnectionStart:
    case kFileDeleted:
    case kDirCreated:
    case kDirDeleted:
      Export<EventFn>(command)(HandleOf(a[0]), ResultOf(a[1]), TextOrNull(a[2]));
      break;
    case kFileDownloaded:
    case kFileUploaded:
    case kFileRenamed:
      Export<TwoPathEventFn>(command)(HandleOf(a[0]), ResultOf(a[1]), TextOrNull(a[2]), TextOrNull(a[3]));
      break;
    case kConnectionEnd:
      Export<ConnectionEndFn>(command)(HandleOf(a[0]), ResultOf(a[1]));
      break;
    case kSessionDestroy:
      Export<SessionDestroyFn>(command)(HandleOf(a[0]));
      break;
    case kLogCommand:
    case kLogResponse:
      Export<LogFn>(command)(HandleOf(a[0]), TextOrNull(a[1]));
      break;
    case kLogStatus: {
      int flag = a.size() > 2 ? static_cast<int>(static_cast<std::uint32_t>(a[2].number)) : 0;
      Export<LogStatusFn>(command)(HandleOf(a[0]), TextOrNull(a[1]), flag);
      break;
    }
    case kInstall:
      Export<InstallFn>(command)(TextOrNull(a[0]));
      break;
    case kUninstall:
      m_out << Export<UninstallFn>(command)(0, 0) << std::endl;
      break;
    case kWaitUnload:
      return WaitUnload(command);
    case kSleep:
      m_pClock->Sleep(std::chrono::milliseconds(a[0].number));
      break;
    case kEcho: {
      std::string line;
      for (std::size_t i = 0; i < a.size(); ++i) {
        if (i) line += ' ';
        line += a[i].text ? *a[i].text : std::string("null");
      }
      m_out << line << std::endl;
      break;
    }
    case kShowData:
      ShowData();
      break;
  }
  return true;
}

bool ScriptRunner::WaitUnload(const ScriptCommand& command) {
  auto canUnload = Export<CanUnloadFn>(command);
  auto limit = std::chrono::milliseconds(std::llround(command.args[0].seconds * 1000));
  auto start = m_pClock->Now();
  for (;;) {
    if (canUnload()) return true;
    auto elapsed = m_pClock->Now() - start;
    if (elapsed >= limit) break;
    m_pClock->Sleep(std::min<std::chrono::milliseconds>(kUnloadPollInterval, limit - elapsed));
  }
  m_err << Where(command) << ": WaitUnload: the module still cannot be unloaded after " << command.args[0].seconds
        << " s" << std::endl;
  return false;
}

void ScriptRunner::ShowData() {
  namespace fs = std::filesystem;
  std::error_code error;
  fs::path dir(m_strDataDir);
  if (!fs::is_directory(dir, error)) {
    m_out << "(no data directory " << m_strDataDir << ")" << std::endl;
    return;
  }
  std::vector<std::string> names;
  for (fs::directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) {
    if (it->is_regular_file(error)) names.push_back(it->path().filename().string());
  }
  std::sort(names.begin(), names.end());
  if (names.empty()) m_out << "(no files in " << m_strDataDir << ")" << std::endl;
  for (const std::string& name : names) {
    std::string contents;
    try {
      contents = ReadWholeFile(m_strDataDir + name);
    } catch (const ParseError&) {
      m_out << "==> " << name << " (unreadable)" << std::endl;
      continue;
    }
    m_out << "==> " << name << " (" << contents.size() << " bytes)\n" << contents << std::endl;
  }
}

std::string DataDirectoryOf(const std::string& modulePath) {
#if defined(_WIN32)
  std::size_t slash = modulePath.find_last_of("\\/");
#else
  std::size_t slash = modulePath.find_last_of('/');
#endif
  std::string dir = slash == std::string::npos ? std::string() : modulePath.substr(0, slash + 1);
  return dir + "Data" + fw::kPathSeparator;
}

int RunScripts(const std::string& modulePath, const std::vector<std::string>& scriptPaths, bool trace,
               std::ostream& out, std::ostream& err) {
  std::vector<ScriptCommand> commands;
  try {
    for (const std::string& path : scriptPaths) {
      std::vector<ScriptCommand> script = LoadScript(path);
      commands.insert(commands.end(), std::make_move_iterator(script.begin()), std::make_move_iterator(script.end()));
    }
  } catch (const ParseError& e) {
    err << "qbhost: " << e.what() << " (nothing was run)" << std::endl;
    return kExitUsage;
  }

  return RunCommands(modulePath, commands, trace, out, err);
}

int RunCommands(const std::string& modulePath, const std::vector<ScriptCommand>& commands, bool trace,
                std::ostream& out, std::ostream& err) {
  fw::LoadedModule module;
  std::string loadError;
  if (!module.Load(modulePath, loadError)) {
    err << "qbhost: cannot load module " << modulePath << ": " << loadError << std::endl;
    return kExitModule;
  }
  ScriptRunner runner([&module](const char* name) { return module.GetProc(name); }, DataDirectoryOf(modulePath), out,
                      err);
  runner.SetTrace(trace);
  std::string missing = runner.FindMissingExport(commands);
  if (!missing.empty()) {
    err << "qbhost: " << modulePath << ": " << missing << " (nothing was run)" << std::endl;
    return kExitModule;
  }
  int result = runner.Run(commands);
  out.flush();
  module.Unload();
  return result;
}

}  // namespace qbhost
