// The dialog's user on Windows: finds the dialog by its caption, types with SetDlgItemTextW,
// picks with CB_SETCURSEL and clicks with a posted BM_CLICK (a click that opens a box must not
// block the user). A dialog counts as found only while it is enabled, that is while no box of
// its own is open. Whether a click, or the dismissal of a box, has been handled shows in a
// marker that the user posts after it (the item data of the dialog's combo box, which nothing
// else uses): a box that the handling opens exists by then.
#if defined(_WIN32)

#include <atomic>
#include <chrono>
#include <map>
#include <thread>

#include "dialog_user.h"
#include "framework/app.h"
#include "framework/win32/windows_api.h"

namespace qbtest {
namespace {

struct DialogKind {
  const char* caption;
  int comboId;
};
const std::map<int, DialogKind> kDialogs = {
    {kConfigureDialog, {"FTP Quorbit Benachrichtigung Konfiguration", 7006}},
    {kAdvancedDialog, {"Erweiterte Einstellungen", 7010}},
};
constexpr int kPassword = 7012;
constexpr int kBoxText = 0xFFFF;
constexpr std::chrono::seconds kPatience{10};

std::wstring Wide(const std::string& utf8) {
  std::wstring wide(utf8.size() + 1, L'\0');
  wide.resize(static_cast<std::size_t>(MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), static_cast<int>(utf8.size()),
                                                           wide.data(), static_cast<int>(wide.size()))));
  return wide;
}

std::string TextOf(HWND window, int id) {
  char text[8192] = {};
  return std::string(text, GetDlgItemTextA(window, id, text, sizeof text));
}

bool Expired(std::chrono::steady_clock::time_point end) {
  return std::chrono::steady_clock::now() > end;
}

}  // namespace

struct DialogUser::Impl {
  Impl(std::vector<DialogRound> plan, UserRecord& user)
      : rounds(std::move(plan)), record(user), thread([this] { Run(); }) {}

  static HWND Find(const char* caption) {
    HWND window = FindWindowA("#32770", caption);
    return window != nullptr && IsWindowVisible(window) ? window : nullptr;
  }

  static HWND FindDialog(int kind) {
    HWND dialog = Find(kDialogs.at(kind).caption);
    return dialog != nullptr && IsWindowEnabled(dialog) ? dialog : nullptr;
  }

  // Reads and dismisses the box that is open (a message, text or wait box), if any: OK, or
  // Cancel when it has no OK. True when there was one.
  bool HandleBox() {
    HWND box = Find(boxCaption.c_str());
    if (box == nullptr) return false;
    record.AddMessage(TextOf(box, kBoxText));
    HWND button = GetDlgItem(box, IDOK);
    PostMessageA(button != nullptr ? button : GetDlgItem(box, IDCANCEL), BM_CLICK, 0, 0);
    for (auto end = std::chrono::steady_clock::now() + kPatience; IsWindow(box);) {
      if (Expired(end)) {
        record.AddProblem("a box does not close");
        PostMessageA(box, WM_CLOSE, 0, 0);
        break;
      }
      Sleep(10);
    }
    return true;
  }

  void RecordDialogTexts(HWND dialog) {
    std::vector<std::string> texts;
    for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
      char className[32] = {};
      GetClassNameA(child, className, sizeof className);
      if (lstrcmpiA(className, "Static") == 0) texts.push_back(TextOf(dialog, GetDlgCtrlID(child)));
    }
    record.SetDialogTexts(std::move(texts));
  }

  // Waits for the dialog, answering boxes meanwhile.
  HWND WaitForDialog(int kind) {
    for (auto end = std::chrono::steady_clock::now() + kPatience; !stop && !Expired(end);) {
      if (HandleBox()) continue;
      if (HWND dialog = FindDialog(kind)) return dialog;
      Sleep(10);
    }
    return nullptr;
  }

  // Waits until the dialog's thread has handled what was posted so far, dismissing the boxes
  // that it opens; false when that takes too long.
  bool Settle(HWND dialog, HWND combo) {
    for (auto end = std::chrono::steady_clock::now() + kPatience; !Expired(end);) {
      const LPARAM marker = ++markers;
      PostMessageW(combo, CB_SETITEMDATA, 0, marker);
      while (IsWindow(dialog) && SendMessageW(combo, CB_GETITEMDATA, 0, 0) != marker && !Expired(end)) {
        if (!HandleBox()) Sleep(10);
      }
      if (!IsWindow(dialog)) return true;
      if (!HandleBox()) return !Expired(end);
    }
    return false;
  }

  // Does one round; false when the dialog did not come.
  bool Play(DialogRound& round, int number) {
    HWND dialog = WaitForDialog(round.dialog);
    if (dialog == nullptr) {
      record.AddProblem("no dialog " + std::to_string(round.dialog) + " for round " + std::to_string(number));
      return false;
    }
    RecordDialogTexts(dialog);
    if ((GetWindowLongW(GetDlgItem(dialog, kPassword), GWL_STYLE) & ES_PASSWORD) == 0 &&
        round.dialog == kAdvancedDialog) {
      record.AddProblem("the password edit shows what is typed");
    }
    for (int id : round.read) record.AddReading(id, TextOf(dialog, id));
    for (const auto& [id, text] : round.typed) SetDlgItemTextW(dialog, id, Wide(text).c_str());
    HWND combo = GetDlgItem(dialog, kDialogs.at(round.dialog).comboId);
    if (round.pick >= 0) SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(round.pick), 0);
    PostMessageW(GetDlgItem(dialog, round.press), BM_CLICK, 0, 0);
    if (!Settle(dialog, combo)) record.AddProblem("round " + std::to_string(number) + " was not handled");
    return true;
  }

  void Run() {
    int number = 0;
    for (DialogRound& round : rounds) {
      if (!Play(round, ++number)) break;
    }
    // Whatever comes later: boxes are read and dismissed, a dialog nobody expected is
    // cancelled.
    while (!stop) {
      if (HandleBox()) continue;
      for (const auto& [kind, _] : kDialogs) {
        if (HWND dialog = FindDialog(kind)) {
          RecordDialogTexts(dialog);
          record.AddProblem("a dialog that no round expected");
          PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
          Sleep(200);
        }
      }
      Sleep(10);
    }
  }

  void Finish() {
    if (!thread.joinable()) return;
    // Boxes that are still being dismissed are finished first.
    Sleep(50);
    stop = true;
    thread.join();
  }

  std::vector<DialogRound> rounds;
  UserRecord& record;
  std::string boxCaption = fw::AfxGetAppName();
  std::atomic<bool> stop{false};
  LPARAM markers = 0;
  std::thread thread;
};

DialogUser::DialogUser(std::vector<DialogRound> rounds) : m_impl(std::make_unique<Impl>(std::move(rounds), m_record)) {}

DialogUser::~DialogUser() {
  Finish();
}

const UserRecord& DialogUser::Finish() {
  m_impl->Finish();
  return m_record;
}

}  // namespace qbtest

#endif
