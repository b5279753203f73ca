// Session scripts: command table, line tokenizer and parser.
#include "host/script.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <limits>

#include "framework/stdio_file.h"
#include "framework/strings.h"

namespace qbhost {
namespace {

using enum ArgKind;

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

// Unsigned decimal or 0x-hexadecimal number up to `max`.
std::optional<std::uint64_t> ParseUnsigned(std::string_view word, std::uint64_t max) {
  int base = 10;
  if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) {
    base = 16;
    word.remove_prefix(2);
  }
  std::uint64_t value = 0;
  auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value, base);
  if (word.empty() || error != std::errc() || end != word.data() + word.size() || value > max) return std::nullopt;
  return value;
}

std::optional<double> ParseSeconds(std::string_view word) {
  // Digits with an optional fraction; from_chars for double is not in every library here.
  std::size_t dot = word.find('.');
  std::string_view whole = word.substr(0, dot);
  std::string_view fraction = dot == std::string_view::npos ? std::string_view() : word.substr(dot + 1);
  if (whole.empty() && fraction.empty()) return std::nullopt;
  double value = 0;
  for (char c : whole) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  double scale = 0.1;
  for (char c : fraction) {
    if (c < '0' || c > '9') return std::nullopt;
    value += (c - '0') * scale;
    scale /= 10;
  }
  if (value > 1e6) return std::nullopt;
  return value;
}

std::string Describe(ArgKind kind) {
  switch (kind) {
    case kHandle:
      return "session handle";
    case kResult:
      return "result code";
    case kText:
      return "text";
    case kFlag:
      return "error flag";
    case kSize:
      return "buffer size";
    case kSeconds:
      return "seconds";
    case kMillis:
      return "milliseconds";
  }
  return "argument";
}

// The number that `word` gives for a numeric argument of `kind`, or nullopt.
std::optional<std::uint64_t> ParseNumberArg(ArgKind kind, std::string_view word) {
  switch (kind) {
    case kHandle:
      return ParseUnsigned(word, std::numeric_limits<std::uintptr_t>::max());
    case kResult:
    case kMillis:
      return ParseUnsigned(word, 0xFFFFFFFFu);
    case kSize:
      return ParseUnsigned(word, 65536);
    case kFlag:
      if (fw::CompareNoCase(word, "error") == 0) return 1;
      if (fw::CompareNoCase(word, "ok") == 0) return 0;
      if (word.starts_with('-')) {
        std::optional<std::uint64_t> magnitude = ParseUnsigned(word.substr(1), 0x80000000u);
        if (!magnitude) return std::nullopt;
        return static_cast<std::uint32_t>(0u - static_cast<std::uint32_t>(*magnitude));  // two's complement
      }
      return ParseUnsigned(word, 0xFFFFFFFFu);
    default:
      return std::nullopt;
  }
}

// Converts one token to an argument of `kind`; an empty result names what was wrong.
std::optional<ScriptArg> ConvertArg(const Token& token, ArgKind kind, std::string& error) {
  ScriptArg arg;
  if (kind == kText) {
    if (!token.quoted && token.text == "null") return arg;
    if (token.text.find('\0') != std::string::npos) {
      error = "a text cannot contain a zero byte (\\x00)";
      return std::nullopt;
    }
    arg.text = token.text;
    return arg;
  }
  if (!token.quoted) {
    if (kind == kSeconds) {
      if (std::optional<double> seconds = ParseSeconds(token.text)) {
        arg.seconds = *seconds;
        return arg;
      }
    } else if (std::optional<std::uint64_t> number = ParseNumberArg(kind, token.text)) {
      arg.number = *number;
      return arg;
    }
  }
  error = "bad " + Describe(kind) + " '" + token.text + "'";
  if (kind == kHandle && !token.quoted)
    error += " (at most " + std::to_string(std::numeric_limits<std::uintptr_t>::max()) + ")";
  return std::nullopt;
}

}  // namespace

const std::vector<CommandDef>& CommandDefs() {
  using enum CommandKind;
  static const std::vector<CommandDef> defs = {
      {"SessionCreate",
       kSessionCreate,
       {kHandle, kText},
       2,
       false,
       "QBAddOnSessionCreate",
       "SessionCreate <handle> <profile>"},
      {"ConnectionStart",
       kConnectionStart,
       {kHandle, kResult, kText},
       3,
       false,
       "QBAddOnConnectionStart",
       "ConnectionStart <handle> <result> <host>"},
      {"FileDownloaded",
       kFileDownloaded,
       {kHandle, kResult, kText, kText},
       4,
       false,
       "QBAddOnFileDownloaded",
       "FileDownloaded <handle> <result> <source> <target>"},
      {"FileUploaded",
       kFileUploaded,
       {kHandle, kResult, kText, kText},
       4,
       false,
       "QBAddOnFileUploaded",
       "FileUploaded <handle> <result> <source> <target>"},
      {"FileDeleted",
       kFileDeleted,
       {kHandle, kResult, kText},
       3,
       false,
       "QBAddOnFileDeleted",
       "FileDeleted <handle> <result> <path>"},
      {"FileRenamed",
       kFileRenamed,
       {kHandle, kResult, kText, kText},
       4,
       false,
       "QBAddOnFileRenamed",
       "FileRenamed <handle> <result> <old name> <new name>"},
      {"DirCreated",
       kDirCreated,
       {kHandle, kResult, kText},
       3,
       false,
       "QBAddOnDirCreated",
       "DirCreated <handle> <result> <path>"},
      {"DirDeleted",
       kDirDeleted,
       {kHandle, kResult, kText},
       3,
       false,
       "QBAddOnDirDeleted",
       "DirDeleted <handle> <result> <path>"},
      {"ConnectionEnd",
       kConnectionEnd,
       {kHandle, kResult},
       2,
       false,
       "QBAddOnConnectionEnd",
       "ConnectionEnd <handle> <result>"},
      {"SessionDestroy", kSessionDestroy, {kHandle}, 1, false, "QBAddOnSessionDestroy", "SessionDestroy <handle>"},
      {"LogCommand", kLogCommand, {kHandle, kText}, 2, false, "QBAddOnLogCommand", "LogCommand <handle> <line>"},
      {"LogResponse", kLogResponse, {kHandle, kText}, 2, false, "QBAddOnLogResponse", "LogResponse <handle> <line>"},
      {"LogStatus",
       kLogStatus,
       {kHandle, kText, kFlag},
       2,
       false,
       "QBAddOnLogStatus",
       "LogStatus <handle> <line> [error|ok|<number>]"},
      {"Name", kName, {kSize}, 0, false, "QBAddOnName", "Name [<buffer size, default 256>]"},
      {"CanUnload", kCanUnload, {}, 0, false, "QBAddOnCanUnload", "CanUnload"},
      {"Configure", kConfigure, {kText}, 0, false, "QBAddOnConfigure", "Configure [<profile>]"},
      {"ProfileNameChange",
       kProfileNameChange,
       {kText, kText},
       2,
       false,
       "QBAddOnProfileNameChange",
       "ProfileNameChange <old profile> <new profile>"},
      {"ProfileDeleted", kProfileDeleted, {kText}, 1, false, "QBAddOnProfileDeleted", "ProfileDeleted <profile>"},
      {"Install", kInstall, {kText}, 1, false, "QBAddOnInstall", "Install <add-on directory>"},
      {"Uninstall", kUninstall, {}, 0, false, "QBAddOnUninstall", "Uninstall"},
      {"WaitUnload", kWaitUnload, {kSeconds}, 1, false, "QBAddOnCanUnload", "WaitUnload <seconds>"},
      {"Sleep", kSleep, {kMillis}, 1, false, nullptr, "Sleep <milliseconds>"},
      {"Echo", kEcho, {kText}, 0, true, nullptr, "Echo <text>..."},
      {"ShowData", kShowData, {}, 0, false, nullptr, "ShowData"},
  };
  return defs;
}

const CommandDef* FindCommand(std::string_view name) {
  constexpr std::string_view kPrefix = "QBAddOn";
  if (name.size() > kPrefix.size() && fw::CompareNoCase(name.substr(0, kPrefix.size()), kPrefix) == 0)
    name.remove_prefix(kPrefix.size());
  for (const CommandDef& def : CommandDefs()) {
    if (fw::CompareNoCase(def.name, name) == 0) return &def;
  }
  return nullptr;
}

std::vector<Token> TokenizeLine(std::string_view line) {
  std::vector<Token> tokens;
  std::size_t i = 0;
  while (i < line.size()) {
    char c = line[i];
    if (IsBlank(c)) {
      ++i;
      continue;
    }
    if (c == '#') break;
    Token token;
    if (c != '"') {
      while (i < line.size() && !IsBlank(line[i])) {
        if (line[i] == '"') throw ParseError("unexpected quotation mark inside '" + token.text + "...'");
        token.text += line[i++];
      }
      tokens.push_back(std::move(token));
      continue;
    }
    token.quoted = true;
    ++i;
    bool closed = false;
    while (i < line.size()) {
      c = line[i++];
      if (c == '"') {
        closed = true;
        break;
      }
      if (c != '\\') {
        token.text += c;
        continue;
      }
      if (i >= line.size()) break;
      char e = line[i++];
      switch (e) {
        case '"':
        case '\\':
          token.text += e;
          break;
        case 't':
          token.text += '\t';
          break;
        case 'r':
          token.text += '\r';
          break;
        case 'n':
          token.text += '\n';
          break;
        case 'x': {
          int high = i < line.size() ? HexDigit(line[i]) : -1;
          int low = i + 1 < line.size() ? HexDigit(line[i + 1]) : -1;
          if (high < 0 || low < 0) throw ParseError("\\x needs two hexadecimal digits");
          token.text += static_cast<char>(high * 16 + low);
          i += 2;
          break;
        }
        default:
          throw ParseError(std::string("unknown escape \\") + e + " (use \\\\ for a backslash)");
      }
    }
    if (!closed) throw ParseError("unterminated quoted text");
    if (i < line.size() && !IsBlank(line[i]) && line[i] != '#')
      throw ParseError("a blank must follow the closing quotation mark");
    tokens.push_back(std::move(token));
  }
  return tokens;
}

std::vector<ScriptCommand> ParseScript(std::string_view text, const std::string& file) {
  std::vector<ScriptCommand> commands;
  int lineNumber = 0;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    ++lineNumber;
    auto fail = [&](const std::string& message) {
      std::string where = file;
      where += ':';
      where += std::to_string(lineNumber);
      where += ": ";
      where += message;
      throw ParseError(where);
    };

    std::vector<Token> tokens;
    try {
      tokens = TokenizeLine(line);
    } catch (const ParseError& e) {
      fail(e.what());
    }
    if (tokens.empty()) continue;
    if (tokens[0].quoted) fail("a line must start with a command name");
    const CommandDef* def = FindCommand(tokens[0].text);
    if (!def) fail("unknown command '" + tokens[0].text + "'");

    std::size_t given = tokens.size() - 1;
    bool countOk = given >= def->required && (def->variadic || given <= def->params.size());
    if (!countOk) {
      std::string expected = def->required == def->params.size()
                                 ? std::to_string(def->required)
                                 : std::to_string(def->required) + " to " + std::to_string(def->params.size());
      if (def->variadic) expected = std::to_string(def->required) + " or more";
      fail(std::string(def->name) + " takes " + expected + " argument(s), got " + std::to_string(given) +
           " (usage: " + std::string(def->usage) + ")");
    }

    ScriptCommand command{def, file, lineNumber, fw::Trim(line), {}};
    for (std::size_t n = 0; n < given; ++n) {
      ArgKind kind = def->params[std::min(n, def->params.size() - 1)];
      std::string error;
      auto arg = ConvertArg(tokens[n + 1], kind, error);
      if (!arg) fail(std::string(def->name) + " argument " + std::to_string(n + 1) + ": " + error);
      command.args.push_back(std::move(*arg));
    }
    commands.push_back(std::move(command));
  }
  return commands;
}

std::string ReadWholeFile(const std::string& path) {
  std::string data;
  char buffer[65536];
  if (path == "-") {
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, stdin)) > 0) data.append(buffer, n);
    if (std::ferror(stdin)) throw ParseError("-: cannot read standard input");
    return data;
  }
  fw::CStdioFile file;
  if (!file.Open(path, fw::CStdioFile::modeRead | fw::CStdioFile::typeBinary))
    throw ParseError(path + ": cannot open the file");
  try {
    std::size_t n;
    while ((n = file.Read(buffer, sizeof buffer)) > 0) data.append(buffer, n);
  } catch (const fw::CFileException&) {
    throw ParseError(path + ": cannot read the file");
  }
  file.Abort();
  return data;
}

std::vector<ScriptCommand> LoadScript(const std::string& path) {
  return ParseScript(ReadWholeFile(path), path == "-" ? std::string("<stdin>") : path);
}

}  // namespace qbhost
