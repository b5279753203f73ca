// The script runner against a table of recording exports: what reaches each export, the host's
// own commands and WaitUnload with a simulated clock. Missing exports and ShowData are checked
// with the built module end to end (end_to_end.py).
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "framework/app.h"
#include "host/runner.h"

namespace qbhost {
namespace {

std::vector<std::string> g_calls;
int g_canUnloadAfter = 0;  // CanUnload answers 1 from this call on (0: at once; -1: never)

std::string Show(const char* text) {
  if (!text) return "null";
  std::string out = "\"";
  for (unsigned char c : std::string(text)) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "\\x%02x", c);
    out += (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') ? std::string(1, static_cast<char>(c)) : hex;
  }
  return out + "\"";
}

std::string Show(void* handle) {
  return std::to_string(reinterpret_cast<std::uintptr_t>(handle));
}
std::string Show(std::int64_t number) {
  return std::to_string(number);
}

// Records the call of the export `name` with its arguments.
template <typename... Args>
void Record(const char* name, Args... args) {
  std::string call = name;
  ((call += " " + Show(args)), ...);
  g_calls.push_back(call);
}

// The exports of a module, each recording its call.
struct Exports {
  static void QB_STDCALL Name(char* buffer, int size) {
    Record("Name", size);
    std::snprintf(buffer, static_cast<std::size_t>(size), "%s", "Test add-on");
  }
  static int QB_STDCALL CanUnload() {
    Record("CanUnload");
    const auto calls = std::count(g_calls.begin(), g_calls.end(), "CanUnload");
    return g_canUnloadAfter >= 0 && calls > g_canUnloadAfter ? 1 : 0;
  }
  static void QB_STDCALL SessionCreate(void* h, const char* profile) { Record("SessionCreate", h, profile); }
  static void QB_STDCALL ConnectionStart(void* h, std::uint32_t result, const char* host) {
    Record("ConnectionStart", h, result, host);
  }
  static void QB_STDCALL FileRenamed(void* h, std::uint32_t result, const char* from, const char* to) {
    Record("FileRenamed", h, result, from, to);
  }
  static void QB_STDCALL SessionDestroy(void* h) { Record("SessionDestroy", h); }
  static void QB_STDCALL LogCommand(void* h, const char* line) { Record("LogCommand", h, line); }
  static void QB_STDCALL LogStatus(void* h, const char* line, int error) { Record("LogStatus", h, line, error); }
  static void QB_STDCALL Configure(const char* profile) { Record("Configure", profile); }
};

void* Lookup(const char* name) {
  static const std::map<std::string, void*> exports = {
      {"QBAddOnName", reinterpret_cast<void*>(&Exports::Name)},
      {"QBAddOnCanUnload", reinterpret_cast<void*>(&Exports::CanUnload)},
      {"QBAddOnSessionCreate", reinterpret_cast<void*>(&Exports::SessionCreate)},
      {"QBAddOnConnectionStart", reinterpret_cast<void*>(&Exports::ConnectionStart)},
      {"QBAddOnFileRenamed", reinterpret_cast<void*>(&Exports::FileRenamed)},
      {"QBAddOnSessionDestroy", reinterpret_cast<void*>(&Exports::SessionDestroy)},
      {"QBAddOnLogCommand", reinterpret_cast<void*>(&Exports::LogCommand)},
      {"QBAddOnLogStatus", reinterpret_cast<void*>(&Exports::LogStatus)},
      {"QBAddOnConfigure", reinterpret_cast<void*>(&Exports::Configure)},
  };
  auto it = exports.find(name);
  return it == exports.end() ? nullptr : it->second;
}

// Time passes only when the runner sleeps.
class SimulatedClock : public HostClock {
 public:
  std::chrono::milliseconds Now() override { return m_now; }
  void Sleep(std::chrono::milliseconds duration) override { m_now += duration; }
  std::chrono::milliseconds m_now{1000};
};

class ScriptRunnerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_calls.clear();
    g_canUnloadAfter = 0;
    m_runner.SetClock(&m_clock);
  }
  int Run(const std::string& script) { return m_runner.Run(ParseScript(script, "t.txt")); }

  std::ostringstream m_out, m_err;
  SimulatedClock m_clock;
  ScriptRunner m_runner{Lookup, "unused" + std::string(1, fw::kPathSeparator), m_out, m_err};
};

TEST_F(ScriptRunnerTest, ArgumentsReachTheExportsUnchangedAndInOrder) {
  const std::string maxHandle = std::to_string(std::numeric_limits<std::uintptr_t>::max());
  std::string script = "# comments, empty lines and CR LF line ends\r\n\r\n";
  script +=
      "SessionCreate " + maxHandle + " \"M\\xe4in \\\"x\\\"\"\r\nConnectionStart " + maxHandle + " 4294967295 null\n";
  script +=
      "LogCommand 0 \"PASS secret\\t\\x01\"\nLogStatus 7 \"a\" error\nLogStatus 7 \"b\" -5\nqbaddonlogstatus 0x10 c\n";
  script += "FileRenamed 3 12 \"\" \"C:\\\\new\"\nConfigure\nConfigure \"p\"\nSessionDestroy 3\n";
  EXPECT_EQ(Run(script), kExitOk);
  std::vector<std::string> expected = {
      "SessionCreate " + maxHandle + " \"M\\xe4in \\x22x\\x22\"",
      "ConnectionStart " + maxHandle + " 4294967295 null",
      "LogCommand 0 \"PASS secret\\x09\\x01\"",
      "LogStatus 7 \"a\" 1",
      "LogStatus 7 \"b\" -5",
      "LogStatus 16 \"c\" 0",
      "FileRenamed 3 12 \"\" \"C:\\x5cnew\"",
      "Configure null",
      "Configure \"p\"",
      "SessionDestroy 3",
  };
  EXPECT_EQ(g_calls, expected);
  EXPECT_EQ(m_out.str(), "");
}

TEST_F(ScriptRunnerTest, NameGetsExactlyTheBufferSizeAndHostCommandsPrint) {
  m_runner.SetTrace(true);
  EXPECT_EQ(Run("Name\nName 5\nName 0\nCanUnload\nEcho a \"b c\" null\nSleep 250\n"), kExitOk);
  EXPECT_EQ(m_out.str(), "Test add-on\nTest\n\n1\na b c null\n");
  EXPECT_EQ(g_calls, (std::vector<std::string>{"Name 256", "Name 5", "Name 0", "CanUnload"}));
  EXPECT_EQ(m_clock.m_now, std::chrono::milliseconds(1250));
  EXPECT_NE(m_err.str().find("t.txt:2: Name 5\n"), std::string::npos) << m_err.str();
}

TEST_F(ScriptRunnerTest, WaitUnloadPollsUntilTheModuleCanBeUnloadedOrTimesOutAndStopsTheScript) {
  g_canUnloadAfter = 3;
  EXPECT_EQ(Run("WaitUnload 10\nEcho done\n"), kExitOk);
  EXPECT_EQ(std::count(g_calls.begin(), g_calls.end(), "CanUnload"), 4);
  EXPECT_LT(m_clock.m_now, std::chrono::milliseconds(1000 + 10000));
  g_canUnloadAfter = -1;
  m_clock.m_now = std::chrono::milliseconds(1000);
  EXPECT_EQ(Run("Echo before\nWaitUnload 0.3\nEcho after\n"), kExitTimeout);
  EXPECT_EQ(m_out.str(), "done\nbefore\n");
  EXPECT_EQ(m_clock.m_now, std::chrono::milliseconds(1300));
  EXPECT_NE(m_err.str().find("t.txt:2: WaitUnload"), std::string::npos);
}

TEST(ScriptRunnerData, DataDirectoryIsBesideTheModule) {
  std::string sep(1, fw::kPathSeparator);
  EXPECT_EQ(DataDirectoryOf("QBNotifyAddOn.dll"), "Data" + sep);
  EXPECT_EQ(DataDirectoryOf("/a/b/QBNotifyAddOn.so"), "/a/b/Data" + sep);
#if defined(_WIN32)
  EXPECT_EQ(DataDirectoryOf("Z:\\t\\QBNotifyAddOn.dll"), "Z:\\t\\Data\\");
#endif
}

}  // namespace
}  // namespace qbhost
