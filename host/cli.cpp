// qbhost's command line: argument checking and the "run" and "reg" commands.
#include "host/cli.h"

#include <stdexcept>

#include "framework/protected_data.h"
#include "framework/stdio_file.h"
#include "framework/strings.h"
#include "host/reg_file.h"
#include "host/registry_io.h"
#include "host/runner.h"
#include "host/script.h"

namespace qbhost {
namespace {

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

void WriteWholeFile(const std::string& path, const std::string& data, std::ostream& out) {
  if (path == "-") {
    out << data << std::flush;
    return;
  }
  fw::CStdioFile file;
  if (!file.Open(path, fw::CStdioFile::modeCreate | fw::CStdioFile::modeWrite | fw::CStdioFile::typeBinary))
    throw RegistryError(path + ": cannot create the file");
  try {
    file.WriteString(data);
    file.Close();
  } catch (const fw::CFileException&) {
    throw RegistryError(path + ": cannot write the file");
  }
}

// "" and "@" name the key's default value.
std::string ValueNameArg(const std::string& arg) {
  return arg == "@" ? std::string() : arg;
}

int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  std::size_t first = 1;
  bool trace = false;
  if (first < args.size() && args[first] == "--trace") {
    trace = true;
    ++first;
  }
  if (args.size() < first + 2) throw UsageError("run needs a module and at least one script");
  std::vector<std::string> scripts(args.begin() + static_cast<std::ptrdiff_t>(first) + 1, args.end());
  return RunScripts(args[first], scripts, trace, out, err);
}

// "configure <module> [profile]", "install <module> <dir>", "uninstall <module>": one call of
// the export, as the host makes it.
int Setup(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  struct Form {
    const char* command;
    std::size_t required, allowed;  // arguments after the module
    const char* usage;
  };
  static const Form kForms[] = {
      {"configure", 0, 1, " [<profile>]"}, {"install", 1, 1, " <add-on directory>"}, {"uninstall", 0, 0, ""}};
  const Form* form = nullptr;
  for (const Form& candidate : kForms) {
    if (args[0] == candidate.command) form = &candidate;
  }
  if (form == nullptr || args.size() < 2 + form->required || args.size() > 2 + form->allowed) {
    throw UsageError("usage: qbhost " + args[0] + " <module>" + (form ? form->usage : ""));
  }
  ScriptCommand call;
  call.def = FindCommand(args[0]);
  call.file = "qbhost " + args[0];
  call.source = args[0];
  for (std::size_t i = 2; i < args.size(); ++i) call.args.push_back(ScriptArg{0, 0, args[i]});
  return RunCommands(args[1], {call}, false, out, err);
}

int Reg(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  if (args.size() < 2) throw UsageError("reg needs a command: import, export, query, set, protect or delete");
  const std::string& command = args[1];
  std::size_t count = args.size() - 2;
  if (command == "import") {
    if (count < 1) throw UsageError("reg import needs at least one .reg file");
    std::vector<std::pair<std::string, RegFile>> files;
    for (std::size_t i = 2; i < args.size(); ++i) {
      std::string name = args[i] == "-" ? std::string("<stdin>") : args[i];
      files.emplace_back(name, ParseRegFile(ReadWholeFile(args[i]), name));
    }
    for (const auto& [name, regFile] : files) ApplyRegFile(regFile, name);
    return kExitOk;
  }
  if (command == "export") {
    if (count != 2) throw UsageError("usage: reg export <file.reg|-> <key>");
    WriteWholeFile(args[2], WriteRegFile(ExportTree(ParseKeyPath(args[3]))), out);
    return kExitOk;
  }
  if (command == "query") {
    if (count != 1 && count != 2) throw UsageError("usage: reg query <key> [<value name>]");
    KeyPath path = ParseKeyPath(args[2]);
    RegFileKey key = ReadKey(path);
    if (count == 2) {
      std::string name = ValueNameArg(args[3]);
      for (const RegFileValue& value : key.values) {
        if (fw::CompareNoCase(value.name, name) == 0) {
          out << FormatRegValue(value.name, value.type, value.data) << "\n";
          return kExitOk;
        }
      }
      err << "qbhost: " << path.Full() << " has no value \"" << name << "\"" << std::endl;
      return kExitUsage;
    }
    out << "[" << key.path << "]\n";
    for (const RegFileValue& value : key.values) out << FormatRegValue(value.name, value.type, value.data) << "\n";
    fw::RegKey open;
    if (open.Open(path.root, path.subKey.c_str()) == fw::kErrorSuccess) {
      for (const std::string& name : SubkeyNames(open.Get())) out << "[" << key.path << "\\" << name << "]\n";
    }
    return kExitOk;
  }
  if (command == "set") {
    if (count != 3) throw UsageError("usage: reg set <key> <value name> <data as in a .reg file>");
    std::uint32_t type = 0;
    std::string data;
    try {
      ParseRegData(args[4], type, data);
    } catch (const ParseError& e) {
      throw UsageError(std::string("reg set: ") + e.what());
    }
    SetValue(ParseKeyPath(args[2]), ValueNameArg(args[3]), type, data);
    return kExitOk;
  }
  if (command == "protect") {
    // The secret comes from standard input (its first line), never from the command line.
    if (count != 2) throw UsageError("usage: reg protect <key> <value name>  (the text on standard input)");
    std::string secret = ReadWholeFile("-");
    secret = secret.substr(0, secret.find_first_of("\r\n"));
    std::string sealed;
    if (!fw::ProtectData(secret, sealed)) {
      err << "qbhost: the text cannot be protected" << std::endl;
      return kExitUsage;
    }
    SetValue(ParseKeyPath(args[2]), ValueNameArg(args[3]), fw::kRegBinary, sealed);
    return kExitOk;
  }
  if (command == "delete") {
    if (count != 1 && count != 2) throw UsageError("usage: reg delete <key> [<value name>]");
    KeyPath path = ParseKeyPath(args[2]);
    bool existed = count == 1 ? DeleteTree(path) : DeleteValue(path, ValueNameArg(args[3]));
    if (!existed) err << "qbhost: nothing to delete" << std::endl;
    return kExitOk;
  }
  throw UsageError("unknown reg command '" + command + "'");
}

}  // namespace

std::string UsageText() {
  std::string text =
      "usage: qbhost run [--trace] <module> <script>...   replay session scripts (\"-\": standard input)\n"
      "       qbhost configure <module> [<profile>]        the configuration dialog (global without a profile)\n"
      "       qbhost install <module> <add-on directory>   install the add-on into the host\n"
      "       qbhost uninstall <module>                    remove the add-on from the host; prints 0\n"
      "       qbhost reg import <file.reg>...              apply REGEDIT4 files (Windows-1252)\n"
      "       qbhost reg export <file.reg|-> <key>         write a key and its subtree\n"
      "       qbhost reg query <key> [<value>]             show a key's values and subkeys, or one value\n"
      "       qbhost reg set <key> <value> <data>          data as in a .reg file: \"text\", dword:1c, hex:01,02\n"
      "       qbhost reg protect <key> <value>             store the first line of standard input as the\n"
      "                                                    module stores a password (sealed, binary)\n"
      "       qbhost reg delete <key> [<value>]            delete a key with its subtree, or one value\n"
      "       qbhost --help\n"
      "Keys start with HKEY_USERS, HKEY_CURRENT_USER or HKEY_LOCAL_MACHINE (HKU, HKCU, HKLM);\n"
      "the value name @ is the default value.\n"
      "Exit codes: 0 success, 1 usage, script, .reg or registry error, 2 module load error,\n"
      "3 WaitUnload time-out.\n"
      "\nScript commands (one per line; texts in double quotes with \\\" \\\\ \\t \\r \\n \\xNN; null):\n";
  for (const CommandDef& def : CommandDefs()) text += "  " + std::string(def.usage) + "\n";
  return text;
}

int RunCommandLine(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  try {
    if (args.empty()) throw UsageError("no command given");
    if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
      out << UsageText();
      return kExitOk;
    }
    if (args[0] == "run") return Run(args, out, err);
    if (args[0] == "reg") return Reg(args, out, err);
    if (args[0] == "configure" || args[0] == "install" || args[0] == "uninstall") return Setup(args, out, err);
    throw UsageError("unknown command '" + args[0] + "'");
  } catch (const UsageError& e) {
    err << "qbhost: " << e.what() << " (qbhost --help shows the usage)" << std::endl;
  } catch (const std::exception& e) {
    err << "qbhost: " << e.what() << std::endl;
  }
  return kExitUsage;
}

}  // namespace qbhost
