// Failure records: the text's limits, the test sink and the backend's system log (see
// failure_record.h).
#include "framework/failure_record.h"

#include <memory>
#include <mutex>
#include <utility>

#include "framework/backend.h"
#include "framework/module_end.h"

namespace fw {
namespace {

using Sink = std::function<void(const std::string&)>;

struct SinkSlot {
  std::mutex mutex;
  std::shared_ptr<const Sink> sink;
};

SinkSlot& TheSinkSlot() {
  static SinkSlot* slot = KeepUntilModuleEnd(new SinkSlot);  // outlives every static user
  return *slot;
}

}  // namespace

bool RecordDeliveryFailure(std::string_view text) {
  std::string record(text.substr(0, kMaxFailureRecordBytes));
  for (char& c : record) {
    if (c == '\0') c = ' ';
  }
  std::shared_ptr<const Sink> sink;
  {
    SinkSlot& slot = TheSinkSlot();
    std::lock_guard<std::mutex> lock(slot.mutex);
    sink = slot.sink;
  }
  if (sink) {
    (*sink)(record);
    return true;
  }
  return backend::WriteFailureRecord(record);
}

namespace testing {

void SetFailureRecordSink(std::function<void(const std::string&)> sink) {
  auto replacement = sink ? std::make_shared<const Sink>(std::move(sink)) : nullptr;
  SinkSlot& slot = TheSinkSlot();
  std::lock_guard<std::mutex> lock(slot.mutex);
  slot.sink = std::move(replacement);
}

}  // namespace testing
}  // namespace fw
