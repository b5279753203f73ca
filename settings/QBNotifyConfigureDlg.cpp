// CQBNotifyConfigureDlg: loading and proposing values, data exchange, the checks and the save
// on OK, the help page, the advanced settings, and the dialog's small icon.
#include "settings/QBNotifyConfigureDlg.h"

#include "addon/NotifyAddOnApp.h"
#include "framework/message_box.h"
#include "framework/shell.h"
#include "framework/strings.h"
#include "resource.h"
#include "settings/MailAccounts.h"
#include "settings/QBNotifyAdvancedDlg.h"
#include "settings/SettingsChecks.h"

namespace {

constexpr int kMinPort = 1;
constexpr int kMaxPort = 65535;
constexpr int kMinLogLines = 0;
constexpr int kMaxLogLines = 1000;
constexpr int kSmallIconSize = 16;
constexpr const char* kHelpPage = "QBNotifyAddOn.htm";

std::string ModuleDir() {
  const CNotifyAddOnApp* app = CNotifyAddOnApp::Get();
  return app ? app->m_strModuleDir : std::string();
}

}  // namespace

CQBNotifyConfigureDlg::CQBNotifyConfigureDlg(const char* pszProfile, bool bFindAccount, fw::CWnd* pParent)
    : fw::CDialog(IDD_QBNOTIFY_CONFIGURE, pParent),
      m_strProfile(pszProfile ? pszProfile : ""),
      m_bFindAccount(bFindAccount),
      m_config(pszProfile) {
  m_config.Load();
  m_strSmtpServer = m_config.m_strSmtpServer;
  m_nSmtpPort = m_config.m_nSmtpPort;
  m_strDeliverTo = m_config.m_strDeliverTo;
  m_strFromEmail = m_config.m_strFromEmail;
  m_nLogLines = m_config.m_nLogLines;
  // A stored choice that the list does not have shows its first item, never none (which
  // would be saved as -1).
  m_nNotifyWhen = m_config.m_nNotifyWhen == 1 ? 1 : 0;
  m_strSubject = m_config.m_strSubject;
  // As with the notification choice, a security that the list does not have shows its first.
  const int nSecurity = m_config.m_nSmtpSecurity;
  if (nSecurity < CNotifyConfig::kSecurityNone || nSecurity > CNotifyConfig::kSecurityTls) {
    m_config.m_nSmtpSecurity = CNotifyConfig::kSecurityNone;
  }
  FillFromMailAccounts();
}

CQBNotifyConfigureDlg::~CQBNotifyConfigureDlg() = default;

std::vector<fw::DataExchangeField> CQBNotifyConfigureDlg::DataExchangeTable() {
  return {
      fw::DdxText(IDC_SMTP_SERVER, m_strSmtpServer, kMaxTextLength),
      fw::DdxInteger(IDC_SMTP_PORT, m_nSmtpPort, kMinPort, kMaxPort),
      fw::DdxText(IDC_DELIVER_TO, m_strDeliverTo, kMaxTextLength),
      fw::DdxText(IDC_FROM_EMAIL, m_strFromEmail, kMaxTextLength),
      fw::DdxInteger(IDC_LOG_LINES, m_nLogLines, kMinLogLines, kMaxLogLines),
      fw::DdxComboIndex(IDC_NOTIFY_WHEN, m_nNotifyWhen),
      fw::DdxText(IDC_SUBJECT, m_strSubject, kMaxTextLength),
  };
}

void CQBNotifyConfigureDlg::FillFromMailAccounts() {
  if (!m_bFindAccount) return;
  ReadAllMailAccounts(m_strSmtpServer, m_nSmtpPort, m_strDeliverTo);
  if (m_strFromEmail.empty()) m_strFromEmail = m_strDeliverTo;
}

bool CQBNotifyConfigureDlg::OnInitDialog() {
  m_hIcon = fw::LoadIconImage(IDI_QBNOTIFY, kSmallIconSize, kSmallIconSize);
  if (m_hIcon) SendMessage(m_hWnd, fw::kWmSetIcon, fw::kIconSmall, reinterpret_cast<fw::LPARAM>(m_hIcon));
  if (!m_strProfile.empty()) SetDlgItemText(IDC_SCOPE_TEXT, fw::LoadString(IDS_SCOPE_PROFILE));
  fw::CDialog::OnInitDialog();
  return true;
}

CNotifyConfig CQBNotifyConfigureDlg::MakeConfig() const {
  CNotifyConfig config = m_config;
  config.m_strSmtpServer = m_strSmtpServer;
  config.m_nSmtpPort = m_nSmtpPort;
  config.m_strDeliverTo = m_strDeliverTo;
  config.m_strFromEmail = m_strFromEmail;
  config.m_nLogLines = m_nLogLines;
  config.m_nNotifyWhen = m_nNotifyWhen;
  config.m_strSubject = m_strSubject;
  return config;
}

void CQBNotifyConfigureDlg::OnOK() {
  if (!UpdateData(true)) return;
  const CNotifyConfig config = MakeConfig();
  unsigned nError = CheckMailEntries(config);
  if (nError == 0) nError = CheckLoginEntries(config);
  if (nError != 0) {
    fw::AfxMessageBox(nError, fw::kMbIconExclamation);
    return;
  }
  if (!config.Save()) {
    // Nothing tells the user otherwise that the settings are not in place: the dialog stays.
    fw::AfxMessageBox(IDS_ERR_SAVE_FAILED, fw::kMbIconExclamation);
    return;
  }
  EndDialog(fw::kIdOk);
}

void CQBNotifyConfigureDlg::OnHelp() {
  const std::string strFirst = ModuleDir() + "Help" + fw::kPathSeparator + kHelpPage;
  if (fw::ShellExecute("open", strFirst.c_str(), nullptr, nullptr, fw::kSwShow) > fw::kShellExecuteFailureLimit) {
    return;
  }
  const std::string strSecond = ModuleDir() + kHelpPage;
  if (fw::ShellExecute("open", strSecond.c_str(), nullptr, nullptr, fw::kSwShow) > fw::kShellExecuteFailureLimit) {
    return;
  }
  fw::AfxMessageBox(fw::FormatId(IDS_ERR_HELP_FILE, strFirst.c_str()), fw::kMbIconExclamation);
}

void CQBNotifyConfigureDlg::OnAdvanced() {
  if (!UpdateData(true)) return;
  CQBNotifyAdvancedDlg dialog(MakeConfig(), this);
  if (dialog.DoModal() == fw::kIdOk) m_config = dialog.m_config;
}

void CQBNotifyConfigureDlg::OnDestroy() {
  if (m_hIcon) fw::DestroyIcon(m_hIcon);
  m_hIcon = nullptr;
}

fw::LRESULT CQBNotifyConfigureDlg::WindowProc(fw::UINT message, fw::WPARAM wParam, fw::LPARAM lParam) {
  if (message == fw::kWmDestroy) {
    OnDestroy();
  } else if (message == fw::kWmCommand && fw::HiWord(wParam) == fw::kBnClicked) {
    if (fw::LoWord(wParam) == IDC_HELP_BUTTON) {
      OnHelp();
      return 0;
    }
    if (fw::LoWord(wParam) == IDC_ADVANCED_BUTTON) {
      OnAdvanced();
      return 0;
    }
  }
  return fw::CDialog::WindowProc(message, wParam, lParam);
}
