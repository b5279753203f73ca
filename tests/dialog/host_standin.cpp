// A stand-in for a program that the add-on starts: the host's executable ("FTPQuorbit.exe") and
// the program that opens help pages. It appends what it was started with to "launches.txt"
// beside itself: the text of its command line after the program name (on Windows as the
// system passes it; elsewhere its one argument, or a note when there are more or none), a
// line end, its working directory and a line end. Then it ends.
#include <cstdio>
#include <string>

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#include <climits>
#include <cstdlib>
#endif

namespace {

#if defined(_WIN32)
std::string OwnPath() {
  char path[MAX_PATH] = {};
  return std::string(path, GetModuleFileNameA(nullptr, path, MAX_PATH));
}

std::string Arguments(int, char**) {
  const char* line = GetCommandLineA();
  // The program name: quoted up to the next quote, else up to the first blank.
  if (*line == '"') {
    ++line;
    while (*line != '\0' && *line != '"') ++line;
    if (*line == '"') ++line;
  } else {
    while (*line != '\0' && *line != ' ' && *line != '\t') ++line;
  }
  while (*line == ' ' || *line == '\t') ++line;
  return line;
}

std::string WorkingDirectory() {
  char path[MAX_PATH] = {};
  return std::string(path, GetCurrentDirectoryA(MAX_PATH, path));
}
#else
std::string OwnPath() {
  char path[PATH_MAX] = {};
  return realpath("/proc/self/exe", path) != nullptr ? path : "";
}

std::string Arguments(int argc, char** argv) {
  if (argc == 2) return argv[1];
  std::string text = "(" + std::to_string(argc - 1) + " arguments)";
  for (int i = 1; i < argc; ++i) text += std::string(" ") + argv[i];
  return text;
}

std::string WorkingDirectory() {
  char path[PATH_MAX] = {};
  return getcwd(path, sizeof path) != nullptr ? path : "";
}
#endif

}  // namespace

int main(int argc, char** argv) {
  const std::string self = OwnPath();
  const std::string record = self.substr(0, self.find_last_of("/\\") + 1) + "launches.txt";
  std::FILE* file = std::fopen(record.c_str(), "ab");
  if (file == nullptr) return 1;
  const std::string entry = Arguments(argc, argv) + "\n" + WorkingDirectory() + "\n";
  std::fwrite(entry.data(), 1, entry.size(), file);
  return std::fclose(file) == 0 ? 0 : 1;
}
