// Load / deliver / unload cycles of the add-on module, as a host that unloads it at any moment
// would run them, while busy threads keep every CPU loaded. Each cycle loads a private copy of
// the module, ends one FTP session with a mail due (to a loopback SMTP sink, by address or by
// name), waits a chosen time around the delivery worker's first tick and unloads the module:
// without asking QBAddOnCanUnload, after asking once whatever the answer, or after asking until
// it answers 1. A cycle fails when the unload does not return (the process then ends at once
// with exit code 3: a thread stuck in the unload keeps the process from ending normally), when
// the module is still mapped 30 s after it (an unload during a delivery leaves the module to
// its worker until the delivery has ended), or when a journal file is left behind once the
// module is gone. A crash ends the process, which the caller sees in its exit status.
//
//   unload_stress <module> [--cycles N] [--first K] [--burners N] [--delays FROM:TO:STEP]
//                          [--reply-delay MS]
//   unload_stress <module> --exit-during-delivery MS   a child process ends MS after the
//                                                      session's end without unloading the
//                                                      module; no journal file may be left
// The sink answers each command after --reply-delay ms (default 20), as a server across a
// network does, so that unloads also land in the middle of conversations.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#if defined(_WIN32)
#include "framework/win32/windows_api.h"
#else
#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "framework/export.h"
#include "framework/module_loader.h"
#include "framework/registry.h"
#include "loopback.h"
#include "test_support.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kUnloadTimeout{15000};
constexpr milliseconds kGoneTimeout{30000};
constexpr milliseconds kCanUnloadTimeout{30000};
constexpr int kChildTimeoutSeconds = 60;
constexpr int kExitHung = 3;
constexpr const char* kConfigurations = ".DEFAULT\\Software\\Tarsk Software\\FTP Quorbit Notify\\Configurations\\";

enum class Mode { kNoAsk, kAskOnce, kAskUntilYes };
constexpr const char* kModeNames[] = {"no-ask", "ask-once", "ask-until-yes"};

struct Options {
  std::string module;
  int cycles = 30;
  int first = 0;
  int burners = static_cast<int>(std::max(2u, std::thread::hardware_concurrency()));
  int delayFrom = 950, delayTo = 1050, delayStep = 5;
  int replyDelayMs = 20;
  int exitAfterMs = -1;       // the parent of an ending process
  int childExitAfterMs = -1;  // the ending process itself
  std::string profile;        // the child's
};

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

[[noreturn]] void EndHung(const std::string& what) {
  std::printf("HANG %s\n", what.c_str());
  std::fflush(stdout);
#if defined(_WIN32)
  ::TerminateProcess(::GetCurrentProcess(), kExitHung);
#endif
  std::_Exit(kExitHung);
}

// Whether the module file at `path` is still mapped into the process.
bool IsMapped(const std::string& path) {
#if defined(_WIN32)
  return ::GetModuleHandleA(path.c_str()) != nullptr;
#else
  void* handle = ::dlopen(path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
  if (handle != nullptr) ::dlclose(handle);
  return handle != nullptr;
#endif
}

// Threads that keep the CPUs busy until they are destroyed.
std::vector<std::jthread> Burners(int count) {
  std::vector<std::jthread> threads;
  for (int i = 0; i < count; ++i) {
    threads.emplace_back([](const std::stop_token& stop) {
      volatile unsigned long spin = 0;
      while (!stop.stop_requested()) spin = spin + 1;
    });
  }
  return threads;
}

// An SMTP server on loopback that accepts every message, one connection at a time.
class SmtpSink {
 public:
  explicit SmtpSink(int replyDelayMs)
      : m_replyDelay(replyDelayMs), m_thread([this](const std::stop_token& stop) { Serve(stop); }) {}
  unsigned Port() const { return m_listener.Port(); }
  int Delivered() const { return m_delivered; }

 private:
  void Serve(const std::stop_token& stop) {
    while (!stop.stop_requested()) {
      std::unique_ptr<qbtest::Peer> peer = m_listener.Accept(milliseconds(200));
      if (peer) Converse(*peer, stop);
    }
  }
  bool Reply(qbtest::Peer& peer, const char* reply) const {
    std::this_thread::sleep_for(m_replyDelay);
    return peer.SendAll(reply);
  }
  void Converse(qbtest::Peer& peer, const std::stop_token& stop) {
    if (!Reply(peer, "220 sink\r\n")) return;
    std::string input;
    bool inData = false;
    for (int idle = 0; idle < 100 && !stop.stop_requested();) {
      const int count = peer.ReadSome(input, 100);
      if (count == 0) return;
      idle = count < 0 ? idle + 1 : 0;
      // Every command line, and in DATA the message up to its marker, gets its reply.
      for (std::size_t end; (end = input.find(inData ? "\r\n.\r\n" : "\r\n")) != std::string::npos;) {
        const std::string command = inData ? "" : input.substr(0, 4);
        input.erase(0, end + (inData ? 5 : 2));
        const char* reply = inData              ? "250 queued\r\n"
                            : command == "DATA" ? "354 go on\r\n"
                            : command == "QUIT" ? "221 bye\r\n"
                                                : "250 ok\r\n";
        m_delivered += inData ? 1 : 0;
        inData = command == "DATA";
        if (inData) input.insert(0, "\r\n");  // the marker may follow at once
        if (!Reply(peer, reply) || command == "QUIT") return;
      }
    }
  }

  const milliseconds m_replyDelay;
  std::atomic<int> m_delivered{0};
  qbtest::Listener m_listener;
  std::jthread m_thread;  // last: stopped and joined first
};

// The profile's settings: a mail for every session, to the sink.
bool StoreProfile(const std::string& profile, const std::string& server, unsigned port) {
  fw::RegKey key;
  if (key.Create(fw::HKeyUsers(), (kConfigurations + profile).c_str()) != fw::kErrorSuccess) return false;
  const auto text = [&](const char* name, const std::string& value) {
    return fw::RegSetValue(key.Get(), name, fw::kRegSz, value.c_str(), static_cast<std::uint32_t>(value.size() + 1));
  };
  const auto number = [&](const char* name, std::uint32_t value) {
    return fw::RegSetValue(key.Get(), name, fw::kRegDword, &value, sizeof value);
  };
  return text("SMTP Server", server) == fw::kErrorSuccess && number("SMTP Port", port) == fw::kErrorSuccess &&
         text("Deliver to Email", "ops@example.com") == fw::kErrorSuccess &&
         text("From Email", "ftp@example.com") == fw::kErrorSuccess && number("Log Lines", 5) == fw::kErrorSuccess &&
         number("Notify When", 1) == fw::kErrorSuccess;
}

struct AddOn {
  fw::LoadedModule module;
  void(QB_STDCALL* sessionCreate)(void*, const char*) = nullptr;
  void(QB_STDCALL* connectionStart)(void*, unsigned, const char*) = nullptr;
  void(QB_STDCALL* logStatus)(void*, const char*, int) = nullptr;
  void(QB_STDCALL* sessionDestroy)(void*) = nullptr;
  int(QB_STDCALL* canUnload)() = nullptr;

  template <typename Function>
  bool Find(Function& function, const char* name) {
    function = reinterpret_cast<Function>(module.GetProc(name));
    return function != nullptr;
  }
  bool Load(const std::string& path, std::string& error) {
    if (!module.Load(path, error)) return false;
    if (Find(sessionCreate, "QBAddOnSessionCreate") && Find(connectionStart, "QBAddOnConnectionStart") &&
        Find(logStatus, "QBAddOnLogStatus") && Find(sessionDestroy, "QBAddOnSessionDestroy") &&
        Find(canUnload, "QBAddOnCanUnload")) {
      return true;
    }
    error = "an export is missing";
    return false;
  }

  // One session with a failed download: a mail is due when it ends.
  void RunSession(void* handle, const std::string& profile) const {
    sessionCreate(handle, profile.c_str());
    connectionStart(handle, 0, "ftp.example");
    logStatus(handle, "Transfer failed", 1);
    sessionDestroy(handle);
  }

  // Unloads on the calling thread, as a host does, under a watchdog: a module whose unload
  // does not return ends the process.
  Clock::duration Unload(const std::string& what) {
    std::promise<void> unloaded;
    std::thread watchdog([&what, done = unloaded.get_future()] {
      if (done.wait_for(kUnloadTimeout) != std::future_status::ready) EndHung(what);
    });
    const Clock::time_point start = Clock::now();
    module.Unload();
    const Clock::duration took = Clock::now() - start;
    unloaded.set_value();
    watchdog.join();
    return took;
  }
};

struct Totals {
  int cycles = 0, lingering = 0, filesLeft = 0, errors = 0;
};

// Runs this program again with `arguments` and returns its exit status (-1 when it could not
// be run, or did not end within kChildTimeoutSeconds).
int RunChild(const std::string& self, const std::vector<std::string>& arguments) {
  std::string command = "\"" + self + "\"";
  for (const std::string& argument : arguments) command += " \"" + argument + "\"";
#if defined(_WIN32)
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!::CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
    return -1;
  }
  ::CloseHandle(process.hThread);
  DWORD status = static_cast<DWORD>(-1);
  if (::WaitForSingleObject(process.hProcess, kChildTimeoutSeconds * 1000) != WAIT_OBJECT_0) {
    std::printf("HANG the child did not end\n");
    ::TerminateProcess(process.hProcess, 1);
  } else {
    ::GetExitCodeProcess(process.hProcess, &status);
  }
  ::CloseHandle(process.hProcess);
  return static_cast<int>(status);
#else
  const int status = std::system(("timeout " + std::to_string(kChildTimeoutSeconds) + " " + command).c_str());
  if (status == -1 || !WIFEXITED(status)) return -1;
  if (WEXITSTATUS(status) == 124) std::printf("HANG the child did not end\n");
  return WEXITSTATUS(status);
#endif
}

// The child: ends the process `delayMs` after a session's end, with the module loaded.
[[noreturn]] void ExitWithTheModuleLoaded(const Options& options) {
  AddOn addOn;
  std::string error;
  if (!addOn.Load(options.module, error)) {
    std::printf("ERROR %s\n", error.c_str());
    std::exit(1);
  }
  addOn.RunSession(reinterpret_cast<void*>(1), options.profile);
  std::this_thread::sleep_for(milliseconds(options.childExitAfterMs));
  std::fflush(stdout);
#if defined(_WIN32)
  ::ExitProcess(0);
#else
  std::exit(0);
#endif
}

class Stress {
 public:
  explicit Stress(const Options& options) : m_options(options), m_sink(options.replyDelayMs) {
    m_profile = "UnloadStress-" + std::to_string(Clock::now().time_since_epoch().count());
    std::filesystem::copy_file(options.module, ModulePath());
  }
  ~Stress() { qbtest::DeleteKeyTree(fw::HKeyUsers(), kConfigurations + m_profile); }
  Stress(const Stress&) = delete;
  Stress& operator=(const Stress&) = delete;

  bool Cycle(int index, Totals& totals) {
    const Mode mode = static_cast<Mode>(index % 3);
    const int span = (m_options.delayTo - m_options.delayFrom) / m_options.delayStep + 1;
    const int delay = m_options.delayFrom + (index / 3) % span * m_options.delayStep;
    const std::string server = (index / 3 / span) % 2 == 0 ? "127.0.0.1" : "localhost";
    const std::string what = "cycle " + std::to_string(index) + " " + kModeNames[index % 3] + " delay " +
                             std::to_string(delay) + " " + server;
    ++totals.cycles;

    std::string error;
    AddOn addOn;
    if (!StoreProfile(m_profile, server, m_sink.Port()) || !addOn.Load(ModulePath(), error)) {
      std::printf("ERROR %s: %s\n", what.c_str(), error.empty() ? "registry" : error.c_str());
      ++totals.errors;
      return false;
    }
    addOn.RunSession(reinterpret_cast<void*>(static_cast<std::uintptr_t>(index + 1)), m_profile);
    const Clock::time_point ended = Clock::now();
    std::this_thread::sleep_until(ended + milliseconds(delay));
    int answer = mode == Mode::kNoAsk ? -1 : addOn.canUnload();
    while (mode == Mode::kAskUntilYes && answer != 1) {
      if (Clock::now() - ended > kCanUnloadTimeout) {
        std::printf("ERROR %s: QBAddOnCanUnload never answered 1\n", what.c_str());
        ++totals.errors;
        break;
      }
      std::this_thread::sleep_for(milliseconds(20));
      answer = addOn.canUnload();
    }
    const Clock::time_point unloadAt = Clock::now();
    const Clock::duration unloading = addOn.Unload(what);

    while (IsMapped(ModulePath()) && Clock::now() - unloadAt < kGoneTimeout) {
      std::this_thread::sleep_for(milliseconds(5));
    }
    const Clock::duration gone = Clock::now() - unloadAt;
    const bool lingering = IsMapped(ModulePath());
    if (lingering) {
      std::printf("LINGER %s: the module is still mapped %.0f ms after the unload\n", what.c_str(), Ms(gone));
    }
    totals.lingering += lingering ? 1 : 0;
    const std::vector<std::string> left = qbtest::ListDirectory(DataDir());
    for (const std::string& name : left) {
      std::printf("LEFT %s: %s\n", what.c_str(), name.c_str());
      std::filesystem::remove(std::filesystem::path(DataDir()) / name);
    }
    totals.filesLeft += static_cast<int>(left.size());
    const bool ok = !lingering && left.empty();
    std::printf("%s %s: asked %d, unload %.1f ms at %.0f ms, gone after %.0f ms, delivered so far %d\n",
                ok ? "ok" : "FAILED", what.c_str(), answer, Ms(unloading), Ms(unloadAt - ended), Ms(gone),
                m_sink.Delivered());
    std::fflush(stdout);
    return ok;
  }

  // A child process ends while the module is loaded and its worker delivers: it must end
  // without hanging or crashing and leave no journal file behind.
  bool ExitDuringDelivery(const std::string& self, int delayMs) {
    if (!StoreProfile(m_profile, "127.0.0.1", m_sink.Port())) return false;
    const int status =
        RunChild(self, {ModulePath(), "--exit-now", std::to_string(delayMs), "--profile", m_profile, "--burners", "0"});
    const std::vector<std::string> left = qbtest::ListDirectory(DataDir());
    for (const std::string& name : left) std::printf("LEFT at the process's end: %s\n", name.c_str());
    std::printf("the child ended with status %d; files left %zu\n", status, left.size());
    return status == 0 && left.empty();
  }

 private:
  std::string ModulePath() const { return m_dir.File(std::filesystem::path(m_options.module).filename().string()); }
  std::string DataDir() const { return m_dir.File("Data"); }

  const Options& m_options;
  qbtest::TempDir m_dir;
  qbtest::ScopedRegistry m_registry;
  SmtpSink m_sink;
  std::string m_profile;
};

bool ParseOptions(int argc, char** argv, Options& options) {
  if (argc < 2 || argc % 2 != 0) return false;
  options.module = argv[1];
  const std::pair<const char*, int Options::*> numbers[] = {{"--cycles", &Options::cycles},
                                                            {"--first", &Options::first},
                                                            {"--burners", &Options::burners},
                                                            {"--reply-delay", &Options::replyDelayMs},
                                                            {"--exit-during-delivery", &Options::exitAfterMs},
                                                            {"--exit-now", &Options::childExitAfterMs}};
  for (int i = 2; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    const char* value = argv[i + 1];
    const auto number =
        std::find_if(std::begin(numbers), std::end(numbers), [&](const auto& option) { return name == option.first; });
    if (number != std::end(numbers)) {
      options.*(number->second) = std::atoi(value);
    } else if (name == "--profile") {
      options.profile = value;
    } else if (name != "--delays" ||
               std::sscanf(value, "%d:%d:%d", &options.delayFrom, &options.delayTo, &options.delayStep) != 3) {
      return false;
    }
  }
  return options.cycles >= 0 && options.first >= 0 && options.burners >= 0 && options.replyDelayMs >= 0 &&
         options.delayFrom >= 0 && options.delayTo >= options.delayFrom && options.delayStep > 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    std::fprintf(stderr,
                 "usage: unload_stress <module> [--cycles N] [--first K] [--burners N] [--delays FROM:TO:STEP]\n"
                 "                     [--reply-delay MS]\n"
                 "       unload_stress <module> --exit-during-delivery MS\n");
    return 2;
  }
  const std::vector<std::jthread> burners = Burners(options.burners);
  if (options.childExitAfterMs >= 0) ExitWithTheModuleLoaded(options);
  Stress stress(options);
  if (options.exitAfterMs >= 0) {
    const std::string self = qbtest::ExecutableDir() + std::filesystem::path(argv[0]).filename().string();
    return stress.ExitDuringDelivery(self, options.exitAfterMs) ? 0 : 1;
  }

  Totals totals;
  for (int i = options.first; i < options.first + options.cycles; ++i) stress.Cycle(i, totals);
  std::printf("cycles %d, hangs 0, lingering %d, files left %d, errors %d\n", totals.cycles, totals.lingering,
              totals.filesLeft, totals.errors);
  return totals.lingering + totals.filesLeft + totals.errors == 0 ? 0 : 1;
}
