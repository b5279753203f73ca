// Failure records on Windows: an error event of the source "QBNotifyAddOn" in the Application
// event log (event id 1, the text as its one insertion string).
#include <string>

#include "framework/backend.h"
#include "framework/win32/windows_api.h"

namespace fw::backend {
namespace {

constexpr DWORD kEventDeliveryFailed = 1;

}  // namespace

bool WriteFailureRecord(const std::string& text) {
  const HANDLE source = ::RegisterEventSourceA(nullptr, "QBNotifyAddOn");
  if (source == nullptr) return false;
  const char* strings[] = {text.c_str()};
  const bool reported =
      ::ReportEventA(source, EVENTLOG_ERROR_TYPE, 0, kEventDeliveryFailed, nullptr, 1, 0, strings, nullptr) != FALSE;
  ::DeregisterEventSource(source);
  return reported;
}

}  // namespace fw::backend
