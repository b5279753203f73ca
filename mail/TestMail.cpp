// The test message: start-up and the seam for tests of the dialog.
#include "mail/TestMail.h"

#include <utility>

namespace {

std::function<std::shared_ptr<CTestMail>(const CNotifyConfig&)>& Starter() {
  static std::function<std::shared_ptr<CTestMail>(const CNotifyConfig&)> starter;
  return starter;
}

}  // namespace

std::shared_ptr<CTestMail> CTestMail::Start(const CNotifyConfig& config) {
  if (Starter()) return Starter()(config);
  return nullptr;  // the delivery side of the test message comes with the secure conversation
}

void testing::SetTestMailStarter(std::function<std::shared_ptr<CTestMail>(const CNotifyConfig&)> starter) {
  Starter() = std::move(starter);
}
