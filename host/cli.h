// qbhost's command line: "run" replays session scripts through a module, "reg" imports,
// exports, queries, sets and deletes registry settings.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace qbhost {

// Runs one command line (without the program name); returns the exit code.
int RunCommandLine(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// The help text.
std::string UsageText();

}  // namespace qbhost
