// The narrow interface between the framework's portable parts and its backend (win32/ or
// posix/). Only framework sources include this header. Public functions whose whole work is
// platform-specific (registry, clock conversions and formats, files by path, module loading,
// threads, windows, sockets) are implemented by the backends directly.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <string_view>

#include "framework/clock.h"
#include "framework/stdio_file.h"

namespace fw::backend {

// Opens `path` as a binary stdio stream for CStdioFile with its open flags (read, or write
// with create / create-new, with deny-write sharing where the platform has it). Line-end
// translation is done by the portable part. On failure returns null and sets `cause`.
std::FILE* OpenFile(const std::string& path, unsigned flags, CFileException::Cause& cause);

// Loads string `id` (at most 65535) of the module's own string table as Windows-1252 bytes.
bool LoadModuleString(unsigned id, std::string& text);

// Loads the dialog-initialisation data (resource type 240) of dialog template `templateId`
// from the module's own resources; false when it has none.
bool LoadDialogInitData(unsigned templateId, std::string& data);

// The system's millisecond tick count.
std::uint32_t TickCount();

// Implemented by the portable part (clock.cpp) for the backends' calendar conversions: the
// fields of a C run-time std::tm and back (tm_isdst -1, for mktime to decide).
CalendarTime FromTm(const std::tm& tm);
std::tm ToTm(const CalendarTime& fields);

// Implemented by the portable part (app.cpp), called by the backend's module entry:
// AttachModule records the module's path and runs the application object's InitInstance (a
// false result runs ExitInstance and is returned); DetachModule runs ExitInstance with
// InModuleDetach() true, and ProcessTerminating() as given.
bool AttachModule(const std::string& modulePath);
void DetachModule(bool processTerminating);

// Seals and opens a secret for the current user (protected_data.h); the portable part clears
// the output after a failure.
bool ProtectForUser(std::string_view secret, std::string& sealed);
bool UnprotectForUser(std::string_view sealed, std::string& secret);

// Writes one failure record (failure_record.h) to the system log; `text` is Windows-1252,
// already cut to length and free of zero bytes.
bool WriteFailureRecord(const std::string& text);

}  // namespace fw::backend
