// profiles.ini and prefs.js of Thunderbird (see ThunderbirdProfile.h).
#include "settings/ThunderbirdProfile.h"

#include <cctype>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "framework/codepage.h"
#include "framework/strings.h"

namespace {

// --- profiles.ini -------------------------------------------------------------------------

struct IniSection {
  std::string name;
  std::vector<std::pair<std::string, std::string>> entries;

  std::optional<std::string> Get(std::string_view key) const {
    for (const auto& [entryKey, value] : entries) {
      if (entryKey == key) return value;
    }
    return std::nullopt;
  }
};

std::vector<IniSection> ParseIni(std::string_view text) {
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  std::vector<IniSection> sections;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::string line = fw::Trim(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line.front() == '[') {
      const std::size_t close = line.find(']');
      if (close != std::string::npos) sections.push_back({line.substr(1, close - 1), {}});
      continue;
    }
    const std::size_t equals = line.find('=');
    if (equals == std::string::npos || sections.empty()) continue;
    sections.back().entries.emplace_back(fw::Trim(std::string_view(line).substr(0, equals)),
                                         fw::Trim(std::string_view(line).substr(equals + 1)));
  }
  return sections;
}

std::string ProfileFolder(const IniSection& profile, const std::string& baseFolder, char separator) {
  const std::optional<std::string> path = profile.Get("Path");
  const std::optional<std::string> relative = profile.Get("IsRelative");
  if (!path || path->empty() || !relative) return {};
  if (*relative != "1") return *path;
  std::string folder = baseFolder;
  if (!folder.empty() && folder.back() != separator) folder += separator;
  for (const char c : *path) folder += c == '/' ? separator : c;
  return folder;
}

// --- prefs.js ------------------------------------------------------------------------------

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The statements of prefs.js, read token by token.
class PrefsReader {
 public:
  explicit PrefsReader(std::string_view text) : m_text(text) {}

  std::map<std::string, PrefValue> ReadAll() {
    std::map<std::string, PrefValue> prefs;
    for (SkipBlanks(); m_pos < m_text.size(); SkipBlanks()) {
      const std::size_t start = m_pos;
      std::string name;
      PrefValue value;
      if (ReadStatement(name, value)) {
        prefs[name] = std::move(value);
      } else {
        m_pos = start;
        SkipPast(';');
      }
    }
    return prefs;
  }

 private:
  // name(string, value[, further arguments]);
  bool ReadStatement(std::string& name, PrefValue& value) {
    const std::string function = ReadWord();
    if (function != "user_pref" && function != "pref" && function != "sticky_pref") return false;
    if (!Take('(') || !ReadString(name) || !Take(',') || !ReadValue(value)) return false;
    while (Take(',')) {
      PrefValue ignored;
      if (!ReadValue(ignored) && ReadWord().empty()) return false;  // "sticky", "locked"
    }
    return Take(')') && Take(';');
  }

  bool ReadValue(PrefValue& value) {
    SkipBlanks();
    if (m_pos >= m_text.size()) return false;
    const char c = m_text[m_pos];
    if (c == '"' || c == '\'') {
      std::string text;
      if (!ReadString(text)) return false;
      value = std::move(text);
      return true;
    }
    if (c == '-' || c == '+' || (c >= '0' && c <= '9')) return ReadNumber(value);
    const std::size_t start = m_pos;
    const std::string word = ReadWord();
    if (word == "true" || word == "false") {
      value = word == "true";
      return true;
    }
    m_pos = start;
    return false;
  }

  bool ReadNumber(PrefValue& value) {
    const bool negative = m_text[m_pos] == '-';
    if (m_text[m_pos] == '-' || m_text[m_pos] == '+') ++m_pos;
    long long number = 0;
    std::size_t digits = 0;
    for (; m_pos < m_text.size() && m_text[m_pos] >= '0' && m_text[m_pos] <= '9'; ++m_pos, ++digits) {
      if (number > (INT64_MAX - 9) / 10) return false;
      number = number * 10 + (m_text[m_pos] - '0');
    }
    if (digits == 0) return false;
    value = negative ? -number : number;
    return true;
  }

  // A quoted text with JavaScript's escapes, as UTF-8.
  bool ReadString(std::string& out) {
    SkipBlanks();
    if (m_pos >= m_text.size() || (m_text[m_pos] != '"' && m_text[m_pos] != '\'')) return false;
    const char quote = m_text[m_pos++];
    out.clear();
    char16_t highSurrogate = 0;
    while (m_pos < m_text.size()) {
      const char c = m_text[m_pos++];
      if (c == quote && highSurrogate == 0) return true;
      if (c == '\n' || c == quote) return false;
      if (c != '\\') {
        if (highSurrogate != 0) return false;
        out += c;
        continue;
      }
      char32_t escaped = 0;
      if (!ReadEscape(escaped)) return false;
      if (escaped >= 0xDC00 && escaped <= 0xDFFF) {
        if (highSurrogate == 0) return false;
        fw::AppendUtf8(0x10000 + ((highSurrogate - 0xD800) << 10) + (escaped - 0xDC00), out);
        highSurrogate = 0;
      } else if (highSurrogate != 0) {
        return false;
      } else if (escaped >= 0xD800 && escaped <= 0xDBFF) {
        highSurrogate = static_cast<char16_t>(escaped);
      } else {
        fw::AppendUtf8(escaped, out);
      }
    }
    return false;
  }

  bool ReadEscape(char32_t& c) {
    if (m_pos >= m_text.size()) return false;
    const char kind = m_text[m_pos++];
    switch (kind) {
      case 'n':
        c = '\n';
        return true;
      case 'r':
        c = '\r';
        return true;
      case 't':
        c = '\t';
        return true;
      case 'b':
        c = '\b';
        return true;
      case 'f':
        c = '\f';
        return true;
      case 'v':
        c = '\v';
        return true;
      case 'x':
        return ReadHex(2, c);
      case 'u':
        return ReadHex(4, c);
      case '\n':
        return false;
      default:
        // \\, \", \' and other ASCII characters stand for themselves.
        c = static_cast<unsigned char>(kind);
        return c < 0x80;
    }
  }

  bool ReadHex(int digits, char32_t& c) {
    c = 0;
    for (int i = 0; i < digits; ++i) {
      const int value = m_pos < m_text.size() ? HexValue(m_text[m_pos++]) : -1;
      if (value < 0) return false;
      c = c * 16 + static_cast<char32_t>(value);
    }
    return true;
  }

  std::string ReadWord() {
    SkipBlanks();
    const std::size_t start = m_pos;
    while (m_pos < m_text.size() && (std::isalnum(static_cast<unsigned char>(m_text[m_pos])) || m_text[m_pos] == '_')) {
      ++m_pos;
    }
    return std::string(m_text.substr(start, m_pos - start));
  }

  bool Take(char c) {
    SkipBlanks();
    if (m_pos >= m_text.size() || m_text[m_pos] != c) return false;
    ++m_pos;
    return true;
  }

  // Skips to after the next `c` outside quotes (or to the end).
  void SkipPast(char c) {
    char quote = 0;
    while (m_pos < m_text.size()) {
      const char next = m_text[m_pos++];
      if (quote != 0) {
        if (next == '\\') {
          ++m_pos;
        } else if (next == quote || next == '\n') {
          quote = 0;
        }
      } else if (next == '"' || next == '\'') {
        quote = next;
      } else if (next == c) {
        return;
      }
    }
  }

  void SkipBlanks() {
    while (m_pos < m_text.size()) {
      const char c = m_text[m_pos];
      if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v') {
        ++m_pos;
      } else if (c == '#' || m_text.substr(m_pos, 2) == "//") {
        const std::size_t end = m_text.find('\n', m_pos);
        m_pos = end == std::string_view::npos ? m_text.size() : end + 1;
      } else if (m_text.substr(m_pos, 2) == "/*") {
        const std::size_t end = m_text.find("*/", m_pos + 2);
        m_pos = end == std::string_view::npos ? m_text.size() : end + 2;
      } else {
        return;
      }
    }
  }

  std::string_view m_text;
  std::size_t m_pos = 0;
};

}  // namespace

std::string DefaultProfileFolder(std::string_view profilesIni, const std::string& baseFolder, char separator) {
  const std::vector<IniSection> sections = ParseIni(profilesIni);
  std::vector<const IniSection*> profiles;
  for (const IniSection& section : sections) {
    if (section.name.starts_with("Profile")) profiles.push_back(&section);
  }
  for (const IniSection& section : sections) {
    const std::optional<std::string> path = section.name.starts_with("Install") ? section.Get("Default") : std::nullopt;
    if (!path) continue;
    for (const IniSection* profile : profiles) {
      if (profile->Get("Path") == path) return ProfileFolder(*profile, baseFolder, separator);
    }
  }
  for (const IniSection* profile : profiles) {
    if (profile->Get("Default") == "1") return ProfileFolder(*profile, baseFolder, separator);
  }
  return profiles.size() == 1 ? ProfileFolder(*profiles.front(), baseFolder, separator) : std::string();
}

std::map<std::string, PrefValue> ParsePrefs(std::string_view prefsJs) {
  return PrefsReader(prefsJs).ReadAll();
}
