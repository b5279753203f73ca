// Windows: a worker thread stopped from the module's detach (win32_detach_module.dll). Unloading
// the DLL stops its worker from DLL_PROCESS_DETACH: FreeLibrary returns, nothing deadlocks,
// and the worker thread then ends through its own exit path, after the module's code on it
// (which goes on after the stopper was released) has finished. Ending the process with the
// worker running ends it too.
#if defined(_WIN32)

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "framework/win32/windows_api.h"

namespace {

constexpr DWORD kWorkerExitCode = 7;
constexpr DWORD kDeadlockTimeoutMs = 20000;
constexpr const char* kChildVariable = "QB_DETACH_TEST_CHILD";

std::string ExecutablePath() {
  char path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  return std::string(path, length);
}

std::string ModulePath() {
  const std::string exe = ExecutablePath();
  return exe.substr(0, exe.find_last_of('\\') + 1) + "win32_detach_module.dll";
}

using StartWorker = DWORD (*)();

StartWorker StartFunction(HMODULE module) {
  return reinterpret_cast<StartWorker>(reinterpret_cast<void*>(GetProcAddress(module, "StartDetachWorker")));
}

DWORD WINAPI UnloadModuleThread(LPVOID module) {
  return FreeLibrary(static_cast<HMODULE>(module)) ? 1 : 0;
}

// Unloads on a helper thread, so that a deadlock in the detach fails the test instead of
// hanging it. A helper stuck in the detach holds the loader lock, which would also keep this
// process from ending: then the process is ended at once.
bool UnloadWithin(HMODULE module, DWORD timeoutMs) {
  HANDLE helper = CreateThread(nullptr, 0, &UnloadModuleThread, module, 0, nullptr);
  if (helper == nullptr) return false;
  if (WaitForSingleObject(helper, timeoutMs) != WAIT_OBJECT_0) {
    ADD_FAILURE() << "FreeLibrary did not return: the detach deadlocked";
    std::fflush(stdout);
    TerminateProcess(GetCurrentProcess(), 3);
  }
  DWORD freed = 0;
  GetExitCodeThread(helper, &freed);
  CloseHandle(helper);
  return freed == 1;
}

TEST(Win32ThreadDetach, UnloadStopsTheWorkerAndItsThreadEndsAfterTheModulesCode) {
  const std::string path = ModulePath();
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    HMODULE module = LoadLibraryA(path.c_str());
    ASSERT_NE(module, nullptr) << "error " << GetLastError() << " loading " << path;
    StartWorker start = StartFunction(module);
    ASSERT_NE(start, nullptr);
    const DWORD threadId = start();
    ASSERT_NE(threadId, 0u);
    HANDLE thread = OpenThread(SYNCHRONIZE | THREAD_QUERY_LIMITED_INFORMATION, FALSE, threadId);
    ASSERT_NE(thread, nullptr);

    EXPECT_TRUE(UnloadWithin(module, kDeadlockTimeoutMs));
    // Once the detach is over the thread finishes its ExitThread: its exit code is the one
    // that its ExitInstance returned, so it left through the framework's path.
    EXPECT_EQ(WaitForSingleObject(thread, kDeadlockTimeoutMs), WAIT_OBJECT_0);
    DWORD exitCode = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &exitCode));
    EXPECT_EQ(exitCode, kWorkerExitCode);
    CloseHandle(thread);
  }
}

// Runs only as the child process of the next test: ends the process while the module's worker
// runs. The system has ended the worker before the detach, so the stop must not wait for it.
TEST(Win32ThreadDetachChild, ProcessEndsWhileTheWorkerRuns) {
  if (GetEnvironmentVariableA(kChildVariable, nullptr, 0) == 0) GTEST_SKIP() << "runs as a child process only";
  HMODULE module = LoadLibraryA(ModulePath().c_str());
  ASSERT_NE(module, nullptr);
  StartWorker start = StartFunction(module);
  ASSERT_NE(start, nullptr);
  ASSERT_NE(start(), 0u);
  std::fflush(stdout);
  ExitProcess(0);
}

TEST(Win32ThreadDetach, ProcessEndWithTheWorkerRunningNeitherHangsNorCrashes) {
  std::string command = "\"" + ExecutablePath() + "\" --gtest_filter=Win32ThreadDetachChild.*";
  SetEnvironmentVariableA(kChildVariable, "1");
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  const BOOL started =
      CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process);
  SetEnvironmentVariableA(kChildVariable, nullptr);
  ASSERT_TRUE(started) << "error " << GetLastError();
  CloseHandle(process.hThread);
  const DWORD waited = WaitForSingleObject(process.hProcess, kDeadlockTimeoutMs);
  if (waited != WAIT_OBJECT_0) TerminateProcess(process.hProcess, 1);
  EXPECT_EQ(waited, WAIT_OBJECT_0) << "the process did not end";
  DWORD exitCode = 1;
  GetExitCodeProcess(process.hProcess, &exitCode);
  EXPECT_EQ(exitCode, 0u);
  CloseHandle(process.hProcess);
}

}  // namespace

#endif  // _WIN32
