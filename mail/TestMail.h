// A test message, sent from the configuration dialog with the values it holds (saved or not)
// on the delivery worker, and the German diagnosis of what the server said at every step.
#pragma once

#include <functional>
#include <memory>
#include <string>

class CNotifyConfig;

class CTestMail {
 public:
  virtual ~CTestMail() = default;

  // Host thread: starts sending a short test message with the values of `config` on the
  // delivery worker (created when there is none) and returns at once. Null when the test
  // cannot be started at all.
  static std::shared_ptr<CTestMail> Start(const CNotifyConfig& config);

  // Any thread. True once the test has ended: delivered, failed, or cancelled.
  virtual bool IsDone() const = 0;
  // Ends the test at once (the connection is closed); IsDone is true afterwards.
  virtual void Cancel() = 0;
  // Once done: whether the server accepted the message with 250 after the data.
  virtual bool Succeeded() const = 0;
  // Once done: the diagnosis, Windows-1252 text, lines separated by "\r\n". Never holds the
  // password.
  virtual std::string GetDiagnosis() const = 0;

  // Replaces Start for tests of the dialog (null restores it).
  using Starter = std::function<std::shared_ptr<CTestMail>(const CNotifyConfig&)>;
  static void SetStarterForTesting(Starter starter);
};
