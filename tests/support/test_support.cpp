// The shared test helpers (see test_support.h).
#include "test_support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <thread>

#if defined(_WIN32)
#include "framework/win32/windows_api.h"
#else
#include <climits>
#endif

#include "framework/test_seams.h"

namespace qbtest {

TempDir::TempDir() {
  std::random_device random;
  do {
    m_path = std::filesystem::temp_directory_path() / ("qbnotify-test-" + std::to_string(random()));
  } while (!std::filesystem::create_directory(m_path));
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(m_path, ignored);
}

std::string ReadBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

bool FileExists(const std::string& path) {
  std::error_code ignored;
  return std::filesystem::exists(path, ignored);
}

std::vector<std::string> ListDirectory(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

#if defined(_WIN32)
std::string ExecutableDir() {
  char path[MAX_PATH] = {};
  const std::string exe(path, GetModuleFileNameA(nullptr, path, MAX_PATH));
  return exe.substr(0, exe.find_last_of('\\') + 1);
}

std::optional<std::string> GetEnv(const char* name) {
  char buffer[8192];
  const DWORD length = GetEnvironmentVariableA(name, buffer, sizeof buffer);
  if (length == 0 || length >= sizeof buffer) return std::nullopt;
  return std::string(buffer, length);
}

void SetEnv(const char* name, const char* value) {
  _putenv_s(name, value ? value : "");  // the C run-time's copy (TZ) and the process's
  SetEnvironmentVariableA(name, value);
}
#else
std::string ExecutableDir() {
  char path[PATH_MAX] = {};
  if (realpath("/proc/self/exe", path) == nullptr) return {};
  const std::string exe(path);
  return exe.substr(0, exe.rfind('/') + 1);
}

std::optional<std::string> GetEnv(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::optional<std::string>(value) : std::nullopt;
}

void SetEnv(const char* name, const char* value) {
  value ? setenv(name, value, 1) : unsetenv(name);
}
#endif

ScopedEnv::~ScopedEnv() {
  for (auto it = m_saved.rbegin(); it != m_saved.rend(); ++it) {
    SetEnv(it->first.c_str(), it->second ? it->second->c_str() : nullptr);
  }
}

void ScopedEnv::Set(const char* name, const char* value) {
  m_saved.emplace_back(name, GetEnv(name));
  SetEnv(name, value);
}

ScopedRegistry::ScopedRegistry() {
#if !defined(_WIN32)
  m_env.Set("QBNOTIFY_REGISTRY", m_dir.File("registry.sqlite3").c_str());
#endif
}

void DeleteKeyTree(fw::HKEY root, const std::string& path) {
  std::vector<std::string> subkeys;
  {
    fw::RegKey key;
    if (key.Open(root, path.c_str()) != fw::kErrorSuccess) return;
    char name[1024];
    for (std::uint32_t i = 0; fw::RegEnumKey(key.Get(), i, name, sizeof name) == fw::kErrorSuccess; ++i) {
      subkeys.emplace_back(name);
    }
  }
  for (const std::string& subkey : subkeys) DeleteKeyTree(root, path + "\\" + subkey);
  fw::RegDeleteKey(root, path.c_str());
}

ScopedClock::ScopedClock(std::uint32_t startTick, std::int64_t startTime) : tick(startTick), time(startTime) {
  fw::testing::SetTickCountSource([this] { return tick.load(); });
  fw::testing::SetTimeSource([this] { return time.load(); });
}

ScopedClock::~ScopedClock() {
  fw::testing::SetTickCountSource(nullptr);
  fw::testing::SetTimeSource(nullptr);
}

bool Eventually(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

void WithinPatience(const char* what, const std::function<void()>& action) {
  std::promise<void> done;
  std::thread watchdog([what, finished = done.get_future()] {
    if (finished.wait_for(kPatience) == std::future_status::ready) return;
    std::fprintf(stderr, "FAILED: %s did not return within %lld s\n", what, static_cast<long long>(kPatience.count()));
    std::fflush(stderr);
    std::_Exit(1);
  });
  action();
  done.set_value();
  watchdog.join();
}

void EventLog::Add(std::string event) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_events.push_back(std::move(event));
  }
  m_changed.notify_all();
}

std::vector<std::string> EventLog::Events() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_events;
}

std::size_t EventLog::Count(const std::string& event) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return static_cast<std::size_t>(std::count(m_events.begin(), m_events.end(), event));
}

void EventLog::Clear() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_events.clear();
}

std::string EventLog::Joined(const char* separator) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::string joined;
  for (const std::string& event : m_events) joined += (joined.empty() ? "" : separator) + event;
  return joined;
}

bool EventLog::WaitFor(const std::string& event, std::size_t times) const {
  return WaitUntil([&](const std::vector<std::string>& events) {
    return static_cast<std::size_t>(std::count(events.begin(), events.end(), event)) >= times;
  });
}

bool EventLog::WaitUntil(const std::function<bool(const std::vector<std::string>&)>& done) const {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_changed.wait_for(lock, kPatience, [&] { return done(m_events); });
}

namespace {
constexpr fw::UINT kRunTask = fw::kWmUser + 1;
}  // namespace

LoopThread::LoopThread() {
  m_bAutoDelete = false;
  m_bRunning = CreateThread();
}

LoopThread::~LoopThread() {
  if (!m_bRunning) return;
  const fw::ThreadEnd end = GetThreadEnd();
  PostThreadMessage(fw::kWmQuit, 0, 0);
  end.Wait();
}

bool LoopThread::Post(std::function<void()> task) {
  auto heapTask = std::make_unique<std::function<void()>>(std::move(task));
  if (!PostThreadMessage(kRunTask, 0, reinterpret_cast<fw::LPARAM>(heapTask.get()))) return false;
  heapTask.release();
  return true;
}

void LoopThread::OnThreadMessage(fw::UINT message, fw::WPARAM wParam, fw::LPARAM lParam) {
  if (message == kRunTask) {
    (*std::unique_ptr<std::function<void()>>(reinterpret_cast<std::function<void()>*>(lParam)))();
  } else if (onOtherMessage) {
    onOtherMessage(message, wParam, lParam);
  }
}

}  // namespace qbtest
