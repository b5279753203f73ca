// CQBNotifyAdvancedDlg: the modal dialog (template 10) that the configuration dialog opens
// with "Erweitert...": connection security, user name, password and pinned certificate, and
// the test message. It edits a copy of the configuration dialog's values; OK keeps its edits
// for the configuration dialog's OK, which saves them, and Cancel drops them.
//
// The password edit never shows the password kept in the values: it starts empty, and the
// text below it says what OK does with the kept one. Empty keeps it, typed text replaces it,
// and "Kennwort entfernen" removes it (unless a new one is typed after all).
#pragma once

#include <string>
#include <vector>

#include "framework/wnd.h"
#include "settings/NotifyConfig.h"

class CQBNotifyAdvancedDlg : public fw::CDialog {
 public:
  // `config`: every value of the configuration dialog, its password in clear.
  explicit CQBNotifyAdvancedDlg(const CNotifyConfig& config, fw::CWnd* pParent = nullptr);

  bool OnInitDialog() override;
  // Checks the login entries; keeps them in m_config and ends with kIdOk once they pass.
  void OnOK() override;
  void OnRemovePassword();
  // Checks every value of both dialogs like OK, sends a test message with them, waits for it
  // in a box that can cancel it and shows the diagnosis.
  void OnTestMail();

  // After OK: the values given to the constructor with this dialog's edits.
  CNotifyConfig m_config;

  int m_nSmtpSecurity;  // the selected item: 0 "Keine", 1 "STARTTLS", 2 "SSL/TLS"
  std::string m_strSmtpUser;
  std::string m_strNewPassword;  // what the password edit holds: empty keeps the kept one
  std::string m_strSmtpCertificate;
  bool m_bRemovePassword = false;

 protected:
  fw::LRESULT WindowProc(fw::UINT message, fw::WPARAM wParam, fw::LPARAM lParam) override;
  std::vector<fw::DataExchangeField> DataExchangeTable() override;

 private:
  // m_config with the fields of this dialog (after UpdateData).
  CNotifyConfig Collect() const;
  // Shows what OK would do with the password, and offers its removal only when there is one.
  void ShowPasswordState();
  // Shows the message of a failed check and moves the focus to its entry of this dialog.
  void Refuse(unsigned nMessage);
  void SendTestMail(const CNotifyConfig& config);
};
