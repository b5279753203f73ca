// CQBNotifyAdvancedDlg: data exchange, the password's state, the checks of OK and the test
// message with its wait and diagnosis.
#include "settings/QBNotifyAdvancedDlg.h"

#include <memory>

#include "framework/message_box.h"
#include "framework/strings.h"
#include "framework/wait_box.h"
#include "mail/TestMail.h"
#include "resource.h"
#include "settings/QBNotifyConfigureDlg.h"
#include "settings/SettingsChecks.h"

CQBNotifyAdvancedDlg::CQBNotifyAdvancedDlg(const CNotifyConfig& config, fw::CWnd* pParent)
    : fw::CDialog(IDD_QBNOTIFY_ADVANCED, pParent),
      m_config(config),
      m_nSmtpSecurity(config.m_nSmtpSecurity),
      m_strSmtpUser(config.m_strSmtpUser),
      m_strSmtpCertificate(config.m_strSmtpCertificate) {}

std::vector<fw::DataExchangeField> CQBNotifyAdvancedDlg::DataExchangeTable() {
  constexpr std::size_t kMaxLength = CQBNotifyConfigureDlg::kMaxTextLength;
  return {
      fw::DdxComboIndex(IDC_SMTP_SECURITY, m_nSmtpSecurity),
      fw::DdxText(IDC_SMTP_USER, m_strSmtpUser, kMaxLength),
      fw::DdxText(IDC_SMTP_PASSWORD, m_strNewPassword, kMaxLength),
      fw::DdxText(IDC_SMTP_CERTIFICATE, m_strSmtpCertificate, kMaxLength),
  };
}

bool CQBNotifyAdvancedDlg::OnInitDialog() {
  fw::CDialog::OnInitDialog();
  ShowPasswordState();
  return true;
}

void CQBNotifyAdvancedDlg::ShowPasswordState() {
  const bool bKept = !m_config.m_strSmtpPassword.empty() && !m_bRemovePassword;
  unsigned nState = bKept ? IDS_PASSWORD_KEPT : IDS_PASSWORD_NONE;
  if (m_bRemovePassword) {
    nState = IDS_PASSWORD_REMOVED;
  } else if (m_config.m_bPasswordUnreadable) {
    nState = IDS_PASSWORD_UNREADABLE;
  }
  SetDlgItemText(IDC_PASSWORD_STATE, fw::LoadString(nState));
  EnableDlgItem(IDC_PASSWORD_REMOVE, bKept);
}

CNotifyConfig CQBNotifyAdvancedDlg::Collect() const {
  CNotifyConfig config = m_config;
  config.m_nSmtpSecurity = m_nSmtpSecurity;
  config.m_strSmtpUser = m_strSmtpUser;
  if (!m_strNewPassword.empty() || m_bRemovePassword) {
    config.m_strSmtpPassword = m_strNewPassword;
    config.m_bPasswordUnreadable = false;
  }
  config.m_strSmtpCertificate = CanonicalPin(m_strSmtpCertificate);
  return config;
}

void CQBNotifyAdvancedDlg::Refuse(unsigned nMessage) {
  fw::AfxMessageBox(nMessage, fw::kMbIconExclamation);
  if (nMessage == IDS_ERR_USER_WITHOUT_TLS) GotoDlgCtrl(IDC_SMTP_SECURITY);
  if (nMessage == IDS_ERR_USER_WITHOUT_PASSWORD) GotoDlgCtrl(IDC_SMTP_PASSWORD);
  if (nMessage == IDS_ERR_BAD_FINGERPRINT) GotoDlgCtrl(IDC_SMTP_CERTIFICATE);
}

void CQBNotifyAdvancedDlg::OnOK() {
  if (!UpdateData(true)) return;
  const CNotifyConfig config = Collect();
  if (const unsigned nError = CheckLoginEntries(config)) return Refuse(nError);
  m_config = config;
  EndDialog(fw::kIdOk);
}

void CQBNotifyAdvancedDlg::OnRemovePassword() {
  m_bRemovePassword = true;
  m_strNewPassword.clear();
  SetDlgItemText(IDC_SMTP_PASSWORD, "");
  ShowPasswordState();
  GotoDlgCtrl(IDC_SMTP_PASSWORD);
}

void CQBNotifyAdvancedDlg::OnTestMail() {
  if (!UpdateData(true)) return;
  const CNotifyConfig config = Collect();
  if (const unsigned nError = CheckMailEntries(config)) {
    fw::AfxMessageBox(nError, fw::kMbIconExclamation);
    return;
  }
  if (const unsigned nError = CheckLoginEntries(config)) return Refuse(nError);
  SendTestMail(config);
}

void CQBNotifyAdvancedDlg::SendTestMail(const CNotifyConfig& config) {
  const std::shared_ptr<CTestMail> test = CTestMail::Start(config);
  if (!test) {
    fw::AfxMessageBox(IDS_TEST_MAIL_NOT_STARTED, fw::kMbIconExclamation);
    return;
  }
  const bool bDone = fw::WaitBox(fw::LoadString(IDS_TEST_MAIL_WAIT), [&test] { return test->IsDone(); });
  if (!bDone) test->Cancel();
  unsigned nOutcome = IDS_TEST_MAIL_CANCELLED;
  if (bDone) nOutcome = test->Succeeded() ? IDS_TEST_MAIL_SENT : IDS_TEST_MAIL_FAILED;
  const std::string strDiagnosis = test->GetDiagnosis();
  fw::TextBox(fw::LoadString(nOutcome) + (strDiagnosis.empty() ? "" : "\r\n\r\n" + strDiagnosis));
}

fw::LRESULT CQBNotifyAdvancedDlg::WindowProc(fw::UINT message, fw::WPARAM wParam, fw::LPARAM lParam) {
  if (message == fw::kWmCommand && fw::HiWord(wParam) == fw::kBnClicked) {
    if (fw::LoWord(wParam) == IDC_PASSWORD_REMOVE) {
      OnRemovePassword();
      return 0;
    }
    if (fw::LoWord(wParam) == IDC_TEST_MAIL) {
      OnTestMail();
      return 0;
    }
  }
  return fw::CDialog::WindowProc(message, wParam, lParam);
}
