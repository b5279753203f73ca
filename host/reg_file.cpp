// REGEDIT4 files: reading (logical lines, keys, value lines, data forms) and writing.
#include "host/reg_file.h"

#include <cstdio>
#include <stdexcept>

#include "framework/registry.h"
#include "framework/strings.h"

namespace qbhost {
namespace {

constexpr std::size_t kHexLineWidth = 77;  // continued hex lines stay within 80 columns

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view TrimLeft(std::string_view s) {
  while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
  return s;
}

std::string_view TrimRight(std::string_view s) {
  while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
  return s;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && fw::CompareNoCase(text.substr(0, prefix.size()), prefix) == 0;
}

// Hexadecimal number of 1..8 digits.
bool ParseHex32(std::string_view digits, std::uint32_t& value) {
  if (digits.empty() || digits.size() > 8) return false;
  value = 0;
  for (char c : digits) {
    int d = HexDigit(c);
    if (d < 0) return false;
    value = value * 16 + static_cast<std::uint32_t>(d);
  }
  return true;
}

// Reads a quoted text whose first character is the opening quote; \\ and \" are the escapes.
// Returns the text and leaves `rest` after the closing quote.
std::string ParseQuoted(std::string_view text, std::string_view& rest) {
  std::string out;
  std::size_t i = 1;
  while (i < text.size()) {
    char c = text[i++];
    if (c == '"') {
      rest = text.substr(i);
      return out;
    }
    if (c == '\\') {
      if (i >= text.size()) break;
      char e = text[i++];
      if (e != '\\' && e != '"')
        throw ParseError(std::string("unknown escape \\") + e + " (write \\\\ for a backslash)");
      out += e;
      continue;
    }
    out += c;
  }
  throw ParseError("unterminated quoted text");
}

std::string ParseHexBytes(std::string_view list) {
  std::string bytes;
  list = TrimRight(TrimLeft(list));
  if (list.empty()) return bytes;
  std::size_t pos = 0;
  for (;;) {
    std::size_t comma = list.find(',', pos);
    std::string_view item =
        TrimRight(TrimLeft(list.substr(pos, comma == std::string_view::npos ? comma : comma - pos)));
    bool last = comma == std::string_view::npos;
    if (item.empty() && last && pos > 0) break;  // a trailing comma
    std::uint32_t value;
    if (item.size() > 2 || !ParseHex32(item, value))
      throw ParseError("bad hex byte '" + std::string(item) + "' (expected two hexadecimal digits)");
    bytes += static_cast<char>(value);
    if (last) break;
    pos = comma + 1;
  }
  return bytes;
}

std::string EscapeQuoted(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out;
}

bool HasLineBreak(std::string_view text) {
  return text.find_first_of("\r\n") != std::string_view::npos;
}

// A value's name as a .reg line starts: @ for the default value, else the quoted name.
std::string NameField(const std::string& name) {
  if (HasLineBreak(name)) throw std::runtime_error("a value name with a line break cannot be written to a .reg file");
  if (name.empty()) return "@";
  std::string field = "\"";
  field += EscapeQuoted(name);
  field += '"';
  return field;
}

// REG_SZ data that the quoted form carries exactly: one terminating zero, nothing it cannot hold.
bool IsPlainString(const std::string& data) {
  return !data.empty() && data.back() == '\0' && data.find('\0') == data.size() - 1 && !HasLineBreak(data);
}

std::string FormatHexList(std::string prefix, const std::string& data) {
  std::string out = std::move(prefix);
  std::size_t column = out.size();
  char item[4];
  for (std::size_t i = 0; i < data.size(); ++i) {
    bool last = i + 1 == data.size();
    std::snprintf(item, sizeof item, last ? "%02x" : "%02x,", static_cast<unsigned char>(data[i]));
    std::size_t width = last ? 2 : 3;
    if (i > 0 && column + width > kHexLineWidth) {
      out += "\\\r\n  ";
      column = 2;
    }
    out += item;
    column += width;
  }
  return out;
}

struct LogicalLine {
  std::string text;
  int number;
};

// Splits into lines (LF or CR LF) and joins lines that end with a backslash to the next one,
// whose leading blanks are dropped. Comment lines are never continued.
std::vector<LogicalLine> LogicalLines(std::string_view text) {
  std::vector<std::string_view> physical;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    physical.push_back(line);
    pos = end + 1;
  }
  std::vector<LogicalLine> lines;
  for (std::size_t i = 0; i < physical.size(); ++i) {
    LogicalLine line{std::string(physical[i]), static_cast<int>(i + 1)};
    bool comment = TrimLeft(line.text).starts_with(';');
    while (!comment && i + 1 < physical.size()) {
      std::string_view trimmed = TrimRight(line.text);
      if (!trimmed.ends_with('\\')) break;
      line.text.resize(trimmed.size() - 1);
      line.text += TrimLeft(physical[++i]);
    }
    lines.push_back(std::move(line));
  }
  return lines;
}

}  // namespace

KeyPath ParseKeyPath(std::string_view path) {
  struct Root {
    std::string_view name, abbreviation;
    fw::HKEY (*handle)();
  };
  static constexpr Root kRoots[] = {{"HKEY_USERS", "HKU", fw::HKeyUsers},
                                    {"HKEY_CURRENT_USER", "HKCU", fw::HKeyCurrentUser},
                                    {"HKEY_LOCAL_MACHINE", "HKLM", fw::HKeyLocalMachine}};
  std::size_t slash = path.find('\\');
  std::string_view rootName = path.substr(0, slash);
  KeyPath result;
  for (const Root& root : kRoots) {
    if (fw::CompareNoCase(rootName, root.name) == 0 || fw::CompareNoCase(rootName, root.abbreviation) == 0) {
      result.root = root.handle();
      result.rootName = std::string(root.name);
    }
  }
  if (!result.root)
    throw ParseError("unsupported root '" + std::string(rootName) +
                     "' (HKEY_USERS, HKEY_CURRENT_USER or HKEY_LOCAL_MACHINE)");
  if (slash == std::string_view::npos) return result;
  result.subKey = std::string(path.substr(slash + 1));
  std::size_t start = 0;
  for (;;) {
    std::size_t next = result.subKey.find('\\', start);
    if (next == start || start == result.subKey.size())
      throw ParseError("empty key name in '" + std::string(path) + "'");
    if (next == std::string::npos) break;
    start = next + 1;
  }
  return result;
}

void ParseRegData(std::string_view text, std::uint32_t& type, std::string& data) {
  text = TrimRight(TrimLeft(text));
  if (text.starts_with('"')) {
    std::string_view rest;
    data = ParseQuoted(text, rest);
    if (!TrimLeft(rest).empty()) throw ParseError("unexpected text after the closing quotation mark");
    data += '\0';
    type = fw::kRegSz;
    return;
  }
  if (StartsWithNoCase(text, "dword:")) {
    std::uint32_t value;
    if (!ParseHex32(text.substr(6), value)) throw ParseError("dword: needs 1 to 8 hexadecimal digits");
    data.assign(4, '\0');
    for (int i = 0; i < 4; ++i) data[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    type = fw::kRegDword;
    return;
  }
  if (StartsWithNoCase(text, "hex:")) {
    data = ParseHexBytes(text.substr(4));
    type = fw::kRegBinary;
    return;
  }
  if (StartsWithNoCase(text, "hex(")) {
    std::size_t close = text.find("):");
    if (close == std::string_view::npos || !ParseHex32(text.substr(4, close - 4), type))
      throw ParseError("hex(n): needs a hexadecimal type number");
    data = ParseHexBytes(text.substr(close + 2));
    return;
  }
  throw ParseError("expected \"text\", dword:, hex: or hex(n): after '='");
}

RegFile ParseRegFile(std::string_view text, const std::string& file) {
  auto fail = [&file](int line, const std::string& message) {
    throw ParseError(file + ":" + std::to_string(line) + ": " + message);
  };
  if (text.starts_with("\xFF\xFE") || text.starts_with("\xFE\xFF"))
    fail(1, "UTF-16 text: write the file as REGEDIT4 in Windows-1252");
  if (text.starts_with("\xEF\xBB\xBF")) fail(1, "UTF-8 byte order mark: write the file as REGEDIT4 in Windows-1252");

  RegFile result;
  bool header = false;
  for (const LogicalLine& logical : LogicalLines(text)) {
    std::string_view line = TrimRight(TrimLeft(logical.text));
    if (line.empty()) continue;
    if (!header) {
      if (line != "REGEDIT4") fail(logical.number, "expected the header REGEDIT4");
      header = true;
      continue;
    }
    try {
      if (line.starts_with(';')) continue;
      if (line.starts_with('[')) {
        std::size_t close = line.rfind(']');
        if (close == std::string_view::npos || close != line.size() - 1)
          throw ParseError("a key line must end with ']'");
        RegFileKey key;
        key.line = logical.number;
        std::string_view path = line.substr(1, close - 1);
        if (path.starts_with('-')) {
          key.remove = true;
          path.remove_prefix(1);
        }
        key.path = ParseKeyPath(path).Full();
        result.keys.push_back(std::move(key));
        continue;
      }
      if (line.starts_with('"') || line.starts_with('@')) {
        if (result.keys.empty()) throw ParseError("a value line before the first [key]");
        RegFileKey& key = result.keys.back();
        if (key.remove) throw ParseError("a value line under a key that is being deleted");
        RegFileValue value;
        value.line = logical.number;
        std::string_view rest;
        if (line.starts_with('@')) {
          rest = line.substr(1);
        } else {
          value.name = ParseQuoted(line, rest);
        }
        rest = TrimLeft(rest);
        if (!rest.starts_with('=')) throw ParseError("expected '=' after the value name");
        rest = TrimLeft(rest.substr(1));
        if (rest == "-") {
          value.remove = true;
        } else {
          ParseRegData(rest, value.type, value.data);
        }
        key.values.push_back(std::move(value));
        continue;
      }
      throw ParseError("expected [key], \"name\"=data, @=data or a ; comment");
    } catch (const ParseError& e) {
      fail(logical.number, e.what());
    }
  }
  if (!header) fail(1, "empty file: expected the header REGEDIT4");
  return result;
}

std::string FormatRegValue(const std::string& name, std::uint32_t type, const std::string& data) {
  std::string line = NameField(name);
  line += '=';
  if (type == fw::kRegSz && IsPlainString(data)) {
    line += '"';
    line += EscapeQuoted(std::string_view(data).substr(0, data.size() - 1));
    line += '"';
    return line;
  }
  char prefix[24];
  if (type == fw::kRegDword && data.size() == 4) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(data[i]);
    std::snprintf(prefix, sizeof prefix, "dword:%08lx", static_cast<unsigned long>(value));
    return line += prefix;
  }
  if (type == fw::kRegBinary) {
    std::snprintf(prefix, sizeof prefix, "hex:");
  } else {
    std::snprintf(prefix, sizeof prefix, "hex(%lx):", static_cast<unsigned long>(type));
  }
  return FormatHexList(line += prefix, data);
}

std::string WriteRegFile(const RegFile& regFile) {
  std::string out = "REGEDIT4\r\n";
  for (const RegFileKey& key : regFile.keys) {
    if (HasLineBreak(key.path))
      throw std::runtime_error("a key name with a line break cannot be written to a .reg file");
    out += key.remove ? "\r\n[-" : "\r\n[";
    out += key.path;
    out += "]\r\n";
    for (const RegFileValue& value : key.values) {
      if (value.remove) {
        out += NameField(value.name);
        out += "=-";
      } else {
        out += FormatRegValue(value.name, value.type, value.data);
      }
      out += "\r\n";
    }
  }
  out += "\r\n";
  return out;
}

}  // namespace qbhost
