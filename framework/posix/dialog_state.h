// The state of a CDialog in the posix backend: its controls, made from the compiled-in
// template, and whether and how a modal run has ended. The terminal form of a modal dialog
// (terminal_dialog.cpp) asks the controls' values and presses its buttons through it.
#pragma once

#include <string>
#include <vector>

#include "framework/dialog_template.h"
#include "framework/wnd.h"

namespace fw {

struct DialogControl {
  int id;
  detail::ControlKind kind;
  std::string text;                // Windows-1252; a combo box's text is its selected item
  std::vector<std::string> items;  // combo box
  int selection = -1;              // combo box
  std::size_t limit = 0;           // edit: the most characters it takes (0: no limit)
  bool enabled = true;
};

struct CDialog::Impl {
  const detail::DialogTemplate* dialogTemplate = nullptr;
  std::vector<DialogControl> controls;  // in the template's order
  bool modal = false;
  bool ended = false;
  int result = kIdCancel;
  int focusId = 0;  // the control that a failed check moved the focus to; 0: none

  // Makes the controls of the template (none when it is missing).
  void MakeControls(UINT templateId);
  DialogControl* Find(int id);
};

namespace posix {

class Terminal;

// Asks the running modal dialog on the terminal until it has ended (see terminal_dialog.cpp).
void AskOnTerminal(CDialog& dialog, CDialog::Impl& state, Terminal& terminal);

}  // namespace posix
}  // namespace fw
