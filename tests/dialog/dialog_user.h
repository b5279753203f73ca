// A user of the configuration dialog, its advanced settings and the boxes they show, on a
// thread of its own, so that the code under test runs on the test's thread as it runs on the
// host's. On Windows the user finds the real dialog by its caption, types into its controls
// and clicks its buttons; elsewhere it answers the questions of the dialog's terminal form on
// a pseudo-terminal. Either way it reads every box (message, text and wait boxes, and every
// notice of the terminal form) and dismisses it: OK, or Cancel for a wait box. It also makes
// sure that a password it types is never shown.
#pragma once

#include <memory>
#include <mutex>
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

// What the user saw, filled by the user's thread and read by the test's.
class UserRecord {
 public:
  void AddMessage(std::string text);
  void SetDialogTexts(std::vector<std::string> texts);
  void AddProblem(const std::string& problem);
  void AddReading(int id, const std::string& text);
  std::vector<std::string> Messages() const;
  std::vector<std::string> Readings() const;
  std::vector<std::string> DialogTexts() const;
  std::string Problem() const;

 private:
  mutable std::mutex m_mutex;
  std::vector<std::string> m_messages;
  std::vector<std::string> m_dialogTexts;
  std::vector<std::string> m_readings;
  std::string m_problem;
};

class DialogUser {
 public:
  explicit DialogUser(std::vector<DialogRound> rounds);
  ~DialogUser();
  DialogUser(const DialogUser&) = delete;
  DialogUser& operator=(const DialogUser&) = delete;

  // Ends the user's thread; call once the code under test has returned.
  void Finish();

  // The texts of the message boxes and notices seen, in Windows-1252 with "\n" line ends.
  std::vector<std::string> Messages() const { return m_record.Messages(); }
  // The dialog's static texts when it was first shown; empty when no dialog was shown.
  std::vector<std::string> DialogTexts() const { return m_record.DialogTexts(); }
  // The texts of the controls that the rounds read, "id=text" in Windows-1252.
  std::vector<std::string> Readings() const { return m_record.Readings(); }
  // What did not go as the rounds said (no dialog came, an unexpected one did), or empty.
  std::string Problem() const { return m_record.Problem(); }

  struct Impl;  // the backend's user, which fills the record

 private:
  UserRecord m_record;
  std::unique_ptr<Impl> m_impl;
};

}  // namespace qbtest
