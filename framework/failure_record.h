// Failure records: one record of a failed mail delivery, left where an administrator looks.
// Windows: the Application event log, an error event of the source "QBNotifyAddOn" (event id
// 1, the text as its only insertion string). Elsewhere: syslog, facility user, severity error,
// ident "QBNotifyAddOn", the text in UTF-8; the record is sent to /dev/log directly, so the
// host process's own openlog() settings are left alone.
//
// Records are read by administrators and often by every user of the machine: callers compose
// the text themselves and must never pass a password or any other secret.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace fw {

// The longest text recorded; a longer one is cut.
inline constexpr std::size_t kMaxFailureRecordBytes = 4096;

// Records `text` (Windows-1252; a zero byte becomes a blank). True when the system log took
// the record. Any thread; never blocks for long.
bool RecordDeliveryFailure(std::string_view text);

namespace testing {

// Replaces the system log: while set, every record (as it would be written, still
// Windows-1252) goes to `sink`, on the recording thread, and nowhere else. Null restores the
// system log.
void SetFailureRecordSink(std::function<void(const std::string&)> sink);

}  // namespace testing
}  // namespace fw
