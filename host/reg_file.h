// Registry files in the REGEDIT4 text format (Windows-1252 bytes): a reader that checks the
// whole file before anything is applied, and a writer whose output the reader takes back
// exactly (every value keeps its type and every data byte).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "framework/registry.h"
#include "host/script.h"  // ParseError

namespace qbhost {

struct KeyPath {
  fw::HKEY root = nullptr;
  std::string rootName;  // the root's full name
  std::string subKey;    // below the root; empty for the root itself

  std::string Full() const { return subKey.empty() ? rootName : rootName + "\\" + subKey; }
};

// Splits "HKEY_USERS\a\b" (HKU, HKCU and HKLM abbreviate the roots) into root and subkey.
// Throws ParseError for an unknown root or an empty key name.
KeyPath ParseKeyPath(std::string_view path);

struct RegFileValue {
  std::string name;     // "" is the key's default value (@)
  bool remove = false;  // "name"=-
  std::uint32_t type = 0;
  std::string data;  // the value's bytes, as stored
  int line = 0;
};

struct RegFileKey {
  std::string path;     // root and subkeys as written, e.g. "HKEY_USERS\.DEFAULT\Software"
  bool remove = false;  // [-path]
  int line = 0;
  std::vector<RegFileValue> values;
};

struct RegFile {
  std::vector<RegFileKey> keys;
};

// Parses a .reg file; `file` names it in error messages ("file:line: message").
RegFile ParseRegFile(std::string_view text, const std::string& file);

// Writes a .reg file: "REGEDIT4", then each key with its values, CR LF line ends.
std::string WriteRegFile(const RegFile& regFile);

// One value line ("name"=data) without its line end. Strings that the quoted form cannot
// carry (no terminating zero, an inner zero, CR or LF) are written as hex(1).
std::string FormatRegValue(const std::string& name, std::uint32_t type, const std::string& data);

// Parses the data part of a value line (after '='): "text", dword:NNNNNNNN, hex:.., hex(n):..
// Throws ParseError (message without file and line).
void ParseRegData(std::string_view text, std::uint32_t& type, std::string& data);

}  // namespace qbhost
