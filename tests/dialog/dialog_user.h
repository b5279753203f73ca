// A user of the configuration dialog, its advanced settings and the boxes they show, on a
// thread of its own, so that the code under test runs on the test's thread as it runs on the
// host's. On Windows the user finds the real dialog by its caption, types into its controls
// and clicks its buttons; elsewhere it answers the questions of the dialog's terminal form on
// a pseudo-terminal. Either way it reads every box (message, text and wait boxes, and every
// notice of the terminal form) and dismisses it: OK, or Cancel for a wait box. It also makes
// sure that a password it types is never shown.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace qbtest {

inline constexpr int kConfigureDialog = 9;
inline constexpr int kAdvancedDialog = 10;

// What the user does in a dialog before pressing a button; the press ends the round.
struct DialogRound {
  std::vector<std::pair<int, std::string>> typed;  // control id and UTF-8 text ("" empties it)
  int pick = -1;                                   // the item of the dialog's combo box, or -1
  int press = 1;                                   // the button
  int dialog = kConfigureDialog;                   // the template of the dialog
  std::vector<int> read = {};                      // controls whose texts the user reads first, as "id=text"
};

// A message text as the user sees it: "\r\n" as "\n".
inline std::string AsSeen(std::string text) {
  std::erase(text, '\r');
  return text;
}

// What the user saw. Filled by the user's thread; read once DialogUser::Finish has ended it.
struct UserRecord {
  std::vector<std::string> messages;     // message boxes and notices, Windows-1252 with "\n" line ends
  std::vector<std::string> dialogTexts;  // the static texts of the first dialog shown
  std::vector<std::string> readings;     // the texts of the controls that the rounds read, "id=text"
  std::string problem;                   // what did not go as the rounds said, or empty

  void AddMessage(std::string text) { messages.push_back(AsSeen(std::move(text))); }
  void AddProblem(const std::string& what) { problem += (problem.empty() ? "" : "; ") + what; }
  void AddReading(int id, const std::string& text) { readings.push_back(std::to_string(id) + "=" + text); }
  void SetDialogTexts(std::vector<std::string> texts) {
    if (dialogTexts.empty()) dialogTexts = std::move(texts);
  }
};

class DialogUser {
 public:
  explicit DialogUser(std::vector<DialogRound> rounds);
  ~DialogUser();
  DialogUser(const DialogUser&) = delete;
  DialogUser& operator=(const DialogUser&) = delete;

  // Ends the user's thread (call once the code under test has returned) and gives what it saw.
  const UserRecord& Finish();

  struct Impl;  // the backend's user, which fills the record

 private:
  UserRecord m_record;
  std::unique_ptr<Impl> m_impl;
};

}  // namespace qbtest
