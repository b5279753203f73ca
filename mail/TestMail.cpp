// The test message: start-up and the seam for tests of the dialog.
#include "mail/TestMail.h"

#include <utility>

namespace {

CTestMail::Starter& TestStarter() {
  static CTestMail::Starter starter;
  return starter;
}

}  // namespace

std::shared_ptr<CTestMail> CTestMail::Start(const CNotifyConfig& config) {
  if (TestStarter()) return TestStarter()(config);
  return nullptr;  // the delivery side of the test message comes with the secure conversation
}

void CTestMail::SetStarterForTesting(Starter starter) {
  TestStarter() = std::move(starter);
}
