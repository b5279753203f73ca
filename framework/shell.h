// Opening a file the way the desktop shell does (ShellExecuteA): a document with the program
// associated with it, a program by starting it. Nothing waits for what was started.
#pragma once

#include <cstdint>

namespace fw {

// Results of 32 and below are failures (Windows' codes: 2 file not found, 3 path not found,
// 5 access denied, 31 no program to open it with); above 32 is success.
inline constexpr std::intptr_t kShellExecuteFailureLimit = 32;
inline constexpr std::intptr_t kShellFileNotFound = 2;
inline constexpr std::intptr_t kShellPathNotFound = 3;
inline constexpr std::intptr_t kShellAccessDenied = 5;
inline constexpr std::intptr_t kShellNoAssociation = 31;
inline constexpr std::intptr_t kShellSucceeded = 33;

// ShellExecuteA(NULL, operation, file, parameters, directory, show). `operation` null or
// "open"; `parameters` and `directory` may be null.
//
// Elsewhere: a program (a regular file that may be executed) is started with the whole
// parameter text as its one argument and `directory` (when given) as its working directory;
// any other file is opened with xdg-open (open on macOS), which must be found on PATH.
// Standard input and output of what is started are /dev/null.
std::intptr_t ShellExecute(const char* operation, const char* file, const char* parameters, const char* directory,
                           int show);

}  // namespace fw
