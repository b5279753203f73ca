// The wait box of the posix backend: the text and the hint that Enter cancels on the terminal,
// then polling the terminal and the caller's condition.
#include "framework/framework_res.h"
#include "framework/posix/terminal.h"
#include "framework/strings.h"
#include "framework/wait_box.h"

namespace fw {
namespace {

constexpr int kPollMilliseconds = 100;

}  // namespace

bool WaitBox(const std::string& text, const std::function<bool()>& isDone) {
  if (isDone()) return true;
  posix::Terminal terminal;
  if (!terminal.Open()) return false;
  terminal.Write("\n" + text + " " + LoadString(FW_IDS_TERMINAL_WAIT_HINT) + " ");
  for (;;) {
    if (isDone()) {
      terminal.Write("\n");
      return true;
    }
    if (terminal.WaitForInput(kPollMilliseconds)) {
      std::string line;
      terminal.ReadLine(line);  // any line, or the terminal's end, cancels
      return false;
    }
  }
}

}  // namespace fw
