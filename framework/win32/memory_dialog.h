// Dialog templates made in memory, for the framework's own boxes that have no template in the
// module's resources: a modal frame with a caption, "MS Shell Dlg" at 8 points, and controls
// of the system's button, edit and static classes, in tab order. The Win32 types are named
// with :: because the framework's own (framework/types.h) differ in width.
#pragma once

#include <string>
#include <vector>

#include "framework/win32/windows_api.h"

namespace fw::win32 {

class MemoryDialogTemplate {
 public:
  enum class ControlClass : ::WORD { kButton = 0x0080, kEdit = 0x0081, kStatic = 0x0082 };
  struct Area {
    short x, y, width, height;
  };

  // Sizes and positions are in dialog units.
  MemoryDialogTemplate(const std::wstring& caption, short width, short height);
  // A visible child control; `style` adds to WS_CHILD | WS_VISIBLE.
  void Add(ControlClass controlClass, ::WORD id, ::DWORD style, Area area, const std::wstring& text = L"");
  // Runs the dialog modally, owned by `owner`, and returns the result given to EndDialog (-1
  // when it cannot be made). `param` reaches the procedure's WM_INITDIALOG.
  ::INT_PTR Run(::HWND owner, ::DLGPROC procedure, ::LPARAM param) const;

 private:
  void AddWord(::WORD word) { m_words.push_back(word); }
  void AddDword(::DWORD value);
  void AddText(const std::wstring& text);

  std::vector<::WORD> m_words;  // DLGTEMPLATE and its DLGITEMTEMPLATEs, each DWORD-aligned
};

// The owner of the framework's boxes: the thread's innermost modal dialog, else its active
// window.
::HWND BoxOwner();

}  // namespace fw::win32
