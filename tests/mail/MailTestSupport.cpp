// Helpers for the mail tests.
#include "MailTestSupport.h"

#include <fstream>
#include <random>

#include "framework/test_seams.h"

namespace mailtest {
namespace {

constexpr fw::UINT kRunMessage = fw::kWmUser + 1;

}  // namespace

LoopThread::LoopThread() {
  m_bAutoDelete = false;
  m_bStarted = CreateThread();
}

LoopThread::~LoopThread() {
  if (!m_bStarted) return;
  const fw::ThreadEnd end = GetThreadEnd();
  PostThreadMessage(fw::kWmQuit, 0, 0);
  end.Wait();
}

void LoopThread::Post(std::function<void()> closure) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_queue.push_back(std::move(closure));
  }
  PostThreadMessage(kRunMessage, 0, 0);
}

void LoopThread::OnThreadMessage(fw::UINT message, fw::WPARAM, fw::LPARAM) {
  if (message != kRunMessage) return;
  for (;;) {
    std::function<void()> closure;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      if (m_queue.empty()) return;
      closure = std::move(m_queue.front());
      m_queue.pop_front();
    }
    closure();
  }
}

ManualTickCount::ManualTickCount(std::uint32_t start) : m_now(start) {
  fw::testing::SetTickCountSource([this] { return m_now.load(); });
}

ManualTickCount::~ManualTickCount() {
  fw::testing::SetTickCountSource(nullptr);
}

TempDir::TempDir() {
  std::random_device random;
  for (;;) {
    m_path = std::filesystem::temp_directory_path() / ("qbmail-" + std::to_string(random()));
    if (std::filesystem::create_directory(m_path)) break;
  }
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(m_path, ignored);
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool FileExists(const std::string& path) {
  std::error_code ignored;
  return std::filesystem::exists(path, ignored);
}

std::function<void(SmtpState, SmtpState)> StateRecorder::Observer() {
  return [this](SmtpState, SmtpState to) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_states.push_back(to);
    m_changed.notify_all();
  };
}

bool StateRecorder::WaitFor(SmtpState state, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_changed.wait_for(lock, timeout, [&] { return m_states.back() == state; });
}

std::string StateRecorder::Trace() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::string trace;
  for (SmtpState state : m_states) {
    if (!trace.empty()) trace += " -> ";
    trace += SmtpStateName(state);
  }
  return trace;
}

SmtpState StateRecorder::Current() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_states.back();
}

}  // namespace mailtest
