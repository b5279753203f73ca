// The record of what the dialog's user saw (see dialog_user.h).
#include "dialog_user.h"

namespace qbtest {

void UserRecord::AddMessage(std::string text) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_messages.push_back(AsSeen(std::move(text)));
}

void UserRecord::SetDialogTexts(std::vector<std::string> texts) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_dialogTexts.empty()) m_dialogTexts = std::move(texts);
}

void UserRecord::AddProblem(const std::string& problem) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_problem += (m_problem.empty() ? "" : "; ") + problem;
}

void UserRecord::AddReading(int id, const std::string& text) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_readings.push_back(std::to_string(id) + "=" + text);
}

std::vector<std::string> UserRecord::Readings() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_readings;
}

std::vector<std::string> UserRecord::Messages() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_messages;
}

std::vector<std::string> UserRecord::DialogTexts() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_dialogTexts;
}

std::string UserRecord::Problem() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_problem;
}

}  // namespace qbtest
