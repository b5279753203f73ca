// Message boxes with the application's name as their caption (AfxGetAppName) and an OK
// button. Texts are Windows-1252.
//
// Windows: MessageBoxW with the text converted from Windows-1252, owned by the calling
// thread's modal dialog (or its active window); a text box is a modal dialog box of the same
// owner with the text in a read-only, scrollable edit. Elsewhere: the caption and the text on
// the terminal, answered with Enter; without a terminal they go to standard error and the box
// returns at once.
#pragma once

#include <string>

#include "framework/types.h"

namespace fw {

inline constexpr UINT kMbOk = 0x00;
inline constexpr UINT kMbIconExclamation = 0x30;
inline constexpr UINT kMbIconInformation = 0x40;

// Shows the text and returns kIdOk once the user has answered.
int AfxMessageBox(const std::string& text, UINT type = kMbOk);
// Shows string `textId` of the module's string table.
int AfxMessageBox(UINT textId, UINT type = kMbOk);
// Shows a text of any length (lines separated by "\r\n") that the user can scroll, select and
// copy, and returns once the user has answered OK.
void TextBox(const std::string& text);

}  // namespace fw
