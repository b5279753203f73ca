// The module's string table (Windows-1252 bytes on every platform) and the string helpers
// that the add-on's texts need: printf-style formatting and ANSI case rules.
#pragma once

#include <cstdarg>
#include <string>
#include <string_view>

namespace fw {

// Loads string `id` of the module's string table into `text`. Returns false, leaving `text`
// empty, when the table has no such string. Ids are 16-bit: an id above 65535 never exists.
bool LoadString(unsigned long long id, std::string& text);

// The string `id`, or an empty string when it does not exist.
std::string LoadString(unsigned long long id);

// printf-style formatting into a std::string (the platform's C formatting rules).
std::string Format(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
std::string FormatV(const char* format, va_list args);

// Formats with the string `id` as the pattern (empty pattern when the string is missing).
std::string FormatId(unsigned id, ...);

// Case-insensitive comparison in the manner of the ANSI code page (Windows-1252 letters fold
// to their counterparts). Returns <0, 0 or >0.
int CompareNoCase(std::string_view a, std::string_view b);
char ToLowerAnsi(char c);
char ToUpperAnsi(char c);
void MakeLower(std::string& text);

// Removes white space (blank, tab, CR, LF, VT, FF) from both ends.
std::string Trim(std::string_view text);

}  // namespace fw
