// The dialog's user on a pseudo-terminal, in UTF-8: it reads what the terminal form and the
// message boxes write, and answers each question when it has been asked. A question is known
// by its label; the button question, by its buttons (which tell the dialog). Lines between the
// echo of an answer and the next question are notices; a message box is its caption line, its
// text and "[OK]: "; a wait ends with the hint that Enter cancels it, and Enter is the answer.
#if !defined(_WIN32)

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <iterator>
#include <map>
#include <optional>
#include <thread>

#include "dialog_user.h"
#include "framework/app.h"
#include "framework/framework_res.h"
#include "framework/posix/terminal.h"
#include "framework/strings.h"
#include "test_support.h"

namespace qbtest {
namespace {

const std::map<std::string, int> kQuestions = {
    {"SMTP Server oder IP Adresse", 7000},
    {"SMTP Anschluss", 7001},
    {"Nachricht an", 7002},
    {"Nachricht von", 7003},
    {"Logzeilen, in der Nachricht", 7004},
    {"Betreff", 7005},
    {"Nachricht senden bei", 7006},
    {"Verbindungssicherheit", 7010},
    {"Benutzername", 7011},
    {"Kennwort", 7012},
    {"Zertifikat-Fingerabdruck", 7015},
};
const std::map<int, int> kComboOf = {{kConfigureDialog, 7006}, {kAdvancedDialog, 7010}};
constexpr int kPassword = 7012;
constexpr int kPasswordState = 7013;  // the hint of the password question
const std::map<int, std::string> kButtons = {{1, "OK"},
                                             {2, "Abbrechen"},
                                             {7008, "Hilfe"},
                                             {7009, "Erweitert..."},
                                             {7014, "Kennwort entfernen"},
                                             {7016, "Testnachricht senden"}};

// The dialog whose buttons a question offers ("OK / Abbrechen / Hilfe / Erweitert... [OK]: "),
// or 0 when it is no button question.
int ButtonQuestionOf(const std::string& question) {
  const std::string buttons = " / " + question.substr(0, question.rfind(" [")) + " / ";
  const auto offers = [&](int id) { return buttons.find(" / " + kButtons.at(id) + " / ") != std::string::npos; };
  if (!offers(1) || !offers(2)) return 0;
  return offers(7016) ? kAdvancedDialog : kConfigureDialog;
}

// The lines of the terminal's UTF-8 output, as Windows-1252.
std::vector<std::string> Lines(const std::string& output) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end = 0; end != std::string::npos; start = end + 1) {
    end = output.find('\n', start);
    std::string line;
    if (!fw::posix::FromTerminalText(output.substr(start, end - start), "UTF-8", line)) line = "(not Windows-1252)";
    lines.push_back(line);
  }
  return lines;
}

}  // namespace

struct DialogUser::Impl {
  Impl(std::vector<DialogRound> plan, UserRecord& user)
      : rounds(std::move(plan)), record(user), environment("LC_ALL", "C.UTF-8") {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0) {
      terminal = open(ptsname(master), O_RDWR | O_NOCTTY);
    }
    // Never the terminal the tests were started from.
    fw::posix::testing::UseTerminal(terminal >= 0 ? terminal : fw::posix::testing::kNoTerminal);
    if (terminal < 0) {
      record.AddProblem("no pseudo-terminal");
      return;
    }
    thread = std::thread([this] { Run(); });
  }

  ~Impl() {
    Finish();
    fw::posix::testing::UseTerminal(fw::posix::testing::kControllingTerminal);
    if (terminal >= 0) close(terminal);
    if (master >= 0) close(master);
  }

  void Answer(const std::string& utf8) {
    const std::string line = utf8 + "\n";
    if (write(master, line.data(), line.size()) != static_cast<ssize_t>(line.size())) record.AddProblem("cannot type");
    echo = Lines(utf8).front();
  }

  // Records the reading of `id` when the round asks for it.
  void Read(DialogRound& round, int id, const std::string& text) {
    const auto it = std::find(round.read.begin(), round.read.end(), id);
    if (it == round.read.end()) return;
    round.read.erase(it);
    record.AddReading(id, text);
  }

  // The answer to the question of control `id`: "label (hint) [current]: " (the password
  // question has a hint, the text of kPasswordState).
  std::string AnswerQuestion(int id, const std::string& label, const std::string& question) {
    if (next >= rounds.size()) {
      record.AddProblem("a question that no round expected");
      return "";
    }
    DialogRound& round = rounds[next];
    const std::size_t open = question.rfind(" [");
    Read(round, id, question.substr(open + 2, question.size() - open - 5));
    if (id == kPassword) Read(round, kPasswordState, question.substr(label.size() + 2, open - label.size() - 3));
    if (id == kComboOf.at(round.dialog) && round.pick >= 0) return std::to_string(std::exchange(round.pick, -1) + 1);
    const auto it = std::ranges::find(round.typed, id, &std::pair<int, std::string>::first);
    if (it == round.typed.end()) return "";
    const std::string text = it->second.empty() ? "-" : it->second;
    if (id == kPassword) secret = it->second;
    round.typed.erase(it);
    return text;
  }

  std::string AnswerButton(int dialog) {
    if (next >= rounds.size()) {
      record.AddProblem("a dialog that no round expected");
      return "Abbrechen";
    }
    const DialogRound& round = rounds[next++];
    const std::string number = std::to_string(next);
    if (round.dialog != dialog) record.AddProblem("round " + number + " found dialog " + std::to_string(dialog));
    if (!round.typed.empty() || round.pick >= 0 || !round.read.empty()) {
      record.AddProblem("round " + number + " had a question that was not asked again");
    }
    return kButtons.at(round.press);
  }

  // Handles the output since the last answer, which ends with a question.
  void Respond(const std::string& output) {
    if (!secret.empty() && output.find(secret) != std::string::npos) record.AddProblem("the password was shown");
    std::vector<std::string> lines = Lines(output);
    if (echo && lines.front() == *echo) lines.erase(lines.begin());
    const std::string question = lines.back();
    lines.pop_back();
    if (question.ends_with(waitHint)) {
      Notices(lines);
      record.AddMessage(fw::Trim(question.substr(0, question.size() - waitHint.size())));
      return Answer("");
    }
    if (question == "[OK]: ") {
      // A message box: notices, an empty line, the caption, the text.
      std::size_t caption = lines.size();
      while (caption > 0 && lines[caption - 1] != boxCaption) --caption;
      std::string text;
      for (std::size_t i = caption; i < lines.size(); ++i) text += (i > caption ? "\n" : "") + lines[i];
      lines.resize(caption > 0 ? caption - 1 : 0);
      Notices(lines);
      record.AddMessage(text);
      return Answer("");
    }
    Notices(lines);
    if (const int dialog = ButtonQuestionOf(question)) return Answer(AnswerButton(dialog));
    for (const auto& [label, id] : kQuestions) {
      if (question.rfind(label + " ", 0) == 0) return Answer(AnswerQuestion(id, label, question));
    }
    record.AddProblem("an unknown question: " + question);
    // End of input (VEOF on an empty line): the dialog gives up at once instead of asking the
    // same question until the test times out.
    if (write(master, "\x04", 1) != 1) record.AddProblem("cannot type");
  }

  // The dialog's header (its caption underlined, its notes) or notices of the terminal form.
  void Notices(const std::vector<std::string>& lines) {
    for (std::size_t i = 0; i < lines.size(); ++i) {
      if (!lines[i].empty() && lines[i].find_first_not_of('=') == std::string::npos) {
        std::vector<std::string> notes;
        for (std::size_t j = i + 1; j < lines.size() && !lines[j].empty(); ++j) notes.push_back(lines[j]);
        record.SetDialogTexts(notes);
        return;  // the rest is the header's hint
      }
    }
    // One notice at most between two questions, perhaps of several lines.
    std::size_t first = 0, end = lines.size();
    while (first < end && lines[first].empty()) ++first;
    while (end > first && lines[end - 1].empty()) --end;
    std::string notice;
    for (std::size_t i = first; i < end; ++i) notice += (i > first ? "\n" : "") + lines[i];
    if (!notice.empty()) record.AddMessage(notice);
  }

  void Run() {
    std::string output;
    while (!stop) {
      pollfd ready{master, POLLIN, 0};
      if (poll(&ready, 1, 20) <= 0) continue;
      char buffer[4096];
      const ssize_t n = read(master, buffer, sizeof buffer);
      if (n <= 0) break;
      std::copy_if(buffer, buffer + n, std::back_inserter(output), [](char c) { return c != '\r'; });
      if (output.ends_with("]: ") || output.ends_with(waitHint)) {
        Respond(output);
        output.clear();
      }
    }
  }

  void Finish() {
    stop = true;
    if (thread.joinable()) thread.join();
  }

  std::vector<DialogRound> rounds;
  UserRecord& record;
  std::size_t next = 0;
  ScopedEnv environment;
  int master = -1;
  int terminal = -1;
  std::optional<std::string> echo;  // the last answer, which the terminal echoes
  std::string secret;               // the last password typed, never to be seen again
  std::string boxCaption = fw::AfxGetAppName();
  std::string waitHint = fw::LoadString(FW_IDS_TERMINAL_WAIT_HINT) + " ";
  std::atomic<bool> stop{false};
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
