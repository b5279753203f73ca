// The tick count and the calendar clock, each replaceable by a test through test_seams.h.
#include "framework/clock.h"

#include <chrono>
#include <ctime>
#include <memory>
#include <mutex>
#include <utility>

#include "framework/backend.h"
#include "framework/module_end.h"
#include "framework/test_seams.h"

namespace fw {
namespace {

// A replaceable source; readers copy the pointer under the lock and call it outside it.
template <typename T>
class Source {
 public:
  void Set(std::function<T()> source) {
    auto replacement = source ? std::make_shared<const std::function<T()>>(std::move(source)) : nullptr;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_source = std::move(replacement);
  }
  std::shared_ptr<const std::function<T()>> Get() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_source;
  }

 private:
  mutable std::mutex m_mutex;
  std::shared_ptr<const std::function<T()>> m_source;
};

Source<std::uint32_t>& TickSource() {
  static Source<std::uint32_t>* source = KeepUntilModuleEnd(new Source<std::uint32_t>);  // outlives every static user
  return *source;
}

Source<std::int64_t>& TimeSource() {
  static Source<std::int64_t>* source = KeepUntilModuleEnd(new Source<std::int64_t>);
  return *source;
}

}  // namespace

std::uint32_t GetTickCount() {
  if (auto source = TickSource().Get()) return (*source)();
  return backend::TickCount();
}

std::int64_t Time64() {
  if (auto source = TimeSource().Get()) return (*source)();
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  return std::chrono::floor<std::chrono::seconds>(now).count();
}

namespace testing {

void SetTickCountSource(std::function<std::uint32_t()> source) {
  TickSource().Set(std::move(source));
}

void SetTimeSource(std::function<std::int64_t()> source) {
  TimeSource().Set(std::move(source));
}

}  // namespace testing
namespace backend {

CalendarTime FromTm(const std::tm& tm) {
  CalendarTime out;
  out.year = tm.tm_year + 1900;
  out.month = tm.tm_mon + 1;
  out.day = tm.tm_mday;
  out.hour = tm.tm_hour;
  out.minute = tm.tm_min;
  out.second = tm.tm_sec;
  out.dayOfWeek = tm.tm_wday;
  return out;
}

std::tm ToTm(const CalendarTime& fields) {
  std::tm tm{};
  tm.tm_year = fields.year - 1900;
  tm.tm_mon = fields.month - 1;
  tm.tm_mday = fields.day;
  tm.tm_hour = fields.hour;
  tm.tm_min = fields.minute;
  tm.tm_sec = fields.second;
  tm.tm_wday = fields.dayOfWeek;
  tm.tm_isdst = -1;
  return tm;
}

}  // namespace backend

}  // namespace fw
