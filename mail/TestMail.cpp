// The test message: its job on the delivery worker, the thread-safe handle the dialog polls,
// start-up through the application's worker, and the seam for tests of the dialog.
#include "mail/TestMail.h"

#include <mutex>
#include <utility>
#include <vector>

#include "addon/NotifyAddOnApp.h"
#include "framework/strings.h"
#include "mail/NotifyMailThread.h"
#include "mail/NotifySmtpClient.h"
#include "mail/SmtpDiagnosis.h"
#include "mail/TestMailJob.h"
#include "resource.h"
#include "settings/NotifyConfig.h"

namespace {

// What the dialog sees of a test: written by the worker thread, read by the host's.
class CTestMailRun final : public CTestMail {
 public:
  CTestMailRun(CNotifyMailThread& worker, std::uint32_t jobId) : m_worker(worker), m_nJobId(jobId) {}

  bool IsDone() const override {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bDone;
  }
  void Cancel() override {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      if (m_bDone) return;  // the job has ended: the worker may be gone
      m_bDone = true;
      m_lines.push_back(fw::LoadString(IDS_REASON_CANCELLED));
    }
    m_worker.CancelJob(m_nJobId);
  }
  bool Succeeded() const override {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bSucceeded;
  }
  std::string GetDiagnosis() const override {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string text;
    for (const std::string& line : m_lines) text += (text.empty() ? "" : "\r\n") + line;
    return text;
  }

  // Worker thread. Lines after the end (a cancel) are not kept.
  void AddLine(const std::string& line) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_bDone) m_lines.push_back(line);
  }
  void Finish(bool bDelivered) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_bDone) return;
    m_bDone = true;
    m_bSucceeded = bDelivered;
  }

 private:
  CNotifyMailThread& m_worker;
  const std::uint32_t m_nJobId;
  mutable std::mutex m_mutex;
  std::vector<std::string> m_lines;
  bool m_bDone = false;
  bool m_bSucceeded = false;
};

class CTestMailJob final : public CNotifySmtpClient {
 public:
  CTestMailJob(CNotifyMailThread& worker, const CNotifyConfig& config)
      : CNotifySmtpClient(&worker, &config, nullptr, nullptr, 0), m_diagnosis([this](const std::string& line) {
          if (m_pRun) m_pRun->AddLine(line);
        }) {
    SetDiagnosis(&m_diagnosis);
    SetRecordsFailures(false);
    m_strSubject = fw::LoadString(IDS_TEST_SUBJECT);
    SetInlineBody(FormatTestMessageBody(config.m_strProfile, config.m_strSmtpServer, config.m_nSmtpPort));
  }
  ~CTestMailJob() override {
    SetDiagnosis(nullptr);
    if (m_pRun) m_pRun->Finish(IsFinished());
  }
  CTestMailJob(const CTestMailJob&) = delete;
  CTestMailJob& operator=(const CTestMailJob&) = delete;

  // Host thread, before the job is queued.
  void SetRun(std::shared_ptr<CTestMailRun> pRun) { m_pRun = std::move(pRun); }

 protected:
  void OnJobEnded() override {
    if (m_pRun) m_pRun->Finish(IsFinished());
  }

 private:
  std::shared_ptr<CTestMailRun> m_pRun;
  CSmtpDiagnosis m_diagnosis;
};

CTestMail::Starter& TestStarter() {
  static CTestMail::Starter starter;
  return starter;
}

}  // namespace

std::shared_ptr<CTestMail> StartTestMail(CNotifyMailThread& worker, const CNotifyConfig& config) {
  auto pJob = std::make_unique<CTestMailJob>(worker, config);
  auto pRun = std::make_shared<CTestMailRun>(worker, pJob->GetJobId());
  pJob->SetRun(pRun);
  return worker.AddJob(std::move(pJob)) ? pRun : nullptr;
}

std::shared_ptr<CTestMail> CTestMail::Start(const CNotifyConfig& config) {
  if (TestStarter()) return TestStarter()(config);
  CNotifyAddOnApp* pApp = CNotifyAddOnApp::Get();
  if (pApp == nullptr) return nullptr;
  try {
    // As for a notification's mail: a worker that closed in between gives way to a new one.
    for (int nRound = 0; nRound < 2; ++nRound) {
      CNotifyMailThread* pWorker = pApp->OpenMailThread();
      if (pWorker == nullptr) return nullptr;
      if (std::shared_ptr<CTestMail> pTest = StartTestMail(*pWorker, config)) return pTest;
    }
  } catch (const std::exception&) {
  }
  return nullptr;
}

void CTestMail::SetStarterForTesting(Starter starter) {
  TestStarter() = std::move(starter);
}
