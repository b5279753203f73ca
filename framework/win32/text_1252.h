// Windows-1252 text to and from the UTF-16 of the system's wide functions, whatever the
// system's ANSI code page is.
#pragma once

#include <string>
#include <string_view>

#include "framework/win32/windows_api.h"

namespace fw::win32 {

std::wstring WideFromWindows1252(std::string_view text);
// False when a character has no Windows-1252 byte (nothing is replaced by a look-alike).
bool Windows1252FromWide(std::wstring_view text, std::string& out);

}  // namespace fw::win32
