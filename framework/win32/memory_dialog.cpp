// Dialog templates in memory: the DLGTEMPLATE layout that DialogBoxIndirectParamW reads.
#include "framework/win32/memory_dialog.h"

#include "framework/win32/dialog_internal.h"
#include "framework/win32/module_handle.h"

namespace fw::win32 {
namespace {

constexpr std::size_t kControlCountWord = 4;  // after the style and extended style
constexpr WORD kFontPoints = 8;
constexpr DWORD kDialogStyle = DS_SETFONT | DS_MODALFRAME | DS_CENTER | WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_VISIBLE;

WORD Word(short value) {
  return static_cast<WORD>(value);
}

}  // namespace

MemoryDialogTemplate::MemoryDialogTemplate(const std::wstring& caption, short width, short height) {
  AddDword(kDialogStyle);
  AddDword(0);  // extended style
  AddWord(0);   // control count, counted by Add
  for (short value : {short{0}, short{0}, width, height}) AddWord(Word(value));
  AddWord(0);  // no menu
  AddWord(0);  // the dialog class
  AddText(caption);
  AddWord(kFontPoints);
  AddText(L"MS Shell Dlg");
}

void MemoryDialogTemplate::Add(ControlClass controlClass, ::WORD id, ::DWORD style, Area area,
                               const std::wstring& text) {
  if (m_words.size() % 2 != 0) AddWord(0);  // each control starts on a DWORD
  AddDword(WS_CHILD | WS_VISIBLE | style);
  AddDword(0);
  for (short value : {area.x, area.y, area.width, area.height}) AddWord(Word(value));
  AddWord(id);
  AddWord(0xFFFF);  // a system class by its atom
  AddWord(static_cast<WORD>(controlClass));
  AddText(text);
  AddWord(0);  // no creation data
  ++m_words[kControlCountWord];
}

::INT_PTR MemoryDialogTemplate::Run(::HWND owner, ::DLGPROC procedure, ::LPARAM param) const {
  return ::DialogBoxIndirectParamW(ModuleHandle(), reinterpret_cast<LPCDLGTEMPLATEW>(m_words.data()), owner, procedure,
                                   param);
}

void MemoryDialogTemplate::AddDword(::DWORD value) {
  AddWord(LOWORD(value));
  AddWord(HIWORD(value));
}

void MemoryDialogTemplate::AddText(const std::wstring& text) {
  for (wchar_t c : text) AddWord(static_cast<WORD>(c));
  AddWord(0);
}

::HWND BoxOwner() {
  ::HWND owner = CurrentModalDialog();
  return owner != nullptr ? owner : ::GetActiveWindow();
}

}  // namespace fw::win32
