// Session scripts: the text form of a host's calls into the add-on, one call per line, and
// their parser. A script is parsed completely before any of it runs.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace qbhost {

// A script or .reg file that cannot be read or parsed; the message names file and line.
class ParseError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class ArgKind {
  kHandle,   // session handle: unsigned, pointer-sized
  kResult,   // result code: unsigned 32-bit
  kText,     // quoted text, bare word, or null
  kFlag,     // BOOL: error (1), ok (0) or a 32-bit number
  kSize,     // buffer size: 0..65536
  kSeconds,  // decimal seconds, not negative
  kMillis,   // milliseconds: unsigned 32-bit
};

enum class CommandKind {
  kName,
  kCanUnload,
  kConfigure,
  kProfileNameChange,
  kProfileDeleted,
  kSessionCreate,
  kConnectionStart,
  kFileDownloaded,
  kFileUploaded,
  kFileDeleted,
  kFileRenamed,
  kDirCreated,
  kDirDeleted,
  kConnectionEnd,
  kSessionDestroy,
  kLogCommand,
  kLogResponse,
  kLogStatus,
  kInstall,
  kUninstall,
  kWaitUnload,
  kSleep,
  kEcho,
  kShowData,
};

struct CommandDef {
  std::string_view name;
  CommandKind kind;
  std::vector<ArgKind> params;
  std::size_t required;    // parameters that must be given; the rest are optional
  bool variadic;           // the last parameter repeats
  const char* exportName;  // the export that the command calls, or null for host commands
  std::string_view usage;
};

// Every command of the script language, in the order the help lists them.
const std::vector<CommandDef>& CommandDefs();
// The command of that name (case-insensitive; an optional "QBAddOn" prefix is accepted), or null.
const CommandDef* FindCommand(std::string_view name);

struct ScriptArg {
  std::uint64_t number = 0;         // kHandle, kResult, kSize, kMillis; kFlag as its 32-bit pattern
  double seconds = 0;               // kSeconds
  std::optional<std::string> text;  // kText; nullopt is a null pointer
};

struct ScriptCommand {
  const CommandDef* def = nullptr;
  std::string file;
  int line = 0;
  std::string source;  // the line as written, for traces
  std::vector<ScriptArg> args;
};

struct Token {
  std::string text;
  bool quoted = false;
};

// Splits one line into tokens: bare words and double-quoted texts with the escapes \" \\ \t
// \r \n and \xNN. A '#' that starts a token begins a comment. Throws ParseError (without
// file and line) for an unterminated quote, a bad escape or a stray quote.
std::vector<Token> TokenizeLine(std::string_view line);

// Parses a whole script; `file` names it in error messages ("file:line: message").
std::vector<ScriptCommand> ParseScript(std::string_view text, const std::string& file);

// Reads and parses a script file ("-" reads standard input).
std::vector<ScriptCommand> LoadScript(const std::string& path);

// Reads a whole file as bytes ("-" reads standard input). Throws ParseError when it cannot.
std::string ReadWholeFile(const std::string& path);

}  // namespace qbhost
