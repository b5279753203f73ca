// CQBNotifyConfigureDlg: loading and proposing values, data exchange, the checks and the save
// on OK, the help page, and the dialog's small icon.
#include "settings/QBNotifyConfigureDlg.h"

#include "addon/NotifyAddOnApp.h"
#include "framework/message_box.h"
#include "framework/shell.h"
#include "framework/strings.h"
#include "resource.h"
#include "settings/MailAccounts.h"
#include "settings/NotifyConfig.h"

namespace {

constexpr int kMinPort = 1;
constexpr int kMaxPort = 65535;
constexpr int kMinLogLines = 0;
constexpr int kMaxLogLines = 1000;
constexpr int kSmallIconSize = 16;
constexpr const char* kHelpPage = "QBNotifyAddOn.htm";

// An address is taken as malformed when it has no "@" or holds a space.
bool IsMalformedAddress(const std::string& address) {
  return address.find('@') == std::string::npos || address.find(' ') != std::string::npos;
}

std::string ModuleDir() {
  const CNotifyAddOnApp* app = CNotifyAddOnApp::Get();
  return app ? app->m_strModuleDir : std::string();
}

}  // namespace

CQBNotifyConfigureDlg::CQBNotifyConfigureDlg(const char* pszProfile, bool bFindAccount, fw::CWnd* pParent)
    : fw::CDialog(IDD_QBNOTIFY_CONFIGURE, pParent),
      m_strProfile(pszProfile ? pszProfile : ""),
      m_bFindAccount(bFindAccount) {
  CNotifyConfig config(pszProfile);
  config.Load();
  m_strSmtpServer = config.m_strSmtpServer;
  m_nSmtpPort = config.m_nSmtpPort;
  m_strDeliverTo = config.m_strDeliverTo;
  m_strFromEmail = config.m_strFromEmail;
  m_nLogLines = config.m_nLogLines;
  // A stored choice that the list does not have shows its first item, never none (which
  // would be saved as -1).
  m_nNotifyWhen = config.m_nNotifyWhen == 1 ? 1 : 0;
  m_strSubject = config.m_strSubject;
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
  for (int nSource = 0; nSource < kMailSourceCount; ++nSource) {
    ReadMailAccounts(nSource, m_strSmtpServer, m_nSmtpPort, m_strDeliverTo);
  }
  if (m_strFromEmail.empty()) m_strFromEmail = m_strDeliverTo;
}

bool CQBNotifyConfigureDlg::OnInitDialog() {
  m_hIcon = fw::LoadIconImage(IDI_QBNOTIFY, kSmallIconSize, kSmallIconSize);
  if (m_hIcon) SendMessage(m_hWnd, fw::kWmSetIcon, fw::kIconSmall, reinterpret_cast<fw::LPARAM>(m_hIcon));
  if (!m_strProfile.empty()) SetDlgItemText(IDC_SCOPE_TEXT, fw::LoadString(IDS_SCOPE_PROFILE));
  fw::CDialog::OnInitDialog();
  return true;
}

unsigned CQBNotifyConfigureDlg::CheckEntries() const {
  if (m_strSmtpServer.empty()) return IDS_ERR_NO_SMTP_SERVER;
  if (m_strDeliverTo.empty()) return IDS_ERR_NO_DELIVER_TO;
  if (m_strFromEmail.empty()) return IDS_ERR_NO_FROM_EMAIL;
  if (IsMalformedAddress(m_strDeliverTo) || IsMalformedAddress(m_strFromEmail)) return IDS_ERR_BAD_ADDRESS;
  return 0;
}

void CQBNotifyConfigureDlg::OnOK() {
  if (!UpdateData(true)) return;
  if (const unsigned nError = CheckEntries()) {
    fw::AfxMessageBox(nError, fw::kMbIconExclamation);
    return;
  }
  CNotifyConfig config(m_strProfile.c_str());
  config.m_strSmtpServer = m_strSmtpServer;
  config.m_nSmtpPort = m_nSmtpPort;
  config.m_strDeliverTo = m_strDeliverTo;
  config.m_strFromEmail = m_strFromEmail;
  config.m_nLogLines = m_nLogLines;
  config.m_nNotifyWhen = m_nNotifyWhen;
  config.m_strSubject = m_strSubject;
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

void CQBNotifyConfigureDlg::OnDestroy() {
  if (m_hIcon) fw::DestroyIcon(m_hIcon);
  m_hIcon = nullptr;
}

fw::LRESULT CQBNotifyConfigureDlg::WindowProc(fw::UINT message, fw::WPARAM wParam, fw::LPARAM lParam) {
  if (message == fw::kWmDestroy) {
    OnDestroy();
  } else if (message == fw::kWmCommand && fw::LoWord(wParam) == IDC_HELP_BUTTON &&
             fw::HiWord(wParam) == fw::kBnClicked) {
    OnHelp();
    return 0;
  }
  return fw::CDialog::WindowProc(message, wParam, lParam);
}
