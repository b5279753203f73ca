// CQBNotifyConfigureDlg: the modal dialog (template 9) in which the user edits the
// notification settings of one server profile or of the global configuration. It loads the
// record, optionally proposes a server and addresses from the user's mail accounts, checks
// the entries, saves them on OK, and opens the add-on's help page. "Erweitert..." edits the
// connection security and the login in a second dialog (CQBNotifyAdvancedDlg), whose values
// this one keeps until its own OK saves them with the rest.
#pragma once

#include <string>
#include <vector>

#include "framework/icon.h"
#include "framework/wnd.h"
#include "settings/NotifyConfig.h"

class CQBNotifyConfigureDlg : public fw::CDialog {
 public:
  // The most characters of the server, the addresses and the subject: what the registry store
  // reads back (a 2048-byte buffer with the terminating zero).
  static constexpr std::size_t kMaxTextLength = 2047;

  // Loads the settings of pszProfile (null or empty: the global configuration) and, when
  // bFindAccount is set, fills empty fields from the mail accounts.
  CQBNotifyConfigureDlg(const char* pszProfile, bool bFindAccount, fw::CWnd* pParent = nullptr);
  ~CQBNotifyConfigureDlg() override;

  bool OnInitDialog() override;
  // Checks the entries and saves them; the dialog ends with kIdOk only once they are saved.
  void OnOK() override;
  // Opens Help\QBNotifyAddOn.htm, else QBNotifyAddOn.htm, of the module's directory.
  void OnHelp();
  // Takes the entries (their numbers checked), then runs the advanced settings on them and
  // keeps what that dialog's OK gives back.
  void OnAdvanced();
  void OnDestroy();
  // Fills the empty server and recipient from the mail accounts, then an empty sender from
  // the recipient. Does nothing unless m_bFindAccount is set.
  void FillFromMailAccounts();

  std::string m_strSmtpServer;
  int m_nSmtpPort = 25;
  std::string m_strDeliverTo;
  std::string m_strFromEmail;
  int m_nLogLines = 100;
  int m_nNotifyWhen = 0;  // the selected item: 0 "Fehler ist aufgetreten", 1 "Immer"
  std::string m_strSubject;
  std::string m_strProfile;  // empty: the global configuration
  bool m_bFindAccount = false;
  fw::HICON m_hIcon = nullptr;

  // The record as loaded; its advanced settings (security, login, certificate pin) are the
  // dialog's values, which "Erweitert..." edits and OK saves with the fields above.
  CNotifyConfig m_config;

 protected:
  fw::LRESULT WindowProc(fw::UINT message, fw::WPARAM wParam, fw::LPARAM lParam) override;
  std::vector<fw::DataExchangeField> DataExchangeTable() override;

 private:
  // m_config with the fields of this dialog.
  CNotifyConfig MakeConfig() const;
};
