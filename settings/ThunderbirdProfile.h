// Thunderbird's settings files as mail-account discovery reads them: profiles.ini (which
// profile is the default) and a profile's prefs.js (what its user_pref statements set).
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <variant>

// The default profile's folder as profiles.ini (UTF-8) names it: the profile of the first
// [Install...] section whose Default= names a listed profile, else the [Profile...] section
// with Default=1, else the only profile. A path with IsRelative=1 is resolved against
// `baseFolder`, its '/' replaced by `separator`; one with IsRelative=0 is taken as it is.
// Empty when the file names no usable profile.
std::string DefaultProfileFolder(std::string_view profilesIni, const std::string& baseFolder, char separator);

// A preference's value: text (UTF-8, escapes resolved), a whole number, or a flag.
using PrefValue = std::variant<std::string, long long, bool>;

// The preferences that prefs.js sets with user_pref, pref or sticky_pref; a later statement for
// a name wins. Comments (//, /* */, #) are skipped; so is a malformed statement, up to its ';',
// and a text whose escapes are malformed or name no character.
std::map<std::string, PrefValue> ParsePrefs(std::string_view prefsJs);
