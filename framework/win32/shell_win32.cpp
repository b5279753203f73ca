// Shell-open on Win32: ShellExecuteA.
#include "framework/shell.h"
#include "framework/win32/windows_api.h"

namespace fw {

std::intptr_t ShellExecute(const char* operation, const char* file, const char* parameters, const char* directory,
                           int show) {
  return reinterpret_cast<std::intptr_t>(::ShellExecuteA(nullptr, operation, file, parameters, directory, show));
}

}  // namespace fw
