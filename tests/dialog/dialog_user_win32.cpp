// The dialog's user on Windows: finds the dialog by its caption, types with SetDlgItemTextW,
// picks with CB_SETCURSEL and clicks with a posted BM_CLICK (a click that opens a message box
// must not block the user). Whether a click has been handled shows in a marker that the user
// posts after it (the combo box's item data, which nothing else uses).
#if defined(_WIN32)

#include <atomic>
#include <chrono>
#include <thread>

#include "dialog_user.h"
#include "framework/app.h"
#include "framework/win32/windows_api.h"

namespace qbtest {
namespace {

constexpr const char* kDialogCaption = "FTP Quorbit Benachrichtigung Konfiguration";
constexpr int kComboId = 7006;
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

}  // namespace

struct DialogUser::Impl {
  Impl(std::vector<DialogRound> plan, UserRecord& user)
      : rounds(std::move(plan)), record(user), thread([this] { Run(); }) {}

  HWND Find(const char* caption) const {
    HWND window = FindWindowA("#32770", caption);
    return window != nullptr && IsWindowVisible(window) ? window : nullptr;
  }

  // Reads and dismisses the message box that is open, if any; true when there was one.
  bool HandleMessageBox() {
    HWND box = Find(boxCaption.c_str());
    if (box == nullptr) return false;
    record.AddMessage(TextOf(box, 0xFFFF));
    PostMessageA(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
    for (auto end = std::chrono::steady_clock::now() + kPatience; IsWindow(box);) {
      if (std::chrono::steady_clock::now() > end) {
        record.AddProblem("a message box does not close");
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

  // Waits for the dialog, answering message boxes meanwhile.
  HWND WaitForDialog() {
    for (auto end = std::chrono::steady_clock::now() + kPatience; !stop && std::chrono::steady_clock::now() < end;) {
      if (HandleMessageBox()) continue;
      if (HWND dialog = Find(kDialogCaption)) return dialog;
      Sleep(10);
    }
    return nullptr;
  }

  // Does one round; false when the dialog did not come.
  bool Play(const DialogRound& round, int number) {
    HWND dialog = WaitForDialog();
    if (dialog == nullptr) {
      record.AddProblem("no dialog for round " + std::to_string(number));
      return false;
    }
    RecordDialogTexts(dialog);
    for (const auto& [id, text] : round.typed) SetDlgItemTextW(dialog, id, Wide(text).c_str());
    HWND combo = GetDlgItem(dialog, kComboId);
    if (round.pick >= 0) SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(round.pick), 0);
    PostMessageW(GetDlgItem(dialog, round.press), BM_CLICK, 0, 0);
    const LPARAM marker = ++markers;
    PostMessageW(combo, CB_SETITEMDATA, 0, marker);
    for (auto end = std::chrono::steady_clock::now() + kPatience; std::chrono::steady_clock::now() < end;) {
      if (HandleMessageBox()) continue;
      if (!IsWindow(dialog)) return true;
      if (SendMessageW(combo, CB_GETITEMDATA, 0, 0) == marker) {
        // The click has been handled; a message box it opened exists by now.
        if (!HandleMessageBox()) return true;
        continue;
      }
      Sleep(10);
    }
    record.AddProblem("round " + std::to_string(number) + " was not handled");
    return true;
  }

  void Run() {
    int number = 0;
    for (const DialogRound& round : rounds) {
      if (!Play(round, ++number)) break;
    }
    // Whatever comes later: message boxes are read and dismissed, a dialog nobody expected is
    // cancelled.
    while (!stop) {
      if (HandleMessageBox()) continue;
      if (HWND dialog = Find(kDialogCaption)) {
        RecordDialogTexts(dialog);
        record.AddProblem("a dialog that no round expected");
        PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
        Sleep(200);
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

void DialogUser::Finish() {
  m_impl->Finish();
}

}  // namespace qbtest

#endif
