// Message boxes of the posix backend: the caption and the text on the terminal, answered with
// Enter; without a terminal, on standard error.
#include "framework/app.h"
#include "framework/message_box.h"
#include "framework/posix/terminal.h"
#include "framework/strings.h"

namespace fw {

int AfxMessageBox(const std::string& text, UINT /*type*/) {
  const std::string caption = AfxGetAppName();
  posix::Terminal terminal;
  if (!terminal.Open()) {
    posix::WriteError((caption.empty() ? text : caption + ": " + text) + "\n");
    return kIdOk;
  }
  terminal.Write("\n" + caption + "\n" + text + "\n[OK]: ");
  std::string answer;
  terminal.ReadLine(answer);
  return kIdOk;
}

int AfxMessageBox(UINT textId, UINT type) {
  return AfxMessageBox(LoadString(textId), type);
}

void TextBox(const std::string& text) {
  AfxMessageBox(text);  // the terminal scrolls a long text by itself
}

}  // namespace fw
