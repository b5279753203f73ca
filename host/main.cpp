// qbhost: a host for the add-on module. Loads it, replays FTP sessions written as scripts,
// and imports, exports and inspects the registry settings it reads.
#include <iostream>
#include <string>
#include <vector>

#include "host/cli.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#endif

int main(int argc, char** argv) {
#if defined(_WIN32)
  // Scripts, .reg files and journal contents pass through unchanged (no CR LF translation).
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
#endif
  std::vector<std::string> args(argv + 1, argv + argc);
  int code = qbhost::RunCommandLine(args, std::cout, std::cerr);
  std::cout.flush();
  return code;
}
