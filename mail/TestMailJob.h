// The delivery side of the test message: a mail job with a short German message of its own (no
// journal files) that reports every step to a diagnosis and leaves no failure record, and the
// handle through which the dialog follows it.
#pragma once

#include <memory>

#include "mail/TestMail.h"

class CNotifyConfig;
class CNotifyMailThread;

// Host thread: queues a test message with a copy of `config` on `worker` (for its next tick)
// and returns its handle; null when the worker takes no more jobs.
std::shared_ptr<CTestMail> StartTestMail(CNotifyMailThread& worker, const CNotifyConfig& config);
