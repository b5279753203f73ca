// The posix backend's syslog client (failure_record.h): where its records go, and their form.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace fw::posix {

// The local syslog socket that records are sent to: "/dev/log" unless a test sets another
// (empty restores it).
void SetSyslogSocketPath(std::string path);

// One record as sent: "<11>Mmm dd hh:mm:ss QBNotifyAddOn[pid]: text" (facility user, severity
// error, local time as RFC 3164 writes it), `text` converted from Windows-1252 to UTF-8.
std::string FormatSyslogRecord(std::string_view text, std::int64_t time, long pid);

}  // namespace fw::posix
