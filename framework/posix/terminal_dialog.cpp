// The terminal form of a modal dialog. The dialog's template gives the form:
// - each edit and combo box, in the template's (tab) order, is a question; the static text
//   right before it is its label, and a static text right after it that is not the label of
//   the next one is its hint ("(1-65535, 25)"; put in parentheses when it has none);
// - the other static texts are shown once at the top, under the caption;
// - the buttons, in order, make the last question; Enter presses the default button.
// Each question shows the control's value in [ ]: Enter keeps it, "-" empties an edit, a combo
// box takes an item's number or text. A password edit shows only whether it holds text, and
// its answer is typed without echo. Disabled controls are not asked, disabled buttons not
// offered. A button that does not end the dialog (a check failed, or help was shown) asks the
// questions again, from the control that has the focus or from the first. When the terminal
// closes, the dialog is cancelled.
#include <algorithm>

#include "framework/framework_res.h"
#include "framework/posix/dialog_state.h"
#include "framework/posix/terminal.h"
#include "framework/strings.h"

namespace fw::posix {
namespace {

using detail::ControlKind;

constexpr const char* kHiddenText = "********";  // what a password edit with text shows

bool IsInput(ControlKind kind) {
  return kind == ControlKind::kEdit || kind == ControlKind::kPasswordEdit || kind == ControlKind::kComboBox;
}

bool IsButton(ControlKind kind) {
  return kind == ControlKind::kButton || kind == ControlKind::kDefaultButton;
}

// A control's text as shown: "&&" is "&", and the "&" before a mnemonic letter goes.
std::string Shown(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '&' && i + 1 < text.size()) ++i;
    out += text[i];
  }
  return out;
}

// The letter after a single "&", lower case; 0 when there is none.
char Mnemonic(std::string_view text) {
  for (std::size_t i = 0; i + 1 < text.size(); ++i) {
    if (text[i] != '&') continue;
    if (text[i + 1] != '&') return ToLowerAnsi(text[i + 1]);
    ++i;
  }
  return 0;
}

struct Question {
  static constexpr std::size_t kNoHint = static_cast<std::size_t>(-1);
  std::size_t control;
  std::string label;
  std::size_t hint = kNoHint;  // the static text after the control, read when it is asked
};

struct Form {
  std::vector<std::size_t> notes;  // static texts shown at the top
  std::vector<Question> questions;
  std::vector<std::size_t> buttons;
};

Form MakeForm(const std::vector<DialogControl>& controls) {
  Form form;
  std::vector<bool> used(controls.size(), false);
  const auto isStatic = [&](std::size_t i) { return i < controls.size() && controls[i].kind == ControlKind::kStatic; };
  const auto isInput = [&](std::size_t i) { return i < controls.size() && IsInput(controls[i].kind); };
  for (std::size_t i = 0; i < controls.size(); ++i) {
    if (!IsInput(controls[i].kind)) continue;
    Question question{i, {}, Question::kNoHint};
    if (i > 0 && isStatic(i - 1) && !used[i - 1]) {
      used[i - 1] = true;
      question.label = Shown(controls[i - 1].text);
      while (!question.label.empty() && (question.label.back() == ':' || question.label.back() == ' ')) {
        question.label.pop_back();
      }
    }
    if (isStatic(i + 1) && !isInput(i + 2)) {
      used[i + 1] = true;
      question.hint = i + 1;
    }
    form.questions.push_back(question);
  }
  for (std::size_t i = 0; i < controls.size(); ++i) {
    if (controls[i].kind == ControlKind::kStatic && !used[i]) form.notes.push_back(i);
    if (IsButton(controls[i].kind)) form.buttons.push_back(i);
  }
  return form;
}

class TerminalForm {
 public:
  TerminalForm(CDialog& dialog, CDialog::Impl& state, Terminal& terminal)
      : m_dialog(dialog), m_state(state), m_terminal(terminal), m_form(MakeForm(state.controls)) {}

  void Run() {
    ShowHeader();
    std::size_t first = 0;
    while (!m_state.ended) {
      if (!AskQuestions(first)) return Cancel();
      int button = 0;
      if (!AskButton(button)) return Cancel();
      m_state.focusId = 0;
      CWnd::SendMessage(m_dialog.GetSafeHwnd(), kWmCommand, static_cast<WPARAM>(button) | (kBnClicked << 16), 0);
      first = QuestionWithFocus();
    }
  }

 private:
  void ShowHeader() {
    const std::string caption = m_state.dialogTemplate->caption;
    std::string header = "\n" + caption + "\n" + std::string(caption.size(), '=') + "\n";
    for (std::size_t note : m_form.notes) {
      if (!m_state.controls[note].text.empty()) header += Shown(m_state.controls[note].text) + "\n";
    }
    m_terminal.Write(header + "\n" + LoadString(FW_IDS_TERMINAL_HINT) + "\n\n");
  }

  // The question of the control that a failed check gave the focus, else the first.
  std::size_t QuestionWithFocus() const {
    for (std::size_t i = 0; i < m_form.questions.size(); ++i) {
      if (m_state.controls[m_form.questions[i].control].id == m_state.focusId) return i;
    }
    return 0;
  }

  bool AskQuestions(std::size_t first) {
    for (std::size_t i = first; i < m_form.questions.size(); ++i) {
      if (m_state.controls[m_form.questions[i].control].enabled && !Ask(m_form.questions[i])) return false;
    }
    return true;
  }

  // Asks one control until the answer fits it; false when the terminal has closed.
  bool Ask(const Question& question) {
    DialogControl& control = m_state.controls[question.control];
    const bool combo = control.kind == ControlKind::kComboBox;
    const bool hidden = control.kind == ControlKind::kPasswordEdit;
    std::string prompt = question.label;
    const std::string hint = question.hint != Question::kNoHint ? Shown(m_state.controls[question.hint].text) : "";
    if (!hint.empty()) prompt += hint.front() == '(' ? " " + hint : " (" + hint + ")";
    if (combo) {
      std::string choices;
      for (std::size_t i = 0; i < control.items.size(); ++i) {
        choices += (i ? ", " : "") + std::to_string(i + 1) + " = " + control.items[i];
      }
      prompt += " (" + choices + ")";
    }
    for (;;) {
      std::string current = control.text;
      if (combo) current = control.selection >= 0 ? control.items[static_cast<std::size_t>(control.selection)] : "";
      if (hidden && !current.empty()) current = kHiddenText;
      std::string line = prompt;
      line.append(" [").append(current).append("]: ");
      std::string answer;
      Terminal::Input input;
      if (hidden) {
        input = m_terminal.ReadSecretLine(line, answer);
      } else {
        m_terminal.Write(line);
        input = m_terminal.ReadLine(answer);
      }
      if (input == Terminal::Input::kEnd) return false;
      if (input == Terminal::Input::kNotStorable) {
        Notice(LoadString(FW_IDS_TEXT_NOT_STORABLE));
        continue;
      }
      if (answer.empty()) return true;
      if (combo) {
        const int index = ItemOf(control, answer);
        if (index >= 0) {
          control.selection = index;
          return true;
        }
        Notice(LoadString(FW_IDS_TERMINAL_PICK_ITEM));
        continue;
      }
      if (answer == "-") answer.clear();
      if (control.limit != 0 && answer.size() > control.limit) {
        Notice(FormatId(FW_IDS_TEXT_TOO_LONG, static_cast<int>(control.limit)));
        continue;
      }
      control.text = answer;
      return true;
    }
  }

  static int ItemOf(const DialogControl& control, const std::string& answer) {
    const std::string trimmed = Trim(answer);
    for (std::size_t i = 0; i < control.items.size(); ++i) {
      if (trimmed == std::to_string(i + 1) || CompareNoCase(trimmed, control.items[i]) == 0) {
        return static_cast<int>(i);
      }
    }
    return -1;
  }

  // Asks which button to press; false when the terminal has closed.
  bool AskButton(int& id) {
    std::string prompt;
    const DialogControl* preset = nullptr;
    for (std::size_t button : m_form.buttons) {
      const DialogControl& control = m_state.controls[button];
      if (!control.enabled) continue;
      prompt += (prompt.empty() ? "" : " / ") + Shown(control.text);
      if (control.kind == ControlKind::kDefaultButton && preset == nullptr) preset = &control;
    }
    prompt += " [" + (preset != nullptr ? Shown(preset->text) : std::string()) + "]: ";
    for (;;) {
      m_terminal.Write(prompt);
      std::string answer;
      const Terminal::Input input = m_terminal.ReadLine(answer);
      if (input == Terminal::Input::kEnd) return false;
      const DialogControl* chosen = input == Terminal::Input::kLine ? ButtonOf(Trim(answer), preset) : nullptr;
      if (chosen != nullptr) {
        id = chosen->id;
        return true;
      }
      Notice(LoadString(FW_IDS_TERMINAL_PICK_BUTTON));
    }
  }

  // The button an answer names: its text, its mnemonic letter or its first letter, in that
  // order of preference; an empty answer is the default button.
  const DialogControl* ButtonOf(const std::string& answer, const DialogControl* preset) const {
    if (answer.empty()) return preset;
    const auto find = [&](auto&& matches) -> const DialogControl* {
      for (std::size_t button : m_form.buttons) {
        if (m_state.controls[button].enabled && matches(m_state.controls[button])) return &m_state.controls[button];
      }
      return nullptr;
    };
    if (auto* byText = find([&](const DialogControl& c) { return CompareNoCase(Shown(c.text), answer) == 0; })) {
      return byText;
    }
    if (answer.size() != 1) return nullptr;
    const char letter = ToLowerAnsi(answer[0]);
    if (auto* byMnemonic = find([&](const DialogControl& c) { return Mnemonic(c.text) == letter; })) return byMnemonic;
    return find([&](const DialogControl& c) {
      const std::string shown = Shown(c.text);
      return !shown.empty() && ToLowerAnsi(shown[0]) == letter;
    });
  }

  void Notice(const std::string& text) { m_terminal.Write(text + "\n"); }

  void Cancel() {
    m_terminal.Write("\n");
    CWnd::SendMessage(m_dialog.GetSafeHwnd(), kWmCommand, static_cast<WPARAM>(kIdCancel), 0);
    if (!m_state.ended) {
      // Nobody is left to answer: the dialog ends whatever its Cancel handler does.
      m_state.ended = true;
      m_state.result = kIdCancel;
    }
  }

  CDialog& m_dialog;
  CDialog::Impl& m_state;
  Terminal& m_terminal;
  Form m_form;
};

}  // namespace

void AskOnTerminal(CDialog& dialog, CDialog::Impl& state, Terminal& terminal) {
  TerminalForm(dialog, state, terminal).Run();
}

}  // namespace fw::posix
