// Helpers of the thread, window and socket tests (see async_test_support.h): the event log
// and the loop thread. The peer sockets are in loopback_peer.cpp.
#include <algorithm>
#include <future>

#include "async_test_support.h"

namespace qbtest {
namespace {

constexpr fw::UINT kRunTask = fw::kWmUser + 1;

}  // namespace

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

void EventLog::Clear() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_events.clear();
}

std::size_t EventLog::Count(const std::string& event) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return static_cast<std::size_t>(std::count(m_events.begin(), m_events.end(), event));
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

LoopThread::LoopThread() {
  m_bAutoDelete = false;
}

LoopThread::~LoopThread() {
  Stop();
}

bool LoopThread::Start() {
  return CreateThread();
}

bool LoopThread::Post(std::function<void()> task) {
  auto* heapTask = new std::function<void()>(std::move(task));
  if (PostThreadMessage(kRunTask, 0, reinterpret_cast<fw::LPARAM>(heapTask))) return true;
  delete heapTask;
  return false;
}

bool LoopThread::Call(const std::function<void()>& task) {
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> finished = done->get_future();
  if (!Post([task, done] {
        task();
        done->set_value();
      })) {
    return false;
  }
  return finished.wait_for(kPatience) == std::future_status::ready;
}

void LoopThread::Stop() {
  if (m_bStopped) return;
  m_bStopped = true;
  fw::ThreadEnd end = GetThreadEnd();
  PostThreadMessage(fw::kWmQuit, 0, 0);
  end.Wait();
}

void LoopThread::OnThreadMessage(fw::UINT message, fw::WPARAM wParam, fw::LPARAM lParam) {
  if (message == kRunTask) {
    std::unique_ptr<std::function<void()>> task(reinterpret_cast<std::function<void()>*>(lParam));
    (*task)();
  } else if (onOtherMessage) {
    onOtherMessage(message, wParam, lParam);
  }
}

}  // namespace qbtest
