// Mail-account discovery over the stores of MailAccounts.h: the account keys of Outlook and of
// the Internet Account Manager, the mail profiles of newer Outlook versions, and Thunderbird's
// default profile. Every store gives accounts; one rule takes from them.
#include "settings/MailAccounts.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "framework/app.h"
#include "framework/codepage.h"
#include "framework/filesystem.h"
#include "framework/registry.h"
#include "framework/strings.h"
#include "settings/ThunderbirdProfile.h"

namespace {

constexpr std::uint32_t kKeyNameBuffer = 512;
constexpr std::uint32_t kTextBuffer = 1024;          // Windows-1252 bytes of a text value
constexpr std::uint32_t kWideTextBuffer = 2 * 1024;  // UTF-16 bytes of a text value
constexpr std::size_t kMaxProfilesIni = 1 << 20;
constexpr std::size_t kMaxPrefsJs = 64 << 20;

constexpr const char* kOutlookStore = "Software\\Microsoft\\Office\\Outlook\\OMI Account Manager\\Accounts";
constexpr const char* kInternetAccountManagerStore = "Software\\Microsoft\\Internet Account Manager\\Accounts";
constexpr const char* kOfficeKey = "Software\\Microsoft\\Office";
constexpr const char* kMailAccountsSubkey = "9375CFF0413111d3B88A00104B2A6676";

// What one account offers; an absent part is not offered.
struct Account {
  std::optional<std::string> server;
  std::optional<int> port;
  std::optional<std::string> address;
};

// The search's fields and its one rule: only empty fields are filled, a port only together
// with its server.
struct Search {
  std::string& server;
  int& port;
  std::string& address;

  // Takes what `account` offers; true when the search is complete.
  bool Take(const Account& account) {
    if (server.empty() && account.server) {
      server = *account.server;
      if (account.port) port = *account.port;
    }
    if (address.empty() && account.address) address = *account.address;
    return !server.empty() && !address.empty();
  }
};

// --- registry values ---------------------------------------------------------------------

// A REG_SZ value that is not empty, read into 1024 bytes. A text that fills them without a
// terminating zero is taken as those 1024 bytes; a longer one does not fit and is not used.
std::optional<std::string> QueryText(fw::HKEY key, const char* name) {
  char buffer[kTextBuffer] = {};
  std::uint32_t type = 0;
  std::uint32_t size = sizeof buffer;
  if (fw::RegQueryValue(key, name, &type, buffer, &size) != fw::kErrorSuccess || type != fw::kRegSz || size == 0 ||
      buffer[0] == '\0') {
    return std::nullopt;
  }
  const std::string_view text(buffer, std::min<std::size_t>(size, sizeof buffer));
  return std::string(text.substr(0, text.find('\0')));
}

// A REG_DWORD value with at least one byte.
std::optional<int> QueryPort(fw::HKEY key, const char* name) {
  std::uint32_t value = 0;
  std::uint32_t type = 0;
  std::uint32_t size = sizeof value;
  if (fw::RegQueryValue(key, name, &type, &value, &size) != fw::kErrorSuccess || type != fw::kRegDword || size == 0) {
    return std::nullopt;
  }
  return static_cast<int>(value);
}

// A REG_BINARY value holding UTF-16LE text up to a zero unit or its end, at most 1024 units,
// not empty, and all of it in Windows-1252.
std::optional<std::string> QueryWideText(fw::HKEY key, const char* name) {
  unsigned char buffer[kWideTextBuffer] = {};
  std::uint32_t type = 0;
  std::uint32_t size = sizeof buffer;
  if (fw::RegQueryValue(key, name, &type, buffer, &size) != fw::kErrorSuccess || type != fw::kRegBinary) {
    return std::nullopt;
  }
  std::u16string units;
  for (std::uint32_t i = 0; i + 1 < std::min<std::uint32_t>(size, sizeof buffer); i += 2) {
    const auto unit = static_cast<char16_t>(buffer[i] | (buffer[i + 1] << 8));
    if (unit == 0) break;
    units += unit;
  }
  std::string text;
  if (units.empty() || !fw::Utf16ToWindows1252(units, text)) return std::nullopt;
  return text;
}

// Visits the subkeys of `key` in enumeration order until `visit` returns true; true then.
template <typename Visit>
bool ForEachSubkey(fw::HKEY key, Visit visit) {
  char name[kKeyNameBuffer];
  for (std::uint32_t index = 0; fw::RegEnumKey(key, index, name, sizeof name) == fw::kErrorSuccess; ++index) {
    if (visit(name)) return true;
  }
  return false;
}

// --- the stores ----------------------------------------------------------------------------

// An account key of Outlook or the Internet Account Manager: ANSI texts.
Account ReadAccountKey(fw::HKEY account) {
  return {QueryText(account, "SMTP Server"), QueryPort(account, "SMTP Port"), QueryText(account, "SMTP Email Address")};
}

// An account key of a newer Outlook's mail profile: UTF-16 texts.
Account ReadProfileAccountKey(fw::HKEY account) {
  return {QueryWideText(account, "SMTP Server"), QueryPort(account, "SMTP Port"), QueryWideText(account, "Email")};
}

// Each subkey of `storeKey` below HKEY_CURRENT_USER is one account; true when the search ended.
template <typename ReadAccount>
bool SearchAccountKeys(fw::HKEY parent, const char* storeKey, ReadAccount readAccount, Search& search) {
  fw::RegKey store;
  if (store.Open(parent, storeKey) != fw::kErrorSuccess) return false;
  return ForEachSubkey(store.Get(), [&](const char* name) {
    fw::RegKey account;
    if (account.Open(store.Get(), name) != fw::kErrorSuccess) return false;
    return search.Take(readAccount(account.Get()));
  });
}

// Office versions ("16.0", "15.0", ...) below the Office key, newest first.
std::vector<std::string> OfficeVersions(fw::HKEY office) {
  std::vector<std::pair<std::pair<long, long>, std::string>> versions;
  ForEachSubkey(office, [&](const char* name) {
    const std::string_view text(name);
    const std::size_t dot = text.find('.');
    const auto number = [](std::string_view digits, long& value) {
      if (digits.empty() || digits.size() > 6) return false;
      value = 0;
      for (const char c : digits) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
      }
      return true;
    };
    long major = 0;
    long minor = 0;
    if (dot != std::string_view::npos && number(text.substr(0, dot), major) && number(text.substr(dot + 1), minor)) {
      versions.push_back({{major, minor}, name});
    }
    return false;
  });
  std::stable_sort(versions.begin(), versions.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
  std::vector<std::string> names;
  names.reserve(versions.size());
  for (auto& version : versions) names.push_back(std::move(version.second));
  return names;
}

// The profiles of one Outlook version, the default profile first; true when the search ended.
bool SearchOutlookVersion(fw::HKEY office, const std::string& version, Search& search) {
  fw::RegKey outlook;
  fw::RegKey profiles;
  if (outlook.Open(office, (version + "\\Outlook").c_str()) != fw::kErrorSuccess ||
      profiles.Open(outlook.Get(), "Profiles") != fw::kErrorSuccess) {
    return false;
  }
  std::vector<std::string> names;
  const std::string defaultProfile = QueryText(outlook.Get(), "DefaultProfile").value_or("");
  if (!defaultProfile.empty()) names.push_back(defaultProfile);
  ForEachSubkey(profiles.Get(), [&](const char* name) {
    if (defaultProfile.empty() || fw::CompareNoCase(name, defaultProfile) != 0) names.emplace_back(name);
    return false;
  });
  for (const std::string& profile : names) {
    if (SearchAccountKeys(profiles.Get(), (profile + "\\" + kMailAccountsSubkey).c_str(), ReadProfileAccountKey,
                          search)) {
      return true;
    }
  }
  return false;
}

void SearchOutlookProfiles(Search& search) {
  fw::RegKey office;
  if (office.Open(fw::HKeyCurrentUser(), kOfficeKey) != fw::kErrorSuccess) return;
  for (const std::string& version : OfficeVersions(office.Get())) {
    if (SearchOutlookVersion(office.Get(), version, search)) return;
  }
}

// A text preference in Windows-1252, when it is set, not empty and fits.
std::optional<std::string> TextPref(const std::map<std::string, PrefValue>& prefs, const std::string& name) {
  const auto found = prefs.find(name);
  const std::string* utf8 = found != prefs.end() ? std::get_if<std::string>(&found->second) : nullptr;
  std::string text;
  if (utf8 == nullptr || !fw::Utf8ToWindows1252(*utf8, text) || text.empty() || text.size() > kTextBuffer) {
    return std::nullopt;
  }
  return text;
}

// The default SMTP server (its host name, and its port when one is set: 0 means the
// protocol's default there) and the default account's first identity's address.
Account ReadThunderbirdAccount(const std::map<std::string, PrefValue>& prefs) {
  const auto raw = [&prefs](const std::string& name) {
    const auto found = prefs.find(name);
    const std::string* text = found != prefs.end() ? std::get_if<std::string>(&found->second) : nullptr;
    return text != nullptr ? *text : std::string();
  };
  Account account;
  const std::string accountId = raw("mail.accountmanager.defaultaccount");
  const std::string identities = accountId.empty() ? "" : raw("mail.account." + accountId + ".identities");
  const std::string identity = fw::Trim(std::string_view(identities).substr(0, identities.find(',')));
  if (!identity.empty()) account.address = TextPref(prefs, "mail.identity." + identity + ".useremail");

  std::string serverId = raw("mail.smtp.defaultserver");
  if (serverId.empty() && !identity.empty()) serverId = raw("mail.identity." + identity + ".smtpServer");
  if (serverId.empty()) return account;
  account.server = TextPref(prefs, "mail.smtpserver." + serverId + ".hostname");
  const auto port = prefs.find("mail.smtpserver." + serverId + ".port");
  const long long* number = port != prefs.end() ? std::get_if<long long>(&port->second) : nullptr;
  if (number != nullptr && *number >= 1 && *number <= 65535) account.port = static_cast<int>(*number);
  return account;
}

void SearchThunderbird(Search& search) {
  const std::string base = fw::UserAppFolder("Thunderbird");
  std::string profilesIni;
  if (base.empty() || !fw::ReadWholeFile(base + fw::kPathSeparator + "profiles.ini", kMaxProfilesIni, profilesIni)) {
    return;
  }
  const std::string profile = DefaultProfileFolder(profilesIni, base, fw::kPathSeparator);
  std::string prefsJs;
  if (profile.empty() || !fw::ReadWholeFile(profile + fw::kPathSeparator + "prefs.js", kMaxPrefsJs, prefsJs)) return;
  search.Take(ReadThunderbirdAccount(ParsePrefs(prefsJs)));
}

}  // namespace

void ReadMailAccounts(int nSource, std::string& strServer, int& nPort, std::string& strAddress) {
  Search search{strServer, nPort, strAddress};
  switch (nSource) {
    case kMailSourceOutlook:
      SearchAccountKeys(fw::HKeyCurrentUser(), kOutlookStore, ReadAccountKey, search);
      break;
    case kMailSourceOutlookProfiles:
      SearchOutlookProfiles(search);
      break;
    case kMailSourceThunderbird:
      SearchThunderbird(search);
      break;
    default:  // any other value: the Internet Account Manager
      SearchAccountKeys(fw::HKeyCurrentUser(), kInternetAccountManagerStore, ReadAccountKey, search);
      break;
  }
}

void ReadAllMailAccounts(std::string& strServer, int& nPort, std::string& strAddress) {
  for (int source = 0; source < kMailSourceCount; ++source) ReadMailAccounts(source, strServer, nPort, strAddress);
}
