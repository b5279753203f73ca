// Shell-open in the posix backend. A program is started directly; any other file is handed
// to the desktop's opener (xdg-open, or open on macOS). Both are started through /bin/sh,
// which puts them in the background and ends at once, so that nothing is left to wait for.
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "framework/shell.h"

extern char** environ;

namespace fw {
namespace {

#if defined(__APPLE__)
constexpr const char* kOpener = "open";
#else
constexpr const char* kOpener = "xdg-open";
#endif

// $1: working directory ("" for none), $2: program, $3...: its arguments. Exits 127 when the
// program is not found on PATH, 3 when the directory cannot be entered.
constexpr const char* kStarter =
    "if [ -n \"$1\" ]; then cd -- \"$1\" || exit 3; fi; shift; "
    "command -v -- \"$1\" >/dev/null 2>&1 || exit 127; "
    "\"$@\" </dev/null >/dev/null 2>&1 & exit 0";

// Runs the starter and returns its exit code, or -1 when /bin/sh could not run.
int RunStarter(const std::string& directory, const std::string& program, const char* argument) {
  std::string shell = "/bin/sh";
  std::string dashC = "-c";
  std::string script = kStarter;
  std::string name = "qbnotify-open";
  std::string dir = directory;
  std::string prog = program;
  std::string arg = argument != nullptr ? argument : "";
  char* argv[] = {shell.data(),
                  dashC.data(),
                  script.data(),
                  name.data(),
                  dir.data(),
                  prog.data(),
                  argument != nullptr ? arg.data() : nullptr,
                  nullptr};
  pid_t pid = 0;
  if (posix_spawn(&pid, shell.c_str(), nullptr, nullptr, argv, environ) != 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::intptr_t ResultOf(int exitCode) {
  switch (exitCode) {
    case 0:
      return kShellSucceeded;
    case 3:
      return kShellPathNotFound;
    case 127:
      return kShellNoAssociation;
    default:
      return kShellFileNotFound;
  }
}

}  // namespace

std::intptr_t ShellExecute(const char* operation, const char* file, const char* parameters, const char* directory,
                           int /*show*/) {
  if (operation != nullptr && std::strcmp(operation, "open") != 0) return kShellNoAssociation;
  if (file == nullptr || *file == '\0') return kShellFileNotFound;
  const std::string dir = directory != nullptr ? directory : "";
  struct stat info {};
  if (!dir.empty() && (stat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))) return kShellPathNotFound;
  // A relative file is found from the working directory, as the program would be.
  std::string path = file;
  if (path[0] != '/' && !dir.empty()) path = dir + "/" + path;
  if (stat(path.c_str(), &info) != 0) return errno == EACCES ? kShellAccessDenied : kShellFileNotFound;
  if (S_ISREG(info.st_mode) && access(path.c_str(), X_OK) == 0) {
    // The whole parameter text is the program's one argument.
    return ResultOf(RunStarter(dir, path, parameters != nullptr && *parameters != '\0' ? parameters : nullptr));
  }
  return ResultOf(RunStarter(dir, kOpener, path.c_str()));
}

}  // namespace fw
