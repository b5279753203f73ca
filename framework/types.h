// Basic types of the framework: the Win32-sized integers and handles that the add-on's
// interfaces speak in, without any operating-system header.
#pragma once

#include <cstdint>

namespace fw {

using DWORD = std::uint32_t;
using UINT = unsigned int;
using UINT_PTR = std::uintptr_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;
using HANDLE = void*;

// Window messages that cross the framework boundary (same values as Win32).
inline constexpr UINT kWmDestroy = 0x0002;
inline constexpr UINT kWmClose = 0x0010;
inline constexpr UINT kWmQuit = 0x0012;
inline constexpr UINT kWmSetIcon = 0x0080;  // wParam kIconSmall or kIconBig, lParam the icon
inline constexpr UINT kWmNcDestroy = 0x0082;
inline constexpr UINT kWmInitDialog = 0x0110;
inline constexpr UINT kWmCommand = 0x0111;
inline constexpr UINT kWmTimer = 0x0113;
inline constexpr UINT kWmUser = 0x0400;

// Dialog command ids.
inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;

inline constexpr WPARAM kIconSmall = 0;
inline constexpr WPARAM kIconBig = 1;
inline constexpr UINT kBnClicked = 0;  // the notification code of a button's kWmCommand

inline constexpr std::uint16_t LoWord(std::uintptr_t v) {
  return static_cast<std::uint16_t>(v & 0xFFFF);
}
inline constexpr std::uint16_t HiWord(std::uintptr_t v) {
  return static_cast<std::uint16_t>((v >> 16) & 0xFFFF);
}

}  // namespace fw
